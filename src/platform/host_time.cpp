#include "platform/host_time.h"

#include <sys/utsname.h>

#include <array>
#include <atomic>
#include <mutex>
#include <utility>

#include "platform/clock.h"

namespace strombel::platform {
namespace {

// Written once (racing writers store the same value), then only read.
std::atomic<double> factor{0.0};

std::mutex readerMutex;
TimebaseReader& readerSlot() {
    static TimebaseReader reader;
    return reader;
}

int systemTimebase(Timebase& timebase) {
    // CLOCK_MONOTONIC counts nanoseconds: one tick is one nanosecond.
    timebase.numerator = 1;
    timebase.denominator = 1;
    return 0;
}

double currentFactor() {
    double value = factor.load(std::memory_order_relaxed);
    if (value == 0.0) {
        initHostTimeConversion();
        value = factor.load(std::memory_order_relaxed);
    }
    return value;
}

}  // namespace

int initHostTimeConversion() {
    Timebase timebase;
    int status;
    {
        std::lock_guard lock(readerMutex);
        TimebaseReader& reader = readerSlot();
        status = reader ? reader(timebase) : systemTimebase(timebase);
    }
    if (status != 0) return status;
    if (timebase.denominator == 0) return -1;
    factor.store(static_cast<double>(timebase.numerator) / static_cast<double>(timebase.denominator),
                 std::memory_order_relaxed);
    return 0;
}

namespace {
// Read before main, so that the audio and sequencer threads find the factor
// there and never take the reader's lock.
[[maybe_unused]] const int readAtStart = initHostTimeConversion();
}  // namespace

uint64_t hostTimeToNanos(uint64_t hostTicks) {
    double value = currentFactor();
    return static_cast<uint64_t>(static_cast<double>(hostTicks) * value);
}

uint64_t nanosToHostTime(uint64_t nanos) {
    double value = currentFactor();
    if (value == 0.0) return 0;
    return static_cast<uint64_t>(static_cast<double>(nanos) / value);
}

uint64_t hostTimeNow() { return monotonicNanos(); }

void setTimebaseReaderForTesting(TimebaseReader reader) {
    std::lock_guard lock(readerMutex);
    readerSlot() = std::move(reader);
    factor.store(0.0, std::memory_order_relaxed);
}

std::string devicePlatform() {
    utsname name{};
    if (uname(&name) != 0) return {};
    return name.machine;
}

std::string platformString(const std::string& machineIdentifier) {
    static const std::array<std::pair<const char*, const char*>, 20> models{{
        {"iPhone1,1", "iPhone 1G"},      {"iPhone1,2", "iPhone 3G"},
        {"iPhone2,1", "iPhone 3GS"},     {"iPhone3,1", "iPhone 4"},
        {"iPhone3,3", "Verizon iPhone 4"}, {"iPhone4,1", "iPhone 4S"},
        {"iPod1,1", "iPod Touch 1G"},    {"iPod2,1", "iPod Touch 2G"},
        {"iPod3,1", "iPod Touch 3G"},    {"iPod4,1", "iPod Touch 4G"},
        {"iPad1,1", "iPad"},             {"iPad2,1", "iPad 2 (WiFi)"},
        {"iPad2,2", "iPad 2 (GSM)"},     {"iPad2,3", "iPad 2 (CDMA)"},
        {"iPad2,4", "iPad 2"},           {"iPad3,1", "iPad-3G (WiFi)"},
        {"iPad3,2", "iPad-3G (4G)"},     {"iPad3,3", "iPad-3G (4G)"},
        {"i386", "Simulator"},           {"x86_64", "Simulator"},
    }};
    for (const auto& [identifier, model] : models) {
        if (machineIdentifier == identifier) return model;
    }
    return machineIdentifier;
}

}  // namespace strombel::platform
