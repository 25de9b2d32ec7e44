#pragma once

// Naming a pc from a Mach-O image's Objective-C metadata: the method whose
// implementation is nearest at or below it, with its class. Objective-C 2
// metadata ("__DATA": class list, category list, class data and method lists)
// is read, or else the legacy "__OBJC"/"__module_info" modules. Crash-time
// code: nothing from the heap; the class-data cache is one region mapped on
// first use and released with the cache.

#include <cstdint>

#include "crash/crash_async.h"
#include "crash/crash_macho.h"
#include "crash/crash_mobject.h"

namespace strombel::crash {

/// What one report keeps between lookups.
struct crash_objc_cache {
    static constexpr uint32_t kClassCacheEntries = 1024;

    bool objc2 = false;  // the image below uses Objective-C 2 metadata
    const crash_macho_image* image = nullptr;
    crash_mobject objcConst;
    crash_mobject classList;
    crash_mobject categoryList;
    crash_mobject objcData;
    bool hasConst = false;
    bool hasClassList = false;
    bool hasCategoryList = false;
    bool hasData = false;
    /// Pairs {read-write data, read-only data} of classes seen, at slot
    /// (read-write address >> 2) % 1024; a new pair takes its slot over.
    uint64_t* classCache = nullptr;
};

void crash_objc_cache_init(crash_objc_cache* cache);
/// Releases the class-data cache.
void crash_objc_cache_free(crash_objc_cache* cache);

/// Receives the method found: class method or instance method, the class's
/// name, the selector's name (each cut to 255 bytes), the implementation.
using crash_objc_method_callback = void (*)(bool isClassMethod, const char* className, const char* selector,
                                            uint64_t implementation, void* context);

/// The method of `image` whose implementation is the greatest at or below
/// `pc`. 7 without a cache; 8 when no method is at or below the pc or the
/// image has no metadata; 9 when the metadata is damaged or cannot be read.
int crash_objc_method_lookup(const crash_macho_image* image, const crash_memory_map* memory, crash_objc_cache* cache,
                             uint64_t pc, crash_objc_method_callback callback, void* context);

}  // namespace strombel::crash
