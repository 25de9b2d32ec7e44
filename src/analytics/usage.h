#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "analytics/usage_util.h"
#include "json/error.h"
#include "json/value.h"
#include "platform/error.h"

namespace strombel::ui::kit {
class ViewController;
}

namespace strombel::analytics {

/// The analytics client as an application sees it: class operations only. Start
/// it once with the API key, then log events, timed events, errors and page
/// views and tell it facts about the user. Any thread may call; the calling
/// thread only fills the settings store and queues work, never touches session
/// data, files or the network.
///
/// Arguments an application may get wrong arrive as `json::Value`: a name that is
/// not a text is refused with the client's message, and nothing is recorded.
class Usage {
public:
    static void startSession(const json::Value& apiKey);
    static void startSession(const json::Value& apiKey, const json::Value& options);
    static void setAppVersion(const json::Value& version);
    static std::string getUsageAgentVersion();
    static void setLogLevel(int32_t level);
    static void setDebugLogEnabled(bool enabled);
    static void setShowErrorInLogEnabled(bool enabled);
    static int32_t sessionContinueSeconds();
    static void setSessionContinueSeconds(int32_t seconds);
    static void setMaxSessionsSaved(int32_t count);
    static void setLaunchOptions(const json::Value& options);
    static void setLatitude(double latitude, double longitude, float horizontalAccuracy, float verticalAccuracy);
    static void setUserID(const json::Value& userID);
    static void setGender(const json::Value& gender);
    static void setAge(int32_t years);
    static void setEventLoggingEnabled(bool enabled);
    static void setSessionReportsOnCloseEnabled(bool enabled);
    static void setSessionReportsOnPauseEnabled(bool enabled);
    static void setBackgroundSessionEnabled(bool enabled);
    static void setCrashReportingEnabled(bool enabled);
    static void setSecureTransportEnabled(bool enabled);
    static void setServerURL(const json::Value& url);
    static void setAppCloudServerToStaging(bool staging);
    static void addOrigin(const json::Value& originName, const json::Value& originVersion);
    static void addOrigin(const json::Value& originName, const json::Value& originVersion, const json::Value& parameters);
    static void logEvent(const json::Value& eventName);
    static void logEvent(const json::Value& eventName, const json::Value& parameters);
    static void logEvent(const json::Value& eventName, bool timed);
    static void logEvent(const json::Value& eventName, const json::Value& parameters, bool timed);
    static void endTimedEvent(const json::Value& eventName, const json::Value& parameters);
    /// An error with the exception that went with it (or none).
    static void logError(const json::Value& errorID, const json::Value& message,
                         const std::optional<UsageException>& exception);
    /// An error with the error object that went with it (or none).
    static void logError(const json::Value& errorID, const json::Value& message, const std::optional<platform::Error>& error);
    static void logPageView();
    static void pauseSession();
    static void pauseBackgroundSession();
    static void endSession();
    static void setUsageOptOut(bool optOut);
    static bool hasUserOptedOut();
    /// Returns the client to the state before its first start; observers, the
    /// heart-beat and the reachability watch stay, the observers doing nothing
    /// until the next start.
    static void shutdown();
    /// The gate every marked operation asks first: YES unless the application
    /// turned the client off with `setSendUsageInfoEnabled`.
    static bool sendUsageInfo();
    static void setSendUsageInfoEnabled(bool enabled);

    // Page views of navigation and tab-bar controllers (the page-view target).
    static void logAllPageViews(const std::shared_ptr<ui::kit::ViewController>& controller);
    static void logAllPageViewsForTarget(const std::shared_ptr<ui::kit::ViewController>& controller);
    static void stopLogPageViewsForTarget(const std::shared_ptr<ui::kit::ViewController>& controller);

    // The life-cycle observers `startSession` registers, and the session opener.
    static void applicationWillResignActive();
    static void applicationWillEnterForeground();
    static void applicationDidBecomeActive();
    static void createAndSendSession();

    /// Runs `body` behind the gate: false (with "Usage: %s disabled.") when closed.
    static bool gate(const char* operation);
};

}  // namespace strombel::analytics
