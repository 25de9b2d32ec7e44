// How long the main loop takes to answer while the directory of services holds
// 2,000 hostile files that another process keeps rewriting.
//
//   build/bench/hub/bench_hub_discovery
//
// Each iteration posts a probe to a main loop running on a thread of its own
// and waits until it runs; the time is the loop's answer time. The folder holds
// 2,000 files of 240 KB named like announcements and 20 real announcements,
// browsed and resolved as the registry does; an attacker thread rewrites the
// hostile files round the clock.
//   BareLoop: the same loop and attacker, no discovery (the floor).
//   DirectoryServiceDiscoveryLoop: the discovery as built.
//   ThousandAnnouncementsFromTheStart: no hostile files but 1,000 announcements
//     of about 4 KB, found and resolved from the discovery's start.
// (Reading the folder whole on the main loop at each change, as the discovery
// once did, leaves the loop without an answer for minutes here: too slow to
// stand beside these.)
// Counters: the median, 99th percentile and largest answer time in ms.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/directory_service_discovery.h"
#include "platform/main_loop.h"
#include "support/temp_dir.h"

namespace {

using namespace strombel;
using platform::DirectoryServiceDiscovery;

constexpr int kHostileFiles = 2000;
constexpr off_t kHostileSize = 240 * 1024;
constexpr const char* kType = "_wirehub._udp";

uint64_t now() { return platform::SystemClock::shared().nowNanos(); }

enum class Kind { bareLoop, discovery };

struct HostileFolder {
    strombel::testing::TempDir temp;
    std::filesystem::path folder = temp / "services";
    std::atomic<bool> stop{false};
    std::thread attacker;

    // `hostileFiles` big files kept changing, and `entries` real announcements.
    HostileFolder(int hostileFiles, int entries) {
        std::filesystem::create_directory(folder);
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
        for (int i = 0; i < hostileFiles; ++i) {
            auto file = folder / ("hostile-" + std::to_string(i) + ".service");
            int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            (void)!::ftruncate(fd, kHostileSize);
            ::close(fd);
        }
        for (int i = 0; i < entries; ++i) {
            DirectoryServiceDiscovery::Entry entry;
            entry.record = {"peer" + std::to_string(i) + " (Bench)", kType, uint16_t(30000 + i), {}, {{"a", "1"}}};
            for (int t = 0; t < 8; ++t) entry.record.txt["triggers[" + std::to_string(t) + "]"] = std::string(200, 'x');
            entry.owner = ::getpid();
            DirectoryServiceDiscovery::writeEntry(folder, entry, true);
        }
        if (hostileFiles == 0) return;
        attacker = std::thread([this, hostileFiles] {
            for (int i = 0; !stop.load(); i = (i + 1) % hostileFiles) {
                auto file = folder / ("hostile-" + std::to_string(i) + ".service");
                int fd = ::open(file.c_str(), O_WRONLY);
                (void)!::pwrite(fd, "x", 1, 0);
                ::close(fd);
                if (i % 10 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    ~HostileFolder() {
        stop.store(true);
        if (attacker.joinable()) attacker.join();
    }
};

// A main loop on its own thread with what `kind` puts on it.
struct LoopUnderTest {
    std::atomic<platform::MainLoop*> loop{nullptr};
    std::thread thread;
    std::atomic<int> found{0};

    LoopUnderTest(Kind kind, const std::filesystem::path& folder) {
        thread = std::thread([this, kind, folder] {
            platform::MainLoop own(platform::SystemClock::shared());
            own.bindToCurrentThread();
            std::unique_ptr<DirectoryServiceDiscovery> discovery;
            if (kind == Kind::discovery) {
                discovery = std::make_unique<DirectoryServiceDiscovery>(folder, own);
                platform::ServiceDiscovery::BrowseHandlers handlers;
                auto* d = discovery.get();
                handlers.found = [this, d](const std::string& name) {
                    d->resolve(name, kType, 5 * platform::kNanosPerSecond, [this](auto record) {
                        if (record) found.fetch_add(1);
                    });
                };
                discovery->browse(kType, handlers);
            }
            loop.store(&own);
            own.run();
            discovery.reset();
            own.runPending();
        });
        while (!loop.load()) std::this_thread::yield();
    }
    ~LoopUnderTest() {
        loop.load()->post([l = loop.load()] { l->quit(); });
        thread.join();
    }
};

void answerTime(benchmark::State& state, Kind kind, int hostileFiles = kHostileFiles, int entries = 20) {
    HostileFolder hostile(hostileFiles, entries);
    LoopUnderTest underTest(kind, hostile.folder);
    std::vector<uint64_t> samples;
    for (auto _ : state) {
        std::atomic<bool> answered{false};
        uint64_t start = now();
        underTest.loop.load()->post([&answered] { answered.store(true, std::memory_order_release); });
        while (!answered.load(std::memory_order_acquire)) {
        }
        uint64_t took = now() - start;
        samples.push_back(took);
        state.SetIterationTime(double(took) / 1e9);
        // Probes a few milliseconds apart, so that the attacker's changes come between them.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::sort(samples.begin(), samples.end());
    state.counters["median_ms"] = double(samples[samples.size() / 2]) / 1e6;
    state.counters["p99_ms"] = double(samples[samples.size() * 99 / 100]) / 1e6;
    state.counters["max_ms"] = double(samples.back()) / 1e6;
    state.counters["found"] = underTest.found.load();
}

void BareLoop(benchmark::State& state) { answerTime(state, Kind::bareLoop); }
void DirectoryServiceDiscoveryLoop(benchmark::State& state) { answerTime(state, Kind::discovery); }

BENCHMARK(BareLoop)->UseManualTime()->Iterations(400)->Unit(benchmark::kMillisecond);
// From the start, while a thousand announcements of 4 KB reach the handlers.
void ThousandAnnouncementsFromTheStart(benchmark::State& state) { answerTime(state, Kind::discovery, 0, 1000); }

BENCHMARK(ThousandAnnouncementsFromTheStart)->UseManualTime()->Iterations(400)->Unit(benchmark::kMillisecond);
BENCHMARK(DirectoryServiceDiscoveryLoop)->UseManualTime()->Iterations(400)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
