#include "platform/plist_guard.h"

#include <cstring>
#include <string_view>

namespace strombel::platform::detail {

namespace {

uint64_t bigEndian(const uint8_t* p, size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) value = (value << 8) | p[i];
    return value;
}

// A binary list's string objects: ASCII (marker 0x5N) and UTF-16 (0x6N), with
// the count in the marker's low nibble or, when it is 15, in an integer object
// right after it. Anything out of bounds is left for libplist to refuse.
bool binaryMayHoldNul(const uint8_t* bytes, size_t size) {
    if (size < 8 + 32) return false;
    const uint8_t* trailer = bytes + size - 32;
    size_t offsetWidth = trailer[6];
    uint64_t objects = bigEndian(trailer + 8, 8);
    uint64_t table = bigEndian(trailer + 24, 8);
    if (offsetWidth == 0 || offsetWidth > 8 || table >= size || objects > (size - table) / offsetWidth) return false;
    for (uint64_t i = 0; i < objects; ++i) {
        uint64_t offset = bigEndian(bytes + table + i * offsetWidth, offsetWidth);
        if (offset >= size) continue;
        uint8_t marker = bytes[offset];
        uint8_t type = marker >> 4;
        if (type != 0x5 && type != 0x6) continue;
        uint64_t count = marker & 0x0F;
        uint64_t start = offset + 1;
        if (count == 0x0F) {
            if (start >= size || (bytes[start] >> 4) != 0x1) continue;
            size_t width = size_t{1} << (bytes[start] & 0x0F);
            if (width > 8 || start + 1 + width > size) continue;
            count = bigEndian(bytes + start + 1, width);
            start += 1 + width;
        }
        uint64_t unit = type == 0x5 ? 1 : 2;
        if (start > size || count > (size - start) / unit) continue;
        const uint8_t* text = bytes + start;
        for (uint64_t k = 0; k < count; ++k) {
            if (unit == 1 ? text[k] == 0 : (text[2 * k] == 0 && text[2 * k + 1] == 0)) return true;
        }
    }
    return false;
}

// "&#0;", "&#x0;", with any number of leading zeros, in either case.
bool xmlMayHoldNul(const uint8_t* bytes, size_t size) {
    if (std::memchr(bytes, 0, size)) return true;
    std::string_view text(reinterpret_cast<const char*>(bytes), size);
    for (size_t at = text.find("&#"); at != std::string_view::npos; at = text.find("&#", at + 2)) {
        size_t p = at + 2;
        if (p < text.size() && (text[p] == 'x' || text[p] == 'X')) ++p;
        size_t zeros = p;
        while (p < text.size() && text[p] == '0') ++p;
        if (p > zeros && p < text.size() && text[p] == ';') return true;
    }
    return false;
}

}  // namespace

bool propertyListMayHoldNul(const uint8_t* bytes, size_t size) {
    if (size >= 8 && std::memcmp(bytes, "bplist00", 8) == 0) return binaryMayHoldNul(bytes, size);
    return xmlMayHoldNul(bytes, size);
}

}  // namespace strombel::platform::detail
