#include "analytics/usage_checksum.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace strombel::analytics {

namespace {

using Tables = std::array<std::array<uint32_t, 256>, 16>;

// Table 0 is the classic one-byte table; table k advances a byte k more places,
// so sixteen bytes are folded in at once (the result equals one table step per
// byte).
constexpr Tables makeTables() {
    Tables tables{};
    for (uint32_t byte = 0; byte < 256; ++byte) {
        uint32_t crc = byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        tables[0][byte] = crc;
    }
    for (uint32_t byte = 0; byte < 256; ++byte) {
        for (size_t k = 1; k < tables.size(); ++k) {
            uint32_t previous = tables[k - 1][byte];
            tables[k][byte] = (previous >> 8) ^ tables[0][previous & 0xFF];
        }
    }
    return tables;
}

constexpr Tables kTables = makeTables();

inline uint32_t loadLittle32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// The register after `bytes`, sixteen bytes a step through the tables.
uint32_t throughTables(uint32_t crc, const uint8_t* at, size_t left) {
    while (left >= 16) {
        uint32_t a = loadLittle32(at) ^ crc;
        uint32_t b = loadLittle32(at + 4);
        uint32_t c = loadLittle32(at + 8);
        uint32_t d = loadLittle32(at + 12);
        crc = kTables[15][a & 0xFF] ^ kTables[14][(a >> 8) & 0xFF] ^ kTables[13][(a >> 16) & 0xFF] ^
              kTables[12][a >> 24] ^ kTables[11][b & 0xFF] ^ kTables[10][(b >> 8) & 0xFF] ^
              kTables[9][(b >> 16) & 0xFF] ^ kTables[8][b >> 24] ^ kTables[7][c & 0xFF] ^
              kTables[6][(c >> 8) & 0xFF] ^ kTables[5][(c >> 16) & 0xFF] ^ kTables[4][c >> 24] ^
              kTables[3][d & 0xFF] ^ kTables[2][(d >> 8) & 0xFF] ^ kTables[1][(d >> 16) & 0xFF] ^
              kTables[0][d >> 24];
        at += 16;
        left -= 16;
    }
    while (left--) crc = (crc >> 8) ^ kTables[0][(crc ^ *at++) & 0xFF];
    return crc;
}

#if defined(__x86_64__)

// Folding with carry-less multiplication: four 128-bit lanes move 512 bits
// ahead at a time, are folded into one, and the last 128 bits are reduced to the
// 32-bit register (Barrett reduction). The constants are x^n mod P, bit-reflected
// and shifted left by one, for the distances n named beside them.
constexpr int64_t kFold512Low = 0x154442bd4;   // n = 4 * 128 + 32
constexpr int64_t kFold512High = 0x1c6e41596;  // n = 4 * 128 - 32
constexpr int64_t kFold128Low = 0x1751997d0;   // n = 128 + 32
constexpr int64_t kFold128High = 0x0ccaa009e;  // n = 128 - 32
constexpr int64_t kFold64 = 0x163cd6124;       // n = 64
constexpr int64_t kPolynomial = 0x1db710641;   // P, reflected
constexpr int64_t kBarrettQuotient = 0x1f7011641;  // x^64 / P, reflected

__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i lane, __m128i constants, __m128i next) {
    __m128i low = _mm_clmulepi64_si128(lane, constants, 0x00);
    __m128i high = _mm_clmulepi64_si128(lane, constants, 0x11);
    return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i load(const uint8_t* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// The register after `length` bytes (at least 64, a multiple of 16).
__attribute__((target("pclmul,sse4.1"))) uint32_t folded(uint32_t crc, const uint8_t* at, size_t length) {
    const __m128i by512 = _mm_set_epi64x(kFold512High, kFold512Low);
    const __m128i by128 = _mm_set_epi64x(kFold128High, kFold128Low);
    const __m128i by64 = _mm_set_epi64x(0, kFold64);
    const __m128i barrett = _mm_set_epi64x(kBarrettQuotient, kPolynomial);
    const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);

    __m128i x1 = _mm_xor_si128(load(at), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = load(at + 16);
    __m128i x3 = load(at + 32);
    __m128i x4 = load(at + 48);
    at += 64;
    length -= 64;
    while (length >= 64) {
        x1 = fold(x1, by512, load(at));
        x2 = fold(x2, by512, load(at + 16));
        x3 = fold(x3, by512, load(at + 32));
        x4 = fold(x4, by512, load(at + 48));
        at += 64;
        length -= 64;
    }
    x1 = fold(x1, by128, x2);
    x1 = fold(x1, by128, x3);
    x1 = fold(x1, by128, x4);
    while (length >= 16) {
        x1 = fold(x1, by128, load(at));
        at += 16;
        length -= 16;
    }
    // 128 bits to 64, then to 32 more bits to reduce.
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, by128, 0x10));
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 4), _mm_clmulepi64_si128(_mm_and_si128(x1, low32), by64, 0x00));
    __m128i quotient = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), barrett, 0x10);
    __m128i product = _mm_clmulepi64_si128(_mm_and_si128(quotient, low32), barrett, 0x00);
    return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, product), 1));
}

bool processorFolds() {
    static const bool folds = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return folds;
}

#else

bool processorFolds() { return false; }
uint32_t folded(uint32_t crc, const uint8_t*, size_t) { return crc; }

#endif

}  // namespace

uint32_t usageCrc32Portable(std::span<const uint8_t> bytes, uint32_t previous) {
    return ~throughTables(~previous, bytes.data(), bytes.size());
}

bool usageCrc32IsFolded() { return processorFolds(); }

uint32_t usageCrc32(std::span<const uint8_t> bytes, uint32_t previous) {
    uint32_t crc = ~previous;
    const uint8_t* at = bytes.data();
    size_t left = bytes.size();
    if (left >= 64 && processorFolds()) {
        size_t whole = left & ~size_t{15};
        crc = folded(crc, at, whole);
        at += whole;
        left -= whole;
    }
    return ~throughTables(crc, at, left);
}

}  // namespace strombel::analytics
