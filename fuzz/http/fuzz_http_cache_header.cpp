// Hostile bytes as a cache entry's header file (they come from disk). Whatever
// reads must write and read again to the same header.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "http/cache_entry.h"

using namespace strombel::http;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::optional<CacheEntryHeader> header = readCacheEntryHeader(text);
    if (!header) return 0;
    std::optional<CacheEntryHeader> again = readCacheEntryHeader(writeCacheEntryHeader(*header));
    if (!again || !(*again == *header)) std::abort();
    return 0;
}
