#include "platform/clock.h"

#include <time.h>

namespace strombel::platform {

uint64_t monotonicNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * kNanosPerSecond + static_cast<uint64_t>(now.tv_nsec);
}

uint64_t SystemClock::nowNanos() const { return monotonicNanos(); }

SystemClock& SystemClock::shared() {
    // Never destroyed: threads that outlive main (the logging queue's) still read it at exit.
    static SystemClock* const clock = new SystemClock;
    return *clock;
}

namespace {
// Made before main: the first caller may be a real-time thread, which must not
// run its construction.
[[maybe_unused]] SystemClock& systemClockMadeBeforeMain = SystemClock::shared();
}  // namespace

}  // namespace strombel::platform
