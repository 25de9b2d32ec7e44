#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>

#include "engine/sound_box.h"
#include "library/adapters/library_adapters.h"
#include "library/library_world.h"
#include "library/persistent_store.h"
#include "logging/log.h"
#include "logging/log_core.h"
#include "platform/devices/manual_audio_device.h"
#include "support/recording_logger.h"

namespace strombel::library {
namespace {

using testing::LibraryWorld;

struct EngineObserver : engine::SoundLibraryObserver {
    void samplesChanged() override { ++samples; }
    void soundbanksChanged() override { ++banks; }
    int samples = 0, banks = 0;
};

TEST(LibraryAdapters, TheEngineSeesTheStockPadsAndHearsOfChanges) {
    LibraryWorld world;
    SoundDataManager& library = world.launch();
    EngineSoundLibrary engineView(library);
    EngineObserver observer;
    engineView.addDelegate(&observer);

    auto pads = engineView.soundbankSamplesOfSoundbank(0);
    ASSERT_EQ(pads.size(), 12u);
    for (int64_t pad = 0; pad < 12; ++pad) {
        EXPECT_EQ(pads[static_cast<size_t>(pad)].pad, pad);
        EXPECT_TRUE(pads[static_cast<size_t>(pad)].hasSample);
        EXPECT_TRUE(pads[static_cast<size_t>(pad)].sample.filePath.starts_with("Tumblecraft.app/"));
    }
    EXPECT_EQ(engineView.samples().size(), library.samples().size());

    world.dropFile("new.wav");
    world.wait(5.0);
    EXPECT_EQ(observer.samples, 1);
    library.setSample(library.sampleWithFilepath("Documents/new.wav"), 0, 0);
    EXPECT_EQ(observer.banks, 1);
    EXPECT_EQ(engineView.soundbankSamplesOfSoundbank(0)[0].sample.filePath, "Documents/new.wav");

    engineView.removeDelegate(&observer);
    library.saveSoundbanks();
    EXPECT_EQ(observer.banks, 1);
}

TEST(LibraryAdapters, RemovingThePackOfTheCurrentBankLetsItsTracksGoWithoutAnError) {
    LibraryWorld world;
    SoundDataManager& library = world.launch();
    EngineSoundLibrary engineView(library);
    engine::SoundBox box(std::make_unique<platform::ManualAudioDevice>(), world.sandbox(), world.loop(), &engineView);
    box.currentSoundbankChanged(0);
    box.waitForPreloads();
    const std::string first = box.currentSoundbankFilePathsByIdx().at(0);
    const Soundpack* pack = library.sampleWithFilepath(first)->soundpackPointer();
    const auto packs = library.soundpacks();
    const auto at = std::find_if(packs.begin(), packs.end(), [&](const auto& each) { return each.get() == pack; });
    ASSERT_NE(at, packs.end());

    auto logger = std::make_shared<logging::testing::RecordingLogger>();
    logging::Log::addLogger(logger);
    logging::setLogLevel(3);  // errors and warnings, as the program logs
    EXPECT_TRUE(library.removeSoundpackAtIndex(uint64_t(at - packs.begin())));
    world.loop().runPending();
    logging::testing::resetLogging();
    EXPECT_FALSE(box.isTrackReady(first));
    EXPECT_EQ(box.currentSoundbankFilePathsByIdx().count(0), 0u);
    for (const std::string& line : logger->lines()) EXPECT_EQ(line.find("not loaded (nil)"), std::string::npos) << line;
}

TEST(LibraryAdapters, AnOverlongPathInTheStoreIsReadCutAndNeverLoggedWhole) {
    LibraryWorld world;
    world.launch();
    world.quit();
    // A hostile store file: a 20 MB path for the sample on the first pad.
    sqlite3* database = nullptr;
    ASSERT_EQ(sqlite3_open(world.storeFile().c_str(), &database), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(database,
                           "UPDATE Sample SET filepath = 'Documents/' || replace(hex(zeroblob(10000000)), '00', 'ab') "
                           "WHERE id = (SELECT sample FROM SoundbankSample WHERE orderId = 0 LIMIT 1);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(database);

    auto logger = std::make_shared<logging::testing::RecordingLogger>();
    logging::Log::addLogger(logger);
    logging::setLogLevel(3);  // errors and warnings, as the program logs
    SoundDataManager& library = world.launch();
    EngineSoundLibrary engineView(library);
    engine::SoundBox box(std::make_unique<platform::ManualAudioDevice>(), world.sandbox(), world.loop(), &engineView);
    box.currentSoundbankChanged(0);
    box.waitForPreloads();
    world.loop().runPending();
    logging::Log::flushLog();
    const std::vector<std::string> lines = logger->lines();
    logging::testing::resetLogging();
    size_t longestPath = 0, longestLine = 0;
    for (const auto& sample : library.samples()) longestPath = std::max(longestPath, sample->filepath().size());
    for (const std::string& line : lines) longestLine = std::max(longestLine, line.size());
    EXPECT_EQ(longestPath, size_t(PersistentStore::kLongestPath));
    EXPECT_LT(longestLine, 20000u) << "a path is logged as it was read, cut";
    EXPECT_FALSE(lines.empty()) << "the sample that cannot be found is told";
}

TEST(LibraryAdapters, TheSequencersPatternsAreStoredInTheLibrary) {
    LibraryWorld world;
    world.launch();
    {
        SequencerPatternStore patterns(world.library());
        EXPECT_EQ(patterns.patternNumBars(4), 1u);
        patterns.setPatternNumBars(4, 3);
        const auto start = sequencer::PatternEventType::start;
        const auto stop = sequencer::PatternEventType::stop;
        EXPECT_TRUE(patterns.addSequenceEventOnPattern(4, 0, start, "Tumblecraft.app/gk_kick.wav"));
        EXPECT_TRUE(patterns.addSequenceEventOnPattern(4, 16, stop, "Tumblecraft.app/gk_snare.wav"));
        EXPECT_FALSE(patterns.addSequenceEventOnPattern(4, 8, start, "Tumblecraft.app/none.wav"));
        patterns.save();
    }
    world.quit();
    world.launch();
    SequencerPatternStore patterns(world.library());
    EXPECT_EQ(patterns.patternNumBars(4), 3u);
    auto events = patterns.sequencerEventsForPattern(4);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].eventType, sequencer::PatternEventType::start);
    EXPECT_EQ(events[1].step, 16u);
    EXPECT_EQ(events[1].eventType, sequencer::PatternEventType::stop);
    EXPECT_EQ(events[1].sampleFilePath, "Tumblecraft.app/gk_snare.wav");
    EXPECT_EQ(patterns.removeSequenceEventOnPattern(4, 16, "Tumblecraft.app/gk_snare.wav"), 1u);
    patterns.copyAllSequencerEventsOfPattern(4, 9);
    EXPECT_EQ(patterns.sequencerEventsForPattern(9).size(), 1u);
    EXPECT_EQ(patterns.patternNumBars(9), 3u);
}

}  // namespace
}  // namespace strombel::library
