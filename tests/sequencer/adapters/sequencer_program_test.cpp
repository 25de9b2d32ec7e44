// The sequencer as the program runs it: the real library (SQLite store), the real
// engine on the manual audio device, and a restart in between.

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <functional>
#include <utility>
#include <vector>

#include "engine/sound_box.h"
#include "library/adapters/library_adapters.h"
#include "library/data_migration_manager.h"
#include "library/sound_data_manager.h"
#include "platform/audio_file.h"
#include "platform/devices/manual_audio_device.h"
#include "platform/sandbox.h"
#include "platform/user_defaults.h"
#include "sequencer/adapters/sound_box_adapter.h"
#include "sequencer/sequencer.h"
#include "support/sequencer_fakes.h"
#include "support/temp_dir.h"

namespace strombel::sequencer {
namespace {

using testing::ManualBench;

constexpr const char* kClick = "Documents/click.wav";
constexpr const char* kBlock = "Documents/block.wav";
constexpr int32_t kLevel = 1 << 23;
constexpr uint64_t kStep = 125'000'000;  // 120 BPM
constexpr double kStepFrames = 5512.5;

void writeClick(const std::filesystem::path& path, int32_t level) {
    std::vector<int32_t> frames(32, 0);
    frames[0] = level;
    const int32_t* channels[] = {frames.data()};
    platform::WaveWriter writer;
    ASSERT_TRUE(writer.open(path, 1, 44100.0, 44100.0));
    ASSERT_TRUE(writer.write(channels, 32));
    ASSERT_TRUE(writer.close());
}

/// One user's installation; `launch` starts the program as it starts at every
/// launch (library, engine, sequencer), `quit` ends it.
struct Installation {
    Installation() {
        (void)sandbox.createFolders();
        writeClick(sandbox.documents() / "click.wav", kLevel);
        writeClick(sandbox.documents() / "block.wav", kLevel / 2);
    }
    /// The files another installation has on disk at this moment, as a crash leaves them.
    explicit Installation(const Installation& crashed) {
        std::filesystem::copy(crashed.dir.path() / "root", dir.path() / "root",
                              std::filesystem::copy_options::recursive);
    }
    ~Installation() { quit(); }

    void launch() {
        defaults = std::make_unique<platform::UserDefaults>(dir.path() / "root" / "Library" / "Preferences" /
                                                            "defaults.sqlite");
        library = std::make_unique<library::SoundDataManager>(sandbox, *defaults, mainLoop);
        library::DataMigrationManager::makeDataUpToDate(*library);
        library->scanUserSamplesChanges();
        engineView = std::make_unique<library::EngineSoundLibrary>(*library);
        auto owned = std::make_unique<platform::ManualAudioDevice>(44100.0, 256, clock.nowNanos());
        device = owned.get();
        soundBox = std::make_unique<engine::SoundBox>(std::move(owned), sandbox, mainLoop, engineView.get());
        for (const char* path : {kClick, kBlock}) {
            auto track = soundBox->trackForFile(path);
            ASSERT_TRUE(track && track->preloadForPlayback()) << path;
        }
        engineAdapter = std::make_unique<SoundBoxSequencerEngine>(*soundBox);
        patterns = std::make_unique<library::SequencerPatternStore>(*library);
        sequencer = std::make_unique<Sequencer>(
            SequencerServices{*engineAdapter, *patterns, nullptr, mainLoop, clock, LoopDriver::manual});
        sequencer->setBpm(120);
    }
    void quit() {
        sequencer.reset();
        patterns.reset();
        engineAdapter.reset();
        soundBox.reset();
        engineView.reset();
        library.reset();
        mainLoop.runPending();
        defaults.reset();
    }

    void runUntil(uint64_t until) { ManualBench::driveLoop(*sequencer, clock, mainLoop, until); }
    /// Starts the sequencer and hits pads as the pad screen passes them while it
    /// records: each sample `steps` steps after the start; runs on to `endStep`.
    void record(const std::vector<std::pair<double, const char*>>& hits, double endStep) {
        const uint64_t start = clock.nowNanos();
        sequencer->playWithPreBar(false);
        for (const auto& [steps, path] : hits) {
            runUntil(start + static_cast<uint64_t>(steps * kStep));
            sequencer->recordSequencerEventForSample(path, PatternEventType::start);
        }
        runUntil(start + static_cast<uint64_t>(endStep * kStep));
    }
    /// Plays the active pattern from its start for `frames` frames of output, each
    /// frame's left sample handed to `hear` with its number; then stops.
    void play(uint64_t frames, const std::function<void(uint64_t frame, int32_t sample)>& hear) {
        // The sound card played on while the sequencer stood: its frames are now.
        while (device->nextHostTime() < clock.nowNanos()) device->renderBuffer();
        sequencer->playWithPreBar(false);
        for (uint64_t rendered = 0; rendered < frames;) {
            runUntil(device->nextHostTime());
            device->renderBuffer();
            for (int32_t sample : device->left()) {
                if (rendered < frames) hear(rendered, sample);
                ++rendered;
            }
        }
        sequencer->stop();
    }

    ::strombel::testing::TempDir dir;
    platform::Sandbox sandbox{dir.path() / "root", STROMBEL_TEST_BUNDLE_DIR};
    platform::ManualClock clock;
    platform::MainLoop mainLoop{clock};
    std::unique_ptr<platform::UserDefaults> defaults;
    std::unique_ptr<library::SoundDataManager> library;
    std::unique_ptr<library::EngineSoundLibrary> engineView;
    platform::ManualAudioDevice* device = nullptr;
    std::unique_ptr<engine::SoundBox> soundBox;
    std::unique_ptr<SoundBoxSequencerEngine> engineAdapter;
    std::unique_ptr<library::SequencerPatternStore> patterns;
    std::unique_ptr<Sequencer> sequencer;
};

TEST(SequencerProgram, ARecordedPatternPlaysBackInTimeAfterARestartAndExports) {
    Installation installation;
    installation.launch();
    installation.record({{0.2, kClick}, {4.3, kClick}, {9.8, kBlock}}, 14);  // steps 0, 4, 10
    installation.sequencer->stop();
    EXPECT_TRUE(installation.sequencer->patternHasEvents(0));
    installation.quit();
    installation.launch();

    Sequencer& sequencer = *installation.sequencer;
    EXPECT_TRUE(sequencer.patternHasEvents(0));
    EXPECT_FALSE(sequencer.patternHasEvents(1));
    std::vector<std::pair<uint64_t, int32_t>> onsets;  // frame, level
    installation.play(static_cast<uint64_t>(32 * kStepFrames), [&onsets](uint64_t frame, int32_t sample) {
        if (std::abs(sample) > kLevel / 4) onsets.emplace_back(frame, sample);
    });
    const std::vector<uint64_t> expected{0, 22050, 55125, 88200, 110250, 143325};  // steps 0, 4, 10 twice
    ASSERT_EQ(onsets.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(onsets[i].first, expected[i]) << i;
    }
    EXPECT_GT(onsets[0].second, onsets[2].second) << "the quieter block on step 10";

    const std::string file = (installation.dir / "pattern.wav").string();
    platform::Result<void> written = sequencer.writePattern(0, file, {});
    ASSERT_TRUE(written) << written.error().description();
    SF_INFO info{};
    SNDFILE* sound = sf_open(file.c_str(), SFM_READ, &info);
    ASSERT_NE(sound, nullptr) << sf_strerror(nullptr);
    std::vector<float> samples(static_cast<size_t>(info.frames * info.channels));
    sf_readf_float(sound, samples.data(), info.frames);
    sf_close(sound);
    EXPECT_EQ(info.frames, 88200);
    std::vector<int64_t> exported;
    for (int64_t frame = 0; frame < info.frames; ++frame) {
        if (std::fabs(samples[static_cast<size_t>(frame * info.channels)]) > 0.1f) {
            exported.push_back(frame);
        }
    }
    EXPECT_EQ(exported, (std::vector<int64_t>{0, 22050, 55125}));
}

TEST(SequencerProgram, ARenamedSampleGoesOnPlayingInTheLoadedPattern) {
    Installation installation;
    installation.launch();
    Sequencer& sequencer = *installation.sequencer;
    installation.record({{0.2, kClick}}, 4);  // step 0
    sequencer.stop();
    installation.mainLoop.runPending();

    // The user renames the sample in the editor while the pattern stays loaded.
    const auto renamed = installation.library->renameUserSampleWithPath(kClick, "Hit");
    ASSERT_EQ(renamed, "Documents/Hit.wav") << installation.library->renameProblem();
    installation.mainLoop.runPending();
    const PatternSteps events = sequencer.activePatternEvents();
    ASSERT_EQ(events.count(0), 1u);
    EXPECT_EQ(events.at(0)[0]->sampleFilePath(), *renamed);
    installation.soundBox->waitForPreloads();

    int32_t peak = 0;
    installation.play(static_cast<uint64_t>(4 * kStepFrames),
                      [&peak](uint64_t, int32_t sample) { peak = std::max(peak, std::abs(sample)); });
    EXPECT_GT(peak, kLevel / 2) << "the step still plays the sample under its new name";
}

TEST(SequencerProgram, WhileASampleIsRenamedTheEngineHoldsEveryPathThePatternPlays) {
    // The timing thread plays the pattern on while the library tells its
    // observers of a rename, one after the other: at each of those moments every
    // path of the pattern must be in the engine's table, or its hits are lost
    // ("can't play track, not in tracklist").
    Installation installation;
    installation.launch();
    Sequencer& sequencer = *installation.sequencer;
    installation.record({{0.2, kClick}}, 4);
    installation.mainLoop.runPending();
    struct Probe final : library::SoundDataManagerDelegate {
        Installation* installation = nullptr;
        std::vector<std::string> missing;
        void look(const char* moment) {
            for (const auto& [step, events] : installation->sequencer->activePatternEvents())
                for (const auto& event : events)
                    if (!installation->soundBox->isTrackReady(event->sampleFilePath()))
                        missing.push_back(std::string(moment) + ": " + event->sampleFilePath());
        }
        void samplesChanged() override { look("samples changed"); }
        void soundbanksChanged() override { look("banks changed"); }
        void sampleRenamed(const std::string&, const std::string&) override { look("renamed"); }
    } probe;
    probe.installation = &installation;
    installation.library->addDelegate(&probe);
    ASSERT_TRUE(installation.library->renameUserSampleWithPath(kClick, "Hit"));
    installation.library->removeDelegate(&probe);
    EXPECT_EQ(probe.missing, std::vector<std::string>{});
    // Under its new name it plays at once: its frames came along.
    const auto track = installation.soundBox->trackForFile("Documents/Hit.wav");
    ASSERT_NE(track, nullptr);
    EXPECT_EQ(track->loadState(), engine::TrackLoadState::Loaded);
    EXPECT_TRUE(sequencer.isRunning());
}

TEST(SequencerProgram, RecordedEventsSurviveACrashWhileRecording) {
    Installation installation;
    installation.launch();
    Sequencer& sequencer = *installation.sequencer;
    installation.record({{2.1, kClick}, {8.1, kBlock}}, 12);
    ASSERT_TRUE(sequencer.isRunning());

    Installation afterCrash(installation);  // the program dies here, still recording
    afterCrash.launch();
    const PatternSteps events = afterCrash.sequencer->activePatternEvents();
    ASSERT_EQ(events.count(2), 1u);
    ASSERT_EQ(events.count(8), 1u);
    EXPECT_EQ(events.at(2)[0]->sampleFilePath(), kClick);
    EXPECT_EQ(events.at(8)[0]->sampleFilePath(), kBlock);
}

}  // namespace
}  // namespace strombel::sequencer
