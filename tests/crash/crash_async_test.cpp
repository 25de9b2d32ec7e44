#include "crash/crash_async.h"

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "crash/crash_mobject.h"
#include "crash_test_support.h"

namespace strombel::crash {
namespace {

std::string fileText(int fd) {
    std::string text;
    char buffer[4096];
    lseek(fd, 0, SEEK_SET);
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(got));
    return text;
}

class TempFile {
public:
    TempFile() {
        std::string pattern = (temp_ / "out.XXXXXX").string();
        fd_ = mkstemp(pattern.data());
    }
    ~TempFile() {
        if (fd_ >= 0) close(fd_);
    }
    int fd() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    strombel::testing::TempDir temp_;
    int fd_ = -1;
};

TEST(CrashAsyncFile, ALimitRefusesOnlyTheWriteThatWouldPassIt) {
    struct Case {
        const char* name;
        uint64_t limit;
        std::vector<std::pair<std::string, bool>> writes;  // bytes, accepted
    } cases[] = {
        {"small writes", 10, {{"1234567", true}, {"abcd", false}, {"890", true}}},
        // The write after the refused one empties the buffer before it goes
        // straight out: neither may be lost.
        {"past the buffer", 310, {{"1234567", true}, {std::string(304, 'r'), false}, {std::string(300, 'k'), true}}},
        {"one byte over", 300, {{std::string(301, 'o'), false}, {std::string(300, 'k'), true}, {"x", false}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFile out;
        crash_async_file file;
        crash_async_file_init(&file, dup(out.fd()), c.limit);
        std::string expected;
        uint32_t refused = 0;
        for (const auto& [bytes, accepted] : c.writes) {
            EXPECT_EQ(crash_async_file_write(&file, bytes.data(), bytes.size()), accepted) << bytes.size();
            if (accepted) expected += bytes;
            else ++refused;
        }
        EXPECT_EQ(file.total, expected.size());
        EXPECT_EQ(file.refused, refused);
        // A refusal is not a failure of the file: it closes cleanly.
        EXPECT_TRUE(crash_async_file_close(&file));
        EXPECT_EQ(fileText(out.fd()), expected);
        EXPECT_FALSE(file.failed);
    }
}

TEST(CrashAsyncFile, SmallWritesAreBufferedAndLargeOnesGoStraightOut) {
    TempFile out;
    crash_async_file file;
    crash_async_file_init(&file, dup(out.fd()), 0);
    std::string small(200, 'a');
    std::string large(1000, 'b');
    ASSERT_TRUE(crash_async_file_write(&file, small.data(), small.size()));
    EXPECT_EQ(fileText(out.fd()), "");  // still in the buffer
    ASSERT_TRUE(crash_async_file_write(&file, large.data(), large.size()));
    EXPECT_EQ(fileText(out.fd()), small + large);
    ASSERT_TRUE(crash_async_file_write(&file, "tail", 4));
    ASSERT_TRUE(crash_async_file_flush(&file));
    EXPECT_EQ(fileText(out.fd()), small + large + "tail");
    EXPECT_FALSE(file.failed);
    EXPECT_EQ(file.total, 1204u);
    crash_async_file_close(&file);
}

TEST(CrashAsyncFile, AFailedWriteSticks) {
    int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    crash_async_file file;
    crash_async_file_init(&file, full, 0);
    EXPECT_TRUE(crash_async_file_write(&file, "buffered", 8));
    EXPECT_FALSE(crash_async_file_flush(&file));
    EXPECT_TRUE(file.failed);
    EXPECT_FALSE(crash_async_file_close(&file));
    int again = open("/dev/full", O_WRONLY | O_CLOEXEC);
    EXPECT_EQ(crash_async_writen(again, "x", 1), -1);
    close(again);
}

TEST(CrashAsyncFile, WritenStopsWhenTheFileTakesNothingMore) {
    // A pipe whose reader is gone answers EPIPE (with SIGPIPE ignored).
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(crash_async_writen(fds[1], "abc", 3), -1);
    close(fds[1]);
    TempFile out;
    EXPECT_EQ(crash_async_writen(out.fd(), "abc", 3), 3);
}

// In a child whose calling thread has its writes to `fd` answered by a
// supervisor thread through the kernel's user notification: the first
// `takesNothing` writes take 0 bytes, the later ones are made as asked.
// Exits 0 when crash_async_writen's result and the file are `expected`.
void writeThroughADescriptorThatTakesNothingAtFirst(int takesNothing, ssize_t expected) {
    TempFile out;
    int fd = out.fd();
    std::atomic<int> listener{-1};
    std::atomic<int> asked{0};
    std::thread supervisor([&] {
        while (listener.load() < 0) std::this_thread::yield();
        for (;;) {
            seccomp_notif request;
            std::memset(&request, 0, sizeof request);
            if (ioctl(listener.load(), SECCOMP_IOCTL_NOTIF_RECV, &request) != 0) return;
            seccomp_notif_resp response;
            std::memset(&response, 0, sizeof response);
            response.id = request.id;
            if (asked.fetch_add(1) >= takesNothing) response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
            ioctl(listener.load(), SECCOMP_IOCTL_NOTIF_SEND, &response);
        }
    });
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_write, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(fd), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog filter = {static_cast<unsigned short>(std::size(program)), program};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) _exit(20);
    // Only this thread is filtered: the supervisor was started before.
    int notifications = static_cast<int>(syscall(__NR_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &filter));
    if (notifications < 0) _exit(21);
    listener.store(notifications);
    ssize_t written = crash_async_writen(fd, "abc", 3);
    supervisor.detach();  // waits for the next write, which never comes; _exit ends it
    if (written != expected) _exit(22);
    if (fileText(fd) != (expected == 3 ? "abc" : "")) _exit(23);
    _exit(0);
}

TEST(CrashAsyncFile, AWriteThatTakesNothingIsTriedAgainAFewTimes) {
    EXPECT_EXIT(writeThroughADescriptorThatTakesNothingAtFirst(3, 3), ::testing::ExitedWithCode(0), "");
    // A descriptor that never takes anything fails instead of holding the writer.
    EXPECT_EXIT(writeThroughADescriptorThatTakesNothingAtFirst(1000, -1), ::testing::ExitedWithCode(0), "");
}

TEST(CrashAsync, ErrorTexts) {
    EXPECT_STREQ(crash_async_strerror(0), "No error");
    EXPECT_STREQ(crash_async_strerror(2), "Output file can not be opened (or written to)");
    EXPECT_STREQ(crash_async_strerror(9), "The input data is in an unknown or invalid format.");
    EXPECT_STREQ(crash_async_strerror(10), "Unhandled error code");
    EXPECT_STREQ(crash_async_strerror(-1), "Unhandled error code");
}

TEST(CrashAsync, IntegersFormatWithoutLosingAnyValue) {
    struct Case {
        int value;
        const char* text;
    } cases[] = {{0, "0"}, {7, "7"}, {-6, "-6"}, {1234567890, "1234567890"}, {INT_MAX, "2147483647"}, {INT_MIN, "-2147483648"}};
    for (const Case& c : cases) {
        char buffer[12];
        crash_async_format_int(buffer, c.value);
        EXPECT_STREQ(buffer, c.text);
    }
}

TEST(CrashAsync, CheckedAddressAddition) {
    uint64_t result = 0;
    EXPECT_TRUE(crash_async_address_add(100, 28, &result));
    EXPECT_EQ(result, 128u);
    EXPECT_TRUE(crash_async_address_add(100, -100, &result));
    EXPECT_EQ(result, 0u);
    EXPECT_FALSE(crash_async_address_add(100, -101, &result));
    EXPECT_FALSE(crash_async_address_add(UINT64_MAX, 1, &result));
    EXPECT_TRUE(crash_async_address_add(UINT64_MAX - 1, 1, &result));
    EXPECT_FALSE(crash_async_address_add(0, INT64_MIN, &result));
}

TEST(CrashAsync, StringHelpers) {
    EXPECT_EQ(crash_async_strcmp("abc", "abc"), 0);
    EXPECT_LT(crash_async_strcmp("abc", "abd"), 0);
    EXPECT_GT(crash_async_strcmp("abcd", "abc"), 0);
    EXPECT_EQ(crash_async_strncmp("abcX", "abcY", 3), 0);
    EXPECT_NE(crash_async_strncmp("abcX", "abcY", 4), 0);
    char buffer[4];
    EXPECT_EQ(crash_async_strlcpy(buffer, "abcdef", sizeof buffer), 3u);
    EXPECT_STREQ(buffer, "abc");
}

// One readable page, one unreadable, one unmapped, mapped after the program's
// own ranges (so above the few a small map keeps).
struct ThreePages {
    long page = sysconf(_SC_PAGESIZE);
    char* readable = nullptr;
    ThreePages() {
        readable = static_cast<char*>(mmap(nullptr, page * 3, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        std::memset(readable, 'r', page * 3);
        mprotect(readable + page, page, PROT_NONE);
        munmap(readable + 2 * page, page);
    }
    ~ThreePages() { munmap(readable, page * 2); }
    uint64_t base() const { return reinterpret_cast<uint64_t>(readable); }
};

// Safe reads over the three pages through `map`: "" when every read answers
// as it should, else the first that does not.
std::string readsGiveCodes(const crash_memory_map* map, const ThreePages& pages) {
    const uint64_t base = pages.base(), page = static_cast<uint64_t>(pages.page);
    std::memcpy(pages.readable, "\x04\x03\x02\x01rrrr", 8);
    const struct {
        uint64_t address;
        int64_t offset;
        int code;
    } cases[] = {
        {base, 8, CRASH_ESUCCESS},
        {base + page, 0, CRASH_EACCESS},
        {base + 2 * page, 0, CRASH_ENOTFOUND},
        {base + page - 4, 0, CRASH_EACCESS},  // runs from readable memory into the unreadable page
        {0, 0, CRASH_ENOTFOUND},
        {UINT64_MAX - 2, 0, CRASH_ENOMEM},
        {16, -32, CRASH_ENOMEM},
    };
    for (const auto& c : cases) {
        char out[8] = {};
        int code = crash_async_read(map, c.address, c.offset, out, 8);
        if (code != c.code) return "read at " + std::to_string(c.address) + ": " + std::to_string(code);
        if (code == CRASH_ESUCCESS && std::string(out, 8) != "rrrrrrrr") return "bytes read: " + std::string(out, 8);
    }
    uint32_t swapped = 0;
    if (crash_async_read_uint32(map, crash_async_byteorder_swapped(), base, 0, &swapped) != CRASH_ESUCCESS ||
        swapped != 0x04030201u) {
        return "swapped read";
    }
    return "";
}

// Safe reads answer codes for bad memory instead of faulting: with the map,
// with a map too small to hold every range of the process (the pages lie above
// the ranges it keeps), and without a map, through the kernel.
TEST(CrashAsyncRead, BadAddressesGiveCodes) {
    // The maps first: the page unmapped below must stay a hole.
    crash_memory_map whole, small;
    ASSERT_TRUE(crash_memory_map_reserve(&whole, 4096));
    ASSERT_TRUE(crash_memory_map_reserve(&small, 4));
    ThreePages pages;
    ASSERT_TRUE(crash_memory_map_load(&whole));
    ASSERT_TRUE(crash_memory_map_load(&small));
    ASSERT_FALSE(whole.truncated);
    ASSERT_TRUE(small.truncated);
    ASSERT_FALSE(crash_memory_map_holds(&small, pages.base()));
    EXPECT_EQ(readsGiveCodes(&whole, pages), "");
    EXPECT_EQ(readsGiveCodes(&small, pages), "");
    EXPECT_EQ(readsGiveCodes(nullptr, pages), "");
    // A view over the pages through either map is cut at the unreadable page.
    for (const crash_memory_map* map : {&whole, &small}) {
        crash_mobject view;
        ASSERT_EQ(crash_mobject_init(&view, map, pages.base(), 3 * pages.page, false), CRASH_ESUCCESS);
        EXPECT_EQ(view.length, static_cast<uint64_t>(pages.page));
        char out[4] = {};
        EXPECT_EQ(crash_mobject_read(&view, pages.base() + 4, out, 4), CRASH_ESUCCESS);
        EXPECT_EQ(std::string(out, 4), "rrrr");
    }
    crash_memory_map_release(&whole);
    crash_memory_map_release(&small);
}

// In a child whose process_vm_readv is refused, as a sandbox may refuse it:
// the reads through the kernel still answer.
void readThroughTheKernelWithoutProcessVmReadv() {
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_process_vm_readv, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog filter = {static_cast<unsigned short>(std::size(program)), program};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) _exit(20);
    crash_memory_map small;
    if (!crash_memory_map_reserve(&small, 4)) _exit(21);
    ThreePages pages;
    if (!crash_memory_map_load(&small) || crash_memory_map_holds(&small, pages.base())) _exit(21);
    const crash_memory_map* maps[] = {nullptr, &small};
    for (const crash_memory_map* map : maps) {
        std::string failed = readsGiveCodes(map, pages);
        if (!failed.empty()) {
            std::fprintf(stderr, "%s\n", failed.c_str());
            _exit(22);
        }
    }
    _exit(0);
}

TEST(CrashAsyncRead, ReadsThroughTheKernelAnswerWhereProcessVmReadvIsRefused) {
    EXPECT_EXIT(readThroughTheKernelWithoutProcessVmReadv(), ::testing::ExitedWithCode(0), "");
}

TEST(CrashAsyncRead, AFileCutShortUnderItsMappingIsRefusedNotFaulted) {
    strombel::testing::TempDir temp;
    std::string path = (temp / "cut").string();
    int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_EQ(ftruncate(fd, 8192), 0);
    void* mapped = mmap(nullptr, 8192, PROT_READ, MAP_SHARED, fd, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    ASSERT_EQ(ftruncate(fd, 0), 0);
    crash_memory_map map;
    ASSERT_TRUE(crash_memory_map_reserve(&map, 4096));
    ASSERT_TRUE(crash_memory_map_load(&map));
    char out[8];
    EXPECT_EQ(crash_async_read(&map, reinterpret_cast<uint64_t>(mapped), 0, out, 8), CRASH_EACCESS);
    EXPECT_EQ(crash_async_read(nullptr, reinterpret_cast<uint64_t>(mapped), 0, out, 8), CRASH_EACCESS);
    munmap(mapped, 8192);
    close(fd);
}

TEST(CrashAsyncRead, TheMapCoversTheStackAndTheProgram) {
    crash_memory_map map;
    ASSERT_TRUE(crash_memory_map_reserve(&map, 4096));
    ASSERT_TRUE(crash_memory_map_load(&map));
    int local = 42;
    int copy = 0;
    EXPECT_EQ(crash_async_read(&map, reinterpret_cast<uint64_t>(&local), 0, &copy, sizeof copy), CRASH_ESUCCESS);
    EXPECT_EQ(copy, 42);
    const char* text = "text in the program's image";
    char out[5] = {};
    EXPECT_EQ(crash_async_read(&map, reinterpret_cast<uint64_t>(text), 0, out, 4), CRASH_ESUCCESS);
    EXPECT_STREQ(out, "text");
}

TEST(CrashAsyncAllocator, HandsOutAlignedBlocksUntilTheRegionIsUsedAndGuardsItsEnds) {
    crash_async_allocator* allocator = nullptr;
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(crash_async_allocator_create(&allocator, 100, CRASH_ALLOCATOR_GUARD_LOW | CRASH_ALLOCATOR_GUARD_HIGH), 0);
    std::string said = ::testing::internal::GetCapturedStderr();
    long page = sysconf(_SC_PAGESIZE);
    EXPECT_EQ(said, "allocated: " + std::to_string(page) + "\n");
    EXPECT_EQ(allocator->usableSize, static_cast<uint64_t>(page));
    EXPECT_EQ(allocator->regionSize, static_cast<uint64_t>(page) + 2 * 16384);

    std::vector<char*> blocks;
    while (void* block = crash_async_allocator_allocate(allocator, 20)) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u);
        blocks.push_back(static_cast<char*>(block));
    }
    // 20 bytes take 32; the bookkeeping takes the first 48.
    EXPECT_EQ(blocks.size(), static_cast<size_t>((page - 48) / 32));
    EXPECT_EQ(blocks[1] - blocks[0], 32);
    std::memset(blocks.back(), 1, 32);
    // The guard pages answer "unreadable" to safe reads.
    char out[8];
    EXPECT_EQ(crash_async_read(nullptr, allocator->usableStart - 8, 0, out, 8), CRASH_EACCESS);
    EXPECT_EQ(crash_async_read(nullptr, allocator->usableStart + allocator->usableSize, 0, out, 8), CRASH_EACCESS);
}

}  // namespace
}  // namespace strombel::crash
