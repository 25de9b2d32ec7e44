#include "json/utf8.h"

namespace strombel::json::utf8 {

ReadResult readScalar(const unsigned char* p, const unsigned char* end, const unsigned char** next,
                      uint32_t* codePoint, bool allowNoncharacters) {
    const unsigned char lead = p[0];
    if (lead < 0x80) {
        *codePoint = lead;
        *next = p + 1;
        return Valid;
    }
    size_t length;
    bool legal = true;
    uint32_t scalar;
    if (lead < 0xC0) {
        length = 1;
        legal = false;
        scalar = 0;
    } else if (lead < 0xE0) {
        length = 2;
        legal = lead >= 0xC2;
        scalar = lead & 0x1F;
    } else if (lead < 0xF0) {
        length = 3;
        scalar = lead & 0x0F;
    } else if (lead < 0xF8) {
        length = 4;
        legal = lead <= 0xF4;
        scalar = lead & 0x07;
    } else {
        length = 1;
        legal = false;
        scalar = 0;
    }
    size_t taken = 1;
    for (; taken < length; ++taken) {
        if (p + taken >= end) {
            *codePoint = kReplacementCharacter;
            *next = end;
            return Exhausted;
        }
        const unsigned char byte = p[taken];
        if ((byte & 0xC0) != 0x80) {
            legal = false;
            break;
        }
        if (taken == 1) {
            if ((lead == 0xE0 && byte < 0xA0) || (lead == 0xED && byte >= 0xA0) || (lead == 0xF0 && byte < 0x90) ||
                (lead == 0xF4 && byte >= 0x90)) {
                legal = false;
            }
        }
        scalar = (scalar << 6) | (byte & 0x3F);
    }
    *next = p + taken;
    const bool scalarAllowed = allowNoncharacters ? (scalar < 0xD800 || (scalar > 0xDFFF && scalar <= 0x10FFFF))
                                                  : isLegalScalar(scalar);
    if (!legal || !scalarAllowed) {
        *codePoint = kReplacementCharacter;
        return Illegal;
    }
    *codePoint = scalar;
    return Valid;
}

std::string repaired(std::string_view text) {
    const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* end = begin + text.size();
    const unsigned char* p = begin;
    while (p < end && *p < 0x80) ++p;
    // The usual case: valid text, looked at once and copied once.
    const unsigned char* bad = p;
    while (bad < end) {
        if (*bad < 0x80) {
            ++bad;
            continue;
        }
        const unsigned char* next = nullptr;
        uint32_t codePoint = 0;
        if (readScalar(bad, end, &next, &codePoint, true) != Valid) break;
        bad = next;
    }
    if (bad == end) return std::string(text);
    std::string out(text.substr(0, static_cast<size_t>(bad - begin)));
    p = bad;
    while (p < end) {
        const unsigned char* next = nullptr;
        uint32_t codePoint = 0;
        ReadResult result = readScalar(p, end, &next, &codePoint, true);
        append(out, result == Valid ? codePoint : kReplacementCharacter);
        p = result == Exhausted ? end : next;
    }
    return out;
}

}  // namespace strombel::json::utf8
