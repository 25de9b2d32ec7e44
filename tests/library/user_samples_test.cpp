#include <gtest/gtest.h>

#include "library_world.h"
#include "logging/log_core.h"
#include "support/recording_logger.h"
#include "support/sound_files.h"

namespace strombel::library {
namespace {

using testing::LibraryWorld;
using testing::RecordingObserver;

std::vector<std::string> userSamplePaths(SoundDataManager& library) {
    std::vector<std::string> paths;
    for (const auto& sample : library.userSamples()) paths.push_back(sample->filepath());
    return paths;
}

TEST(UserSamples, AFileDroppedIntoDocumentsAppearsAtTheNextScan) {
    LibraryWorld world;
    SoundDataManager& library = world.launch(false);
    RecordingObserver observer;
    library.addDelegate(&observer);
    world.dropFile("Beat.WAV");

    world.wait(4.9);
    EXPECT_TRUE(library.userSamples().empty());
    world.wait(0.2);
    ASSERT_EQ(userSamplePaths(library), (std::vector<std::string>{"Documents/Beat.WAV"}));
    EXPECT_EQ(library.userSamples()[0]->name(), "Beat");
    EXPECT_EQ(observer.samplesChangedCount, 1);
    // It lists under the user pack, and stays across a restart.
    ASSERT_EQ(library.soundpacks().size(), 1u);
    EXPECT_EQ(library.soundpacks()[0]->name(), "User");
    world.quit();
    EXPECT_EQ(userSamplePaths(world.launch(false)).size(), 1u);
}

TEST(UserSamples, OnlyAudioFilesAtTheTopOfDocumentsCount) {
    LibraryWorld world;
    for (const char* name : {"a.wav", "b.aif", "c.AIFF", "d.caf", "e.mp3", "loop.wav.txt", "notes.txt",
                             "wavy.doc", ".hidden.wav"}) {
        world.dropFile(name);
    }
    std::filesystem::create_directories(world.documents() / "sub");
    world.dropFile("sub/deep.wav");
    std::filesystem::create_directories(world.documents() / "folder.wav");
    // A link counts as what it leads to: a file, a folder, or nothing.
    std::filesystem::create_symlink(world.documents() / "sub" / "deep.wav", world.documents() / "f-link.wav");
    std::filesystem::create_directory_symlink(world.documents() / "sub", world.documents() / "g-folder.wav");
    std::filesystem::create_symlink(world.documents() / "gone.wav", world.documents() / "h-dangling.wav");
    SoundDataManager& library = world.launch(false);
    world.wait(5.0);
    EXPECT_EQ(userSamplePaths(library),
              (std::vector<std::string>{"Documents/a.wav", "Documents/b.aif", "Documents/c.AIFF", "Documents/d.caf",
                                        "Documents/e.mp3", "Documents/f-link.wav"}));
    // packOrderId follows the names.
    auto samples = library.userSamples();
    for (size_t i = 0; i < samples.size(); ++i) EXPECT_EQ(samples[i]->packOrderId(), static_cast<int64_t>(i));
}

TEST(UserSamples, AFileThatIsNoSoundIsLeftOutAndLookedAtAgainOnlyWhenItChanges) {
    LibraryWorld world;
    SoundDataManager& library = world.launch(false);
    world.dropFile("broken.wav", "RIFF but nothing after");
    world.dropFile("garbage.mp3", std::string(2048, '\x33'));
    world.dropFile("kick\nsnare.wav");
    world.wait(5.0);
    ASSERT_EQ(userSamplePaths(library), (std::vector<std::string>{"Documents/kick\nsnare.wav"}));
    EXPECT_EQ(library.userSamples()[0]->name(), "kick snare") << "control characters are not shown";

    // Later scans leave them out without a look; once a file is a sound, it counts.
    world.wait(10.0);
    EXPECT_EQ(library.userSamples().size(), 1u);
    world.dropFile("broken.wav");
    world.wait(5.0);
    EXPECT_EQ(userSamplePaths(library),
              (std::vector<std::string>{"Documents/broken.wav", "Documents/kick\nsnare.wav"}));
    // The refused files are still there: nothing of the user's is removed.
    EXPECT_TRUE(std::filesystem::exists(world.documents() / "garbage.mp3"));
}

TEST(UserSamples, ATruncatedSixChannelOrOverlongWaveIsLeftOutAndNamedOnceInTheLog) {
    auto logger = std::make_shared<logging::testing::RecordingLogger>();
    logging::Log::addLogger(logger);
    logging::setLogLevel(logging::LogFlagError | logging::LogFlagWarning);
    LibraryWorld world;
    SoundDataManager& library = world.launch(false);
    ASSERT_TRUE(testing::writeTruncatedSoundFile(world.documents() / "cut.wav"));
    ASSERT_TRUE(testing::writeSoundFile(world.documents() / "surround.wav", 6, 4410));
    // Ten minutes and one second (at a low rate, to keep the file small); ten minutes play.
    ASSERT_TRUE(testing::writeSoundFile(world.documents() / "concert.wav", 1, 601 * 1000, 1000));
    ASSERT_TRUE(testing::writeSoundFile(world.documents() / "ten minutes.wav", 1, 600 * 1000, 1000));
    ASSERT_TRUE(testing::writeSoundFile(world.documents() / "whole.wav", 2, 4410));
    world.wait(15.0);
    EXPECT_EQ(userSamplePaths(library),
              (std::vector<std::string>{"Documents/ten minutes.wav", "Documents/whole.wav"}));
    logging::Log::flushLog();
    const std::map<std::string, std::string> reasons = {
        {"cut.wav", "cut short"}, {"surround.wav", "more than two channels"}, {"concert.wav", "lasts 10:01"}};
    std::map<std::string, int> named;
    for (const std::string& line : logger->lines()) {
        for (const auto& [file, reason] : reasons) {
            if (line.find(file) == std::string::npos) continue;
            ++named[file];
            EXPECT_NE(line.find(reason), std::string::npos) << line;
        }
    }
    EXPECT_EQ(named, (std::map<std::string, int>{{"concert.wav", 1}, {"cut.wav", 1}, {"surround.wav", 1}}));
    // Nothing of the user's is touched; the samples the editor or a paste would
    // announce go through the same check.
    EXPECT_TRUE(std::filesystem::exists(world.documents() / "cut.wav"));
    EXPECT_FALSE(library.notifyOfNewUserSample("Documents/surround.wav"));
    EXPECT_FALSE(library.notifyOfNewUserSample("Documents/cut.wav"));
    EXPECT_FALSE(library.notifyOfNewUserSample("Documents/concert.wav"));
    logging::testing::resetLogging();
}

TEST(UserSamples, AFileSwappedForAnotherWithinOneScanIsSeenBothWays) {
    LibraryWorld world;
    world.dropFile("old.wav");
    SoundDataManager& library = world.launch(false);
    world.wait(5.0);
    library.makeSureAtLeastOneSoundbankExists();
    ASSERT_TRUE(library.setSample(library.sampleWithFilepath("Documents/old.wav"), 0, 0));
    RecordingObserver observer;
    library.addDelegate(&observer);

    std::filesystem::remove(world.documents() / "old.wav");
    world.dropFile("new.wav");
    world.wait(5.0);
    EXPECT_EQ(userSamplePaths(library), (std::vector<std::string>{"Documents/new.wav"}));
    EXPECT_EQ(observer.removed, (std::vector<std::string>{"Documents/old.wav"}));
    EXPECT_EQ(observer.soundbanksChangedCount, 1);
    EXPECT_TRUE(library.soundbankSamplesOfSoundbank(0).empty());
}

TEST(UserSamples, ASampleTheEditorAnnouncedIsNotAddedTwice) {
    LibraryWorld world;
    SoundDataManager& library = world.launch(false);
    world.dropFile("take1.wav");
    EXPECT_TRUE(library.notifyOfNewUserSample("Documents/take1.wav"));
    EXPECT_FALSE(library.notifyOfNewUserSample("Documents/take1.wav"));
    world.wait(15.0);
    EXPECT_EQ(userSamplePaths(library), (std::vector<std::string>{"Documents/take1.wav"}));
}

TEST(UserSamples, TheScanStopsWithTheLibrary) {
    LibraryWorld world;
    world.launch(false);
    world.quit();
    world.dropFile("late.wav");
    world.wait(10.0);  // no library, no timer: nothing runs on a destroyed library
    SoundDataManager& library = world.launch(false);
    world.wait(5.0);
    EXPECT_EQ(userSamplePaths(library), (std::vector<std::string>{"Documents/late.wav"}));
}

}  // namespace
}  // namespace strombel::library
