#pragma once

// The one thread that calls the sound server's library while the program runs:
// JACK clients are counted, opened, started, stopped and closed there, never on
// the main thread. A server that has just started, one started again under the
// name of one that went, or one that hangs (stopped, not gone) can keep a call
// waiting inside libjack for tens of seconds or for good: that wait holds this
// thread, never the main thread, the screen or the quitting.

#include <chrono>
#include <functional>
#include <memory>

#include "platform/required.h"

namespace strombel::platform {

class Clock;
class MainLoop;

class JackOpener {
public:
    /// What an opening hands the main loop: run there, once, unless the opener
    /// was finished meanwhile (then it is dropped without running).
    using Delivery = std::function<void()>;
    /// Runs on the opener's thread. It must own (or hold weakly) everything it
    /// touches: its owner may be gone when it ends.
    using Opening = std::function<Delivery()>;

    /// `clock` tells how long the job under way has run.
    explicit JackOpener(const Clock& clock);
    /// Finishes, waiting for no opening.
    ~JackOpener();
    JackOpener(const JackOpener&) = delete;
    JackOpener& operator=(const JackOpener&) = delete;

    /// The program's opener, made on first use.
    static JackOpener& shared();
    /// Finishes the program's opener if it was made; false when a job was
    /// left running (see `finish`).
    static bool finishShared(std::chrono::milliseconds patience);
    /// Whether the calling thread is an opener's.
    static bool onOpenerThread();

    /// Runs `opening` on the opener's thread after those before it, and posts
    /// its delivery (when there is one) to `loop`. False, with nothing run, once
    /// finished. Any thread.
    bool run(MainLoop& loop, Opening opening);
    /// Runs `work`, which hands over what it opened itself, on the opener's
    /// thread after those before it. False, with nothing run, once finished.
    bool run(std::function<void()> work);
    /// Runs `work` as `run(work)` does and waits for it at most `patience`, and
    /// not at all while the job under way has already run longer than that (a
    /// healthy server answers well within it). True when it ended in time;
    /// otherwise it goes on, and hands over what it opens itself.
    bool runAndWait(std::function<void()> work, std::chrono::milliseconds patience);
    /// How long a caller that needs an answer at once waits for an opening.
    static constexpr std::chrono::milliseconds kPatience{1000};
    /// Runs `closing`, which stops or closes what a client of ours holds, after
    /// those before it. Unlike an opening, a closing queued before `finish`
    /// still runs while the opener finishes. False, with nothing run, once
    /// finished. Any thread.
    bool close(std::function<void()> closing);
    /// Openings and closings waiting or under way.
    size_t pending() const;
    /// How long the job under way has run, in nanoseconds; 0 while none runs.
    uint64_t busyNanos() const;
    /// Waits until nothing is pending (tests), at most `patience`; true when so.
    bool waitIdle(std::chrono::milliseconds patience) const;

    /// Ends the thread: openings not yet begun are dropped, closings still run,
    /// and from now on no delivery reaches a main loop. The thread is waited for
    /// at most `patience`, and not at all while the job under way has already
    /// run longer than that (a healthy server answers well within it): a job
    /// still inside libjack is then left to run on its thread, which keeps its
    /// own state and is joined by the worker's leftovers once the job returns
    /// (false). True when the thread was joined.
    bool finish(std::chrono::milliseconds patience);

private:
    struct State;
    std::shared_ptr<State> state_;
};

/// Lets go of `object`, which holds (or may hold) a JACK client whose end may
/// wait on the server: destroyed at once on an opener's thread, else handed to
/// `opener` as a closing; left alone for good once that opener has finished.
/// Never destroys anything on the calling thread otherwise.
template <class T>
void destroyOnOpener(JackOpener& opener, std::unique_ptr<T> object);

/// Frees what it holds as `destroyOnOpener` does, on `opener`.
template <class T>
struct OpenerDeleter {
    JackOpener* opener = nullptr;
    void operator()(T* object) const {
        destroyOnOpener(required(opener, "OpenerDeleter::opener"), std::unique_ptr<T>(object));
    }
};
/// A JACK-holding object that is never destroyed on the main thread.
template <class T>
using OpenerOwned = std::unique_ptr<T, OpenerDeleter<T>>;

/// `object`, to be let go of on `opener`.
template <class T>
OpenerOwned<T> openerOwned(JackOpener& opener, std::unique_ptr<T> object) {
    return OpenerOwned<T>(object.release(), OpenerDeleter<T>{&opener});
}

namespace detail {
void leaveAloneForGood(const void* object);
}  // namespace detail

template <class T>
void destroyOnOpener(JackOpener& opener, std::unique_ptr<T> object) {
    if (!object) return;
    if (JackOpener::onOpenerThread()) return;  // `object` goes here
    T* raw = object.release();
    if (!opener.close([raw] { delete raw; })) detail::leaveAloneForGood(raw);
}

}  // namespace strombel::platform
