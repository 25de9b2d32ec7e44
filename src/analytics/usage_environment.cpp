#include "analytics/usage_environment.h"

#include <time.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "http/network_thread.h"
#include "platform/application.h"
#include "platform/keychain.h"
#include "platform/main_bundle.h"
#include "platform/main_loop.h"
#include "platform/notification_center.h"
#include "platform/sandbox.h"
#include "platform/user_defaults.h"

namespace strombel::analytics {

namespace {

std::mutex environmentMutex;
std::atomic<uint64_t> environmentGeneration{1};
std::unique_ptr<UsageEnvironment>& environmentSlot() {
    static std::unique_ptr<UsageEnvironment> environment;
    return environment;
}

// Real time minus the monotonic clock, taken once: the client's dates then move
// with the main loop's clock.
double systemWallClockOffset(const platform::Clock& clock) {
    timespec real{};
    clock_gettime(CLOCK_REALTIME, &real);
    return static_cast<double>(real.tv_sec) + real.tv_nsec / 1e9 - static_cast<double>(clock.nowNanos()) / 1e9;
}

}  // namespace

UsageDate UsageEnvironment::now() const {
    return wallClockOffset + static_cast<double>(mainLoop->nowNanos()) / 1e9;
}

UsageEnvironment UsageEnvironment::fromSharedServices() {
    platform::Sandbox& sandbox = platform::Sandbox::shared();
    UsageEnvironment environment;
    environment.mainLoop = &platform::MainLoop::shared();
    environment.notificationCenter = &platform::NotificationCenter::shared();
    environment.application = &platform::Application::shared();
    environment.keychain = &platform::Keychain::shared();
    environment.userDefaults = &platform::UserDefaults::shared();
    environment.bundle = &platform::MainBundle::shared();
    environment.network = &http::NetworkThread::shared();
    environment.applicationSupport = sandbox.library() / "Application Support";
    environment.library = sandbox.library();
    environment.documents = sandbox.documents();
    environment.vendorIdentifierFile = sandbox.library() / "VendorIdentifier";
    environment.wallClockOffset = systemWallClockOffset(environment.mainLoop->clock());
    return environment;
}

const UsageEnvironment& UsageEnvironment::current() {
    std::lock_guard lock(environmentMutex);
    auto& slot = environmentSlot();
    if (!slot) slot = std::make_unique<UsageEnvironment>(fromSharedServices());
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
