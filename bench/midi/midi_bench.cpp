// How quickly an incoming note reaches the engine, and how evenly the clock goes out.
//
//   build/bench/midi/bench_midi
//
// NoteOnToStart: from a note-on arriving at the backend (the read callback) to
// the engine's start call on the MIDI action thread, with notes 200 us apart so
// that the action thread is asleep when each arrives; reported per iteration, with
// the median and the 99th percentile as counters. ThreadHop is the peer: the bare
// cost of waking a sleeping thread through a condition variable, the floor of any
// hand-over. ClockTickSpacing128: the sequencer's pattern of clock out at
// 128 BPM (six ticks per sixteenth, scheduled 100 ms ahead) through the timed-send
// thread; counters give the error of each tick against its time and of the spacing
// between ticks against 19.53125 ms, in microseconds.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "midi/midi_controller.h"
#include "platform/devices/loopback_midi_backend.h"
#include "platform/host_time.h"
#include "support/temp_dir.h"

namespace {

using namespace strombel;

struct TimingEngine : midi::MidiSoundEngine {
    std::atomic<uint64_t> starts{0};
    std::atomic<uint64_t> lastStartNanos{0};
    void startSoundbankSample(int64_t, double) override {
        lastStartNanos.store(platform::SystemClock::shared().nowNanos(), std::memory_order_relaxed);
        starts.fetch_add(1, std::memory_order_release);
    }
    void stopSoundbankSample(int64_t) override {}
    void startTrackForMidiNote(int32_t, double) override {}
    void stopTrackForMidiNote(int32_t) override {}
};

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
    return values[index];
}

void NoteOnToStart(benchmark::State& state) {
    testing::TempDir dir;
    platform::MainLoop loop{platform::SystemClock::shared()};
    platform::NotificationCenter center;
    platform::UserDefaults defaults(dir / "defaults.sqlite");
    platform::LoopbackMidiBackend backend{platform::SystemClock::shared()};
    TimingEngine engine;
    midi::MidiController hub({backend, loop, center, defaults, dir / "Documents", "Tumblecraft", &engine});
    platform::MidiEndpointRef keys = backend.addSource("Keys");
    loop.runPending();
    hub.receiveNotesFrom("Keys", true);

    const uint8_t noteOn[3] = {0x90, 60, 100};
    platform::MidiPacket packet{0, noteOn};
    std::vector<double> micros;
    for (auto _ : state) {
        const uint64_t before = engine.starts.load(std::memory_order_acquire);
        const uint64_t sent = platform::SystemClock::shared().nowNanos();
        backend.play(keys, platform::MidiPacketList(&packet, 1));
        while (engine.starts.load(std::memory_order_acquire) == before) {
        }
        const uint64_t took = engine.lastStartNanos.load(std::memory_order_relaxed) - sent;
        state.SetIterationTime(static_cast<double>(took) * 1e-9);
        micros.push_back(static_cast<double>(took) / 1000.0);
        // Notes come milliseconds apart: let the action thread fall asleep first.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    state.counters["median_us"] = percentile(micros, 0.5);
    state.counters["p99_us"] = percentile(micros, 0.99);
}
BENCHMARK(NoteOnToStart)->UseManualTime()->Iterations(5000);

void ThreadHop(benchmark::State& state) {
    std::mutex mutex;
    std::condition_variable wake;
    bool pending = false, stop = false;
    std::atomic<uint64_t> handled{0}, lastNanos{0};
    std::thread worker([&] {
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return pending || stop; });
            if (stop) return;
            pending = false;
            lastNanos.store(platform::SystemClock::shared().nowNanos());
            handled.fetch_add(1, std::memory_order_release);
        }
    });
    std::vector<double> micros;
    for (auto _ : state) {
        const uint64_t before = handled.load(std::memory_order_acquire);
        const uint64_t sent = platform::SystemClock::shared().nowNanos();
        {
            std::lock_guard lock(mutex);
            pending = true;
        }
        wake.notify_one();
        while (handled.load(std::memory_order_acquire) == before) {
        }
        const uint64_t took = lastNanos.load() - sent;
        state.SetIterationTime(static_cast<double>(took) * 1e-9);
        micros.push_back(static_cast<double>(took) / 1000.0);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    {
        std::lock_guard lock(mutex);
        stop = true;
    }
    wake.notify_one();
    worker.join();
    state.counters["median_us"] = percentile(micros, 0.5);
    state.counters["p99_us"] = percentile(micros, 0.99);
}
BENCHMARK(ThreadHop)->UseManualTime()->Iterations(5000);

void ClockTickSpacing128(benchmark::State& state) {
    testing::TempDir dir;
    platform::MainLoop loop{platform::SystemClock::shared()};
    platform::NotificationCenter center;
    platform::UserDefaults defaults(dir / "defaults.sqlite");
    platform::LoopbackMidiBackend backend(platform::SystemClock::shared(), true);
    TimingEngine engine;
    midi::MidiController hub({backend, loop, center, defaults, dir / "Documents", "Tumblecraft", &engine});
    backend.addDestination("Drum Machine");
    loop.runPending();
    hub.sendClockTo("Drum Machine", true);

    std::mutex mutex;
    std::vector<std::pair<uint64_t, uint64_t>> ticks;  // due, delivered
    ticks.reserve(4096);
    backend.setKeepsReceived(false);
    backend.setDeliveryHook([&](platform::MidiEndpointRef, std::span<const uint8_t> bytes, uint64_t due) {
        const uint64_t now = platform::SystemClock::shared().nowNanos();
        if (bytes.size() == 1 && bytes[0] == 0xF8) {
            std::lock_guard lock(mutex);
            ticks.emplace_back(due, now);
        }
    });

    const uint64_t stepNanos = 60'000'000'000ull / 128 / 4;
    const uint64_t tickNanos = stepNanos / 6;
    const int steps = static_cast<int>(state.range(0));
    for (auto _ : state) {
        ticks.clear();
        uint64_t stepStart = platform::SystemClock::shared().nowNanos() + 100 * platform::kNanosPerMillisecond;
        for (int step = 0; step < steps; ++step) {
            // The sequencer wakes 0.1 s before each step and schedules its six ticks.
            const uint64_t wake = stepStart - 100 * platform::kNanosPerMillisecond;
            const uint64_t now = platform::SystemClock::shared().nowNanos();
            if (wake > now) std::this_thread::sleep_for(std::chrono::nanoseconds(wake - now));
            for (uint64_t k = 1; k <= 6; ++k) hub.sendClockTickAtTime(platform::nanosToHostTime(stepStart + k * tickNanos));
            stepStart += stepNanos;
        }
        while (backend.scheduledCount() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::vector<double> lateness, spacing;
    {
        std::lock_guard lock(mutex);
        for (size_t i = 0; i < ticks.size(); ++i) {
            lateness.push_back(std::fabs(static_cast<double>(ticks[i].second) - static_cast<double>(ticks[i].first)) / 1000.0);
            if (i > 0) {
                const double interval = static_cast<double>(ticks[i].second - ticks[i - 1].second);
                spacing.push_back(std::fabs(interval - static_cast<double>(tickNanos)) / 1000.0);
            }
        }
    }
    state.counters["ticks"] = static_cast<double>(ticks.size());
    state.counters["error_median_us"] = percentile(lateness, 0.5);
    state.counters["error_p99_us"] = percentile(lateness, 0.99);
    state.counters["spacing_error_median_us"] = percentile(spacing, 0.5);
    state.counters["spacing_error_p99_us"] = percentile(spacing, 0.99);
    state.counters["spacing_error_max_us"] = percentile(spacing, 1.0);
}
BENCHMARK(ClockTickSpacing128)->Arg(64)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
