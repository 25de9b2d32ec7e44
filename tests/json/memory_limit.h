#pragma once

// Caps the address space of the calling process a given number of bytes above
// what it maps now, so that a larger allocation fails as on a machine that has
// run out of memory. Meant for a death-test child: the cap stays until it exits.

#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>

namespace strombel::json::testing {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kCanCapMemory = false;  // the sanitizers' own mappings and allocators
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
inline constexpr bool kCanCapMemory = false;
#else
inline constexpr bool kCanCapMemory = true;
#endif
#else
inline constexpr bool kCanCapMemory = true;
#endif

inline bool capAddressSpace(uint64_t headroomBytes) {
    uint64_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    if (pages == 0) return false;
    const uint64_t mapped = pages * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = mapped + headroomBytes;
    return ::setrlimit(RLIMIT_AS, &limit) == 0;
}

}  // namespace strombel::json::testing
