#include "hub/hub_trigger.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace strombel::hub {
namespace {

struct SystemTrigger {
    int32_t type;
    const char* title;
    const char* icon;
    const char* selectedTitle;
    const char* selectedIcon;
};

TEST(HubTrigger, SystemTypesCarryTheirTitlesAndIcons) {
    const SystemTrigger table[] = {
        {1, "Start Recording", "Record.png", "Stop Recording", ""},
        {2, "Start Playback", "Play.png", "Stop Playback", "Pause.png"},
        {3, "Rewind", "Rewind.png", "", ""},
        {4, "Skip", "Skip.png", "", ""},
    };
    platform::NotificationCenter center;
    for (const auto& row : table) {
        SCOPED_TRACE(row.type);
        auto trigger = HubButtonTrigger::triggerWithSystemType(row.type, [] {}, center);
        ASSERT_NE(trigger, nullptr);
        EXPECT_EQ(trigger->systemType(), row.type);
        EXPECT_EQ(trigger->titleForState(HubTrigger::Normal), row.title);
        EXPECT_EQ(trigger->iconForState(HubTrigger::Normal), row.icon);
        EXPECT_EQ(trigger->titleForState(HubTrigger::Selected), row.selectedTitle);
        EXPECT_EQ(trigger->iconForState(HubTrigger::Selected), row.selectedIcon);
        // A disabled trigger shows its normal attributes.
        EXPECT_EQ(trigger->titleForState(HubTrigger::Disabled), row.title);
    }
}

TEST(HubTrigger, UnknownSystemTypesGiveNoTrigger) {
    for (int32_t type : {0, 5, -1}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(HubButtonTrigger::triggerWithSystemType(type, [] {}), nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Warning: No such Wirehub trigger type\n");
    }
}

TEST(HubTrigger, PlayTogglePressRunsItsActionAndStateChangesAreAnnounced) {
    platform::NotificationCenter center;
    int presses = 0;
    auto trigger = HubButtonTrigger::triggerWithSystemType(HubTrigger::TogglePlay, [&] { ++presses; }, center);
    std::vector<const void*> senders;
    center.addObserver(kHubTriggerAttributeChangedNotification, nullptr,
                       [&](const platform::Notification& note) { senders.push_back(note.sender); });

    trigger->fire();
    trigger->fire();
    EXPECT_EQ(presses, 2);

    trigger->setState(1);
    EXPECT_EQ(trigger->state(), 1);
    EXPECT_EQ(trigger->titleForState(trigger->state()), "Stop Playback");
    trigger->setState(0);
    EXPECT_EQ(trigger->state(), 0);
    EXPECT_EQ(senders, (std::vector<const void*>{trigger.get(), trigger.get()}));
}

TEST(HubTrigger, SettingASelectedIconGivesTheDefaultSelectedColourUnlessOneWasSet) {
    platform::NotificationCenter center;
    HubButtonTrigger plain([] {}, center);
    plain.setIcon("a.png", HubTrigger::Selected);
    EXPECT_EQ(plain.colorForState(HubTrigger::Selected), HubColor::white(0.5));

    HubButtonTrigger coloured([] {}, center);
    coloured.setColor({1, 0, 0, 1}, HubTrigger::Selected);
    coloured.setIcon("a.png", HubTrigger::Selected);
    EXPECT_EQ(coloured.colorForState(HubTrigger::Selected), (HubColor{1, 0, 0, 1}));

    testing::internal::CaptureStderr();
    coloured.setTitle("x", HubTrigger::Disabled);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Warning: Setting title for this trigger state not supported\n");
    EXPECT_EQ(coloured.titleForState(HubTrigger::Normal), "");
}

}  // namespace
}  // namespace strombel::hub
