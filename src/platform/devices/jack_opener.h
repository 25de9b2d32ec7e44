#pragma once

// The one thread that opens JACK clients while the program runs. A server that
// has just started, or one started again under the name of one that went, can
// keep an open waiting inside libjack for tens of seconds: that wait holds this
// thread, never the main thread, the screen or the quitting.

#include <chrono>
#include <functional>
#include <memory>

namespace strombel::platform {

class MainLoop;

class JackOpener {
public:
    /// What an opening hands the main loop: run there, once, unless the opener
    /// was finished meanwhile (then it is dropped without running).
    using Delivery = std::function<void()>;
    /// Runs on the opener's thread. It must own (or hold weakly) everything it
    /// touches: its owner may be gone when it ends.
    using Opening = std::function<Delivery()>;

    JackOpener();
    /// Finishes, waiting for no opening.
    ~JackOpener();
    JackOpener(const JackOpener&) = delete;
    JackOpener& operator=(const JackOpener&) = delete;

    /// The program's opener, made on first use.
    static JackOpener& shared();
    /// Finishes the program's opener if it was made; false when an opening was
    /// left running (see `finish`).
    static bool finishShared(std::chrono::milliseconds patience);

    /// Runs `opening` on the opener's thread after those before it, and posts
    /// its delivery (when there is one) to `loop`. False, with nothing run, once
    /// finished. Any thread.
    bool run(MainLoop& loop, Opening opening);
    /// Runs `work`, which hands over what it opened itself, on the opener's
    /// thread after those before it. False, with nothing run, once finished.
    bool run(std::function<void()> work);
    /// Openings waiting or under way.
    size_t pending() const;
    /// Waits until nothing is pending (tests), at most `patience`; true when so.
    bool waitIdle(std::chrono::milliseconds patience) const;

    /// Ends the thread: openings not yet begun are dropped, and from now on no
    /// delivery reaches a main loop. The opening under way is waited for at most
    /// `patience`; one that is still inside libjack then is left to run on a
    /// detached thread that keeps its own state (false). True when the thread
    /// was joined.
    bool finish(std::chrono::milliseconds patience);

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace strombel::platform
