// Walking a stack of -O2 code built without frame pointers (this file is
// compiled so): 64 levels of recursion and the benchmark's own frames below,
// in nanoseconds per frame. Our frame cursor (compact unwind, DWARF, frame
// pointers, with the memory map loaded once as a report does) beside
// libunwind's unw_backtrace() and its unw_step() loop, and the C library's
// backtrace().
//
//   build/bench/crash/crash_unwind_bench
//
// Goal: our cursor at least as fast as backtrace() and within 2x of
// unw_backtrace().

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <execinfo.h>
#define UNW_LOCAL_ONLY  // this process only: the fast local functions
#include <libunwind.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "crash/crash_dwarf.h"
#include "crash/crash_frame_cursor.h"
#include "crash/crash_image_list.h"

namespace {

using namespace strombel::crash;

// libunwind is loaded on its own (RTLD_LOCAL), not linked: it also defines
// backtrace() and the _Unwind_* functions, which would otherwise stand in for
// the C library's and libgcc's in this process.
struct Libunwind {
    int (*backtrace)(void**, int);
    int (*getcontext)(unw_context_t*);
    int (*initLocal)(unw_cursor_t*, unw_context_t*);
    int (*step)(unw_cursor_t*);
    int (*getReg)(unw_cursor_t*, unw_regnum_t, unw_word_t*);
};

const Libunwind& libunwind() {
    static Libunwind loaded = [] {
        void* handle = dlopen("libunwind.so.8", RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            std::fprintf(stderr, "crash_unwind_bench: %s\n", dlerror());
            std::exit(1);
        }
        Libunwind functions;
        functions.backtrace = reinterpret_cast<int (*)(void**, int)>(dlsym(handle, "unw_backtrace"));
        functions.getcontext = reinterpret_cast<int (*)(unw_context_t*)>(dlsym(handle, "_Ux86_64_getcontext"));
        functions.initLocal = reinterpret_cast<int (*)(unw_cursor_t*, unw_context_t*)>(dlsym(handle, "_ULx86_64_init_local"));
        functions.step = reinterpret_cast<int (*)(unw_cursor_t*)>(dlsym(handle, "_ULx86_64_step"));
        functions.getReg =
            reinterpret_cast<int (*)(unw_cursor_t*, unw_regnum_t, unw_word_t*)>(dlsym(handle, "_ULx86_64_get_reg"));
        if (!functions.backtrace || !functions.getcontext || !functions.initLocal || !functions.step || !functions.getReg) {
            std::fprintf(stderr, "crash_unwind_bench: libunwind lacks a function\n");
            std::exit(1);
        }
        return functions;
    }();
    return loaded;
}

constexpr int kDepth = 64;
constexpr int kMaximumFrames = 512;

struct WalkSetup {
    crash_image_list images;
    crash_memory_map memory;
    crash_dwarf_rules_cache rulesCache;
    WalkSetup() {
        images.refresh();
        crash_memory_map_reserve(&memory, 8192);
        crash_memory_map_load(&memory);
        crash_dwarf_rules_cache_clear(&rulesCache);
    }
};

WalkSetup& setup() {
    static WalkSetup instance;
    return instance;
}

const crash_frame_reader readers[] = {crash_compact_unwind_reader, crash_dwarf_frame_reader, crash_frame_pointer_reader};

// Ours: with no cache; with a cache cleared before each walk (a report walking
// one stack); with one kept across walks (as the other unwinders keep theirs).
enum class Walker { ours, oursFreshCache, oursKeptCache, unwBacktrace, unwStep, glibc };

struct WalkJob {
    Walker walker;
    int frames;
    uint64_t checksum;
};

int walkOurs(crash_thread_state* state, void* context) {
    auto* job = static_cast<WalkJob*>(context);
    crash_dwarf_rules_cache* cache = job->walker == Walker::ours ? nullptr : &setup().rulesCache;
    if (job->walker == Walker::oursFreshCache) crash_dwarf_rules_cache_clear(cache);
    crash_frame_environment environment{&setup().images, &setup().memory, 0, cache};
    crash_frame_cursor cursor;
    crash_frame_cursor_init(&cursor, &environment, state);
    job->frames = 0;
    while (job->frames < kMaximumFrames && crash_frame_cursor_next_with_readers(&cursor, readers, 3) == 0) {
        uint64_t pc = 0;
        crash_frame_cursor_get_reg(&cursor, CRASH_REG_PC, &pc);
        job->checksum += pc;
        ++job->frames;
    }
    return 0;
}

// Kept out of the recursion, so that each level's frame stays small.
__attribute__((noinline)) int walkHere(WalkJob* job) {
    void* frames[kMaximumFrames];
    switch (job->walker) {
        case Walker::ours:
        case Walker::oursFreshCache:
        case Walker::oursKeptCache:
            setup().images.setReading(true);
            crash_thread_state_capture(walkOurs, job);
            setup().images.setReading(false);
            break;
        case Walker::unwBacktrace:
            job->frames = libunwind().backtrace(frames, kMaximumFrames);
            job->checksum += reinterpret_cast<uint64_t>(frames[job->frames - 1]);
            break;
        case Walker::unwStep: {
            const Libunwind& functions = libunwind();
            unw_context_t context;
            unw_cursor_t cursor;
            functions.getcontext(&context);
            functions.initLocal(&cursor, &context);
            job->frames = 0;
            while (job->frames < kMaximumFrames && functions.step(&cursor) > 0) {
                unw_word_t ip = 0;
                functions.getReg(&cursor, UNW_REG_IP, &ip);
                job->checksum += ip;
                ++job->frames;
            }
            break;
        }
        case Walker::glibc:
            job->frames = backtrace(frames, kMaximumFrames);
            job->checksum += reinterpret_cast<uint64_t>(frames[job->frames - 1]);
            break;
    }
    return job->frames;
}

__attribute__((noinline)) int deepThenWalk(int levels, WalkJob* job) {
    if (levels > 0) {
        int frames = deepThenWalk(levels - 1, job);
        benchmark::DoNotOptimize(frames);
        return frames;
    }
    return walkHere(job);
}

void walkBenchmark(benchmark::State& state, Walker walker) {
    setup();
    libunwind();
    WalkJob job{walker, 0, 0};
    int64_t frames = 0;
    for (auto _ : state) {
        frames += deepThenWalk(kDepth, &job);
        benchmark::DoNotOptimize(job.checksum);
    }
    state.SetItemsProcessed(frames);
    state.counters["frames"] = static_cast<double>(job.frames);
    state.counters["ns_per_frame"] =
        benchmark::Counter(static_cast<double>(frames) / 1e9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_UnwindOurCursor(benchmark::State& state) { walkBenchmark(state, Walker::ours); }
void BM_UnwindOurCursorFreshCache(benchmark::State& state) { walkBenchmark(state, Walker::oursFreshCache); }
void BM_UnwindOurCursorKeptCache(benchmark::State& state) { walkBenchmark(state, Walker::oursKeptCache); }
void BM_UnwindLibunwindBacktrace(benchmark::State& state) { walkBenchmark(state, Walker::unwBacktrace); }
void BM_UnwindLibunwindStep(benchmark::State& state) { walkBenchmark(state, Walker::unwStep); }
void BM_UnwindGlibcBacktrace(benchmark::State& state) { walkBenchmark(state, Walker::glibc); }
BENCHMARK(BM_UnwindOurCursor);
BENCHMARK(BM_UnwindOurCursorFreshCache);
BENCHMARK(BM_UnwindOurCursorKeptCache);
BENCHMARK(BM_UnwindLibunwindBacktrace);
BENCHMARK(BM_UnwindLibunwindStep);
BENCHMARK(BM_UnwindGlibcBacktrace);

}  // namespace

BENCHMARK_MAIN();
