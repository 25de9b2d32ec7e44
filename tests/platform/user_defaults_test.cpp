#include "platform/user_defaults.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>

#include "support/temp_dir.h"
#include "support/test_mounts.h"

namespace strombel::platform {
namespace {

TEST(UserDefaults, TypedValuesSurviveReopening) {
    testing::TempDir temp;
    auto file = temp / "defaults.sqlite";
    {
        UserDefaults defaults(file);
        defaults.setBool("DataMigrationDone", true);
        defaults.setInteger("CurrentSoundBank", 3);
        defaults.setDouble("BeatsPerMinute", 128.5);
        defaults.setString("Name", "Bank \"A\"\n");
        defaults.setStringArray("NOTES_IN_WHITELIST", {"Port 1", "", "Port ü"});
        defaults.setData("Blob", {0, 1, 255});
        EXPECT_TRUE(defaults.synchronize());
    }
    UserDefaults reopened(file);
    EXPECT_TRUE(reopened.boolForKey("DataMigrationDone"));
    EXPECT_EQ(reopened.integerForKey("CurrentSoundBank"), 3);
    EXPECT_DOUBLE_EQ(reopened.doubleForKey("BeatsPerMinute"), 128.5);
    EXPECT_EQ(reopened.stringForKey("Name"), "Bank \"A\"\n");
    EXPECT_EQ(reopened.stringArrayForKey("NOTES_IN_WHITELIST"),
              (UserDefaults::StringArray{"Port 1", "", "Port ü"}));
    EXPECT_EQ(reopened.dataForKey("Blob"), (UserDefaults::Data{0, 1, 255}));
}

TEST(UserDefaults, MissingAndMistypedKeysReadAsEmpty) {
    testing::TempDir temp;
    UserDefaults defaults(temp / "d.sqlite");
    defaults.setStringArray("List", {"a"});
    defaults.setString("Number", "42.5");
    defaults.setString("Yes", "YES");
    struct Case {
        const char* key;
        bool hasObject;
        bool asBool;
        int64_t asInteger;
        double asDouble;
    } cases[] = {
        {"Missing", false, false, 0, 0.0},
        {"List", true, false, 0, 0.0},
        {"Number", true, true, 42, 42.5},
        {"Yes", true, true, 0, 0.0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(defaults.hasObject(c.key), c.hasObject) << c.key;
        EXPECT_EQ(defaults.boolForKey(c.key), c.asBool) << c.key;
        EXPECT_EQ(defaults.integerForKey(c.key), c.asInteger) << c.key;
        EXPECT_DOUBLE_EQ(defaults.doubleForKey(c.key), c.asDouble) << c.key;
    }
    EXPECT_TRUE(defaults.stringArrayForKey("Number").empty());
    EXPECT_EQ(defaults.stringForKey("Missing"), "");
}

TEST(UserDefaults, RemoveForgetsTheKeyOnDisk) {
    testing::TempDir temp;
    {
        UserDefaults defaults(temp / "d.sqlite");
        defaults.setInteger("A", 1);
        defaults.setInteger("B", 2);
        defaults.removeObject("A");
        EXPECT_FALSE(defaults.hasObject("A"));
    }
    UserDefaults reopened(temp / "d.sqlite");
    EXPECT_FALSE(reopened.hasObject("A"));
    EXPECT_EQ(reopened.integerForKey("B"), 2);
}

TEST(UserDefaults, DamagedFileIsSetAsideAndAFreshOneWorks) {
    testing::TempDir temp;
    auto file = temp / "d.sqlite";
    {
        std::ofstream garbage(file, std::ios::binary);
        garbage << std::string(8192, 'x');
    }
    UserDefaults defaults(file);
    ASSERT_FALSE(defaults.setAsidePath().empty());
    EXPECT_TRUE(std::filesystem::exists(defaults.setAsidePath()));
    defaults.setInteger("After", 7);
    EXPECT_TRUE(defaults.synchronize());
    UserDefaults reopened(file);
    EXPECT_EQ(reopened.integerForKey("After"), 7);
    EXPECT_TRUE(reopened.setAsidePath().empty());
}

TEST(UserDefaults, AProcessKilledInTheMiddleOfWritingLosesNothingItHadStored) {
    testing::TempDir temp;
    const auto file = temp / "defaults.sqlite";
    int64_t acknowledged = 0;  // the last value whose setter returned in a killed writer
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        int report[2];
        ASSERT_EQ(::pipe(report), 0);
        const pid_t writer = ::fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) {
            // The writer: a counter and a blob that grows with it, each setter
            // reported once it has returned.
            ::close(report[0]);
            UserDefaults defaults(file);
            for (int64_t value = defaults.integerForKey("Counter") + 1;; ++value) {
                defaults.setData("Blob", UserDefaults::Data(static_cast<size_t>(value % 4096) + 1, static_cast<uint8_t>(value)));
                defaults.setInteger("Counter", value);
                if (::write(report[1], &value, sizeof value) != sizeof value) ::_exit(1);
            }
        }
        ::close(report[1]);
        // Let it get going, then kill it wherever it happens to be.
        int64_t value = 0;
        for (int seen = 0; seen < 50 + round * 37; ++seen) {
            ASSERT_EQ(::read(report[0], &value, sizeof value), static_cast<ssize_t>(sizeof value));
        }
        ::kill(writer, SIGKILL);
        while (::read(report[0], &value, sizeof value) == sizeof value) {
        }
        ::close(report[0]);
        ::waitpid(writer, nullptr, 0);
        ASSERT_GT(value, acknowledged);
        acknowledged = value;

        UserDefaults reopened(file);
        EXPECT_TRUE(reopened.setAsidePath().empty()) << "the file was found damaged";
        const int64_t stored = reopened.integerForKey("Counter");
        // Everything acknowledged is there; at most the write under way when
        // the kill came went in without its report.
        EXPECT_GE(stored, acknowledged);
        EXPECT_LE(stored, acknowledged + 1);
        // The blob is whole: the one written with the stored counter or the next.
        auto blobOf = [](int64_t n) { return UserDefaults::Data(static_cast<size_t>(n % 4096) + 1, uint8_t(n)); };
        const UserDefaults::Data blob = reopened.dataForKey("Blob");
        EXPECT_TRUE(blob == blobOf(stored) || blob == blobOf(stored + 1)) << "a blob of " << blob.size() << " bytes";
        acknowledged = stored;
    }
}

/// Another connection holding the settings file's write lock until `release`.
class FileHeldBusy {
public:
    explicit FileHeldBusy(const std::filesystem::path& file) {
        EXPECT_EQ(sqlite3_open(file.c_str(), &database_), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(database_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    ~FileHeldBusy() { release(); }
    void release() {
        if (!database_) return;
        sqlite3_exec(database_, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(database_);
        database_ = nullptr;
    }

private:
    sqlite3* database_ = nullptr;
};

TEST(UserDefaults, ADragsValuesDoNotWaitForTheFileAndGoInTogether) {
    testing::TempDir temp;
    const auto file = temp / "defaults.sqlite";
    UserDefaults defaults(file);
    std::vector<std::string> told;
    defaults.setProblemHandler([&](const std::string& problem) { told.push_back(problem); });
    ASSERT_TRUE(defaults.synchronize());
    const uint64_t writesBefore = defaults.writesToFile();

    // A slider dragged while the file is busy: no change waits for it or fails.
    FileHeldBusy busy(file);
    for (int step = 0; step <= 200; ++step) defaults.setDouble("Volume", step / 200.0);
    EXPECT_DOUBLE_EQ(defaults.doubleForKey("Volume"), 1.0);
    busy.release();
    EXPECT_TRUE(defaults.synchronize());
    EXPECT_TRUE(told.empty()) << told.front();
    EXPECT_LE(defaults.writesToFile() - writesBefore, 2u) << "the drag's values go in together";
    EXPECT_DOUBLE_EQ(UserDefaults(file).doubleForKey("Volume"), 1.0);
}

TEST(UserDefaults, AChangeNotYetInTheFileSurvivesAKill) {
    testing::TempDir temp;
    const auto file = temp / "defaults.sqlite";
    UserDefaults(file).setInteger("BeatsPerMinute", 120);
    const pid_t changer = ::fork();
    ASSERT_GE(changer, 0);
    if (changer == 0) {
        UserDefaults defaults(file);
        FileHeldBusy busy(file);  // the writer cannot put it in the file before the kill
        defaults.setInteger("BeatsPerMinute", 97);
        defaults.removeObject("SwingPercentage");
        ::kill(::getpid(), SIGKILL);
    }
    int status = 0;
    ::waitpid(changer, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    UserDefaults reopened(file);
    EXPECT_EQ(reopened.integerForKey("BeatsPerMinute"), 97);
    EXPECT_TRUE(reopened.synchronize());
    EXPECT_EQ(UserDefaults(file).integerForKey("BeatsPerMinute"), 97) << "and it is in the file now";
}

TEST(UserDefaults, AWaitForAWriteEndsOnlyOnceWhatItChangedIsTold) {
    testing::TempDir temp;
    std::string why;
    auto disk = testing::TestMount::tmpfs(temp / "disk", 1 << 20, why);
    if (!disk) GTEST_SKIP() << "mounting is refused here (" << why << "): no small disk to fill";
    UserDefaults defaults(temp / "disk" / "defaults.sqlite");
    ASSERT_TRUE(defaults.synchronize());
    std::mutex toldMutex;
    std::vector<std::string> told;
    // The program's handler posts to the main loop; a slow one shows whether the
    // wait ends before it was called.
    defaults.setProblemHandler([&](const std::string& problem) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::lock_guard lock(toldMutex);
        told.push_back(problem);
    });
    auto toldSoFar = [&] {
        std::lock_guard lock(toldMutex);
        return told;
    };

    testing::fillDisk(temp / "disk" / "filler");
    defaults.setData("Waveform", UserDefaults::Data(256 << 10, 7));
    EXPECT_FALSE(defaults.synchronize());
    ASSERT_EQ(toldSoFar().size(), 1u);
    const std::string first = toldSoFar()[0];
    EXPECT_NE(first, "");

    std::filesystem::remove(temp / "disk" / "filler");
    defaults.writeUnwritten();
    EXPECT_EQ(toldSoFar(), (std::vector<std::string>{first, ""})) << "the disk works again, and it was told";
    EXPECT_TRUE(defaults.synchronize());
}

TEST(UserDefaults, UnwritableLocationReportsFailure) {
    testing::TempDir temp;
    std::ofstream(temp / "file") << "a file, not a folder";
    UserDefaults defaults(temp / "file" / "d.sqlite");
    defaults.setInteger("Lost", 1);
    EXPECT_FALSE(defaults.synchronize());
    EXPECT_FALSE(defaults.lastError().empty());
    EXPECT_EQ(defaults.integerForKey("Lost"), 1);  // still readable for this run
}

}  // namespace
}  // namespace strombel::platform
