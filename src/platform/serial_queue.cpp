#include "platform/serial_queue.h"

#include <pthread.h>

#include <chrono>
#include <utility>

#include "platform/clock.h"

namespace strombel::platform {
namespace {

thread_local SerialQueue* currentQueue = nullptr;

}  // namespace

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    thread_ = std::thread([this] { run(); });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();  // destroyed from its own work item: nothing left to wait for
    } else {
        thread_.join();
    }
}

void SerialQueue::async(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        work_.push_back(std::move(work));
    }
    wake_.notify_one();
}

void SerialQueue::sync(const std::function<void()>& work) {
    if (isCurrent()) {
        work();
        return;
    }
    std::mutex doneMutex;
    std::condition_variable doneSignal;
    bool done = false;
    async([&] {
        work();
        std::lock_guard lock(doneMutex);
        done = true;
        doneSignal.notify_one();
    });
    std::unique_lock lock(doneMutex);
    doneSignal.wait(lock, [&] { return done; });
}

void SerialQueue::asyncAfter(uint64_t delayNanos, std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        delayed_.emplace(SystemClock::shared().nowNanos() + delayNanos, std::move(work));
    }
    wake_.notify_one();
}

bool SerialQueue::isCurrent() const { return currentQueue == this; }

SerialQueue* SerialQueue::current() { return currentQueue; }

std::string SerialQueue::currentLabel() { return currentQueue ? currentQueue->label_ : std::string(); }

void SerialQueue::run() {
    currentQueue = this;
    if (!label_.empty()) {
        // Thread names are limited to 15 bytes.
        pthread_setname_np(pthread_self(), label_.substr(0, 15).c_str());
    }
    std::unique_lock lock(mutex_);
    for (;;) {
        uint64_t now = SystemClock::shared().nowNanos();
        while (!delayed_.empty() && delayed_.begin()->first <= now) {
            work_.push_back(std::move(delayed_.begin()->second));
            delayed_.erase(delayed_.begin());
        }
        if (!work_.empty()) {
            std::function<void()> next = std::move(work_.front());
            work_.pop_front();
            lock.unlock();
            next();
            next = nullptr;  // release captures outside the lock
            lock.lock();
            continue;
        }
        if (stopping_) break;
        if (delayed_.empty()) {
            wake_.wait(lock);
        } else {
            uint64_t wait = delayed_.begin()->first - now;
            wake_.wait_for(lock, std::chrono::nanoseconds(wait));
        }
    }
    currentQueue = nullptr;
}

}  // namespace strombel::platform
