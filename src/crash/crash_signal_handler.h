#pragma once

// Catching crashes through signals: one sigaction handler per capture instance,
// run on the faulting thread's alternate stack, calls a chain of crash
// callbacks and raises the signal again when none handled it. The chain and the
// saved previous actions are read without locks at crash time: registration
// publishes each new link whole before linking it in. The chain has no length
// limit; its links live as long as the capture.

#include <signal.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <utility>

#include "platform/result.h"

namespace strombel::crash {

struct crash_signal_continuation;

/// A crash callback: (signal, information, user context, its context, the rest of
/// the chain or nullptr) → whether it handled the signal.
using crash_signal_callback = bool (*)(int signal, siginfo_t* info, void* ucontext, void* context,
                                       const crash_signal_continuation* next);

struct crash_signal_continuation {
    const void* link;  // the next link to call
    class SignalCapture* capture;
};

/// Calls the rest of the chain; false when there is none.
bool crash_signal_callback_next(const crash_signal_continuation* next, int signal, siginfo_t* info, void* ucontext);

/// Gives the calling thread its own alternate signal stack (with a guard page
/// below), released when the thread ends; a thread that has one keeps it. Every
/// thread the program starts should call this, so that a stack overflow on it
/// can still be reported. False when the stack cannot be made.
bool crash_signal_stack_install();

/// A process-wide object that is never destroyed: a crash during the process's
/// exit still finds the capture state in place.
template <typename T>
class Immortal {
public:
    template <typename... Arguments>
    explicit Immortal(Arguments&&... arguments) {
        new (storage_) T(std::forward<Arguments>(arguments)...);
    }
    T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

/// One instance's signal capture: its callback chain, saved actions and handler.
class SignalCapture {
public:
    using Handler = void (*)(int, siginfo_t*, void*);

    explicit SignalCapture(Handler handler) : handler_(handler) {}
    ~SignalCapture();
    SignalCapture(const SignalCapture&) = delete;
    SignalCapture& operator=(const SignalCapture&) = delete;

    /// Installs the handler for `signal` (once; the previous action is saved)
    /// and appends "call the previous action" to the chain. Code-1 errors:
    /// "Could not initialize alternative signal stack", "Failed to register signal handler".
    platform::Result<void> registerHandlerWithSignal(int signal);
    /// The same, then puts {callback, context} at the head of the chain.
    platform::Result<void> registerHandlerForSignal(int signal, crash_signal_callback callback, void* context);
    /// Empties the chain and the saved actions; installed actions stay (tests).
    /// The links dropped stay allocated: a handler may still be walking them.
    void resetHandlers();
    /// Puts back every action saved at registration and empties the chain:
    /// the process is as before its first registration (tests; not while a
    /// thread may crash).
    void uninstall();
    /// A signal the handler blocks while it runs (the thread-holding signal).
    void setBlockedSignal(int signal) { blockedSignal_ = signal; }

    /// Runs the chain (from the head, or after `next`). Async-signal-safe.
    bool dispatch(int signal, siginfo_t* info, void* ucontext, const crash_signal_continuation* next);
    /// The installed action: dispatch, and raise the signal again when unhandled.
    void handle(int signal, siginfo_t* info, void* ucontext);

    /// The chain's last link for every signal: calls the action that was
    /// installed before ours. `context` is the SignalCapture.
    static bool forwardPrevious(int signal, siginfo_t* info, void* ucontext, void* context,
                                const crash_signal_continuation* next);

private:
    friend bool crash_signal_callback_next(const crash_signal_continuation*, int, siginfo_t*, void*);
    // A link is filled whole before it is linked in (release); a handler walks
    // the links it reaches (acquire) and never sees one half made. Links are
    // made in ordinary context and only freed with the capture.
    struct Link {
        crash_signal_callback callback;
        void* context;
        std::atomic<const Link*> next{nullptr};
        Link* allocatedBefore;  // every link ever made, for the destructor
    };
    struct Saved {
        std::atomic<bool> present{false};
        struct sigaction action;
    };

    void publish(bool atHead, crash_signal_callback callback, void* context);

    Handler handler_;
    std::mutex registration_;
    std::atomic<const Link*> head_{nullptr};
    Link* tail_ = nullptr;       // under registration_
    Link* allocated_ = nullptr;  // under registration_
    Saved saved_[_NSIG];
    int blockedSignal_ = 0;
};

/// The main instance's signal capture and its installed action.
class CrashSignalHandler {
public:
    static SignalCapture& sharedHandler();
};
/// The second instance's.
class UsageCrashSignalHandler {
public:
    static SignalCapture& sharedHandler();
};

/// The chain's last link: calls the action installed before ours; `context` is
/// the SignalCapture whose saved actions are meant.
bool crash_signal_forward_previous(int signal, siginfo_t* info, void* ucontext, void* context,
                                   const crash_signal_continuation* next);

extern "C" void crash_signal_handler(int signal, siginfo_t* info, void* ucontext);
extern "C" void usage_signal_handler(int signal, siginfo_t* info, void* ucontext);
bool crash_signal_dispatch(int signal, siginfo_t* info, void* ucontext, const crash_signal_continuation* next);
bool usage_signal_dispatch(int signal, siginfo_t* info, void* ucontext, const crash_signal_continuation* next);

/// The reporter's errors: "CrashReporterErrorDomain", with an underlying POSIX error.
platform::Error crash_reporter_error(int64_t code, const char* description, int posixError = 0);

}  // namespace strombel::crash
