#include "crash/crash_upload_manager.h"

#include <fmt/format.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <system_error>

#include "crash/crash_log.h"
#include "crash/crash_reporter.h"
#include "crash/crash_file_io.h"
#include "crash/crash_upload_connection.h"
#include "http/http_request.h"
#include "json/value.h"
#include "platform/application_state.h"
#include "platform/clock.h"
#include "platform/host_time.h"
#include "platform/localized_strings.h"
#include "platform/main_bundle.h"
#include "platform/main_loop.h"
#include "platform/property_list.h"
#include "platform/required.h"
#include "platform/sandbox.h"
#include "platform/user_defaults.h"

namespace strombel::crash {

namespace {

constexpr const char* kActivatedKey = "CrashUploadActivated";
constexpr const char* kAutomaticallySendKey = "CrashUploadAutomaticallySendCrashReports";
constexpr const char* kInstallationUUIDKey = "CrashUploadAppInstallationUUID";
constexpr const char* kApprovedKey = "CrashUploadApprovedCrashReports";
constexpr const char* kUserIDKey = "CrashUploadMetaUserID";
constexpr const char* kUserNameKey = "CrashUploadMetaUserName";
constexpr const char* kUserEmailKey = "CrashUploadMetaUserEmail";
constexpr const char* kApplicationLogKey = "CrashUploadMetaApplicationLog";

// Seconds from 1970-01-01 to the reference date 2001-01-01 00:00 UTC.
constexpr double kReferenceDateOffset = 978307200.0;
constexpr uint64_t kProcessingDelayNanos = 500 * platform::kNanosPerMillisecond;

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::filesystem::path metaPath(const std::filesystem::path& report) { return report.string() + ".meta"; }

bool fileExists(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::symlink_status(path, error).type() != std::filesystem::file_type::not_found && !error;
}

}  // namespace

// ---- Life ---------------------------------------------------------------------------

CrashUploadManager& CrashUploadManager::sharedCrashUploadManager() {
    static CrashUploadManager manager([] {
        CrashUploadServices services;
        services.sandbox = &platform::Sandbox::shared();
        services.defaults = &platform::UserDefaults::shared();
        services.bundle = &platform::MainBundle::shared();
        services.loop = &platform::MainLoop::shared();
        services.notifications = &platform::NotificationCenter::shared();
        services.network = &http::NetworkThread::shared();
        return services;
    }());
    return manager;
}

CrashUploadManager::CrashUploadManager(CrashUploadServices services)
    : services_(std::move(services)),
      sandbox_(platform::required(services_.sandbox, "CrashUploadServices::sandbox")),
      defaults_(platform::required(services_.defaults, "CrashUploadServices::defaults")),
      bundle_(platform::required(services_.bundle, "CrashUploadServices::bundle")),
      loop_(platform::required(services_.loop, "CrashUploadServices::loop")),
      notifications_(platform::required(services_.notifications, "CrashUploadServices::notifications")) {
    platform::required(services_.network, "CrashUploadServices::network");
    appStoreEnvironment_ = !bundle_.pathForResource("embedded", "mobileprovision").has_value();

    if (defaults_.hasObject(kActivatedKey)) {
        crashReportActivated_ = defaults_.boolForKey(kActivatedKey);
    } else {
        crashReportActivated_ = true;
        defaults_.setBool(kActivatedKey, true);
    }

    crashesDir_ = sandbox_.caches() / "crashes";
    std::error_code error;
    if (!std::filesystem::exists(crashesDir_, error)) {
        std::filesystem::create_directories(crashesDir_, error);
        std::filesystem::permissions(crashesDir_, std::filesystem::perms(0755), error);
    }
    settingsFile_ = crashesDir_ / "crashupload.settings";
    analyzerInProgressFile_ = crashesDir_ / "crashupload.analyzer";
    // A marker left over from an earlier start stays until the next takeover:
    // it says that the takeover of the pending report died on the way, and that
    // report is then dropped (see handleCrashReport).

    std::filesystem::path resources = bundle_.bundlePath() / "CrashUpload.bundle";
    if (std::filesystem::is_directory(resources, error)) resourceBundle_ = resources;
}

CrashUploadManager::~CrashUploadManager() {
    unregisterObservers();
    if (delayedProcessing_) loop_.cancel(*delayedProcessing_);
    urlConnection_.reset();
}

void CrashUploadManager::setAppIdentifier(std::string identifier) {
    appIdentifier_ = std::move(identifier);
    setSubmissionURL(kHostedServiceURL);
}

void CrashUploadManager::setUserID(std::optional<std::string> value) {
    userID_ = std::move(value);
    saveSettings();
}

void CrashUploadManager::setUserName(std::optional<std::string> value) {
    userName_ = std::move(value);
    saveSettings();
}

void CrashUploadManager::setUserEmail(std::optional<std::string> value) {
    userEmail_ = std::move(value);
    saveSettings();
}

// ---- Console ------------------------------------------------------------------------

void CrashUploadManager::log(std::string_view line) const {
    if (services_.console) {
        services_.console(line);
        return;
    }
    std::string text = "[CrashUpload] " + std::string(line) + "\n";
    std::fputs(text.c_str(), stderr);
}

void CrashUploadManager::debug(const char* function, int line, std::string_view text) const {
    if (!debugLogEnabled_) return;
    log(fmt::format("{}/{} {}", function, line, text));
}

#define CRASH_UPLOAD_DEBUG(...) debug(__func__, __LINE__, fmt::format(__VA_ARGS__))

// ---- Starting -----------------------------------------------------------------------

void CrashUploadManager::startManager() {
    if (!crashReportActivated_) return;
    // Said when the client starts, not when it is made: the program makes it
    // and never starts it, and then nothing is sent that the line could warn of.
    if (!started_ && !resourceBundle_) log("WARNING: CrashUpload.bundle is missing, will send reports automatically!");
    started_ = true;
    registerObservers();
    if (!isSetup_) setUp();
    triggerDelayedProcessing();
}

void CrashUploadManager::registerObservers() {
    if (!observers_.empty()) return;
    for (const char* name : {platform::kApplicationDidBecomeActiveNotification, kNetworkDidBecomeReachableNotification}) {
        observers_.push_back(
            notifications_.addObserver(name, nullptr, [this](const platform::Notification&) { triggerDelayedProcessing(); }));
    }
}

void CrashUploadManager::unregisterObservers() {
    for (platform::NotificationCenter::ObserverId observer : observers_) notifications_.removeObserver(observer);
    observers_.clear();
}

void CrashUploadManager::setUp() {
    CrashReporterConfig config(enableMachExceptionHandler_ ? 1 : 0, 3);
    crashReporter_ = std::make_unique<CrashReporter>(bundle_, config);
    // What earlier runs approved and the user values hold from the start, not
    // only after a crash: approved reports then go without asking again.
    loadSettings();

    if (crashReporter_->hasPendingCrashReport()) {
        didCrashInLastSession_ = true;
        handleCrashReport();
    } else if (fileExists(analyzerInProgressFile_)) {
        // Nothing pending any more: the marker speaks of no report.
        std::error_code error;
        std::filesystem::remove(analyzerInProgressFile_, error);
    }

    if (!appStoreEnvironment_ && isDebuggerAttached()) {
        log("WARNING: Detecting crashes is NOT enabled due to running the app with a debugger attached.");
        isSetup_ = true;
        return;
    }

    std::terminate_handler initial = std::get_terminate();
    if (crashCallBacks_) crashReporter_->setCrashCallbacks(crashCallBacks_);
    platform::Result<void> enabled = crashReporter_->enableCrashReporter();
    if (!enabled.ok()) log("WARNING: Could not enable crash reporter: " + enabled.error().description());

    std::terminate_handler current = std::get_terminate();
    if (current && current != initial) {
        exceptionHandler_ = current;
        CRASH_UPLOAD_DEBUG("INFO: Exception handler successfully initialized.");
    } else {
        log("ERROR: Exception handler could not be set. Make sure there is no other exception handler set up!");
    }
    isSetup_ = true;
}

// ---- Taking the pending report over --------------------------------------------------

std::filesystem::path CrashUploadManager::newReportPath() const {
    double now = services_.wallClock
                     ? services_.wallClock()
                     : std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    return crashesDir_ / fmt::format("{:.0f}", now - kReferenceDateOffset);
}

void CrashUploadManager::handleCrashReport() {
    if (!crashReporter_) return;
    std::error_code error;
    loadSettings();

    // The marker outlives a takeover that dies on the way (a report that crashes
    // the reader, say): then the report is dropped instead of taken again, or
    // every start would die the same way.
    bool purge = true;
    if (fileExists(analyzerInProgressFile_)) {
        CRASH_UPLOAD_DEBUG("WARNING: Dropping a crash report whose takeover did not finish");
    } else {
        std::ofstream(analyzerInProgressFile_).close();
        saveSettings();
        std::filesystem::path path = newReportPath();
        platform::Result<std::vector<uint8_t>> data = crashReporter_->loadPendingCrashReportData();
        if (!data.ok()) {
            CRASH_UPLOAD_DEBUG("ERROR: Could not load crash report: {}", data.error().description());
            // Unreadable now is not damaged: the report stays for the next start,
            // unless it is too large to be a report at all.
            purge = data.error().code == EFBIG;
        } else if (platform::Result<CrashLog> report = CrashLog::initWithData(data.value()); !report.ok()) {
            CRASH_UPLOAD_DEBUG("WARNING: Could not parse crash report");
        } else {
            const CrashLog& log = report.value();
            if (log.systemInfo().timestamp() && log.processInfo() && log.processInfo()->processStartTime()) {
                timeintervalCrashInLastSessionOccured_ = static_cast<double>(
                    (*log.systemInfo().timestamp() - *log.processInfo()->processStartTime()).count());
            }
            // Everything is asked before anything is written: a takeover that dies
            // on the way leaves no copy behind.
            platform::PropertyValue::Dictionary meta = {
                {kUserIDKey, userID_.value_or("")},
                {kUserNameKey, userName_.value_or("")},
                {kUserEmailKey, userEmail_.value_or("")},
                {kApplicationLogKey,
                 delegate_ ? delegate_->applicationLogForCrashUploadManager(*this).value_or("") : std::string()},
            };
            // A report taken over in the same second keeps its file: this one gets a suffix.
            const std::string base = path.string();
            platform::Result<void> stored = detail::writeFileAtomically(path, data.value(), false);
            for (int suffix = 1; !stored.ok() && stored.error().code == EEXIST && suffix < 100; ++suffix) {
                path = base + "-" + std::to_string(suffix);
                stored = detail::writeFileAtomically(path, data.value(), false);
            }
            if (!stored.ok()) {
                CRASH_UPLOAD_DEBUG("ERROR: Writing crash report failed. {}", stored.error().description());
                purge = false;
            } else {
                platform::Result<void> written = detail::writePropertyList(metaPath(path), meta);
                if (!written.ok()) {
                    CRASH_UPLOAD_DEBUG("ERROR: Writing crash meta data failed. {}", written.error().description());
                    // Without its ".meta" the copy goes: the pending report stays for the next start.
                    std::filesystem::remove(path, error);
                    purge = false;
                }
            }
        }
    }

    if (fileExists(analyzerInProgressFile_)) std::filesystem::remove(analyzerInProgressFile_, error);
    saveSettings();
    if (purge) {
        platform::Result<void> purged = crashReporter_->purgePendingCrashReport();
        (void)purged;
    }
}

// ---- Processing -----------------------------------------------------------------------

void CrashUploadManager::triggerDelayedProcessing() {
    if (delayedProcessing_) loop_.cancel(*delayedProcessing_);
    delayedProcessing_ = loop_.schedule(kProcessingDelayNanos, [this] {
        delayedProcessing_.reset();
        invokeDelayedProcessing();
    });
}

void CrashUploadManager::invokeDelayedProcessing() {
    if (isApplicationActive_ && !isApplicationActive_()) return;
    CRASH_UPLOAD_DEBUG("INFO: Start delayed CrashManager processing");
    if (exceptionHandler_ && std::get_terminate() != exceptionHandler_) {
        CRASH_UPLOAD_DEBUG(
            "[CrashUpload] WARNING: Another exception handler was added. If this invokes any kind exit() after "
            "processing the exception, which causes any subsequent error handler not to be invoked, these crashes "
            "will NOT be reported to the crash server!");
    }
    if (sendingInProgress_ || !hasPendingCrashReport()) return;
    sendingInProgress_ = true;
    if (hasResourceBundle() && !autoSendCrashReports() && hasNonApprovedCrashReports()) {
        showAlert();
    } else {
        sendCrashReports();
    }
}

bool CrashUploadManager::hasPendingCrashReport() {
    if (!crashReportActivated_) return false;
    std::error_code error;
    if (std::filesystem::is_directory(crashesDir_, error)) {
        std::set<std::filesystem::path> listed(crashFiles_.begin(), crashFiles_.end());
        std::vector<std::filesystem::path> found;
        // Symbolic links are neither followed nor offered: only regular files
        // inside the folder are reports.
        for (std::filesystem::recursive_directory_iterator it(crashesDir_, error), end; !error && it != end;
             it.increment(error)) {
            std::filesystem::file_status status = it->symlink_status(error);
            if (error || status.type() != std::filesystem::file_type::regular) {
                error.clear();
                continue;
            }
            std::string name = it->path().filename().string();
            if (endsWith(name, ".DS_Store") || endsWith(name, ".analyzer") || endsWith(name, ".plist") ||
                endsWith(name, ".settings") || endsWith(name, ".meta")) {
                continue;
            }
            std::error_code sizeError;
            if (it->file_size(sizeError) < 1 || sizeError) continue;
            if (listed.insert(it->path()).second) found.push_back(it->path());
        }
        std::sort(found.begin(), found.end());
        crashFiles_.insert(crashFiles_.end(), found.begin(), found.end());
    }
    if (!crashFiles_.empty()) {
        CRASH_UPLOAD_DEBUG("INFO: {} pending crash reports found.", crashFiles_.size());
        return true;
    }
    if (didCrashInLastSession_) {
        if (delegate_) delegate_->crashManagerWillCancelSendingCrashReport(*this);
        didCrashInLastSession_ = false;
    }
    return false;
}

bool CrashUploadManager::hasNonApprovedCrashReports() const {
    if (approvedCrashReports_.empty() && !crashFiles_.empty()) return true;
    for (const std::filesystem::path& path : crashFiles_) {
        if (!approvedCrashReports_.count(path.string())) return true;
    }
    return false;
}

bool CrashUploadManager::autoSendCrashReports() const {
    return autoSubmitCrashReport_ || defaults_.boolForKey(kAutomaticallySendKey);
}

// ---- The alert -------------------------------------------------------------------------

std::string CrashUploadManager::localizedString(std::string_view key) const {
    std::string text = platform::localizedString(bundle_, key);
    if (text != key) return text;
    if (resourceBundle_) return platform::localizedString(*resourceBundle_, key, {}, "CrashUpload");
    return std::string(key);
}

std::string CrashUploadManager::appName(const std::string& placeholder) const {
    std::string localised = platform::localizedString(bundle_, "CFBundleDisplayName", {}, "InfoPlist");
    if (localised != "CFBundleDisplayName") return localised;
    if (std::optional<std::string> name = bundle_.displayName()) return *name;
    return placeholder;
}

namespace {

// The texts take the application's name as their one argument ("%@").
std::string withName(std::string format, const std::string& name) {
    if (size_t at = format.find("%@"); at != std::string::npos) format.replace(at, 2, name);
    return format;
}

bool nonEmpty(const std::optional<std::string>& value) { return value && !value->empty(); }

}  // namespace

void CrashUploadManager::showAlert() {
    if (delegate_) delegate_->crashManagerWillShowSubmitCrashReportAlert(*this);
    std::string name = appName(localizedString("CrashAppNamePlaceholder"));
    bool identified = nonEmpty(userID_) || nonEmpty(userName_) || nonEmpty(userEmail_);
    std::string message =
        withName(localizedString(identified ? "CrashDataFoundDescription" : "CrashDataFoundAnonymousDescription"), name);
    std::string title = withName(localizedString("CrashDataFoundTitle"), name);
    std::vector<std::string> buttons = {localizedString("CrashDontSendReport"), localizedString("CrashSendReport")};
    if (showAlwaysButton_) buttons.push_back(localizedString("CrashSendReportAlways"));
    if (!alertPresenter_) {
        // Nobody to ask: the reports stay for an activation that can ask.
        sendingInProgress_ = false;
        return;
    }
    alertPresenter_->showAlert(title, message, buttons, [this](int64_t index) { alertViewDidDismissWithButtonIndex(index); });
}

void CrashUploadManager::alertViewDidDismissWithButtonIndex(int64_t buttonIndex) {
    switch (buttonIndex) {
        case 0:
            if (delegate_) delegate_->crashManagerWillCancelSendingCrashReport(*this);
            sendingInProgress_ = false;
            cleanCrashReports();
            break;
        case 1:
            sendCrashReports();
            break;
        case 2:
            autoSubmitCrashReport_ = true;
            defaults_.setBool(kAutomaticallySendKey, true);
            if (delegate_) delegate_->crashManagerWillSendCrashReportsAlways(*this);
            sendCrashReports();
            break;
        default:
            sendingInProgress_ = false;
            cleanCrashReports();
            break;
    }
}

// ---- Files -------------------------------------------------------------------------------

void CrashUploadManager::deleteReport(const std::filesystem::path& path) {
    std::error_code error;
    std::filesystem::remove(path, error);
    std::filesystem::remove(metaPath(path), error);
}

void CrashUploadManager::cleanCrashReports() {
    for (const std::filesystem::path& path : crashFiles_) deleteReport(path);
    crashFiles_.clear();
    defaults_.removeObject(kApprovedKey);
}

void CrashUploadManager::saveSettings() {
    platform::PropertyValue::Dictionary settings;
    if (!approvedCrashReports_.empty()) {
        platform::PropertyValue::Dictionary approved;
        for (const auto& [path, yes] : approvedCrashReports_) approved.emplace(path, yes);
        settings.emplace(kApprovedKey, std::move(approved));
    }
    if (userID_) settings.emplace(kUserIDKey, *userID_);
    if (userName_) settings.emplace(kUserNameKey, *userName_);
    if (userEmail_) settings.emplace(kUserEmailKey, *userEmail_);
    platform::Result<void> written = detail::writePropertyList(settingsFile_, settings);
    if (!written.ok()) CRASH_UPLOAD_DEBUG("ERROR: Writing settings. {}", written.error().description());
}

void CrashUploadManager::loadSettings() {
    if (!fileExists(settingsFile_)) return;
    platform::Result<platform::PropertyValue::Dictionary> settings =
        detail::readPropertyList(settingsFile_, kCrashUploadMaximumFileSize);
    if (!settings.ok()) {
        CRASH_UPLOAD_DEBUG("ERROR: Reading crash manager settings.");
        return;
    }
    const platform::PropertyValue::Dictionary& stored = settings.value();
    if (auto found = stored.find(kApprovedKey); found != stored.end()) {
        if (const auto* approved = found->second.get<platform::PropertyValue::Dictionary>()) {
            approvedCrashReports_.clear();
            for (const auto& [path, value] : *approved) {
                const bool* yes = value.get<bool>();
                approvedCrashReports_[path] = yes && *yes;
            }
        }
    }
    auto take = [&](const char* key, std::optional<std::string>& field) {
        auto found = stored.find(key);
        if (found == stored.end()) return;
        if (const std::string* text = found->second.get<std::string>()) field = *text;
    };
    take(kUserIDKey, userID_);
    take(kUserNameKey, userName_);
    take(kUserEmailKey, userEmail_);
}

// ---- Identifiers ---------------------------------------------------------------------------

std::string CrashUploadManager::generateUUID() {
    std::random_device source;
    std::array<uint8_t, 16> bytes;
    for (size_t i = 0; i < bytes.size(); i += 4) {
        uint32_t word = source();
        for (size_t k = 0; k < 4; ++k) bytes[i + k] = static_cast<uint8_t>(word >> (8 * k));
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4: random
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // the standard's variant
    return uuidString(bytes);
}

std::string CrashUploadManager::appAnonID() {
    if (!appAnonID_) {
        std::string stored = defaults_.stringForKey(kInstallationUUIDKey);
        appAnonID_ = stored.empty() ? generateUUID() : stored;
    }
    return *appAnonID_;
}

std::string CrashUploadManager::devicePlatform() { return platform::devicePlatform(); }

std::string CrashUploadManager::urlEncodedString(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        bool plain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
                     byte == '-' || byte == '.' || byte == '_' || byte == '~';
        if (plain) {
            out.push_back(c);
        } else {
            out += fmt::format("%{:02X}", byte);
        }
    }
    return out;
}

std::string CrashUploadManager::encodeAppIdentifier() const {
    return urlEncodedString(!appIdentifier_.empty() ? appIdentifier_ : bundle_.identifier().value_or(""));
}

bool CrashUploadManager::isDebuggerAttached() {
    static const bool attached = [] {
        std::ifstream status("/proc/self/status");
        if (!status) {
            std::fprintf(stderr, "[CrashUpload] ERROR: Checking for a running debugger via sysctl() failed: %s\n",
                         std::strerror(errno));
            return false;
        }
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("TracerPid:", 0) == 0) return std::strtol(line.c_str() + 10, nullptr, 10) != 0;
        }
        return false;
    }();
    return attached;
}

void CrashUploadManager::generateTestCrash() {
    if (appStoreEnvironment_) return;
    if (isDebuggerAttached()) {
        log("WARNING: The debugger is attached. The following crash cannot be detected by the SDK!");
    }
    __builtin_trap();
}

}  // namespace strombel::crash
