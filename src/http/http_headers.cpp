#include "http/http_headers.h"

#include <algorithm>

namespace strombel::http {

namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

}  // namespace

bool CaseInsensitiveLess::operator()(std::string_view a, std::string_view b) const {
    size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        char x = lower(a[i]);
        char y = lower(b[i]);
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return lower(x) == lower(y);
           });
}

std::map<std::string, std::string> lowercasedHeaders(const HttpHeaders& headers) {
    std::map<std::string, std::string> result;
    for (const auto& [name, value] : headers) {
        std::string key = name;
        std::transform(key.begin(), key.end(), key.begin(), lower);
        result.emplace(std::move(key), value);
    }
    return result;
}

HttpHeaders::iterator appendHeaderValue(HttpHeaders& headers, std::string_view name, std::string_view value) {
    auto place = headers.lower_bound(name);
    if (place == headers.end() || headers.key_comp()(name, place->first)) {
        return headers.emplace_hint(place, std::string(name), std::string(value));
    }
    place->second.append(", ").append(value);
    return place;
}

const std::string& headerValue(const HttpHeaders& headers, std::string_view name) {
    static const std::string absent;
    auto found = headers.find(name);
    return found == headers.end() ? absent : found->second;
}

bool headerListContains(std::string_view value, std::string_view token) {
    while (!value.empty()) {
        size_t comma = value.find(',');
        std::string_view item = trimmed(value.substr(0, comma));
        // "no-store" may carry no argument, but "max-age=0" style items compare by name.
        item = trimmed(item.substr(0, item.find('=')));
        if (equalsIgnoringCase(item, token)) return true;
        if (comma == std::string_view::npos) break;
        value.remove_prefix(comma + 1);
    }
    return false;
}

}  // namespace strombel::http
