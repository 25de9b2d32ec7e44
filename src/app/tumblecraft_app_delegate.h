#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/app_services.h"
#include "http/network_thread.h"
#include "crash/crash_upload_manager.h"
#include "hub/hub_controller.h"
#include "hub/hub_trigger.h"
#include "info/rating_prompt.h"
#include "info/social_client.h"
#include "platform/notification_center.h"
#include "ui/pad/strombel_view_controller_delegate.h"

namespace strombel::app {

/// The product's own values, built in.
struct AppConfiguration {
    /// Where crash reports would be posted; the client is never started.
    std::string crashSubmissionURL = "https://crashes.strombel.invalid/crashes/crash_v200.php";
    /// The social network's identifier of the application (15 digits).
    std::string socialAppId = "482915736204518";
    /// The application store's identifier of the product (9 digits).
    std::string storeAppId = "583920174";
    /// The tablet layout (GUI type 0) when true, else the phone screens.
    bool isIpad = true;
    /// The launch options' address (the hub's, when it started the program).
    std::string launchURL;
};

/// What the launch brings up, handed in by the program (or a test).
struct AppParts {
    AppEngine* engine = nullptr;
    AppSequencer* sequencer = nullptr;
    AppLibrary* library = nullptr;
    AppWindow* window = nullptr;
    /// Required.
    platform::NotificationCenter* notificationCenter = nullptr;
    /// Required: the crash upload client the launch gives its address (the
    /// program's shared one).
    crash::CrashUploadManager* crashUploadManager = nullptr;
    /// Required: the thread the social network client's requests run on.
    http::NetworkThread* network = nullptr;
    /// Counts the launch and each return to the foreground.
    info::RatingPrompt* ratingPrompt = nullptr;
    /// Sets the log level word and adds the system-log and console loggers.
    std::function<void()> installLoggers;
    /// Makes the hub's controller at launch; none (or a null answer): the
    /// program runs without the hub.
    std::function<std::unique_ptr<hub::HubController>()> makeHubController;
    /// Asked before each step of the launch: true ends the launch there (the
    /// program is being ended while it starts). None: the launch runs whole.
    std::function<bool()> launchCancelled;
};

/// The application's entry object: runs the launch steps in their fixed order
/// and turns the session's life-cycle events and the hub's connection changes
/// into engine starts and stops. It is the pad screen's delegate and the social
/// network client's session delegate. All hooks run on the main loop.
class TumblecraftAppDelegate : public ui::StrombelViewControllerDelegate, public info::SocialSessionDelegate {
public:
    TumblecraftAppDelegate(AppParts parts, AppConfiguration configuration = {});
    ~TumblecraftAppDelegate() override;
    TumblecraftAppDelegate(const TumblecraftAppDelegate&) = delete;
    TumblecraftAppDelegate& operator=(const TumblecraftAppDelegate&) = delete;

    /// The launch; always answers true. A store that cannot be opened or an
    /// engine that cannot start is told to the user once the window shows; the
    /// rest of the program runs on. A launch cancelled (`AppParts::launchCancelled`)
    /// stops before its next step; `launchCompleted()` then stays false.
    bool didFinishLaunchingWithOptions();
    /// Whether the launch ran to its end.
    bool launchCompleted() const { return launchCompleted_; }
    /// Makes the pad screen for the device and the window's root.
    void engageStrombelVC();

    /// "HubConnectionsChangedNotification": a connection starts the output; a
    /// disconnection leaves it playing while the window is up, and in the
    /// background stops it as entering the background would.
    void connectionsChanged(const platform::Notification& notification);
    /// The pad screen's playback state, mirrored on the hub's play button.
    void playbackStateChanged(bool isPlaying) override;
    /// URLs opened by the session go to the social network client.
    bool handleOpenURL(const std::string& url) { return openURL(url).ok(); }
    /// The same, saying why an address was not opened.
    platform::Result<void> openURL(const std::string& url);

    void applicationWillResignActive();
    void applicationDidEnterBackground();
    void applicationWillEnterForeground();
    void applicationDidBecomeActive();
    void applicationWillTerminate();
    void applicationDidReceiveMemoryWarning();

    info::SocialClient* socialClient() const { return socialClient_.get(); }
    hub::HubController* hubController() const { return hubController_.get(); }
    hub::HubButtonTrigger* playTrigger() const { return playTrigger_.get(); }
    AppMainScreen* strombelViewController() const { return strombelViewController_; }
    AppWindow* window() const { return window_; }
    // Plain setters, as the launch stores what it makes.
    void setSocialClient(std::unique_ptr<info::SocialClient> client) { socialClient_ = std::move(client); }
    void setHubController(std::unique_ptr<hub::HubController> controller) { hubController_ = std::move(controller); }
    void setPlayTrigger(std::shared_ptr<hub::HubButtonTrigger> trigger) { playTrigger_ = std::move(trigger); }
    void setWindow(AppWindow* window) { window_ = window; }

    /// What went wrong at launch, in the order it happened (empty when nothing did).
    const std::vector<std::string>& launchProblems() const { return launchProblems_; }

    /// The log level the program runs at: errors and warnings.
    static constexpr int32_t kLogLevel = 3;
    static constexpr const char* kSenderPortName = "Strombel output";
    static constexpr const char* kSenderPortTitle = "Strombel";
    /// The title of the message box that says why the output plays to no sound card.
    static constexpr const char* kOutputProblemTitle = "Strombel: no sound output";

private:
    AppParts parts_;
    AppConfiguration configuration_;
    std::unique_ptr<info::SocialClient> socialClient_;
    AppMainScreen* strombelViewController_ = nullptr;
    AppWindow* window_ = nullptr;
    std::unique_ptr<hub::HubController> hubController_;
    std::shared_ptr<hub::HubButtonTrigger> playTrigger_;
    platform::NotificationCenter::ObserverId connectionsObserver_ = 0;
    /// The engine's answer about its output (see AppEngine::watchOutputProblem).
    void outputProblemChanged(const std::string& problem);
    /// Stops the engine unless the hub, the sequencer, background audio or a
    /// recording needs it (tested in that order).
    void stopInBackgroundUnlessNeeded();
    bool inBackground_ = false;  // from entering the background to coming back

    std::vector<std::string> launchProblems_;
    std::string outputProblem_;  // told before the window showed: shown with the rest
    bool outputProblemShown_ = false;
    bool windowShown_ = false;  // the launch showed the window and its problems
    bool launchCompleted_ = false;
};

}  // namespace strombel::app
