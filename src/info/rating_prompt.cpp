#include "info/rating_prompt.h"

#include <fmt/format.h>

#include <chrono>
#include <limits>
#include <atomic>
#include <utility>

#include "info/console.h"
#include "platform/localized_strings.h"
#include "platform/main_bundle.h"
#include "platform/network_reachability.h"

namespace strombel::info {

namespace {

std::mutex settingsMutex;
RatingPromptSettings currentSettings;

constexpr double kSecondsPerDay = 86400.0;
constexpr const char* kTable = "RatingPromptLocalizable";

double secondsSince1970() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

template <typename Field, typename Value>
void store(Field RatingPromptSettings::*field, Value value) {
    std::lock_guard lock(settingsMutex);
    currentSettings.*field = value;
}

// "%@" replaced by `name`, everywhere.
std::string withName(std::string text, const std::string& name) {
    for (size_t at = text.find("%@"); at != std::string::npos; at = text.find("%@", at + name.size())) {
        text.replace(at, 2, name);
    }
    return text;
}

// The application's name: its bundle's "CFBundleDisplayName", translated or as stored.
std::string displayName(const std::filesystem::path& bundle) {
    constexpr const char* kKey = "CFBundleDisplayName";
    std::string translated = platform::localizedString(bundle, kKey, {}, "InfoPlist");
    if (translated != kKey) return translated;
    return platform::MainBundle(bundle).displayName().value_or("");
}

}  // namespace

RatingPrompt::RatingPrompt(platform::UserDefaults& defaults, BundleVersion bundleVersion, Now now)
    : defaults_(defaults),
      bundleVersion_(std::move(bundleVersion)),
      now_(now ? std::move(now) : Now(secondsSince1970)),
      queue_(std::make_unique<platform::SerialQueue>("RatingPrompt")) {}

RatingPrompt::RatingPrompt(platform::UserDefaults& defaults, std::string bundleVersion, Now now)
    : RatingPrompt(defaults, BundleVersion([version = std::move(bundleVersion)] { return version; }), std::move(now)) {}

RatingPrompt::~RatingPrompt() { end(); }

void RatingPrompt::end() {
    std::unique_ptr<platform::SerialQueue> queue;
    {
        std::lock_guard lock(queueMutex_);
        queue = std::move(queue_);
    }
    queue.reset();
    if (checkRequest_) checkRequest_->clearDelegatesAndCancel();
    checkRequest_.reset();
}

namespace {
std::atomic<bool> sharedPromptMade{false};
}  // namespace

RatingPrompt& RatingPrompt::sharedInstance() {
    // The version is read at every count: an update restarts the counts.
    static RatingPrompt prompt(platform::UserDefaults::shared(),
                               BundleVersion([] { return platform::MainBundle::shared().version().value_or(""); }));
    sharedPromptMade.store(true);
    return prompt;
}

void RatingPrompt::endSharedInstance() {
    if (sharedPromptMade.load()) sharedInstance().end();
}

void RatingPrompt::setServices(RatingPromptServices services) {
    std::lock_guard lock(servicesMutex_);
    services_ = std::move(services);
}

RatingPromptServices RatingPrompt::services() const {
    std::lock_guard lock(servicesMutex_);
    return services_;
}

void RatingPrompt::setAppId(const std::string& appId) { store(&RatingPromptSettings::appId, appId); }
void RatingPrompt::setDaysUntilPrompt(double days) { store(&RatingPromptSettings::daysUntilPrompt, days); }
void RatingPrompt::setUsesUntilPrompt(int64_t uses) { store(&RatingPromptSettings::usesUntilPrompt, uses); }
void RatingPrompt::setSignificantEventsUntilPrompt(int64_t events) {
    store(&RatingPromptSettings::significantEventsUntilPrompt, events);
}
void RatingPrompt::setTimeBeforeReminding(double days) { store(&RatingPromptSettings::timeBeforeReminding, days); }
void RatingPrompt::setDebug(bool debug) { store(&RatingPromptSettings::debug, debug); }
void RatingPrompt::setUsesAnimation(bool animation) { store(&RatingPromptSettings::usesAnimation, animation); }
void RatingPrompt::setModalOpen(bool open) { store(&RatingPromptSettings::modalOpen, open); }
void RatingPrompt::setAlwaysUseMainBundle(bool always) { store(&RatingPromptSettings::alwaysUseMainBundle, always); }

RatingPromptSettings RatingPrompt::settings() {
    std::lock_guard lock(settingsMutex);
    return currentSettings;
}

void RatingPrompt::resetSettings() {
    std::lock_guard lock(settingsMutex);
    currentSettings = RatingPromptSettings{};
}

void RatingPrompt::countUse(bool canPromptForRating) {
    std::lock_guard lock(queueMutex_);
    if (queue_) queue_->async([this, canPromptForRating] { incrementAndRate(canPromptForRating); });
}

void RatingPrompt::countSignificantEvent(bool canPromptForRating) {
    std::lock_guard lock(queueMutex_);
    if (queue_) queue_->async([this, canPromptForRating] { incrementSignificantEventAndRate(canPromptForRating); });
}

void RatingPrompt::waitUntilIdle() {
    platform::SerialQueue* queue = nullptr;
    {
        std::lock_guard lock(queueMutex_);
        queue = queue_.get();
    }
    if (queue) queue->sync([] {});
}

void RatingPrompt::incrementAndRate(bool canPromptForRating) {
    incrementUseCount();
    rateAfterCount(canPromptForRating, false);
}

void RatingPrompt::incrementSignificantEventAndRate(bool canPromptForRating) {
    incrementSignificantEventCount();
    rateAfterCount(canPromptForRating, true);
}

void RatingPrompt::rateAfterCount(bool canPromptForRating, bool significantEvent) {
    if (!canPromptForRating || !ratingConditionsHaveBeenMet()) return;
    // A significant event asks for appropriateness even when debugging.
    if (!(settings().debug && !significantEvent) && !ratingAlertIsAppropriate()) return;
    platform::MainLoop* loop = services().mainLoop;
    if (!loop) return;
    std::weak_ptr<int> alive = alive_;
    loop->post([this, alive] {
        if (alive.expired()) return;
        // Never a second alert over a visible one.
        RatingAlert* alert = services().alert;
        if (alert && alert->isVisible()) return;
        showRatingAlert(true);
    });
}

void RatingPrompt::resetCounts(bool significantEvent, const std::string& version) {
    defaults_.setString(kCurrentVersion, version);
    defaults_.setDouble(kFirstUseDate, significantEvent ? 0 : now_());
    defaults_.setInteger(kUseCount, significantEvent ? 0 : 1);
    defaults_.setInteger(kSignificantEventCount, significantEvent ? 1 : 0);
    defaults_.setBool(kRatedCurrentVersion, false);
    defaults_.setBool(kDeclinedToRate, false);
    defaults_.setDouble(kReminderRequestDate, 0);
}

void RatingPrompt::incrementUseCount() { incrementCount(false); }

void RatingPrompt::incrementSignificantEventCount() { incrementCount(true); }

void RatingPrompt::incrementCount(bool significantEvent) {
    const bool debug = settings().debug;
    const std::string version = bundleVersion_();
    std::string tracked = defaults_.stringForKey(kCurrentVersion);
    if (tracked.empty()) {
        tracked = version;
        defaults_.setString(kCurrentVersion, tracked);
    }
    if (debug) consoleLine(fmt::format("RATINGPROMPT Tracking version: {}", tracked));
    if (tracked == version) {
        if (defaults_.doubleForKey(kFirstUseDate) == 0) defaults_.setDouble(kFirstUseDate, now_());
        const char* key = significantEvent ? kSignificantEventCount : kUseCount;
        // A count at the top stays there rather than wrapping to the lowest.
        const int64_t stored = defaults_.integerForKey(key);
        const int64_t count = stored == std::numeric_limits<int64_t>::max() ? stored : stored + 1;
        defaults_.setInteger(key, count);
        if (debug) {
            consoleLine(fmt::format("RATINGPROMPT {}: {}", significantEvent ? "Significant event count" : "Use count",
                                    count));
        }
    } else {
        resetCounts(significantEvent, version);
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

bool RatingPrompt::ratingAlertIsAppropriate() {
    return connectedToNetwork() && !userHasDeclinedToRate() && !userHasRatedCurrentVersion();
}

bool RatingPrompt::connectedToNetwork() {
    const RatingPromptServices current = services();
    std::optional<uint32_t> flags;
    if (current.reachabilityFlags) {
        flags = current.reachabilityFlags();
    } else if (auto reachability = platform::NetworkReachability::forIPv4Address(0)) {
        flags = reachability->flags();
    }
    if (!flags) {
        consoleLine("Error. Could not recover network reachability flags");
        return false;
    }
    namespace f = platform::reachability_flags;
    const bool reachable = (*flags & f::kReachable) && !(*flags & f::kConnectionRequired);
    const bool transient = *flags & f::kTransientConnection;
    // The check request: started, its answer never read.
    const bool created = current.mainLoop && current.network &&
                         (current.checkURL.rfind("http://", 0) == 0 || current.checkURL.rfind("https://", 0) == 0);
    if (created) {
        std::weak_ptr<int> alive = alive_;
        current.mainLoop->post([this, alive, url = current.checkURL, network = current.network] {
            if (alive.expired()) return;
            if (checkRequest_) checkRequest_->clearDelegatesAndCancel();
            checkRequest_ = std::make_unique<http::HttpRequest>(url, *network);
            checkRequest_->setDownloadCache(nullptr);
            checkRequest_->setTimeout(20);
            checkRequest_->startAsynchronous();
        });
    }
    return (reachable || transient) && created;
}

void RatingPrompt::showPromptWithChecks(bool withChecks, bool displayRateLaterButton) {
    if (withChecks && !ratingAlertIsAppropriate()) return;
    RatingAlert* alert = services().alert;
    if (withChecks && alert && alert->isVisible()) return;
    showRatingAlert(displayRateLaterButton);
}

void RatingPrompt::showRatingAlert(bool displayRateLaterButton) {
    RatingAlert* alert = services().alert;
    if (!alert) return;
    std::vector<std::string> buttons{alertCancelTitle(), alertRateTitle()};
    if (displayRateLaterButton) buttons.push_back(alertRateLaterTitle());
    std::weak_ptr<int> alive = alive_;
    alert->show(alertTitle(), alertMessage(), buttons, [this, alive](int index) {
        if (!alive.expired()) alertViewDidDismissWithButtonIndex(index);
    });
    if (auto* delegate = delegate_.get()) delegate->ratingPromptDidDisplayAlert(*this);
}

void RatingPrompt::hideRatingAlert() {
    RatingAlert* alert = services().alert;
    if (!alert || !alert->isVisible()) return;
    if (settings().debug) consoleLine("RATINGPROMPT Hiding Alert");
    alert->hide();
}

void RatingPrompt::willResignActive() {
    if (settings().debug) consoleLine("RATINGPROMPT appWillResignActive");
    hideRatingAlert();
}

void RatingPrompt::alertViewDidDismissWithButtonIndex(int buttonIndex) {
    switch (buttonIndex) {
        case 0:
            defaults_.setBool(kDeclinedToRate, true);
            defaults_.synchronize();
            if (auto* delegate = delegate_.get()) delegate->ratingPromptDidDeclineToRate(*this);
            break;
        case 1:
            openRatingPage();
            if (auto* delegate = delegate_.get()) delegate->ratingPromptDidOptToRate(*this);
            break;
        case 2:
            defaults_.setDouble(kReminderRequestDate, now_());
            defaults_.synchronize();
            if (auto* delegate = delegate_.get()) delegate->ratingPromptDidOptToRemindLater(*this);
            break;
        default:
            break;
    }
}

std::string RatingPrompt::ratingPageURL(const std::string& appId) const {
    // There is no store application here: the template's path and query go to the
    // store's web host.
    return services().storeURL + "/WebObjects/MZStore.woa/wa/viewContentsUserReviews?id=" + appId +
           "&onlyLatestVersion=true&pageNumber=0&sortOrdering=1&type=Purple+Software";
}

void RatingPrompt::openRatingPage() {
    defaults_.setBool(kRatedCurrentVersion, true);
    defaults_.synchronize();
    const RatingPromptServices current = services();
    if (current.openURL) current.openURL(ratingPageURL(settings().appId));
}

void RatingPrompt::closeStorePage() {
    const RatingPromptSettings current = settings();
    if (!current.modalOpen) return;
    setModalOpen(false);
    const RatingPromptServices services = this->services();
    if (!services.dismissModal) return;
    std::weak_ptr<int> alive = alive_;
    services.dismissModal(current.usesAnimation, [this, alive, animated = current.usesAnimation] {
        if (alive.expired()) return;
        if (auto* delegate = delegate_.get()) delegate->ratingPromptDidDismissModalView(*this, animated);
    });
}

std::string RatingPrompt::text(const char* key) const {
    const RatingPromptServices current = services();
    std::filesystem::path bundle = current.bundle;
    if (!settings().alwaysUseMainBundle) {
        std::error_code error;
        if (std::filesystem::is_directory(bundle / "RatingPrompt.bundle", error)) bundle /= "RatingPrompt.bundle";
    }
    // A text missing from the table reads as its key, never as nothing.
    return withName(platform::localizedString(bundle, key, {}, kTable), displayName(current.bundle));
}

std::string RatingPrompt::alertTitle() const { return alertTitle_.empty() ? text("Rate %@") : alertTitle_; }
std::string RatingPrompt::alertMessage() const {
    return alertMessage_.empty() ? text("If you enjoy using %@, would you mind taking a moment to rate it? It won't "
                                        "take more than a minute. Thanks for your support!")
                                 : alertMessage_;
}
std::string RatingPrompt::alertCancelTitle() const {
    return alertCancelTitle_.empty() ? text("No, Thanks") : alertCancelTitle_;
}
std::string RatingPrompt::alertRateTitle() const { return alertRateTitle_.empty() ? text("Rate %@") : alertRateTitle_; }
std::string RatingPrompt::alertRateLaterTitle() const {
    return alertRateLaterTitle_.empty() ? text("Remind me later") : alertRateLaterTitle_;
}

}  // namespace strombel::info
