#include "info/rating_prompt.h"

#include <fmt/format.h>

#include <chrono>
#include <cstdio>
#include <utility>

namespace strombel::info {

namespace {

std::mutex settingsMutex;
RatingPromptSettings currentSettings;

// The program's version, as the counters record it.
constexpr const char* kBundleVersion = "1.0";
constexpr double kSecondsPerDay = 86400.0;

double secondsSince1970() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

RatingPrompt::RatingPrompt(platform::UserDefaults& defaults, std::string bundleVersion, Now now)
    : defaults_(defaults),
      bundleVersion_(std::move(bundleVersion)),
      now_(now ? std::move(now) : Now(secondsSince1970)),
      queue_(std::make_unique<platform::SerialQueue>("RatingPrompt")) {}

RatingPrompt::~RatingPrompt() { queue_.reset(); }

RatingPrompt& RatingPrompt::sharedInstance() {
    static RatingPrompt prompt(platform::UserDefaults::shared(), kBundleVersion);
    return prompt;
}

void RatingPrompt::setAppId(const std::string& appId) {
    std::lock_guard lock(settingsMutex);
    currentSettings.appId = appId;
}
void RatingPrompt::setDaysUntilPrompt(double days) {
    std::lock_guard lock(settingsMutex);
    currentSettings.daysUntilPrompt = days;
}
void RatingPrompt::setUsesUntilPrompt(int64_t uses) {
    std::lock_guard lock(settingsMutex);
    currentSettings.usesUntilPrompt = uses;
}
void RatingPrompt::setSignificantEventsUntilPrompt(int64_t events) {
    std::lock_guard lock(settingsMutex);
    currentSettings.significantEventsUntilPrompt = events;
}
void RatingPrompt::setTimeBeforeReminding(double days) {
    std::lock_guard lock(settingsMutex);
    currentSettings.timeBeforeReminding = days;
}
void RatingPrompt::setDebug(bool debug) {
    std::lock_guard lock(settingsMutex);
    currentSettings.debug = debug;
}
RatingPromptSettings RatingPrompt::settings() {
    std::lock_guard lock(settingsMutex);
    return currentSettings;
}
void RatingPrompt::resetSettings() {
    std::lock_guard lock(settingsMutex);
    currentSettings = RatingPromptSettings{};
}

void RatingPrompt::countUse(bool canPromptForRating) {
    // The prompt itself (the alert and the store page) comes with the information
    // screen; until then a use is only counted.
    (void)canPromptForRating;
    queue_->async([this] { incrementUseCount(); });
}

void RatingPrompt::waitUntilIdle() {
    queue_->sync([] {});
}

void RatingPrompt::incrementUseCount() {
    std::lock_guard lock(countMutex_);
    const bool debug = settings().debug;
    std::string tracked = defaults_.stringForKey(kCurrentVersion);
    if (tracked.empty()) {
        tracked = bundleVersion_;
        defaults_.setString(kCurrentVersion, tracked);
    }
    if (debug) fmt::print(stderr, "RATINGPROMPT Tracking version: {}\n", tracked);
    if (tracked == bundleVersion_) {
        if (defaults_.doubleForKey(kFirstUseDate) == 0) defaults_.setDouble(kFirstUseDate, now_());
        int64_t uses = defaults_.integerForKey(kUseCount) + 1;
        defaults_.setInteger(kUseCount, uses);
        if (debug) fmt::print(stderr, "RATINGPROMPT Use count: {}\n", uses);
    } else {
        defaults_.setString(kCurrentVersion, bundleVersion_);
        defaults_.setDouble(kFirstUseDate, now_());
        defaults_.setInteger(kUseCount, 1);
        defaults_.setInteger(kSignificantEventCount, 0);
        defaults_.setBool(kRatedCurrentVersion, false);
        defaults_.setBool(kDeclinedToRate, false);
        defaults_.setDouble(kReminderRequestDate, 0);
    }
    defaults_.synchronize();
}

bool RatingPrompt::ratingConditionsHaveBeenMet() const {
    const RatingPromptSettings current = settings();
    if (current.debug) return true;
    const double now = now_();
    if (now - defaults_.doubleForKey(kFirstUseDate) < current.daysUntilPrompt * kSecondsPerDay) return false;
    if (defaults_.integerForKey(kUseCount) < current.usesUntilPrompt) return false;
    if (defaults_.integerForKey(kSignificantEventCount) < current.significantEventsUntilPrompt) return false;
    if (now - defaults_.doubleForKey(kReminderRequestDate) < current.timeBeforeReminding * kSecondsPerDay)
        return false;
    return true;
}

}  // namespace strombel::info
