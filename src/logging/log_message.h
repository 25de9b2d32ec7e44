#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace strombel::logging {

/// A caller-defined object carried by a message; loggers compare tags by identity.
using LogTag = std::shared_ptr<const void>;

/// Option bits of a `LogMessage`.
enum LogMessageOption : int32_t {
    LogMessageCopyFile = 1,
    LogMessageCopyFunction = 2,
};

/// One logged line. Built on the caller's thread, never changed afterwards, and
/// read by every logger on its own queue. A logger that wants a message beyond its
/// `logMessage` call copies it.
class LogMessage {
public:
    using Clock = std::chrono::system_clock;

    /// Fills the record: `file` and `function` are borrowed (they must outlive the
    /// record) unless the matching option bit asks for a private copy. The time,
    /// thread, queue label and thread name are those of the calling thread, now.
    LogMessage(std::string logMsg, int32_t level, int32_t flag, int32_t context, const char* file,
               const char* function, int32_t line, LogTag tag = {}, int32_t options = 0);

    LogMessage(LogMessage&&) noexcept = default;
    LogMessage& operator=(LogMessage&&) noexcept = default;
    LogMessage(const LogMessage& other);
    LogMessage& operator=(const LogMessage& other);

    int32_t logLevel() const { return logLevel_; }
    int32_t logFlag() const { return logFlag_; }
    int32_t logContext() const { return logContext_; }
    const std::string& logMsg() const { return logMsg_; }
    Clock::time_point timestamp() const { return timestamp_; }
    /// The call site's source path, or nullptr.
    const char* file() const;
    /// The calling function's name, or nullptr.
    const char* function() const;
    int32_t lineNumber() const { return lineNumber_; }
    /// The kernel id of the thread that logged.
    uint32_t machThreadID() const { return machThreadID_; }
    /// The label of the serial queue the message was logged from; empty when none.
    const std::string& queueLabel() const { return queueLabel_; }
    /// The logging thread's name (often empty): the name it had when it first logged.
    const char* threadName() const { return threadName_.data(); }
    const LogTag& tag() const { return tag_; }
    int32_t options() const { return options_; }

    /// `machThreadID` in lower-case hexadecimal without leading zeros.
    std::string threadID() const;
    /// The last component of `file` without its extension; nothing when there is no file.
    std::optional<std::string> fileName() const;
    /// `function` as a string; nothing when absent.
    std::optional<std::string> methodName() const;

    /// For tests and tools that build records by hand.
    void setTimestamp(Clock::time_point timestamp) { timestamp_ = timestamp; }
    void setMachThreadID(uint32_t threadId) { machThreadID_ = threadId; }
    /// Once every logger is done with the message and its record is kept for
    /// another: lets go of the caller's tag and of an unusually long text.
    void prepareForReuse() {
        if (tag_) tag_.reset();
        if (logMsg_.capacity() > 4096) std::string().swap(logMsg_);
    }

private:
    static const std::array<char, 16>& currentThreadName();

    int32_t logLevel_;
    int32_t logFlag_;
    int32_t logContext_;
    std::string logMsg_;
    Clock::time_point timestamp_;
    const char* file_;
    const char* function_;
    std::string fileCopy_;
    std::string functionCopy_;
    bool ownsFile_ = false;
    bool ownsFunction_ = false;
    int32_t lineNumber_;
    uint32_t machThreadID_;
    std::string queueLabel_;
    std::array<char, 16> threadName_{};
    LogTag tag_;
    int32_t options_;
};

/// The calling thread's kernel id, read once per thread.
uint32_t currentThreadId();

}  // namespace strombel::logging
