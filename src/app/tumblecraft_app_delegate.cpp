#include "app/tumblecraft_app_delegate.h"

#include <utility>

#include "app/open_url_handover.h"
#include "hub/bus_message.h"
#include "logging/log.h"
#include "platform/required.h"

namespace strombel::app {

TumblecraftAppDelegate::TumblecraftAppDelegate(AppParts parts, AppConfiguration configuration)
    : parts_(std::move(parts)), configuration_(std::move(configuration)) {
    platform::required(parts_.notificationCenter, "AppParts::notificationCenter");
    platform::required(parts_.crashUploadManager, "AppParts::crashUploadManager");
    platform::required(parts_.network, "AppParts::network");
}

TumblecraftAppDelegate::~TumblecraftAppDelegate() {
    if (connectionsObserver_) parts_.notificationCenter->removeObserver(connectionsObserver_);
    strombelViewController_ = nullptr;
    socialClient_.reset();
    window_ = nullptr;
    hubController_.reset();
}

bool TumblecraftAppDelegate::didFinishLaunchingWithOptions() {
    // The program may be ended while it starts: the launch then stops at its next
    // step, and what it made so far is taken down as at any other end.
    const auto cancelled = [this] { return parts_.launchCancelled && parts_.launchCancelled(); };

    // 1-2. Errors and warnings, to the system log and the console.
    logging::setLogLevel(kLogLevel);
    if (parts_.installLoggers) parts_.installLoggers();

    if (cancelled()) return true;
    // 3. The crash upload client learns its address; it is never started.
    crash::CrashUploadManager& crashUpload = *parts_.crashUploadManager;
    crashUpload.setSubmissionURL(configuration_.crashSubmissionURL);

    if (cancelled()) return true;
    // 4. The social network client.
    socialClient_ = std::make_unique<info::SocialClient>(configuration_.socialAppId, this);
    socialClient_->setNetworkThread(parts_.network);

    if (cancelled()) return true;
    // 5. The stored library, brought up to date (this creates it).
    if (parts_.library) {
        std::string problem = parts_.library->makeDataUpToDate();
        if (!problem.empty()) {
            STROMBEL_LOG_ERROR("{}", problem);
            launchProblems_.push_back(std::move(problem));
        }
    }

    if (cancelled()) return true;
    // 6-7. The window, black, with the pad screen as its root.
    window_ = parts_.window;
    if (window_) window_->setBackgroundBlack();
    if (cancelled()) return true;
    engageStrombelVC();
    // The MIDI note map came with the pad screen: a damaged one is told with
    // the library's stored data, in the same alert.
    if (parts_.library) {
        std::string problem = parts_.library->noteMapProblem();
        if (!problem.empty()) {
            STROMBEL_LOG_ERROR("{}", problem);
            if (launchProblems_.empty()) {
                launchProblems_.push_back(std::move(problem));
            } else {
                launchProblems_.back() += "\n\n" + problem;
            }
        }
    }

    if (cancelled()) return true;
    // 8. The engine.
    if (parts_.engine && !parts_.engine->start()) {
        std::string reason = parts_.engine->lastError();
        STROMBEL_LOG_ERROR("The audio engine could not start: {}", reason);
        launchProblems_.push_back("The audio output could not start" + (reason.empty() ? "" : ": " + reason) +
                                  "\nStrombel tries again when its window becomes active.");
    }
    if (parts_.engine) {
        parts_.engine->watchOutputProblem([this](const std::string& problem) { outputProblemChanged(problem); });
    }

    if (cancelled()) return true;
    // 9-11. The hub's controller with the engine's output and the play button.
    hubController_ = parts_.makeHubController ? parts_.makeHubController() : nullptr;
    if (hubController_) {
        hubController_->setConnectionPanelPosition(0);
        hub::AudioComponentDescription description{hub::fourCharCode("auri"), hub::fourCharCode("smpl"),
                                                   hub::fourCharCode("vlkt"), 0, 0};
        hubController_->addSenderPort(std::make_shared<hub::HubSenderPort>(
            kSenderPortName, kSenderPortTitle, description, parts_.engine ? parts_.engine->audioUnit() : nullptr));
        playTrigger_ = hub::HubButtonTrigger::triggerWithSystemType(
            hub::HubTrigger::TogglePlay,
            [this] {
                if (!strombelViewController_) return;
                if (strombelViewController_->playbackIsRunning()) {
                    strombelViewController_->stopPlayback();
                } else {
                    strombelViewController_->startPlayback();
                }
            },
            *parts_.notificationCenter);
        hubController_->addTrigger(playTrigger_);
    } else if (!configuration_.launchURL.empty()) {
        STROMBEL_LOG_WARN("Started with the hub's launch address {}, but the hub is off in this run",
                          hub::escapedForLog(configuration_.launchURL));
    }

    if (cancelled()) return true;
    // 12. Connection changes of the hub, from any sender.
    connectionsObserver_ = parts_.notificationCenter->addObserver(
        hub::kHubConnectionsChangedNotification, nullptr,
        [this](const platform::Notification& notification) { connectionsChanged(notification); });

    if (cancelled()) return true;
    // 13. The window shows; problems met on the way are told now.
    if (window_) {
        window_->makeKeyAndVisible();
        for (const std::string& problem : launchProblems_) window_->showLaunchProblem("Strombel", problem);
        windowShown_ = true;
        if (!outputProblem_.empty()) outputProblemChanged(std::exchange(outputProblem_, {}));
    }

    if (cancelled()) return true;
    // 14. The rating prompt's settings, then the launch is counted.
    info::RatingPrompt::setAppId(configuration_.storeAppId);
    info::RatingPrompt::setDaysUntilPrompt(5.0);
    info::RatingPrompt::setUsesUntilPrompt(5);
    info::RatingPrompt::setSignificantEventsUntilPrompt(-1);
    info::RatingPrompt::setTimeBeforeReminding(3.0);
    info::RatingPrompt::setDebug(false);
    if (parts_.ratingPrompt) parts_.ratingPrompt->countUse(true);
    if (configuration_.launchURL.empty()) {
        parts_.notificationCenter->post(hub::kApplicationDidFinishLaunchingNotification, this);
    } else {
        parts_.notificationCenter->post(hub::kApplicationDidFinishLaunchingNotification, this, configuration_.launchURL);
    }
    launchCompleted_ = true;
    return true;
}

void TumblecraftAppDelegate::outputProblemChanged(const std::string& problem) {
    if (!window_) return;
    if (!windowShown_) {
        outputProblem_ = problem;  // shown with the launch's other problems
        return;
    }
    if (problem.empty()) {
        // An output opened after all: what was told stopped being true.
        if (outputProblemShown_) window_->takeBackLaunchProblem(kOutputProblemTitle);
        outputProblemShown_ = false;
        return;
    }
    window_->showLaunchProblem(kOutputProblemTitle, problem);
    outputProblemShown_ = true;
}

void TumblecraftAppDelegate::engageStrombelVC() {
    if (!window_) return;
    strombelViewController_ = &window_->engageMainScreen(configuration_.isIpad, this);
}

void TumblecraftAppDelegate::connectionsChanged(const platform::Notification&) {
    if (!parts_.engine) return;
    if (hubController_ && hubController_->connected()) {
        parts_.engine->startOverrideIsPlayingCheck(true);
        return;
    }
    // With the window up the output keeps playing: nothing would start it again
    // before the window is minimised and restored, and the user hears the pads
    // here. In the background the hub was what kept the engine up; without it,
    // the background's own rule decides.
    if (inBackground_) stopInBackgroundUnlessNeeded();
}

void TumblecraftAppDelegate::playbackStateChanged(bool isPlaying) {
    if (playTrigger_) playTrigger_->setState(isPlaying ? 1 : 0);
}

platform::Result<void> TumblecraftAppDelegate::openURL(const std::string& url) {
    if (!socialClient_)
        return platform::Error::make(kOpenUrlErrorDomain, kOpenUrlRefused,
                                     "the social network client is not running yet");
    return socialClient_->handleLoginRedirect(url);
}

void TumblecraftAppDelegate::applicationWillResignActive() {
    if (window_) window_->setIdleTimerDisabled(false);
    // A rating alert goes without an answer; it may come again at a later use.
    if (parts_.ratingPrompt) parts_.ratingPrompt->willResignActive();
}

void TumblecraftAppDelegate::applicationDidEnterBackground() {
    inBackground_ = true;
    stopInBackgroundUnlessNeeded();
}

void TumblecraftAppDelegate::stopInBackgroundUnlessNeeded() {
    if (hubController_ && hubController_->connected()) return;
    if (parts_.sequencer && parts_.sequencer->isRunning()) return;
    if (strombelViewController_ && strombelViewController_->backgroundAudioEnabled()) return;
    if (!parts_.engine || parts_.engine->isRecording()) return;
    parts_.engine->stop();
}

void TumblecraftAppDelegate::applicationWillEnterForeground() {
    inBackground_ = false;
    if (parts_.ratingPrompt) parts_.ratingPrompt->countUse(true);
}

void TumblecraftAppDelegate::applicationDidBecomeActive() {
    if (parts_.engine) parts_.engine->startOverrideIsPlayingCheck(true);
    if (window_) window_->setIdleTimerDisabled(true);
}

void TumblecraftAppDelegate::applicationWillTerminate() {}

void TumblecraftAppDelegate::applicationDidReceiveMemoryWarning() {
    if (parts_.engine) parts_.engine->clearUnusedCache();
}

}  // namespace strombel::app
