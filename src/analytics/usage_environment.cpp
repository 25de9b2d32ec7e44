#include "analytics/usage_environment.h"

#include <time.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/main_loop.h"
#include "platform/required.h"

namespace strombel::analytics {

namespace {

std::mutex environmentMutex;
std::atomic<uint64_t> environmentGeneration{1};
std::unique_ptr<UsageEnvironment>& environmentSlot() {
    static std::unique_ptr<UsageEnvironment> environment;
    return environment;
}

}  // namespace

// Real time minus the monotonic clock, taken once: the client's dates then move
// with the main loop's clock.
double UsageEnvironment::systemWallClockOffset(const platform::Clock& clock) {
    timespec real{};
    clock_gettime(CLOCK_REALTIME, &real);
    return static_cast<double>(real.tv_sec) + real.tv_nsec / 1e9 - static_cast<double>(clock.nowNanos()) / 1e9;
}

UsageDate UsageEnvironment::now() const {
    return wallClockOffset + static_cast<double>(mainLoop->nowNanos()) / 1e9;
}

const UsageEnvironment& UsageEnvironment::current() {
    std::lock_guard lock(environmentMutex);
    auto& slot = environmentSlot();
    if (!slot) platform::missingDependency("UsageEnvironment (UsageEnvironment::setCurrent)");
    return *slot;
}

void UsageEnvironment::setCurrent(const UsageEnvironment& environment) {
    std::lock_guard lock(environmentMutex);
    // A reference handed out earlier stays valid: the old environment is kept.
    static std::vector<std::unique_ptr<UsageEnvironment>> retired;
    if (environmentSlot()) retired.push_back(std::move(environmentSlot()));
    environmentSlot() = std::make_unique<UsageEnvironment>(environment);
    environmentGeneration.fetch_add(1);
}

uint64_t UsageEnvironment::generation() { return environmentGeneration.load(); }

}  // namespace strombel::analytics
