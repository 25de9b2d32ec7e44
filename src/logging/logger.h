#pragma once

// What a logger and a formatter offer the logging core, and the base class of
// every logger.

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "logging/log_message.h"
#include "platform/serial_queue.h"

namespace strombel::logging {

class Logger;

/// What a formatter makes of one message: no line at all, the message's own text
/// as it is, or a text of its own.
class FormattedMessage {
public:
    enum class Kind { Suppressed, MessageText, Text };

    /// Writes no line.
    static FormattedMessage suppressed() { return FormattedMessage(Kind::Suppressed, {}); }
    /// The message's own text object, unchanged (loggers then add their usual prefix).
    static FormattedMessage messageText() { return FormattedMessage(Kind::MessageText, {}); }
    /// A text of the formatter's own, written as the whole line.
    FormattedMessage(std::string text) : kind_(Kind::Text), text_(std::move(text)) {}  // NOLINT

    Kind kind() const { return kind_; }
    /// The text to write for `message`, or nullptr when the line is suppressed.
    const std::string* text(const LogMessage& message) const {
        switch (kind_) {
            case Kind::Suppressed: return nullptr;
            case Kind::MessageText: return &message.logMsg();
            case Kind::Text: return &text_;
        }
        return nullptr;
    }

private:
    FormattedMessage(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
    Kind kind_;
    std::string text_;
};

/// Turns a message into the text a logger writes. Called on the logger's queue; a
/// formatter shared by several loggers is called from several queues at once.
class LogFormatter {
public:
    virtual ~LogFormatter() = default;
    virtual FormattedMessage formatLogMessage(const LogMessage& message) = 0;
    /// Told on the logger's queue when it is set on / taken off `logger`.
    virtual void didAddToLogger(Logger& /*logger*/) {}
    virtual void willRemoveFromLogger(Logger& /*logger*/) {}
};

/// A destination for messages. The logging core calls a logger only on the
/// logger's own serial queue (`loggerQueue()`, or a queue the core makes for it).
/// A logger's own code must not wait for the logging queue; the core keeps
/// logging, flushing and formatter reads from there from deadlocking.
class Logger {
public:
    virtual ~Logger() = default;

    /// Writes one message. The message is valid only during the call.
    virtual void logMessage(const LogMessage& message) = 0;
    /// Writes a run of messages in order; the core delivers messages this way.
    /// The default calls `logMessage` for each.
    virtual void logMessages(std::span<const LogMessage> messages) {
        for (const LogMessage& message : messages) logMessage(message);
    }

    virtual std::shared_ptr<LogFormatter> logFormatter() = 0;
    virtual void setLogFormatter(std::shared_ptr<LogFormatter> formatter) = 0;

    virtual void didAddLogger() {}
    virtual void willRemoveLogger() {}
    /// Writes out whatever the logger holds back. Called on the logger's queue.
    virtual void flush() {}
    /// The queue the logger wants to be called on; nullptr lets the core make one.
    virtual std::shared_ptr<platform::SerialQueue> loggerQueue() { return nullptr; }
    /// Names the logger and its queue.
    virtual std::string loggerName() const { return {}; }
};

/// The base of the concrete loggers: a serial queue of its own labelled with the
/// logger's name, and a formatter changed only between two messages.
/// Loggers derived from it are made with std::make_shared.
class AbstractLogger : public Logger, public std::enable_shared_from_this<AbstractLogger> {
public:
    explicit AbstractLogger(std::string loggerName);
    ~AbstractLogger() override;
    AbstractLogger(const AbstractLogger&) = delete;
    AbstractLogger& operator=(const AbstractLogger&) = delete;

    void logMessage(const LogMessage&) override {}

    /// The formatter that message delivery sees now. Waits for the logging queue and
    /// then this logger's queue (only this logger's queue when called from a
    /// logging thread, and nothing when called on this logger's own queue).
    std::shared_ptr<LogFormatter> logFormatter() override;
    /// Returns at once; the change reaches this logger's queue through the logging
    /// queue, so it takes effect between two messages.
    void setLogFormatter(std::shared_ptr<LogFormatter> formatter) override;

    std::shared_ptr<platform::SerialQueue> loggerQueue() override { return queue_; }
    std::string loggerName() const override { return name_; }

    bool isOnGlobalLoggingQueue() const;
    bool isOnInternalLoggerQueue() const { return queue_->isCurrent(); }

protected:
    /// The formatter; read only on this logger's queue.
    const std::shared_ptr<LogFormatter>& formatter() const { return formatter_; }

    /// Sets the formatter of a logger under construction (no queue involved).
    void setInitialFormatter(std::shared_ptr<LogFormatter> formatter) { formatter_ = std::move(formatter); }

    /// Runs `read` on this logger's queue as the getters do and returns its result.
    template <typename Read>
    auto readSetting(Read read) {
        using Value = decltype(read());
        if (isOnInternalLoggerQueue()) return read();
        std::optional<Value> value;
        runSettingSync([&] { value.emplace(read()); });
        return std::move(*value);
    }

    /// Runs `change` on this logger's queue, reached through the logging queue;
    /// returns at once. The logger is kept alive until the change has run.
    void changeSetting(std::function<void()> change);

    /// Runs `change` directly on this logger's queue, otherwise as `changeSetting`.
    void changeSettingHereOrQueued(std::function<void()> change);

private:
    void runSettingSync(const std::function<void()>& work);

    const std::string name_;
    std::shared_ptr<platform::SerialQueue> queue_;
    std::shared_ptr<LogFormatter> formatter_;
};

}  // namespace strombel::logging
