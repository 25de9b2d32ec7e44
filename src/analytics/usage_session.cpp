#include "analytics/usage_session.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <mutex>

#include "analytics/usage_data_sender.h"
#include "analytics/usage_global_variable_storage.h"
#include "analytics/usage_impl.h"
#include "analytics/usage_persistent_state.h"
#include "analytics/usage_protocol_data.h"
#include "analytics/usage_util.h"
#include "crash/crash_reporter.h"

namespace strombel::analytics {

namespace {

std::mutex currentSessionMutex;
std::shared_ptr<UsageImpl>& currentSessionSlot() {
    static std::shared_ptr<UsageImpl> holder;
    return holder;
}

std::atomic<int32_t> maximumSavedSessions{usage_limits::kSavedSessions};

ArchiveValue archivedEvents(const std::vector<UsageEvent>& events) {
    ArchiveValue::Array items;
    for (const UsageEvent& event : events) items.push_back(event.archived());
    return ArchiveValue(std::move(items));
}

// False when an item is not an event: such a list yields no session.
bool eventsFromArchive(const ArchiveValue* value, std::vector<UsageEvent>& events) {
    if (!value || value->isNil()) return true;
    const auto* items = value->get<ArchiveValue::Array>();
    if (!items) return false;
    for (const ArchiveValue& item : *items) {
        std::optional<UsageEvent> event = UsageEvent::fromArchive(item);
        if (!event) return false;
        events.push_back(std::move(*event));
    }
    return true;
}

// The first instant of `year` in the local time zone.
UsageDate startOfLocalYear(int year) {
    tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = 0;
    parts.tm_mday = 1;
    parts.tm_isdst = -1;
    return static_cast<UsageDate>(mktime(&parts));
}

int localYear(UsageDate date) {
    time_t seconds = static_cast<time_t>(std::floor(date));
    tm parts{};
    localtime_r(&seconds, &parts);
    return parts.tm_year + 1900;
}

std::string describeParameters(const json::Value& parameters) {
    return parameters.isNull() ? "(null)" : describe(parameters);
}

}  // namespace

// ---- Class operations ----

void UsageSession::setupCurrentSessionWithKey(const std::optional<std::string>& key) {
    std::shared_ptr<UsageImpl> holder;
    {
        std::lock_guard lock(currentSessionMutex);
        currentSessionSlot() = UsageImpl::instance();
        holder = currentSessionSlot();
    }
    holder->setupForApiKey(key);
}

std::shared_ptr<UsageImpl> UsageSession::currentSession() {
    std::lock_guard lock(currentSessionMutex);
    return currentSessionSlot();
}

void UsageSession::cleanup() {
    // The queue runs out first (its sends still reach the upload queue); the
    // upload queue goes before the analytics queue it posts its work to.
    UsageImpl::cleanup();
    UsageDataSender::cleanup();
    std::shared_ptr<UsageImpl> holder;
    {
        std::lock_guard lock(currentSessionMutex);
        holder = std::move(currentSessionSlot());
    }
}

std::unique_ptr<UsageSession> UsageSession::sessionWithApiKey(const std::string& key, UsageDate startTime) {
    auto storage = UsageGlobalVariableStorage::sharedInstance();
    if (std::optional<ArchiveValue> archived = UsageUtil::safeUnarchiveObjectWithFile(currentSessionFilePath())) {
        if (std::unique_ptr<UsageSession> former = fromArchive(*archived)) {
            std::shared_ptr<crash::UsageCrashReporter> reporter = storage->usageCrashReporter();
            if (storage->crashReportingEnabled.load() && reporter && reporter->hasPendingCrashReport()) {
                platform::Result<std::vector<uint8_t>> report = reporter->loadPendingCrashReportData();
                former->crashed = true;
                if (report.ok()) {
                    former->crashReportData = report.value();
                } else {
                    UsageUtil::log(2, "UsageSession: Could not load crash report data: {}", report.error().description());
                }
                (void)reporter->purgePendingCrashReport();
            }
            addToSavedSessions(*former);
            UsageUtil::log(2, "UsageSession: Add crashed former session");
        }
    }
    removeCurrentSessionFile();
    auto session = std::unique_ptr<UsageSession>(new UsageSession(key, storage->appVersion(), startTime));
    UsageUtil::log(2, "UsageSession: Created active session with API[{}]", key);
    return session;
}

std::filesystem::path UsageSession::sessionsFilePath() {
    auto storage = UsageGlobalVariableStorage::sharedInstance();
    return UsageUtil::filePathDirectory() /
           fmt::format(".usageStored{}_{}.archive", usageKeyHashSigned(storage->apiKey().value_or("")), getAgentVersion());
}

std::filesystem::path UsageSession::currentSessionFilePath() {
    auto storage = UsageGlobalVariableStorage::sharedInstance();
    return UsageUtil::filePathDirectory() /
           fmt::format(".usageCurrent{}_{}.archive", usageKeyHashSigned(storage->apiKey().value_or("")), getAgentVersion());
}

void UsageSession::removeCurrentSessionFile() {
    std::error_code ignored;
    std::filesystem::remove(currentSessionFilePath(), ignored);
}

std::filesystem::path UsageSession::initialTimestampFilePath() {
    auto storage = UsageGlobalVariableStorage::sharedInstance();
    return UsageUtil::filePathDirectory() /
           fmt::format(".initialTimestamp{}.archive", usageKeyHashSigned(storage->apiKey().value_or("")));
}

std::filesystem::path UsageSession::oldInitialTimestampFilePathUptilAgentVersion109() {
    auto storage = UsageGlobalVariableStorage::sharedInstance();
    return UsageUtil::oldFilePathDirectoryUptilAgentVersion109() /
           fmt::format(".initialTimestamp{}.archive", usageKeyHashSigned(storage->apiKey().value_or("")));
}

std::vector<Bytes> UsageSession::savedSessions() {
    std::vector<Bytes> records;
    std::optional<ArchiveValue> archived = UsageUtil::safeUnarchiveObjectWithFile(sessionsFilePath());
    if (const auto* items = archived ? archived->get<ArchiveValue::Array>() : nullptr) {
        for (const ArchiveValue& item : *items) {
            if (const auto* record = item.get<Bytes>()) records.push_back(*record);
        }
    }
    return records;
}

void UsageSession::setSavedSessions(const std::vector<Bytes>& records) {
    ArchiveValue::Array items;
    for (const Bytes& record : records) items.emplace_back(record);
    std::filesystem::path path = sessionsFilePath();
    UsageUtil::archiveObjectToFile(ArchiveValue(std::move(items)), path);
    UsageUtil::addSkipBackupAttributeToItemAtURL(path);
}

void UsageSession::addToSavedSessions(UsageSession& session) {
    UsageUtil::log(2, "UsageSession: Add session with startTime[{}] to saved sessions", describeDate(session.startTime));
    std::optional<Bytes> record = session.data();
    if (!record) return;
    std::vector<Bytes> records = savedSessions();
    records.push_back(std::move(*record));
    setSavedSessions(removeOldSessionsIfNecessary(std::move(records)));
}

std::vector<Bytes> UsageSession::removeOldSessionsIfNecessary(std::vector<Bytes> records) {
    int32_t maximum = std::max(0, maximumSavedSessions.load());
    if (records.size() > static_cast<size_t>(maximum)) {
        size_t excess = records.size() - static_cast<size_t>(maximum);
        UsageUtil::log(2, "UsageSession: Max sessions allowed[{}] exceeded", maximum);
        UsageUtil::log(2, "UsageSession: Removing [{}] sessions from saved sessions", excess);
        records.erase(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(excess));
    }
    return records;
}

void UsageSession::setMaxSessions(int32_t count) { maximumSavedSessions.store(count); }
int32_t UsageSession::maxSessions() { return maximumSavedSessions.load(); }

double UsageSession::reduceLocationPrecision(double value) { return std::trunc(value * 1000.0) / 1000.0; }

std::string UsageSession::getAgentVersion() { return std::to_string(kUsageAgentVersion); }
std::string UsageSession::getAgentVersionWithBuild() { return usageAgentVersionWithBuild(); }

// ---- Life ----

UsageDate UsageSession::now() const { return UsageEnvironment::current().now(); }

UsageSession::UsageSession(const std::string& key, std::optional<std::string> version, UsageDate startDate)
    : startTime(startDate), apiKey(key), appVersion(std::move(version)) {
    reset();
    writeCurrentSessionFile();
    UsageUtil::log(2, "UsageSession: Initialized session from scratch with startTime[{}]", describeDate(startTime));
}

void UsageSession::reset() {
    eventLoggingEnabled = true;
    sessionReportsOnCloseEnabled = true;
    sessionReportsOnPauseEnabled = false;
    crashReportingEnabled = false;
    endTime.reset();
    totalPauseIntervalMillis = 0;
    sessionParams.clear();
    eventCounts.clear();
    pendingEventLog.clear();
    eventLog.clear();
    errors.clear();
    purchaseItems.clear();
    eventLogComplete = true;
    latitude = longitude = 0;
    accuracy = 0;
    crashed = false;
    gender = -1;
    age.reset();
    pageViewCount = 0;
    locale = UsageUtil::localeIdentifier();
    timeZone = UsageUtil::timeZoneName();
    getSessionParametersAtPhase(0);
}

void UsageSession::writeCurrentSessionFile() {
    currentSessionFileBehind_ = false;
    std::filesystem::path path = currentSessionFilePath();
    if (UsageUtil::archiveObjectToFile(archived(), path)) UsageUtil::addSkipBackupAttributeToItemAtURL(path);
}

bool UsageSession::currentSessionFileWriteWanted() {
    if (!currentSessionFileBehind_ || currentSessionFileWriteQueued_) return false;
    currentSessionFileWriteQueued_ = true;
    return true;
}

void UsageSession::writeCurrentSessionFileIfBehind() {
    currentSessionFileWriteQueued_ = false;
    if (currentSessionFileBehind_) writeCurrentSessionFile();
}

void UsageSession::forgetCurrentSessionFile() {
    currentSessionFileBehind_ = false;
    removeCurrentSessionFile();
}

void UsageSession::recordEvent(const std::optional<std::string>& name, const json::Value& parameters, bool timed) {
    UsageUtil::assertThreadIsNotMain();
    std::string shownName = name.value_or("(null)");
    UsageUtil::log(2, "UsageSession: Attempting to record Event eventName[{}] with parameters[{}]", shownName,
                   describeParameters(parameters));
    if (!name || name->empty()) {
        eventLogComplete = false;
        UsageUtil::log(1, "UsageSession: Not logging Event eventName[{}] due to invalid eventName", shownName);
        return;
    }
    if (parameters.isObject() && parameters.size() > static_cast<size_t>(usage_limits::kParametersPerEvent)) {
        eventLogComplete = false;
        UsageUtil::log(1,
                       "UsageSession: Not logging Event eventName[{}] because event has more than {} parameters (max "
                       "allowed parameters).",
                       *name, usage_limits::kParametersPerEvent);
        return;
    }
    UsageEvent event(*name, timed, parameters, now());
    if (isPaused()) {
        pendingEventLog.push_back(std::move(event));
        UsageUtil::log(2, "UsageSession: Event log for eventName[{}] put to pending", *name);
        return;
    }
    putEventIntoLog(std::move(event));
}

void UsageSession::putEventIntoLog(UsageEvent event) {
    auto counted = eventCounts.find(event.name);
    if (counted == eventCounts.end() && eventCounts.size() >= static_cast<size_t>(usage_limits::kDistinctEventNames)) {
        eventLogComplete = false;
        return;
    }
    int32_t& count = eventCounts[event.name];
    count = count == INT32_MAX ? count : count + 1;
    UsageUtil::log(2, "UsageSession: Event count for eventName[{}] updated to count[{}]", event.name, count);
    if (eventLog.size() < static_cast<size_t>(usage_limits::kEventsPerSession) && eventLoggingEnabled) {
        std::string name = event.name;
        std::string parameters = describeParameters(event.parameters);
        eventLog.push_back(std::move(event));
        UsageUtil::log(2, "UsageSession: Recording event eventName[{}] with parameters[{}] complete", name, parameters);
    } else {
        eventLogComplete = false;
    }
}

void UsageSession::endTimedEvent(const std::string& name, const json::Value& parameters) {
    UsageUtil::assertThreadIsNotMain();
    for (std::vector<UsageEvent>* list : {&eventLog, &pendingEventLog}) {
        for (UsageEvent& event : *list) {
            if (event.name != name || !event.isUnterminated()) continue;
            event.ended = now();
            event.updateParameters(parameters);
            UsageUtil::log(2, "UsageSession: event named[{}] ended at {}", name, describeDate(event.ended));
            return;
        }
    }
}

void UsageSession::recordErrorWithException(const std::string& errorID, const std::string& message,
                                            const std::optional<std::pair<std::string, std::string>>& exception,
                                            const Bytes& liveReport) {
    std::string text = exception ? fmt::format("{}: {}", exception->first, exception->second) : "nil";
    UsageUtil::log(2, "UsageSession: Recording error id[{}] with message[{}] and exception[{}]", errorID, message, text);
    recordError(errorID, message, text, 2, liveReport);
    UsageUtil::log(2, "UsageSession: Recording error id[{}] with message[{}] and exception[{}] complete", errorID, message,
                   text);
}

void UsageSession::recordErrorWithError(const std::string& errorID, const std::string& message,
                                        const std::optional<platform::Error>& error, const Bytes& liveReport) {
    std::optional<std::string> text;
    std::string shown = "(null)";
    if (error) {
        std::string reason = error->userInfo["NSLocalizedFailureReason"].asString();
        text = reason.empty() ? error->message() : fmt::format("{} {}", error->message(), reason);
        shown = error->description();
    }
    UsageUtil::log(2, "UsageSession: Recording error id[{}] with message[{}] and error[{}]", errorID, message, shown);
    recordError(errorID, message, text, 1, liveReport);
    UsageUtil::log(2, "UsageSession: Recording error id[{}] with message[{}] and error[{}] complete", errorID, message,
                   shown);
}

void UsageSession::recordError(const std::string& errorID, const std::string& message,
                               const std::optional<std::string>& exceptionString, int32_t errorType,
                               const Bytes& liveReport) {
    UsageUtil::assertThreadIsNotMain();
    totalErrorCount = totalErrorCount == INT32_MAX ? totalErrorCount : totalErrorCount + 1;
    if (errors.size() >= static_cast<size_t>(usage_limits::kErrorsPerSession)) {
        UsageUtil::log(2, "UsageSession: Error id[{}] not recorded", errorID);
    } else {
        Bytes report = crashReportingEnabled ? liveReport : Bytes{};
        errors.push_back(UsageError::errorWithString(errorID, message, exceptionString, errorType, std::move(report), now()));
        UsageUtil::log(2, "UsageSession: Error id[{}] updated", errors.back().errorID);
    }
    // The queue object writes the file after this (see currentSessionFileWriteWanted).
    currentSessionFileBehind_ = true;
}

void UsageSession::recordPurchaseItem(const json::Value& item) {
    if (item.isNull()) return;
    purchaseItems.push_back(item);
    writeCurrentSessionFile();
}

void UsageSession::maybeIncrementPageView() {
    UsageUtil::assertThreadIsNotMain();
    if (UsageGlobalVariableStorage::sharedInstance()->takePageView(now())) ++pageViewCount;
}

void UsageSession::setLatitude(double newLatitude, double newLongitude, float horizontalAccuracy, float verticalAccuracy) {
    latitude = reduceLocationPrecision(newLatitude);
    longitude = reduceLocationPrecision(newLongitude);
    accuracy = static_cast<float>(
        reduceLocationPrecision((std::fabs(double(horizontalAccuracy)) + std::fabs(double(verticalAccuracy))) / 2.0));
    UsageUtil::log(2, "UsageSession: New location set with lat[{:f}] long[{:f}] accuracy[{:f}]", latitude, longitude,
                   accuracy);
    writeCurrentSessionFile();
}

void UsageSession::setUserID(const std::optional<std::string>& newUserID) {
    userID = newUserID;
    UsageUtil::log(2, "UsageSession: Set userID[{}]", newUserID.value_or("(null)"));
}

void UsageSession::setGenderAsString(const std::optional<std::string>& text) {
    gender = text == "m" ? 1 : text == "f" ? 0 : -1;
    UsageUtil::log(2, "UsageSession: given gender [{}], _gender = [{}]", text.value_or("(null)"), gender);
}

void UsageSession::setAgeInYears(int32_t years) {
    if (years < 1 || years > 150) return;
    age = startOfLocalYear(localYear(now()) - years);
    UsageUtil::log(2, "UsageSession: set age to [{}]", describeDate(age));
}

void UsageSession::setEventLoggingEnabled(bool enabled) {
    eventLoggingEnabled = enabled;
    UsageUtil::log(2, "UsageSession: Event logging enabled[{}]", enabled ? 1 : 0);
}

void UsageSession::setSessionReportsOnCloseEnabled(bool enabled) {
    sessionReportsOnCloseEnabled = enabled;
    UsageUtil::log(2, "UsageSession: Session reports on close enabled[{}]", enabled ? 1 : 0);
}

void UsageSession::setSessionReportsOnPauseEnabled(bool enabled) {
    sessionReportsOnPauseEnabled = enabled;
    UsageUtil::log(2, "UsageSession: Session reports on pause enabled[{}]", enabled ? 1 : 0);
}

void UsageSession::setCrashReportingEnabled(bool enabled) {
    crashReportingEnabled = enabled;
    UsageUtil::log(2, "UsageSession: Crash reporting enabled[{}]", enabled ? 1 : 0);
}

void UsageSession::pauseSession() {
    UsageUtil::assertThreadIsNotMain();
    pauseTime = now();
    UsageUtil::log(2, "UsageSession: Pause session with pauseTime[{}]", describeDate(pauseTime));
    finishSession();
    // A session whose envelope did not reach the disk keeps its current-session
    // file: it is sent from there, or with the saved ones, later.
    pauseSendOutcome_ = sessionReportsOnPauseEnabled ? sendSessionsToServerIncludingCurrentSession(true)
                                                     : SendOutcome::notSent;
    if (sessionReportsOnPauseEnabled && pauseSendOutcome_ != SendOutcome::notStored) {
        forgetCurrentSessionFile();
    } else {
        writeCurrentSessionFile();
    }
    UsageGlobalVariableStorage::sharedInstance()->savePersistentGlobalsToDisk();
}

void UsageSession::markSessionAsResuming() {
    if (isPaused()) {
        resumeTime = now();
    } else {
        resumeTime.reset();
    }
}

void UsageSession::resumeSession() {
    UsageUtil::assertThreadIsNotMain();
    if (!isPaused()) return;
    UsageDate resumedAt = now();
    totalPauseIntervalMillis += UsageProtocolData::timeIntervalFrom(pauseTime, resumedAt);
    pauseTime.reset();
    resumeTime.reset();
    std::vector<UsageEvent> pending = std::move(pendingEventLog);
    pendingEventLog.clear();
    for (UsageEvent& event : pending) putEventIntoLog(std::move(event));
    writeCurrentSessionFile();
    UsageUtil::log(2, "UsageSession: Resume session with resumeTime[{}]", describeDate(resumedAt));
}

void UsageSession::archiveSession() {
    UsageUtil::assertThreadIsNotMain();
    // A session whose record went up in the envelope of its pause is not saved
    // again, or the server would get it twice (as an ended session that was sent
    // is not saved either). The events logged while it was paused are not in that
    // record: they stay pending and go to the next session.
    const bool sentAtPause =
        sessionReportsOnPauseEnabled && isPaused() && pauseSendOutcome_ == SendOutcome::stored;
    if (resumeTime && !sentAtPause) {
        std::vector<UsageEvent> stay;
        for (UsageEvent& event : pendingEventLog) {
            if (event.started < *resumeTime) {
                putEventIntoLog(std::move(event));
            } else {
                stay.push_back(std::move(event));
            }
        }
        pendingEventLog = std::move(stay);
    }
    if (sentAtPause) {
        // The saved sessions went with that envelope too.
    } else if (sessionReportsOnPauseEnabled) {
        // An envelope of the pause that never reached the disk leaves the saved
        // sessions where they were, and this session joins them.
        if (!eventLog.empty() || pauseSendOutcome_ == SendOutcome::notStored) {
            addToSavedSessions(*this);
        } else {
            setSavedSessions({});
        }
    } else {
        addToSavedSessions(*this);
    }
    resumeTime.reset();
    forgetCurrentSessionFile();
}

std::unique_ptr<UsageSession> UsageSession::sessionWithNewEventsWithApiKey(const std::string& key, UsageDate start) {
    std::unique_ptr<UsageSession> next = sessionWithApiKey(key, start);
    for (UsageEvent& event : pendingEventLog) {
        event.updateID();
        if (event.started < next->startTime) next->startTime = event.started;
        next->putEventIntoLog(std::move(event));
    }
    pendingEventLog.clear();
    return next;
}

void UsageSession::finishSession() {
    endTime = now();
    UsageUtil::log(2, "UsageSession: Finish session with endTime[{}]", describeDate(endTime));
    UsageUtil::log(2, "UsageSession: ending all unterminated timed events with _endTime[{}]...", describeDate(endTime));
    for (std::vector<UsageEvent>* list : {&eventLog, &pendingEventLog}) {
        for (UsageEvent& event : *list) {
            if (!event.isUnterminated() && !event.automaticallyEnded) continue;
            event.ended = endTime;
            event.automaticallyEnded = true;
            UsageUtil::log(2, "UsageSession: forcefully terminated event named[{}]", event.name);
        }
    }
    UsageUtil::log(2, "UsageSession: ...finished ending un-ended timed events.");
    getSessionParametersAtPhase(1);
}

void UsageSession::endSession() {
    UsageUtil::assertThreadIsNotMain();
    finishSession();
    SendOutcome sent = sessionReportsOnCloseEnabled ? sendSessionsToServerIncludingCurrentSession(true)
                                                    : SendOutcome::notSent;
    // A session whose envelope reached the upload queue is sent from there (its
    // block stays on disk until the server takes it): saved as well, it would
    // go out a second time with the next envelope.
    if (sent != SendOutcome::stored) addToSavedSessions(*this);
    forgetCurrentSessionFile();
    UsageGlobalVariableStorage::sharedInstance()->savePersistentGlobalsToDisk();
}

UsageSession::SendOutcome UsageSession::sendSessionsToServerIncludingCurrentSession(bool includeCurrent) {
    SendOutcome outcome = SendOutcome::notSent;
    UsageUtil::fenced([&] {
        auto storage = UsageGlobalVariableStorage::sharedInstance();
        if (UsageUtil::hasUserOptedOut() && !storage->optOutSessionPending.load()) {
            UsageUtil::log(2, "UsageSession: User is opted out, not sending session report");
            setSavedSessions({});
            return;
        }
        UsageUtil::log(2, "UsageSession: Sending sessions to server, include current {}", includeCurrent ? "YES" : "NO");
        std::vector<Bytes> records = savedSessions();
        if (includeCurrent) {
            if (std::optional<Bytes> record = data()) records.push_back(std::move(*record));
        }
        storage->optOutSessionPending.store(false);
        std::optional<Bytes> envelope = dataForSessions(records);
        if (!envelope) {
            UsageUtil::log(2, "Dropping current session with timestamp {}", describeDate(startTime));
            return;
        }
        outcome = SendOutcome::notStored;
        std::shared_ptr<UsageDataSender> sender = UsageDataSender::instance();
        bool stored = sender && sender->sendSessionsData(*envelope);
        UsageUtil::log(2, "UsageSession: Scheduled send {} session(s).", records.size());
        // A block that did not reach the disk may not reach the server either:
        // the saved sessions stay for the next send.
        if (stored) setSavedSessions({});
        if (stored) outcome = SendOutcome::stored;
    });
    return outcome;
}

bool UsageSession::sentReportSuccessful() const {
    std::shared_ptr<UsageDataSender> sender = UsageDataSender::instance();
    return sender && sender->everSentReportSuccessfully();
}

int64_t UsageSession::sessionLength() const {
    if (!endTime) return -1;
    return UsageProtocolData::timeIntervalFrom(startTime, endTime);
}

int64_t UsageSession::timeIntervalSinceSessionStart(UsageDate date) const {
    return UsageProtocolData::timeIntervalFrom(startTime, date);
}

UsageDate UsageSession::initialTimestamp() {
    auto keychain = UsageKeychainWrapper::keychainWrapperWithIdentifier(kUsageKeychainIdentifier);
    std::optional<UsageDate> stored;
    bool keyUnchanged = true;
    if (keychain) {
        if (std::optional<ArchiveValue> date = keychain->objectForKey("UsageSessionTimestampKey")) {
            if (const auto* value = date->get<ArchiveDate>()) stored = value->seconds;
        }
        std::optional<ArchiveValue> storedKey = keychain->objectForKey("UsageAPIKey");
        const std::string* key = storedKey ? storedKey->get<std::string>() : nullptr;
        if (!key) {
            keychain->setObject(ArchiveValue(apiKey), "UsageAPIKey");
        } else if (*key != apiKey) {
            keychain->setObject(ArchiveValue(apiKey), "UsageAPIKey");
            keyUnchanged = false;
        }
    }
    if (keyUnchanged && stored) {
        UsageUtil::log(2, "UsageSession: Initial timestamp[{}] from secure source", describeDate(stored));
        return *stored;
    }
    if (keyUnchanged) {
        std::filesystem::path file = initialTimestampFilePath();
        std::error_code error;
        if (!std::filesystem::exists(file, error)) {
            std::filesystem::path old = oldInitialTimestampFilePathUptilAgentVersion109();
            if (std::filesystem::exists(old, error)) {
                std::optional<ArchiveValue> moved = UsageUtil::safeUnarchiveObjectWithFile(old);
                std::filesystem::remove(old, error);
                if (const auto* date = moved ? moved->get<ArchiveDate>() : nullptr) {
                    UsageUtil::log(2, "UsageSession: Moving initial timestamp[{}] from saved source", describeDate(date->seconds));
                    UsageUtil::archiveObjectToFile(ArchiveValue(*date), file);
                }
            }
        }
        std::optional<ArchiveValue> legacy = UsageUtil::safeUnarchiveObjectWithFile(file);
        if (const auto* date = legacy ? legacy->get<ArchiveDate>() : nullptr) {
            if (keychain) keychain->setObject(ArchiveValue(*date), "UsageSessionTimestampKey");
            UsageUtil::log(2, "UsageSession: Initial timestamp[{}] from legacy source", describeDate(date->seconds));
            return date->seconds;
        }
    }
    UsageDate first = startTime != 0 ? startTime : now();
    if (keychain) keychain->setObject(ArchiveValue(ArchiveDate{first}), "UsageSessionTimestampKey");
    UsageUtil::log(2, "UsageSession: Initial timestamp[{}] created and saved", describeDate(first));
    return first;
}

// ---- Archive ----

ArchiveValue UsageSession::archived() {
    serializationVersion = 2;
    ArchiveValue::Object object{"UsageSession", {}};
    auto& fields = object.fields;
    fields.emplace("serializationVersion", ArchiveValue(2));
    fields.emplace("startTime", ArchiveValue(ArchiveDate{startTime}));
    if (endTime) fields.emplace("endTime", ArchiveValue::ofOptionalDate(endTime));
    if (pauseTime) fields.emplace("pauseTime", ArchiveValue::ofOptionalDate(pauseTime));
    fields.emplace("pauseIntervalMillis", ArchiveValue(totalPauseIntervalMillis));
    ArchiveValue::Dictionary parameters;
    for (const auto& [key, value] : sessionParams) parameters.emplace(key, ArchiveValue(value));
    fields.emplace("sessionParams", ArchiveValue(std::move(parameters)));
    ArchiveValue::Dictionary counts;
    for (const auto& [key, value] : eventCounts) counts.emplace(key, ArchiveValue(value));
    fields.emplace("eventCounts", ArchiveValue(std::move(counts)));
    fields.emplace("pendingEventLog", archivedEvents(pendingEventLog));
    fields.emplace("eventLog", archivedEvents(eventLog));
    fields.emplace("eventLogComplete", ArchiveValue(eventLogComplete));
    ArchiveValue::Array errorItems;
    for (const UsageError& error : errors) errorItems.push_back(error.archived());
    fields.emplace("errors", ArchiveValue(std::move(errorItems)));
    fields.emplace("totalErrorCount", ArchiveValue(totalErrorCount));
    ArchiveValue::Array purchases;
    for (const json::Value& item : purchaseItems) purchases.emplace_back(describe(item));
    fields.emplace("purchaseItems", ArchiveValue(std::move(purchases)));
    fields.emplace("latitude", ArchiveValue(latitude));
    fields.emplace("longitude", ArchiveValue(longitude));
    fields.emplace("accuracy", ArchiveValue(static_cast<double>(accuracy)));
    fields.emplace("crashed", ArchiveValue(crashed));
    fields.emplace("crashReportData", ArchiveValue(crashReportData));
    fields.emplace("apiKey", ArchiveValue(apiKey));
    fields.emplace("appVersion", ArchiveValue::ofOptional(appVersion));
    fields.emplace("userID", ArchiveValue::ofOptional(userID));
    fields.emplace("pageViewCount", ArchiveValue(pageViewCount));
    fields.emplace("locale", ArchiveValue(locale));
    fields.emplace("timeZone", ArchiveValue(timeZone));
    fields.emplace("age", ArchiveValue::ofOptionalDate(age));
    fields.emplace("gender", ArchiveValue(gender));
    return ArchiveValue(std::move(object));
}

std::unique_ptr<UsageSession> UsageSession::fromArchive(const ArchiveValue& value) {
    const auto* object = value.get<ArchiveValue::Object>();
    if (!object || object->className != "UsageSession") return nullptr;
    int64_t version = value.integer("serializationVersion", 0);
    if (!(version < 1 || version == 2)) return nullptr;
    std::unique_ptr<UsageSession> session(new UsageSession());
    session->serializationVersion = static_cast<int32_t>(version);
    session->startTime = value.date("startTime").value_or(0);
    session->endTime = value.date("endTime");
    session->pauseTime = value.date("pauseTime");
    session->totalPauseIntervalMillis = value.integer("pauseIntervalMillis");
    if (const auto* parameters = value.field("sessionParams") ? value.field("sessionParams")->get<ArchiveValue::Dictionary>() : nullptr) {
        for (const auto& [key, item] : *parameters) {
            if (const auto* text = item.get<std::string>()) session->sessionParams.emplace(key, *text);
        }
    }
    if (const auto* counts = value.field("eventCounts") ? value.field("eventCounts")->get<ArchiveValue::Dictionary>() : nullptr) {
        for (const auto& [key, item] : *counts) {
            if (const auto* count = item.get<int64_t>()) session->eventCounts.emplace(key, UsageUtil::int32FromNSInteger(*count));
        }
    }
    if (!eventsFromArchive(value.field("pendingEventLog"), session->pendingEventLog)) return nullptr;
    if (!eventsFromArchive(value.field("eventLog"), session->eventLog)) return nullptr;
    session->eventLogComplete = value.flag("eventLogComplete", true);
    if (const auto* items = value.field("errors") ? value.field("errors")->get<ArchiveValue::Array>() : nullptr) {
        for (const ArchiveValue& item : *items) {
            std::optional<UsageError> error = UsageError::fromArchive(item);
            if (!error) return nullptr;
            session->errors.push_back(std::move(*error));
        }
    }
    session->totalErrorCount = static_cast<int32_t>(value.integer("totalErrorCount"));
    if (const auto* items = value.field("purchaseItems") ? value.field("purchaseItems")->get<ArchiveValue::Array>() : nullptr) {
        for (const ArchiveValue& item : *items) {
            if (const auto* text = item.get<std::string>()) session->purchaseItems.emplace_back(*text);
        }
    }
    session->latitude = value.real("latitude");
    session->longitude = value.real("longitude");
    session->accuracy = static_cast<float>(value.real("accuracy"));
    session->crashed = value.flag("crashed");
    session->crashReportData = value.bytes("crashReportData");
    session->apiKey = value.text("apiKey");
    session->appVersion = value.optionalText("appVersion");
    session->userID = value.optionalText("userID");
    session->pageViewCount = static_cast<int32_t>(value.integer("pageViewCount"));
    session->locale = value.text("locale");
    session->timeZone = value.text("timeZone");
    session->age = value.date("age");
    session->gender = static_cast<int32_t>(value.integer("gender", -1));
    return session;
}

}  // namespace strombel::analytics
