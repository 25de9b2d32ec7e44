#include "hub/hub_built_in_images.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "hub/hub_peer_resource.h"

namespace strombel::hub {

std::shared_ptr<HubImage> HubBuiltInImageNamed(std::string_view name) {
    static std::mutex mutex;
    static std::map<std::string, std::shared_ptr<HubImage>, std::less<>> decoded;
    std::lock_guard lock(mutex);
    if (auto it = decoded.find(name); it != decoded.end()) return it->second;
    size_t count = 0;
    const HubBuiltInImageData* table = hubBuiltInImageTable(count);
    for (size_t i = 0; i < count; ++i) {
        if (name != table[i].name) continue;
        auto image = HubImage::fromData(std::vector<uint8_t>(table[i].bytes, table[i].bytes + table[i].length));
        decoded.emplace(std::string(name), image);
        return image;
    }
    return nullptr;
}

}  // namespace strombel::hub
