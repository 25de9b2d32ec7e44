#include "store/store_settings.h"

#include <cstdlib>

namespace strombel::store {
namespace {

std::string withSlash(std::string folder) {
    if (folder.empty() || folder.back() != '/') folder.push_back('/');
    return folder;
}

const char* environment(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

}  // namespace

void StoreSettings::setBaseURL(std::string url) {
    baseURL = withSlash(std::move(url));
    iconBaseURL = baseURL + "icons/";
}

StoreSettings StoreSettings::fromEnvironment() {
    StoreSettings settings;
    if (const char* url = environment("STROMBEL_STORE_URL")) settings.setBaseURL(url);
    if (const char* url = environment("STROMBEL_STORE_ICON_URL")) settings.iconBaseURL = withSlash(url);
    if (const char* user = environment("STROMBEL_STORE_USER")) settings.username = user;
    if (const char* password = environment("STROMBEL_STORE_PASSWORD")) settings.password = password;
    return settings;
}

std::string joinURL(const std::string& folder, const std::string& name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string url = withSlash(folder);
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            url.push_back(c);
        } else {
            url.push_back('%');
            url.push_back(kHex[byte >> 4]);
            url.push_back(kHex[byte & 15]);
        }
    }
    return url;
}

}  // namespace strombel::store
