#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/serial_queue.h"
#include "platform/user_defaults.h"

namespace strombel::info {

/// The rating prompt's class-wide settings (one set per process).
struct RatingPromptSettings {
    std::string appId;
    double daysUntilPrompt = 30;
    int64_t usesUntilPrompt = 20;
    int64_t significantEventsUntilPrompt = -1;  // -1: significant events are not counted
    double timeBeforeReminding = 1;             // days
    bool debug = false;
};

/// Counts how often and since when the application is used, so that it can ask
/// for a rating once the configured days and uses have passed. The counting runs
/// on a low-priority background queue; the counters live in the user defaults and
/// start again whenever the program's version changes.
class RatingPrompt {
public:
    /// Seconds since 1970.
    using Now = std::function<double()>;

    RatingPrompt(platform::UserDefaults& defaults, std::string bundleVersion, Now now = {});
    ~RatingPrompt();

    /// The program's prompt, on the shared user defaults.
    static RatingPrompt& sharedInstance();

    // Class-wide settings; each only stores its value. Safe from any thread.
    static void setAppId(const std::string& appId);
    static void setDaysUntilPrompt(double days);
    static void setUsesUntilPrompt(int64_t uses);
    static void setSignificantEventsUntilPrompt(int64_t events);
    static void setTimeBeforeReminding(double days);
    static void setDebug(bool debug);
    static RatingPromptSettings settings();
    /// Back to the initial values (for tests).
    static void resetSettings();

    /// Hand the launch or foreground bookkeeping of the shared prompt to its
    /// background queue and return at once.
    static void appLaunched(bool canPromptForRating) { sharedInstance().countUse(canPromptForRating); }
    static void appEnteredForeground(bool canPromptForRating) {
        sharedInstance().countUse(canPromptForRating);
    }

    /// Queues one counted use of this prompt's version.
    void countUse(bool canPromptForRating);
    /// Waits until the background queue has done what was queued so far.
    void waitUntilIdle();

    /// One counted use, in the user defaults (runs on the background queue).
    void incrementUseCount();
    /// Whether the configured days, uses, events and reminder delay have passed.
    bool ratingConditionsHaveBeenMet() const;

    // The user-defaults keys of the counters.
    static constexpr const char* kCurrentVersion = "kRatingPromptCurrentVersion";
    static constexpr const char* kFirstUseDate = "kRatingPromptFirstUseDate";
    static constexpr const char* kUseCount = "kRatingPromptUseCount";
    static constexpr const char* kSignificantEventCount = "kRatingPromptSignificantEventCount";
    static constexpr const char* kRatedCurrentVersion = "kRatingPromptRatedCurrentVersion";
    static constexpr const char* kDeclinedToRate = "kRatingPromptDeclinedToRate";
    static constexpr const char* kReminderRequestDate = "kRatingPromptReminderRequestDate";

private:
    platform::UserDefaults& defaults_;
    const std::string bundleVersion_;
    Now now_;
    std::mutex countMutex_;
    // Last, so that it is joined before the members its work uses go.
    std::unique_ptr<platform::SerialQueue> queue_;
};

}  // namespace strombel::info
