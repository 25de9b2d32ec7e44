#pragma once

// The one way the program starts a thread of its own: a `Worker` has a name
// (set on the thread, so that it shows in /proc/PID/task/*/comm and in a
// debugger), a place in the thread priority policy (an ordinary thread unless
// it is one of the few real-time roles), and one owner that stops it: the stop
// wakes the thread the way the owner says and joins it. Nothing is detached.
//
// A thread can be left waiting only where a call inside a library may never
// return (a JACK client's on a server that hangs): its owner stops it with a
// patience (`stop(patience)`), and a thread that has not ended by then is kept
// by the process's list of leftovers, joined once it ends, never waited for
// without bound: at the process's end each gets half a second more.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/thread_priority.h"

namespace strombel::platform {

namespace detail {
/// What a worker and its thread share: whether the body has returned.
struct WorkerControl;
}  // namespace detail

class Worker {
public:
    /// What the thread runs. It returns once its owner's wake has told it to
    /// stop (or earlier, when its work is done).
    using Body = std::function<void()>;
    /// Tells the thread to stop and wakes it: sets the flag its loop checks and
    /// notifies its condition variable, writes to its pipe, posts its semaphore.
    /// Run by `stop` on the stopping thread, once, before the join.
    using Wake = std::function<void()>;

    /// The longest name the system keeps for a thread; a longer one is cut.
    static constexpr size_t kMaxNameLength = 15;

    /// None started: `running()` is false and stopping does nothing.
    Worker() = default;
    /// Starts `body` on a thread named `name`, raised to `realTime`'s priority
    /// under the audio thread for the thread's life (none: an ordinary thread).
    Worker(std::string name, Body body, Wake wake = {}, std::optional<RealTimeRole> realTime = std::nullopt);
    /// Stops and joins the thread (see `stop`).
    ~Worker();
    Worker(Worker&& other) noexcept;
    /// Stops the thread held until now, then takes `other`'s.
    Worker& operator=(Worker&& other) noexcept;
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    /// Wakes the thread and joins it; afterwards `running()` is false. Called on
    /// the worker's own thread (its body destroys its owner), it wakes the thread
    /// and leaves it to the leftovers, which join it once its body has returned.
    void stop();
    /// The same, waiting for the body to return at most `patience`: true when
    /// the thread was joined; false when it still runs, left to the leftovers
    /// (for a thread inside a library call that may never return).
    bool stop(std::chrono::nanoseconds patience);
    /// Waits, without waking it, for a body that ends by itself (a job with an
    /// end of its own) and joins the thread. Not on the worker's own thread.
    void join();

    /// A thread was started and not yet stopped.
    bool running() const { return thread_.joinable(); }
    /// The body has returned (false while none was started, and once the
    /// thread was left to the leftovers).
    bool ended() const;
    /// The calling thread is this worker's.
    bool isCurrent() const { return thread_.joinable() && thread_.get_id() == std::this_thread::get_id(); }
    const std::string& name() const { return name_; }

    /// Why the calling worker thread runs without its real-time role's priority
    /// (empty when it has it, or has no such role).
    static const std::string& realTimeError();

    /// Joins the leftovers whose bodies have returned; how many still run.
    static size_t joinEndedLeftovers();

private:
    /// Hands the thread to the leftovers, once woken.
    void leave();

    std::string name_;
    Wake wake_;
    std::shared_ptr<detail::WorkerControl> control_;
    std::thread thread_;
};

}  // namespace strombel::platform
