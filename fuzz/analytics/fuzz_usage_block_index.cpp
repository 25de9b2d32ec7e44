// The upload queue's block index: whatever an index archive holds, only UUIDs
// come out as block names, so no entry can name a file outside the folder.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "analytics/keyed_archive.h"
#include "analytics/usage_checksum.h"
#include "analytics/usage_data_sender.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace strombel::analytics;
    std::vector<uint8_t> bytes{'U', 'K', 'A', '1'};
    bytes.insert(bytes.end(), data, data + size);
    uint32_t checksum = usageCrc32(bytes);
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(checksum >> shift));
    std::optional<ArchiveValue> value = KeyedArchive::decode(bytes);
    if (!value) return 0;
    std::optional<UsageDataSenderIndex> index = UsageDataSenderIndex::fromArchive(*value);
    if (!index) return 0;
    for (const auto& [key, blocks] : index->indexMap) {
        for (const auto& block : blocks) {
            if (block.identifier.size() != 36 || block.identifier.find('/') != std::string::npos) __builtin_trap();
        }
    }
    return 0;
}
