// The upload queue's block index: whatever an index archive holds, only UUIDs
// come out as block names, so no entry can name a file outside the folder.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "analytics/keyed_archive.h"
#include "archive_frame.h"
#include "analytics/usage_data_sender.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace strombel::analytics;
    std::vector<uint8_t> bytes = framedAsArchive(data, size);
    auto value = KeyedArchive::decode(bytes);
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
