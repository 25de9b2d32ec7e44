// The archive reader: damaged or hostile bytes give nothing, and what reads
// back is written back the same.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "analytics/keyed_archive.h"
#include "archive_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace strombel::analytics;
    std::vector<uint8_t> bytes = framedAsArchive(data, size);
    if (auto value = KeyedArchive::decode(bytes)) {
        // What reads back is written back the same (compared as bytes: a NaN
        // read back is the same NaN, though it equals nothing).
        std::vector<uint8_t> written = KeyedArchive::encode(*value);
        auto again = KeyedArchive::decode(written);
        if (!again || KeyedArchive::encode(*again) != written) __builtin_trap();
    }
    (void)KeyedArchive::decode(std::vector<uint8_t>(data, data + size));
    return 0;
}
