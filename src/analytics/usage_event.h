#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analytics/keyed_archive.h"
#include "analytics/usage_environment.h"
#include "json/value.h"

namespace strombel::analytics {

using Bytes = std::vector<uint8_t>;

/// One logged event: name, start and end, whether it is timed, its parameters
/// (texts or numbers, at most 10) and its id.
class UsageEvent {
public:
    UsageEvent() = default;
    /// Starts now, takes a new id, merges `parameters`.
    UsageEvent(const std::string& name, bool timed, const json::Value& parameters, UsageDate now);

    std::string name;
    UsageDate started = 0;
    std::optional<UsageDate> ended;
    bool timed = false;
    bool automaticallyEnded = false;
    /// An object of texts and numbers.
    json::Value parameters = json::Value::emptyObject();
    int32_t eventLogId = 0;

    /// The next value of the process-wide event counter (kind 2).
    void updateID();
    /// Adds or replaces entries; values other than texts and numbers are dropped;
    /// a result of more than 10 entries drops the whole merge.
    void updateParameters(const json::Value& more);
    bool isUnterminated() const { return timed && !ended; }
    int64_t startOffsetFromSessionStart(UsageDate sessionStart) const;
    /// Milliseconds from start to end; 0 unless timed and ended.
    int64_t duration() const;

    /// Appends the event record, its times relative to the session's start.
    void dataRelativeToSessionStart(UsageDate sessionStart, Bytes& data) const;

    ArchiveValue archived() const;
    /// Nothing when the archive is not an event.
    static std::optional<UsageEvent> fromArchive(const ArchiveValue& value);
};

/// One recorded error: 1 an error object, 2 an exception, 3 a crash.
class UsageError {
public:
    int32_t errorID = 0;
    int32_t errorType = 0;
    UsageDate date = 0;
    std::optional<std::string> errorString;
    std::optional<std::string> errorMessage;
    std::optional<std::string> exceptionString;
    Bytes reportData;

    /// Takes the next error id (kind 1) and `now` as its date.
    static UsageError errorWithString(const std::optional<std::string>& errorString,
                                      const std::optional<std::string>& message,
                                      const std::optional<std::string>& exceptionString, int32_t errorType,
                                      Bytes reportData, UsageDate now);
    std::string description() const;
    void appendToData(Bytes& data) const;

    ArchiveValue archived() const;
    static std::optional<UsageError> fromArchive(const ArchiveValue& value);
};

/// Text of a parameter value as the records carry it (a number as its number text).
std::string parameterText(const json::Value& value);

}  // namespace strombel::analytics
