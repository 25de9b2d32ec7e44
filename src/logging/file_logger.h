#pragma once

// The rolling file logger: one line per message in a plain-text file of a logs
// folder; a new file when the current one reaches a size or an age limit; finished
// files marked archived, and only a bounded number of archived files kept.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "logging/logger.h"

namespace strombel::logging {

using LogDate = std::chrono::system_clock::time_point;

/// One log file on disk. Values read from the file system are cached on first use
/// (`reset` forgets them). Not thread-safe: used on one queue at a time.
class LogFileInfo {
public:
    /// The archived mark, an extended attribute of the file.
    static constexpr const char* kArchivedAttribute = "user.strombel.log.archived";

    explicit LogFileInfo(std::string filePath);
    virtual ~LogFileInfo() = default;
    static std::shared_ptr<LogFileInfo> logFileWithPath(std::string filePath);

    const std::string& filePath() const { return filePath_; }
    const std::string& fileName();
    /// The file's attributes, or nothing when the file cannot be read.
    const std::optional<struct stat>& fileAttributes();
    /// When the file was created; the modification time when the file system keeps
    /// no creation time; nothing when the file cannot be read.
    std::optional<LogDate> creationDate();
    std::optional<LogDate> modificationDate();
    uint64_t fileSize();
    /// Seconds from the creation date to `now`; 0 when there is no date.
    double age(LogDate now);

    bool isArchived();
    void setIsArchived(bool archived);
    bool hasExtendedAttributeWithName(const std::string& name);
    void addExtendedAttributeWithName(const std::string& name);
    void removeExtendedAttributeWithName(const std::string& name);

    /// Moves the file to `newName` in the same folder, its archived mark with it.
    /// On success the record takes the new path; on failure it keeps the old one
    /// and returns false.
    bool renameFile(const std::string& newName);
    void reset();

    bool operator==(const LogFileInfo& other) const { return filePath_ == other.filePath_; }
    /// Orders newest first (for std::sort); equal dates are equivalent.
    static bool reverseCompareByCreationDate(LogFileInfo& a, LogFileInfo& b);
    static bool reverseCompareByModificationDate(LogFileInfo& a, LogFileInfo& b);

    std::string description();

protected:
    /// The file system's creation time (birth time), when it keeps one.
    virtual std::optional<LogDate> readCreationTime();

    enum class AttributeCall { read, add, remove };
    /// One extended-attribute call on the file: 0 when it succeeded, else the
    /// errno value. A file system without user attributes answers ENOTSUP, and
    /// the marks then live in side files beside the file.
    virtual int extendedAttributeCall(AttributeCall call, const std::string& name);

private:
    // Where a mark lives on a file system without extended attributes.
    std::string sideMarkPath(const std::string& name) const;

    std::string filePath_;
    std::optional<std::string> fileName_;
    std::optional<std::optional<struct stat>> fileAttributes_;
    std::optional<std::optional<LogDate>> creationDate_;
};

/// Folder policy of a file logger: where files live, how they are named and which
/// ones go.
class LogFileManager {
public:
    virtual ~LogFileManager() = default;
    virtual std::string logsDirectory() = 0;
    virtual std::vector<std::string> unsortedLogFilePaths() = 0;
    virtual std::vector<std::string> unsortedLogFileNames() = 0;
    virtual std::vector<std::shared_ptr<LogFileInfo>> unsortedLogFileInfos() = 0;
    virtual std::vector<std::string> sortedLogFilePaths() = 0;
    virtual std::vector<std::string> sortedLogFileNames() = 0;
    /// Newest first.
    virtual std::vector<std::shared_ptr<LogFileInfo>> sortedLogFileInfos() = 0;
    /// Creates an empty new log file; returns its path, or nothing when none could be made.
    virtual std::optional<std::string> createNewLogFile() = 0;
    virtual uint64_t maximumNumberOfLogFiles() = 0;
    virtual void setMaximumNumberOfLogFiles(uint64_t count) = 0;
    /// The record for one of this manager's files.
    virtual std::shared_ptr<LogFileInfo> logFileInfoForPath(const std::string& path) {
        return LogFileInfo::logFileWithPath(path);
    }
    virtual void didArchiveLogFile(const std::string& /*path*/) {}
    virtual void didRollAndArchiveLogFile(const std::string& /*path*/) {}
};

/// Log files named "log-XXXXXX.txt" in one folder; keeps the newest
/// `maximumNumberOfLogFiles` archived files (5 by default, 0 keeps all) beside the
/// files still being written. Made with std::make_shared.
class LogFileManagerDefault : public LogFileManager, public std::enable_shared_from_this<LogFileManagerDefault> {
public:
    /// "Logs" in the sandbox's caches folder.
    LogFileManagerDefault();
    explicit LogFileManagerDefault(std::string logsDirectory);

    /// The folder, created with its parents when missing.
    std::string logsDirectory() override;
    std::vector<std::string> unsortedLogFilePaths() override;
    std::vector<std::string> unsortedLogFileNames() override;
    std::vector<std::shared_ptr<LogFileInfo>> unsortedLogFileInfos() override;
    std::vector<std::string> sortedLogFilePaths() override;
    std::vector<std::string> sortedLogFileNames() override;
    std::vector<std::shared_ptr<LogFileInfo>> sortedLogFileInfos() override;
    std::optional<std::string> createNewLogFile() override;
    uint64_t maximumNumberOfLogFiles() override { return maximumNumberOfLogFiles_.load(); }
    /// A new value different from the old one deletes surplus files (on the logging queue).
    void setMaximumNumberOfLogFiles(uint64_t count) override;

    /// Deletes archived files beyond the newest `maximumNumberOfLogFiles`. Files
    /// not archived (being written) are never deleted.
    void deleteOldLogFiles();
    /// Six upper-case hexadecimal digits, random.
    virtual std::string generateShortUUID();
    /// Whether a folder entry's name is that of a log file.
    static bool isLogFileName(const std::string& name);

private:
    std::atomic<uint64_t> maximumNumberOfLogFiles_{5};
    const std::string logsDirectory_;
    std::atomic<bool> reportedFolderError_{false};
    std::atomic<bool> reportedFileError_{false};
};

/// "yyyy/MM/dd HH:mm:ss:SSS" followed by two spaces and the message text.
class LogFileFormatterDefault : public LogFormatter {
public:
    using DateFormatter = std::function<std::string(LogDate)>;

    /// The local time zone, in the pattern above.
    LogFileFormatterDefault() = default;
    explicit LogFileFormatterDefault(DateFormatter dateFormatter) : dateFormatter_(std::move(dateFormatter)) {}

    FormattedMessage formatLogMessage(const LogMessage& message) override;
    /// Appends the line for `message`, without a newline, to `out`.
    void appendLine(const LogMessage& message, std::string& out) const;

    /// The default stamp of `date` in the local time zone.
    static void appendDefaultDate(LogDate date, std::string& out);

private:
    DateFormatter dateFormatter_;
};

/// Wall-clock time and the one-shot timers of a file logger; tests drive their own.
class LogTimeSource {
public:
    virtual ~LogTimeSource() = default;
    virtual LogDate now() = 0;
    /// Runs `work` on `queue` once `delay` has passed.
    virtual void runAfter(const std::shared_ptr<platform::SerialQueue>& queue, std::chrono::nanoseconds delay,
                          std::function<void()> work) = 0;

    /// The system's clock and the queue's own timers.
    static std::shared_ptr<LogTimeSource> system();
};

/// The rolling file logger ("strombel.logging.fileLogger"). Made with std::make_shared.
class FileLogger final : public AbstractLogger {
public:
    static constexpr uint64_t kDefaultMaximumFileSize = 1024 * 1024;
    static constexpr double kDefaultRollingFrequency = 60 * 60 * 24;

    /// Writes into the default logs folder ("Logs" in the caches folder) through a
    /// default manager of its own.
    FileLogger();
    explicit FileLogger(std::shared_ptr<LogFileManager> logFileManager,
                        std::shared_ptr<LogTimeSource> timeSource = LogTimeSource::system());
    ~FileLogger() override;

    void logMessage(const LogMessage& message) override;
    /// Writes a run of messages with as few writes as the size limit allows.
    void logMessages(std::span<const LogMessage> messages) override;
    /// Rolls the current file.
    void willRemoveLogger() override;

    const std::shared_ptr<LogFileManager>& logFileManager() const { return logFileManager_; }

    /// Bytes; 0 means no size limit. The getters wait on the logging queue and this
    /// logger's queue; the setters return at once and then check the limit.
    uint64_t maximumFileSize();
    void setMaximumFileSize(uint64_t bytes);
    /// Seconds; 0 or less means no age limit.
    double rollingFrequency();
    void setRollingFrequency(double seconds);

    /// Rolls the current file now (queued unless called on this logger's queue).
    void rollLogFile();

    /// The path of the file being written, or nothing (waits like the getters).
    std::optional<std::string> currentLogFilePath();

private:
    void appendLine(const LogMessage& message);
    void writePending();
    void rollLogFileNow();
    void maybeRollLogFileDueToSize();
    void maybeRollLogFileDueToAge();
    void scheduleTimerToRollLogFileDueToAge();
    std::shared_ptr<LogFileInfo> currentLogFileInfo();
    int currentLogFileHandle();
    void closeFile(bool syncToDisk);

    const std::shared_ptr<LogFileManager> logFileManager_;
    const std::shared_ptr<LogTimeSource> timeSource_;
    std::shared_ptr<LogFileInfo> currentLogFileInfo_;
    int currentLogFileHandle_ = -1;
    uint64_t writePosition_ = 0;
    std::string pending_;          // bytes formatted but not yet written
    std::optional<LogDate> timerDue_;  // when the waiting age timer fires, if one waits
    uint64_t timerGeneration_ = 0;     // identifies the latest timer
    std::shared_ptr<std::atomic<bool>> alive_;
    uint64_t maximumFileSize_ = kDefaultMaximumFileSize;
    double rollingFrequency_ = kDefaultRollingFrequency;
};

}  // namespace strombel::logging
