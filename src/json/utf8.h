#pragma once

// UTF-8 sequences as the codecs read and write them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace strombel::json::utf8 {

enum ReadResult : int { Valid = 0, Exhausted = 1, Illegal = 3 };

inline constexpr uint32_t kReplacementCharacter = 0xFFFD;

/// Whether `codePoint` may appear in text: not a surrogate, not U+FDD0..U+FDEF, not
/// one whose low 16 bits are FFFE or FFFF, not beyond U+10FFFF.
inline bool isLegalScalar(uint32_t codePoint) {
    if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return false;
    if (codePoint >= 0xFDD0 && codePoint <= 0xFDEF) return false;
    if ((codePoint & 0xFFFE) == 0xFFFE) return false;
    return codePoint <= 0x10FFFF;
}

/// Reads one sequence starting at `p` (before `end`). Valid: `codePoint` is the
/// scalar and `next` lies after it. Illegal: U+FFFD, and `next` lies after the lead
/// byte and the continuation bytes that follow it (up to the sequence's length).
/// Exhausted: the input ends inside the sequence. With `allowNoncharacters`,
/// U+FDD0..U+FDEF and the code points ending in FFFE or FFFF count as valid.
ReadResult readScalar(const unsigned char* p, const unsigned char* end, const unsigned char** next,
                      uint32_t* codePoint, bool allowNoncharacters = false);

/// readScalar with the common valid two- and three-byte sequences decoded inline
/// (`allowNoncharacters` as there).
inline ReadResult readScalarFast(const unsigned char* p, const unsigned char* end, const unsigned char** next,
                                 uint32_t* codePoint, bool allowNoncharacters = false) {
    const unsigned char lead = p[0];
    if (lead >= 0xC2 && lead <= 0xDF && end - p >= 2 && (p[1] & 0xC0) == 0x80) {
        *codePoint = ((lead & 0x1Fu) << 6) | (p[1] & 0x3Fu);
        *next = p + 2;
        return Valid;
    }
    if (lead >= 0xE1 && lead <= 0xEC && end - p >= 3 && (p[1] & 0xC0) == 0x80 && (p[2] & 0xC0) == 0x80) {
        *codePoint = ((lead & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
        *next = p + 3;
        return Valid;
    }
    if (lead >= 0xF0 && lead <= 0xF4 && end - p >= 4 && (p[1] & 0xC0) == 0x80 && (p[2] & 0xC0) == 0x80 &&
        (p[3] & 0xC0) == 0x80 && (lead != 0xF0 || p[1] >= 0x90) && (lead != 0xF4 || p[1] < 0x90)) {
        const uint32_t scalar =
            ((lead & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
        if (isLegalScalar(scalar)) {
            *codePoint = scalar;
            *next = p + 4;
            return Valid;
        }
    }
    return readScalar(p, end, next, codePoint, allowNoncharacters);
}

/// `text` when it is valid UTF-8 (noncharacters allowed), else the same with
/// U+FFFD in place of every bad sequence. Files and the network may hold anything.
std::string repaired(std::string_view text);

/// Appends the 1 to 4 bytes of `codePoint`.
inline void append(std::string& out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        const char bytes[2] = {static_cast<char>(0xC0 | (codePoint >> 6)), static_cast<char>(0x80 | (codePoint & 0x3F))};
        out.append(bytes, 2);
    } else if (codePoint < 0x10000) {
        const char bytes[3] = {static_cast<char>(0xE0 | (codePoint >> 12)),
                               static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)),
                               static_cast<char>(0x80 | (codePoint & 0x3F))};
        out.append(bytes, 3);
    } else {
        const char bytes[4] = {static_cast<char>(0xF0 | (codePoint >> 18)),
                               static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)),
                               static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)),
                               static_cast<char>(0x80 | (codePoint & 0x3F))};
        out.append(bytes, 4);
    }
}

}  // namespace strombel::json::utf8
