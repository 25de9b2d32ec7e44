#include "info/rating_prompt.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace strombel::info {
namespace {

constexpr double kDay = 86400;

class RatingPromptTest : public ::testing::Test {
protected:
    RatingPromptTest() { RatingPrompt::resetSettings(); }
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

}  // namespace
}  // namespace strombel::info
