// Hostile bytes as the address the desktop opens with the program: as the login
// redirect's fragment, as its query, and as an address of its own. Parsing must
// keep one value per key; the client must answer yes exactly for its own
// address, and a session it takes must have a token.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "info/social_client.h"

using namespace strombel::info;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const SocialClient::Params params = SocialClient::parseURLParams(text);
    if (text.empty() != params.empty()) std::abort();
    for (const auto& [key, value] : params) {
        if (key.find('&') != std::string::npos) std::abort();
        if (value.size() > text.size()) std::abort();
    }

    SocialClient client("123456789012345", nullptr);
    client.setMultitaskingSupported(size % 2 == 0);
    for (const std::string& url : {"sn123456789012345://authorize#" + text, "sn123456789012345://authorize?" + text}) {
        if (!client.handleOpenURL(url)) std::abort();
        if (client.isSessionValid() && !client.accessToken()) std::abort();
    }
    const bool own = text.rfind("sn123456789012345://authorize", 0) == 0;
    if (client.handleOpenURL(text) != own) std::abort();
    return 0;
}
