#include "http/cache_entry.h"

#include <fmt/format.h>

#include <charconv>

namespace strombel::http {

namespace {

constexpr std::string_view kMagicLine = "strombel-http-cache 1";

bool isTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isHeaderName(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name) {
        if (!isTokenChar(c)) return false;
    }
    return true;
}

// Values may hold any byte but line breaks and other control characters (tab aside).
bool isHeaderValue(std::string_view value) {
    for (char c : value) {
        auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7f) return false;
    }
    return true;
}

template <typename Number>
bool readNumber(std::string_view text, Number& number, int base = 10) {
    if (text.empty()) return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number, base);
    return error == std::errc() && end == text.data() + text.size();
}

// Splits "key rest" at the first space.
bool splitLine(std::string_view line, std::string_view& key, std::string_view& rest) {
    size_t space = line.find(' ');
    if (space == std::string_view::npos) return false;
    key = line.substr(0, space);
    rest = line.substr(space + 1);
    return true;
}

}  // namespace

std::string writeCacheEntryHeader(const CacheEntryHeader& header) {
    std::string text;
    text.append(kMagicLine).append("\n");
    text.append("url ").append(header.url).append("\n");
    text.append(fmt::format("status {}\nlength {}\ncrc32 {:08x}\n", header.status, header.length, header.crc32));
    for (const auto& [name, value] : header.headers) {
        if (!isHeaderName(name) || !isHeaderValue(value)) continue;
        text.append("header ").append(name).append(": ").append(value).append("\n");
    }
    return text;
}

std::optional<CacheEntryHeader> readCacheEntryHeader(std::string_view text) {
    if (text.size() > kMaximumCacheHeaderSize) return std::nullopt;
    CacheEntryHeader header;
    bool sawUrl = false, sawStatus = false, sawLength = false, sawCrc = false;
    size_t lineNumber = 0;
    while (!text.empty()) {
        size_t end = text.find('\n');
        if (end == std::string_view::npos) return std::nullopt;  // the last line lacks its end: cut short
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        if (lineNumber++ == 0) {
            if (line != kMagicLine) return std::nullopt;
            continue;
        }
        std::string_view key, rest;
        if (!splitLine(line, key, rest)) return std::nullopt;
        if (key == "url") {
            if (sawUrl || rest.empty() || !isHeaderValue(rest)) return std::nullopt;
            header.url = std::string(rest);
            sawUrl = true;
        } else if (key == "status") {
            if (sawStatus || !readNumber(rest, header.status) || header.status < 100 || header.status > 999) {
                return std::nullopt;
            }
            sawStatus = true;
        } else if (key == "length") {
            if (sawLength || !readNumber(rest, header.length)) return std::nullopt;
            sawLength = true;
        } else if (key == "crc32") {
            if (sawCrc || rest.size() != 8 || !readNumber(rest, header.crc32, 16)) return std::nullopt;
            sawCrc = true;
        } else if (key == "header") {
            size_t colon = rest.find(": ");
            if (colon == std::string_view::npos) return std::nullopt;
            std::string_view name = rest.substr(0, colon);
            std::string_view value = rest.substr(colon + 2);
            if (!isHeaderName(name) || !isHeaderValue(value) || header.headers.count(name)) return std::nullopt;
            header.headers.emplace(std::string(name), std::string(value));
        } else {
            return std::nullopt;
        }
    }
    if (!sawUrl || !sawStatus || !sawLength || !sawCrc) return std::nullopt;
    return header;
}

}  // namespace strombel::http
