#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "platform/worker.h"

namespace strombel::platform {

/// A serial work queue on a thread of its own: work items run one at a time, in
/// the order they were queued (delayed items in order of their due time).
/// Destroying the queue runs every item already queued, drops delayed items that
/// are not yet due, and joins the thread.
class SerialQueue {
public:
    explicit SerialQueue(std::string label = {});
    ~SerialQueue();
    /// Runs every item already queued (dropping delayed items not yet due), ends
    /// the queue's thread and joins it; the object stays. From then on `async` and
    /// `asyncAfter` work is dropped, and `sync` runs its work on the calling thread,
    /// one caller at a time. Not from the queue's own work.
    void finish();
    bool isFinished() const;
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    /// Queues `work` and returns at once.
    void async(std::function<void()> work);

    /// Runs `work` on the queue and returns when it has finished. The work runs on
    /// the calling thread: at once when the queue is idle, otherwise once every item
    /// queued before it has run. While it runs the caller holds the queue: the
    /// queue's thread starts nothing else, and `current()`, `isCurrent()` and
    /// `currentLabel()` name this queue. Called while the calling thread already
    /// holds the queue (on its thread or inside another `sync`), runs `work` inline.
    /// `work` must not destroy the queue.
    void sync(const std::function<void()>& work);

    /// Queues `work` to run no earlier than `delayNanos` from now (monotonic clock).
    void asyncAfter(uint64_t delayNanos, std::function<void()> work);

    /// True when the calling thread is running this queue's work: on the queue's
    /// thread, or inside `sync` (and not inside a `sync` on another queue from there).
    bool isCurrent() const;

    const std::string& label() const { return label_; }

    /// The queue whose work the calling thread is running, or nullptr.
    static SerialQueue* current();

    /// The label of the queue whose work the calling thread is running; empty when none.
    static std::string currentLabel();

    /// Marks the queue as one of a kind (`tag` is any address naming the kind;
    /// nullptr for none), so that code can ask whether it runs on such a queue.
    void setTag(const void* tag) { tag_.store(tag, std::memory_order_relaxed); }

    /// True when the calling thread holds a queue marked with `tag`: runs on its
    /// thread or inside its `sync`, however deeply nested in other queues' `sync`.
    static bool callingThreadHoldsQueueTagged(const void* tag);

private:
    // A caller of `sync` waiting for the items queued before it.
    struct SyncTurn {
        std::condition_variable granted;
        bool isGranted = false;
    };

    // An item of the queue: work to run on the queue's thread, or the turn of a
    // waiting `sync` caller.
    struct Item {
        std::function<void()> work;
        SyncTurn* turn = nullptr;
    };

    void run();
    bool heldByCallingThread() const;
    void release();

    const std::string label_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Item> work_;
    std::multimap<uint64_t, std::function<void()>> delayed_;
    bool running_ = false;  // the queue's thread is running an item
    bool claimed_ = false;  // a `sync` caller holds the queue
    bool stopping_ = false;
    bool finished_ = false;  // the thread has been joined
    std::condition_variable released_;  // a `sync` caller let go of a finished queue
    std::atomic<const void*> tag_{nullptr};
    Worker thread_;
};

}  // namespace strombel::platform
