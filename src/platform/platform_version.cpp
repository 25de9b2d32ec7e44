#include "platform/platform_version.h"

#include <atomic>

namespace strombel::platform {

namespace {
std::atomic<double> version{8.0};
}

double PlatformVersion::current() { return version.load(std::memory_order_relaxed); }
int PlatformVersion::major() { return static_cast<int>(current()); }
void PlatformVersion::setCurrent(double value) { version.store(value, std::memory_order_relaxed); }

}  // namespace strombel::platform
