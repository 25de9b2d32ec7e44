#pragma once

// The crash upload client. Once started it enables the crash reporter, takes
// the report a crashed run left behind into its own "crashes" folder (under the
// caches folder) with a ".meta" file of user values, and each time the program
// becomes active offers the stored reports to the user in an alert, or sends
// them without asking, as one XML document in a multipart POST.
//
// The program only gives the shared client its address; it never calls
// `startManager`, so the client stays dormant there. Everything runs on the main
// loop: notifications, the delayed processing, the alert and the answers of the
// HTTP client.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/result.h"
#include "platform/error.h"
#include "platform/notification_center.h"

namespace strombel::platform {
class MainBundle;
class MainLoop;
class Sandbox;
class UserDefaults;
}  // namespace strombel::platform

namespace strombel::http {
class HttpRequest;
class NetworkThread;
}  // namespace strombel::http

namespace strombel::crash {

class CrashLog;
class CrashReporter;
struct CrashReporterCallbacks;
class CrashUploadManager;

/// The error domain of failed uploads.
inline constexpr std::string_view kCrashUploadErrorDomain = "CrashUploadErrorDomain";
/// The client's own notification that the network came back (nothing posts it yet).
inline constexpr const char* kNetworkDidBecomeReachableNotification = "NetworkDidBecomeReachable";
/// The most bytes a stored report, its ".meta" file, the settings file or the
/// server's answer may have: sixteen times the writer's limit. Larger files are
/// refused as damaged without being read.
inline constexpr uint64_t kCrashUploadMaximumFileSize = 1024 * 1024;

/// Shows the client's alert. The program shows it with the kit's alert presenter;
/// tests answer it by hand. Called on the main loop.
class CrashUploadAlertPresenter {
public:
    virtual ~CrashUploadAlertPresenter() = default;
    /// `buttons` in order, the first one the cancel button. `answer` is called
    /// once, on the main loop, with the index of the button chosen.
    virtual void showAlert(const std::string& title, const std::string& message, const std::vector<std::string>& buttons,
                           std::function<void(int64_t buttonIndex)> answer) = 0;
};

/// What the client tells its delegate; every message is optional.
class CrashUploadManagerDelegate {
public:
    virtual ~CrashUploadManagerDelegate() = default;
    /// While a report is taken over: the text kept as its application log.
    virtual std::optional<std::string> applicationLogForCrashUploadManager(CrashUploadManager& manager) {
        (void)manager;
        return std::nullopt;
    }
    virtual void crashManagerWillShowSubmitCrashReportAlert(CrashUploadManager& manager) { (void)manager; }
    /// The user chose not to send, or a crash of the last run left no report.
    virtual void crashManagerWillCancelSendingCrashReport(CrashUploadManager& manager) { (void)manager; }
    virtual void crashManagerWillSendCrashReportsAlways(CrashUploadManager& manager) { (void)manager; }
    /// The upload started.
    virtual void crashManagerWillSendCrashReport(CrashUploadManager& manager) { (void)manager; }
    virtual void crashManagerDidFailWithError(CrashUploadManager& manager, const platform::Error& error) {
        (void)manager, (void)error;
    }
    virtual void crashManagerDidFinishSendingCrashReport(CrashUploadManager& manager) { (void)manager; }
};

/// Where the client lives. Every service left null is the program's shared one.
struct CrashUploadServices {
    /// "crashes/" is made under its caches folder.
    platform::Sandbox* sandbox = nullptr;
    platform::UserDefaults* defaults = nullptr;
    /// The bundle's identifier and version name the reporter's files; the bundle
    /// folder holds "CrashUpload.bundle".
    const platform::MainBundle* bundle = nullptr;
    /// Timers (the 0.5 s delay) run on its clock.
    platform::MainLoop* loop = nullptr;
    platform::NotificationCenter* notifications = nullptr;
    /// The thread uploads run on.
    http::NetworkThread* network = nullptr;
    /// The wall clock in seconds since 1970-01-01 UTC; empty for the system's.
    std::function<double()> wallClock = {};
    /// Where "[CrashUpload]" lines go; empty for standard error.
    std::function<void(std::string_view line)> console = {};
};

class CrashUploadManager {
public:
    /// The one client of the program, on the shared services, made on first use.
    static CrashUploadManager& sharedCrashUploadManager();

    /// Creates the crashes folder and reads the activation; sends nothing.
    /// Every service but the wall clock and the console is required.
    explicit CrashUploadManager(CrashUploadServices services);
    /// Leaves the notifications and cancels an upload.
    ~CrashUploadManager();
    CrashUploadManager(const CrashUploadManager&) = delete;
    CrashUploadManager& operator=(const CrashUploadManager&) = delete;

    // ---- The program's wiring ----
    /// Shows the alert; without one, reports that need asking stay unsent.
    void setAlertPresenter(CrashUploadAlertPresenter* presenter) { alertPresenter_ = presenter; }
    /// Answers whether the program is active; without one it counts as active.
    void setApplicationActiveQuery(std::function<bool()> query) { isApplicationActive_ = std::move(query); }

    // ---- Configuration ----
    const std::string& submissionURL() const { return submissionURL_; }
    /// Where reports are posted; nothing is sent by setting it.
    void setSubmissionURL(std::string url) { submissionURL_ = std::move(url); }
    const std::string& appIdentifier() const { return appIdentifier_; }
    /// Also sets the submission address to the hosted service's base address.
    void setAppIdentifier(std::string identifier);
    /// The hosted service's base address that `setAppIdentifier` installs.
    static constexpr const char* kHostedServiceURL = "https://crashes.strombel.invalid/";
    CrashUploadManagerDelegate* delegate() const { return delegate_; }
    /// Not owned.
    void setDelegate(CrashUploadManagerDelegate* delegate) { delegate_ = delegate; }
    bool shouldAutoSubmitCrashReport() const { return autoSubmitCrashReport_; }
    void setAutoSubmitCrashReport(bool automatic) { autoSubmitCrashReport_ = automatic; }
    bool isMachExceptionHandlerEnabled() const { return enableMachExceptionHandler_; }
    void setEnableMachExceptionHandler(bool enable) { enableMachExceptionHandler_ = enable; }
    bool shouldShowAlwaysButton() const { return showAlwaysButton_; }
    void setShowAlwaysButton(bool show) { showAlwaysButton_ = show; }
    bool isDebugLogEnabled() const { return debugLogEnabled_; }
    void setDebugLogEnabled(bool enabled) { debugLogEnabled_ = enabled; }
    const std::optional<std::string>& userID() const { return userID_; }
    const std::optional<std::string>& userName() const { return userName_; }
    const std::optional<std::string>& userEmail() const { return userEmail_; }
    /// Each stores the value and saves the settings file.
    void setUserID(std::optional<std::string> value);
    void setUserName(std::optional<std::string> value);
    void setUserEmail(std::optional<std::string> value);
    /// Handed to the reporter before it is enabled; not owned.
    void setCrashCallbacks(const CrashReporterCallbacks* callbacks) { crashCallBacks_ = callbacks; }

    bool didCrashInLastSession() const { return didCrashInLastSession_; }
    /// Seconds from the crashed run's start to its crash; -1 when unknown.
    double timeintervalCrashInLastSessionOccured() const { return timeintervalCrashInLastSessionOccured_; }
    /// True when the bundle holds no "embedded.mobileprovision".
    bool isAppStoreEnvironment() const { return appStoreEnvironment_; }
    /// Whether `startManager` ran with the client activated.
    bool isStarted() const { return started_; }
    bool isSendingInProgress() const { return sendingInProgress_; }

    // ---- Running ----
    /// Observes becoming active and "NetworkDidBecomeReachable", runs the
    /// one-time setup, and processes in 0.5 s. Nothing happens when not activated.
    void startManager();
    /// Processes 0.5 s from now on the main loop's clock (a pending one is replaced).
    void triggerDelayedProcessing();
    /// Offers or sends the stored reports, while the program is active and no
    /// upload runs.
    void invokeDelayedProcessing();
    /// Scans the crashes folder; true when it holds reports.
    bool hasPendingCrashReport();
    bool hasNonApprovedCrashReports() const;
    /// Takes the reporter's pending report over into the crashes folder.
    void handleCrashReport();
    /// Deletes the scanned reports and their ".meta" files.
    void cleanCrashReports();
    void saveSettings();
    void loadSettings();
    /// The alert's answer.
    void alertViewDidDismissWithButtonIndex(int64_t buttonIndex);

    /// Builds the document of every scanned report that decodes and posts it.
    void sendCrashReports();
    /// The "uuids" element's text of one report.
    std::string extractAppUUIDs(const CrashLog& report) const;
    /// Builds and starts the request.
    void postXML(const std::string& xml);

    // ---- Identifiers and device facts ----
    /// The bundle's display name (localised first), else `placeholder`.
    std::string appName(const std::string& placeholder) const;
    static std::string generateUUID();
    /// The installation identifier: "CrashUploadAppInstallationUUID", else a new
    /// one kept for the client's life (not stored).
    std::string appAnonID();
    static std::string devicePlatform();
    static std::string urlEncodedString(std::string_view text);
    std::string encodeAppIdentifier() const;
    bool autoSendCrashReports() const;
    /// Whether a debugger traces the process (asked once per process).
    static bool isDebuggerAttached();
    /// Outside the store environment: stops the process with a trap instruction.
    void generateTestCrash();

    // ---- What tests look at ----
    const std::filesystem::path& crashesDirectory() const { return crashesDir_; }
    const std::vector<std::filesystem::path>& crashFiles() const { return crashFiles_; }
    const std::map<std::string, bool>& approvedCrashReports() const { return approvedCrashReports_; }
    /// The text of a localisation key, as the alert uses it.
    std::string localizedString(std::string_view key) const;

private:
    class Connection;
    friend class Connection;

    void registerObservers();
    void unregisterObservers();
    void setUp();
    bool isActivated() const { return crashReportActivated_; }
    bool hasResourceBundle() const { return resourceBundle_.has_value(); }
    void showAlert();
    std::string reportElement(const std::filesystem::path& path, const CrashLog& report);
    std::filesystem::path newReportPath() const;
    void deleteReport(const std::filesystem::path& path);
    void log(std::string_view line) const;
    void debug(const char* function, int line, std::string_view text) const;

    // Connection events, in the order the request reports them.
    void connectionDidReceiveResponse(int statusCode);
    void connectionDidReceiveData(const std::vector<uint8_t>& data);
    void connectionDidFailWithError(const platform::Error& error);
    void connectionDidFinishLoading();
    void endUpload();

    CrashUploadServices services_;
    platform::Sandbox& sandbox_;
    platform::UserDefaults& defaults_;
    const platform::MainBundle& bundle_;
    platform::MainLoop& loop_;
    platform::NotificationCenter& notifications_;
    CrashUploadAlertPresenter* alertPresenter_ = nullptr;
    std::function<bool()> isApplicationActive_;

    std::map<std::string, bool> approvedCrashReports_;
    std::vector<std::filesystem::path> crashFiles_;
    std::filesystem::path crashesDir_;
    std::filesystem::path settingsFile_;
    std::filesystem::path analyzerInProgressFile_;
    /// The terminate handler that enabling the reporter installed.
    void (*exceptionHandler_)() = nullptr;
    std::unique_ptr<CrashReporter> crashReporter_;
    const CrashReporterCallbacks* crashCallBacks_ = nullptr;
    bool crashReportActivated_ = false;
    std::optional<std::filesystem::path> resourceBundle_;

    std::vector<uint8_t> responseData_;
    int64_t statusCode_ = 200;
    std::unique_ptr<Connection> urlConnection_;

    bool sendingInProgress_ = false;
    bool isSetup_ = false;
    bool autoSubmitCrashReport_ = false;
    bool enableMachExceptionHandler_ = false;
    bool showAlwaysButton_ = true;
    bool didCrashInLastSession_ = false;
    bool debugLogEnabled_ = false;
    bool appStoreEnvironment_ = true;
    bool started_ = false;

    std::string submissionURL_;
    std::string appIdentifier_;
    CrashUploadManagerDelegate* delegate_ = nullptr;
    std::optional<std::string> userID_;
    std::optional<std::string> userName_;
    std::optional<std::string> userEmail_;
    double timeintervalCrashInLastSessionOccured_ = -1.0;
    std::optional<std::string> appAnonID_;

    std::vector<platform::NotificationCenter::ObserverId> observers_;
    std::optional<uint64_t> delayedProcessing_;
};

}  // namespace strombel::crash
