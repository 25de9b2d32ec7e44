#include "platform/whole_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <vector>

#include "support/temp_dir.h"
#include "support/test_mounts.h"

namespace strombel::platform {
namespace {

using strombel::testing::fileBytes;

void put(const std::filesystem::path& file, const std::string& text) { std::ofstream(file, std::ios::binary) << text; }

std::string namesIn(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    std::string joined;
    for (const auto& name : names) joined += (joined.empty() ? "" : " ") + name;
    return joined;
}

mode_t modeOf(const std::filesystem::path& file) {
    struct stat facts {};
    ::stat(file.c_str(), &facts);
    return facts.st_mode & 07777;
}

TEST(WholeFile, ANewFileGetsTheModeOfTheOneItReplacesOrTheUsualOne) {
    strombel::testing::TempDir temp;
    const mode_t previous = ::umask(022);
    struct Case {
        const char* name;
        std::optional<mode_t> existing, asked;
        mode_t creationMask, expected;
    };
    const Case cases[] = {
        {"new", std::nullopt, std::nullopt, 022, 0644},
        {"new under a stricter mask", std::nullopt, std::nullopt, 027, 0640},
        {"private replaced", 0600, std::nullopt, 022, 0600},
        {"shared replaced", 0664, std::nullopt, 022, 0664},
        {"asked over a readable one", 0644, 0600, 022, 0600},
        {"asked for a new one", std::nullopt, 0640, 077, 0640},
    };
    for (const Case& c : cases) {
        const std::filesystem::path file = temp / c.name;
        if (c.existing) {
            put(file, "old");
            ::chmod(file.c_str(), *c.existing);
        }
        ::umask(c.creationMask);
        WholeFileOptions options;
        options.mode = c.asked;
        const Result<void> written = writeFileWhole(file, "new", options);
        ::umask(022);
        ASSERT_TRUE(written.ok()) << c.name << ": " << (written ? "" : written.error().message());
        EXPECT_EQ(fileBytes(file), "new") << c.name;
        EXPECT_EQ(modeOf(file), c.expected) << c.name << std::oct << " got " << modeOf(file);
    }
    ::umask(previous);
    EXPECT_EQ(namesIn(temp.path()), "asked for a new one asked over a readable one new new under a stricter mask "
                                    "private replaced shared replaced")
        << "nothing is left aside";
}

TEST(WholeFile, TheFileAsideHasTheNameAskedForUntilItIsCommitted) {
    strombel::testing::TempDir temp;
    put(temp / ".take.wav.partial", "what a run that died left");
    WholeFile fixed(temp / "take.wav", WholeFileOptions().named(".take.wav.partial"));
    WholeFile unique(temp / "pasted.wav", WholeFileOptions().named(".partial-XXXXXX"));
    WholeFile usual(temp / "state");
    ASSERT_TRUE(fixed.isOpen() && unique.isOpen() && usual.isOpen());
    EXPECT_EQ(fixed.asidePath(), temp / ".take.wav.partial");
    EXPECT_EQ(fileBytes(fixed.asidePath()), "") << "a leftover is made anew";
    EXPECT_EQ(unique.asidePath().filename().string().size(), std::string(".partial-XXXXXX").size());
    EXPECT_TRUE(unique.asidePath().filename().string().starts_with(".partial-"));
    EXPECT_NE(unique.asidePath().filename(), ".partial-XXXXXX");
    EXPECT_TRUE(usual.asidePath().filename().string().starts_with(".state.tmp-"));
    EXPECT_FALSE(std::filesystem::exists(temp / "take.wav")) << "nothing under the name before it is whole";

    ASSERT_TRUE(fixed.write("RIFF") && fixed.commit().ok());
    EXPECT_EQ(fileBytes(temp / "take.wav"), "RIFF");
    unique.abandon();
    EXPECT_FALSE(unique.write("late")) << "an abandoned file takes no more bytes";
    EXPECT_FALSE(unique.commit().ok());
}

TEST(WholeFile, AFailedStepLeavesNothingAsideAndTheTargetAsItWas) {
    strombel::testing::TempDir temp;
    // The target is a folder with something in it: the rename fails.
    std::filesystem::create_directories(temp / "kit" / "inside");
    WholeFile overFolder(temp / "kit");
    ASSERT_TRUE(overFolder.write("bytes"));
    const Result<void> refused = overFolder.commit();
    ASSERT_FALSE(refused.ok());
    EXPECT_FALSE(isDiskFull(refused.error()));
    EXPECT_NE(refused.error().message().find("kit"), std::string::npos) << refused.error().message();
    EXPECT_EQ(namesIn(temp.path()), "kit");

    // A taken name is refused, and the file stays aside for another name.
    put(temp / "pasted 01.wav", "the user's");
    WholeFile fresh(temp / "pasted 01.wav", WholeFileOptions().named(".partial-XXXXXX"));
    ASSERT_TRUE(fresh.write("new take"));
    const Result<void> taken = fresh.commitWithoutReplacing(temp / "pasted 01.wav");
    ASSERT_FALSE(taken.ok());
    EXPECT_EQ(taken.error().code, EEXIST);
    EXPECT_EQ(fileBytes(temp / "pasted 01.wav"), "the user's");
    ASSERT_TRUE(fresh.commitWithoutReplacing(temp / "pasted 02.wav").ok());
    EXPECT_EQ(fileBytes(temp / "pasted 02.wav"), "new take");
    EXPECT_EQ(fresh.target(), temp / "pasted 02.wav");

    // No folder to write into: told at once, with its reason.
    const Result<void> nowhere = writeFileWhole(temp / "missing" / "state", "x");
    ASSERT_FALSE(nowhere.ok());
    EXPECT_EQ(nowhere.error().domain, kPosixErrorDomain);
    EXPECT_EQ(nowhere.error().code, ENOENT);
    EXPECT_EQ(systemReason(nowhere.error()), std::strerror(ENOENT));
    EXPECT_EQ(namesIn(temp.path()), "kit pasted 01.wav pasted 02.wav");
}

TEST(WholeFile, AFullDiskAndAReadOnlyFolderAreToldApartAndLeaveNothingBehind) {
    strombel::testing::TempDir temp;
    std::string why;
    auto small = strombel::testing::TestMount::tmpfs(temp / "small", 64 * 1024, why);
    if (!small) GTEST_SKIP() << "cannot mount a tmpfs: " << why;
    put(temp / "small" / "state", "old");
    auto readOnly = strombel::testing::TestMount::readOnly(temp / "small", temp / "read-only", why);
    if (!readOnly) GTEST_SKIP() << "cannot mount a folder read-only: " << why;
    const std::string large(200 * 1024, 'x');
    struct Case {
        const char* name;
        std::filesystem::path folder;
        std::function<Result<void>(const std::filesystem::path&)> write;
        int code;
        bool diskFull;
    };
    const Case cases[] = {
        {"whole buffer, disk full", temp / "small", [&](auto& folder) { return writeFileWhole(folder / "state", large); },
         ENOSPC, true},
        {"streamed, disk full", temp / "small",
         [&](auto& folder) {
             WholeFile file(folder / "take.wav", WholeFileOptions().named(".take.wav.partial"));
             while (file.write(std::string_view(large).substr(0, 8192))) {
             }
             return file.commit();
         },
         ENOSPC, true},
        {"read-only folder", temp / "read-only", [&](auto& folder) { return writeFileWhole(folder / "state", "new"); },
         EROFS, false},
    };
    for (const Case& c : cases) {
        const Result<void> outcome = c.write(c.folder);
        ASSERT_FALSE(outcome.ok()) << c.name;
        const Error& error = outcome.error();
        EXPECT_EQ(error.code, c.code) << c.name << ": " << error.message();
        EXPECT_EQ(isDiskFull(error), c.diskFull) << c.name;
        EXPECT_NE(error.message().find(c.folder.string()), std::string::npos) << c.name << ": " << error.message();
        EXPECT_EQ(namesIn(c.folder), "state") << c.name;
        EXPECT_EQ(fileBytes(c.folder / "state"), "old") << c.name;
    }
}

TEST(WholeFile, TheNewFileIsSyncedBeforeTheRenameAndItsFolderAfter) {
    strombel::testing::TempDir temp;
    const auto target = temp / "state";
    put(target, "old");
    // Each sync: what it synced, and what the target held at that moment.
    std::vector<std::pair<std::filesystem::path, std::string>> syncs;
    WholeFileOptions options;
    options.sync = [&](int fd) {
        syncs.emplace_back(std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd)), fileBytes(target));
        return ::fsync(fd);
    };
    ASSERT_TRUE(writeFileWhole(target, "new", options).ok());
    const auto folder = std::filesystem::canonical(temp.path());
    ASSERT_EQ(syncs.size(), 2u);
    EXPECT_EQ(syncs[0].first.parent_path(), folder);
    EXPECT_EQ(syncs[0].first.filename().string().rfind(".state.tmp-", 0), 0u) << syncs[0].first;
    EXPECT_EQ(syncs[0].second, "old") << "the new file is synced before it replaces the old one";
    EXPECT_EQ(syncs[1].first, folder);
    EXPECT_EQ(syncs[1].second, "new") << "the folder is synced after the rename";
    // A file that checks itself when read (a cache entry) is written unsynced.
    syncs.clear();
    ASSERT_TRUE(writeFileWhole(target, "cache", options.unsynced()).ok());
    EXPECT_TRUE(syncs.empty());
}

}  // namespace
}  // namespace strombel::platform
