#include "platform/byte_count.h"

#include <cmath>
#include <cstdio>

namespace strombel::platform {

std::string byteCountText(uint64_t bytes) {
    if (bytes == 1) return "1 byte";
    if (bytes < 1024) return std::to_string(bytes) + " bytes";
    static const char* const units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    double value = double(bytes) / 1024;
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) value /= 1024, ++unit;
    // One decimal, rounded; a whole number loses it ("64 MB", not "64.0 MB").
    double tenths = std::round(value * 10) / 10;
    if (tenths >= 1024 && unit + 1 < std::size(units)) tenths = std::round(tenths / 1024 * 10) / 10, ++unit;
    char text[32];
    if (tenths == std::floor(tenths)) std::snprintf(text, sizeof text, "%.0f %s", tenths, units[unit]);
    else std::snprintf(text, sizeof text, "%.1f %s", tenths, units[unit]);
    return text;
}

}  // namespace strombel::platform
