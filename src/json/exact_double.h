#pragma once

// Correctly rounded doubles from decimal digits and a power of ten, by exact integer
// arithmetic, for the common shapes of numbers in JSON text.

#include <array>
#include <bit>
#include <cstdint>

namespace strombel::json::detail {

inline constexpr uint64_t kIntegerPowersOfTen[] = {1ull,
                                                   10ull,
                                                   100ull,
                                                   1000ull,
                                                   10000ull,
                                                   100000ull,
                                                   1000000ull,
                                                   10000000ull,
                                                   100000000ull,
                                                   1000000000ull,
                                                   10000000000ull,
                                                   100000000000ull,
                                                   1000000000000ull,
                                                   10000000000000ull,
                                                   100000000000000ull,
                                                   1000000000000000ull,
                                                   10000000000000000ull,
                                                   100000000000000000ull,
                                                   1000000000000000000ull,
                                                   10000000000000000000ull};

/// ceil(2^(63 + b) / 10^k), b the bit length of 10^k: each lies in [2^63, 2^64).
inline constexpr auto kReciprocalsOfTen = [] {
    std::array<uint64_t, 20> table{};
    for (int k = 1; k < 20; ++k) {
        const uint64_t divisor = kIntegerPowersOfTen[k];
        const int bits = 64 - std::countl_zero(divisor);
        // 2^(63 + bits) / divisor, as a 128-bit division rounded up.
        const unsigned __int128 numerator = static_cast<unsigned __int128>(1) << (63 + bits);
        table[k] = static_cast<uint64_t>((numerator + divisor - 1) / divisor);
    }
    return table;
}();

/// (high:low) / divisor, when the quotient fits 64 bits (high < divisor).
inline uint64_t divideWide(uint64_t high, uint64_t low, uint64_t divisor, uint64_t* remainder) {
#if defined(__x86_64__)
    uint64_t quotient, rest;
    __asm__("divq %4" : "=a"(quotient), "=d"(rest) : "a"(low), "d"(high), "r"(divisor));
    *remainder = rest;
    return quotient;
#else
    const unsigned __int128 dividend = (static_cast<unsigned __int128>(high) << 64) | low;
    *remainder = static_cast<uint64_t>(dividend % divisor);
    return static_cast<uint64_t>(dividend / divisor);
#endif
}

/// The double with mantissa bits `mantissa` (2^52 <= mantissa < 2^53) times 2^exponent.
inline double composeDouble(uint64_t mantissa, int exponent) {
    const uint64_t biased = static_cast<uint64_t>(exponent + 52 + 1023);
    return std::bit_cast<double>((biased << 52) | (mantissa - (uint64_t{1} << 52)));
}

/// Rounds `bits` (whose highest set bit is bit 63 or 62, or anything when shift is
/// computed by the caller) to 53 bits: half to even, `sticky` telling whether
/// anything non-zero lies below `bits`.
inline double roundToDouble(uint64_t bits, bool sticky, int exponent) {
    const int shift = (64 - std::countl_zero(bits)) - 53;
    uint64_t mantissa = bits >> shift;
    const uint64_t rest = bits & ((uint64_t{1} << shift) - 1);
    const uint64_t half = uint64_t{1} << (shift - 1);
    if (rest > half || (rest == half && (sticky || (mantissa & 1)))) ++mantissa;
    int scale = shift + exponent;
    if (mantissa == (uint64_t{1} << 53)) {
        mantissa >>= 1;
        ++scale;
    }
    return composeDouble(mantissa, scale);
}

/// `digits` × 10^scale, correctly rounded, for 0 < digits and -19 <= scale <= 19.
/// Answers false when the shape is not one it handles.
[[gnu::always_inline]] inline bool exactDouble(uint64_t digits, int64_t scale, double* out) {
    if (digits == 0 || scale < -19 || scale > 19) return false;
    if (scale >= 0) {
        const unsigned __int128 product = static_cast<unsigned __int128>(digits) * kIntegerPowersOfTen[scale];
        const auto high = static_cast<uint64_t>(product >> 64);
        const auto low = static_cast<uint64_t>(product);
        if (high == 0) {
            if (low < (uint64_t{1} << 53)) {
                *out = static_cast<double>(low);
                return true;
            }
            // At most 64 bits: round them, nothing lies below.
            const int spare = std::countl_zero(low);
            *out = roundToDouble(low << spare, false, -spare);
            return true;
        }
        // Keep the top 64 bits; the rest only decides ties.
        const int lead = std::countl_zero(high);
        const uint64_t top = lead == 0 ? high : (high << lead) | (low >> (64 - lead));
        const uint64_t below = low << lead;
        *out = roundToDouble(top, below != 0, 64 - lead);
        return true;
    }
    const uint64_t divisor = kIntegerPowersOfTen[-scale];
    const int lead = std::countl_zero(digits);
    const uint64_t normal = digits << lead;
    // First by the divisor's reciprocal, rounded up: the product overshoots the exact
    // quotient (scaled by 2^(63 + bit length of the divisor)) by less than 2^64, which
    // settles the rounding unless the bits below the mantissa lie right at one half.
    {
        const int bits = 64 - std::countl_zero(divisor);
        const unsigned __int128 product = static_cast<unsigned __int128>(normal) * kReciprocalsOfTen[-scale];
        const auto high = static_cast<uint64_t>(product >> 64);
        const auto low = static_cast<uint64_t>(product);
        const int spare = (64 - std::countl_zero(high)) - 53;
        const uint64_t below = high & ((uint64_t{1} << spare) - 1);
        const uint64_t half = uint64_t{1} << (spare - 1);
        if (below != half && !(below == half + 1 && low == 0)) {
            uint64_t mantissa = (high >> spare) + (below > half ? 1 : 0);
            int exponent = spare + 64 - (63 + bits) - lead;
            if (mantissa == (uint64_t{1} << 53)) {
                mantissa >>= 1;
                ++exponent;
            }
            *out = composeDouble(mantissa, exponent);
            return true;
        }
    }
    // Shifted left by one less than the divisor's bit length, the quotient lies in
    // (2^62, 2^64) and the division fits one wide divide.
    const int shift = 63 - std::countl_zero(divisor);
    const uint64_t high = normal >> (64 - shift);
    const uint64_t low = normal << shift;
    uint64_t remainder;
    const uint64_t quotient = divideWide(high, low, divisor, &remainder);
    *out = roundToDouble(quotient, remainder != 0, -(lead + shift));
    return true;
}

}  // namespace strombel::json::detail
