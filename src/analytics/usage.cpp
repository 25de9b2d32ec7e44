#include "analytics/usage.h"

#include <atomic>
#include <mutex>

#include "analytics/usage_global_variable_storage.h"
#include "analytics/usage_impl.h"
#include "analytics/usage_network_util.h"
#include "analytics/usage_persistent_state.h"
#include "analytics/usage_protocol_data.h"
#include "analytics/usage_session.h"
#include "crash/crash_reporter.h"
#include "platform/application.h"
#include "platform/main_bundle.h"
#include "platform/notification_center.h"
#include "platform/required.h"

namespace strombel::analytics {

namespace {

std::mutex usageClassLock;  // the `Usage` class object
std::atomic<bool> sendUsageInfoEnabled{true};
// Observers are registered once (per environment): `shutdown` keeps them, so a
// later start must not add a second set.
std::mutex observersMutex;
uint64_t observedGeneration = 0;

std::shared_ptr<UsageGlobalVariableStorage> storage() { return UsageGlobalVariableStorage::sharedInstance(); }

std::optional<std::string> textOf(const json::Value& value) {
    if (value.isNull()) return std::nullopt;
    return value.isString() ? value.asString() : describe(value);
}

// Checks that `value` is a text; otherwise writes `message` at level 2.
bool isText(const json::Value& value, const char* message) {
    if (value.isString()) return true;
    UsageUtil::log(2, std::string(message));
    return false;
}

constexpr const char* kEventNotText = "Usage: Event not logged -- eventName must be of NSString type.";

void withCurrentSession(const std::function<void(UsageImpl&)>& work) {
    if (std::shared_ptr<UsageImpl> session = UsageSession::currentSession()) work(*session);
}

// The live report for an error: empty unless crash reporting is on. Crash
// reporting turned on after the start has no reporter (one is made only at the
// start): that is a report that could not be made, and is said like any other.
Bytes liveReport() {
    auto settings = storage();
    if (!settings->crashReportingEnabled.load()) return {};
    std::shared_ptr<crash::UsageCrashReporter> reporter = settings->usageCrashReporter();
    if (!reporter) {
        UsageUtil::log(2, "UsageSession: Failed to generate crash report: {}",
                       "no crash reporter runs (crash reporting was off when the session started)");
        return {};
    }
    platform::Result<std::vector<uint8_t>> report = reporter->generateLiveReport();
    if (!report.ok()) {
        UsageUtil::log(2, "UsageSession: Failed to generate crash report: {}", report.error().description());
        return {};
    }
    return report.value();
}

void registerObservers() {
    platform::NotificationCenter* center = UsageEnvironment::current().notificationCenter;
    std::lock_guard lock(observersMutex);
    if (!center || observedGeneration == UsageEnvironment::generation()) return;
    observedGeneration = UsageEnvironment::generation();
    center->addObserver(platform::kApplicationWillTerminateNotification, nullptr,
                        [](const platform::Notification&) { Usage::endSession(); });
    center->addObserver(platform::kApplicationWillResignActiveNotification, nullptr,
                        [](const platform::Notification&) { Usage::applicationWillResignActive(); });
    center->addObserver(platform::kApplicationWillEnterForegroundNotification, nullptr,
                        [](const platform::Notification&) { Usage::applicationWillEnterForeground(); });
    center->addObserver(platform::kApplicationDidBecomeActiveNotification, nullptr,
                        [](const platform::Notification&) { Usage::applicationDidBecomeActive(); });
}

// A value of the launch options as a list of texts: texts as they are, numbers as
// their number text (a boolean is a number here: "1" or "0", as the same value
// under the URL key reads), lists item by item; anything else gives nothing.
std::vector<std::string> launchOptionTexts(const json::Value& value) {
    std::vector<std::string> texts;
    auto add = [&](const json::Value& item) {
        if (item.isString()) texts.push_back(item.asString());
        else if (item.isNumber() || item.isBool()) texts.push_back(describe(item));
    };
    if (value.isArray()) {
        for (const json::Value& item : value.items()) add(item);
    } else {
        add(value);
    }
    return texts;
}

void parseDictionary(const json::Value& dictionary) {
    for (const json::Member& member : dictionary.members()) {
        std::vector<std::string> texts = launchOptionTexts(member.value);
        if (!texts.empty()) storage()->setLaunchOption(member.key.asString(), std::move(texts));
    }
}

void parsePropertyList(const json::Value& list) {
    if (list.isArray()) {
        for (const json::Value& item : list.items()) {
            if (item.isObject()) parseDictionary(item);
        }
    } else if (list.isObject()) {
        parseDictionary(list);
    }
}

std::vector<std::pair<std::string, std::string>> originParameters(const json::Value& parameters) {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const json::Member& member : parameters.members()) pairs.emplace_back(member.key.asString(), describe(member.value));
    return pairs;
}

}  // namespace

bool Usage::sendUsageInfo() { return sendUsageInfoEnabled.load(); }

void Usage::setSendUsageInfoEnabled(bool enabled) { sendUsageInfoEnabled.store(enabled); }

bool Usage::gate(const char* operation) {
    if (sendUsageInfo()) return true;
    UsageUtil::log(2, "Usage: {} disabled.", operation);
    return false;
}

void Usage::startSession(const json::Value& apiKey) {
    auto settings = storage();
    {
        std::lock_guard lock(usageClassLock);
        if (settings->startSessionCalled.load()) {
            UsageUtil::log(1, "Usage: startSession has been called already. It should only be called once. Returning.");
            return;
        }
        UsageUtil::log(2, "Usage: startSession called for the first time");
        settings->startSessionCalled.store(true);
    }
    if (!gate("+[Usage startSession:]")) return;
    UsageUtil::log(2, "Usage: Start session called with apiKey[{}]", describe(apiKey));
    UsageUtil::log(1, "Usage: Starting session on Agent Version [{}] ", getUsageAgentVersion());
    if (settings->crashReportingEnabled.load()) {
        UsageUtil::log(2, "Usage: crash reporting enabled");
        if (!settings->usageCrashReporter()) {
            std::shared_ptr<crash::UsageCrashReporter> reporter;
            try {
                crash::UsageCrashReporterConfig config(0, 3);
                reporter = std::make_shared<crash::UsageCrashReporter>(
                    platform::required(UsageEnvironment::current().bundle, "UsageEnvironment::bundle"), config);
            } catch (const std::exception& exception) {
                UsageUtil::log(2, "Usage: Failed to initialize crash reporter: {}", exception.what());
            }
            if (reporter) {
                settings->setUsageCrashReporter(reporter);
                platform::Result<void> enabled = reporter->enableCrashReporter();
                if (!enabled.ok()) {
                    UsageUtil::log(2, "Usage: Failed to initialize crash reporter: {}", enabled.error().description());
                }
            }
        }
    }
    UsageUtil::fenced([&] {
        std::optional<std::string> key = textOf(apiKey);
        if (key) settings->setApiKey(*key);
        registerObservers();
        UsageNetworkUtil::initNetworkReachability();
        UsageHeartBeater::createAndStartInstance(1.0);
        UsageFileCache::createInstanceWithApiKey(settings->apiKey().value_or(""), std::to_string(kUsageAgentVersion));
        createAndSendSession();
        UsageUtil::cleanupStoredIdentifierForVendor();
        UsageUtil::log(2, "Usage: Finish starting session with apiKey[{}]", settings->apiKey().value_or("(null)"));
    });
}

void Usage::startSession(const json::Value& apiKey, const json::Value& options) {
    if (!gate("+[Usage startSession:withOptions:]")) return;
    setLaunchOptions(options);
    startSession(apiKey);
}

void Usage::createAndSendSession() {
    if (!gate("+[Usage createAndSendSession]")) return;
    UsageUtil::fenced([] {
        auto settings = storage();
        UsageSession::setupCurrentSessionWithKey(settings->apiKey());
        setSessionReportsOnCloseEnabled(settings->sessionReportsOnCloseEnabled.load());
        setSessionReportsOnPauseEnabled(settings->sessionReportsOnPauseEnabled.load());
        setBackgroundSessionEnabled(settings->backgroundSessionEnabled.load());
        setEventLoggingEnabled(settings->eventLoggingEnabled.load());
        setCrashReportingEnabled(settings->crashReportingEnabled.load());
        setAge(settings->age.load());
        if (std::optional<std::string> userID = settings->userID()) setUserID(json::Value(*userID));
        if (std::optional<std::string> gender = settings->gender()) setGender(json::Value(*gender));
        withCurrentSession([](UsageImpl& session) { session.sendSessionsToServerForCreateSession(); });
    });
}

void Usage::setAppVersion(const json::Value& version) {
    if (!gate("+[Usage setAppVersion:]")) return;
    UsageUtil::fenced([&] {
        if (UsageSession::currentSession()) {
            UsageUtil::log(1, "Usage: Please call setAppVersion before startSession.");
            return;
        }
        UsageUtil::log(2, "Usage: setAppVersion[{}]", describe(version));
        storage()->setAppVersion(textOf(version));
    });
}

std::string Usage::getUsageAgentVersion() { return usageAgentVersionWithBuild(); }

void Usage::setLogLevel(int32_t level) { UsageUtil::setLogLevel(level); }

void Usage::setDebugLogEnabled(bool enabled) { UsageUtil::setLogLevel(enabled ? 2 : 1); }

void Usage::setShowErrorInLogEnabled(bool enabled) {
    if (!gate("+[Usage setShowErrorInLogEnabled:]")) return;
    UsageUtil::setShowErrorInLogEnabled(enabled);
}

int32_t Usage::sessionContinueSeconds() { return storage()->pauseSecondsBeforeStartingNewSession.load(); }

void Usage::setSessionContinueSeconds(int32_t seconds) {
    if (!gate("+[Usage setSessionContinueSeconds:]")) return;
    storage()->pauseSecondsBeforeStartingNewSession.store(seconds);
}

void Usage::setMaxSessionsSaved(int32_t count) {
    if (!gate("+[Usage setMaxSessionsSaved:]")) return;
    UsageSession::setMaxSessions(count);
}

void Usage::setLaunchOptions(const json::Value& options) {
    if (options.isNull()) return;
    if (!gate("+[Usage setLaunchOptions:]")) return;
    auto settings = storage();
    std::map<std::string, std::vector<std::string>> before = settings->launchOptions();
    std::string shown;
    for (const auto& [key, items] : before) {
        shown += fmt::format("\"{}\" = \"{}\";\n", key, fmt::join(items, ","));
    }
    UsageUtil::log(2, "UsageSession: Setting launchOptions [{}], count {} ", shown, before.size());
    if (options.isObject()) {
        if (const json::Value* url = options.find("UIApplicationLaunchOptionsURLKey")) {
            settings->setLaunchOption("UIApplicationLaunchOptionsURLKey", {describe(*url)});
            UsageUtil::log(2, "UsageSession: Getting launchOptions from UIApplicationLaunchOptionsURLKey[{}] ", describe(*url));
        }
        if (const json::Value* source = options.find("UIApplicationLaunchOptionsSourceApplicationKey")) {
            settings->setLaunchOption("UIApplicationLaunchOptionsSourceApplicationKey", {describe(*source)});
            UsageUtil::log(2,
                           "UsageSession: Getting launchOptions from UIApplicationLaunchOptionsSourceApplicationKey[{}] ",
                           describe(*source));
        }
        if (const json::Value* remote = options.find("UIApplicationLaunchOptionsRemoteNotificationKey")) {
            settings->setLaunchOption("UIApplicationLaunchOptionsRemoteNotificationKeyFlag", {describe(*remote)});
        }
        if (const json::Value* location = options.find("UIApplicationLaunchOptionsLocationKey")) {
            settings->setLaunchOption("UIApplicationLaunchOptionsLocationKeyFlag", {describe(*location)});
        }
        if (const json::Value* newsstand = options.find("UIApplicationLaunchOptionsNewsstandDownloadsKey")) {
            std::vector<std::string> items;
            if (newsstand->isArray()) {
                for (const json::Value& item : newsstand->items()) items.push_back(describe(item));
            } else {
                items.push_back(describe(*newsstand));
            }
            settings->setLaunchOption("UIApplicationLaunchOptionsNewsstandDownloadsKey", std::move(items));
        }
        if (const json::Value* annotation = options.find("UIApplicationLaunchOptionsAnnotationKey")) {
            parsePropertyList(*annotation);
        }
    }
    if (settings->launchOptions().size() == before.size()) parsePropertyList(options);
}

void Usage::setLatitude(double latitude, double longitude, float horizontalAccuracy, float verticalAccuracy) {
    if (!gate("+[Usage setLatitude:longitude:horizontalAccuracy:verticalAccuracy:]")) return;
    UsageUtil::fenced([&] {
        // No location class exists on this platform: nothing is stored in the settings.
        withCurrentSession([&](UsageImpl& session) {
            session.setLatitude(latitude, longitude, horizontalAccuracy, verticalAccuracy);
        });
    });
}

void Usage::setUserID(const json::Value& userID) {
    if (!gate("+[Usage setUserID:]")) return;
    UsageUtil::fenced([&] {
        std::optional<std::string> text = textOf(userID);
        withCurrentSession([&](UsageImpl& session) { session.setUserID(text); });
        UsageUtil::log(2, "Usage: setUserID[{}]", text.value_or("(null)"));
        storage()->setUserID(text);
    });
}

void Usage::setGender(const json::Value& gender) {
    if (!isText(gender, "Usage: setGender failed -- gender must be of NSString type.")) return;
    if (!gate("+[Usage setGender:]")) return;
    UsageUtil::fenced([&] {
        std::string text = gender.asString();
        withCurrentSession([&](UsageImpl& session) { session.setGenderAsString(text); });
        UsageUtil::log(2, "Usage: setGender[{}]", text);
        storage()->setGender(text);
    });
}

void Usage::setAge(int32_t years) {
    if (!gate("+[Usage setAge:]")) return;
    UsageUtil::fenced([&] {
        storage()->age.store(years);
        withCurrentSession([&](UsageImpl& session) { session.setAgeInYears(years); });
    });
}

void Usage::setEventLoggingEnabled(bool enabled) {
    if (!gate("+[Usage setEventLoggingEnabled:]")) return;
    UsageUtil::fenced([&] {
        storage()->eventLoggingEnabled.store(enabled);
        withCurrentSession([&](UsageImpl& session) { session.setEventLoggingEnabled(enabled); });
    });
}

void Usage::setSessionReportsOnCloseEnabled(bool enabled) {
    if (!gate("+[Usage setSessionReportsOnCloseEnabled:]")) return;
    UsageUtil::fenced([&] {
        storage()->sessionReportsOnCloseEnabled.store(enabled);
        withCurrentSession([&](UsageImpl& session) { session.setSessionReportsOnCloseEnabled(enabled); });
    });
}

void Usage::setSessionReportsOnPauseEnabled(bool enabled) {
    if (!gate("+[Usage setSessionReportsOnPauseEnabled:]")) return;
    UsageUtil::fenced([&] {
        storage()->sessionReportsOnPauseEnabled.store(enabled);
        withCurrentSession([&](UsageImpl& session) { session.setSessionReportsOnPauseEnabled(enabled); });
    });
}

void Usage::setBackgroundSessionEnabled(bool enabled) {
    if (!gate("+[Usage setBackgroundSessionEnabled:]")) return;
    UsageUtil::fenced([&] {
        UsageUtil::log(2, "Usage: Background session enabled[{}]", enabled ? 1 : 0);
        storage()->backgroundSessionEnabled.store(enabled);
    });
}

void Usage::setCrashReportingEnabled(bool enabled) {
    if (!gate("+[Usage setCrashReportingEnabled:]")) return;
    withCurrentSession([&](UsageImpl& session) { session.setCrashReportingEnabled(enabled); });
    storage()->crashReportingEnabled.store(enabled);
}

void Usage::setSecureTransportEnabled(bool enabled) {
    if (!gate("+[Usage setSecureTransportEnabled:]")) return;
    UsageUtil::fenced([&] { UsageNetworkUtil::setSecureTransportEnabled(enabled); });
}

void Usage::setServerURL(const json::Value& url) {
    UsageUtil::fenced([&] { UsageNetworkUtil::setServerURL(textOf(url).value_or("")); });
}

void Usage::setAppCloudServerToStaging(bool staging) {
    UsageUtil::fenced([&] { UsageNetworkUtil::setAppCloudServerToStaging(staging); });
}

namespace {

// The work of both `addOrigin` operations; `operation` names the one called.
void addOriginAs(const char* operation, const json::Value& originName, const json::Value& originVersion,
                 const json::Value& parameters) {
    if (!isText(originName, "Usage: Origin not added -- originName must be of NSString type.")) return;
    if (!isText(originVersion, "Usage: Origin not added -- originVersion must be of NSString type.")) return;
    if (!Usage::gate(operation)) return;
    UsageUtil::fenced([&] {
        storage()->recordOrigin(originName.asString(), originVersion.asString(), originParameters(parameters));
    });
}

// The work of the four `logEvent` operations; `operation` names the one called.
void logEventAs(const char* operation, const json::Value& eventName, const json::Value& parameters, bool timed) {
    if (!isText(eventName, kEventNotText)) return;
    if (!Usage::gate(operation)) return;
    UsageUtil::fenced([&] {
        withCurrentSession([&](UsageImpl& session) { session.recordEvent(eventName.asString(), parameters, timed); });
    });
}

}  // namespace

void Usage::addOrigin(const json::Value& originName, const json::Value& originVersion) {
    addOriginAs("+[Usage addOrigin:withVersion:]", originName, originVersion, json::Value());
}

void Usage::addOrigin(const json::Value& originName, const json::Value& originVersion, const json::Value& parameters) {
    addOriginAs("+[Usage addOrigin:withVersion:withParameters:]", originName, originVersion, parameters);
}

void Usage::logEvent(const json::Value& eventName) {
    logEventAs("+[Usage logEvent:]", eventName, json::Value(), false);
}

void Usage::logEvent(const json::Value& eventName, const json::Value& parameters) {
    logEventAs("+[Usage logEvent:withParameters:]", eventName, parameters, false);
}

void Usage::logEvent(const json::Value& eventName, bool timed) {
    logEventAs("+[Usage logEvent:timed:]", eventName, json::Value(), timed);
}

void Usage::logEvent(const json::Value& eventName, const json::Value& parameters, bool timed) {
    logEventAs("+[Usage logEvent:withParameters:timed:]", eventName, parameters, timed);
}

void Usage::endTimedEvent(const json::Value& eventName, const json::Value& parameters) {
    if (!isText(eventName, kEventNotText)) return;
    if (!gate("+[Usage endTimedEvent:withParameters:]")) return;
    UsageUtil::fenced([&] {
        withCurrentSession([&](UsageImpl& session) { session.endTimedEvent(eventName.asString(), parameters); });
    });
}

void Usage::logError(const json::Value& errorID, const json::Value& message, const std::optional<UsageException>& exception) {
    if (!isText(errorID, "Usage: Error not logged -- errorId must be of NSString type.")) return;
    if (!isText(message, "Usage: Error not logged -- message must be of NSString type.")) return;
    if (!gate("+[Usage logError:message:exception:]")) return;
    UsageUtil::fenced([&] {
        Bytes report = liveReport();
        std::optional<std::pair<std::string, std::string>> nameAndReason;
        if (exception) nameAndReason.emplace(exception->name(), exception->reason());
        withCurrentSession([&](UsageImpl& session) {
            session.recordErrorWithException(errorID.asString(), message.asString(), nameAndReason, report);
        });
    });
}

void Usage::logError(const json::Value& errorID, const json::Value& message, const std::optional<platform::Error>& error) {
    if (!isText(errorID, "Usage: Error not logged -- errorId must be of NSString type.")) return;
    if (!isText(message, "Usage: Error not logged -- message must be of NSString type.")) return;
    if (!gate("+[Usage logError:message:error:]")) return;
    UsageUtil::fenced([&] {
        Bytes report = liveReport();
        withCurrentSession([&](UsageImpl& session) {
            session.recordErrorWithError(errorID.asString(), message.asString(), error, report);
        });
    });
}

void Usage::logPageView() {
    if (!gate("+[Usage logPageView]")) return;
    UsageUtil::fenced([] { withCurrentSession([](UsageImpl& session) { session.maybeIncrementPageView(); }); });
}

void Usage::pauseSession() {
    if (!gate("+[Usage pauseSession]")) return;
    UsageUtil::fenced([] {
        storage()->setPauseTime(UsageEnvironment::current().now());
        withCurrentSession([](UsageImpl& session) { session.pauseSession(); });
    });
}

void Usage::pauseBackgroundSession() {
    platform::Application* application = UsageEnvironment::current().application;
    if (!application || application->applicationState() != platform::Application::kBackground) return;
    pauseSession();
}

void Usage::endSession() {
    if (!gate("+[Usage endSession]")) return;
    UsageUtil::fenced([] { withCurrentSession([](UsageImpl& session) { session.endSession(); }); });
}

void Usage::setUsageOptOut(bool optOut) {
    bool before = UsageUtil::hasUserOptedOut();
    UsageUtil::setUsageOptOut(optOut);
    if (!before && optOut) {
        storage()->optOutSessionPending.store(true);
        withCurrentSession([](UsageImpl& session) { session.endSessionAsync(); });
    }
}

bool Usage::hasUserOptedOut() { return UsageUtil::hasUserOptedOut(); }

void Usage::shutdown() {
    if (!gate("+[Usage shutdown]")) return;
    UsageSession::cleanup();
    UsageFileCache::cleanup();
    UsageGlobalVariableStorage::cleanup();
}

// The observers outlive `shutdown`; until the next start they do nothing, so
// that no session opens without one and the settings stay those of a client
// that was never started.
void Usage::applicationWillResignActive() {
    if (!UsageSession::currentSession()) return;
    if (!storage()->backgroundSessionEnabled.load()) pauseSession();
}

void Usage::applicationWillEnterForeground() {
    if (!UsageSession::currentSession()) return;
    if (!gate("+[Usage applicationWillEnterForeground]")) return;
    UsageUtil::fenced([] { withCurrentSession([](UsageImpl& session) { session.markSessionAsResuming(); }); });
}

void Usage::applicationDidBecomeActive() {
    if (!UsageSession::currentSession()) return;
    if (!gate("+[Usage applicationDidBecomeActive]")) return;
    UsageUtil::fenced([] {
        auto settings = storage();
        int64_t elapsed = 0;
        if (std::optional<UsageDate> paused = settings->pauseTime()) {
            elapsed = UsageProtocolData::timeIntervalFrom(*paused, UsageEnvironment::current().now());
        }
        // A 64-bit product: a large continue time does not wrap into a negative one.
        int64_t allowed = static_cast<int64_t>(settings->pauseSecondsBeforeStartingNewSession.load()) * 1000;
        if (allowed >= elapsed) {
            withCurrentSession([](UsageImpl& session) { session.resumeSession(); });
        } else {
            createAndSendSession();
        }
    });
}

}  // namespace strombel::analytics
