// What a crash costs: a forked probe with 8 threads of 64 frames crashes, and
// the time from its crash to the report being in place (the process reaped) is
// measured beside no reporter at all and beside a handler that only calls
// backtrace_symbols_fd(), for the probe with frame pointers and the one
// without. Then, per frame, our frame-pointer walk (with and without symbol
// lookup) beside glibc's backtrace().
//
//   build/bench/crash/crash_bench
//
// Goals: under 5 ms median per crash and at most 3x the backtrace_symbols_fd()
// handler; our walk at least 2x faster than backtrace() per frame.

#include <benchmark/benchmark.h>
#include <execinfo.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "crash/crash_frame_cursor.h"
#include "crash/crash_image_list.h"
#include "crash/crash_log_writer.h"
#include "crash/crash_thread_state.h"

extern char** environ;

namespace {

using namespace strombel::crash;

uint64_t monotonicNanos() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

// Runs the probe once; the nanoseconds from its announced crash to its end, or
// 0 when it did not crash as planned.
uint64_t crashOnce(const char* probe, const std::filesystem::path& root, const std::vector<std::string>& extra) {
    std::vector<std::string> args = {probe, "deep-threads", "--threads", "8", "--depth", "64"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment = {"STROMBEL_ROOT=" + root.string()};
    for (char** variable = environ; *variable; ++variable) environment.emplace_back(*variable);
    std::vector<char*> envp;
    for (auto& variable : environment) envp.push_back(variable.data());
    envp.push_back(nullptr);

    int fds[2];
    if (pipe(fds) != 0) return 0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, probe, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        return 0;
    }
    std::string line;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') line.push_back(c);
    int status = 0;
    waitpid(pid, &status, 0);
    uint64_t end = monotonicNanos();
    close(fds[0]);
    if (line.rfind("crashing ", 0) != 0 || !WIFSIGNALED(status)) return 0;
    return end - std::stoull(line.substr(9));
}

void crashBenchmark(benchmark::State& state, std::vector<std::string> extra, bool expectReport,
                    const char* probe = CRASH_PROBE_PATH) {
    char pattern[] = "/tmp/crash_bench.XXXXXX";
    std::filesystem::path root = mkdtemp(pattern);
    std::filesystem::path report =
        root / "Library/Caches/com.brindlemoor.crashreporter.data/org.strombel.crashprobe/live_report.crashlg";
    for (auto& arg : extra) {
        if (arg == "OUT") arg = (root / "backtrace.txt").string();
    }
    std::vector<double> times;
    for (auto _ : state) {
        std::filesystem::remove(report);
        uint64_t nanos = crashOnce(probe, root, extra);
        if (nanos == 0 || (expectReport && !std::filesystem::exists(report))) {
            state.SkipWithError("the probe did not crash as planned");
            break;
        }
        times.push_back(static_cast<double>(nanos) / 1e6);
        state.SetIterationTime(static_cast<double>(nanos) / 1e9);
    }
    if (!times.empty()) {
        std::sort(times.begin(), times.end());
        state.counters["median_ms"] = times[times.size() / 2];
        state.counters["p90_ms"] = times[times.size() * 9 / 10];
    }
    std::filesystem::remove_all(root);
}

void BM_CrashWithReporter(benchmark::State& state) { crashBenchmark(state, {}, true); }
void BM_CrashWithoutReporter(benchmark::State& state) { crashBenchmark(state, {"--no-reporter"}, false); }
void BM_CrashWithBacktraceSymbolsHandler(benchmark::State& state) {
    crashBenchmark(state, {"--backtrace-handler", "--out", "OUT"}, false);
}
// The same crash of the probe built as -O2 code without frame pointers: every
// stack is walked through the unwind tables.
void BM_CrashWithReporterFramelessProbe(benchmark::State& state) {
    crashBenchmark(state, {}, true, CRASH_PROBE_FRAMELESS_PATH);
}
void BM_CrashWithBacktraceSymbolsHandlerFramelessProbe(benchmark::State& state) {
    crashBenchmark(state, {"--backtrace-handler", "--out", "OUT"}, false, CRASH_PROBE_FRAMELESS_PATH);
}
// In a process with more memory ranges than the report's memory map holds:
// the stacks and libraries above its last range are read through the kernel.
void BM_CrashWithoutReporterManyMappings(benchmark::State& state) {
    crashBenchmark(state, {"--no-reporter", "--mappings", "9000"}, false);
}
void BM_CrashWithReporterManyMappings(benchmark::State& state) { crashBenchmark(state, {"--mappings", "9000"}, true); }
void BM_CrashWithReporterFramelessProbeManyMappings(benchmark::State& state) {
    crashBenchmark(state, {"--mappings", "9000"}, true, CRASH_PROBE_FRAMELESS_PATH);
}
BENCHMARK(BM_CrashWithoutReporter)->UseManualTime()->Iterations(40)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CrashWithBacktraceSymbolsHandler)->UseManualTime()->Iterations(40)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CrashWithReporter)->UseManualTime()->Iterations(40)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CrashWithBacktraceSymbolsHandlerFramelessProbe)->UseManualTime()->Iterations(40)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CrashWithReporterFramelessProbe)->UseManualTime()->Iterations(40)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CrashWithoutReporterManyMappings)->UseManualTime()->Iterations(40)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CrashWithReporterManyMappings)->UseManualTime()->Iterations(40)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CrashWithReporterFramelessProbeManyMappings)->UseManualTime()->Iterations(40)->Unit(benchmark::kMillisecond);

// --- Per frame -----------------------------------------------------------------------

constexpr int kDepth = 64;

// Grows the main thread's stack past what the walks use, so that the memory
// map read once below covers it.
__attribute__((noinline)) void growStack() {
    volatile char room[1024 * 1024];
    for (size_t i = sizeof room; i > 0; i -= 1024) room[i - 1] = 0;
}

struct WalkSetup {
    crash_image_list images;
    crash_memory_map memory;
    WalkSetup() {
        growStack();
        images.refresh();
        crash_memory_map_reserve(&memory, 8192);
        crash_memory_map_load(&memory);
    }
};

WalkSetup& setup() {
    static WalkSetup instance;
    return instance;
}

const crash_frame_reader framePointerOnly[] = {crash_frame_pointer_reader};

struct WalkJob {
    bool symbols;
    int frames;
    uint64_t checksum;
};

int walkFromHere(crash_thread_state* state, void* context) {
    auto* job = static_cast<WalkJob*>(context);
    crash_frame_environment environment{&setup().images, &setup().memory};
    crash_frame_cursor cursor;
    crash_frame_cursor_init(&cursor, &environment, state);
    job->frames = 0;
    while (job->frames < 512 && crash_frame_cursor_next_with_readers(&cursor, framePointerOnly, 1) == 0) {
        uint64_t pc = 0;
        crash_frame_cursor_get_reg(&cursor, CRASH_REG_PC, &pc);
        job->checksum += pc;
        if (job->symbols) {
            const crash_image* image = setup().images.find(pc, 0);
            if (image && image->symbolCount) {
                const crash_elf_symbol* symbol =
                    crash_elf_find_symbol(image->symbols, image->symbolCount, pc - 1 - image->bias);
                if (symbol) job->checksum += symbol->nameOffset;
            }
        }
        ++job->frames;
    }
    return 0;
}

enum class Walker { ours, oursWithSymbols, glibc };

// Kept out of the recursion, so that each level's frame stays small.
__attribute__((noinline)) int glibcWalk(WalkJob* job) {
    void* frames[512];
    job->frames = backtrace(frames, 512);
    job->checksum += reinterpret_cast<uint64_t>(frames[0]);
    return job->frames;
}

__attribute__((noinline)) int deepThenWalk(int levels, Walker walker, WalkJob* job) {
    if (levels > 0) {
        int frames = deepThenWalk(levels - 1, walker, job);
        benchmark::DoNotOptimize(frames);
        return frames;
    }
    if (walker == Walker::glibc) return glibcWalk(job);
    crash_thread_state_capture(walkFromHere, job);
    return job->frames;
}

void walkBenchmark(benchmark::State& state, Walker walker) {
    setup();
    WalkJob job{walker == Walker::oursWithSymbols, 0, 0};
    int64_t frames = 0;
    for (auto _ : state) {
        frames += deepThenWalk(kDepth, walker, &job);
        benchmark::DoNotOptimize(job.checksum);
    }
    state.SetItemsProcessed(frames);
    state.counters["frames"] = static_cast<double>(job.frames);
    state.counters["time_per_frame"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_WalkGlibcBacktrace(benchmark::State& state) { walkBenchmark(state, Walker::glibc); }
void BM_WalkFramePointers(benchmark::State& state) { walkBenchmark(state, Walker::ours); }
void BM_WalkFramePointersAndSymbols(benchmark::State& state) { walkBenchmark(state, Walker::oursWithSymbols); }
BENCHMARK(BM_WalkGlibcBacktrace);
BENCHMARK(BM_WalkFramePointers);
BENCHMARK(BM_WalkFramePointersAndSymbols);

}  // namespace

BENCHMARK_MAIN();
