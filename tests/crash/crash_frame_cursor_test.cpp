#include "crash/crash_frame_cursor.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <string>
#include <vector>

#include "crash/crash_elf.h"

namespace strombel::crash {
namespace {

const crash_frame_reader mainReaders[] = {crash_compact_unwind_reader, crash_dwarf_frame_reader, crash_frame_pointer_reader};

// A stack built by hand: frame records {saved fp, return address} at rising addresses.
struct FakeStack {
    uint64_t words[64] = {};
    uint64_t address(int index) const { return reinterpret_cast<uint64_t>(&words[index]); }
    void record(int at, uint64_t savedFp, uint64_t returnAddress) {
        words[at] = savedFp;
        words[at + 1] = returnAddress;
    }
};

std::vector<uint64_t> walk(const crash_thread_state& start, int* lastResult, const crash_memory_map* memory = nullptr) {
    crash_frame_environment environment{nullptr, memory};
    crash_frame_cursor cursor;
    crash_frame_cursor_init(&cursor, &environment, &start);
    std::vector<uint64_t> pcs;
    for (int i = 0; i < 100; ++i) {
        *lastResult = crash_frame_cursor_next_with_readers(&cursor, mainReaders, 3);
        if (*lastResult != 0) break;
        uint64_t pc = 0;
        EXPECT_EQ(crash_frame_cursor_get_reg(&cursor, CRASH_REG_PC, &pc), 0);
        pcs.push_back(pc);
    }
    return pcs;
}

crash_thread_state stateAt(uint64_t pc, uint64_t fp, crash_thread_state_kind kind = CRASH_THREAD_STATE_X86_64) {
    crash_thread_state state;
    crash_thread_state_init(&state, kind);
    crash_thread_state_set(&state, CRASH_REG_PC, pc);
    crash_thread_state_set(&state, CRASH_REG_FP, fp);
    return state;
}

TEST(CrashFrameCursor, AChainEndingInFpZeroStopsWithNoFrames) {
    for (auto kind : {CRASH_THREAD_STATE_X86_64, CRASH_THREAD_STATE_ARM64}) {
        FakeStack stack;
        stack.record(0, stack.address(4), 0x10001);
        stack.record(4, stack.address(10), 0x10002);
        stack.record(10, 0, 0x10003);
        int result = -1;
        auto pcs = walk(stateAt(0x10000, stack.address(0), kind), &result);
        EXPECT_EQ(pcs, (std::vector<uint64_t>{0x10000, 0x10001, 0x10002, 0x10003}));
        EXPECT_EQ(result, CRASH_FRAME_ENOFRAME);
    }
}

TEST(CrashFrameCursor, TheCurrentFramesRegistersAreCountedAndNamedInItsLayout) {
    const struct {
        crash_thread_state_kind kind;
        uint32_t count;
        const char* last;
    } cases[] = {{CRASH_THREAD_STATE_X86_64, 21, "gs"}, {CRASH_THREAD_STATE_ARM64, 34, "cpsr"}};
    for (const auto& c : cases) {
        FakeStack stack;
        stack.record(0, 0, 0x10001);
        crash_frame_environment environment{};
        crash_frame_cursor cursor;
        crash_thread_state start = stateAt(0x10000, stack.address(0), c.kind);
        crash_frame_cursor_init(&cursor, &environment, &start);
        for (int step = 0; step < 2; ++step) {
            ASSERT_EQ(crash_frame_cursor_next_with_readers(&cursor, mainReaders, 3), 0);
            EXPECT_EQ(crash_frame_cursor_register_count(&cursor), c.count);
            EXPECT_STREQ(crash_frame_cursor_register_name(&cursor, c.count - 1), c.last);
            EXPECT_STREQ(crash_frame_cursor_register_name(&cursor, CRASH_REG_FP), c.count == 21 ? "rbp" : "fp");
        }
    }
}

TEST(CrashFrameCursor, ARecordThatDoesNotLeadUpTheStackIsCorrupt) {
    // A record leading back down the stack ends the walk at the next step; a
    // record naming itself as its caller's is refused at once, or the walk
    // would repeat it to its limit.
    const struct {
        int savedFp;
        std::vector<uint64_t> pcs;
    } cases[] = {{4, {0x10000, 0x10001, 0x10002}}, {20, {0x10000, 0x10001}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.savedFp);
        FakeStack stack;
        stack.record(10, stack.address(20), 0x10001);
        stack.record(20, stack.address(c.savedFp), 0x10002);
        stack.record(4, 0, 0x10003);
        int result = -1;
        EXPECT_EQ(walk(stateAt(0x10000, stack.address(10)), &result), c.pcs);
        EXPECT_EQ(result, CRASH_FRAME_EBADFRAME);
    }
}

// Steps once from 0x10000 to its caller at 0x10500 as unwind tables would for
// a function without a frame record: fp stays as it was.
int framelessOnce(const crash_frame_environment*, const crash_thread_state* current, const crash_thread_state*,
                  crash_thread_state* next) {
    if (crash_thread_state_get(current, CRASH_REG_PC) != 0x10000) return CRASH_FRAME_ENOTSUP;
    *next = *current;
    crash_thread_state_set(next, CRASH_REG_PC, 0x10500);
    return CRASH_FRAME_ESUCCESS;
}

TEST(CrashFrameCursor, AFrameBelowOneWithoutItsOwnRecordKeepsTheSameFp) {
    FakeStack stack;
    stack.record(10, stack.address(20), 0x10001);
    stack.record(20, 0, 0x10002);
    const crash_frame_reader readers[] = {framelessOnce, crash_frame_pointer_reader};
    crash_frame_environment environment{};
    crash_frame_cursor cursor;
    crash_thread_state start = stateAt(0x10000, stack.address(10));
    crash_frame_cursor_init(&cursor, &environment, &start);
    std::vector<uint64_t> pcs;
    while (crash_frame_cursor_next_with_readers(&cursor, readers, 2) == CRASH_FRAME_ESUCCESS) {
        uint64_t pc = 0;
        crash_frame_cursor_get_reg(&cursor, CRASH_REG_PC, &pc);
        pcs.push_back(pc);
    }
    EXPECT_EQ(pcs, (std::vector<uint64_t>{0x10000, 0x10500, 0x10001, 0x10002}));
}

TEST(CrashFrameCursor, AReturnAddressOf0x4000EndsTheWalkAnd0x4001DoesNot) {
    FakeStack stack;
    stack.record(0, stack.address(4), 0x4001);
    stack.record(4, stack.address(8), 0x4000);
    int result = -1;
    auto pcs = walk(stateAt(0x10000, stack.address(0)), &result);
    EXPECT_EQ(pcs, (std::vector<uint64_t>{0x10000, 0x4001}));
    EXPECT_EQ(result, CRASH_FRAME_ENOFRAME);
}

TEST(CrashFrameCursor, AnUnreadableRecordIsCorruptNotAFault) {
    int result = -1;
    auto pcs = walk(stateAt(0x10000, 0x10), &result);
    EXPECT_EQ(pcs, (std::vector<uint64_t>{0x10000}));
    EXPECT_EQ(result, CRASH_FRAME_EBADFRAME);
    crash_thread_state noFp;
    crash_thread_state_init(&noFp, CRASH_THREAD_STATE_X86_64);
    crash_thread_state_set(&noFp, CRASH_REG_PC, 0x10000);
    pcs = walk(noFp, &result);
    EXPECT_EQ(result, CRASH_FRAME_EBADFRAME);
}

TEST(CrashFrameCursor, ThirtyTwoBitArmRecordsAreTwoWords) {
    // A 32-bit stack must lie below 4 GiB: map one there.
    void* low = mmap(reinterpret_cast<void*>(0x30000000), 4096, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    ASSERT_NE(low, MAP_FAILED);
    auto* words = static_cast<uint32_t*>(low);
    auto at = [&](int i) { return static_cast<uint32_t>(reinterpret_cast<uint64_t>(&words[i])); };
    words[0] = at(4);
    words[1] = 0x20001;
    words[4] = 0;
    words[5] = 0x20002;
    int result = -1;
    auto pcs = walk(stateAt(0x20000, at(0), CRASH_THREAD_STATE_ARM), &result);
    EXPECT_EQ(pcs, (std::vector<uint64_t>{0x20000, 0x20001, 0x20002}));
    EXPECT_EQ(result, CRASH_FRAME_ENOFRAME);
    munmap(low, 4096);
}

TEST(CrashFrameCursor, WithoutAnImageListTheUnwindTableReadersStepAside) {
    crash_thread_state state = stateAt(0x10000, 0);
    crash_thread_state next;
    EXPECT_EQ(crash_compact_unwind_reader(nullptr, &state, nullptr, &next), CRASH_FRAME_ENOTSUP);
    EXPECT_EQ(crash_dwarf_frame_reader(nullptr, &state, nullptr, &next), CRASH_FRAME_ENOTSUP);
    crash_frame_environment environment{};
    crash_frame_cursor cursor;
    crash_frame_cursor_init(&cursor, &environment, &state);
    EXPECT_EQ(crash_frame_cursor_next_with_readers(&cursor, nullptr, 0), 0);  // the first frame needs no reader
    EXPECT_EQ(crash_frame_cursor_next_with_readers(&cursor, nullptr, 0), CRASH_FRAME_EINVAL);
    EXPECT_STREQ(crash_frame_error_string(2), "No frames are available");
    EXPECT_STREQ(crash_frame_error_string(8), "Unhandled error code");
}

// A real walk of this thread's stack, through this file's functions.
struct RealWalk {
    std::vector<uint64_t> pcs;
};

int walkHere(crash_thread_state* state, void* context) {
    crash_memory_map map;
    crash_memory_map_reserve(&map, 4096);
    crash_memory_map_load(&map);
    int result = 0;
    static_cast<RealWalk*>(context)->pcs = walk(*state, &result, &map);
    return 0;
}

extern "C" __attribute__((noinline)) void cursor_test_inner(RealWalk* out) {
    crash_thread_state_capture(walkHere, out);
    __asm__ volatile("");
}
extern "C" __attribute__((noinline)) void cursor_test_outer(RealWalk* out) {
    cursor_test_inner(out);
    __asm__ volatile("");
}

TEST(CrashFrameCursor, WalksThisThreadsOwnFrames) {
    RealWalk walked;
    cursor_test_outer(&walked);
    ASSERT_GE(walked.pcs.size(), 3u);
    auto inside = [](uint64_t pc, void (*function)(RealWalk*)) {
        auto start = reinterpret_cast<uint64_t>(function);
        return pc > start && pc < start + 128;
    };
    EXPECT_TRUE(inside(walked.pcs[0], cursor_test_inner));
    EXPECT_TRUE(inside(walked.pcs[1], cursor_test_outer));
}

}  // namespace
}  // namespace strombel::crash
