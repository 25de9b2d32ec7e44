#pragma once

// src/platform/: what the program needs of the system, written on real libraries:
// the main loop, clocks, notifications, user defaults, the sandbox and bundle,
// queues and rings, real-time marks, property lists, images, sockets, service
// discovery, audio files, files replaced whole and text cut at a character. The
// bottom layer: it logs nothing and calls no one.
// May include: no other folder.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "platform/clock.h"
#include "platform/wakeup.h"
#include "platform/worker.h"

namespace strombel::platform {

/// The main thread's run loop: work posted from any thread, and one-shot and
/// repeating timers on the loop's clock. Everything runs on the thread that owns
/// the loop. The program pumps it from Qt's event loop (or `run()`); tests pump it
/// by hand with `runPending()` and, over a ManualClock, move time with `advance()`.
class MainLoop {
public:
    using TimerId = uint64_t;

    using SignalId = uint32_t;
    /// How many signals one loop holds.
    static constexpr SignalId kMaxSignals = 64;

    /// A loop on `clock`, owned by the calling thread.
    explicit MainLoop(Clock& clock);
    ~MainLoop();
    MainLoop(const MainLoop&) = delete;
    MainLoop& operator=(const MainLoop&) = delete;

    /// The program's loop, created on first use on the calling thread.
    static MainLoop& shared();
    /// Ends the thread that turns signals raised by other threads into wake-ups,
    /// and joins it (at the program's end, once no other thread raises any).
    void stopWaker();

    Clock& clock() const { return clock_; }
    uint64_t nowNanos() const { return clock_.nowNanos(); }

    /// Queues `work` to run on the loop's thread. Safe from any thread.
    void post(std::function<void()> work);
    /// Posts `work` to `loop` if that loop still lives: for a thread that may
    /// outlive the loop it was handed. Answers whether it was posted.
    static bool postIfAlive(MainLoop* loop, std::function<void()> work);

    /// Runs `work` on the loop's thread and waits for it; inline when called there.
    /// The loop must be pumped meanwhile, or this never returns.
    void performSync(const std::function<void()>& work);

    /// Runs `work` once, `delayNanos` from now. Safe from any thread.
    TimerId schedule(uint64_t delayNanos, std::function<void()> work);

    /// Runs `work` every `intervalNanos` (a zero interval is taken as 1 ns), first
    /// after one interval. A timer that falls behind skips the beats it missed.
    TimerId scheduleRepeating(uint64_t intervalNanos, std::function<void()> work);

    /// Stops a timer; unknown or finished ids are ignored. Safe from inside a timer.
    void cancel(TimerId timer);

    /// Drops the posted work and every timer without running them, and answers
    /// how many there were: at the program's end, once no other thread posts,
    /// so that what they hold goes while everything it may reach still stands
    /// (left to the loop's own end, it would go among the static objects, in
    /// whatever order they were made). Work that posts more as it goes is
    /// dropped too. Safe from any thread.
    size_t discardPending();

    /// Registers `handler` to run on the loop's thread after each `raise` of the
    /// signal (raises that come before it runs make one run). Any thread but a
    /// real-time one; at most kMaxSignals per loop (aborts beyond).
    SignalId addSignal(std::function<void()> handler);
    /// Forgets a signal; a raise already under way runs nothing.
    void removeSignal(SignalId signal);
    /// Called on any thread, real-time ones included: asks for the signal's
    /// handler to run and wakes the loop. Never allocates, locks or blocks; a
    /// helper thread of the loop passes the wake-up on to the host event loop.
    void raise(SignalId signal) noexcept;

    /// True on the thread that owns the loop.
    bool isMainThread() const;

    /// Makes the calling thread the loop's thread (the program calls this once),
    /// with the main loop's role (platform/thread_role.h).
    void bindToCurrentThread();

    /// Runs posted work and due timers until none is left; returns how many ran.
    size_t runPending();

    /// Only over a ManualClock: moves time forward by `nanos`, firing each timer at
    /// its own due time in order, and runs posted work along the way.
    void advance(uint64_t nanos);

    /// The clock time at which the next timer is due, if any.
    std::optional<uint64_t> nextTimerDue() const;

    /// Told, from any thread, whenever work is posted or a timer is added, so that
    /// a host event loop can wake up and pump. Set once, before other threads post.
    /// Returns once no call of the handler it replaces is under way on another
    /// thread, so that what that handler reaches may go (not from a handler).
    void setWakeupHandler(std::function<void()> handler);

    /// Pumps the loop on the calling thread until `quit()`.
    void run();
    void quit();

private:
    struct Timer {
        uint64_t due;
        uint64_t interval;  // 0 for one-shot
        std::function<void()> work;
    };

    struct Signal {
        std::atomic<bool> raised{false};
        bool used = false;                // under mutex_
        std::function<void()> handler;    // under mutex_
    };

    TimerId addTimer(uint64_t delayNanos, uint64_t interval, std::function<void()> work);
    bool runOneDueTimer(uint64_t now);
    size_t runPostedSnapshot();
    size_t runRaisedSignals();
    void wake();
    void wakerMain();

    Clock& clock_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> posted_;
    std::map<TimerId, Timer> timers_;
    std::set<std::pair<uint64_t, TimerId>> dueOrder_;  // (due, timer) of every timer
    TimerId nextTimer_ = 1;
    std::thread::id owner_;
    std::function<void()> wakeupHandler_;
    int wakeupCalls_ = 0;  // calls of the handler under way
    std::condition_variable wakeupCallEnded_;
    bool quitting_ = false;

    std::array<Signal, kMaxSignals> signals_;
    std::atomic<bool> signalsRaised_{false};
    Wakeup signalWakeup_;
    std::atomic<bool> wakerStopping_{false};
    Worker waker_;  // started with the first signal
};

}  // namespace strombel::platform
