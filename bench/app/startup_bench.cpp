// Start-up of the whole program to its first rendered frame (offscreen, the null
// audio device, a loopback MIDI world), in a sandbox of its own with the stock
// library of the bundle; the resident memory once it has started; and the CPU
// it takes while it sits idle on the pad screen.
//
//   build/bench/app/startup_bench
//
// "first launch" imports the stock packs into a new library; "later launch"
// opens the library the first one made. Memory and idle CPU are measured in a
// fresh process of this binary each (started with --measure-start), so that
// no benchmark that ran before, in whatever order, changes their figures.

#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QImage>
#include <QScreen>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "app/main_loop_pump.h"
#include "app/program.h"
#include "support/child_process.h"
#include "support/program_start.h"
#include "support/temp_dir.h"
#include "ui/image_store.h"

namespace {

using namespace strombel;

/// The memory lines of /proc/self/status ("VmRSS", "RssAnon", "RssFile", ...) in megabytes.
std::map<std::string, double> memoryMegabytes() {
    std::map<std::string, double> result;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos || line.find(" kB") == std::string::npos) continue;
        result[line.substr(0, colon)] = std::stod(line.substr(colon + 1)) / 1024.0;
    }
    return result;
}

double processCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

/// One start of the program on `root`, up to its first rendered frame.
struct Start : strombel::testing::ProgramStart {
    explicit Start(const std::filesystem::path& root) : ProgramStart(root), frame(program->window().render(1.0)) {}
    QImage frame;
};

/// The child's part: starts the program once, prints its memory, then lets it
/// sit idle under Qt's event loop for `idleSeconds` and prints the CPU it took
/// as a share of one core. With `sequencerOpen` the SEQ panel is open (stopped).
int measureStart(const std::filesystem::path& root, double idleSeconds, bool sequencerOpen) {
    const auto before = memoryMegabytes();
    if (sequencerOpen) {
        platform::Sandbox sandbox(root, platform::Sandbox::defaultBundle());
        (void)sandbox.createFolders();
        platform::UserDefaults(sandbox.preferences() / "defaults.sqlite").setBool("Sequencer", true);
    }
    // Pictures at the screen's own pixel ratio, as the program draws them.
    const QScreen* screen = QGuiApplication::primaryScreen();
    ui::ImageStore::setShared(std::make_unique<ui::ImageStore>(platform::Sandbox::defaultBundle(),
                                                               std::ceil(screen ? screen->devicePixelRatio() : 1.0)));
    Start start(root);
    if (start.frame.isNull()) return 1;
    const auto after = memoryMegabytes();
    std::printf("rss_before_start %f\nrss %f\nanon %f\nfile %f\n", before.at("VmRSS"), after.at("VmRSS"),
                after.at("RssAnon"), after.at("RssFile"));
    if (idleSeconds > 0) {
        app::MainLoopPump pump(start.loop);
        // What starting left for later settles first.
        QTimer::singleShot(1000, [] { QApplication::exit(0); });
        QApplication::exec();
        const double cpu = processCpuSeconds();
        timespec wall0{}, wall1{};
        clock_gettime(CLOCK_MONOTONIC, &wall0);
        QTimer::singleShot(static_cast<int>(idleSeconds * 1000), [] { QApplication::exit(0); });
        QApplication::exec();
        clock_gettime(CLOCK_MONOTONIC, &wall1);
        const double wall = static_cast<double>(wall1.tv_sec - wall0.tv_sec) +
                            static_cast<double>(wall1.tv_nsec - wall0.tv_nsec) * 1e-9;
        std::printf("idle_cpu_percent %f\n", 100.0 * (processCpuSeconds() - cpu) / wall);
    }
    std::fflush(stdout);
    return 0;
}

/// Runs `--measure-start` in a fresh process and answers what it printed.
std::map<std::string, double> measureInChild(const std::vector<std::string>& extra) {
    strombel::testing::TempDir dir;
    char self[4096] = {};
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return {};
    std::vector<std::string> arguments{std::string(self, static_cast<size_t>(length)), "--measure-start",
                                       (dir.path() / "root").string()};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    const std::filesystem::path report = dir.path() / "report.txt";
    {
        FILE* out = std::fopen(report.c_str(), "w");
        if (!out) return {};
        strombel::testing::ChildProcess child(arguments, strombel::testing::environmentWith({}), ::fileno(out));
        std::fclose(out);
        const std::optional<int> status = child.wait(120);
        if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) return {};
    }
    std::map<std::string, double> figures;
    std::ifstream in(report);
    std::string name;
    double value = 0;
    while (in >> name >> value) figures[name] = value;
    return figures;
}

void BM_ResidentMemoryAfterStart(benchmark::State& state) {
    std::map<std::string, double> figures;
    for (auto _ : state) figures = measureInChild({});
    if (!figures.count("rss")) {
        state.SkipWithError("the measuring process failed");
        return;
    }
    state.counters["rss_MB"] = figures["rss"];
    state.counters["rss_before_start_MB"] = figures["rss_before_start"];
    state.counters["anon_MB"] = figures["anon"];
    state.counters["file_MB"] = figures["file"];
}
BENCHMARK(BM_ResidentMemoryAfterStart)->Unit(benchmark::kMillisecond)->Iterations(1);

/// The CPU of the whole program (main loop, audio thread on the null device,
/// every other thread) over five idle seconds; the SEQ panel closed and open.
void BM_IdleCpu(benchmark::State& state) {
    std::map<std::string, double> figures;
    std::vector<std::string> extra{"--idle", "5"};
    if (state.range(0)) extra.push_back("--sequencer-open");
    for (auto _ : state) figures = measureInChild(extra);
    if (!figures.count("idle_cpu_percent")) {
        state.SkipWithError("the measuring process failed");
        return;
    }
    state.counters["cpu_percent_of_core"] = figures["idle_cpu_percent"];
}
BENCHMARK(BM_IdleCpu)->ArgName("seq_panel")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);

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
    if (argc >= 3 && std::strcmp(argv[1], "--measure-start") == 0) {
        double idle = 0;
        bool sequencerOpen = false;
        for (int i = 3; i < argc; ++i) {
            if (std::strcmp(argv[i], "--idle") == 0 && i + 1 < argc) idle = std::atof(argv[++i]);
            if (std::strcmp(argv[i], "--sequencer-open") == 0) sequencerOpen = true;
        }
        int childArgc = 1;
        QApplication application(childArgc, argv);
        return measureStart(argv[2], idle, sequencerOpen);
    }
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
