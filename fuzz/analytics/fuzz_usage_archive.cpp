// The archive reader. The checksum is made right first, so that the bytes
// reach the reader proper instead of stopping at the checksum.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "analytics/keyed_archive.h"
#include "analytics/usage_checksum.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace strombel::analytics;
    std::vector<uint8_t> bytes{'U', 'K', 'A', '1'};
    bytes.insert(bytes.end(), data, data + size);
    uint32_t checksum = usageCrc32(bytes);
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(checksum >> shift));
    if (auto value = KeyedArchive::decode(bytes)) {
        // What reads back is written back the same.
        if (KeyedArchive::decode(KeyedArchive::encode(*value)) != value) __builtin_trap();
    }
    KeyedArchive::decode(std::vector<uint8_t>(data, data + size));
    return 0;
}
