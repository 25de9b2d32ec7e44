// Start-up of the whole program to its first rendered frame (offscreen, the null
// audio device, a loopback MIDI world), in a sandbox of its own with the stock
// library of the bundle; and the resident memory once it has started.
//
//   build/bench/app/startup_bench
//
// "first launch" imports the stock packs into a new library; "later launch"
// opens the library the first one made.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>

#include <fstream>
#include <memory>
#include <string>

#include "app/program.h"
#include "support/program_start.h"
#include "support/temp_dir.h"

namespace {

using namespace strombel;

/// Resident memory of this process in megabytes.
double residentMegabytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
}

/// One start of the program on `root`, up to its first rendered frame.
struct Start : strombel::testing::ProgramStart {
    explicit Start(const std::filesystem::path& root) : ProgramStart(root), frame(program->window().render(1.0)) {}
    QImage frame;
};

void BM_ResidentMemoryAfterStart(benchmark::State& state) {
    strombel::testing::TempDir dir;
    const double before = residentMegabytes();
    std::unique_ptr<Start> start;
    for (auto _ : state) start = std::make_unique<Start>(dir.path() / "root");
    state.counters["rss_MB"] = residentMegabytes();
    state.counters["rss_before_start_MB"] = before;
}
// Runs first and once, so that the figure is one start's and not that of the
// starts after it.
BENCHMARK(BM_ResidentMemoryAfterStart)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_StartupToFirstFrame_FirstLaunch(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto dir = std::make_unique<strombel::testing::TempDir>();
        state.ResumeTiming();
        Start start(dir->path() / "root");
        benchmark::DoNotOptimize(start.frame.bits());
        state.PauseTiming();
        if (start.frame.isNull()) state.SkipWithError("no frame was rendered");
        start.program.reset();
        dir.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_StartupToFirstFrame_FirstLaunch)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_StartupToFirstFrame_LaterLaunch(benchmark::State& state) {
    strombel::testing::TempDir dir;
    { Start first(dir.path() / "root"); }
    for (auto _ : state) {
        Start start(dir.path() / "root");
        benchmark::DoNotOptimize(start.frame.bits());
        state.PauseTiming();
        start.program.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_StartupToFirstFrame_LaterLaunch)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
