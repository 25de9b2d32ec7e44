#include "hub/hub_trigger.h"

#include "hub/bus_message.h"
#include "hub/hub_built_in_images.h"
#include "hub/hub_peer_resource.h"
#include "hub/hub_record.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>
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
        EXPECT_EQ(trigger->iconForState(HubTrigger::Normal), HubBuiltInImageNamed(row.icon));
        EXPECT_EQ(trigger->titleForState(HubTrigger::Selected), row.selectedTitle);
        EXPECT_EQ(trigger->iconForState(HubTrigger::Selected), HubBuiltInImageNamed(row.selectedIcon));
        // A disabled trigger shows its normal attributes.
        EXPECT_EQ(trigger->titleForState(HubTrigger::Disabled), row.title);
    }
}

TEST(HubTrigger, UnknownSystemTypesGiveNoTrigger) {
    for (int32_t type : {0, 5, -1}) {
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(HubButtonTrigger::triggerWithSystemType(type, [] {}, platform::NotificationCenter::shared()), nullptr);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Warning: No such Wirehub trigger type\n");
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
    plain.setIcon(HubBuiltInImageNamed("Skip.png"), HubTrigger::Selected);
    EXPECT_EQ(plain.colorForState(HubTrigger::Selected), HubColor::white(0.5));

    HubButtonTrigger coloured([] {}, center);
    coloured.setColor({1, 0, 0, 1}, HubTrigger::Selected);
    coloured.setIcon(HubBuiltInImageNamed("Skip.png"), HubTrigger::Selected);
    EXPECT_EQ(coloured.colorForState(HubTrigger::Selected), (HubColor{1, 0, 0, 1}));

    ::testing::internal::CaptureStderr();
    coloured.setTitle("x", HubTrigger::Disabled);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Warning: Setting title for this trigger state not supported\n");
    EXPECT_EQ(coloured.titleForState(HubTrigger::Normal), "");
}

TEST(HubTrigger, ThePlayButtonsRecordCarriesItsIconsTitlesAndColours) {
    platform::NotificationCenter center;
    auto play = HubButtonTrigger::triggerWithSystemType(HubTrigger::TogglePlay, [] {}, center);
    const std::vector<uint8_t> record = play->dataRepresentationWithResourceHost(nullptr);
    ASSERT_EQ(record.size(), 35u + 14u + 13u);
    EXPECT_EQ(readU16(record.data()), 35);
    EXPECT_EQ(readU32(record.data() + 2), play->numericIdentifier());
    EXPECT_EQ(record[6], 0);
    EXPECT_EQ(record[7], 0);
    EXPECT_EQ(std::vector<uint8_t>(record.begin() + 20, record.begin() + 29),
              (std::vector<uint8_t>{102, 102, 102, 127, 127, 127, 94, 144, 27}));
    EXPECT_EQ(readU16(record.data() + 29), 14);
    EXPECT_EQ(readU16(record.data() + 31), 13);
    EXPECT_EQ(readU16(record.data() + 33), 0);
    EXPECT_EQ(std::string(record.begin() + 35, record.end()), "Start PlaybackStop Playback");
    play->setState(1);
    std::vector<uint8_t> selected = play->dataRepresentationWithResourceHost(nullptr);
    EXPECT_EQ(selected[7], 1);
    selected[7] = 0;
    EXPECT_EQ(selected, record) << "only the state byte changes";
}

TEST(HubTrigger, ButtonRecordLengthsAndColourBytes) {
    platform::NotificationCenter center;
    HubButtonTrigger plain([] {}, center);
    auto record = plain.dataRepresentationWithResourceHost(nullptr);
    ASSERT_EQ(record.size(), 35u);
    EXPECT_EQ(std::vector<uint8_t>(record.begin() + 20, record.begin() + 29),
              (std::vector<uint8_t>{102, 102, 102, 0, 0, 0, 94, 144, 27}));
    plain.setTitle("a", HubTrigger::Normal);
    plain.setTitle("bc", HubTrigger::Alternate);
    record = plain.dataRepresentationWithResourceHost(nullptr);
    ASSERT_EQ(record.size(), 38u);
    EXPECT_EQ(readU16(record.data() + 29), 1);
    EXPECT_EQ(readU16(record.data() + 31), 0);
    EXPECT_EQ(readU16(record.data() + 33), 2);
    EXPECT_EQ(std::string(record.begin() + 35, record.end()), "abc");
    // Colours outside the range are clamped, and one that is no number gives 0.
    plain.setColor({2.0, -1.0, std::nan(""), 1}, HubTrigger::Normal);
    record = plain.dataRepresentationWithResourceHost(nullptr);
    EXPECT_EQ(std::vector<uint8_t>(record.begin() + 20, record.begin() + 23), (std::vector<uint8_t>{255, 0, 0}));
    EXPECT_EQ(HubButtonTrigger::extractComponentsFromColor(nullptr).red, 128);
}

TEST(HubTrigger, AVariableRecordWritesItsValuesBigEndian) {
    platform::NotificationCenter center;
    HubVariableTrigger control([](HubTrigger&, const HubTrigger::PortSet&) {}, center);
    control.setValue(0.5f);
    control.setTitle("Vol");
    const auto record = control.dataRepresentationWithResourceHost(nullptr);
    ASSERT_EQ(record.size(), 46u);
    EXPECT_EQ(readU16(record.data()), 43);
    EXPECT_EQ(record[6], 2);
    EXPECT_EQ(std::vector<uint8_t>(record.begin() + 9, record.begin() + 17),
              (std::vector<uint8_t>{0x3F, 0xE0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(readF64BigEndian(record.data() + 17), 1.0);
    EXPECT_EQ(readF64BigEndian(record.data() + 25), 0.0);
    EXPECT_EQ(readU16(record.data() + 41), 3);
}

TEST(HubTrigger, IdentifiersAreDistinctNonZeroAndNeverReserved) {
    platform::NotificationCenter center;
    std::set<uint32_t> seen;
    for (int i = 0; i < 100; ++i) {
        HubButtonTrigger trigger([] {}, center);
        const uint32_t id = trigger.numericIdentifier();
        EXPECT_NE(id, 0u);
        EXPECT_NE(id, kHubBypassTriggerIdentifier);
        EXPECT_FALSE(id >= kHubVolumeTriggerIdentifier && id < kHubVolumeTriggerIdentifier + 0x10000);
        EXPECT_TRUE(seen.insert(id).second);
    }
}

TEST(HubTrigger, AnIdentifierSetToZeroFallsBackToTheTriggersOwn) {
    auto trigger = HubButtonTrigger::buttonTriggerWithTitle("Go", nullptr, {}, platform::NotificationCenter::shared());
    const uint32_t own = trigger->numericIdentifier();
    trigger->setNumericIdentifier(0x1234);
    EXPECT_EQ(trigger->numericIdentifier(), 0x1234u);
    trigger->setNumericIdentifier(0);
    EXPECT_EQ(trigger->numericIdentifier(), own);
    EXPECT_NE(own, 0u);
}

TEST(HubTrigger, EqualTriggersShareTheIdentifierAndTheClassOfTheAskingOne) {
    platform::NotificationCenter center;
    auto button = HubTrigger::triggerWithTitle("Go", HubBuiltInImageNamed("Play.png"), {}, center);
    auto otherButton = HubButtonTrigger::buttonTriggerWithTitle("Again", nullptr, {}, center);
    auto animated = HubAnimatedTrigger::animatedTriggerWithTitle("Spin", nullptr, {}, center);
    auto variable = HubVariableTrigger::variableTriggerWithTitle("Level", {}, center);
    for (HubTrigger* trigger : std::initializer_list<HubTrigger*>{otherButton.get(), animated.get(), variable.get()})
        trigger->setNumericIdentifier(button->numericIdentifier());
    const struct {
        const HubTrigger& asking;
        const HubTrigger& other;
        bool equal;
    } cases[] = {
        {*button, *otherButton, true},
        {*button, *animated, true},   // an animated trigger is a button trigger
        {*animated, *button, false},  // but not the other way round
        {*button, *variable, false},
        {*variable, *button, false},
        {*variable, *variable, true},
    };
    for (const auto& test : cases) EXPECT_EQ(test.asking.isEqual(test.other), test.equal);
    otherButton->setNumericIdentifier(button->numericIdentifier() + 1);
    EXPECT_FALSE(button->isEqual(*otherButton));
    EXPECT_EQ(button->titleForState(HubTrigger::Normal), "Go");
    EXPECT_EQ(button->iconForState(HubTrigger::Normal), HubBuiltInImageNamed("Play.png"));
}

TEST(HubTrigger, AnAnimatedTriggerStartsWithItsTitleAndIconAndShowsItsFrames) {
    platform::NotificationCenter center;
    int announced = 0;
    center.addObserver(kHubTriggerAttributeChangedNotification, nullptr, [&](const auto&) { ++announced; });
    auto play = HubBuiltInImageNamed("Play.png"), pause = HubBuiltInImageNamed("Pause.png");
    auto trigger = HubAnimatedTrigger::animatedTriggerWithTitle("Spin", play, {}, center);
    EXPECT_EQ(announced, 2) << "title and icon set as their setters set them";
    EXPECT_EQ(trigger->titleForState(HubTrigger::Normal), "Spin");
    EXPECT_EQ(trigger->iconForState(HubTrigger::Normal), play);
    EXPECT_TRUE(trigger->frames().empty());
    trigger->registerNewFrame(pause, 7);
    EXPECT_EQ(trigger->frames().size(), 1u);
    trigger->setCurrentFrameIdentifier(7);
    EXPECT_EQ(trigger->iconForState(HubTrigger::Normal), pause);
    EXPECT_EQ(trigger->currentFrameIdentifier(), 7u);
    trigger->setFrames({});
    EXPECT_EQ(trigger->frameForIdentifier(7), nullptr);
    const auto record = trigger->dataRepresentationWithResourceHost(nullptr);
    EXPECT_EQ(record[6], HubTrigger::AnimatedControl);
    EXPECT_EQ(readU16(record.data() + 29), 4u);
}

TEST(HubTrigger, TheBuiltInImagesHaveTheirSizes) {
    const struct {
        const char* name;
        uint32_t width, height;
    } images[] = {{"Blank-App.png", 128, 128}, {"Bypass-Off.png", 68, 38}, {"Bypass-On.png", 50, 38},
                  {"Pause.png", 42, 46},       {"Play.png", 42, 50},        {"Record.png", 56, 56},
                  {"Rewind.png", 50, 46},      {"Skip.png", 48, 46},        {"Switch-To-App.png", 74, 52}};
    for (const auto& image : images) {
        auto decoded = HubBuiltInImageNamed(image.name);
        ASSERT_TRUE(decoded) << image.name;
        EXPECT_EQ(decoded->width(), image.width) << image.name;
        EXPECT_EQ(decoded->height(), image.height) << image.name;
        EXPECT_EQ(HubBuiltInImageNamed(image.name), decoded) << "decoded once and kept";
    }
    EXPECT_FALSE(HubBuiltInImageNamed("Nothing.png"));
}

}  // namespace
}  // namespace strombel::hub
