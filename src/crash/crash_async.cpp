#include "crash/crash_async.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <new>

namespace strombel::crash {

const char* crash_async_strerror(int error) {
    switch (error) {
        case CRASH_ESUCCESS: return "No error";
        case CRASH_EUNKNOWN: return "Unknown error";
        case CRASH_OUTPUT_ERR: return "Output file can not be opened (or written to)";
        case CRASH_ENOMEM: return "No memory available";
        case CRASH_ENOTSUP: return "Operation not supported";
        case CRASH_EINVAL: return "Invalid argument";
        case CRASH_EINTERNAL: return "Internal error";
        case CRASH_EACCESS: return "Access denied";
        case CRASH_ENOTFOUND: return "Not found";
        case CRASH_EINVALID_DATA: return "The input data is in an unknown or invalid format.";
        default: return "Unhandled error code";
    }
}

// --- Output file ------------------------------------------------------------

void crash_async_file_init(crash_async_file* file, int fd, uint64_t limit) {
    file->fd = fd;
    file->limit = limit;
    file->total = 0;
    file->bufferLength = 0;
    file->refused = 0;
    file->failed = false;
}

namespace {

// Writes the buffer out and empties it; false when that write failed.
bool drainBuffer(crash_async_file* file) {
    if (file->bufferLength == 0) return true;
    ssize_t written = crash_async_writen(file->fd, file->buffer, file->bufferLength);
    file->bufferLength = 0;
    if (written >= 0) return true;
    file->failed = true;
    return false;
}

}  // namespace

bool crash_async_file_write(crash_async_file* file, const void* bytes, size_t length) {
    if (file->limit != 0 && (length > file->limit || file->total > file->limit - length)) {
        ++file->refused;
        return false;
    }
    file->total += length;
    if (file->bufferLength + length > sizeof file->buffer && !drainBuffer(file)) return false;
    if (file->bufferLength + length <= sizeof file->buffer) {
        crash_async_memcpy(file->buffer + file->bufferLength, bytes, length);
        file->bufferLength += length;
        return true;
    }
    if (crash_async_writen(file->fd, bytes, length) < 0) {
        file->failed = true;
        return false;
    }
    return true;
}

bool crash_async_file_flush(crash_async_file* file) { return drainBuffer(file) && !file->failed; }

bool crash_async_file_close(crash_async_file* file) {
    bool flushed = crash_async_file_flush(file);
    bool closed = close(file->fd) == 0;
    file->fd = -1;
    return flushed && closed;
}

ssize_t crash_async_writen(int fd, const void* bytes, size_t length) {
    // A write that takes nothing is tried again, as one cut short by a signal
    // is; a descriptor that keeps taking nothing would hold the crashing
    // process for good, so after a few such writes in a row it fails.
    constexpr int kMaximumIdleWrites = 16;
    const char* next = static_cast<const char*>(bytes);
    size_t left = length;
    int idle = 0;
    while (left > 0) {
        ssize_t written = write(fd, next, left);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return -1;
        if (written == 0) {
            if (++idle >= kMaximumIdleWrites) return -1;
            continue;
        }
        idle = 0;
        next += written;
        left -= static_cast<size_t>(written);
    }
    return static_cast<ssize_t>(length);
}

// --- Strings and bytes --------------------------------------------------------

// Reads memory the sanitizers did not hand out (other threads' stacks, their
// red zones included): checked by the memory map, not by them.
__attribute__((no_sanitize_address)) void* crash_async_memcpy(void* destination, const void* source, size_t length) {
    // Whole words where both sides are aligned (frame records are), then bytes.
    size_t i = 0;
    if (((reinterpret_cast<uintptr_t>(destination) | reinterpret_cast<uintptr_t>(source)) & 7) == 0) {
        auto* to = static_cast<volatile uint64_t*>(destination);
        const auto* from = static_cast<const volatile uint64_t*>(source);
        for (; i + 8 <= length; i += 8) to[i / 8] = from[i / 8];
    }
    auto* to = static_cast<volatile unsigned char*>(destination);
    const auto* from = static_cast<const unsigned char*>(source);
    for (; i < length; ++i) to[i] = from[i];
    return destination;
}

void* crash_async_memset(void* destination, int value, size_t length) {
    auto* to = static_cast<volatile unsigned char*>(destination);
    for (size_t i = 0; i < length; ++i) to[i] = static_cast<unsigned char>(value);
    return destination;
}

int crash_async_memcmp(const void* a, const void* b, size_t length) {
    const auto* x = static_cast<const unsigned char*>(a);
    const auto* y = static_cast<const unsigned char*>(b);
    for (size_t i = 0; i < length; ++i) {
        if (x[i] != y[i]) return x[i] - y[i];
    }
    return 0;
}

int crash_async_strcmp(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return static_cast<unsigned char>(*a) - static_cast<unsigned char>(*b);
}

int crash_async_strncmp(const char* a, const char* b, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (a[i] != b[i] || a[i] == '\0') return static_cast<unsigned char>(a[i]) - static_cast<unsigned char>(b[i]);
    }
    return 0;
}

size_t crash_async_strlen(const char* text) {
    size_t length = 0;
    while (text[length]) ++length;
    return length;
}

size_t crash_async_strlcpy(char* destination, const char* source, size_t size) {
    if (size == 0) return 0;
    size_t i = 0;
    for (; i + 1 < size && source[i]; ++i) destination[i] = source[i];
    destination[i] = '\0';
    return i;
}

void crash_async_format_int(char* buffer, int value) {
    char digits[12];
    size_t count = 0;
    // Work on the negative side so that INT_MIN needs no special case.
    int rest = value < 0 ? value : -value;
    do {
        digits[count++] = static_cast<char>('0' - rest % 10);
        rest /= 10;
    } while (rest != 0);
    size_t out = 0;
    if (value < 0) buffer[out++] = '-';
    while (count > 0) buffer[out++] = digits[--count];
    buffer[out] = '\0';
}

bool crash_async_address_add(uint64_t base, int64_t offset, uint64_t* result) {
    if (offset >= 0) {
        uint64_t sum = base + static_cast<uint64_t>(offset);
        if (sum < base) return false;
        *result = sum;
        return true;
    }
    uint64_t magnitude = static_cast<uint64_t>(-(offset + 1)) + 1;
    if (magnitude > base) return false;
    *result = base - magnitude;
    return true;
}

// --- Memory map and safe reads -----------------------------------------------

bool crash_memory_map_reserve(crash_memory_map* map, uint32_t capacity) {
    size_t bytes = sizeof(crash_memory_map::Range) * capacity;
    void* region = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED) return false;
    map->ranges = static_cast<crash_memory_map::Range*>(region);
    map->capacity = capacity;
    map->count = 0;
    map->loaded = false;
    return true;
}

void crash_memory_map_release(crash_memory_map* map) {
    if (map->ranges) munmap(map->ranges, sizeof(crash_memory_map::Range) * map->capacity);
    map->ranges = nullptr;
    map->capacity = 0;
    map->count = 0;
    map->loaded = false;
}

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One line of /proc/self/maps: "start-end perms offset major:minor inode   path".
struct MapsLine {
    uint64_t start = 0;
    uint64_t end = 0;
    bool readable = false;
    uint64_t offset = 0;
    uint64_t major = 0;
    uint64_t minor = 0;
    uint64_t inode = 0;
    const char* path = nullptr;
    size_t pathLength = 0;
};

bool parseMapsLine(const char* line, size_t length, MapsLine* out) {
    size_t i = 0;
    auto hex = [&](uint64_t* value) {
        size_t begin = i;
        *value = 0;
        while (i < length && hexDigit(line[i]) >= 0) *value = (*value << 4) | static_cast<uint64_t>(hexDigit(line[i++]));
        return i > begin;
    };
    auto skipSpaces = [&] {
        while (i < length && line[i] == ' ') ++i;
    };
    if (!hex(&out->start) || i >= length || line[i++] != '-' || !hex(&out->end) || i >= length || line[i++] != ' ') {
        return false;
    }
    if (i + 4 > length) return false;
    out->readable = line[i] == 'r';
    i += 4;
    skipSpaces();
    if (!hex(&out->offset)) return false;
    skipSpaces();
    if (!hex(&out->major) || i >= length || line[i++] != ':' || !hex(&out->minor)) return false;
    skipSpaces();
    out->inode = 0;
    while (i < length && line[i] >= '0' && line[i] <= '9') out->inode = out->inode * 10 + static_cast<uint64_t>(line[i++] - '0');
    skipSpaces();
    out->path = line + i;
    out->pathLength = length - i;
    return out->end > out->start;
}

// The file a mapping shows, asked once for consecutive lines of one file.
struct FileCheck {
    uint64_t major = UINT64_MAX;
    uint64_t minor = UINT64_MAX;
    uint64_t inode = 0;
    bool same = false;
    uint64_t size = 0;
};

// Whether the mapping can be read in place: plain memory (no file, the heap, a
// stack), or a file that still covers every page of it. `line.path` must be
// terminated. The kernel's special pages and files that were replaced, removed
// or cut short are read through the kernel, which refuses instead of faulting.
bool readableInPlace(const MapsLine& line, FileCheck* check) {
    const char* path = line.path;
    size_t length = line.pathLength;
    if (length == 0 || (length >= 6 && crash_async_strncmp(path, "[heap]", 6) == 0) ||
        (length >= 6 && crash_async_strncmp(path, "[stack", 6) == 0) ||
        (length >= 6 && crash_async_strncmp(path, "[anon:", 6) == 0)) {
        return true;
    }
    if (path[0] != '/' || line.inode == 0) return false;
    if (line.major != check->major || line.minor != check->minor || line.inode != check->inode) {
        struct stat status;
        check->major = line.major;
        check->minor = line.minor;
        check->inode = line.inode;
        check->same = stat(path, &status) == 0 && status.st_ino == line.inode && major(status.st_dev) == line.major &&
                      minor(status.st_dev) == line.minor && status.st_size >= 0;
        check->size = check->same ? static_cast<uint64_t>(status.st_size) : 0;
    }
    if (!check->same) return false;
    // Pages wholly past the file's end fault; the last, partial page does not.
    uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    uint64_t covered = check->size > UINT64_MAX - page ? UINT64_MAX : (check->size + page - 1) / page * page;
    uint64_t length64 = line.end - line.start;
    return line.offset <= covered && length64 <= covered - line.offset;
}

}  // namespace

const crash_memory_map::Range* crash_memory_map_find(const crash_memory_map* map, uint64_t address) {
    if (!map || !map->loaded) return nullptr;
    uint32_t last = map->lastFound.load(std::memory_order_relaxed);
    if (last < map->count && address >= map->ranges[last].start && address < map->ranges[last].end) {
        return &map->ranges[last];
    }
    uint32_t low = 0, high = map->count;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        const crash_memory_map::Range& range = map->ranges[middle];
        if (address < range.start) {
            high = middle;
        } else if (address >= range.end) {
            low = middle + 1;
        } else {
            map->lastFound.store(middle, std::memory_order_relaxed);
            return &range;
        }
    }
    return nullptr;
}

namespace {

// The first page at or after `address` that cannot be read: 8 when it is not
// mapped at all, else 7.
int unreadableCode(uint64_t address) {
    long pageSize = sysconf(_SC_PAGESIZE);
    unsigned char residency = 0;
    uint64_t page = address & ~static_cast<uint64_t>(pageSize - 1);
    if (mincore(reinterpret_cast<void*>(page), static_cast<size_t>(pageSize), &residency) != 0 && errno == ENOMEM) {
        return CRASH_ENOTFOUND;
    }
    return CRASH_EACCESS;
}

// Copies through a pipe: write() reads the source in the kernel, which answers
// EFAULT where a copy in place would fault. Pieces of at most PIPE_BUF bytes
// into an empty pipe never block; none crosses a page, so that a piece that
// fails names its page. 0, 4 when no pipe can be made, or 7 with `done` the
// bytes copied before the page that could not be read.
int pipeRead(uint64_t address, void* destination, size_t length, size_t* done) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return CRASH_ENOTSUP;
    const uint64_t pageSize = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    auto* out = static_cast<unsigned char*>(destination);
    int result = CRASH_ESUCCESS;
    *done = 0;
    while (*done < length) {
        uint64_t at = address + *done;
        uint64_t toPageEnd = pageSize - at % pageSize;
        size_t piece = length - *done;
        if (piece > PIPE_BUF) piece = PIPE_BUF;
        if (piece > toPageEnd) piece = static_cast<size_t>(toPageEnd);
        ssize_t written = write(ends[1], reinterpret_cast<const void*>(at), piece);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            result = CRASH_EACCESS;
            break;
        }
        size_t taken = 0;
        while (taken < static_cast<size_t>(written)) {
            ssize_t got = read(ends[0], out + *done + taken, static_cast<size_t>(written) - taken);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            taken += static_cast<size_t>(got);
        }
        *done += taken;
        if (taken < piece) {
            result = CRASH_EACCESS;
            break;
        }
    }
    close(ends[0]);
    close(ends[1]);
    return result;
}

// Reads through the kernel, which refuses bad memory instead of faulting: 0,
// 7 or 8 as for a safe read, or 4 when neither way is open to this process.
int kernelRead(uint64_t address, void* destination, size_t length) {
    struct iovec local = {destination, length};
    struct iovec remote = {reinterpret_cast<void*>(address), length};
    ssize_t read = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
    if (read == static_cast<ssize_t>(length)) return CRASH_ESUCCESS;
    size_t done = read > 0 ? static_cast<size_t>(read) : 0;
    if (read < 0 && (errno == ENOSYS || errno == EPERM)) {
        // A sandbox may refuse the call (a seccomp filter): the pipe is left.
        int piped = pipeRead(address, destination, length, &done);
        if (piped != CRASH_EACCESS) return piped;
    }
    return unreadableCode(address + done);
}

}  // namespace

bool crash_memory_map_load(crash_memory_map* map) {
    map->loaded = false;
    map->count = 0;
    map->truncated = false;
    map->heldEnd = 0;
    if (!map->ranges) return false;
    int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[2048];
    size_t held = 0;
    bool ok = true;
    FileCheck check;
    for (;;) {
        ssize_t got = read(fd, buffer + held, sizeof buffer - held);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ok = false;
            break;
        }
        held += static_cast<size_t>(got);
        size_t lineStart = 0;
        for (size_t i = 0; i < held; ++i) {
            if (buffer[i] != '\n') continue;
            buffer[i] = '\0';  // ends the path for stat()
            MapsLine line;
            if (parseMapsLine(buffer + lineStart, i - lineStart, &line) && !map->truncated) {
                if (map->count == map->capacity) {
                    // The lines come in rising order: what is left lies above.
                    map->truncated = true;
                    break;
                }
                crash_memory_map::Range& range = map->ranges[map->count++];
                range.start = line.start;
                range.end = line.end;
                range.flags = (line.readable ? crash_memory_map::kReadable : 0) |
                              (readableInPlace(line, &check) ? 0 : crash_memory_map::kThroughKernel);
            }
            lineStart = i + 1;
        }
        if (got == 0 || map->truncated) break;
        // Keep the unfinished line; a line longer than the buffer is dropped.
        if (lineStart == 0 && held == sizeof buffer) {
            held = 0;
            continue;
        }
        for (size_t i = lineStart; i < held; ++i) buffer[i - lineStart] = buffer[i];
        held -= lineStart;
    }
    close(fd);
    map->loaded = ok && map->count > 0;
    if (map->loaded) map->heldEnd = map->ranges[map->count - 1].end;
    return map->loaded;
}

int crash_async_read(const crash_memory_map* map, uint64_t address, int64_t offset, void* destination, size_t length) {
    uint64_t start = 0;
    if (!crash_async_address_add(address, offset, &start)) return CRASH_ENOMEM;
    if (length == 0) return CRASH_ESUCCESS;
    uint64_t end = 0;
    if (!crash_async_address_add(start, static_cast<int64_t>(length - 1), &end)) return CRASH_ENOMEM;
    if (!map || !map->loaded) {
        int result = kernelRead(start, destination, length);
        return result == CRASH_ENOTSUP ? CRASH_EACCESS : result;
    }
    auto* out = static_cast<unsigned char*>(destination);
    uint64_t next = start;
    while (next <= end) {
        if (!crash_memory_map_holds(map, next)) {
            int result = kernelRead(next, out, static_cast<size_t>(end - next + 1));
            return result == CRASH_ENOTSUP ? CRASH_EACCESS : result;
        }
        const crash_memory_map::Range* range = crash_memory_map_find(map, next);
        if (!range) return CRASH_ENOTFOUND;
        if (!(range->flags & crash_memory_map::kReadable)) return CRASH_EACCESS;
        uint64_t pieceEnd = range->end - 1 < end ? range->end - 1 : end;
        size_t pieceLength = static_cast<size_t>(pieceEnd - next + 1);
        if (range->flags & crash_memory_map::kThroughKernel) {
            int result = kernelRead(next, out, pieceLength);
            if (result == CRASH_ENOTSUP) {
                crash_async_memcpy(out, reinterpret_cast<const void*>(next), pieceLength);
            } else if (result != CRASH_ESUCCESS) {
                return result;
            }
        } else {
            crash_async_memcpy(out, reinterpret_cast<const void*>(next), pieceLength);
        }
        out += pieceLength;
        if (pieceEnd == end) break;
        next = pieceEnd + 1;
    }
    return CRASH_ESUCCESS;
}

namespace {
uint16_t same16(uint16_t v) { return v; }
uint32_t same32(uint32_t v) { return v; }
uint64_t same64(uint64_t v) { return v; }
uint16_t swap16(uint16_t v) { return __builtin_bswap16(v); }
uint32_t swap32(uint32_t v) { return __builtin_bswap32(v); }
uint64_t swap64(uint64_t v) { return __builtin_bswap64(v); }
const crash_async_byteorder nativeOrder = {same16, same32, same64};
const crash_async_byteorder swappedOrder = {swap16, swap32, swap64};
}  // namespace

const crash_async_byteorder* crash_async_byteorder_native() { return &nativeOrder; }
const crash_async_byteorder* crash_async_byteorder_swapped() { return &swappedOrder; }

int crash_async_read_uint8(const crash_memory_map* map, uint64_t address, int64_t offset, uint8_t* result) {
    return crash_async_read(map, address, offset, result, 1);
}

int crash_async_read_uint16(const crash_memory_map* map, const crash_async_byteorder* order, uint64_t address,
                            int64_t offset, uint16_t* result) {
    uint16_t raw = 0;
    int error = crash_async_read(map, address, offset, &raw, sizeof raw);
    if (error == CRASH_ESUCCESS) *result = order->swap16(raw);
    return error;
}

int crash_async_read_uint32(const crash_memory_map* map, const crash_async_byteorder* order, uint64_t address,
                            int64_t offset, uint32_t* result) {
    uint32_t raw = 0;
    int error = crash_async_read(map, address, offset, &raw, sizeof raw);
    if (error == CRASH_ESUCCESS) *result = order->swap32(raw);
    return error;
}

int crash_async_read_uint64(const crash_memory_map* map, const crash_async_byteorder* order, uint64_t address,
                            int64_t offset, uint64_t* result) {
    uint64_t raw = 0;
    int error = crash_async_read(map, address, offset, &raw, sizeof raw);
    if (error == CRASH_ESUCCESS) *result = order->swap64(raw);
    return error;
}

// --- Guarded bump allocator ---------------------------------------------------------

namespace {
constexpr size_t kGuardSize = 16384;
constexpr size_t kBookkeeping = 48;
}  // namespace

int crash_async_allocator_create(crash_async_allocator** allocator, size_t initialSize, uint32_t flags) {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t usable = (initialSize + kBookkeeping + page - 1) / page * page;
    // "allocated: <bytes>\n" on standard error, as the allocator always reported.
    char line[40] = "allocated: ";
    crash_async_format_int(line + 11, static_cast<int>(usable > INT32_MAX ? INT32_MAX : usable));
    size_t length = crash_async_strlen(line);
    line[length++] = '\n';
    crash_async_writen(2, line, length);
    size_t below = (flags & CRASH_ALLOCATOR_GUARD_LOW) ? kGuardSize : 0;
    size_t above = (flags & CRASH_ALLOCATOR_GUARD_HIGH) ? kGuardSize : 0;
    size_t total = below + usable + above;
    void* region = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED) return CRASH_ENOMEM;
    auto* base = static_cast<char*>(region);
    if ((below && mprotect(base, below, PROT_NONE) != 0) || (above && mprotect(base + below + usable, above, PROT_NONE) != 0)) {
        munmap(region, total);
        return CRASH_ENOMEM;
    }
    // The bookkeeping sits at the start of the usable area.
    auto* record = new (base + below) crash_async_allocator();
    record->regionStart = reinterpret_cast<uint64_t>(base);
    record->regionSize = total;
    record->usableStart = reinterpret_cast<uint64_t>(base + below);
    record->usableSize = usable;
    record->next.store((record->usableStart + kBookkeeping + 15) & ~uint64_t{15});
    *allocator = record;
    return CRASH_ESUCCESS;
}

void* crash_async_allocator_allocate(crash_async_allocator* allocator, size_t size) {
    uint64_t rounded = (static_cast<uint64_t>(size) + 15) & ~uint64_t{15};
    uint64_t end = allocator->usableStart + allocator->usableSize;
    uint64_t current = allocator->next.load();
    do {
        if (rounded > end - current) return nullptr;
    } while (!allocator->next.compare_exchange_weak(current, current + rounded));
    return reinterpret_cast<void*>(current);
}

pid_t crash_async_gettid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

void crash_async_futex_wait(std::atomic<uint32_t>* word, uint32_t expected, uint64_t timeoutNanos) {
    struct timespec timeout = {static_cast<time_t>(timeoutNanos / 1000000000u),
                               static_cast<long>(timeoutNanos % 1000000000u)};
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected,
            timeoutNanos ? &timeout : nullptr, nullptr, 0);
}

void crash_async_futex_wake(std::atomic<uint32_t>* word, int count) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

uint64_t crash_async_monotonic_nanos() {
    struct timespec now = {0, 0};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace strombel::crash
