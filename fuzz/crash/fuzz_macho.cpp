// The Mach-O reader with its symbol and Objective-C lookups: any image bytes
// must give codes within bounded work. The image is laid out at a fixed low
// address, so that the absolute pointers inside it (Objective-C metadata) can
// point into it, 32-bit ones included. The seeds are images laid out by the
// tests' builder (tests/crash/crash_macho_builder.h), the first of them at
// this very address.
//
// Input: 8 bytes of pc offset from the image, then the image.

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "crash/crash_image_list.h"
#include "crash/crash_macho.h"
#include "crash/crash_objc.h"
#include "crash/crash_symbol.h"

using namespace strombel::crash;

namespace {

constexpr uint64_t kImageAddress = 0x40000000;
constexpr size_t kRoom = 1 << 20;

uint8_t* room() {
    static uint8_t* mapped = [] {
        void* region = mmap(reinterpret_cast<void*>(kImageAddress), kRoom, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (region == MAP_FAILED) std::abort();
        return static_cast<uint8_t*>(region);
    }();
    return mapped;
}

int found = 0;
void symbolFound(uint64_t, const char* name, void*) {
    if (std::strlen(name) > CRASH_SYMBOL_NAME_MAX) std::abort();
    ++found;
}
void methodFound(bool, const char* className, const char* selector, uint64_t, void*) {
    if (std::strlen(className) > 255 || std::strlen(selector) > 255) std::abort();
    ++found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8 + 28 || size - 8 > kRoom) return 0;
    uint64_t pcOffset;
    std::memcpy(&pcOffset, data, 8);
    uint8_t* image = room();
    std::memset(image, 0, kRoom);
    std::memcpy(image, data + 8, size - 8);
    uint64_t header = reinterpret_cast<uint64_t>(image);
    uint64_t pc = header + pcOffset % kRoom;
    // As at crash time: the memory map loaded, the image read in place.
    static crash_memory_map memory;
    if (!memory.ranges && !crash_memory_map_reserve(&memory, 8192)) std::abort();
    if (!crash_memory_map_load(&memory)) std::abort();
    const crash_memory_map* map = (pcOffset >> 63) ? nullptr : &memory;  // through the kernel now and then

    crash_macho_image record;
    if (crash_macho_image_init(&record, map, "fuzz", header) != 0) return 0;
    uint8_t uuid[16];
    crash_macho_image_uuid(&record, map, uuid);
    crash_mobject section;
    crash_macho_map_section(&record, map, "__TEXT", "__unwind_info", &section);
    crash_macho_map_section(&record, map, "__TEXT", "__eh_frame", &section);

    found = 0;
    int bySymbol = crash_macho_find_symbol_by_pc(&record, map, pc, symbolFound, nullptr);
    if ((bySymbol == 0) != (found == 1)) std::abort();
    uint64_t address = 0;
    crash_macho_find_symbol_by_name(&record, map, "_main", &address);

    crash_objc_cache cache;
    crash_objc_cache_init(&cache);
    found = 0;
    int byMethod = crash_objc_method_lookup(&record, map, &cache, pc, methodFound, nullptr);
    if ((byMethod == 0) != (found == 1)) std::abort();
    for (uint32_t strategy = 1; strategy <= 3; ++strategy) {
        found = 0;
        int chosen = crash_find_symbol(&record, map, strategy, &cache, pc, symbolFound, nullptr);
        if ((chosen == 0) != (found == 1)) std::abort();
    }
    crash_objc_cache_free(&cache);

    // Listed by its magic beside nothing else.
    crash_image_list images(2);
    if (images.append(header, "fuzz") && record.textSize > 0 && !images.find(header, 0)) std::abort();
    return 0;
}
