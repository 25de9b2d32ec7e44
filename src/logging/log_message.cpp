#include "logging/log_message.h"

#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fmt/format.h>

#include <string_view>

#include "platform/serial_queue.h"

namespace strombel::logging {

uint32_t currentThreadId() {
    thread_local const uint32_t id = static_cast<uint32_t>(::syscall(SYS_gettid));
    return id;
}

const std::array<char, 16>& LogMessage::currentThreadName() {
    // Read once per thread: asking the kernel costs a system call per message.
    thread_local const std::array<char, 16> name = [] {
        std::array<char, 16> text{};
        ::prctl(PR_GET_NAME, text.data(), 0, 0, 0);  // at most 16 bytes, zero-terminated
        text.back() = '\0';
        return text;
    }();
    return name;
}

LogMessage::LogMessage(std::string logMsg, int32_t level, int32_t flag, int32_t context, const char* file,
                       const char* function, int32_t line, LogTag tag, int32_t options)
    : logLevel_(level),
      logFlag_(flag),
      logContext_(context),
      logMsg_(std::move(logMsg)),
      timestamp_(Clock::now()),
      file_(file),
      function_(function),
      lineNumber_(line),
      machThreadID_(currentThreadId()),
      tag_(std::move(tag)),
      options_(options) {
    if ((options_ & LogMessageCopyFile) && file_) {
        fileCopy_ = file_;
        ownsFile_ = true;
    }
    if ((options_ & LogMessageCopyFunction) && function_) {
        functionCopy_ = function_;
        ownsFunction_ = true;
    }
    if (const platform::SerialQueue* queue = platform::SerialQueue::current()) {
        queueLabel_ = queue->label();
    }
    threadName_ = currentThreadName();
}

LogMessage::LogMessage(const LogMessage& other) { *this = other; }

LogMessage& LogMessage::operator=(const LogMessage& other) {
    if (this == &other) return *this;
    logLevel_ = other.logLevel_;
    logFlag_ = other.logFlag_;
    logContext_ = other.logContext_;
    logMsg_ = other.logMsg_;
    timestamp_ = other.timestamp_;
    file_ = other.file_;
    function_ = other.function_;
    fileCopy_ = other.fileCopy_;
    functionCopy_ = other.functionCopy_;
    ownsFile_ = other.ownsFile_;
    ownsFunction_ = other.ownsFunction_;
    lineNumber_ = other.lineNumber_;
    machThreadID_ = other.machThreadID_;
    queueLabel_ = other.queueLabel_;
    threadName_ = other.threadName_;
    tag_ = other.tag_;
    options_ = other.options_;
    return *this;
}

const char* LogMessage::file() const { return ownsFile_ ? fileCopy_.c_str() : file_; }

const char* LogMessage::function() const { return ownsFunction_ ? functionCopy_.c_str() : function_; }

std::string LogMessage::threadID() const { return fmt::format("{:x}", machThreadID_); }

std::optional<std::string> LogMessage::fileName() const {
    const char* path = file();
    if (!path) return std::nullopt;
    std::string_view name(path);
    if (size_t slash = name.rfind('/'); slash != std::string_view::npos) name.remove_prefix(slash + 1);
    if (size_t dot = name.rfind('.'); dot != std::string_view::npos) name = name.substr(0, dot);
    return std::string(name);
}

std::optional<std::string> LogMessage::methodName() const {
    const char* name = function();
    if (!name) return std::nullopt;
    return std::string(name);
}

}  // namespace strombel::logging
