#include "logging/log_core.h"
#include "logging/logger.h"

namespace strombel::logging {

AbstractLogger::AbstractLogger(std::string loggerName)
    : name_(std::move(loggerName)), queue_(std::make_shared<platform::SerialQueue>(name_)) {}

AbstractLogger::~AbstractLogger() {
    if (queue_ && queue_->isCurrent()) {
        // The last owner let go on this logger's own queue: a queue cannot join its
        // own thread, so the logging queue releases it.
        Log::loggingQueue().async([queue = std::move(queue_)] {});
    }
}

std::shared_ptr<LogFormatter> AbstractLogger::logFormatter() {
    return readSetting([this] { return formatter_; });
}

void AbstractLogger::setLogFormatter(std::shared_ptr<LogFormatter> formatter) {
    changeSetting([this, formatter = std::move(formatter)] {
        if (formatter == formatter_) return;
        if (formatter_) formatter_->willRemoveFromLogger(*this);
        formatter_ = formatter;
        if (formatter_) formatter_->didAddToLogger(*this);
    });
}

bool AbstractLogger::isOnGlobalLoggingQueue() const { return Log::loggingQueue().isCurrent(); }

void AbstractLogger::runSettingSync(const std::function<void()>& work) {
    if (Log::isOnLoggingThread()) {
        // On the logging queue or another logger's queue: waiting for the logging
        // queue could wait for ourselves, and this logger's queue never waits for
        // anyone, so going there directly is safe.
        queue_->sync(work);
        return;
    }
    Log::loggingQueue().sync([&] { queue_->sync(work); });
}

void AbstractLogger::changeSetting(std::function<void()> change) {
    std::shared_ptr<AbstractLogger> self = weak_from_this().lock();
    Log::loggingQueue().async([self, queue = queue_, change = std::move(change)]() mutable {
        queue->async([self = std::move(self), change = std::move(change)]() mutable {
            change();
            // Release the logger elsewhere than on its own queue.
            if (self) Log::loggingQueue().async([self = std::move(self)] {});
        });
    });
}

void AbstractLogger::changeSettingHereOrQueued(std::function<void()> change) {
    if (isOnInternalLoggerQueue()) {
        change();
        return;
    }
    changeSetting(std::move(change));
}

}  // namespace strombel::logging
