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

std::string_view trimmedLine(std::string_view line) {
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r' || line.back() == '\n')) {
        line.remove_suffix(1);
    }
    return line;
}

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

HeaderLine readHeaderLine(std::string_view line) {
    HeaderLine read;
    std::string_view content = trimmedLine(line);
    if (content.empty()) {
        read.kind = HeaderLine::Kind::End;
        return read;
    }
    if (line.front() == ' ' || line.front() == '\t') {
        read.kind = HeaderLine::Kind::Continuation;
        read.value = content;
        return read;
    }
    size_t colon = content.find(':');
    if (colon == std::string_view::npos || colon == 0) return read;
    read.kind = HeaderLine::Kind::Field;
    read.name = trimmedLine(content.substr(0, colon));
    read.value = trimmedLine(content.substr(colon + 1));
    return read;
}

HttpHeaders parseHeaderBlock(std::string_view block) {
    HttpHeaders headers;
    auto field = headers.end();
    while (!block.empty()) {
        size_t end = block.find('\n');
        std::string_view line = block.substr(0, end == std::string_view::npos ? block.size() : end + 1);
        block.remove_prefix(line.size());
        HeaderLine read = readHeaderLine(line);
        if (read.kind == HeaderLine::Kind::Field) {
            field = appendHeaderValue(headers, read.name, read.value);
        } else if (read.kind == HeaderLine::Kind::Continuation && field != headers.end()) {
            field->second.append(" ").append(read.value);
        }
    }
    return headers;
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
