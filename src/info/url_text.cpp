#include "info/url_text.h"

#include <cctype>
#include <limits>

namespace strombel::info {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::string percentEncode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    return out;
}

int64_t integerValue(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    constexpr uint64_t kLimit = uint64_t(std::numeric_limits<int64_t>::max());
    uint64_t magnitude = 0;
    bool saturated = false;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        const uint64_t digit = uint64_t(text[i] - '0');
        if (magnitude > (kLimit + 1 - digit) / 10) {
            saturated = true;
            break;
        }
        magnitude = magnitude * 10 + digit;
    }
    if (negative) {
        if (saturated || magnitude > kLimit) return std::numeric_limits<int64_t>::min();
        return -int64_t(magnitude);
    }
    if (saturated || magnitude > kLimit) return std::numeric_limits<int64_t>::max();
    return int64_t(magnitude);
}

std::optional<std::string> getStringFromUrl(std::string_view url, std::string_view needle) {
    if (needle.empty()) return std::nullopt;
    const size_t at = url.find(needle);
    if (at == std::string_view::npos) return std::nullopt;
    const size_t start = at + needle.size();
    const size_t end = url.find('&', start);
    return percentDecode(url.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
}

std::string hostOf(std::string_view url) {
    const size_t scheme = url.find("://");
    if (scheme == std::string_view::npos) return {};
    std::string_view rest = url.substr(scheme + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    if (const size_t user = rest.rfind('@'); user != std::string_view::npos) rest = rest.substr(user + 1);
    if (!rest.empty() && rest.front() == '[') {
        const size_t close = rest.find(']');
        rest = close == std::string_view::npos ? std::string_view() : rest.substr(1, close - 1);
    } else {
        rest = rest.substr(0, rest.find(':'));
    }
    std::string host(rest);
    for (char& c : host) c = char(std::tolower(static_cast<unsigned char>(c)));
    return host;
}

}  // namespace strombel::info
