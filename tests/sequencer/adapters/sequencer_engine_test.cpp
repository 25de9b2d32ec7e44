// The sequencer on the real engine: a manual audio device renders buffer by
// buffer while the timing loop runs by hand on the same clock.

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>

#include "engine/in_memory_sound_library.h"
#include "logging/log.h"
#include "support/recording_logger.h"
#include "engine/sound_box.h"
#include "platform/audio_file.h"
#include "platform/devices/manual_audio_device.h"
#include "platform/sandbox.h"
#include "sequencer/adapters/sound_box_adapter.h"
#include "sequencer/sequencer.h"
#include "support/sequencer_fakes.h"
#include "support/temp_dir.h"

namespace strombel::sequencer {
namespace {

using testing::addEvents;
using testing::ManualBench;
using testing::MemoryPatternStore;

constexpr uint64_t kDeviceStart = 2'000'000'000;
constexpr uint32_t kBufferFrames = 256;
constexpr const char* kClick = "Documents/click.wav";
constexpr int32_t kClickLevel = 1 << 23;  // half of full scale (8.24)

// A click: one loud frame, then silence.
void writeClick(const std::filesystem::path& path) {
    std::filesystem::create_directories(path.parent_path());
    std::vector<int32_t> frames(64, 0);
    frames[0] = kClickLevel;
    const int32_t* channels[] = {frames.data()};
    platform::WaveWriter writer;
    ASSERT_TRUE(writer.open(path, 1, 44100.0, 44100.0)) << writer.error();
    ASSERT_TRUE(writer.write(channels, static_cast<uint32_t>(frames.size())));
    ASSERT_TRUE(writer.close());
}

struct EngineBench {
    explicit EngineBench(MemoryPatternStore::Contents contents, double rate = 44100.0) : store(std::move(contents)) {
        writeClick(sandbox.absolutePath(kClick));
        library.setSamples({engine::LibrarySample{kClick, "click", 1.0f}});
        auto owned = std::make_unique<platform::ManualAudioDevice>(rate, kBufferFrames, kDeviceStart);
        device = owned.get();
        soundBox = std::make_unique<engine::SoundBox>(std::move(owned), sandbox, mainLoop, &library);
        auto track = soundBox->trackForFile(kClick);
        EXPECT_TRUE(track && track->preloadForPlayback());
        adapter = std::make_unique<SoundBoxSequencerEngine>(*soundBox);
        sequencer = std::make_unique<Sequencer>(
            SequencerServices{*adapter, store, nullptr, mainLoop, clock, LoopDriver::manual});
    }
    ~EngineBench() {
        sequencer.reset();
        soundBox.reset();
    }

    /// Renders buffers until `frames` frames are out, running the loop ahead of
    /// each buffer; answers the frames at which a click begins (rises above half
    /// its level: a click resampled to another rate spreads over a few frames).
    std::vector<uint64_t> renderOnsets(uint64_t frames) {
        std::vector<uint64_t> onsets;
        uint64_t rendered = 0;
        bool above = false;
        while (rendered < frames) {
            const uint64_t bufferTime = device->nextHostTime();
            ManualBench::driveLoop(*sequencer, clock, mainLoop, bufferTime);
            device->renderBuffer();
            const auto& left = device->left();
            for (uint32_t i = 0; i < left.size(); ++i) {
                const bool loud = std::abs(left[i]) > kClickLevel / 2;
                if (loud && !above) {
                    onsets.push_back(rendered + i);
                }
                above = loud;
            }
            rendered += left.size();
        }
        return onsets;
    }

    ::strombel::testing::TempDir dir;
    platform::Sandbox sandbox{dir.path(), dir.path() / "Tumblecraft.app"};
    platform::ManualClock clock{kDeviceStart};
    platform::MainLoop mainLoop{clock};
    engine::InMemorySoundLibrary library;
    platform::ManualAudioDevice* device = nullptr;
    std::unique_ptr<engine::SoundBox> soundBox;
    std::unique_ptr<SoundBoxSequencerEngine> adapter;
    MemoryPatternStore store;
    std::unique_ptr<Sequencer> sequencer;
};

MemoryPatternStore::Contents clickOnEveryStep() {
    MemoryPatternStore::Contents contents;
    std::vector<uint64_t> steps;
    for (uint64_t step = 0; step < 16; ++step) {
        steps.push_back(step);
    }
    addEvents(contents, 0, kClick, steps);
    return contents;
}

TEST(SequencerOnEngine, EverySwungStepSoundsOnItsIdealFrameForAThousandSteps) {
    EngineBench bench(clickOnEveryStep());
    bench.sequencer->setBpm(128);
    bench.sequencer->setSwing(0.5f);
    bench.sequencer->playWithPreBar(false);

    const double d = 60.0 / 128 / 4;
    const uint64_t framesNeeded = static_cast<uint64_t>(1001 * d * 44100.0);
    const auto onsets = bench.renderOnsets(framesNeeded);
    ASSERT_GE(onsets.size(), 1000u);

    const long double s = static_cast<long double>(bench.sequencer->swingFactor());
    const long double stepFrames = 60.0L / 128.0L / 4.0L * 44100.0L;
    int64_t worst = 0;
    for (uint64_t k = 0; k < 1000; ++k) {
        const long double ideal = static_cast<long double>(k / 2) * 2.0L * stepFrames + ((k % 2) ? s * stepFrames : 0.0L);
        const int64_t error = static_cast<int64_t>(onsets[k]) - static_cast<int64_t>(std::llround(ideal));
        worst = std::max<int64_t>(worst, std::llabs(error));
        EXPECT_EQ(error, 0) << "step " << k << " ideal frame " << static_cast<double>(ideal);
        if (error != 0) {
            break;
        }
    }
    EXPECT_EQ(worst, 0);
}

class SequencerOnDeviceRate : public ::testing::TestWithParam<double> {};

TEST_P(SequencerOnDeviceRate, StepsLandOnTheirExactFramesAtTheDevicesRate) {
    const double rate = GetParam();
    EngineBench bench(clickOnEveryStep(), rate);
    EXPECT_EQ(bench.soundBox->sampleRate(), rate) << "the engine runs at the device's rate";
    bench.sequencer->setBpm(128);
    bench.sequencer->setSwing(0.5f);
    bench.sequencer->playWithPreBar(false);
    const long double s = static_cast<long double>(bench.sequencer->swingFactor());
    const long double stepFrames = 60.0L / 128.0L / 4.0L * static_cast<long double>(rate);
    const auto onsets = bench.renderOnsets(static_cast<uint64_t>(201 * stepFrames));
    ASSERT_GE(onsets.size(), 200u);
    for (uint64_t k = 0; k < 200; ++k) {
        const long double ideal = static_cast<long double>(k / 2) * 2.0L * stepFrames + ((k % 2) ? s * stepFrames : 0.0L);
        ASSERT_EQ(static_cast<int64_t>(onsets[k]), static_cast<int64_t>(std::llround(ideal))) << "step " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, SequencerOnDeviceRate, ::testing::Values(44100.0, 48000.0, 96000.0),
                         [](const auto& info) { return std::to_string(static_cast<int>(info.param)) + "Hz"; });

TEST(SequencerOnEngine, CountInClicksSoundBeforeStepZero) {
    EngineBench bench(MemoryPatternStore::Contents{});
    // The engine's metronome clicks are files in the bundle folder.
    writeClick(bench.sandbox.absolutePath(bench.soundBox->metronomeClickOn1File()));
    writeClick(bench.sandbox.absolutePath(bench.soundBox->metronomeClickOn234File()));
    bench.library.setSamples({engine::LibrarySample{kClick, "click", 1.0f}});
    for (const auto& path : {bench.soundBox->metronomeClickOn1File(), bench.soundBox->metronomeClickOn234File()}) {
        auto track = bench.soundBox->loadTrackForFile(path);
        ASSERT_TRUE(track && track->preloadForPlayback()) << path;
    }
    bench.sequencer->setBpm(120);  // 5512.5 frames a step
    bench.sequencer->playWithPreBar(true);
    const auto onsets = bench.renderOnsets(18 * 5513);
    ASSERT_EQ(onsets.size(), 4u);
    const uint64_t expected[] = {5513, 27563, 49613, 71663};  // steps -16, -12, -8, -4 (rounded halves up)
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_NEAR(static_cast<double>(onsets[i]), static_cast<double>(expected[i]), 0.0) << i;
    }
}

TEST(SequencerOnEngine, ExportsAPatternToAWaveFileAnAudioToolReads) {
    MemoryPatternStore::Contents contents;
    addEvents(contents, 3, kClick, {0, 1, 2, 8});
    EngineBench bench(contents);
    bench.sequencer->setBpm(120);
    bench.sequencer->setSwing(0.5f);
    const std::string file = (bench.dir / "pattern.wav").string();
    std::vector<float> progress;
    platform::Result<void> written = bench.sequencer->writePattern(3, file, [&](float f) { progress.push_back(f); });
    ASSERT_TRUE(written) << written.error().description();

    SF_INFO info{};
    SNDFILE* sound = sf_open(file.c_str(), SFM_READ, &info);
    ASSERT_NE(sound, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.samplerate, 44100);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.frames, 88200) << "one bar at 120 BPM is 2.0 s";
    std::vector<float> samples(static_cast<size_t>(info.frames * info.channels));
    ASSERT_EQ(sf_readf_float(sound, samples.data(), info.frames), info.frames);
    sf_close(sound);
    std::vector<int64_t> onsets;
    for (int64_t frame = 0; frame < info.frames; ++frame) {
        if (std::fabs(samples[static_cast<size_t>(frame * 2)]) > 0.25f) {
            onsets.push_back(frame);
        }
    }
    // Steps 0, 1 (swung to 0.15 s), 2 (0.25 s) and 8 (1.0 s).
    EXPECT_EQ(onsets, (std::vector<int64_t>{0, 6615, 11025, 44100}));
    ASSERT_FALSE(progress.empty());
    EXPECT_FLOAT_EQ(progress.front(), 0.0f);
    EXPECT_FLOAT_EQ(progress.back(), 1.0f);
}

TEST(SequencerOnEngine, ExportToAnUnwritablePlaceFailsWithAnErrorNamingThePatternAsThePadsDo) {
    MemoryPatternStore::Contents contents;
    addEvents(contents, 0, kClick, {0});
    EngineBench bench(contents);
    auto logger = std::make_shared<logging::testing::RecordingLogger>();
    logging::Log::addLogger(logger);
    logging::setLogLevel(logging::LogFlagError | logging::LogFlagWarning);
    platform::Result<void> written = bench.sequencer->writePattern(0, (bench.dir / "missing" / "folder" / "x.wav").string(), {});
    EXPECT_FALSE(written);
    const std::string error = written ? "" : written.error().message();
    EXPECT_FALSE(error.empty());
    logging::Log::flushLog();
    const std::vector<std::string> lines = logger->lines();
    logging::testing::resetLogging();
    // The first pattern is pattern 1, on the pads and in every message.
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.find("could not export pattern 1 to") != std::string::npos; }),
              1)
        << ::testing::PrintToString(lines);
}

}  // namespace
}  // namespace strombel::sequencer
