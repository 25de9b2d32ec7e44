#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "logging/log_core.h"

namespace strombel::logging::testing {

/// A logger that keeps what it is given, for tests to look at.
class RecordingLogger : public AbstractLogger {
public:
    explicit RecordingLogger(std::string name = "test.recording") : AbstractLogger(std::move(name)) {}

    void logMessage(const LogMessage& message) override {
        if (beforeWrite) beforeWrite(message);
        FormattedMessage formatted = formatter() ? formatter()->formatLogMessage(message) : FormattedMessage::messageText();
        std::lock_guard lock(mutex_);
        if (const std::string* text = formatted.text(message)) lines_.push_back(*text);
        threads_.push_back(message.machThreadID());
        onQueue_ = onQueue_ && isOnInternalLoggerQueue();
        changed_.notify_all();
    }
    void flush() override {
        std::lock_guard lock(mutex_);
        ++flushes_;
    }
    void didAddLogger() override {
        std::lock_guard lock(mutex_);
        ++added_;
    }
    void willRemoveLogger() override {
        std::lock_guard lock(mutex_);
        ++removed_;
    }

    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    int flushes() const {
        std::lock_guard lock(mutex_);
        return flushes_;
    }
    int added() const {
        std::lock_guard lock(mutex_);
        return added_;
    }
    int removed() const {
        std::lock_guard lock(mutex_);
        return removed_;
    }
    bool alwaysOnOwnQueue() const {
        std::lock_guard lock(mutex_);
        return onQueue_;
    }
    /// Waits until `count` lines have arrived (for work that has no flush to wait on).
    void waitForLines(size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return lines_.size() >= count; });
    }

    /// Runs on the logger's queue before each message is recorded.
    std::function<void(const LogMessage&)> beforeWrite;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::vector<uint32_t> threads_;
    int flushes_ = 0;
    int added_ = 0;
    int removed_ = 0;
    bool onQueue_ = true;
};

/// Puts the logging core back as a test found it.
inline void resetLogging() {
    Log::removeAllLoggers();
    Log::flushLog();
    setLogLevel(0);
}

}  // namespace strombel::logging::testing
