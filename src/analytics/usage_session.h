#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/keyed_archive.h"
#include "analytics/usage_event.h"
#include "json/error.h"
#include "json/value.h"
#include "platform/error.h"

namespace strombel::analytics {

class UsageImpl;

/// One analytics session: its times, events, errors, page views, location, user
/// facts and device parameters. The class keeps the saved sessions (finished,
/// not yet uploaded), the current-session file that outlives a crash and the
/// first-use time. Every operation runs on the analytics queue.
class UsageSession {
public:
    // ---- Class operations ----
    /// Makes the queue object the current session holder and sets it up for `key`.
    static void setupCurrentSessionWithKey(const std::optional<std::string>& key);
    /// The queue object, or null before the first session was set up.
    static std::shared_ptr<UsageImpl> currentSession();
    /// Cleans the queue object up, forgets it and cleans the upload queue up.
    static void cleanup();

    /// A new session; a session left in the current-session file by a run that
    /// did not end it (with its crash report, when one is pending) is saved first.
    static std::unique_ptr<UsageSession> sessionWithApiKey(const std::string& key, UsageDate startTime);

    static std::vector<Bytes> savedSessions();
    static void setSavedSessions(const std::vector<Bytes>& records);
    static void addToSavedSessions(UsageSession& session);
    static std::vector<Bytes> removeOldSessionsIfNecessary(std::vector<Bytes> records);
    static void setMaxSessions(int32_t count);
    static int32_t maxSessions();
    static std::filesystem::path sessionsFilePath();
    static std::filesystem::path currentSessionFilePath();
    static void removeCurrentSessionFile();
    static std::filesystem::path initialTimestampFilePath();
    static std::filesystem::path oldInitialTimestampFilePathUptilAgentVersion109();
    /// Truncates toward zero to three decimals.
    static double reduceLocationPrecision(double value);
    static std::string getAgentVersion();
    static std::string getAgentVersionWithBuild();

    // ---- Life ----
    UsageSession(const std::string& apiKey, std::optional<std::string> appVersion, UsageDate startDate);

    void recordEvent(const std::optional<std::string>& name, const json::Value& parameters, bool timed);
    void endTimedEvent(const std::string& name, const json::Value& parameters);
    /// An exception's name and reason, or none.
    void recordErrorWithException(const std::string& errorID, const std::string& message,
                                  const std::optional<std::pair<std::string, std::string>>& exception,
                                  const Bytes& liveReport);
    void recordErrorWithError(const std::string& errorID, const std::string& message,
                              const std::optional<platform::Error>& error, const Bytes& liveReport);
    void recordError(const std::string& errorID, const std::string& message,
                     const std::optional<std::string>& exceptionString, int32_t errorType, const Bytes& liveReport);
    void recordPurchaseItem(const json::Value& item);
    void maybeIncrementPageView();
    void setLatitude(double latitude, double longitude, float horizontalAccuracy, float verticalAccuracy);
    void setUserID(const std::optional<std::string>& userID);
    void setGenderAsString(const std::optional<std::string>& gender);
    void setAgeInYears(int32_t years);
    void setEventLoggingEnabled(bool enabled);
    void setSessionReportsOnCloseEnabled(bool enabled);
    void setSessionReportsOnPauseEnabled(bool enabled);
    void setCrashReportingEnabled(bool enabled);

    void pauseSession();
    void markSessionAsResuming();
    void resumeSession();
    void archiveSession();
    /// A new session that takes over this one's pending events.
    std::unique_ptr<UsageSession> sessionWithNewEventsWithApiKey(const std::string& key, UsageDate startTime);
    void finishSession();
    void endSession();
    /// What became of a send: its envelope's block reached the disk and the
    /// upload queue (the saved sessions went with it), an envelope was made but
    /// its block did not reach the disk (the saved sessions stay), or nothing
    /// was sent (the user opted out, or the device has no identifier).
    enum class SendOutcome { stored, notStored, notSent };
    SendOutcome sendSessionsToServerIncludingCurrentSession(bool includeCurrent);
    void sendSessionsToServerForCreateSession() { sendSessionsToServerIncludingCurrentSession(false); }

    /// The session record (format 3); nothing when it cannot be written.
    std::optional<Bytes> data();
    /// The upload envelope over `records`, written by this session; nothing when
    /// the device has no identifier.
    std::optional<Bytes> dataForSessions(const std::vector<Bytes>& records);
    /// The first-use time, from the keychain, the legacy file or this session.
    UsageDate initialTimestamp();
    bool sentReportSuccessful() const;
    int64_t sessionLength() const;
    int64_t timeIntervalSinceSessionStart(UsageDate date) const;
    bool isPaused() const { return pauseTime.has_value(); }

    void writeCurrentSessionFile();
    /// An error leaves the current-session file behind the session instead of
    /// writing it; the queue object writes it after the error, at once or, when
    /// work waits behind the error, by one write queued behind that work (so a
    /// burst of errors costs one write). Answers true when no such write waits
    /// yet: the caller then queues `writeCurrentSessionFileIfBehind`.
    bool currentSessionFileWriteWanted();
    void writeCurrentSessionFileIfBehind();
    ArchiveValue archived();
    static std::unique_ptr<UsageSession> fromArchive(const ArchiveValue& value);

    /// Fills the device parameters of `phase` (0 start, 1 finish).
    void getSessionParametersAtPhase(int phase);
    /// The changed flag of a tracked property: 0 untracked, 1 changed, 2 unchanged.
    static uint8_t updateIfTrackedAndChangedPropertyValue(const std::string& value, const std::string& key);

    // ---- Fields ----
    bool crashed = false;
    bool eventLogComplete = true;
    bool eventLoggingEnabled = true;
    bool sessionReportsOnCloseEnabled = true;
    bool sessionReportsOnPauseEnabled = false;
    bool crashReportingEnabled = false;
    float accuracy = 0;
    int32_t pageViewCount = 0;
    int32_t totalErrorCount = 0;
    int32_t gender = -1;
    int32_t serializationVersion = 2;
    Bytes crashReportData;
    UsageDate startTime = 0;
    std::string apiKey;
    std::map<std::string, std::string> sessionParams;
    double latitude = 0;
    double longitude = 0;
    std::optional<std::string> appVersion;
    std::optional<UsageDate> endTime;
    std::vector<json::Value> purchaseItems;
    std::optional<UsageDate> resumeTime;
    std::optional<UsageDate> pauseTime;
    int64_t totalPauseIntervalMillis = 0;
    std::map<std::string, int32_t> eventCounts;
    std::vector<UsageEvent> pendingEventLog;
    std::vector<UsageEvent> eventLog;
    std::vector<UsageError> errors;
    std::string locale;
    std::string timeZone;
    std::optional<std::string> userID;
    std::optional<UsageDate> age;

private:
    UsageSession() = default;
    // Deletes the current-session file; a write still waiting for it writes nothing.
    void forgetCurrentSessionFile();
    bool currentSessionFileBehind_ = false;
    bool currentSessionFileWriteQueued_ = false;
    // What became of the send at the last pause (notSent without one).
    SendOutcome pauseSendOutcome_ = SendOutcome::notSent;
    void putEventIntoLog(UsageEvent event);
    void reset();
    UsageDate now() const;
};

}  // namespace strombel::analytics
