// Sequencer timing and export figures.
//
//   build/bench/sequencer/sequencer_bench
//
// StepScheduling/*: ten minutes of a swung one-bar pattern at 128 BPM; the start
//   frame of every step against the exact grid (44.1 kHz), for the sequencer and,
//   side by side, for a loop that adds up truncated step lengths in single precision.
// StepsOnEngine: the same ten minutes rendered by the real engine on the manual
//   device; the frames at which the clicks sound against the exact grid.
// WakeLateness: the real "Sequencer" thread at 300 BPM for six seconds; how late it
//   wakes against its deadlines (median, 99th percentile, worst).
// PatternExport: an 8-bar pattern rendered to a WAVE file; speed as a multiple of real time.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <thread>

#include "engine/in_memory_sound_library.h"
#include "engine/sound_box.h"
#include "platform/audio_file.h"
#include "platform/devices/manual_audio_device.h"
#include "platform/sandbox.h"
#include "sequencer/adapters/sound_box_adapter.h"
#include "sequencer/sequencer.h"
#include "support/sequencer_fakes.h"
#include "support/temp_dir.h"

namespace {

using namespace strombel;
using sequencer::testing::addEvents;
using sequencer::testing::ManualBench;
using sequencer::testing::MemoryPatternStore;
using sequencer::testing::RecordingEngine;

constexpr double kRate = 44100.0;
constexpr int32_t kBpm = 128;
constexpr float kSwingAmount = 0.5f;
constexpr double kTenMinutes = 600.0;

MemoryPatternStore::Contents everyStep(const std::string& path, uint64_t bars = 1) {
    MemoryPatternStore::Contents contents;
    std::vector<uint64_t> steps;
    for (uint64_t step = 0; step < 16 * bars; ++step) {
        steps.push_back(step);
    }
    addEvents(contents, 0, path, steps);
    contents.numBars[0] = bars;
    return contents;
}

long double idealFrame(uint64_t k, long double swing) {
    const long double stepFrames = 60.0L / kBpm / 4.0L * kRate;
    return static_cast<long double>(k / 2) * 2.0L * stepFrames + ((k % 2) ? swing * stepFrames : 0.0L);
}

void BM_StepScheduling_Sequencer(benchmark::State& state) {
    int64_t worst = 0;
    size_t steps = 0;
    for (auto _ : state) {
        ManualBench bench(everyStep("Documents/kick.wav"));
        bench.sequencer.setBpm(kBpm);
        bench.sequencer.setSwing(kSwingAmount);
        const uint64_t start = bench.clock.nowNanos();
        bench.sequencer.playWithPreBar(false);
        bench.runUntil(start + static_cast<uint64_t>(kTenMinutes * 1e9));
        const auto starts = bench.engine.calls(RecordingEngine::Kind::start);
        const long double swing = bench.sequencer.swingFactor();
        steps = starts.size();
        for (size_t k = 0; k < starts.size(); ++k) {
            const int64_t frame = std::llround(static_cast<long double>(starts[k].time - start) * kRate / 1e9L);
            worst = std::max<int64_t>(worst, std::llabs(frame - std::llround(idealFrame(k, swing))));
        }
    }
    state.counters["steps"] = static_cast<double>(steps);
    state.counters["max_error_frames"] = static_cast<double>(worst);
}
BENCHMARK(BM_StepScheduling_Sequencer)->Unit(benchmark::kMillisecond)->Iterations(1);

// The peer: each step's host time is the previous one plus the truncated length,
// computed from a single-precision step length.
void BM_StepScheduling_AccumulatingPeer(benchmark::State& state) {
    int64_t worst = 0;
    size_t steps = 0;
    for (auto _ : state) {
        const float d = (60.0f / static_cast<float>(kBpm)) * 0.25f;
        const float swing = 1.0f + 0.4f * kSwingAmount;
        uint64_t time = 0;
        steps = static_cast<size_t>(kTenMinutes / d);
        for (size_t k = 0; k < steps; ++k) {
            const int64_t frame = std::llround(static_cast<long double>(time) * kRate / 1e9L);
            worst = std::max<int64_t>(worst, std::llabs(frame - std::llround(idealFrame(k, swing))));
            const double length = (k % 2 ? 2.0 - swing : swing) * static_cast<double>(d);
            time += static_cast<uint64_t>(length * 1e9);
        }
        benchmark::DoNotOptimize(time);
    }
    state.counters["steps"] = static_cast<double>(steps);
    state.counters["max_error_frames"] = static_cast<double>(worst);
}
BENCHMARK(BM_StepScheduling_AccumulatingPeer)->Unit(benchmark::kMillisecond)->Iterations(1);

void writeSample(const std::filesystem::path& path, uint32_t frames, bool click) {
    std::filesystem::create_directories(path.parent_path());
    std::vector<int32_t> left(frames, 0), right(frames, 0);
    uint32_t noise = 12345;
    for (uint32_t i = 0; i < frames; ++i) {
        noise = noise * 1664525u + 1013904223u;
        const double decay = std::exp(-6.0 * i / frames);
        left[i] = right[i] = click ? (i == 0 ? (1 << 23) : 0)
                                   : static_cast<int32_t>(((noise >> 8) % (1 << 22)) * decay) - (1 << 21);
    }
    const int32_t* channels[] = {left.data(), right.data()};
    platform::WaveWriter writer;
    writer.open(path, 2, kRate, kRate);
    writer.write(channels, frames);
    writer.close();
}

struct EngineRig {
    explicit EngineRig(MemoryPatternStore::Contents contents, const std::string& sample, uint32_t frames, bool click)
        : store(std::move(contents)) {
        writeSample(sandbox.absolutePath(sample), frames, click);
        library.setSamples({engine::LibrarySample{sample, "sample", 1.0f}});
        auto owned = std::make_unique<platform::ManualAudioDevice>(kRate, 256, clock.nowNanos());
        device = owned.get();
        soundBox = std::make_unique<engine::SoundBox>(std::move(owned), sandbox, mainLoop, &library);
        soundBox->trackForFile(sample)->preloadForPlayback();
        adapter = std::make_unique<sequencer::SoundBoxSequencerEngine>(*soundBox);
        seq = std::make_unique<sequencer::Sequencer>(
            sequencer::SequencerServices{*adapter, store, nullptr, mainLoop, clock, sequencer::LoopDriver::manual});
    }
    ~EngineRig() {
        seq.reset();
        soundBox.reset();
    }
    strombel::testing::TempDir dir;
    platform::Sandbox sandbox{dir.path(), dir.path() / "Tumblecraft.app"};
    platform::ManualClock clock{3'000'000'000};
    platform::MainLoop mainLoop{clock};
    engine::InMemorySoundLibrary library;
    platform::ManualAudioDevice* device = nullptr;
    std::unique_ptr<engine::SoundBox> soundBox;
    std::unique_ptr<sequencer::SoundBoxSequencerEngine> adapter;
    MemoryPatternStore store;
    std::unique_ptr<sequencer::Sequencer> seq;
};

void BM_StepsOnEngine(benchmark::State& state) {
    int64_t worst = 0;
    size_t onsets = 0;
    for (auto _ : state) {
        EngineRig rig(everyStep("Documents/click.wav"), "Documents/click.wav", 64, true);
        rig.seq->setBpm(kBpm);
        rig.seq->setSwing(kSwingAmount);
        rig.seq->playWithPreBar(false);
        const long double swing = rig.seq->swingFactor();
        const uint64_t total = static_cast<uint64_t>(kTenMinutes * kRate);
        uint64_t rendered = 0;
        onsets = 0;
        while (rendered < total) {
            ManualBench::driveLoop(*rig.seq, rig.clock, rig.mainLoop, rig.device->nextHostTime());
            rig.device->renderBuffer();
            const auto& left = rig.device->left();
            for (uint32_t i = 0; i < left.size(); ++i) {
                if (std::abs(left[i]) > (1 << 22)) {
                    const int64_t frame = static_cast<int64_t>(rendered + i);
                    worst = std::max<int64_t>(worst, std::llabs(frame - std::llround(idealFrame(onsets, swing))));
                    ++onsets;
                }
            }
            rendered += left.size();
        }
    }
    state.counters["steps"] = static_cast<double>(onsets);
    state.counters["max_error_frames"] = static_cast<double>(worst);
}
BENCHMARK(BM_StepsOnEngine)->Unit(benchmark::kMillisecond)->Iterations(1);

class SilentEngine final : public sequencer::SequencerEngine {
public:
    bool startTrack(const std::string&, uint64_t, bool, bool, bool, float) override { return true; }
    bool startTrackFromSequencer(const std::string&, uint64_t) override { return true; }
    bool stopTrackFromSequencer(const std::string&, uint64_t) override { return true; }
    void stopAllTracksIncludeTapPadTriggered(bool) override {}
    void preloadTrack(const std::string&) override {}
    std::string metronomeClickOn1File() const override { return "Tumblecraft.app/metronomeOn1.wav"; }
    std::string metronomeClickOn234File() const override { return "Tumblecraft.app/metronomeOn234.wav"; }
    platform::Result<void> exportEvents(const std::vector<sequencer::ExportEvent>&, const std::string&, double,
                                        const std::function<void(float)>&) override {
        return {};
    }
};

void BM_WakeLateness(benchmark::State& state) {
    std::vector<int64_t> lateness;
    for (auto _ : state) {
        platform::MainLoop mainLoop(platform::SystemClock::shared());
        SilentEngine engine;
        MemoryPatternStore store(everyStep("Documents/kick.wav"));
        sequencer::Sequencer seq(sequencer::SequencerServices{engine, store, nullptr, mainLoop,
                                                              platform::SystemClock::shared(),
                                                              sequencer::LoopDriver::thread});
        seq.setBpm(300);
        seq.playWithPreBar(false);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(6);
        while (std::chrono::steady_clock::now() < end) {
            mainLoop.runPending();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        seq.stop();
        lateness = seq.wakeStatistics().latenessNanos;
    }
    std::sort(lateness.begin(), lateness.end());
    if (!lateness.empty()) {
        state.counters["wakes"] = static_cast<double>(lateness.size());
        state.counters["median_us"] = static_cast<double>(lateness[lateness.size() / 2]) / 1e3;
        state.counters["p99_us"] = static_cast<double>(lateness[(lateness.size() * 99) / 100]) / 1e3;
        state.counters["max_us"] = static_cast<double>(lateness.back()) / 1e3;
    }
}
BENCHMARK(BM_WakeLateness)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

void BM_PatternExport(benchmark::State& state) {
    const uint64_t bars = 8;
    EngineRig rig(everyStep("Documents/hit.wav", bars), "Documents/hit.wav", 22050, false);
    rig.seq->setBpm(kBpm);
    rig.seq->setSwing(kSwingAmount);
    const std::string file = (rig.dir / "export.wav").string();
    const double seconds = 60.0 / kBpm / 4.0 * 16.0 * bars;
    for (auto _ : state) {
        platform::Result<void> written = rig.seq->writePattern(0, file, {});
        if (!written) {
            state.SkipWithError(written.error().message().c_str());
            break;
        }
    }
    state.counters["audio_seconds"] = seconds;
    state.counters["x_realtime"] =
        benchmark::Counter(seconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PatternExport)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
