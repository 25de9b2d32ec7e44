#pragma once

// Finding the end of a run of plain string bytes: anything but `"`, `\`, a control
// byte below 0x20 or a byte of 0x80 or more. Sixteen bytes at a time where SSE2 is there.

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace strombel::json::detail {

inline bool isPlainStringByte(unsigned char c) { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\'; }

inline const unsigned char* skipPlainStringBytes(const unsigned char* p, const unsigned char* end) {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i space = _mm_set1_epi8(0x20);
    while (end - p >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        // As signed bytes, both the control bytes and those of 0x80 or more lie below 0x20.
        const __m128i special = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)),
                                             _mm_cmplt_epi8(bytes, space));
        const int mask = _mm_movemask_epi8(special);
        if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#endif
    while (p < end && isPlainStringByte(*p)) ++p;
    return p;
}

}  // namespace strombel::json::detail
