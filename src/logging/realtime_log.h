#pragma once

// Logging from real-time threads (the audio callbacks, the sequencer's timing
// passes, MIDI input callbacks).
//
//   STROMBEL_RT_LOG_ERROR("** illegal Track state change!! {} -> {}", from, to);
//
// On a thread inside a platform::RealtimeScope the line is not formatted there:
// a fixed-size record (the format, which must be a string literal, and its
// arguments copied by value: integers, floating point numbers, booleans and
// texts of up to 160 bytes in all) goes into a lock-free ring, and the logging
// side's drain thread formats it and hands it to the loggers, in the order the
// records were queued. An error still reaches every logger before the drain goes
// on to the next record; it is just not written from the real-time thread.
// On any other thread these macros log exactly as STROMBEL_LOG_* do.
//
// The ring holds 2048 records; the last quarter is kept for errors, so a flood
// of warnings never crowds one out. A record the ring cannot take is counted
// (`realtimeLogOverruns`) and reported by the drain thread.

#include <fmt/format.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "logging/log.h"
#include "platform/realtime.h"

namespace strombel::logging {

/// One argument of a real-time record, copied by value.
struct RealtimeLogArgument {
    enum class Type : uint8_t { signedInteger, unsignedInteger, floating, boolean, text };
    Type type = Type::signedInteger;
    uint16_t textOffset = 0;
    uint16_t textLength = 0;
    union {
        int64_t signedInteger;
        uint64_t unsignedInteger;
        double floating;
        bool boolean;
    } value{};
};

/// A log line as a real-time thread leaves it: nothing in it points to memory
/// the thread owns, except the format, file and function, which are literals.
struct RealtimeLogRecord {
    static constexpr size_t kMaxArguments = 6;
    static constexpr size_t kTextBytes = 160;

    bool asynchronous = true;
    int32_t level = 0;
    int32_t flag = 0;
    const char* file = nullptr;
    const char* function = nullptr;
    int32_t line = 0;
    const char* format = nullptr;
    size_t formatLength = 0;
    int64_t timestampNanos = 0;  // system clock, when the line was logged
    uint32_t threadId = 0;
    uint8_t argumentCount = 0;
    std::array<RealtimeLogArgument, kMaxArguments> arguments{};
    uint16_t textUsed = 0;
    std::array<char, kTextBytes> text{};

    void add(int64_t value) { next(RealtimeLogArgument::Type::signedInteger).value.signedInteger = value; }
    void add(uint64_t value) { next(RealtimeLogArgument::Type::unsignedInteger).value.unsignedInteger = value; }
    void add(double value) { next(RealtimeLogArgument::Type::floating).value.floating = value; }
    void add(bool value) { next(RealtimeLogArgument::Type::boolean).value.boolean = value; }
    /// Copies the text, cut at the room left.
    void add(std::string_view value);

private:
    RealtimeLogArgument& next(RealtimeLogArgument::Type type) {
        RealtimeLogArgument& argument = arguments[argumentCount++];
        argument.type = type;
        return argument;
    }
};

namespace realtime_detail {

template <class T>
void addArgument(RealtimeLogRecord& record, const T& value) {
    using U = std::decay_t<T>;
    if constexpr (std::is_same_v<U, bool>) {
        record.add(value);
    } else if constexpr (std::is_enum_v<U>) {
        record.add(static_cast<int64_t>(value));
    } else if constexpr (std::is_integral_v<U> && std::is_signed_v<U>) {
        record.add(static_cast<int64_t>(value));
    } else if constexpr (std::is_integral_v<U>) {
        record.add(static_cast<uint64_t>(value));
    } else if constexpr (std::is_floating_point_v<U>) {
        record.add(static_cast<double>(value));
    } else {
        static_assert(std::is_convertible_v<const U&, std::string_view>,
                      "a real-time log argument is a number, a boolean or a text");
        record.add(std::string_view(value));
    }
}

/// Claims a ring slot for a record of `flag` and fills it with `fill`; false
/// (counted) when the ring has no room for it. Never allocates, locks or waits.
bool claimAndFill(int32_t flag, void (*fill)(RealtimeLogRecord&, const void*), const void* context);

void stamp(RealtimeLogRecord& record);

}  // namespace realtime_detail

/// Queues a line from a real-time thread (the macros call this). Never
/// allocates, locks, waits or writes.
template <typename... Args>
void logFromRealtimeThread(bool asynchronous, int32_t level, int32_t flag, const char* file, const char* function,
                           int32_t line, fmt::format_string<Args...> format, const Args&... args) {
    static_assert(sizeof...(Args) <= RealtimeLogRecord::kMaxArguments, "too many real-time log arguments");
    struct Context {
        bool asynchronous;
        int32_t level, flag;
        const char *file, *function;
        int32_t line;
        fmt::string_view format;
        std::tuple<const Args&...> args;
    } context{asynchronous, level, flag, file, function, line, fmt::string_view(format), std::tuple<const Args&...>(args...)};
    realtime_detail::claimAndFill(
        flag,
        [](RealtimeLogRecord& record, const void* raw) {
            const Context& from = *static_cast<const Context*>(raw);
            record.asynchronous = from.asynchronous;
            record.level = from.level;
            record.flag = from.flag;
            record.file = from.file;
            record.function = from.function;
            record.line = from.line;
            record.format = from.format.data();
            record.formatLength = from.format.size();
            record.argumentCount = 0;
            record.textUsed = 0;
            realtime_detail::stamp(record);
            std::apply([&record](const auto&... each) { (realtime_detail::addArgument(record, each), ...); },
                       from.args);
        },
        &context);
}

/// Real-time records refused because the ring was full, since the program began.
uint64_t realtimeLogOverruns();

/// Returns once every real-time record queued before the call has been handed to
/// the loggers (errors written, the others queued). Not from a real-time thread.
void flushRealtimeLog();

/// Makes sure the drain thread runs (the logging core calls this when it starts).
void startRealtimeLogDrain();

/// Hands over what is queued, then ends the drain thread and joins it (at the
/// program's end, once no real-time thread runs). Afterwards `flushRealtimeLog`
/// hands records over on the calling thread, and the drain is never started again.
void stopRealtimeLogDrain();

}  // namespace strombel::logging

#define STROMBEL_RT_LOG_AT(flag_, asynchronous_, ...)                                                            \
    do {                                                                                                         \
        const int32_t strombelLogLevel_ = ::strombel::logging::logLevel();                                       \
        if (strombelLogLevel_ & (flag_)) {                                                                       \
            if (::strombel::platform::isRealtimeThread()) {                                                      \
                ::strombel::logging::logFromRealtimeThread((asynchronous_), strombelLogLevel_, (flag_), __FILE__, \
                                                           __func__, __LINE__, __VA_ARGS__);                     \
            } else {                                                                                             \
                ::strombel::logging::logMessage((asynchronous_), strombelLogLevel_, (flag_), 0, __FILE__,        \
                                                __func__, __LINE__, ::fmt::format(__VA_ARGS__));                 \
            }                                                                                                    \
        }                                                                                                        \
    } while (0)

#define STROMBEL_RT_LOG_ERROR(...) STROMBEL_RT_LOG_AT(::strombel::logging::LogFlagError, false, __VA_ARGS__)
#define STROMBEL_RT_LOG_WARN(...) STROMBEL_RT_LOG_AT(::strombel::logging::LogFlagWarning, true, __VA_ARGS__)
#define STROMBEL_RT_LOG_DEBUG(...) STROMBEL_RT_LOG_AT(::strombel::logging::LogFlagDebug, true, __VA_ARGS__)
