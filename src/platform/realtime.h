#pragma once

// Real-time threads and how they are marked.
//
// The audio callbacks, the sequencer's timing passes and the MIDI input callbacks
// run inside a `RealtimeScope`. While a thread is marked it must not allocate,
// free, lock a mutex, wait on a condition, sleep or make a system call that can
// block, and it must not format or write a log line. The product only keeps the
// mark; the test build's guard (tests/support/realtime_guard.cpp) aborts with a
// stack trace when a marked thread breaks one of these rules.

namespace strombel::platform {

namespace detail {
// How deeply the calling thread is inside RealtimeScopes. A plain thread-local
// word (no initialisation code), read with one load even inside malloc.
extern __thread int realtimeDepth __attribute__((tls_model("initial-exec")));
}  // namespace detail

/// Marks the calling thread as real-time for the scope's life. Nests. Costs one
/// thread-local increment and decrement; allocates nothing.
class RealtimeScope {
public:
    RealtimeScope() noexcept;
    ~RealtimeScope();
    RealtimeScope(const RealtimeScope&) = delete;
    RealtimeScope& operator=(const RealtimeScope&) = delete;
};

/// Lifts the mark for the scope's life, for the rare step of a real-time thread
/// that may block by design (the sequencer's sleep until its next pass).
class RealtimeScopeExit {
public:
    RealtimeScopeExit() noexcept;
    ~RealtimeScopeExit();
    RealtimeScopeExit(const RealtimeScopeExit&) = delete;
    RealtimeScopeExit& operator=(const RealtimeScopeExit&) = delete;

private:
    int saved_;
};

/// True while the calling thread is inside a RealtimeScope.
inline bool isRealtimeThread() noexcept { return detail::realtimeDepth > 0; }

}  // namespace strombel::platform
