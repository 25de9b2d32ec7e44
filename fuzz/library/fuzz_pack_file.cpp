// Hostile ".pack" descriptions: reading one never crashes, and whatever it
// accepts names only plain files and at most twelve pads per bank.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "library/pack_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto pack = strombel::library::readPackDescription(text);
    if (!pack.ok()) return 0;
    if (pack.value().id.empty()) std::abort();
    for (const auto& bank : pack.value().banks) {
        if (bank.sounds.size() > 12) std::abort();
        for (const auto& sound : bank.sounds) {
            if (!strombel::library::isPlainFileName(sound.file)) std::abort();
        }
    }
    return 0;
}
