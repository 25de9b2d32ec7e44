#pragma once

// The fuzzer's bytes framed as an archive: "UKA1", the bytes, and their CRC-32,
// so that they reach the reader proper instead of stopping at the checksum.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "analytics/usage_checksum.h"

inline std::vector<uint8_t> framedAsArchive(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes{'U', 'K', 'A', '1'};
    bytes.insert(bytes.end(), data, data + size);
    uint32_t checksum = strombel::analytics::usageCrc32(bytes);
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(checksum >> shift));
    return bytes;
}
