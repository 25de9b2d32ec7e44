// Hostile bytes as an address a dialog's page goes to, with the needles the
// dialogs look for. A value exists exactly when its needle does, and it is never
// longer than what follows the needle.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "info/social_dialog.h"
#include "info/url_text.h"

using namespace strombel::info;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string url(reinterpret_cast<const char*>(data), size);
    for (const char* needle : {"access_token=", "expires_in=", "error_code=", "error_msg="}) {
        const auto value = getStringFromUrl(url, needle);
        const size_t at = url.find(needle);
        if (value.has_value() != (at != std::string::npos)) std::abort();
        if (value && value->size() > url.size() - at) std::abort();
    }
    (void)integerValue(url);
    // The decisions of a dialog with no panel and no delegate.
    SocialLoginDialog dialog("https://m/dialog/oauth", {}, nullptr);
    dialog.show();
    if (url.rfind("socialconnect:", 0) == 0 && dialog.shouldStartLoad(url, SocialNavigationType::other)) std::abort();
    return 0;
}
