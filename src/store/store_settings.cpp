#include "store/store_settings.h"

#include <cctype>
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

bool isInvalidDomainAddress(const std::string& url) {
    const size_t scheme = url.find("://");
    const size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    size_t end = url.find_first_of("/?#", start);
    if (end == std::string::npos) end = url.size();
    std::string host = url.substr(start, end - start);
    if (const size_t at = host.rfind('@'); at != std::string::npos) host.erase(0, at + 1);
    if (const size_t colon = host.rfind(':'); colon != std::string::npos && host.find(']') == std::string::npos) {
        host.erase(colon);
    }
    while (!host.empty() && host.back() == '.') host.pop_back();
    for (char& c : host) c = char(std::tolower(static_cast<unsigned char>(c)));
    return host == "invalid" || host.ends_with(".invalid");
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
