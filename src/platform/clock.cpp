#include "platform/clock.h"

#include <time.h>

namespace strombel::platform {

uint64_t SystemClock::nowNanos() const {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * kNanosPerSecond + static_cast<uint64_t>(now.tv_nsec);
}

namespace {
// Made before main: the first caller may be a real-time thread, which must not
// run its construction (nor register its destruction, which allocates).
SystemClock systemClock;
}  // namespace

SystemClock& SystemClock::shared() { return systemClock; }

}  // namespace strombel::platform
