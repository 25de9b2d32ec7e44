#include "analytics/usage_impl.h"

#include <chrono>
#include <condition_variable>

#include "analytics/usage_data_sender.h"
#include "analytics/usage_persistent_state.h"
#include "analytics/usage_session.h"
#include "analytics/usage_util.h"
#include "platform/application.h"
#include "platform/main_loop.h"

namespace strombel::analytics {

const int kUsageQueueTag = 0;

namespace {

std::mutex implMutex;
std::shared_ptr<UsageImpl>& implSlot() {
    static std::shared_ptr<UsageImpl> instance;
    return instance;
}

}  // namespace

std::shared_ptr<UsageImpl> UsageImpl::instance() {
    std::lock_guard lock(implMutex);
    auto& slot = implSlot();
    if (!slot) slot = std::make_shared<UsageImpl>();
    return slot;
}

void UsageImpl::cleanup() {
    std::shared_ptr<UsageImpl> impl;
    {
        std::lock_guard lock(implMutex);
        impl = implSlot();
    }
    if (impl) {
        std::mutex mutex;
        std::condition_variable signalled;
        bool done = false;
        impl->queue_->async([&] {
            std::lock_guard lock(mutex);
            done = true;
            signalled.notify_all();
        });
        platform::MainLoop* loop = UsageEnvironment::current().mainLoop;
        std::unique_lock lock(mutex);
        while (!done) {
            if (loop && loop->isMainThread()) {
                lock.unlock();
                loop->runPending();
                lock.lock();
                if (done) break;
            }
            signalled.wait_for(lock, std::chrono::milliseconds(100));
        }
        // The upload queue posts its work to this queue: it goes with it.
        UsageDataSender::cleanupForQueue(*impl->queue_);
    }
    std::lock_guard lock(implMutex);
    implSlot().reset();
}

bool UsageImpl::isBackgroundSupported() {
    std::shared_ptr<UsageImpl> impl;
    {
        std::lock_guard lock(implMutex);
        impl = implSlot();
    }
    return impl && impl->backgroundSupported_;
}

uint64_t UsageImpl::registerBackgoundTask() {
    platform::Application* application = UsageEnvironment::current().application;
    if (!isBackgroundSupported() || !application) return platform::Application::kInvalidBackgroundTask;
    return application->beginBackgroundTask([] {});
}

void UsageImpl::unregisterBackgoundTask(uint64_t task) {
    if (task == platform::Application::kInvalidBackgroundTask) return;
    if (platform::Application* application = UsageEnvironment::current().application) {
        application->endBackgroundTask(task);
    }
}

UsageImpl::UsageImpl() : queue_(std::make_unique<platform::SerialQueue>("com.Ferrule.Analytics.Session")) {
    queue_->setTag(&kUsageQueueTag);
    platform::SerialQueue* queue = queue_.get();
    queue_->async([queue] { UsageDataSender::setupInstanceWithQueue(*queue); });
    backgroundSupported_ = UsageEnvironment::current().application != nullptr;
}

UsageImpl::~UsageImpl() {
    UsageDataSender::cleanupForQueue(*queue_);
    // The queue runs what is queued and stops before the session goes.
    queue_.reset();
    session_.reset();
}

void UsageImpl::enqueue(std::function<void()> work) {
    waitingBlocks_.fetch_add(1, std::memory_order_relaxed);
    queue_->async([this, work = std::move(work)] {
        waitingBlocks_.fetch_sub(1, std::memory_order_relaxed);
        work();
    });
}

void UsageImpl::async(std::function<void(UsageSession&)> work) {
    enqueue([this, work = std::move(work)] {
        if (session_) work(*session_);
    });
}

void UsageImpl::writeSessionFileSoon(UsageSession& session) {
    // With nothing else waiting the file is written at once. Behind a queue of
    // work the write waits at its back, so that a burst of errors is written once.
    if (waitingBlocks_.load(std::memory_order_relaxed) == 0) {
        session.writeCurrentSessionFileIfBehind();
    } else if (session.currentSessionFileWriteWanted()) {
        async([](UsageSession& live) { live.writeCurrentSessionFileIfBehind(); });
    }
}

void UsageImpl::withSession(const std::function<void(UsageSession*)>& work) {
    queue_->sync([&] { work(session_.get()); });
}

void UsageImpl::drain() {
    queue_->sync([] {});
}

void UsageImpl::setLatitude(double latitude, double longitude, float horizontal, float vertical) {
    async([=](UsageSession& session) { session.setLatitude(latitude, longitude, horizontal, vertical); });
}

void UsageImpl::setEventLoggingEnabled(bool enabled) {
    async([=](UsageSession& session) { session.setEventLoggingEnabled(enabled); });
}

void UsageImpl::setUserID(std::optional<std::string> userID) {
    async([userID = std::move(userID)](UsageSession& session) { session.setUserID(userID); });
}

void UsageImpl::setSessionReportsOnCloseEnabled(bool enabled) {
    async([=](UsageSession& session) { session.setSessionReportsOnCloseEnabled(enabled); });
}

void UsageImpl::setSessionReportsOnPauseEnabled(bool enabled) {
    async([=](UsageSession& session) { session.setSessionReportsOnPauseEnabled(enabled); });
}

void UsageImpl::setCrashReportingEnabled(bool enabled) {
    async([=](UsageSession& session) { session.setCrashReportingEnabled(enabled); });
}

void UsageImpl::maybeIncrementPageView() {
    async([](UsageSession& session) { session.maybeIncrementPageView(); });
}

void UsageImpl::setGenderAsString(std::optional<std::string> gender) {
    async([gender = std::move(gender)](UsageSession& session) { session.setGenderAsString(gender); });
}

void UsageImpl::setAgeInYears(int32_t years) {
    async([=](UsageSession& session) { session.setAgeInYears(years); });
}

void UsageImpl::recordEvent(std::string name, json::Value parameters) {
    recordEvent(std::move(name), std::move(parameters), false);
}

void UsageImpl::recordEvent(std::string name, json::Value parameters, bool timed) {
    async([name = std::move(name), parameters = std::move(parameters), timed](UsageSession& session) {
        session.recordEvent(name, parameters, timed);
    });
}

void UsageImpl::endTimedEvent(std::string name, json::Value parameters) {
    async([name = std::move(name), parameters = std::move(parameters)](UsageSession& session) {
        session.endTimedEvent(name, parameters);
    });
}

void UsageImpl::recordErrorWithException(std::string errorID, std::string message,
                                         std::optional<std::pair<std::string, std::string>> exception, Bytes liveReport) {
    async([=, this, errorID = std::move(errorID), message = std::move(message), exception = std::move(exception),
           liveReport = std::move(liveReport)](UsageSession& session) {
        session.recordErrorWithException(errorID, message, exception, liveReport);
        writeSessionFileSoon(session);
    });
}

void UsageImpl::recordErrorWithError(std::string errorID, std::string message, std::optional<platform::Error> error,
                                     Bytes liveReport) {
    async([this, errorID = std::move(errorID), message = std::move(message), error = std::move(error),
           liveReport = std::move(liveReport)](UsageSession& session) {
        session.recordErrorWithError(errorID, message, error, liveReport);
        writeSessionFileSoon(session);
    });
}

void UsageImpl::recordError(std::string errorID, std::string message, std::optional<std::string> exceptionString,
                            int32_t errorType, Bytes liveReport) {
    async([this, errorID = std::move(errorID), message = std::move(message), exceptionString = std::move(exceptionString),
           errorType, liveReport = std::move(liveReport)](UsageSession& session) {
        session.recordError(errorID, message, exceptionString, errorType, liveReport);
        writeSessionFileSoon(session);
    });
}

void UsageImpl::recordPurchaseItem(json::Value item) {
    async([item = std::move(item)](UsageSession& session) { session.recordPurchaseItem(item); });
}

void UsageImpl::pauseSession() {
    uint64_t task = platform::Application::kInvalidBackgroundTask;
    platform::Application* application = UsageEnvironment::current().application;
    if (isBackgroundSupported() && application) {
        task = application->beginBackgroundTask([] { UsageUtil::log(2, "Usage: Session suspend expiration handler reached"); });
    }
    enqueue([this, task] {
        if (session_) session_->pauseSession();
        unregisterBackgoundTask(task);
    });
}

void UsageImpl::markSessionAsResuming() {
    async([](UsageSession& session) { session.markSessionAsResuming(); });
}

void UsageImpl::resumeSession() {
    async([](UsageSession& session) { session.resumeSession(); });
}

void UsageImpl::endSessionAsync() {
    async([](UsageSession& session) { session.endSession(); });
}

void UsageImpl::endSession() {
    queue_->sync([this] {
        if (session_) session_->endSession();
    });
}

void UsageImpl::sendSessionsToServerForCreateSession() {
    async([](UsageSession& session) { session.sendSessionsToServerForCreateSession(); });
}

void UsageImpl::setupForApiKey(std::optional<std::string> key) {
    UsageDate start = UsageEnvironment::current().now();
    {
        std::lock_guard lock(fieldsMutex_);
        apiKey_ = key;
        startTime_ = start;
    }
    enqueue([this, key = std::move(key), start] {
        UsageAutoIncrement::instance().resetAll();
        if (session_) {
            session_->archiveSession();
            session_ = key ? session_->sessionWithNewEventsWithApiKey(*key, start) : nullptr;
        } else if (key) {
            session_ = UsageSession::sessionWithApiKey(*key, start);
        }
    });
}

double UsageImpl::latitude() {
    double value = 0;
    withSession([&](UsageSession* session) { value = session ? session->latitude : 0; });
    return value;
}

double UsageImpl::longitude() {
    double value = 0;
    withSession([&](UsageSession* session) { value = session ? session->longitude : 0; });
    return value;
}

float UsageImpl::accuracy() {
    float value = 0;
    withSession([&](UsageSession* session) { value = session ? session->accuracy : 0; });
    return value;
}

int32_t UsageImpl::gender() {
    int32_t value = -1;
    withSession([&](UsageSession* session) { value = session ? session->gender : -1; });
    return value;
}

std::optional<UsageDate> UsageImpl::age() {
    std::optional<UsageDate> value;
    withSession([&](UsageSession* session) {
        if (session) value = session->age;
    });
    return value;
}

int32_t UsageImpl::pageViewCount() {
    int32_t value = 0;
    withSession([&](UsageSession* session) { value = session ? session->pageViewCount : 0; });
    return value;
}

std::optional<UsageDate> UsageImpl::pauseTime() {
    std::optional<UsageDate> value;
    withSession([&](UsageSession* session) {
        if (session) value = session->pauseTime;
    });
    return value;
}

void UsageImpl::resetStartDate() {
    std::lock_guard lock(fieldsMutex_);
    startTime_ = UsageEnvironment::current().now();
}

}  // namespace strombel::analytics
