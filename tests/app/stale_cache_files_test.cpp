// Files an earlier run left half-written in the caches (it was killed while it
// exported, pasted, trimmed or downloaded) go at start; nothing else does.

#include "app/stale_cache_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "http/pending_file.h"
#include "platform/audio_file.h"
#include "support/temp_dir.h"

namespace strombel::app {
namespace {

class StaleCacheFilesTest : public ::testing::Test {
protected:
    void write(const std::filesystem::path& relative) {
        const std::filesystem::path path = dir / "root" / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << "RIFF";
    }
    bool exists(const std::filesystem::path& relative) const {
        return std::filesystem::exists(dir / "root" / relative);
    }

    strombel::testing::TempDir dir;
    platform::Sandbox sandbox{dir / "root", dir / "bundle"};
    platform::DataFolderLock folder{dir / "root"};
};

TEST_F(StaleCacheFilesTest, HalfWrittenFilesOfTheCachesGoAndNothingElse) {
    const std::vector<std::string> stale{
        "Library/Caches/export/..export-big2.wav.partial",            // an export
        "Library/Caches/export/.partial-a1B2c3",                      // a paste
        "Library/Caches/downloads/.partial-Zz9yX8",                   // a trim of a downloaded sample
        "Library/Caches/StoreDownloads/drums-1/.kick.wav.part-Qw3eR4",  // a download
        "Library/Caches/HttpRequestCache/.3f9a.body.part-0aB1cD",     // an HTTP cache entry
        "Library/Caches/.micinput.wav.partial",                       // the microphone's take
    };
    const std::vector<std::string> kept{
        "Library/Caches/export/export-big2.wav",          // finished
        "Library/Caches/export/AUDIOEXCHANGE.wav",
        "Library/Caches/export/take.partial",              // not hidden: not ours
        "Library/Caches/export/.partial-toolong1",         // not mkstemp's six letters
        "Library/Caches/downloads/kick.wav",
        "Library/Caches/downloads/.kick.wav.part-",        // no suffix
        "Library/Caches/StoreDownloads/drums-1/kick.wav",  // staged whole
        "Library/Caches/Logs/.log.partial",                // a folder of someone else's
        "Library/Caches/export/deeper/.x.wav.partial",     // below the folders swept
        "Documents/..export-big2.wav.partial",             // the user's folder
        "Documents/.partial-a1B2c3",
    };
    for (const auto& file : stale) write(file);
    for (const auto& file : kept) write(file);
    std::filesystem::create_directories(dir / "root" / "Library/Caches/export/.folder.partial");

    StaleCacheFiles sweep(sandbox, folder);
    const std::vector<std::filesystem::path> removed = sweep.removeStale();
    EXPECT_EQ(removed.size(), stale.size());
    for (const auto& file : stale) EXPECT_FALSE(exists(file)) << file;
    for (const auto& file : kept) EXPECT_TRUE(exists(file)) << file;
    EXPECT_TRUE(exists("Library/Caches/export/.folder.partial")) << "folders are never removed";
}

TEST_F(StaleCacheFilesTest, WhatTheWritersLeaveAsideWhenARunDiesIsSwept) {
    const std::filesystem::path caches = dir / "root" / "Library/Caches";
    std::filesystem::create_directories(caches / "export");
    std::filesystem::create_directories(caches / "downloads");
    platform::WaveWriter take;
    ASSERT_TRUE(take.open(caches / "micinput.wav", 1, 44100, 44100)) << take.error();
    auto download = http::PendingFile::createBeside(caches / "downloads" / "kick.wav");
    ASSERT_TRUE(download.ok());
    const std::vector<std::filesystem::path> aside{caches / ".micinput.wav.partial",
                                                   download.value()->temporaryPath()};
    for (const auto& file : aside) ASSERT_TRUE(std::filesystem::exists(file)) << file;

    // The run dies here: its writers never finish, and the next start sweeps.
    StaleCacheFiles sweep(sandbox, folder);
    std::vector<std::filesystem::path> removed = sweep.removeStale();
    std::sort(removed.begin(), removed.end());
    EXPECT_EQ(removed, aside);
}

TEST_F(StaleCacheFilesTest, AProgramThatDoesNotOwnTheFolderLeavesTheOwnersFilesAlone) {
    const std::string writing = "Library/Caches/export/..export-live.wav.partial";
    write(writing);
    ASSERT_TRUE(folder.owned());  // the owner, still writing
    platform::DataFolderLock second(dir / "root");
    EXPECT_TRUE(second.ownedElsewhere());
    EXPECT_TRUE(StaleCacheFiles(sandbox, second).removeStale().empty());
    EXPECT_TRUE(exists(writing));
}

}  // namespace
}  // namespace strombel::app
