// Render cost per 256-frame buffer (as a share of the buffer's real-time
// duration), the cost of one pad tap on the caller's thread, silent blocks while
// two control threads hammer the engine, offline export speed (as a multiple of
// real time) and sample load times. Run: build/bench/engine/engine_bench
//
// The render, tap and contention benchmarks use only the engine's public API,
// so the same file builds against the engine as it was before it stopped taking
// a mutex between the control threads and the audio thread: export that commit,
// put this file in its bench/engine/ and run both binaries one after the other.

#include <benchmark/benchmark.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/in_memory_sound_library.h"
#include "engine/sound_box.h"
#include "platform/devices/manual_audio_device.h"

namespace {

using namespace strombel;

constexpr double kRate = 44100.0;
constexpr uint32_t kBufferFrames = 256;

/// A folder of synthesised drum-like samples, made once per run.
class Samples {
public:
    static Samples& shared() {
        static Samples samples;
        return samples;
    }
    const std::filesystem::path& root() const { return root_; }
    platform::Sandbox& sandbox() { return *sandbox_; }

    /// Writes `name` with `seconds` of a decaying tone, stereo.
    std::string make(const std::string& name, double seconds, int rate, int format) {
        std::filesystem::path path = root_ / "Documents" / name;
        if (!std::filesystem::exists(path)) {
            SF_INFO info{};
            info.samplerate = rate;
            info.channels = 2;
            info.format = format;
            SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
            const int frames = static_cast<int>(seconds * rate);
            std::vector<float> data(static_cast<size_t>(frames) * 2);
            const double pitch = 60.0 + static_cast<double>(std::hash<std::string>{}(name) % 400);
            for (int i = 0; i < frames; ++i) {
                const float v = static_cast<float>(0.3 * std::exp(-3.0 * i / rate) * std::sin(2 * M_PI * pitch * i / rate));
                data[2 * i] = v;
                data[2 * i + 1] = -v;
            }
            sf_writef_float(file, data.data(), frames);
            sf_close(file);
        }
        return "Documents/" + name;
    }

    /// Writes `name` with `seconds` of one constant 16-bit value, mono (0 is silence).
    std::string makeConstant(const std::string& name, double seconds, int16_t value) {
        std::filesystem::path path = root_ / "Documents" / name;
        if (!std::filesystem::exists(path)) {
            SF_INFO info{};
            info.samplerate = 44100;
            info.channels = 1;
            info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
            SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
            std::vector<int16_t> data(static_cast<size_t>(seconds * 44100), value);
            sf_writef_short(file, data.data(), static_cast<sf_count_t>(data.size()));
            sf_close(file);
        }
        return "Documents/" + name;
    }

private:
    Samples() {
        std::string pattern = (std::filesystem::temp_directory_path() / "strombel-bench-XXXXXX").string();
        root_ = mkdtemp(pattern.data());
        sandbox_ = std::make_unique<platform::Sandbox>(root_, root_ / "bundle");
        (void)sandbox_->createFolders();
    }
    ~Samples() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    std::filesystem::path root_;
    std::unique_ptr<platform::Sandbox> sandbox_;
};

/// An engine on a manual device with `count` samples of `seconds` each in its library.
struct Rig {
    explicit Rig(int count, double seconds) {
        std::vector<engine::LibrarySample> samples;
        for (int i = 0; i < count; ++i) {
            std::string path = Samples::shared().make("s" + std::to_string(i) + "_" + std::to_string(seconds) + ".wav",
                                                      seconds, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
            samples.push_back({path, path, 1.0f});
            paths.push_back(path);
        }
        library.setSamples(samples);
        box = std::make_unique<engine::SoundBox>(std::make_unique<platform::ManualAudioDevice>(), Samples::shared().sandbox(),
                                                 loop, &library);
        for (const auto& path : paths) box->preloadTrack(path);
        box->waitForPreloads();
    }
    void fullEffects() {
        box->setEffectWetness(1.0f);
        box->setCrushAmount(1.0f);
        box->setCutOffAmount(1.0f);
        box->setPhaseAmount(1.0f);
        box->setDelayIntensity(1.0f);
        box->setDelayTime(0.5f);
        box->setReverbAmount(1.0f);
        box->setPitchAmount(0.7f);
    }
    void startAll() {
        for (const auto& path : paths) box->startTrack(path, 0, true, false, false, 1.0f);
    }

    platform::MainLoop loop{platform::SystemClock::shared()};
    engine::InMemorySoundLibrary library;
    std::vector<std::string> paths;
    std::unique_ptr<engine::SoundBox> box;
};

void BM_RenderBuffer(benchmark::State& state) {
    const int tracks = static_cast<int>(state.range(0));
    Rig rig(tracks, 2.0);
    rig.fullEffects();
    rig.startAll();
    std::vector<int32_t> left(kBufferFrames), right(kBufferFrames);
    uint64_t time = 1'000'000'000;
    int buffers = 0;
    for (auto _ : state) {
        rig.box->soundBoxRenderCallback(kBufferFrames, time, left.data(), right.data());
        benchmark::DoNotOptimize(left.data());
        time += static_cast<uint64_t>(kBufferFrames * 1e9 / kRate);
        if (++buffers == 200) {  // about 1.2 s: every track still sounds; start them again
            state.PauseTiming();
            rig.box->deliverPendingEvents();
            rig.startAll();
            buffers = 0;
            state.ResumeTiming();
        }
    }
    if (rig.box->playingTracks().size() != static_cast<size_t>(tracks)) state.SkipWithError("tracks stopped sounding");
    // Time per buffer as a percentage of the buffer's own duration.
    state.counters["budget_percent"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * (kBufferFrames / kRate) / 100.0,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_RenderBuffer)->Arg(0)->Arg(12)->Arg(64)->Unit(benchmark::kMicrosecond);

// A 5 ms buffer (220 frames) while nothing sounds, side by side: an engine whose
// effects are dry and never played ("bare"), and one with every effect on whose
// track played and whose echo and reverb tails then died away ("after tails").
// Idle, both should cost about the same: the buffer clear and little else.
void BM_IdleBuffer(benchmark::State& state) {
    constexpr uint32_t kIdleFrames = 220;
    const bool afterTails = state.range(0) != 0;
    Rig rig(1, 0.2);
    std::vector<int32_t> left(kIdleFrames), right(kIdleFrames);
    uint64_t time = 1'000'000'000;
    auto render = [&] {
        rig.box->soundBoxRenderCallback(kIdleFrames, time, left.data(), right.data());
        time += static_cast<uint64_t>(kIdleFrames * 1e9 / kRate);
    };
    if (afterTails) {
        rig.fullEffects();
        rig.startAll();
        for (int i = 0; i < 60 * 200; ++i) render();  // a minute of sound: every tail has ended
        rig.box->deliverPendingEvents();
    }
    const uint64_t workedBefore = rig.box->effectBlocks();
    for (auto _ : state) {
        render();
        benchmark::DoNotOptimize(left.data());
    }
    if (std::any_of(left.begin(), left.end(), [](int32_t v) { return v != 0; })) state.SkipWithError("not silent");
    state.counters["effect_blocks"] = static_cast<double>(rig.box->effectBlocks() - workedBefore);
}
BENCHMARK(BM_IdleBuffer)->ArgName("after_tails")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The cost of one pad tap on the caller's thread: look-up, start request and
// whatever the engine does there. The render runs between batches of a thousand
// taps (not timed), as the audio thread would.
void BM_TapCost(benchmark::State& state) {
    Rig rig(12, 2.0);
    std::vector<int32_t> left(kBufferFrames), right(kBufferFrames);
    uint64_t time = 1'000'000'000;
    size_t next = 0;
    int taps = 0;
    for (auto _ : state) {
        rig.box->startTrack(rig.paths[next], 0, true, false, false, 1.0f);
        if (++next == rig.paths.size()) next = 0;
        if (++taps == 1000) {
            state.PauseTiming();
            rig.box->soundBoxRenderCallback(kBufferFrames, time, left.data(), right.data());
            time += static_cast<uint64_t>(kBufferFrames * 1e9 / kRate);
            rig.box->deliverPendingEvents();
            taps = 0;
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_TapCost)->Unit(benchmark::kNanosecond);

// The same while another thread renders buffers back to back, as a busy audio
// thread would: a tap must not wait for the render.
void BM_TapCostWhileRendering(benchmark::State& state) {
    Rig rig(12, 2.0);
    rig.fullEffects();
    std::atomic<bool> done{false};
    std::thread audio([&] {
        std::vector<int32_t> left(kBufferFrames), right(kBufferFrames);
        uint64_t time = 1'000'000'000;
        while (!done.load(std::memory_order_relaxed)) {
            rig.box->soundBoxRenderCallback(kBufferFrames, time, left.data(), right.data());
            time += static_cast<uint64_t>(kBufferFrames * 1e9 / kRate);
        }
    });
    size_t next = 0;
    int taps = 0;
    for (auto _ : state) {
        rig.box->startTrack(rig.paths[next], 0, true, false, false, 1.0f);
        if (++next == rig.paths.size()) next = 0;
        if (++taps == 48) {
            state.PauseTiming();
            rig.loop.runPending();
            rig.box->deliverPendingEvents();
            taps = 0;
            state.ResumeTiming();
        }
    }
    done.store(true);
    audio.join();
}
BENCHMARK(BM_TapCostWhileRendering)->Unit(benchmark::kNanosecond)->UseRealTime();

// Silent blocks while two control threads use the engine as fast as they can: a
// "main" thread (bank changes, single-track reloads, the playing list, the pad
// paths) and a "MIDI" thread (taps, stops, volumes, look-ups, sequencer starts).
// A constant probe sample longer than the run plays throughout; a block in which
// nothing of it is heard is a silent block. The control threads play silent
// samples only, so that they cannot hide one.
void BM_SilentBlocksUnderContention(benchmark::State& state) {
    constexpr int kBlocks = 10'000;  // 58 s of sound at 256 frames a block
    double silent = 0;
    for (auto _ : state) {
        state.PauseTiming();
        platform::MainLoop loop{platform::SystemClock::shared()};
        engine::InMemorySoundLibrary library;
        std::vector<engine::LibrarySample> samples;
        const std::string probe = Samples::shared().makeConstant("probe.wav", 60.0, 10000);
        samples.push_back({probe, probe, 1.0f});
        std::vector<std::string> quiet;
        for (int i = 0; i < 12; ++i) {
            quiet.push_back(Samples::shared().makeConstant("quiet" + std::to_string(i) + ".wav", 0.5, 0));
            samples.push_back({quiet.back(), quiet.back(), 1.0f});
        }
        library.setSamples(samples);
        for (uint64_t bank = 0; bank < 2; ++bank) {
            std::vector<engine::LibraryPadAssignment> pads;
            for (int pad = 0; pad < 6; ++pad) {
                engine::LibraryPadAssignment assignment;
                assignment.pad = pad;
                assignment.sample = samples[1 + bank * 6 + static_cast<size_t>(pad)];
                pads.push_back(assignment);
            }
            library.setBank(bank, pads);
        }
        auto device = std::make_unique<platform::ManualAudioDevice>(kRate, kBufferFrames);
        platform::ManualAudioDevice* manual = device.get();
        engine::SoundBox box(std::move(device), Samples::shared().sandbox(), loop, &library);
        box.preloadTrack(probe);
        for (const auto& path : quiet) box.preloadTrack(path);
        box.waitForPreloads();
        box.startTrack(probe, 0, false, false, true, 1.0f);
        std::atomic<bool> done{false};
        std::thread main([&] {
            loop.bindToCurrentThread();
            uint64_t bank = 0;
            while (!done.load(std::memory_order_relaxed)) {
                box.currentSoundbankChanged(bank ^= 1);
                box.loadTrackForFile(quiet[bank * 6]);
                benchmark::DoNotOptimize(box.playingTracks().size());
                benchmark::DoNotOptimize(box.currentSoundbankFilePathsByIdx().size());
                loop.runPending();
            }
        });
        std::thread midi([&] {
            size_t i = 0;
            while (!done.load(std::memory_order_relaxed)) {
                const std::string& path = quiet[i++ % quiet.size()];
                box.startTrack(path, 0, true, true, false, 1.0f);
                box.setVolume(0.8f, path);
                benchmark::DoNotOptimize(box.isPlaying(path));
                benchmark::DoNotOptimize(box.volumeForTrack(quiet[(i + 3) % quiet.size()]));
                box.stopTrack(quiet[(i + 6) % quiet.size()]);
                box.startTrackFromSequencer(quiet[(i + 9) % quiet.size()], manual->nextHostTime());
            }
        });
        state.ResumeTiming();
        int silentBlocks = 0;
        for (int block = 0; block < kBlocks; ++block) {
            manual->renderBuffer();
            const auto& out = manual->left();
            if (std::all_of(out.begin(), out.end(), [](int32_t sample) { return sample == 0; })) ++silentBlocks;
        }
        state.PauseTiming();
        done.store(true);
        main.join();
        midi.join();
        silent += silentBlocks;
        state.ResumeTiming();
    }
    state.counters["silent_blocks"] = silent / static_cast<double>(state.iterations());
    state.counters["blocks"] = kBlocks;
}
BENCHMARK(BM_SilentBlocksUnderContention)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ExportTwelveTracks(benchmark::State& state) {
    Rig rig(12, 0.5);
    constexpr double kDuration = 16.0;
    std::vector<engine::ExportEvent> events;
    for (int step = 0; step < 128; ++step) {
        for (int t = 0; t < 12; ++t) {
            if ((step + t) % 3 == 0) events.emplace_back(rig.paths[t], 0, step * 0.125, 1.0f);
        }
    }
    const std::string out = (Samples::shared().root() / "export.wav").string();
    for (auto _ : state) {
        if (!rig.box->exportEvents(events, out, kDuration)) state.SkipWithError("export failed");
    }
    // Seconds of audio written per second of wall time, the file synced and
    // renamed into place: the multiple of real time.
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kDuration, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ExportTwelveTracks)->Unit(benchmark::kMillisecond)->UseRealTime();

/// The peer of the export: the same 16 s of 16-bit stereo frames, already mixed,
/// written straight with libsndfile in the export's chunks, synced, closed and
/// renamed into place on the same disk. What the export cannot go below.
void BM_ExportPeer_SndfileWritesTheSameFrames(benchmark::State& state) {
    constexpr int kFrames = 16 * 44100;
    constexpr int kChunk = 2205;
    std::vector<int16_t> frames(static_cast<size_t>(kFrames) * 2);
    for (size_t i = 0; i < frames.size(); ++i) frames[i] = static_cast<int16_t>((i * 7919) % 20000 - 10000);
    const std::filesystem::path out = Samples::shared().root() / "peer.wav";
    const std::filesystem::path partial = Samples::shared().root() / ".peer.wav.partial";
    for (auto _ : state) {
        SF_INFO info{};
        info.samplerate = 44100;
        info.channels = 2;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* file = sf_open(partial.c_str(), SFM_WRITE, &info);
        if (!file) {
            state.SkipWithError("the peer's file could not be made");
            break;
        }
        for (int at = 0; at < kFrames; at += kChunk)
            sf_writef_short(file, frames.data() + static_cast<size_t>(at) * 2, std::min(kChunk, kFrames - at));
        sf_write_sync(file);
        sf_close(file);
        std::filesystem::rename(partial, out);
    }
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * 16.0, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ExportPeer_SndfileWritesTheSameFrames)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LoadSample(benchmark::State& state, int rate, int format, const char* extension) {
    const std::string path = Samples::shared().make(std::string("load_") + std::to_string(rate) + extension, 1.0,
                                                    rate, format);
    const std::filesystem::path absolute = Samples::shared().sandbox().absolutePath(path);
    for (auto _ : state) {
        platform::Result<platform::DecodedAudio> audio = platform::decodeAudioFile(absolute, kRate);
        if (!audio) {
            state.SkipWithError(audio.error().message().c_str());
            break;
        }
        benchmark::DoNotOptimize(audio->channels[0].data());
    }
    state.SetLabel("1 s stereo");
}
BENCHMARK_CAPTURE(BM_LoadSample, wave, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16, ".wav")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LoadSample, mp3, 44100, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, ".mp3")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LoadSample, wave_resampled_from_48k, 48000, SF_FORMAT_WAV | SF_FORMAT_PCM_16, ".wav")
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
