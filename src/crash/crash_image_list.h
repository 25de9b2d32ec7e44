#pragma once

// The loaded images of the process. The list is filled in ordinary context
// from dl_iterate_phdr (each image's function symbols indexed then); at crash
// time the writer walks the dynamic loader's link map with safe reads to learn
// which listed images are still loaded and which were loaded since, which it
// describes from their headers in records on its own stack.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "crash/crash_async.h"
#include "crash/crash_elf.h"

namespace strombel::crash {

inline constexpr uint32_t CRASH_IMAGE_BUILD_ID_MAX = 32;
inline constexpr uint32_t CRASH_IMAGE_NAME_MAX = 512;

/// One image: where it lies, what it is called, its GNU build-id and, for
/// images listed in ordinary context, its function symbols.
struct crash_image {
    uint64_t base = 0;     // the first loadable segment
    uint64_t size = 0;     // to the end of the last executable segment
    uint64_t bias = 0;     // added to the file's addresses
    uint64_t dynamic = 0;  // address of its dynamic section: how the link map names it
    const char* name = nullptr;
    uint8_t buildId[CRASH_IMAGE_BUILD_ID_MAX] = {};
    uint32_t buildIdLength = 0;
    const crash_elf_symbol* symbols = nullptr;
    uint32_t symbolCount = 0;
    const char* symbolNames = nullptr;
    uint32_t reportGeneration = 0;  // set by the writer for images still loaded

    bool contains(uint64_t address) const { return address >= base && address - base < size; }
};

/// An image found in the link map at crash time, described in place.
struct crash_image_stack_record {
    crash_image image;
    char name[CRASH_IMAGE_NAME_MAX];
};

class crash_image_list {
public:
    /// Room for `capacity` images; nothing listed yet.
    explicit crash_image_list(uint32_t capacity = 1024);
    crash_image_list(const crash_image_list&) = delete;
    crash_image_list& operator=(const crash_image_list&) = delete;

    /// Lists every loaded image not listed yet (ordinary context: it allocates,
    /// opens the images' files and indexes their symbols). Safe against readers.
    void refresh();

    /// The images listed, in the order they were found. Async-signal-safe.
    uint32_t count() const { return count_.load(std::memory_order_acquire); }
    crash_image& at(uint32_t index) { return records_[index]; }
    const crash_image& at(uint32_t index) const { return records_[index]; }

    /// The listed image that holds `address` (among those marked for
    /// `generation` when it is not 0), or nullptr. Async-signal-safe.
    const crash_image* find(uint64_t address, uint32_t generation) const;

private:
    struct Owned {
        std::string name;
        ElfSymbols symbols;
    };
    std::unique_ptr<crash_image[]> records_;
    uint32_t capacity_;
    std::atomic<uint32_t> count_{0};
    std::mutex refreshMutex_;
    std::vector<std::unique_ptr<Owned>> owned_;
};

/// Fills `image` (base, size, bias, build-id) from the ELF header at
/// `headerAddress` read with safe reads; false when it is not a readable
/// 64-bit ELF image. Async-signal-safe.
bool crash_image_describe(const crash_memory_map* map, uint64_t bias, uint64_t headerAddress, crash_image* image);

/// Calls `visit(bias, name address, dynamic address, context)` for each entry of
/// the dynamic loader's link map, at most `limit` entries; false when the map
/// cannot be read. Async-signal-safe.
bool crash_link_map_walk(const crash_memory_map* map, uint32_t limit,
                         bool (*visit)(uint64_t bias, uint64_t name, uint64_t dynamic, void* context), void* context);

}  // namespace strombel::crash
