#pragma once

// The engine's sample format, 8.24 fixed point (full scale 1 << 24), and its
// conversions to and from the formats of devices and files.

#include <algorithm>
#include <cstdint>

namespace strombel::platform {

/// Converts one 8.24 sample to a float in [-1, 1], saturating.
inline float fixed824ToFloat(int32_t sample) {
    float value = static_cast<float>(sample) * (1.0f / 16777216.0f);
    return value > 1.0f ? 1.0f : (value < -1.0f ? -1.0f : value);
}

/// Converts a float to 8.24, saturating at the 32-bit range (NaN gives 0).
inline int32_t floatToFixed824(float value) {
    float scaled = value * 16777216.0f;
    if (!(scaled == scaled)) return 0;
    if (scaled >= 2147483520.0f) return INT32_MAX;
    if (scaled <= -2147483648.0f) return INT32_MIN;
    return static_cast<int32_t>(scaled);
}

/// Converts 8.24 to 16 bit, clipping at full scale.
inline int16_t fixed824ToInt16(int32_t sample) {
    const int32_t value = sample >> 9;  // full scale 1 << 24 becomes 1 << 15
    return static_cast<int16_t>(std::min(std::max(value, -32768), 32767));
}

}  // namespace strombel::platform
