#include "app/tumblecraft_app_delegate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "logging/log.h"
#include "logging/log_core.h"
#include "platform/devices/manual_audio_device.h"
#include "platform/directory_service_discovery.h"
#include "platform/main_bundle.h"
#include "platform/main_loop.h"
#include "platform/sandbox.h"
#include "support/recording_logger.h"
#include "support/temp_dir.h"

namespace strombel::app {
namespace {

// The engine's output as the life-cycle sees it: whether it runs, and each start.
struct OutputEngine : AppEngine {
    bool startSucceeds = true;
    bool running = false;
    bool recording = false;
    int starts = 0, stops = 0, cacheClears = 0;
    std::vector<std::string>* journal = nullptr;
    bool start() override {
        if (journal) journal->push_back("engine start");
        ++starts;
        running = startSucceeds;
        return startSucceeds;
    }
    void startOverrideIsPlayingCheck(bool) override {
        ++starts;
        running = true;
    }
    void stop() override {
        ++stops;
        running = false;
    }
    bool isRecording() const override { return recording; }
    void clearUnusedCache() override { ++cacheClears; }
    hub::AudioUnitHandle audioUnit() const override { return &output; }
    std::string lastError() const override { return startSucceeds ? "" : "no output device"; }
    void watchOutputProblem(std::function<void(const std::string&)> changed) override {
        tellOutputProblem = std::move(changed);
    }
    std::function<void(const std::string&)> tellOutputProblem;  // as the engine tells it, later
    mutable platform::ManualAudioDevice output;
};

struct RunningFlag : AppSequencer {
    bool running = false;
    bool isRunning() const override { return running; }
};

struct Library : AppLibrary {
    std::string problem;
    std::vector<std::string>* journal = nullptr;
    std::string makeDataUpToDate() override {
        if (journal) journal->push_back("library up to date");
        return problem;
    }
};

struct Screen : AppMainScreen {
    bool playing = false;
    bool backgroundAudio = false;
    ui::StrombelViewControllerDelegate* delegate = nullptr;
    bool playbackIsRunning() const override { return playing; }
    void startPlayback() override {
        playing = true;
        delegate->playbackStateChanged(true);
    }
    void stopPlayback() override {
        playing = false;
        delegate->playbackStateChanged(false);
    }
    bool backgroundAudioEnabled() const override { return backgroundAudio; }
};

struct Window : AppWindow {
    Screen screen;
    std::vector<std::string> journal;
    std::vector<std::string> problems;
    bool awake = false;
    bool layoutIsTablet = false;
    void setBackgroundBlack() override { journal.push_back("black window"); }
    AppMainScreen& engageMainScreen(bool isIpad, ui::StrombelViewControllerDelegate* delegate) override {
        journal.push_back("pad screen");
        layoutIsTablet = isIpad;
        screen.delegate = delegate;
        return screen;
    }
    void makeKeyAndVisible() override { journal.push_back("visible"); }
    void setIdleTimerDisabled(bool disabled) override { awake = disabled; }
    void showLaunchProblem(const std::string& title, const std::string& message) override {
        journal.push_back("problem shown");
        problems.push_back(message);
        titles.push_back(title);
    }
    void takeBackLaunchProblem(const std::string& title) override { takenBack.push_back(title); }
    std::vector<std::string> titles, takenBack;
};

class AppDelegateTest : public ::testing::Test {
protected:
    AppDelegateTest() {
        info::RatingPrompt::resetSettings();
        engine.journal = &window.journal;
        library.journal = &window.journal;
    }
    ~AppDelegateTest() override { info::RatingPrompt::resetSettings(); }

    AppParts parts() {
        AppParts parts;
        parts.engine = &engine;
        parts.sequencer = &sequencer;
        parts.library = &library;
        parts.window = &window;
        parts.notificationCenter = &center;
        parts.crashUploadManager = &crashClient;
        parts.network = &network;
        parts.ratingPrompt = &ratingPrompt;
        parts.installLoggers = [this] { window.journal.push_back("loggers"); };
        parts.makeHubController = [this] {
            hub::HubController::Options options;
            options.discovery = &discovery;
            options.loop = &loop;
            options.notifications = &center;
            options.defaults = &defaults;
            options.bundle = &bundle;
            options.bindAddress = platform::SocketAddress::fromText("127.0.0.1", 0);
            options.publishSenderPortsOnJack = false;
            options.realTimeListener = false;
            options.resourceOptions.cachesFolder = dir / "caches";
            return hub::HubController::create(std::move(options));
        };
        return parts;
    }

    std::unique_ptr<TumblecraftAppDelegate> launched(AppConfiguration configuration = {}) {
        auto delegate = std::make_unique<TumblecraftAppDelegate>(parts(), configuration);
        EXPECT_TRUE(delegate->didFinishLaunchingWithOptions());
        ratingPrompt.waitUntilIdle();
        return delegate;
    }

    testing::TempDir dir;
    // Made before the loop, so that it outlives the tasks the loop still holds
    // when it goes (a hub peer a task holds leaves the centre as it ends).
    platform::NotificationCenter center;
    platform::MainLoop loop{platform::SystemClock::shared()};
    http::NetworkThread network{loop};
    bool bound = (loop.bindToCurrentThread(), true);
    // A bundle with the program's name and hub address, for the hub's controller.
    bool bundleWritten = (std::filesystem::create_directories(dir / "hub-bundle"),
                          std::ofstream(dir / "hub-bundle" / "Info.plist")
                              << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                                 "<key>CFBundleExecutable</key><string>strombel</string>"
                                 "<key>CFBundleURLTypes</key><array><dict><key>CFBundleURLSchemes</key>"
                                 "<array><string>strombel.wirehub</string></array></dict></array></dict></plist>",
                          true);
    platform::MainBundle bundle{dir / "hub-bundle"};
    platform::DirectoryServiceDiscovery discovery{dir / "services", loop};
    platform::UserDefaults defaults{dir / "defaults.sqlite"};
    info::RatingPrompt ratingPrompt{defaults, "1.0"};
    platform::Sandbox sandbox{dir / "root", dir / "bundle"};
    crash::CrashUploadManager crashClient{{.sandbox = &sandbox,
                                           .defaults = &defaults,
                                           .bundle = &platform::MainBundle::shared(),
                                           .loop = &loop,
                                           .notifications = &center,
                                           .network = &network}};
    OutputEngine engine;
    RunningFlag sequencer;
    Library library;
    Window window;
};

TEST_F(AppDelegateTest, LaunchRunsItsStepsInOrder) {
    auto delegate = launched();
    EXPECT_EQ(logging::logLevel(), 3);
    EXPECT_EQ(window.journal, (std::vector<std::string>{"loggers", "library up to date", "black window",
                                                        "pad screen", "engine start", "visible"}));
    EXPECT_TRUE(window.layoutIsTablet);
    EXPECT_EQ(crashClient.submissionURL(), "https://crashes.strombel.invalid/crashes/crash_v200.php");
    EXPECT_FALSE(crashClient.isStarted());
    ASSERT_NE(delegate->socialClient(), nullptr);
    EXPECT_EQ(delegate->socialClient()->getOwnBaseUrl(), "sn482915736204518://authorize");

    ASSERT_NE(delegate->hubController(), nullptr);
    ASSERT_EQ(delegate->hubController()->senderPorts().size(), 1u);
    auto& port = static_cast<hub::HubSenderPort&>(*delegate->hubController()->senderPorts()[0]);
    EXPECT_EQ(port.name(), "Strombel output");
    EXPECT_EQ(port.title(), "Strombel");
    EXPECT_EQ(port.audioUnit(), &engine.output);
    EXPECT_EQ(delegate->hubController()->connectionPanelPosition(), 0);
    ASSERT_EQ(delegate->hubController()->triggers().size(), 1u);
    EXPECT_EQ(delegate->playTrigger()->systemType(), hub::HubTrigger::TogglePlay);

    auto settings = info::RatingPrompt::settings();
    EXPECT_EQ(settings.appId, "583920174");
    EXPECT_EQ(settings.daysUntilPrompt, 5.0);
    EXPECT_EQ(settings.usesUntilPrompt, 5);
    EXPECT_EQ(settings.significantEventsUntilPrompt, -1);
    EXPECT_EQ(settings.timeBeforeReminding, 3.0);
    EXPECT_EQ(defaults.integerForKey(info::RatingPrompt::kUseCount), 1);
}

TEST_F(AppDelegateTest, ALaunchCancelledStopsBeforeItsNextStep) {
    const std::vector<std::string> whole{"loggers",      "library up to date", "black window",
                                         "pad screen",   "engine start",       "visible"};
    // How many times the launch may ask before it is told to stop, and how far
    // it gets: the steps the window saw, whether the hub was made, whether it ended.
    struct Case {
        int allowed;
        size_t stepsSeen;
        bool hubMade;
        bool completed;
    };
    for (const Case& c : std::vector<Case>{{0, 1, false, false},
                                           {2, 1, false, false},
                                           {3, 2, false, false},
                                           {4, 3, false, false},
                                           {5, 4, false, false},
                                           {6, 5, false, false},
                                           {7, 5, true, false},
                                           {9, 6, true, false},
                                           {100, 6, true, true}}) {
        SCOPED_TRACE(c.allowed);
        window.journal.clear();
        int asked = 0;
        AppParts cancelling = parts();
        cancelling.launchCancelled = [&] { return asked++ >= c.allowed; };
        TumblecraftAppDelegate delegate(std::move(cancelling));
        EXPECT_TRUE(delegate.didFinishLaunchingWithOptions());
        EXPECT_EQ(window.journal, std::vector<std::string>(whole.begin(), whole.begin() + long(c.stepsSeen)));
        EXPECT_EQ(delegate.hubController() != nullptr, c.hubMade);
        EXPECT_EQ(delegate.launchCompleted(), c.completed);
        if (!c.completed) {
            EXPECT_EQ(asked, c.allowed + 1) << "nothing is asked once the launch stopped";
        }
    }
}

TEST_F(AppDelegateTest, AnOutputThatFellBackToNoSoundCardIsToldWithItsReasonAndTakenBackOnceItOpens) {
    auto delegate = launched();
    ASSERT_TRUE(engine.tellOutputProblem) << "the launch listens for what the engine says of its output";
    EXPECT_TRUE(window.problems.empty());
    // The output is opened off the main loop: its answer comes after the launch.
    const std::string reason = "No sound card could be opened (RtAudio (JACK): the server refused the client).";
    engine.tellOutputProblem(reason);
    ASSERT_EQ(window.problems, std::vector<std::string>{reason});
    EXPECT_EQ(window.titles, std::vector<std::string>{TumblecraftAppDelegate::kOutputProblemTitle});
    EXPECT_TRUE(engine.running) << "the program runs on, to no output";
    EXPECT_TRUE(window.takenBack.empty());
    // An output opened after all: what was told is no longer true.
    engine.tellOutputProblem("");
    EXPECT_EQ(window.takenBack, std::vector<std::string>{TumblecraftAppDelegate::kOutputProblemTitle});
    engine.tellOutputProblem("");
    EXPECT_EQ(window.takenBack.size(), 1u) << "taken back once";
}

TEST_F(AppDelegateTest, PhoneConfigurationMakesThePhoneScreen) {
    AppConfiguration phone;
    phone.isIpad = false;
    auto delegate = launched(phone);
    EXPECT_FALSE(window.layoutIsTablet);
}

TEST_F(AppDelegateTest, BrokenStoreAndSilentEngineAreToldAndTheRestRuns) {
    library.problem = "file is not a database";
    engine.startSucceeds = false;
    auto delegate = launched();
    ASSERT_EQ(window.problems.size(), 2u);
    EXPECT_NE(window.problems[0].find("file is not a database"), std::string::npos);
    EXPECT_NE(window.problems[1].find("no output device"), std::string::npos);
    // Shown once the window is visible, and everything after still ran.
    EXPECT_EQ(window.journal.back(), "problem shown");
    EXPECT_NE(delegate->hubController(), nullptr);
    EXPECT_EQ(defaults.integerForKey(info::RatingPrompt::kUseCount), 1);

    // The next activation tries the engine again.
    engine.startSucceeds = true;
    delegate->applicationDidBecomeActive();
    EXPECT_TRUE(engine.running);
}

TEST_F(AppDelegateTest, BackgroundStopsTheEngineOnlyWhenNothingNeedsIt) {
    struct Case {
        const char* what;
        bool sequencerRuns, backgroundAudio, recording, stops;
    } cases[] = {
        {"nothing needs it", false, false, false, true},
        {"sequencer runs", true, false, false, false},
        {"background audio on", false, true, false, false},
        {"recording", false, false, true, false},
    };
    auto delegate = launched();
    for (const auto& row : cases) {
        SCOPED_TRACE(row.what);
        engine.running = true;
        sequencer.running = row.sequencerRuns;
        window.screen.backgroundAudio = row.backgroundAudio;
        engine.recording = row.recording;
        delegate->applicationDidEnterBackground();
        EXPECT_EQ(engine.running, !row.stops);
    }
}

TEST_F(AppDelegateTest, ActivationStartsTheOutputEveryTimeAndKeepsTheDisplayAwake) {
    auto delegate = launched();
    int before = engine.starts;
    delegate->applicationDidBecomeActive();
    delegate->applicationDidBecomeActive();
    EXPECT_EQ(engine.starts, before + 2);
    EXPECT_TRUE(window.awake);
    delegate->applicationWillResignActive();
    EXPECT_FALSE(window.awake);
}

// Without a hub session the controller is never connected: each change is a
// disconnection. Unlike the tablet, whose stop the next activation undoes, the
// desktop's window stays active, so with the window up a disconnection leaves
// the output playing; in the background it stops as entering the background would.
TEST_F(AppDelegateTest, AHubDisconnectionStopsTheEngineOnlyInTheBackground) {
    struct Case {
        const char* what;
        bool background, sequencerRuns, backgroundAudio, stops;
    } cases[] = {
        {"window up", false, false, false, false},
        {"background", true, false, false, true},
        {"background, sequencer runs", true, true, false, false},
        {"background, background audio on", true, false, true, false},
        {"back in the foreground", false, false, false, false},
    };
    auto delegate = launched();
    for (const auto& row : cases) {
        SCOPED_TRACE(row.what);
        if (row.background) delegate->applicationDidEnterBackground();
        if (!row.background) delegate->applicationWillEnterForeground();
        engine.running = true;
        sequencer.running = row.sequencerRuns;
        window.screen.backgroundAudio = row.backgroundAudio;
        center.post(hub::kHubConnectionsChangedNotification, delegate->hubController());
        EXPECT_EQ(engine.running, !row.stops);
    }
}

TEST_F(AppDelegateTest, HubPlayButtonTogglesPlaybackAndFollowsIt) {
    auto delegate = launched();
    auto* trigger = delegate->playTrigger();
    trigger->fire();
    EXPECT_TRUE(window.screen.playing);
    EXPECT_EQ(trigger->state(), 1);
    trigger->fire();
    EXPECT_FALSE(window.screen.playing);
    EXPECT_EQ(trigger->state(), 0);
}

TEST_F(AppDelegateTest, ForegroundCountsAUseAndMemoryWarningClearsCaches) {
    auto delegate = launched();
    delegate->applicationWillEnterForeground();
    ratingPrompt.waitUntilIdle();
    EXPECT_EQ(defaults.integerForKey(info::RatingPrompt::kUseCount), 2);
    delegate->applicationDidReceiveMemoryWarning();
    EXPECT_EQ(engine.cacheClears, 1);
}

TEST_F(AppDelegateTest, OpenedUrlsGoToTheSocialClient) {
    auto delegate = launched();
    // No login under way: a login answer is refused.
    EXPECT_FALSE(delegate->handleOpenURL("sn482915736204518://authorize#access_token=x"));
    EXPECT_FALSE(delegate->socialClient()->isSessionValid());
    // The answer of a login the client started is taken.
    struct Browser : info::SocialUrlOpener {
        bool openURL(const std::string& url) override { return url.rfind("http", 0) == 0; }
    } browser;
    delegate->socialClient()->setUrlOpener(&browser);
    delegate->socialClient()->authorize({});
    ASSERT_TRUE(delegate->socialClient()->pendingLoginState());
    EXPECT_TRUE(delegate->handleOpenURL("sn482915736204518://authorize#access_token=x&state=" +
                                        *delegate->socialClient()->pendingLoginState()));
    EXPECT_TRUE(delegate->socialClient()->isSessionValid());
    delegate->socialClient()->setUrlOpener(nullptr);
    EXPECT_FALSE(delegate->handleOpenURL("other://authorize#access_token=x"));
}

TEST_F(AppDelegateTest, AHubLaunchAddressWithTheHubOffIsLogged) {
    auto logger = std::make_shared<logging::testing::RecordingLogger>();
    logging::Log::addLogger(logger);
    AppParts withoutHub = parts();
    withoutHub.makeHubController = {};
    AppConfiguration byTheHub;
    byTheHub.launchURL = "strombel.wirehub://";
    TumblecraftAppDelegate delegate(std::move(withoutHub), byTheHub);
    EXPECT_TRUE(delegate.didFinishLaunchingWithOptions());
    ratingPrompt.waitUntilIdle();
    logging::Log::flushLog();
    logging::Log::removeLogger(logger);
    const auto lines = logger->lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                                return line.find("strombel.wirehub://") != std::string::npos &&
                                       line.find("the hub is off") != std::string::npos;
                            }),
              1);
}

TEST_F(AppDelegateTest, TeardownStopsObservingTheHub) {
    auto delegate = launched();
    delegate.reset();
    engine.running = true;
    center.post(hub::kHubConnectionsChangedNotification);  // must reach no one
    EXPECT_TRUE(engine.running);
}

}  // namespace
}  // namespace strombel::app
