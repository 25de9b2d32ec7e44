#pragma once

#include <atomic>
#include <cstdint>

namespace strombel::platform {

/// A monotonic clock in nanoseconds. Code that waits, times out or schedules
/// takes one of these so that tests can drive time by hand.
class Clock {
public:
    virtual ~Clock() = default;
    /// Nanoseconds since an arbitrary fixed point; never goes backwards.
    virtual uint64_t nowNanos() const = 0;
};

/// CLOCK_MONOTONIC now, in nanoseconds: what every `SystemClock` reads. For
/// code bound to the machine's own time (a real device's timeline, a thread's
/// timed waits, how long a render took); code a test drives takes a `Clock`.
uint64_t monotonicNanos();

/// CLOCK_MONOTONIC, the host time of the whole program.
class SystemClock final : public Clock {
public:
    uint64_t nowNanos() const override;
    /// The one process-wide system clock.
    static SystemClock& shared();
};

/// A clock that moves only when a test tells it to. Safe to read from any thread.
class ManualClock final : public Clock {
public:
    explicit ManualClock(uint64_t startNanos = 1'000'000'000) : now_(startNanos) {}
    uint64_t nowNanos() const override { return now_.load(std::memory_order_acquire); }
    void advance(uint64_t nanos) { now_.fetch_add(nanos, std::memory_order_acq_rel); }
    void set(uint64_t nanos) { now_.store(nanos, std::memory_order_release); }

private:
    std::atomic<uint64_t> now_;
};

constexpr uint64_t kNanosPerMillisecond = 1'000'000;
constexpr uint64_t kNanosPerSecond = 1'000'000'000;

}  // namespace strombel::platform
