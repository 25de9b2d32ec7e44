#pragma once

// The crash-time primitives: error codes, the buffered output file, safe memory
// reads and the few string helpers the writer needs. Everything here is
// async-signal-safe: no heap, no locks, no stdio; only system calls that POSIX
// allows in a signal handler.

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace strombel::crash {

/// Result codes of crash-time operations.
enum crash_async_error : int {
    CRASH_ESUCCESS = 0,
    CRASH_EUNKNOWN = 1,
    CRASH_OUTPUT_ERR = 2,
    CRASH_ENOMEM = 3,
    CRASH_ENOTSUP = 4,
    CRASH_EINVAL = 5,
    CRASH_EINTERNAL = 6,
    CRASH_EACCESS = 7,
    CRASH_ENOTFOUND = 8,
    CRASH_EINVALID_DATA = 9,
};

/// The text of a result code; "Unhandled error code" for any other value.
const char* crash_async_strerror(int error);

/// A report's output: a descriptor behind one 256-byte buffer, with an optional
/// limit on the bytes accepted. A write that would pass the limit is refused
/// whole and counted; the writes after it go on as if it had not been asked.
/// A write to the descriptor that fails sets `failed`, which stays set: bytes
/// are missing from the file, and the final flush or close says so.
struct crash_async_file {
    int fd = -1;
    uint64_t limit = 0;  // 0: none
    uint64_t total = 0;  // bytes accepted
    uint64_t bufferLength = 0;
    uint32_t refused = 0;
    bool failed = false;
    char buffer[256];
};

void crash_async_file_init(crash_async_file* file, int fd, uint64_t limit);
/// False when the limit refused the write (nothing of it goes out) or writing
/// to the descriptor failed.
bool crash_async_file_write(crash_async_file* file, const void* bytes, size_t length);
/// Writes the buffered bytes out; false when that fails or an earlier write to
/// the descriptor failed (refused writes do not count).
bool crash_async_file_flush(crash_async_file* file);
/// Flushes, then closes the descriptor; false as flush is, or when closing fails.
bool crash_async_file_close(crash_async_file* file);

/// Writes all of `length` bytes, repeating after EINTR and after a write that
/// took nothing; -1 on an error, or when the descriptor keeps taking nothing.
ssize_t crash_async_writen(int fd, const void* bytes, size_t length);

void* crash_async_memcpy(void* destination, const void* source, size_t length);
void* crash_async_memset(void* destination, int value, size_t length);
int crash_async_memcmp(const void* a, const void* b, size_t length);
int crash_async_strcmp(const char* a, const char* b);
int crash_async_strncmp(const char* a, const char* b, size_t length);
size_t crash_async_strlen(const char* text);
/// Copies at most `size - 1` bytes of `source` and terminates; the bytes copied.
size_t crash_async_strlcpy(char* destination, const char* source, size_t size);
/// Writes `value` as decimal text into `buffer` (at least 12 bytes), terminated.
void crash_async_format_int(char* buffer, int value);

/// base + offset into `result`; false when it would pass 2^64 or go below 0.
bool crash_async_address_add(uint64_t base, int64_t offset, uint64_t* result);

/// The readable, unreadable and absent ranges of the process's memory, read from
/// /proc/self/maps into a table reserved beforehand. Crash-time code loads it
/// once per report; safe reads then answer from it without touching bad memory.
/// A process may have more ranges than the table holds (the kernel allows tens
/// of thousands): the table then keeps the lowest ones, and every address above
/// the last of them is read through the kernel.
struct crash_memory_map {
    struct Range {
        uint64_t start;
        uint64_t end;
        uint32_t flags;  // kReadable | kThroughKernel
    };
    static constexpr uint32_t kReadable = 1;
    /// Read through the kernel, never in place: a file mapping that its file
    /// may no longer cover whole (reading past the file's end would fault), or
    /// one of the kernel's special pages. A file mapping whose file, found by
    /// its path with the same device and inode, covers it whole when the map is
    /// loaded is read in place like plain memory.
    static constexpr uint32_t kThroughKernel = 2;

    Range* ranges = nullptr;
    uint32_t capacity = 0;
    uint32_t count = 0;
    bool loaded = false;
    /// Ranges were left out for want of room: the table speaks only for the
    /// addresses below `heldEnd`.
    bool truncated = false;
    uint64_t heldEnd = 0;
    /// The range found last: the reads of a walk keep to a few ranges.
    mutable std::atomic<uint32_t> lastFound{0};
};

/// Reserves room for `capacity` ranges (ordinary context: it maps memory).
bool crash_memory_map_reserve(crash_memory_map* map, uint32_t capacity);
/// Gives the room back (ordinary context).
void crash_memory_map_release(crash_memory_map* map);
/// Reads /proc/self/maps into the table; false (and the table marked not
/// loaded) when it cannot. Async-signal-safe.
bool crash_memory_map_load(crash_memory_map* map);

/// Whether a loaded map knows what lies at `address` (false past a truncated
/// table's last range: ask the kernel). Async-signal-safe.
inline bool crash_memory_map_holds(const crash_memory_map* map, uint64_t address) {
    return map && map->loaded && (!map->truncated || address < map->heldEnd);
}
/// The range of a loaded map that holds `address`, or nullptr. Async-signal-safe.
const crash_memory_map::Range* crash_memory_map_find(const crash_memory_map* map, uint64_t address);

/// Copies `length` bytes at `address + offset` of this process into
/// `destination` without ever faulting: 0, 7 for memory that is mapped but not
/// readable, 8 for memory that is not mapped, 3 when the address overflows.
/// Uses `map` where it holds the address, else asks the kernel (by
/// process_vm_readv or, where that is refused, by writing the bytes to a pipe).
int crash_async_read(const crash_memory_map* map, uint64_t address, int64_t offset, void* destination, size_t length);

/// Byte order of values read from an image.
struct crash_async_byteorder {
    uint16_t (*swap16)(uint16_t);
    uint32_t (*swap32)(uint32_t);
    uint64_t (*swap64)(uint64_t);
};
const crash_async_byteorder* crash_async_byteorder_native();
const crash_async_byteorder* crash_async_byteorder_swapped();

int crash_async_read_uint8(const crash_memory_map* map, uint64_t address, int64_t offset, uint8_t* result);
int crash_async_read_uint16(const crash_memory_map* map, const crash_async_byteorder* order, uint64_t address,
                            int64_t offset, uint16_t* result);
int crash_async_read_uint32(const crash_memory_map* map, const crash_async_byteorder* order, uint64_t address,
                            int64_t offset, uint32_t* result);
int crash_async_read_uint64(const crash_memory_map* map, const crash_async_byteorder* order, uint64_t address,
                            int64_t offset, uint64_t* result);

/// A guarded bump allocator for crash-time code that needs scratch memory:
/// one region reserved up front, handed out in 16-byte steps by compare-and-
/// swap, never given back singly. Nothing in the capture path uses it yet.
struct crash_async_allocator {
    uint64_t regionStart;
    uint64_t regionSize;
    uint64_t usableStart;
    uint64_t usableSize;
    std::atomic<uint64_t> next;
};
inline constexpr uint32_t CRASH_ALLOCATOR_GUARD_LOW = 1;
inline constexpr uint32_t CRASH_ALLOCATOR_GUARD_HIGH = 2;
/// Reserves `initialSize` bytes (plus its bookkeeping, in whole pages) with an
/// unreadable guard page below (flag 1) and/or above (flag 2); 3 on failure.
int crash_async_allocator_create(crash_async_allocator** allocator, size_t initialSize, uint32_t flags);
/// `size` bytes rounded up to 16, or nullptr when the region is used up.
void* crash_async_allocator_allocate(crash_async_allocator* allocator, size_t size);

/// The calling thread's kernel thread id.
pid_t crash_async_gettid();

/// Futex wait on `word` while it holds `expected`, for at most `timeoutNanos`
/// (0: no limit); wake up to `count` waiters.
void crash_async_futex_wait(std::atomic<uint32_t>* word, uint32_t expected, uint64_t timeoutNanos);
void crash_async_futex_wake(std::atomic<uint32_t>* word, int count);

/// CLOCK_MONOTONIC in nanoseconds.
uint64_t crash_async_monotonic_nanos();

}  // namespace strombel::crash
