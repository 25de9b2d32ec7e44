#pragma once

// The loaded images of the process. ELF images are listed in ordinary context
// from dl_iterate_phdr (each image's function symbols indexed then, its unwind
// table checked); a refresh lists the images loaded since and lets go of those
// unloaded. The loader tells nothing as it loads a library, so at crash time
// the writer walks the loader's link map with safe reads to learn which listed
// images are still loaded and which were loaded since the last refresh: those
// it describes from their headers into late records reserved beforehand, where
// their frames are unwound from their unwind tables and named from their files,
// like listed ones. Images can also be appended and removed one by one by
// their header address: ELF or Mach-O by their magic, anything else is not
// listed.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "crash/crash_async.h"
#include "crash/crash_elf.h"
#include "crash/crash_macho.h"

namespace strombel::crash {

inline constexpr uint32_t CRASH_IMAGE_BUILD_ID_MAX = 32;
inline constexpr uint32_t CRASH_IMAGE_NAME_MAX = 512;

enum crash_image_format : uint32_t {
    CRASH_IMAGE_FORMAT_ELF = 1,
    CRASH_IMAGE_FORMAT_MACHO = 2,
};

/// One image: where it lies, what it is called, its build-id (a Mach-O image's
/// UUID), its function symbols (ELF images listed in ordinary context) and
/// where its unwind tables are.
struct crash_image {
    uint32_t format = CRASH_IMAGE_FORMAT_ELF;
    uint64_t header = 0;   // where the image's header lies
    uint64_t base = 0;     // the first loadable segment (a Mach-O image's header)
    uint64_t size = 0;     // to the end of the last executable segment (Mach-O: "__TEXT")
    uint64_t bias = 0;     // added to the file's addresses (Mach-O: the slide)
    uint64_t dynamic = 0;  // address of its dynamic section: how the link map names it
    uint64_t cpuType = 0;
    uint64_t cpuSubtype = 0;
    const char* name = nullptr;
    uint8_t buildId[CRASH_IMAGE_BUILD_ID_MAX] = {};
    uint32_t buildIdLength = 0;
    const crash_elf_symbol* symbols = nullptr;
    uint32_t symbolCount = 0;
    const char* symbolNames = nullptr;
    // ELF: ".eh_frame_hdr" (PT_GNU_EH_FRAME) and the ".eh_frame" it indexes,
    // up to the end of the segment that holds it.
    uint64_t ehFrameHdr = 0;
    uint64_t ehFrameHdrSize = 0;
    uint64_t ehFrame = 0;
    uint64_t ehFrameEnd = 0;
    /// Its search table was found sorted and inside its sections when listed:
    /// lookups search it; otherwise they walk ".eh_frame".
    bool ehFrameHdrSorted = false;
    const crash_macho_image* macho = nullptr;  // Mach-O images' record
    uint32_t reportGeneration = 0;             // set by the writer for images still loaded
    /// A late image's file, opened at crash time to name its frames.
    crash_elf_file_symbols fileSymbols;

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

    /// Lists every loaded ELF image not listed yet and removes the listed ELF
    /// images that are no longer loaded (ordinary context: it allocates, opens
    /// the images' files and indexes their symbols). Safe against readers.
    void refresh();

    /// Lists the image whose header lies at `header`, named `path`, by its
    /// magic: ELF or Mach-O. False, listing nothing, for any other magic, a
    /// header that cannot be read or a full list. Ordinary context.
    bool append(uint64_t header, const char* path);
    /// Removes the image whose header lies at `header`; false when none is
    /// listed. While a reader holds the list its record stays as it is; the
    /// slot is taken again by a later append only after the last reader let go.
    bool remove(uint64_t header);

    /// Marks the list as being read (crash-time readers do, for the whole
    /// report) or no longer. Async-signal-safe.
    void setReading(bool reading);

    /// The slots used so far, in the order they were first filled; a slot may
    /// hold a removed image (see `live`). Async-signal-safe.
    uint32_t count() const { return count_.load(std::memory_order_acquire); }
    bool live(uint32_t index) const { return states_[index].load(std::memory_order_acquire) == kLive; }
    crash_image& at(uint32_t index) { return records_[index]; }
    const crash_image& at(uint32_t index) const { return records_[index]; }

    /// The listed image that holds `address` (among those marked for
    /// `generation` when it is not 0, and then the late images of that
    /// generation too), or nullptr. Async-signal-safe.
    const crash_image* find(uint64_t address, uint32_t generation) const;

    /// Reserves room for the late images of a report (ordinary context).
    bool reserveLate();
    /// Describes the image of a link-map entry the list does not hold (its load
    /// bias, the address of its name and of its dynamic section) into a late
    /// record of `generation`, and opens its file for its symbols; nullptr when
    /// it is no ELF image or the room is used up. For one writer at a time
    /// (it holds the writer's turn). Async-signal-safe.
    const crash_image* addLate(const crash_memory_map* map, uint64_t bias, uint64_t name, uint64_t dynamic,
                               uint32_t generation);
    /// The late image of `generation` whose link-map entry is (bias, dynamic), or nullptr.
    const crash_image* findLate(uint64_t bias, uint64_t dynamic, uint32_t generation) const;
    /// Forgets the late images and closes their files. Async-signal-safe.
    void clearLate();

private:
    enum : uint32_t { kFree = 0, kLive = 1, kRemoved = 2 };
    struct Owned {
        std::string name;
        ElfSymbols symbols;
        crash_macho_image macho;
    };
    // Fills `image` from the header at `header` (ordinary context).
    bool describe(uint64_t header, uint64_t bias, const std::string& path, crash_image* image, Owned* owned);
    bool publish(const crash_image& image, std::unique_ptr<Owned> owned);
    // Marks a listed record removed (under refreshMutex_).
    void removeLocked(uint32_t index);

    std::unique_ptr<crash_image[]> records_;
    std::unique_ptr<std::atomic<uint32_t>[]> states_;
    std::unique_ptr<std::unique_ptr<Owned>[]> owned_;
    uint32_t capacity_;
    std::atomic<uint32_t> count_{0};
    std::atomic<uint32_t> readers_{0};
    std::mutex refreshMutex_;

    static constexpr uint32_t kLateCapacity = 128;
    crash_image_stack_record* late_ = nullptr;  // kLateCapacity records, mapped by reserveLate
    uint32_t lateCount_ = 0;
    uint32_t lateGeneration_ = 0;
};

/// Fills `image` (base, size, bias, build-id, unwind table) from the ELF header
/// at `headerAddress` read with safe reads; false when it is not a readable
/// 64-bit ELF image. Async-signal-safe.
bool crash_image_describe(const crash_memory_map* map, uint64_t bias, uint64_t headerAddress, crash_image* image);

/// Calls `visit(bias, name address, dynamic address, context)` for each entry of
/// the dynamic loader's link map, at most `limit` entries; false when the map
/// cannot be read. Async-signal-safe.
bool crash_link_map_walk(const crash_memory_map* map, uint32_t limit,
                         bool (*visit)(uint64_t bias, uint64_t name, uint64_t dynamic, void* context), void* context);

}  // namespace strombel::crash
