#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analytics/usage_environment.h"
#include "json/error.h"
#include "json/value.h"
#include "platform/error.h"
#include "platform/serial_queue.h"

namespace strombel::analytics {

class UsageSession;
using Bytes = std::vector<uint8_t>;

/// The current session object: one process-wide instance that owns the analytics
/// queue ("com.Ferrule.Analytics.Session") and turns every session operation
/// into work on it, where the live session carries it out. Setters, records,
/// pause, resume and sends are queued; `endSession` and the getters wait.
class UsageImpl : public std::enable_shared_from_this<UsageImpl> {
public:
    static std::shared_ptr<UsageImpl> instance();
    /// Waits for the queue (pumping the main loop when called on its thread),
    /// then drops the instance and the upload queue made for its queue; the next
    /// `instance` makes fresh ones.
    static void cleanup();
    /// Whether the platform gives background time (asked of the instance).
    static bool isBackgroundSupported();
    /// A background task whose expiry does nothing; the invalid id when none.
    static uint64_t registerBackgoundTask();
    static void unregisterBackgoundTask(uint64_t task);

    UsageImpl();
    ~UsageImpl();

    void setLatitude(double latitude, double longitude, float horizontalAccuracy, float verticalAccuracy);
    void setEventLoggingEnabled(bool enabled);
    void setUserID(std::optional<std::string> userID);
    void setSessionReportsOnCloseEnabled(bool enabled);
    void setSessionReportsOnPauseEnabled(bool enabled);
    void setCrashReportingEnabled(bool enabled);
    void maybeIncrementPageView();
    void setGenderAsString(std::optional<std::string> gender);
    void setAgeInYears(int32_t years);
    void recordEvent(std::string name, json::Value parameters);
    void recordEvent(std::string name, json::Value parameters, bool timed);
    void endTimedEvent(std::string name, json::Value parameters);
    void recordErrorWithException(std::string errorID, std::string message,
                                  std::optional<std::pair<std::string, std::string>> exception, Bytes liveReport);
    void recordErrorWithError(std::string errorID, std::string message, std::optional<platform::Error> error,
                              Bytes liveReport);
    void recordError(std::string errorID, std::string message, std::optional<std::string> exceptionString,
                     int32_t errorType, Bytes liveReport);
    void recordPurchaseItem(json::Value item);
    void pauseSession();
    void markSessionAsResuming();
    void resumeSession();
    void endSessionAsync();
    void endSession();
    void sendSessionsToServerForCreateSession();
    void setupForApiKey(std::optional<std::string> key);
    double latitude();
    double longitude();
    float accuracy();
    int32_t gender();
    std::optional<UsageDate> age();
    int32_t pageViewCount();
    std::optional<UsageDate> pauseTime();
    void resetStartDate();

    /// Runs `work` with the live session on the queue and waits (tests and getters).
    void withSession(const std::function<void(UsageSession*)>& work);
    /// Waits until everything queued so far has run.
    void drain();
    platform::SerialQueue& queue() { return *queue_; }

private:
    // Queues `work`, counted among the blocks waiting to run.
    void enqueue(std::function<void()> work);
    void async(std::function<void(UsageSession&)> work);
    // After an error: writes the current-session file, at once when nothing else
    // waits to run, else by a write queued behind the waiting work.
    void writeSessionFileSoon(UsageSession& session);

    bool backgroundSupported_ = false;
    std::unique_ptr<UsageSession> session_;  // queue only
    std::mutex fieldsMutex_;
    std::optional<std::string> apiKey_;
    UsageDate startTime_ = 0;
    std::unique_ptr<platform::SerialQueue> queue_;
    std::atomic<int> waitingBlocks_{0};  // queued by this object and not yet started
};

/// The tag of the analytics queue.
extern const int kUsageQueueTag;

}  // namespace strombel::analytics
