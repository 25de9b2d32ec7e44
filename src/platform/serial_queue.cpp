#include "platform/serial_queue.h"

#include <chrono>
#include <utility>

#include "platform/clock.h"

namespace strombel::platform {
namespace {

// The queues the calling thread holds, innermost first: the queue's own thread
// holds its queue for good, a `sync` caller for the length of its work.
struct Hold {
    SerialQueue* queue;
    const Hold* outer;
};

thread_local const Hold* innermostHold = nullptr;

class HoldScope {
public:
    explicit HoldScope(SerialQueue* queue) : hold_{queue, innermostHold} { innermostHold = &hold_; }
    ~HoldScope() { innermostHold = hold_.outer; }
    HoldScope(const HoldScope&) = delete;
    HoldScope& operator=(const HoldScope&) = delete;

private:
    Hold hold_;
};

}  // namespace

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    // The thread carries the label (as much of it as the system keeps).
    thread_ = Worker(label_.empty() ? "serial queue" : label_, [this] { run(); }, [this] {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
    });
}

SerialQueue::~SerialQueue() {
    if (thread_.isCurrent()) {
        // Destroyed from its own work item: the thread is told to stop and is
        // joined by the worker's leftovers once it has returned.
        thread_.stop();
    } else {
        finish();
    }
}

void SerialQueue::finish() {
    {
        std::lock_guard lock(mutex_);
        if (finished_) return;
    }
    thread_.stop();
    std::multimap<uint64_t, std::function<void()>> dropped;
    std::lock_guard lock(mutex_);
    finished_ = true;
    dropped.swap(delayed_);
}

bool SerialQueue::isFinished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

void SerialQueue::async(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        if (!finished_) {
            work_.push_back(Item{std::move(work), nullptr});
            work = nullptr;
        }
    }
    wake_.notify_one();
}

void SerialQueue::sync(const std::function<void()>& work) {
    if (isCurrent()) {
        work();
        return;
    }
    if (heldByCallingThread()) {
        // Held further out (this queue's work called a `sync` on another queue,
        // which came back here): waiting would wait for ourselves.
        HoldScope hold(this);
        work();
        return;
    }
    {
        std::unique_lock lock(mutex_);
        if (!delayed_.empty()) {
            // Delayed items already due come before this call.
            const uint64_t now = monotonicNanos();
            while (!delayed_.empty() && delayed_.begin()->first <= now) {
                work_.push_back(Item{std::move(delayed_.begin()->second), nullptr});
                delayed_.erase(delayed_.begin());
            }
        }
        if (!claimed_ && !running_ && work_.empty()) {
            claimed_ = true;
        } else if (finished_) {
            // No thread hands out turns any more: callers take the queue in turn.
            released_.wait(lock, [&] { return !claimed_; });
            claimed_ = true;
        } else {
            SyncTurn turn;
            work_.push_back(Item{{}, &turn});
            wake_.notify_one();
            turn.granted.wait(lock, [&] { return turn.isGranted; });
        }
    }
    // The queue is ours until `release`.
    struct Release {
        SerialQueue* queue;
        ~Release() { queue->release(); }
    } release{this};
    HoldScope hold(this);
    work();
}

void SerialQueue::release() {
    // Wakes the queue's thread while still holding the lock: once it is let go, a
    // destructor waiting on another thread may finish, and nothing here is touched again.
    std::lock_guard lock(mutex_);
    claimed_ = false;
    if (!work_.empty() || stopping_) wake_.notify_one();
    if (finished_) released_.notify_one();
}

void SerialQueue::asyncAfter(uint64_t delayNanos, std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        if (finished_) return;  // `work` goes outside the lock
        delayed_.emplace(monotonicNanos() + delayNanos, std::move(work));
    }
    wake_.notify_one();
}

bool SerialQueue::isCurrent() const { return innermostHold && innermostHold->queue == this; }

bool SerialQueue::heldByCallingThread() const {
    for (const Hold* hold = innermostHold; hold; hold = hold->outer) {
        if (hold->queue == this) return true;
    }
    return false;
}

bool SerialQueue::callingThreadHoldsQueueTagged(const void* tag) {
    for (const Hold* hold = innermostHold; hold; hold = hold->outer) {
        if (hold->queue->tag_.load(std::memory_order_relaxed) == tag) return true;
    }
    return false;
}

SerialQueue* SerialQueue::current() { return innermostHold ? innermostHold->queue : nullptr; }

std::string SerialQueue::currentLabel() { return innermostHold ? innermostHold->queue->label_ : std::string(); }

void SerialQueue::run() {
    HoldScope hold(this);
    std::unique_lock lock(mutex_);
    for (;;) {
        uint64_t now = monotonicNanos();
        while (!delayed_.empty() && delayed_.begin()->first <= now) {
            work_.push_back(Item{std::move(delayed_.begin()->second), nullptr});
            delayed_.erase(delayed_.begin());
        }
        if (!claimed_ && !work_.empty()) {
            Item next = std::move(work_.front());
            work_.pop_front();
            if (next.turn) {
                // A `sync` caller's turn: it runs its work itself while the queue waits.
                claimed_ = true;
                next.turn->isGranted = true;
                next.turn->granted.notify_one();
                continue;
            }
            running_ = true;
            lock.unlock();
            next.work();
            next.work = nullptr;  // release captures outside the lock
            lock.lock();
            running_ = false;
            continue;
        }
        if (stopping_ && work_.empty() && !claimed_) break;
        if (delayed_.empty()) {
            wake_.wait(lock);
        } else {
            uint64_t wait = delayed_.begin()->first - now;
            wake_.wait_for(lock, std::chrono::nanoseconds(wait));
        }
    }
}

}  // namespace strombel::platform
