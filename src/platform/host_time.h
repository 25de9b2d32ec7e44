#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace strombel::platform {

/// The timebase of host ticks: nanoseconds per tick = numerator / denominator.
struct Timebase {
    uint32_t numerator = 0;
    uint32_t denominator = 0;
};

/// Reads the timebase; returns 0 on success, a non-zero status on failure.
using TimebaseReader = std::function<int(Timebase&)>;

/// Reads the timebase and stores the factor nanoseconds-per-tick. On a non-zero
/// status (or a zero denominator) the factor is left as it was.
int initHostTimeConversion();

/// Host ticks to nanoseconds, truncated toward zero. Reads the timebase on first
/// use; while it cannot be read, answers 0. After the first call: one multiply.
uint64_t hostTimeToNanos(uint64_t hostTicks);

/// Nanoseconds to host ticks, truncated toward zero; 0 while the timebase cannot be read.
uint64_t nanosToHostTime(uint64_t nanos);

/// The current host time in ticks (the monotonic clock; one tick is one
/// nanosecond on this system).
uint64_t hostTimeNow();

/// For tests: replaces the timebase reader and forgets the stored factor.
/// Passing an empty function restores the system reader.
void setTimebaseReaderForTesting(TimebaseReader reader);

/// The machine identifier ("x86_64", "aarch64", ...).
std::string devicePlatform();

/// The model name for a machine identifier; unknown identifiers answer themselves.
std::string platformString(const std::string& machineIdentifier);

}  // namespace strombel::platform
