// Our frame cursor against two other unwinders in the same run, at many
// points of -O2 code built without frame pointers: libunwind's unw_backtrace()
// and the C library's backtrace(). Every return address must be the same, down
// to the start of the process. The other unwinders run here only as oracles:
// nothing of theirs is in the crash path.
//
// This file is compiled with -O2 -fomit-frame-pointer. libunwind is loaded on
// its own (RTLD_LOCAL) rather than linked: it also defines backtrace() and the
// _Unwind_* functions, which would otherwise stand in for the C library's and
// libgcc's, and the two oracles would be one.

#include <dlfcn.h>
#include <execinfo.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <numeric>
#include <string>
#include <vector>

#include "crash/crash_frame_cursor.h"
#include "crash/crash_image_list.h"

namespace strombel::crash {
namespace {

constexpr int kMaximumFrames = 256;

struct Stacks {
    std::vector<uint64_t> ours, libunwind, glibc;
};

crash_image_list& images() {
    static crash_image_list* list = [] {
        auto* made = new crash_image_list;
        made->refresh();
        return made;
    }();
    return *list;
}

crash_memory_map& memory() {
    static crash_memory_map* map = [] {
        auto* made = new crash_memory_map;
        crash_memory_map_reserve(made, 8192);
        return made;
    }();
    return *map;
}

const crash_frame_reader readers[] = {crash_compact_unwind_reader, crash_dwarf_frame_reader, crash_frame_pointer_reader};

using Backtrace = int (*)(void**, int);

Backtrace libunwindBacktrace() {
    static Backtrace function = [] {
        void* handle = dlopen("libunwind.so.8", RTLD_NOW | RTLD_LOCAL);
        return handle ? reinterpret_cast<Backtrace>(dlsym(handle, "unw_backtrace")) : nullptr;
    }();
    return function;
}

int walkOurs(crash_thread_state* state, void* context) {
    auto* stacks = static_cast<Stacks*>(context);
    images().setReading(true);
    crash_frame_environment environment{&images(), &memory(), 0};
    crash_frame_cursor cursor;
    crash_frame_cursor_init(&cursor, &environment, state);
    while (stacks->ours.size() < kMaximumFrames && crash_frame_cursor_next_with_readers(&cursor, readers, 3) == 0) {
        uint64_t pc = 0;
        crash_frame_cursor_get_reg(&cursor, CRASH_REG_PC, &pc);
        stacks->ours.push_back(pc);
    }
    images().setReading(false);
    return 0;
}

// The three stacks, taken from one function: each list's own first entries
// (inside this function) are dropped before they are compared.
__attribute__((noinline)) void takeStacks(Stacks* stacks) {
    crash_memory_map_load(&memory());
    crash_thread_state_capture(walkOurs, stacks);
    void* frames[kMaximumFrames];
    int count = libunwindBacktrace()(frames, kMaximumFrames);
    for (int i = 0; i < count; ++i) stacks->libunwind.push_back(reinterpret_cast<uint64_t>(frames[i]));
    count = backtrace(frames, kMaximumFrames);
    for (int i = 0; i < count; ++i) stacks->glibc.push_back(reinterpret_cast<uint64_t>(frames[i]));
    __asm__ volatile("");
}

// The start of the function that holds `pc` by this program's symbols, or 0.
uint64_t functionOf(uint64_t pc) {
    const crash_image* image = images().find(pc - 1, 0);
    if (!image || image->symbolCount == 0) return 0;
    const crash_elf_symbol* symbol = crash_elf_find_symbol(image->symbols, image->symbolCount, pc - 1 - image->bias);
    return symbol ? symbol->value + image->bias : 0;
}

// The entries after takeStacks' own (and, in a sanitized build, after those
// of the sanitizer's backtrace() that stand before them).
std::vector<uint64_t> callersOfTakeStacks(const std::vector<uint64_t>& stack) {
    uint64_t own = reinterpret_cast<uint64_t>(&takeStacks);
    size_t first = 0;
    while (first < stack.size() && first < 4 && functionOf(stack[first]) != own) ++first;
    if (first == stack.size() || first == 4) first = 0;
    while (first < stack.size() && functionOf(stack[first]) == own) ++first;
    return {stack.begin() + static_cast<long>(first), stack.end()};
}

std::string describe(const std::vector<uint64_t>& stack) {
    std::string text;
    char line[64];
    for (uint64_t pc : stack) {
        std::snprintf(line, sizeof line, "%#lx ", static_cast<unsigned long>(pc));
        text += line;
    }
    return text;
}

void expectSameStacks(const Stacks& stacks, const char* point) {
    std::vector<uint64_t> ours = callersOfTakeStacks(stacks.ours);
    std::vector<uint64_t> libunwind = callersOfTakeStacks(stacks.libunwind);
    std::vector<uint64_t> glibc = callersOfTakeStacks(stacks.glibc);
    ASSERT_GT(ours.size(), 5u) << point;
    EXPECT_EQ(ours, libunwind) << point << "\nours:      " << describe(ours) << "\nlibunwind: " << describe(libunwind);
    EXPECT_EQ(ours, glibc) << point << "\nours:      " << describe(ours) << "\nbacktrace: " << describe(glibc);
}

// --- Points of -O2 code --------------------------------------------------------------------

std::atomic<int> sink{0};

__attribute__((noinline)) int recurse(int depth, Stacks* stacks) {
    volatile char room[40 + 8 * (1 + depth % 3)];
    room[0] = static_cast<char>(depth);
    if (depth == 0) {
        takeStacks(stacks);
        return room[0];
    }
    return recurse(depth - 1, stacks) + room[0];
}

// Many values live across the call: every callee-saved register is used.
__attribute__((noinline)) unsigned long manyRegisters(Stacks* stacks, unsigned long a, unsigned long b, unsigned long c,
                                                     unsigned long d, unsigned long e, unsigned long f) {
    unsigned long g = a * b, h = c * d, i = e * f, j = a + f, k = b + e, l = c + d;
    for (int n = 0; n < sink + 3; ++n) {
        g += h ^ i;
        h += i ^ j;
        i += j ^ k;
        j += k ^ l;
        k += l ^ g;
        l += g ^ h;
    }
    takeStacks(stacks);
    return g + h + i + j + k + l + a + b + c + d + e + f;
}

// A frame of a size known only at run time: the CFA moves to rbp.
__attribute__((noinline)) int variableFrame(Stacks* stacks, int size) {
    char* block = static_cast<char*>(__builtin_alloca(static_cast<size_t>(size)));
    block[0] = 1;
    block[size - 1] = 2;
    takeStacks(stacks);
    return block[0] + block[size - 1] + sink;
}

Stacks* comparing = nullptr;

extern "C" __attribute__((noinline)) int compareFromLibc(const void* a, const void* b) {
    if (comparing) {
        takeStacks(comparing);
        comparing = nullptr;
    }
    return *static_cast<const int*>(a) - *static_cast<const int*>(b);
}

__attribute__((noinline)) void throughQsort(Stacks* stacks) {
    std::vector<int> values(64);
    std::iota(values.rbegin(), values.rend(), 0);
    comparing = stacks;
    qsort(values.data(), values.size(), sizeof(int), compareFromLibc);
    sink += values[0];
}

__attribute__((noinline)) void throughBsearch(Stacks* stacks) {
    std::vector<int> values(64);
    std::iota(values.begin(), values.end(), 0);
    int key = 40;
    comparing = stacks;
    sink += bsearch(&key, values.data(), values.size(), sizeof(int), compareFromLibc) != nullptr;
}

__attribute__((noinline)) void throughStdSort(Stacks* stacks) {
    std::vector<int> values(200);
    std::iota(values.rbegin(), values.rend(), 0);
    bool taken = false;
    std::sort(values.begin(), values.end(), [&](int a, int b) {
        if (!taken && a == 100) {
            taken = true;
            takeStacks(stacks);
        }
        return a < b;
    });
    sink += values[0];
}

__attribute__((noinline)) void throughStdFunction(Stacks* stacks) {
    std::function<void(int)> inner = [stacks](int level) {
        if (level == 0) takeStacks(stacks);
    };
    std::function<void(int)> outer = [&inner](int level) { inner(level - 1); };
    outer(1);
}

// std::call_once goes through libstdc++ and the C library's pthread_once.
__attribute__((noinline)) void throughCallOnce(Stacks* stacks) {
    static std::once_flag once;
    std::call_once(once, [stacks] { takeStacks(stacks); });
}

// A signal handler: through the C library's signal return into the code the
// signal interrupted.
Stacks* signalled = nullptr;
void takeInHandler(int) { takeStacks(signalled); }

__attribute__((noinline)) void throughASignal(Stacks* stacks) {
    signalled = stacks;
    struct sigaction action = {}, saved = {};
    action.sa_handler = takeInHandler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, &saved);
    raise(SIGUSR1);
    sigaction(SIGUSR1, &saved, nullptr);
    sink += 1;
}

TEST(CrashUnwindOracle, OurReturnAddressesAreLibunwindsAndTheCLibrarysAtEveryPoint) {
    ASSERT_NE(libunwindBacktrace(), nullptr) << dlerror();
    // backtrace() is the C library's (behind a sanitizer's in a sanitized
    // build), walking with libgcc's unwinder: not libunwind's.
    Dl_info info;
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&backtrace), &info), 0);
    EXPECT_EQ(std::string(info.dli_fname).find("libunwind"), std::string::npos) << info.dli_fname;
    const struct {
        const char* name;
        std::function<void(Stacks*)> run;
    } points[] = {
        {"recursion 1", [](Stacks* s) { sink += recurse(1, s); }},
        {"recursion 9", [](Stacks* s) { sink += recurse(9, s); }},
        {"many registers", [](Stacks* s) { sink += static_cast<int>(manyRegisters(s, 1, 2, 3, 4, 5, 6)); }},
        {"a variable frame", [](Stacks* s) { sink += variableFrame(s, 100 + sink % 7); }},
        {"qsort's comparator", throughQsort},
        {"bsearch's comparator", throughBsearch},
        {"std::sort's comparator", throughStdSort},
        {"std::function", throughStdFunction},
        {"std::call_once", throughCallOnce},
        {"a signal handler", throughASignal},
    };
    for (const auto& point : points) {
        Stacks stacks;
        point.run(&stacks);
        expectSameStacks(stacks, point.name);
    }
}

}  // namespace
}  // namespace strombel::crash
