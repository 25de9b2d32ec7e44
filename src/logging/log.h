#pragma once

// src/logging/: levelled, asynchronous logging with its console, system-log and
// file loggers, and the path real-time threads log by.
// May include: platform.

// The one road by which every subsystem writes a diagnostic line.
//
//   STROMBEL_LOG_ERROR("could not open {}: {}", path, reason);
//
// Each macro tests its flag against the global level word first: a filtered call
// evaluates none of its arguments. Errors are logged synchronously (the call
// returns once every logger has written the line), everything else
// asynchronously. Format strings are checked at compile time (libfmt).
//
// Loggers are registered with `Log::addLogger` (logging/log_core.h): the
// system-log logger (logging/system_log_logger.h), the console logger
// (logging/tty_logger.h) and the rolling file logger (logging/file_logger.h).

#include <fmt/format.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace strombel::logging {

enum LogFlag : int32_t {
    LogFlagError = 1,
    LogFlagWarning = 2,
    LogFlagInfo = 4,
    LogFlagDebug = 8,
};

/// The process-wide level word: a mask of the flags to log. 0 until start-up sets it.
extern std::atomic<int32_t> ddLogLevel;

inline int32_t logLevel() { return ddLogLevel.load(std::memory_order_relaxed); }
inline void setLogLevel(int32_t level) { ddLogLevel.store(level, std::memory_order_relaxed); }

/// Hands one formatted line to the logging core (the macros call this). Waits
/// until every logger has written it unless `asynchronous`, and waits for room
/// while 1000 messages are outstanding.
void logMessage(bool asynchronous, int32_t level, int32_t flag, int32_t context, const char* file,
                const char* function, int32_t line, std::string message);

}  // namespace strombel::logging

#define STROMBEL_LOG_AT(flag_, asynchronous_, ...)                                                     \
    do {                                                                                              \
        const int32_t strombelLogLevel_ = ::strombel::logging::logLevel();                            \
        if (strombelLogLevel_ & (flag_)) {                                                            \
            ::strombel::logging::logMessage((asynchronous_), strombelLogLevel_, (flag_), 0, __FILE__, \
                                            __func__, __LINE__, ::fmt::format(__VA_ARGS__));          \
        }                                                                                             \
    } while (0)

#define STROMBEL_LOG_ERROR(...) STROMBEL_LOG_AT(::strombel::logging::LogFlagError, false, __VA_ARGS__)
#define STROMBEL_LOG_WARN(...) STROMBEL_LOG_AT(::strombel::logging::LogFlagWarning, true, __VA_ARGS__)
#define STROMBEL_LOG_INFO(...) STROMBEL_LOG_AT(::strombel::logging::LogFlagInfo, true, __VA_ARGS__)
#define STROMBEL_LOG_DEBUG(...) STROMBEL_LOG_AT(::strombel::logging::LogFlagDebug, true, __VA_ARGS__)
