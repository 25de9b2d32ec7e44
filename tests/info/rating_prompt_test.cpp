#include "info/rating_prompt.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <fstream>
#include <thread>
#include <vector>

#include "info/console.h"
#include "platform/main_bundle.h"
#include "platform/network_reachability.h"
#include "social_network_server.h"
#include "support/temp_dir.h"

namespace strombel::info {
namespace {

constexpr double kDay = 86400;

/// A bundle folder whose Info.plist gives the display name and the version, with
/// the shipped texts when asked.
std::filesystem::path makeBundle(const std::filesystem::path& folder, const std::string& displayName,
                                 const std::string& version, bool withTexts) {
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "Info.plist") << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                                            "<key>CFBundleDisplayName</key><string>"
                                         << displayName << "</string><key>CFBundleVersion</key><string>" << version
                                         << "</string></dict></plist>\n";
    if (withTexts) {
        std::filesystem::copy(std::filesystem::path(RATING_PROMPT_BUNDLE_DIR) / "RatingPrompt.bundle", folder / "RatingPrompt.bundle",
                              std::filesystem::copy_options::recursive);
    }
    return folder;
}

class RatingPromptTest : public ::testing::Test {
protected:
    RatingPromptTest() {
        RatingPrompt::resetSettings();
        makeBundle(dir.path(), "Strombel", "1.0", false);
    }
    ~RatingPromptTest() override { RatingPrompt::resetSettings(); }

    void configureAsTheProgramDoes() {
        RatingPrompt::setAppId("123456789");
        RatingPrompt::setDaysUntilPrompt(5.0);
        RatingPrompt::setUsesUntilPrompt(5);
        RatingPrompt::setSignificantEventsUntilPrompt(-1);
        RatingPrompt::setTimeBeforeReminding(3.0);
        RatingPrompt::setDebug(false);
    }

    testing::TempDir dir;
    platform::UserDefaults defaults{dir / "defaults.sqlite"};
    double now = 1'700'000'000;
};

TEST_F(RatingPromptTest, SettingsAreStoredFromAnyThread) {
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back([this] { configureAsTheProgramDoes(); });
    for (auto& thread : threads) thread.join();
    RatingPromptSettings settings = RatingPrompt::settings();
    EXPECT_EQ(settings.appId, "123456789");
    EXPECT_EQ(settings.daysUntilPrompt, 5.0);
    EXPECT_EQ(settings.usesUntilPrompt, 5);
    EXPECT_EQ(settings.significantEventsUntilPrompt, -1);
    EXPECT_EQ(settings.timeBeforeReminding, 3.0);
    EXPECT_FALSE(settings.debug);
}

TEST_F(RatingPromptTest, LaunchesAreCountedInTheBackgroundAndPromptAfterFiveDaysAndUses) {
    configureAsTheProgramDoes();
    RatingPrompt prompt(defaults, "1.0", [this] { return now; });

    prompt.countUse(true);
    prompt.waitUntilIdle();
    EXPECT_EQ(defaults.integerForKey(RatingPrompt::kUseCount), 1);
    EXPECT_EQ(defaults.doubleForKey(RatingPrompt::kFirstUseDate), now);
    EXPECT_EQ(defaults.stringForKey(RatingPrompt::kCurrentVersion), "1.0");
    EXPECT_FALSE(prompt.ratingConditionsHaveBeenMet());

    const double firstUse = now;
    for (int i = 0; i < 4; ++i) {
        now += kDay;
        prompt.countUse(true);
    }
    prompt.waitUntilIdle();
    EXPECT_EQ(defaults.integerForKey(RatingPrompt::kUseCount), 5);
    EXPECT_EQ(defaults.doubleForKey(RatingPrompt::kFirstUseDate), firstUse);
    EXPECT_FALSE(prompt.ratingConditionsHaveBeenMet());  // four days only
    now += kDay;
    EXPECT_TRUE(prompt.ratingConditionsHaveBeenMet());

    defaults.setDouble(RatingPrompt::kReminderRequestDate, now - 2 * kDay);
    EXPECT_FALSE(prompt.ratingConditionsHaveBeenMet());  // reminded two days ago
}

TEST_F(RatingPromptTest, ANewVersionStartsTheCountsAgain) {
    {
        RatingPrompt old(defaults, "1.0", [this] { return now; });
        old.countUse(true);
        old.countUse(true);
    }
    defaults.setBool(RatingPrompt::kDeclinedToRate, true);
    defaults.setDouble(RatingPrompt::kReminderRequestDate, now);

    now += 10 * kDay;
    RatingPrompt updated(defaults, "1.1", [this] { return now; });
    updated.countUse(true);
    updated.waitUntilIdle();
    EXPECT_EQ(defaults.stringForKey(RatingPrompt::kCurrentVersion), "1.1");
    EXPECT_EQ(defaults.integerForKey(RatingPrompt::kUseCount), 1);
    EXPECT_EQ(defaults.doubleForKey(RatingPrompt::kFirstUseDate), now);
    EXPECT_FALSE(defaults.boolForKey(RatingPrompt::kDeclinedToRate));
    EXPECT_EQ(defaults.doubleForKey(RatingPrompt::kReminderRequestDate), 0);
}

TEST_F(RatingPromptTest, SignificantEventsAreCountedOnTheirOwn) {
    configureAsTheProgramDoes();
    RatingPrompt::setSignificantEventsUntilPrompt(2);
    RatingPrompt prompt(defaults, "1.0", [this] { return now; });
    prompt.countUse(false);
    prompt.countSignificantEvent(false);
    prompt.waitUntilIdle();
    EXPECT_EQ(defaults.integerForKey(RatingPrompt::kUseCount), 1);
    EXPECT_EQ(defaults.integerForKey(RatingPrompt::kSignificantEventCount), 1);

    // An update first seen through an event starts with that event and no use.
    RatingPrompt updated(defaults, "2.0", [this] { return now; });
    updated.countSignificantEvent(false);
    updated.waitUntilIdle();
    EXPECT_EQ(defaults.integerForKey(RatingPrompt::kUseCount), 0);
    EXPECT_EQ(defaults.integerForKey(RatingPrompt::kSignificantEventCount), 1);
    EXPECT_EQ(defaults.doubleForKey(RatingPrompt::kFirstUseDate), 0);
}

TEST_F(RatingPromptTest, CountsAtTheTopStayThere) {
    RatingPrompt prompt(defaults, "1.0", [this] { return now; });
    prompt.countUse(false);
    prompt.waitUntilIdle();
    for (const char* key : {RatingPrompt::kUseCount, RatingPrompt::kSignificantEventCount}) {
        defaults.setInteger(key, std::numeric_limits<int64_t>::max());
    }
    prompt.countUse(false);
    prompt.countSignificantEvent(false);
    prompt.waitUntilIdle();
    for (const char* key : {RatingPrompt::kUseCount, RatingPrompt::kSignificantEventCount}) {
        EXPECT_EQ(defaults.integerForKey(key), std::numeric_limits<int64_t>::max()) << key;
    }
}

/// The alert as a person sees it: shown or not, with its texts, answered by hand.
struct RecordingAlert : RatingAlert {
    struct Shown {
        std::string title, message;
        std::vector<std::string> buttons;
    };
    std::vector<Shown> shown;
    std::function<void(int)> chosen;
    bool visible = false;
    void show(const std::string& title, const std::string& message, const std::vector<std::string>& buttons,
              std::function<void(int)> answer) override {
        shown.push_back({title, message, buttons});
        chosen = std::move(answer);
        visible = true;
    }
    bool isVisible() const override { return visible; }
    void hide() override { visible = false; }
    void press(int index) {
        visible = false;
        chosen(index);
    }
};

class RatingAlertTest : public RatingPromptTest {
protected:
    RatingAlertTest() {
        configureAsTheProgramDoes();
        RatingPromptServices services;
        services.mainLoop = &net.loop;
        services.alert = &alert;
        services.openURL = [this](const std::string& url) {
            opened.push_back(url);
            return true;
        };
        services.reachabilityFlags = [this] { return flags; };
        services.checkURL = network.url("/rating-check");
        services.network = net.network.get();
        services.storeURL = network.url("");
        services.bundle = makeBundle(dir / "Strombel.app", "Strombel", "1.0", true);
        prompt.setServices(services);
    }
    /// One launch, `days` after the last one; true when it showed the alert.
    bool launchAfter(double days) {
        now += days * kDay;
        const size_t before = alert.shown.size();
        prompt.countUse(true);
        prompt.waitUntilIdle();
        net.loop.runPending();
        return alert.shown.size() > before;
    }

    test_support::LoopbackSocialNetwork network;
    test_support::NetworkLoop net;
    RecordingAlert alert;
    std::vector<std::string> opened;
    std::optional<uint32_t> flags = platform::reachability_flags::kReachable;
    RatingPrompt prompt{defaults, "1.0", [this] { return now; }};
};

TEST_F(RatingAlertTest, AsksAtTheFifthUseOnceFiveDaysHavePassed) {
    for (int use = 1; use <= 4; ++use) EXPECT_FALSE(launchAfter(2)) << use;  // eight days, four uses
    EXPECT_TRUE(launchAfter(0.1));
    ASSERT_EQ(alert.shown.size(), 1u);
    EXPECT_EQ(alert.shown[0].title, "Rate Strombel");
    EXPECT_EQ(alert.shown[0].message.rfind("If you enjoy using Strombel, would you mind", 0), 0u);
    EXPECT_EQ(alert.shown[0].buttons, (std::vector<std::string>{"No, Thanks", "Rate Strombel", "Remind me later"}));
    // The network check went to the configured address.
    ASSERT_TRUE(net.pumpUntil([&] { return network.count("/rating-check") > 0; }));

    // Five uses in under five days ask nothing.
    defaults.setString(RatingPrompt::kCurrentVersion, "0.9");
    alert.press(2);
    for (int use = 1; use <= 6; ++use) EXPECT_FALSE(launchAfter(0.5)) << use;
}

TEST_F(RatingAlertTest, RemindMeLaterKeepsItAwayThreeDays) {
    for (int use = 1; use <= 5; ++use) launchAfter(1.5);
    ASSERT_EQ(alert.shown.size(), 1u);
    alert.press(2);
    EXPECT_EQ(defaults.doubleForKey(RatingPrompt::kReminderRequestDate), now);
    EXPECT_FALSE(launchAfter(1));
    EXPECT_FALSE(launchAfter(1.9));
    EXPECT_TRUE(launchAfter(0.2));
}

TEST_F(RatingAlertTest, RatingOpensTheStorePageAndEndsTheQuestions) {
    for (int use = 1; use <= 5; ++use) launchAfter(1.5);
    alert.press(1);
    EXPECT_EQ(opened, std::vector<std::string>{network.url("/WebObjects/MZStore.woa/wa/viewContentsUserReviews?id="
                                                           "123456789&onlyLatestVersion=true&pageNumber=0&"
                                                           "sortOrdering=1&type=Purple+Software")});
    EXPECT_TRUE(prompt.userHasRatedCurrentVersion());
    EXPECT_FALSE(launchAfter(10));

    defaults.setBool(RatingPrompt::kRatedCurrentVersion, false);
    EXPECT_TRUE(launchAfter(0));
    alert.press(0);  // "No, Thanks"
    EXPECT_TRUE(prompt.userHasDeclinedToRate());
    EXPECT_FALSE(launchAfter(10));
}

TEST_F(RatingAlertTest, ResigningActiveHidesTheAlertRecordingNothing) {
    for (int use = 1; use <= 5; ++use) launchAfter(1.5);
    ASSERT_TRUE(alert.visible);
    // A return to the foreground while it shows brings no second alert.
    EXPECT_FALSE(launchAfter(0));
    prompt.hideRatingAlert();
    EXPECT_FALSE(alert.visible);
    EXPECT_FALSE(prompt.userHasDeclinedToRate());
    EXPECT_FALSE(prompt.userHasRatedCurrentVersion());
    EXPECT_EQ(defaults.doubleForKey(RatingPrompt::kReminderRequestDate), 0);
    EXPECT_TRUE(launchAfter(0));  // it may come again at the next counted use
}

TEST_F(RatingAlertTest, WithoutARouteNothingIsAskedButTheUseCounts) {
    std::vector<std::string> console;
    setConsoleSink([&](const std::string& line) { console.push_back(line); });
    flags.reset();
    for (int use = 1; use <= 6; ++use) EXPECT_FALSE(launchAfter(1.5));
    setConsoleSink({});
    EXPECT_EQ(defaults.integerForKey(RatingPrompt::kUseCount), 6);
    EXPECT_EQ(console.back(), "Error. Could not recover network reachability flags");
    flags = platform::reachability_flags::kReachable | platform::reachability_flags::kConnectionRequired;
    EXPECT_FALSE(launchAfter(1));
    flags = platform::reachability_flags::kTransientConnection;
    EXPECT_TRUE(launchAfter(1));
}

TEST_F(RatingAlertTest, MissingTextsShowTheirKeys) {
    RatingPromptServices services;
    services.bundle = dir.path();
    services.alert = &alert;
    prompt.setServices(services);
    EXPECT_EQ(prompt.alertTitle(), "Rate Strombel");
    EXPECT_EQ(prompt.alertCancelTitle(), "No, Thanks");
    prompt.setCustomAlertRateLaterButtonTitle("Later");
    prompt.showRatingAlert(true);
    EXPECT_EQ(alert.shown.back().buttons.back(), "Later");
}

TEST_F(RatingAlertTest, TheTextsNameTheApplicationAsItsBundleDoes) {
    RatingPromptServices services;
    services.bundle = makeBundle(dir / "Pads.app", "Probe Pads", "1.0", true);
    prompt.setServices(services);
    EXPECT_EQ(prompt.alertTitle(), "Rate Probe Pads");
    EXPECT_EQ(prompt.alertMessage().rfind("If you enjoy using Probe Pads, would you mind", 0), 0u);
    // A translated name comes first.
    services.bundle = makeBundle(dir / "Translated.app", "Probe Pads", "1.0", true);
    std::ofstream(services.bundle / "InfoPlist.strings")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>CFBundleDisplayName</key><string>Pads de Prueba</string></dict></plist>\n";
    prompt.setServices(services);
    EXPECT_EQ(prompt.alertRateTitle(), "Rate Pads de Prueba");
}

TEST_F(RatingAlertTest, ClassOperationsAndTheResignLine) {
    std::vector<std::string> console;
    setConsoleSink([&](const std::string& line) { console.push_back(line); });
    for (int use = 1; use <= 5; ++use) launchAfter(1.5);
    ASSERT_TRUE(alert.visible);
    RatingPrompt::setDebug(true);
    prompt.willResignActive();
    setConsoleSink({});
    EXPECT_FALSE(alert.visible);
    EXPECT_EQ(console, (std::vector<std::string>{"RATINGPROMPT appWillResignActive", "RATINGPROMPT Hiding Alert"}));

    // Forced: shown even after a "No, Thanks", with or without the later button.
    RatingPrompt::setDebug(false);
    defaults.setBool(RatingPrompt::kDeclinedToRate, true);
    prompt.showPromptWithChecks(true, true);
    EXPECT_EQ(alert.shown.size(), 1u) << "declined: the checks hold it back";
    prompt.showPromptWithChecks(false, false);
    ASSERT_EQ(alert.shown.size(), 2u);
    EXPECT_EQ(alert.shown.back().buttons.size(), 2u);
}

// The shared prompt counts for the version of the main bundle, read at every count.
TEST_F(RatingPromptTest, TheSharedPromptFollowsTheBundlesVersion) {
    platform::UserDefaults::setShared(std::make_unique<platform::UserDefaults>(dir / "shared.sqlite"));
    platform::UserDefaults& shared = platform::UserDefaults::shared();
    platform::MainBundle::setShared(std::make_unique<platform::MainBundle>(makeBundle(dir / "0.2", "S", "0.2", false)));
    RatingPrompt::appLaunched();
    RatingPrompt::appLaunched(false);
    RatingPrompt::sharedInstance().waitUntilIdle();
    EXPECT_EQ(shared.stringForKey(RatingPrompt::kCurrentVersion), "0.2");
    EXPECT_EQ(shared.integerForKey(RatingPrompt::kUseCount), 2);
    shared.setBool(RatingPrompt::kDeclinedToRate, true);
    shared.setBool(RatingPrompt::kRatedCurrentVersion, true);

    platform::MainBundle::setShared(std::make_unique<platform::MainBundle>(makeBundle(dir / "0.3", "S", "0.3", false)));
    RatingPrompt::appEnteredForeground(false);
    RatingPrompt::sharedInstance().waitUntilIdle();
    platform::MainBundle::setShared(nullptr);
    EXPECT_EQ(shared.stringForKey(RatingPrompt::kCurrentVersion), "0.3");
    EXPECT_EQ(shared.integerForKey(RatingPrompt::kUseCount), 1);
    EXPECT_FALSE(shared.boolForKey(RatingPrompt::kDeclinedToRate));
    EXPECT_FALSE(shared.boolForKey(RatingPrompt::kRatedCurrentVersion));
}

}  // namespace
}  // namespace strombel::info
