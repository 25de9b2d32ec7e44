// What a hostile program of the same user costs this one: the whole program,
// started as a user starts it (no sound card, the window not shown) under a
// private XDG_RUNTIME_DIR, beside hub_neighbour attacking it from a process of
// its own, on loopback and through the directory of services.
//
//   QT_QPA_PLATFORM=offscreen build/bench/hub/bench_hub_neighbour
//
// Quiet: the program alone for 20 s, the floor of the others.
// NewPeerNames: 100 new hub applications a second, each gone 6 s later, for 20 s.
// HugeIcons: 20 hub applications, the hub among them, serving 4096 x 4096 icons;
//   the hub connects them all with the program (once a second for the first
//   five), so the panel shows their buttons; 20 s.
// JunkFolder: 100,000 files named like announcements written into the directory
//   of services while the program watches it, then one real hub application
//   ("Latecomer"): "found_s" is how long after its announcement the program
//   knew it (60 means not within a minute).
// JunkChurn: the same, the junk written again and again all the while.
// Counters: "icons_shown", the peers in the panel with their icons;
// "loop_p99_ms" and "loop_max_ms", the main loop's answer time to a
// probe posted every 5 ms; "cpu_percent", the program's CPU (the neighbour's
// not included) as a share of one core; "rss_peak_mb", how far the peak of its
// resident memory rose; "lines_per_s", the hub's log lines (counted, not
// written: writing them costs more still), with the busiest kinds in the label.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "bus_test_support.h"
#include "hub/bus_log.h"
#include "hub/hub_controller.h"
#include "hub/hub_signature_validator.h"
#include "support/program_start.h"
#include "support/temp_dir.h"

extern char** environ;

namespace {

using namespace strombel;

QApplication& application() {
    static int argc = 1;
    static char name[] = "bench_hub_neighbour";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

uint64_t now() { return platform::SystemClock::shared().nowNanos(); }

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

/// A line of /proc/self/status in MB ("VmRSS", "VmHWM").
double statusMegabytes(const std::string& key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key + ":", 0) == 0) return std::atof(line.c_str() + key.size() + 1) / 1024;
    return 0;
}

/// Counts the hub's lines by their first words.
struct LineCounter {
    std::mutex mutex;
    std::map<std::string, uint64_t> kinds;
    uint64_t total = 0;
    LineCounter() {
        hub::setBusLogSink([this](const std::string& line) {
            std::lock_guard lock(mutex);
            ++total;
            ++kinds[line.substr(0, std::min<size_t>(line.find(' ', line.find(' ') + 1), 24))];
        });
    }
    ~LineCounter() { hub::setBusLogSink({}); }
    std::string busiest(double seconds) {
        std::lock_guard lock(mutex);
        std::vector<std::pair<uint64_t, std::string>> sorted;
        for (const auto& [kind, count] : kinds) sorted.emplace_back(count, kind);
        std::sort(sorted.rbegin(), sorted.rend());
        std::string text;
        for (size_t i = 0; i < std::min<size_t>(3, sorted.size()); ++i)
            text += (i ? ", " : "") + sorted[i].second + " " + std::to_string(int(double(sorted[i].first) / seconds)) + "/s";
        return text;
    }
};

/// Posts a probe every 5 ms and keeps how long each took to run.
struct Prober {
    explicit Prober(platform::MainLoop& probed) : loop(probed) {}
    platform::MainLoop& loop;
    std::atomic<bool> stop{false};
    std::vector<uint64_t> samples;  // read once `finish` returned
    std::thread thread{[this] {
        while (!stop.load()) {
            auto answered = std::make_shared<std::atomic<bool>>(false);
            const uint64_t start = now();
            loop.post([answered] { answered->store(true); });
            while (!answered->load() && !stop.load()) std::this_thread::sleep_for(std::chrono::microseconds(50));
            samples.push_back(now() - start);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }};
    std::vector<uint64_t>& finish() {
        stop.store(true);
        if (thread.joinable()) thread.join();
        std::sort(samples.begin(), samples.end());
        return samples;
    }
    ~Prober() { finish(); }
};

/// The neighbour as a process of its own; ended by its id.
struct Neighbour {
    pid_t pid = -1;
    int out = -1;
    explicit Neighbour(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), HUB_NEIGHBOUR_PATH);
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        int pipe[2];
        if (::pipe2(pipe, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipe[1], 1);
        if (posix_spawn(&pid, HUB_NEIGHBOUR_PATH, &actions, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipe[1]);
        out = pipe[0];
        ::fcntl(out, F_SETFL, O_NONBLOCK);
    }
    /// The monotonic time of the latecomer's announcement, once it said so.
    std::optional<uint64_t> latecomer() {
        char text[256] = {};
        ssize_t n = ::read(out, text, sizeof text - 1);
        if (n > 0) buffer += std::string(text, size_t(n));
        if (auto at = buffer.find("latecomer "); at != std::string::npos && buffer.find('\n', at) != std::string::npos)
            return std::stoull(buffer.substr(at + 10));
        return std::nullopt;
    }
    ~Neighbour() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        if (out >= 0) ::close(out);
    }
    std::string buffer;
};

/// A private runtime folder on a memory file system, as the session's is
/// (in `fallback` where there is no /dev/shm).
struct RuntimeFolder {
    std::filesystem::path path;
    explicit RuntimeFolder(const std::filesystem::path& fallback) {
        char name[] = "/dev/shm/strombel-neighbour-XXXXXX";
        path = ::mkdtemp(name) ? std::filesystem::path(name) : fallback / "run";
        std::filesystem::create_directories(path);
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    }
    ~RuntimeFolder() {
        std::error_code error;
        std::filesystem::remove_all(path, error);
    }
};

struct Attack {
    std::vector<std::string> arguments;  // the neighbour's, the folder added
    double seconds = 20;
    bool waitForLatecomer = false;
};

void underAttack(benchmark::State& state, Attack attack) {
    application();
    setenv("JACK_NO_START_SERVER", "1", 1);
    strombel::testing::TempDir dir;
    RuntimeFolder runtime(dir.path());
    setenv("XDG_RUNTIME_DIR", runtime.path.c_str(), 1);
    const auto& key = hub::testing::TestKeyPair::shared();
    std::ofstream(dir.path() / "hub-key.pem") << key.privateKeyPem;
    hub::HubSignatureValidator::setShared(hub::HubSignatureValidator::withKey(key.publicKey));
    LineCounter lines;
    auto started = std::make_unique<strombel::testing::ProgramStart>(dir.path() / "root");
    platform::MainLoop& loop = started->loop;
    hub::HubController* controller = started->program->delegate().hubController();
    if (!controller) {
        state.SkipWithError("the program runs without the hub");
        return;
    }
    loop.runPending();
    for (auto& argument : attack.arguments)
        if (argument.rfind("KEY", 0) == 0) argument.replace(0, 3, (dir.path() / "hub-key.pem").string());
    attack.arguments.insert(attack.arguments.end(),
                            {"--folder", platform::DirectoryServiceDiscovery::defaultFolder().string(), "--seconds",
                             std::to_string(attack.seconds + 5)});

    for (auto _ : state) {
        std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
        const double rssBefore = statusMegabytes("VmRSS");
        const double cpuBefore = cpuSeconds();
        const uint64_t start = now();
        Neighbour neighbour(attack.arguments);
        double found = 60;
        {
            Prober prober(loop);
            std::optional<uint64_t> announced;
            const uint64_t limit = uint64_t((attack.waitForLatecomer ? 60 : attack.seconds) * 1e9);
            const auto watch = loop.scheduleRepeating(20'000'000, [&] {
                if (now() - start >= limit) loop.quit();
                if (!attack.waitForLatecomer) return;
                if (!announced) announced = neighbour.latecomer();
                for (const auto& peer : controller->peers())
                    if (announced && peer->name() == "Latecomer") {
                        found = double(now() - *announced) / 1e9;
                        loop.quit();
                    }
            });
            loop.run();
            loop.cancel(watch);
            const auto& samples = prober.finish();
            if (!samples.empty()) {
                state.counters["loop_p99_ms"] = double(samples[samples.size() * 99 / 100]) / 1e6;
                state.counters["loop_max_ms"] = double(samples.back()) / 1e6;
            }
        }
        const double wall = double(now() - start) / 1e9;
        state.SetIterationTime(wall);
        state.counters["cpu_percent"] = (cpuSeconds() - cpuBefore) / wall * 100;
        state.counters["rss_peak_mb"] = statusMegabytes("VmHWM") - rssBefore;
        state.counters["lines_per_s"] = double(lines.total) / wall;
        if (attack.waitForLatecomer) state.counters["found_s"] = found;
        int icons = 0;
        for (const auto& peer : controller->connectedPeers()) icons += peer->icon() != nullptr;
        state.counters["icons_shown"] = icons;
        state.SetLabel(lines.busiest(wall));
    }
    started.reset();
    hub::HubSignatureValidator::setShared(nullptr);
}

void Quiet(benchmark::State& state) { underAttack(state, {{}, 20}); }
void NewPeerNames(benchmark::State& state) { underAttack(state, {{"--names", "100,6"}, 20}); }
void HugeIcons(benchmark::State& state) {
    underAttack(state, {{"--icons", "20,4096", "--graph", "KEY,Strombel output"}, 20});
}
void JunkFolder(benchmark::State& state) { underAttack(state, {{"--junk", "100000", "--latecomer"}, 60, true}); }
void JunkChurn(benchmark::State& state) {
    underAttack(state, {{"--junk", "100000", "--churn", "--latecomer"}, 60, true});
}

BENCHMARK(Quiet)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(NewPeerNames)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(HugeIcons)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(JunkFolder)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(JunkChurn)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
