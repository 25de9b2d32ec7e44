// Hostile bytes as the address the desktop opens with the program: as the login
// redirect's fragment, as its query, and as an address of its own. Parsing must
// keep one value per key; with no login under way no address is taken and no
// session appears; the answer of a login under way, with its state, is taken
// whatever else it carries, and a session it makes has a token.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "info/social_client.h"

using namespace strombel::info;

namespace {
struct AcceptingOpener : SocialUrlOpener {
    bool openURL(const std::string&) override { return true; }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const SocialClient::Params params = SocialClient::parseURLParams(text);
    if (text.empty() != params.empty()) std::abort();
    for (const auto& [key, value] : params) {
        if (key.find('&') != std::string::npos) std::abort();
        if (value.size() > text.size()) std::abort();
    }

    AcceptingOpener opener;
    SocialClient client("123456789012345", nullptr);
    client.setUrlOpener(&opener);
    client.setMultitaskingSupported(true);
    const std::string own = "sn123456789012345://authorize";
    for (const std::string& url : {own + "#" + text, own + "?" + text, text}) {
        if (client.handleOpenURL(url) || client.accessToken()) std::abort();
    }

    client.authorize({});
    const std::string state = client.pendingLoginState().value_or("");
    if (state.empty()) std::abort();
    const std::string answer = own + (size % 2 == 0 ? "#" : "?") + text + "&state=" + state;
    if (!client.handleOpenURL(answer)) std::abort();
    if (client.isSessionValid() && !client.accessToken()) std::abort();
    return 0;
}
