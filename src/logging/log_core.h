#pragma once

// The logging core: the class-wide front `Log`, its registry entries, the
// logging queue, and the per-class level registry.

#include <fmt/format.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "logging/log.h"
#include "logging/log_message.h"
#include "logging/logger.h"
#include "platform/notification_center.h"
#include "platform/serial_queue.h"

namespace strombel::logging {

/// One registry entry: a logger and the serial queue it is always called on.
struct LoggerNode {
    std::shared_ptr<Logger> logger;
    std::shared_ptr<platform::SerialQueue> loggerQueue;

    static LoggerNode nodeWithLogger(std::shared_ptr<Logger> logger,
                                     std::shared_ptr<platform::SerialQueue> loggerQueue) {
        return LoggerNode{std::move(logger), std::move(loggerQueue)};
    }
};

/// The serial queue "strombel.logging" on which every registry change and every
/// delivery runs. Work queued here is ordered against the messages logged before
/// and after it, so a setting takes effect between two messages.
class LoggingQueue {
public:
    void async(std::function<void()> work);
    /// Runs `work` on the logging queue and waits; inline when called there.
    void sync(const std::function<void()>& work);
    bool isCurrent() const;
    const std::string& label() const;
};

/// The class-wide front of logging (class operations only). Any thread may log
/// and change the registry. Every message reaches every logger registered when its
/// turn comes, each logger on its own queue, in the order each thread logged.
/// Asynchronous messages are written by the loggers' queues in parallel; a
/// synchronous one with no batch ahead of it is written by the calling thread
/// itself, holding the logging queue and then each logger's queue in turn.
/// At most 1000 messages are queued or in delivery: a caller beyond that waits.
class Log {
public:
    Log() = delete;

    static constexpr int kMaximumPendingMessages = 1000;

    /// The logging call: formats on the caller's thread and queues the message,
    /// waiting until every logger has written it unless `asynchronous`.
    template <typename... Args>
    static void log(bool asynchronous, int32_t level, int32_t flag, int32_t context, const char* file,
                    const char* function, int32_t line, LogTag tag, fmt::format_string<Args...> format,
                    Args&&... args) {
        queueLogMessage(LogMessage(fmt::format(format, std::forward<Args>(args)...), level, flag, context, file,
                                   function, line, std::move(tag)),
                        asynchronous);
    }

    /// The same with the format's arguments as an argument list; a null format logs
    /// nothing. A format checked only at run time that does not fit its arguments
    /// is written as it stands: the call never throws.
    static void logv(bool asynchronous, int32_t level, int32_t flag, int32_t context, const char* file,
                     const char* function, int32_t line, LogTag tag, const char* format, fmt::format_args args);

    /// Registers a logger (a null one is ignored); returns at once. A logger added
    /// twice receives every message twice.
    static void addLogger(std::shared_ptr<Logger> logger);
    /// Unregisters the first registration of `logger`; returns at once.
    static void removeLogger(const std::shared_ptr<Logger>& logger);
    static void removeAllLoggers();

    /// Returns once every message logged before it has been written and every
    /// logger has flushed. Called from a logger's own code (which the wait would
    /// deadlock) it queues the flush and returns at once.
    static void flushLog();

    /// Ends logging's threads for the rest of the process (at the program's end,
    /// once every other thread that logs has ended): writes out and flushes what
    /// was logged, then stops and joins the real-time log's drain, the logging
    /// queue and each registered logger's queue. Afterwards every message is
    /// written by the thread that logs it before the call returns.
    static void finish();

    static LoggingQueue& loggingQueue();

    /// Hands a built message to the logging queue (the second half of the logging
    /// call). Called from the logging queue or a logger's queue, it never waits:
    /// the message is queued asynchronously and does not wait for a free slot.
    static void queueLogMessage(LogMessage message, bool asynchronously);

    /// Observer of "UIApplicationWillTerminateNotification": flushes.
    static void applicationWillTerminate(const platform::Notification& notification);

    /// True on the logging queue, or on the queue of a registered logger.
    static bool isOnLoggingThread();

    // Per-class levels: a class takes part when it offers both the static
    // operations `int32_t ddLogLevel()` and `void ddSetLogLevel(int32_t)` and has
    // been registered by name (C++ has no list of a program's classes to search).

    template <typename Class>
    static bool registerClass(const std::string& name) {
        if constexpr (requires(int32_t level) {
                          { Class::ddLogLevel() } -> std::convertible_to<int32_t>;
                          Class::ddSetLogLevel(level);
                      }) {
            registerClassLevel(name, [] { return static_cast<int32_t>(Class::ddLogLevel()); },
                               [](int32_t level) { Class::ddSetLogLevel(level); });
            return true;
        } else {
            return false;
        }
    }
    /// Removes a registration (for tests and for classes of an unloaded module).
    static void unregisterClass(const std::string& name);
    static bool isRegisteredClass(const std::string& name);
    static std::vector<std::string> registeredClassNames();
    /// The class's level, or -1 (all bits set) when it is not registered.
    static int32_t logLevelForClassWithName(const std::string& name);
    /// Sets a registered class's level; does nothing for any other name.
    static void setLogLevelForClassWithName(int32_t level, const std::string& name);

private:
    static void registerClassLevel(const std::string& name, std::function<int32_t()> get,
                                   std::function<void(int32_t)> set);
};

}  // namespace strombel::logging
