#pragma once

#include <semaphore.h>

#include <cstdint>

namespace strombel::platform {

/// Wakes one waiting thread from any other thread. `signal` is safe on a
/// real-time thread: it never allocates, locks or blocks (a semaphore post).
/// Signals given while nobody waits are kept: the next wait returns at once.
class Wakeup {
public:
    Wakeup();
    ~Wakeup();
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;

    /// Any thread, real-time ones included.
    void signal() noexcept;
    /// Waits for a signal (consuming every signal given so far).
    void wait();
    /// The same for at most `nanos`; false when none came.
    bool waitFor(uint64_t nanos);
    /// The same until the monotonic clock reaches `monotonicNanos`; false when none came.
    bool waitUntil(uint64_t monotonicNanos);

private:
    void consumeRest();
    sem_t semaphore_;
};

}  // namespace strombel::platform
