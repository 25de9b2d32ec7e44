// Render cost per 256-frame buffer (as a share of the buffer's real-time
// duration), offline export speed (as a multiple of real time) and sample load
// times. Run: build/bench/engine/engine_bench

#include <benchmark/benchmark.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/in_memory_sound_library.h"
#include "engine/sound_box.h"
#include "platform/manual_audio_device.h"

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

private:
    Samples() {
        std::string pattern = (std::filesystem::temp_directory_path() / "strombel-bench-XXXXXX").string();
        root_ = mkdtemp(pattern.data());
        sandbox_ = std::make_unique<platform::Sandbox>(root_, root_ / "bundle");
        sandbox_->createFolders();
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

    platform::MainLoop loop;
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
    // Seconds of audio written per second of work: the multiple of real time.
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kDuration, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ExportTwelveTracks)->Unit(benchmark::kMillisecond);

void BM_LoadSample(benchmark::State& state, int rate, int format, const char* extension) {
    const std::string path = Samples::shared().make(std::string("load_") + std::to_string(rate) + extension, 1.0,
                                                    rate, format);
    const std::filesystem::path absolute = Samples::shared().sandbox().absolutePath(path);
    for (auto _ : state) {
        platform::DecodedAudio audio;
        std::string error;
        if (!platform::decodeAudioFile(absolute, kRate, audio, error)) state.SkipWithError(error.c_str());
        benchmark::DoNotOptimize(audio.channels[0].data());
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
