// Hostile store catalogues: decoding one never crashes, and every item it keeps
// has a plain id, exactly one ".pack" and addresses under the store's folders.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "library/pack_file.h"
#include "store/store_catalogue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace strombel;
    static const store::StoreSettings settings;
    static const std::vector<std::string> stock{"ravellenights"};
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto items = store::decodeStoreItems(text, {settings, stock, [](const std::string&) { return false; }});
    if (!items.ok()) return 0;
    for (const auto& item : items.value()) {
        if (!library::isPlainFileName(item.identifier)) std::abort();
        size_t packs = 0;
        for (const auto& file : item.contentFiles) {
            if (!library::isPlainFileName(file)) std::abort();
            packs += file.ends_with(".pack");
        }
        if (packs != 1 || item.contentFiles.size() != item.contentURLs.size()) std::abort();
        for (const auto& url : item.contentURLs) {
            if (!url.starts_with(settings.baseURL)) std::abort();
        }
        if (!item.iconURL.empty() && !item.iconURL.starts_with(settings.iconBaseURL)) std::abort();
    }
    return 0;
}
