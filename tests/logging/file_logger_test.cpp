#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "logging/file_logger.h"
#include "logging/log_core.h"
#include "platform/sandbox.h"
#include "support/local_date.h"
#include "support/recording_logger.h"
#include "support/temp_dir.h"

namespace strombel::logging {
namespace {

using namespace std::chrono_literals;

// Wall-clock time that moves only when the test says so; timers fire on advance.
class ManualTimeSource : public LogTimeSource {
public:
    explicit ManualTimeSource(LogDate start) : now_(start) {}

    LogDate now() override {
        std::lock_guard lock(mutex_);
        return now_;
    }
    void runAfter(const std::shared_ptr<platform::SerialQueue>& queue, std::chrono::nanoseconds delay,
                  std::function<void()> work) override {
        std::lock_guard lock(mutex_);
        timers_.push_back({now_ + std::chrono::duration_cast<LogDate::duration>(delay), queue, std::move(work)});
        delays_.push_back(delay);
    }
    void advance(LogDate::duration by) {
        std::vector<Timer> due;
        {
            std::lock_guard lock(mutex_);
            now_ += by;
            auto split = std::stable_partition(timers_.begin(), timers_.end(),
                                               [&](const Timer& timer) { return timer.due > now_; });
            due.assign(std::make_move_iterator(split), std::make_move_iterator(timers_.end()));
            timers_.erase(split, timers_.end());
        }
        for (Timer& timer : due) {
            if (auto queue = timer.queue.lock()) queue->async(std::move(timer.work));
        }
    }
    std::vector<std::chrono::nanoseconds> delays() {
        std::lock_guard lock(mutex_);
        return delays_;
    }

private:
    struct Timer {
        LogDate due;
        std::weak_ptr<platform::SerialQueue> queue;
        std::function<void()> work;
    };
    std::mutex mutex_;
    LogDate now_;
    std::vector<Timer> timers_;
    std::vector<std::chrono::nanoseconds> delays_;
};

// A file record whose creation time the test chooses (nothing when absent from the map).
class ChosenDatesInfo : public LogFileInfo {
public:
    ChosenDatesInfo(std::string path, std::shared_ptr<std::map<std::string, LogDate>> dates)
        : LogFileInfo(std::move(path)), dates_(std::move(dates)) {}

protected:
    std::optional<LogDate> readCreationTime() override {
        auto found = dates_->find(fileName());
        if (found == dates_->end()) return std::nullopt;
        return found->second;
    }

private:
    std::shared_ptr<std::map<std::string, LogDate>> dates_;
};

// The default manager, with creation times taken from the test's clock: files
// made within one file-system clock tick would otherwise share a birth time.
class ClockedManager : public LogFileManagerDefault {
public:
    ClockedManager(std::string folder, std::shared_ptr<ManualTimeSource> time)
        : LogFileManagerDefault(std::move(folder)), time_(std::move(time)) {}

    std::optional<std::string> createNewLogFile() override {
        {
            // Dates are chosen before the base class cleans up, which reads them.
            std::lock_guard lock(mutex_);
            time_->advance(1s);
            pendingDate_ = time_->now();
        }
        std::optional<std::string> path = LogFileManagerDefault::createNewLogFile();
        return path;
    }
    void setDate(const std::string& name, LogDate date) { (*dates_)[name] = date; }
    std::shared_ptr<std::map<std::string, LogDate>> dates() { return dates_; }

    std::shared_ptr<LogFileInfo> logFileInfoForPath(const std::string& path) override {
        std::string name = path.substr(path.rfind('/') + 1);
        std::lock_guard lock(mutex_);
        if (!dates_->count(name) && pendingDate_) (*dates_)[name] = *pendingDate_;  // the file just created
        return std::make_shared<ChosenDatesInfo>(path, dates_);
    }

private:
    std::shared_ptr<ManualTimeSource> time_;
    std::mutex mutex_;
    std::optional<LogDate> pendingDate_;
    std::shared_ptr<std::map<std::string, LogDate>> dates_ = std::make_shared<std::map<std::string, LogDate>>();
};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class FileLoggerTest : public ::testing::Test {
protected:
    void SetUp() override { setLogLevel(LogFlagError | LogFlagWarning); }
    void TearDown() override { testing::resetLogging(); }

    std::shared_ptr<FileLogger> makeLogger(std::shared_ptr<LogFileManager> manager) {
        auto logger = std::make_shared<FileLogger>(std::move(manager), time_);
        Log::addLogger(logger);
        return logger;
    }

    // Every line of every log file, newest file first, and whether each is archived.
    std::vector<std::pair<std::string, bool>> files(LogFileManager& manager) {
        Log::flushLog();
        std::vector<std::pair<std::string, bool>> result;
        for (const auto& info : manager.sortedLogFileInfos()) {
            result.emplace_back(readFile(info->filePath()), info->isArchived());
        }
        return result;
    }

    strombel::testing::TempDir dir_;
    std::string logs_ = (dir_ / "Library" / "Caches" / "Logs").string();
    std::shared_ptr<ManualTimeSource> time_ = std::make_shared<ManualTimeSource>(std::chrono::system_clock::now());
};

// The text after the "yyyy/MM/dd HH:mm:ss:SSS  " stamp of each line.
std::vector<std::string> texts(const std::string& content) {
    std::vector<std::string> result;
    std::istringstream lines(content);
    for (std::string line; std::getline(lines, line);) result.push_back(line.size() > 25 ? line.substr(25) : line);
    return result;
}

TEST_F(FileLoggerTest, LinesCarryADateStampAndOneNewline) {
    auto manager = std::make_shared<LogFileManagerDefault>(logs_);
    makeLogger(manager);
    const auto at = strombel::testing::localDate(42);
    for (std::string text : {"pad 3 tapped", "already ends in a newline\n", "bad \xE2\x28\xA1 bytes"}) {
        LogMessage message(text, 3, LogFlagWarning, 0, "pad.cpp", "tap", 1);
        message.setTimestamp(at);
        Log::queueLogMessage(std::move(message), true);
    }
    auto written = files(*manager);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].first,
              "2015/03/01 14:05:09:042  pad 3 tapped\n"
              "2015/03/01 14:05:09:042  already ends in a newline\n"
              "2015/03/01 14:05:09:042  bad \xEF\xBF\xBD(\xEF\xBF\xBD bytes\n");
    EXPECT_FALSE(written[0].second);
    EXPECT_TRUE(std::filesystem::is_directory(logs_));
}

TEST_F(FileLoggerTest, ASubclassOfTheDefaultFormatterLaysOutItsOwnLines) {
    // Writes its own line, and none at all for texts beginning with "secret".
    class Bracketed final : public LogFileFormatterDefault {
    public:
        FormattedMessage formatLogMessage(const LogMessage& message) override {
            if (message.logMsg().rfind("secret", 0) == 0) return FormattedMessage::suppressed();
            return FormattedMessage("[" + message.logMsg() + "]");
        }
    };
    auto manager = std::make_shared<LogFileManagerDefault>(logs_);
    makeLogger(manager)->setLogFormatter(std::make_shared<Bracketed>());
    for (const char* text : {"pad 3 tapped", "secret token", "done"}) {
        Log::queueLogMessage(LogMessage(text, 3, LogFlagWarning, 0, "pad.cpp", "tap", 1), true);
    }
    auto written = files(*manager);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].first, "[pad 3 tapped]\n[done]\n");
}

TEST_F(FileLoggerTest, AnEmptyTextIsALineOfItsOwnAndNoTextWritesNothing) {
    // Without a formatter a line is the bare text.
    class Bare final : public LogFormatter {
    public:
        FormattedMessage formatLogMessage(const LogMessage& message) override {
            if (message.logMsg() == "none") return FormattedMessage::suppressed();
            return FormattedMessage::messageText();
        }
    };
    auto manager = std::make_shared<LogFileManagerDefault>(logs_);
    makeLogger(manager)->setLogFormatter(std::make_shared<Bare>());
    for (const char* text : {"first", "", "none", "last"}) {
        Log::queueLogMessage(LogMessage(text, 3, LogFlagWarning, 0, "pad.cpp", "tap", 1), true);
    }
    auto written = files(*manager);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].first, "first\n\nlast\n");
}

TEST_F(FileLoggerTest, MadeWithoutAManagerItWritesIntoTheSandboxsLogsFolder) {
    platform::Sandbox::setShared(std::make_unique<platform::Sandbox>(dir_.path(), dir_ / "bundle"));
    auto logger = std::make_shared<FileLogger>();
    platform::Sandbox::setShared(nullptr);
    Log::addLogger(logger);
    Log::queueLogMessage(LogMessage("kept", 3, LogFlagWarning, 0, "pad.cpp", "tap", 1), true);
    auto written = files(*logger->logFileManager());
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(texts(written[0].first), std::vector<std::string>{"kept"});
    EXPECT_EQ(logger->logFileManager()->logsDirectory(), logs_);
    EXPECT_EQ(logger->loggerName(), "strombel.logging.fileLogger");
}

TEST_F(FileLoggerTest, RollsWhenTheFileReachesItsSizeAndLosesNothing) {
    auto manager = std::make_shared<ClockedManager>(logs_, time_);
    manager->setMaximumNumberOfLogFiles(0);  // keep all
    auto logger = makeLogger(manager);
    logger->setMaximumFileSize(200);
    for (int i = 0; i < 40; ++i) STROMBEL_LOG_WARN("line number {:02}", i);  // 40 bytes a line
    auto written = files(*manager);
    ASSERT_EQ(written.size(), 8u);  // 5 lines (200 bytes) a file
    std::vector<std::string> all;
    for (auto file = written.rbegin(); file != written.rend(); ++file) {
        std::vector<std::string> lines = texts(file->first);
        all.insert(all.end(), lines.begin(), lines.end());
        EXPECT_TRUE(file->second);  // the eighth filled up too and was rolled
        EXPECT_EQ(file->first.size(), 200u);
    }
    ASSERT_EQ(all.size(), 40u);
    for (int i = 0; i < 40; ++i) EXPECT_EQ(all[static_cast<size_t>(i)], fmt::format("line number {:02}", i));
    EXPECT_EQ(logger->maximumFileSize(), 200u);
}

TEST_F(FileLoggerTest, ASizeLimitOfZeroNeverRolls) {
    auto manager = std::make_shared<ClockedManager>(logs_, time_);
    auto logger = makeLogger(manager);
    logger->setMaximumFileSize(0);
    std::string big(4096, 'b');
    for (int i = 0; i < 400; ++i) STROMBEL_LOG_WARN("{}", big);  // 1.6 MB, past the default limit
    auto written = files(*manager);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_GT(written[0].first.size(), FileLogger::kDefaultMaximumFileSize);
}

TEST_F(FileLoggerTest, RollsWhenTheFileReachesItsAge) {
    auto manager = std::make_shared<ClockedManager>(logs_, time_);
    auto logger = makeLogger(manager);
    STROMBEL_LOG_WARN("monday");
    Log::flushLog();
    time_->advance(23h);
    STROMBEL_LOG_WARN("still monday");
    Log::flushLog();
    time_->advance(1h + 1s);  // the age timer fires on the logger's queue
    STROMBEL_LOG_WARN("tuesday");
    Log::flushLog();
    time_->advance(24h + 1s);  // and again for the next file
    STROMBEL_LOG_WARN("wednesday");
    auto written = files(*manager);
    ASSERT_EQ(written.size(), 3u);
    EXPECT_EQ(texts(written[0].first), std::vector<std::string>{"wednesday"});
    EXPECT_FALSE(written[0].second);
    EXPECT_EQ(texts(written[1].first), std::vector<std::string>{"tuesday"});
    EXPECT_TRUE(written[1].second);
    EXPECT_EQ(texts(written[2].first), (std::vector<std::string>{"monday", "still monday"}));
    EXPECT_TRUE(written[2].second);
    EXPECT_EQ(logger->rollingFrequency(), FileLogger::kDefaultRollingFrequency);
}

TEST_F(FileLoggerTest, ARollingFrequencyOfZeroNeverRolls) {
    auto manager = std::make_shared<ClockedManager>(logs_, time_);
    auto logger = makeLogger(manager);
    logger->setRollingFrequency(0);
    STROMBEL_LOG_WARN("first");
    Log::flushLog();
    size_t timers = time_->delays().size();
    time_->advance(72h);
    STROMBEL_LOG_WARN("three days later");
    auto written = files(*manager);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(time_->delays().size(), timers);  // no new age timer either
}

TEST_F(FileLoggerTest, LoweringTheFrequencyRollsAnOldFileAtOnce) {
    auto manager = std::make_shared<ClockedManager>(logs_, time_);
    auto logger = makeLogger(manager);
    STROMBEL_LOG_WARN("written an hour ago");
    Log::flushLog();
    time_->advance(1h);
    logger->setRollingFrequency(60);
    STROMBEL_LOG_WARN("fresh file");
    auto written = files(*manager);
    ASSERT_EQ(written.size(), 2u);
    EXPECT_TRUE(written[1].second);
    EXPECT_EQ(texts(written[0].first), std::vector<std::string>{"fresh file"});
}

TEST_F(FileLoggerTest, AtStartAYoungSmallFileIsContinuedAndAnOldOrBigOneArchived) {
    auto manager = std::make_shared<ClockedManager>(logs_, time_);
    {
        auto first = makeLogger(manager);
        STROMBEL_LOG_WARN("first run");
        Log::removeAllLoggers();  // rolls: archived
        Log::flushLog();
    }
    // A file left unarchived by a run that stopped without rolling.
    auto fresh = manager->createNewLogFile();
    ASSERT_TRUE(fresh);
    std::ofstream(*fresh) << "2015/03/01 14:05:09:042  crashed run\n";

    {
        auto second = makeLogger(manager);
        STROMBEL_LOG_WARN("second run");
        Log::flushLog();
        EXPECT_EQ(second->currentLogFilePath(), fresh);
        Log::removeLogger(second);
        Log::flushLog();
    }
    EXPECT_EQ(texts(readFile(*fresh)), (std::vector<std::string>{"crashed run", "second run"}));

    // An unarchived file older than a day is archived and a new one started.
    auto stale = manager->createNewLogFile();
    time_->advance(25h);
    {
        auto third = makeLogger(manager);
        STROMBEL_LOG_WARN("third run");
        Log::flushLog();
        EXPECT_NE(third->currentLogFilePath(), stale);
    }
    EXPECT_TRUE(LogFileInfo(*stale).isArchived());

    // And so is one that reached the size limit.
    Log::removeAllLoggers();
    auto big = manager->createNewLogFile();
    std::ofstream(*big) << std::string(FileLogger::kDefaultMaximumFileSize, 'x');
    auto fourth = makeLogger(manager);
    STROMBEL_LOG_WARN("fourth run");
    Log::flushLog();
    EXPECT_NE(fourth->currentLogFilePath(), big);
    EXPECT_TRUE(LogFileInfo(*big).isArchived());
}

TEST_F(FileLoggerTest, KeepsTheNewestFiveArchivedFilesBesideTheCurrentOne) {
    auto manager = std::make_shared<ClockedManager>(logs_, time_);
    auto logger = makeLogger(manager);
    for (int i = 0; i < 8; ++i) {
        STROMBEL_LOG_WARN("file {}", i);
        logger->rollLogFile();
    }
    STROMBEL_LOG_WARN("current");
    auto written = files(*manager);
    ASSERT_EQ(written.size(), 6u);
    EXPECT_EQ(texts(written[0].first), std::vector<std::string>{"current"});
    EXPECT_FALSE(written[0].second);
    for (size_t i = 1; i < written.size(); ++i) {
        EXPECT_EQ(texts(written[i].first), std::vector<std::string>{fmt::format("file {}", 8 - i)});
        EXPECT_TRUE(written[i].second);
    }

    manager->setMaximumNumberOfLogFiles(5);  // the value it has: nothing goes
    EXPECT_EQ(files(*manager).size(), 6u);
    manager->setMaximumNumberOfLogFiles(2);
    written = files(*manager);
    ASSERT_EQ(written.size(), 3u);
    EXPECT_EQ(texts(written[1].first), std::vector<std::string>{"file 7"});
    EXPECT_EQ(texts(written[2].first), std::vector<std::string>{"file 6"});
}

TEST_F(FileLoggerTest, TheFileBeingWrittenIsNeverDeletedWhateverItsDate) {
    auto manager = std::make_shared<ClockedManager>(logs_, time_);
    manager->setMaximumNumberOfLogFiles(1);
    auto logger = makeLogger(manager);
    STROMBEL_LOG_WARN("being written");
    Log::flushLog();
    std::string current = *logger->currentLogFilePath();
    // Its creation date says it is the oldest file of all.
    manager->setDate(current.substr(current.rfind('/') + 1), LogDate{});
    for (int i = 0; i < 3; ++i) {
        auto path = manager->createNewLogFile();
        ASSERT_TRUE(path);
        LogFileInfo(*path).setIsArchived(true);
    }
    manager->deleteOldLogFiles();
    STROMBEL_LOG_WARN("still here");
    Log::flushLog();
    EXPECT_EQ(texts(readFile(current)), (std::vector<std::string>{"being written", "still here"}));
    EXPECT_EQ(manager->unsortedLogFileNames().size(), 2u);  // the current one and the newest archived one
}

TEST(LogFileInfoTest, ACreationTimeThatCannotBeReadIsReportedOnTheConsole) {
    strombel::testing::TempDir folder;
    LogFileInfo gone((folder.path() / "log-ABCDEF.txt").string());
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(gone.creationDate().has_value());
    const std::string console = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(console.find("LogFileInfo: creationDate(log-ABCDEF.txt): getattrlist result = -1"), std::string::npos)
        << console;
}

TEST_F(FileLoggerTest, AFileSystemWithoutCreationTimesUsesTheModificationTime) {
    class NoBirthTimeInfo : public LogFileInfo {
    public:
        using LogFileInfo::LogFileInfo;

    protected:
        std::optional<LogDate> readCreationTime() override { return std::nullopt; }
    };
    class NoBirthTimeManager : public LogFileManagerDefault {
    public:
        using LogFileManagerDefault::LogFileManagerDefault;

    protected:
        std::shared_ptr<LogFileInfo> logFileInfoForPath(const std::string& path) override {
            return std::make_shared<NoBirthTimeInfo>(path);
        }
    };
    auto manager = std::make_shared<NoBirthTimeManager>(logs_);
    auto logger = makeLogger(manager);
    STROMBEL_LOG_WARN("no birth time here");
    Log::flushLog();
    auto infos = manager->sortedLogFileInfos();
    ASSERT_EQ(infos.size(), 1u);
    EXPECT_EQ(infos[0]->creationDate(), infos[0]->modificationDate());
    EXPECT_TRUE(infos[0]->creationDate());
    // The age timer waits about a day instead of firing at once, over and over.
    ASSERT_EQ(time_->delays().size(), 1u);
    EXPECT_GT(time_->delays()[0], 23h);
}

TEST_F(FileLoggerTest, AFolderThatCannotBeMadeLosesLinesButNeverHangs) {
    std::ofstream(dir_ / "not-a-folder") << "a file where the folder should be";
    auto manager = std::make_shared<LogFileManagerDefault>((dir_ / "not-a-folder" / "Logs").string());
    makeLogger(manager);
    STROMBEL_LOG_ERROR("nowhere to go");
    STROMBEL_LOG_ERROR("nor this");
    Log::flushLog();
    EXPECT_TRUE(manager->unsortedLogFileNames().empty());
    EXPECT_FALSE(manager->createNewLogFile());
}

TEST(LogFileInfoTest, LogFileNamesAreRecognised) {
    struct Case {
        const char* name;
        bool isLogFile;
    } cases[] = {
        {"log-12AB34.txt", true}, {"log-12ab34.txt", false}, {"log-12AB3.txt", false},
        {"log-ABCDEF", true},     {"log-ABCDE", false},      {"Log-12AB34.txt", false},
        {"log-12AB34.old", true}, {".log-12AB34.txt.user.strombel.log.archived", false},
    };
    for (const Case& c : cases) EXPECT_EQ(LogFileManagerDefault::isLogFileName(c.name), c.isLogFile) << c.name;
    LogFileManagerDefault manager("unused");
    for (int i = 0; i < 20; ++i) {
        std::string name = "log-" + manager.generateShortUUID() + ".txt";
        EXPECT_TRUE(LogFileManagerDefault::isLogFileName(name)) << name;
    }
}

TEST(LogFileManagerTest, ANewFileNeverTakesOverAnExistingOne) {
    // Names that collide with files already there, as two writers racing would.
    class CollidingManager : public LogFileManagerDefault {
    public:
        using LogFileManagerDefault::LogFileManagerDefault;
        std::string generateShortUUID() override { return names.at(next++); }
        std::vector<std::string> names{"AAAAAA", "AAAAAA", "BBBBBB", "CCCCCC"};
        size_t next = 0;
    };
    strombel::testing::TempDir dir;
    auto manager = std::make_shared<CollidingManager>(dir.path().string());
    std::ofstream(dir / "log-AAAAAA.txt") << "another writer's line\n";
    std::ofstream(dir / "log-BBBBBB.txt") << "";
    auto path = manager->createNewLogFile();
    ASSERT_TRUE(path);
    EXPECT_EQ(*path, (dir / "log-CCCCCC.txt").string());
    EXPECT_EQ(readFile((dir / "log-AAAAAA.txt").string()), "another writer's line\n");
    EXPECT_EQ(manager->next, 4u);
}

TEST_F(FileLoggerTest, AtStartAFileShortOfTheSizeLimitIsContinuedAndOneAtItIsLeftWhole) {
    for (auto [size, continued] : {std::pair{99u, true}, std::pair{100u, false}}) {
        SCOPED_TRACE(size);
        auto manager = std::make_shared<LogFileManagerDefault>(logs_ + std::to_string(size));
        auto left = manager->createNewLogFile();
        ASSERT_TRUE(left);
        std::ofstream(*left) << std::string(size, 'x');
        makeLogger(manager)->setMaximumFileSize(100);
        STROMBEL_LOG_WARN("next run");
        Log::flushLog();
        EXPECT_EQ(readFile(*left).size() > size, continued);
        EXPECT_EQ(manager->unsortedLogFileNames().size(), continued ? 1u : 2u);
        Log::removeAllLoggers();
        Log::flushLog();
    }
}

TEST(LogFileInfoTest, WithoutExtendedAttributesTheArchivedMarkMovesWithARenamedFile) {
    // A file system without user attributes: the marks live in side files.
    class NoAttributesInfo : public LogFileInfo {
    public:
        using LogFileInfo::LogFileInfo;

    protected:
        int extendedAttributeCall(AttributeCall, const std::string&) override { return ENOTSUP; }
    };
    strombel::testing::TempDir dir;
    auto at = [&](const char* name) { return (dir / name).string(); };
    std::ofstream(at("log-ABC123.txt")) << "archived";
    std::ofstream(at("log-111111.txt")) << "being written";
    NoAttributesInfo archived(at("log-ABC123.txt"));
    archived.setIsArchived(true);
    NoAttributesInfo(at("log-222222.txt")).setIsArchived(true);  // the mark of a file long gone
    NoAttributesInfo current(at("log-111111.txt"));

    ASSERT_TRUE(archived.renameFile("log-DEF456.txt"));
    ASSERT_TRUE(current.renameFile("log-222222.txt"));
    EXPECT_TRUE(NoAttributesInfo(at("log-DEF456.txt")).isArchived());
    EXPECT_FALSE(NoAttributesInfo(at("log-222222.txt")).isArchived());
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".log-DEF456.txt.user.strombel.log.archived", "log-222222.txt",
                                               "log-DEF456.txt"}));
}

TEST(LogFileInfoTest, ArchivingRenamingAndAFailedRename) {
    strombel::testing::TempDir dir;
    std::string path = (dir / "log-ABC123.txt").string();
    std::ofstream(path) << "twelve bytes";
    LogFileInfo info(path);
    EXPECT_EQ(info.fileName(), "log-ABC123.txt");
    EXPECT_EQ(info.fileSize(), 12u);
    EXPECT_FALSE(info.isArchived());
    info.setIsArchived(true);
    EXPECT_TRUE(LogFileInfo(path).isArchived());
    info.setIsArchived(false);
    info.setIsArchived(false);  // removing a mark that is not there is fine
    EXPECT_FALSE(info.isArchived());

    EXPECT_FALSE(info.renameFile("no-such-folder/log-DEF456.txt"));
    EXPECT_EQ(info.filePath(), path);  // still the file that exists
    EXPECT_EQ(info.fileSize(), 12u);

    EXPECT_TRUE(info.renameFile("log-DEF456.txt"));
    EXPECT_EQ(info.filePath(), (dir / "log-DEF456.txt").string());
    EXPECT_EQ(info.fileSize(), 12u);
    EXPECT_TRUE(info == LogFileInfo((dir / "log-DEF456.txt").string()));
    EXPECT_NE(info.description().find("fileName = \"log-DEF456.txt\""), std::string::npos);
}

}  // namespace
}  // namespace strombel::logging
