#include "logging/file_logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <typeinfo>

#include "logging/log_core.h"
#include "logging/text_output.h"

namespace strombel::logging {
namespace {

class SystemTimeSource final : public LogTimeSource {
public:
    LogDate now() override { return std::chrono::system_clock::now(); }
    void runAfter(const std::shared_ptr<platform::SerialQueue>& queue, std::chrono::nanoseconds delay,
                  std::function<void()> work) override {
        queue->asyncAfter(static_cast<uint64_t>(std::max<int64_t>(0, delay.count())), std::move(work));
    }
};

// Appends `text`, with ill-formed UTF-8 replaced.
void appendText(std::string_view text, std::string& out) {
    if (isValidUtf8(text)) {
        out.append(text);
    } else {
        out.append(withReplacementCharacters(text));
    }
}

}  // namespace

std::shared_ptr<LogTimeSource> LogTimeSource::system() {
    static const std::shared_ptr<LogTimeSource> source = std::make_shared<SystemTimeSource>();
    return source;
}

// ---- LogFileFormatterDefault

void LogFileFormatterDefault::appendDefaultDate(LogDate date, std::string& out) {
    // The calendar fields change once a second; each thread keeps the last ones.
    thread_local std::time_t cachedSecond = -1;
    thread_local char cachedPrefix[20] = {};
    thread_local size_t cachedPrefixLength = 0;
    auto sinceEpoch = date.time_since_epoch();
    auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    int milliseconds =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count());
    std::time_t second = static_cast<std::time_t>(seconds.count());
    if (second != cachedSecond) {
        std::tm local{};
        ::localtime_r(&second, &local);
        auto end = fmt::format_to_n(cachedPrefix, 19, "{:04d}/{:02d}/{:02d} {:02d}:{:02d}:{:02d}",
                                    local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                                    local.tm_sec);
        cachedPrefixLength = std::min<size_t>(end.size, 19);
        cachedSecond = second;
    }
    out.append(cachedPrefix, cachedPrefixLength);
    char tail[4] = {':', static_cast<char>('0' + milliseconds / 100), static_cast<char>('0' + milliseconds / 10 % 10),
                    static_cast<char>('0' + milliseconds % 10)};
    out.append(tail, sizeof tail);
}

void LogFileFormatterDefault::appendLine(const LogMessage& message, std::string& out) const {
    if (dateFormatter_) {
        out.append(dateFormatter_(message.timestamp()));
    } else {
        appendDefaultDate(message.timestamp(), out);
    }
    out.append("  ");
    out.append(message.logMsg());
}

FormattedMessage LogFileFormatterDefault::formatLogMessage(const LogMessage& message) {
    std::string line;
    appendLine(message, line);
    return FormattedMessage(std::move(line));
}

// ---- FileLogger

FileLogger::FileLogger() : FileLogger(std::make_shared<LogFileManagerDefault>()) {}

FileLogger::FileLogger(std::shared_ptr<LogFileManager> logFileManager, std::shared_ptr<LogTimeSource> timeSource)
    : AbstractLogger("strombel.logging.fileLogger"),
      logFileManager_(std::move(logFileManager)),
      timeSource_(std::move(timeSource)),
      alive_(std::make_shared<std::atomic<bool>>(true)) {
    setInitialFormatter(std::make_shared<LogFileFormatterDefault>());
}

FileLogger::~FileLogger() {
    auto close = [this] {
        alive_->store(false);
        writePending();
        closeFile(true);
    };
    if (isOnInternalLoggerQueue()) {
        close();
    } else {
        loggerQueue()->sync(close);
    }
}

void FileLogger::logMessage(const LogMessage& message) {
    appendLine(message);
    writePending();
}

void FileLogger::logMessages(std::span<const LogMessage> messages) {
    for (const LogMessage& message : messages) appendLine(message);
    writePending();
}

void FileLogger::appendLine(const LogMessage& message) {
    const size_t start = pending_.size();
    const std::shared_ptr<LogFormatter>& lineFormatter = formatter();
    LogFormatter* const given = lineFormatter.get();
    if (given && typeid(*given) == typeid(LogFileFormatterDefault)) {
        // The usual case: lay the line out straight into the write buffer. A
        // subclass of the default formatter may lay out its own line: it is asked.
        static_cast<LogFileFormatterDefault*>(given)->appendLine(message, pending_);
        if (!isValidUtf8(std::string_view(pending_).substr(start))) {
            std::string repaired = withReplacementCharacters(std::string_view(pending_).substr(start));
            pending_.resize(start);
            pending_.append(repaired);
        }
    } else {
        FormattedMessage formatted =
            lineFormatter ? lineFormatter->formatLogMessage(message) : FormattedMessage::messageText();
        const std::string* text = formatted.text(message);
        if (!text) return;  // no text (a suppressed line) writes nothing
        appendText(*text, pending_);
    }
    // An empty text is a line of its own: a newline.
    if (pending_.size() == start || pending_.back() != '\n') pending_.push_back('\n');
    if (currentLogFileHandle() < 0) {
        pending_.resize(start);  // no file to write to: the line is lost, the next may fare better
        return;
    }
    if (maximumFileSize_ != 0 && writePosition_ + pending_.size() >= maximumFileSize_) {
        writePending();
        maybeRollLogFileDueToSize();
    }
}

void FileLogger::writePending() {
    if (pending_.empty()) return;
    if (currentLogFileHandle_ >= 0) {
        iovec piece{pending_.data(), pending_.size()};
        if (writeAll(currentLogFileHandle_, std::span(&piece, 1))) {
            writePosition_ += pending_.size();
        } else {
            // A full disk or a vanished file: find out where the file really ends.
            struct stat attributes {};
            if (::fstat(currentLogFileHandle_, &attributes) == 0) {
                writePosition_ = static_cast<uint64_t>(attributes.st_size);
            }
        }
    }
    pending_.clear();
}

void FileLogger::willRemoveLogger() { rollLogFileNow(); }

uint64_t FileLogger::maximumFileSize() {
    return readSetting([this] { return maximumFileSize_; });
}

void FileLogger::setMaximumFileSize(uint64_t bytes) {
    changeSetting([this, bytes] {
        maximumFileSize_ = bytes;
        maybeRollLogFileDueToSize();
    });
}

double FileLogger::rollingFrequency() {
    return readSetting([this] { return rollingFrequency_; });
}

void FileLogger::setRollingFrequency(double seconds) {
    changeSetting([this, seconds] {
        rollingFrequency_ = seconds;
        maybeRollLogFileDueToAge();
    });
}

std::optional<std::string> FileLogger::currentLogFilePath() {
    return readSetting([this]() -> std::optional<std::string> {
        if (!currentLogFileInfo_) return std::nullopt;
        return currentLogFileInfo_->filePath();
    });
}

void FileLogger::rollLogFile() { changeSettingHereOrQueued([this] { rollLogFileNow(); }); }

void FileLogger::closeFile(bool syncToDisk) {
    if (currentLogFileHandle_ < 0) return;
    if (syncToDisk) ::fsync(currentLogFileHandle_);
    ::close(currentLogFileHandle_);
    currentLogFileHandle_ = -1;
}

void FileLogger::rollLogFileNow() {
    writePending();
    if (currentLogFileHandle_ < 0) return;
    closeFile(true);
    currentLogFileInfo_->setIsArchived(true);
    logFileManager_->didRollAndArchiveLogFile(currentLogFileInfo_->filePath());
    currentLogFileInfo_.reset();  // a timer that fires now finds no file and does nothing
}

void FileLogger::maybeRollLogFileDueToSize() {
    if (maximumFileSize_ != 0 && currentLogFileHandle_ >= 0 && writePosition_ + pending_.size() >= maximumFileSize_) {
        rollLogFileNow();
    }
}

void FileLogger::maybeRollLogFileDueToAge() {
    if (rollingFrequency_ > 0 && currentLogFileInfo_ && currentLogFileInfo_->age(timeSource_->now()) >= rollingFrequency_) {
        rollLogFileNow();
    } else {
        scheduleTimerToRollLogFileDueToAge();
    }
}

void FileLogger::scheduleTimerToRollLogFileDueToAge() {
    if (!currentLogFileInfo_ || !(rollingFrequency_ > 0)) return;
    LogDate now = timeSource_->now();
    LogDate created = currentLogFileInfo_->creationDate().value_or(now);
    LogDate due = created + std::chrono::duration_cast<LogDate::duration>(std::chrono::duration<double>(rollingFrequency_));
    // Timers cannot be taken back, so at most one waits at a time: one due no later
    // than this one fires first and checks again (an early check only reschedules).
    if (timerDue_ && *timerDue_ <= due) return;
    timerDue_ = due;
    const uint64_t generation = ++timerGeneration_;
    auto delay = std::chrono::duration_cast<std::chrono::nanoseconds>(due - now);
    if (delay.count() < 0) delay = std::chrono::nanoseconds(0);
    timeSource_->runAfter(loggerQueue(), delay, [this, alive = alive_, generation] {
        if (!alive->load()) return;
        if (generation == timerGeneration_) timerDue_.reset();
        if (currentLogFileInfo_) maybeRollLogFileDueToAge();
    });
}

std::shared_ptr<LogFileInfo> FileLogger::currentLogFileInfo() {
    if (currentLogFileInfo_) return currentLogFileInfo_;
    std::vector<std::shared_ptr<LogFileInfo>> infos = logFileManager_->sortedLogFileInfos();
    if (!infos.empty() && !infos.front()->isArchived()) {
        std::shared_ptr<LogFileInfo> newest = infos.front();
        bool finished = (maximumFileSize_ != 0 && newest->fileSize() >= maximumFileSize_) ||
                        (rollingFrequency_ > 0 && newest->age(timeSource_->now()) >= rollingFrequency_);
        if (finished) {
            newest->setIsArchived(true);
            logFileManager_->didArchiveLogFile(newest->filePath());
        } else {
            currentLogFileInfo_ = newest;
        }
    }
    if (!currentLogFileInfo_) {
        if (std::optional<std::string> path = logFileManager_->createNewLogFile()) {
            currentLogFileInfo_ = logFileManager_->logFileInfoForPath(*path);
        }
    }
    return currentLogFileInfo_;
}

int FileLogger::currentLogFileHandle() {
    if (currentLogFileHandle_ >= 0) return currentLogFileHandle_;
    std::shared_ptr<LogFileInfo> info = currentLogFileInfo();
    if (!info) return -1;
    int fd = ::open(info->filePath().c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        // The file went away: choose (or make) another with the next message.
        currentLogFileInfo_.reset();
        return -1;
    }
    struct stat attributes {};
    writePosition_ = ::fstat(fd, &attributes) == 0 ? static_cast<uint64_t>(attributes.st_size) : 0;
    currentLogFileHandle_ = fd;
    scheduleTimerToRollLogFileDueToAge();
    return fd;
}

}  // namespace strombel::logging
