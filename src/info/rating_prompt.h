#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "http/http_request.h"
#include "info/weak_reference.h"
#include "platform/main_loop.h"
#include "platform/serial_queue.h"
#include "platform/user_defaults.h"

namespace strombel::info {

class RatingPrompt;

/// The rating prompt's class-wide settings (one set per process).
struct RatingPromptSettings {
    std::string appId;
    double daysUntilPrompt = 30;
    int64_t usesUntilPrompt = 20;
    int64_t significantEventsUntilPrompt = -1;  // -1: significant events are not counted
    double timeBeforeReminding = 1;             // days
    bool debug = false;
    bool usesAnimation = true;
    bool modalOpen = false;
    bool alwaysUseMainBundle = false;
};

/// Told of the user's answers; every message is optional.
class RatingPromptDelegate : public Referable {
public:
    virtual ~RatingPromptDelegate() = default;
    virtual void ratingPromptDidDisplayAlert(RatingPrompt& prompt) { (void)prompt; }
    virtual void ratingPromptDidDeclineToRate(RatingPrompt& prompt) { (void)prompt; }
    virtual void ratingPromptDidOptToRate(RatingPrompt& prompt) { (void)prompt; }
    virtual void ratingPromptDidOptToRemindLater(RatingPrompt& prompt) { (void)prompt; }
    virtual void ratingPromptDidDismissModalView(RatingPrompt& prompt, bool animated) { (void)prompt, (void)animated; }
};

/// The alert the prompt asks with; the screens show it with their alert presenter.
/// Main loop only.
class RatingAlert {
public:
    virtual ~RatingAlert() = default;
    /// Shows the alert; `chosen` gets the index of the button the user pressed.
    virtual void show(const std::string& title, const std::string& message, const std::vector<std::string>& buttons,
                      std::function<void(int buttonIndex)> chosen) = 0;
    virtual bool isVisible() const = 0;
    /// Takes the alert away without an answer.
    virtual void hide() = 0;
};

/// What the prompt needs from around it. Addresses are settings: the program
/// checks the distribution's home page and opens a store page; tests point both
/// at loopback.
struct RatingPromptServices {
    /// Where the alert shows and the check request runs.
    platform::MainLoop* mainLoop = nullptr;
    RatingAlert* alert = nullptr;
    /// Opens the store's page; false when nothing could.
    std::function<bool(const std::string& url)> openURL;
    /// The reachability flags of any internet connection; absent when unreadable.
    /// Unset: the kernel's routes for 0.0.0.0.
    std::function<std::optional<uint32_t>()> reachabilityFlags;
    /// The page a GET is started to when the network looks reachable.
    std::string checkURL;
    http::NetworkThread* network = nullptr;
    /// Where the store's pages live ("https://host", no trailing "/").
    std::string storeURL = "https://apps.store.example.com";
    /// The application's bundle folder: it holds "RatingPrompt.bundle" with the
    /// texts, and the application's name in them is its "CFBundleDisplayName"
    /// (translated in its "InfoPlist" table, or as its Info.plist has it).
    std::filesystem::path bundle;
    /// Takes a presented store page away (closeModal).
    std::function<void(bool animated, std::function<void()> done)> dismissModal;
};

/// Counts how often and since when the application is used and, once the
/// configured days and uses have passed, asks the user to rate it. Counting runs
/// on one serial background queue (so no count is lost), the alert on the main
/// loop; the counters live in the user defaults and start again whenever the
/// program's version changes.
class RatingPrompt {
public:
    /// Seconds since 1970.
    using Now = std::function<double()>;
    /// The program's version ("CFBundleVersion"), asked at every count.
    using BundleVersion = std::function<std::string()>;

    RatingPrompt(platform::UserDefaults& defaults, BundleVersion bundleVersion, Now now = {});
    /// A prompt for a program whose version stays `bundleVersion`.
    RatingPrompt(platform::UserDefaults& defaults, std::string bundleVersion, Now now = {});
    ~RatingPrompt();
    RatingPrompt(const RatingPrompt&) = delete;
    RatingPrompt& operator=(const RatingPrompt&) = delete;

    /// The program's prompt, on the shared user defaults, counting for the version
    /// of the main bundle.
    static RatingPrompt& sharedInstance();
    /// At the program's end: the shared prompt, if it was made, does what was
    /// queued, ends its queue's thread and cancels its check. It counts nothing
    /// more afterwards.
    static void endSharedInstance();
    void setServices(RatingPromptServices services);

    // Class-wide settings; each only stores its value. Safe from any thread.
    static void setAppId(const std::string& appId);
    static void setDaysUntilPrompt(double days);
    static void setUsesUntilPrompt(int64_t uses);
    static void setSignificantEventsUntilPrompt(int64_t events);
    static void setTimeBeforeReminding(double days);
    static void setDebug(bool debug);
    static void setUsesAnimation(bool animation);
    static void setModalOpen(bool open);
    static void setAlwaysUseMainBundle(bool always);
    static RatingPromptSettings settings();
    /// Back to the initial values (for tests).
    static void resetSettings();

    // Custom texts of this prompt; empty means the bundle's text.
    void setCustomAlertTitle(std::string title) { alertTitle_ = std::move(title); }
    void setCustomAlertMessage(std::string message) { alertMessage_ = std::move(message); }
    void setCustomAlertCancelButtonTitle(std::string title) { alertCancelTitle_ = std::move(title); }
    void setCustomAlertRateButtonTitle(std::string title) { alertRateTitle_ = std::move(title); }
    void setCustomAlertRateLaterButtonTitle(std::string title) { alertRateLaterTitle_ = std::move(title); }
    void setDelegate(RatingPromptDelegate* delegate) { delegate_ = delegate; }

    /// Hand the launch or foreground bookkeeping of the shared prompt to its
    /// background queue and return at once.
    static void appLaunched() { appLaunched(true); }
    static void appLaunched(bool canPromptForRating) { sharedInstance().countUse(canPromptForRating); }
    static void appEnteredForeground(bool canPromptForRating) { sharedInstance().countUse(canPromptForRating); }
    static void userDidSignificantEvent(bool canPromptForRating) {
        sharedInstance().countSignificantEvent(canPromptForRating);
    }
    /// Marks this version rated and opens the store's page for the application.
    static void rateApp() { sharedInstance().openRatingPage(); }
    /// The store page reported that it finished.
    static void closeModal() { sharedInstance().closeStorePage(); }
    /// The application stops being active: a visible alert goes without an answer.
    static void appWillResignActive() { sharedInstance().willResignActive(); }
    /// The shared prompt's alert, if appropriate (main loop).
    static void showPrompt() { tryToShowPrompt(); }
    static void tryToShowPrompt() { sharedInstance().showPromptWithChecks(true, true); }
    /// The shared prompt's alert now, whatever the counts and answers (main loop).
    static void forceShowPrompt(bool displayRateLaterButton) {
        sharedInstance().showPromptWithChecks(false, displayRateLaterButton);
    }

    /// Queues one counted use (launch or return to the foreground).
    void countUse(bool canPromptForRating);
    void countSignificantEvent(bool canPromptForRating);
    /// Waits until the background queue has done what was queued so far.
    void waitUntilIdle();

    // ---- Background queue ----
    void incrementUseCount();
    void incrementSignificantEventCount();
    /// Whether the configured days, uses, events and reminder delay have passed.
    bool ratingConditionsHaveBeenMet() const;
    /// A reachable network, not declined, not rated. (The alert's visibility is
    /// read again on the main loop just before it shows.)
    bool ratingAlertIsAppropriate();
    bool connectedToNetwork();

    // ---- Main loop ----
    /// With checks, only when appropriate and no rating alert is visible.
    void showPromptWithChecks(bool withChecks, bool displayRateLaterButton);
    void showRatingAlert(bool displayRateLaterButton = true);
    void hideRatingAlert();
    /// The application stops being active (the line when debugging, then the hiding).
    void willResignActive();
    void alertViewDidDismissWithButtonIndex(int buttonIndex);
    void openRatingPage();
    void closeStorePage();
    /// The store page's address for `appId`.
    std::string ratingPageURL(const std::string& appId) const;

    bool userHasDeclinedToRate() const { return defaults_.boolForKey(kDeclinedToRate); }
    bool userHasRatedCurrentVersion() const { return defaults_.boolForKey(kRatedCurrentVersion); }

    // The texts, custom or from the bundle's "RatingPromptLocalizable" table.
    std::string alertTitle() const;
    std::string alertMessage() const;
    std::string alertCancelTitle() const;
    std::string alertRateTitle() const;
    std::string alertRateLaterTitle() const;

    // The user-defaults keys of the counters.
    static constexpr const char* kCurrentVersion = "kRatingPromptCurrentVersion";
    static constexpr const char* kFirstUseDate = "kRatingPromptFirstUseDate";
    static constexpr const char* kUseCount = "kRatingPromptUseCount";
    static constexpr const char* kSignificantEventCount = "kRatingPromptSignificantEventCount";
    static constexpr const char* kRatedCurrentVersion = "kRatingPromptRatedCurrentVersion";
    static constexpr const char* kDeclinedToRate = "kRatingPromptDeclinedToRate";
    static constexpr const char* kReminderRequestDate = "kRatingPromptReminderRequestDate";

    /// On the counting queue: counts a use (a significant event) and, when
    /// `canPromptForRating` and the conditions hold, shows the alert on the main loop.
    void incrementAndRate(bool canPromptForRating);
    void incrementSignificantEventAndRate(bool canPromptForRating);

private:
    void rateAfterCount(bool canPromptForRating, bool significantEvent);
    void incrementCount(bool significantEvent);
    void resetCounts(bool significantEvent, const std::string& version);
    std::string text(const char* key) const;
    RatingPromptServices services() const;

    platform::UserDefaults& defaults_;
    const BundleVersion bundleVersion_;
    Now now_;
    mutable std::mutex servicesMutex_;
    RatingPromptServices services_;
    WeakReference<RatingPromptDelegate> delegate_;
    std::string alertTitle_, alertMessage_, alertCancelTitle_, alertRateTitle_, alertRateLaterTitle_;
    std::unique_ptr<http::HttpRequest> checkRequest_;  // main loop
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
    // Last, so that it is joined before the members its work uses go.
    std::mutex queueMutex_;
    std::unique_ptr<platform::SerialQueue> queue_;  // null once ended

    /// Does what was queued, joins the queue's thread, cancels the check.
    void end();
};

}  // namespace strombel::info
