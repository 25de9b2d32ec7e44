#pragma once

// The images the hub's triggers and panel use, drawn at build time by
// tools/hub_images and compiled in.

#include <cstddef>
#include <memory>
#include <string_view>

namespace strombel::hub {

class HubImage;

struct HubBuiltInImageData {
    const char* name;
    const unsigned char* bytes;
    size_t length;
};
/// The compiled-in table (generated).
const HubBuiltInImageData* hubBuiltInImageTable(size_t& count);

/// "Blank-App.png", "Bypass-Off.png", "Bypass-On.png", "Pause.png", "Play.png",
/// "Record.png", "Rewind.png", "Skip.png", "Switch-To-App.png": decoded on the
/// first request and kept for the life of the process; none for other names.
std::shared_ptr<HubImage> HubBuiltInImageNamed(std::string_view name);

}  // namespace strombel::hub
