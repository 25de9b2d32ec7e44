#include "crash/crash_mobject.h"

#include <unistd.h>

namespace strombel::crash {

namespace {
constexpr uint32_t kMaximumProbes = 4096;
}  // namespace

int crash_mobject_init(crash_mobject* object, const crash_memory_map* memory, uint64_t address, uint64_t length,
                       bool requireWhole) {
    object->address = address;
    object->length = 0;
    object->memory = memory;
    object->inPlace = false;
    uint64_t end = 0;
    if (length == 0 || !crash_async_address_add(address, static_cast<int64_t>(length - 1), &end)) return CRASH_ENOMEM;
    end += 1;  // may wrap to 0 only for a range ending at 2^64, refused above
    if (end == 0) return CRASH_ENOMEM;
    uint64_t covered = address;
    // Consecutive readable ranges of the map from the start on, as far as the
    // map holds them; the kernel answers for the rest.
    bool throughKernel = true;
    object->inPlace = true;
    while (memory && memory->loaded && covered < end) {
        if (!crash_memory_map_holds(memory, covered)) break;
        const crash_memory_map::Range* range = crash_memory_map_find(memory, covered);
        if (!range || !(range->flags & crash_memory_map::kReadable)) {
            throughKernel = false;
            break;
        }
        if (range->flags & crash_memory_map::kThroughKernel) object->inPlace = false;
        covered = range->end;
    }
    if (throughKernel && covered < end) {
        // Every read of such a view is a safe read anyway: a whole view needs
        // its first and last bytes; another is cut at its first unreadable
        // page among the first few thousand (so that a view over terabytes of
        // mapped memory costs no more).
        object->inPlace = false;
        unsigned char probe;
        if (requireWhole) {
            if (crash_async_read(memory, covered, 0, &probe, 1) == CRASH_ESUCCESS &&
                crash_async_read(memory, end - 1, 0, &probe, 1) == CRASH_ESUCCESS) {
                covered = end;
            }
        } else {
            uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
            for (uint32_t probes = 0; covered < end && probes < kMaximumProbes; ++probes) {
                if (crash_async_read(memory, covered, 0, &probe, 1) != CRASH_ESUCCESS) break;
                uint64_t next = (covered / page + 1) * page;
                if (next <= covered) break;
                covered = next;
            }
        }
    }
    if (covered <= address || (requireWhole && covered < end)) {
        object->inPlace = false;
        return CRASH_ENOMEM;
    }
    object->length = (covered < end ? covered : end) - address;
    return CRASH_ESUCCESS;
}

void crash_mobject_init_local(crash_mobject* object, const void* bytes, uint64_t length) {
    object->address = reinterpret_cast<uint64_t>(bytes);
    object->length = length;
    object->memory = nullptr;
    object->inPlace = true;
}

int crash_async_read_word(const crash_memory_map* memory, const crash_async_byteorder* order, uint64_t address,
                          bool is64, uint64_t* value) {
    if (is64) return crash_async_read_uint64(memory, order, address, 0, value);
    uint32_t narrow = 0;
    int result = crash_async_read_uint32(memory, order, address, 0, &narrow);
    if (result == CRASH_ESUCCESS) *value = narrow;
    return result;
}

}  // namespace strombel::crash
