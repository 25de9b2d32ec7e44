#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace strombel::platform {

/// A serial work queue on a thread of its own: work items run one at a time, in
/// the order they were queued (delayed items in order of their due time).
/// Destroying the queue runs every item already queued, drops delayed items that
/// are not yet due, and joins the thread.
class SerialQueue {
public:
    explicit SerialQueue(std::string label = {});
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    /// Queues `work` and returns at once.
    void async(std::function<void()> work);

    /// Runs `work` on the queue and returns when it has finished. Called from the
    /// queue's own thread, runs `work` inline instead of waiting on itself.
    void sync(const std::function<void()>& work);

    /// Queues `work` to run no earlier than `delayNanos` from now (monotonic clock).
    void asyncAfter(uint64_t delayNanos, std::function<void()> work);

    /// True when the calling thread is this queue's thread.
    bool isCurrent() const;

    const std::string& label() const { return label_; }

    /// The queue the calling thread belongs to, or nullptr.
    static SerialQueue* current();

    /// The label of the queue the calling thread belongs to; empty when none.
    static std::string currentLabel();

private:
    void run();

    const std::string label_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> work_;
    std::multimap<uint64_t, std::function<void()>> delayed_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace strombel::platform
