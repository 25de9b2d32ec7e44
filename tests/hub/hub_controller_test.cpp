#include "hub/hub_controller.h"

#include <gtest/gtest.h>

#include <vector>

#include "hub/hub_port.h"
#include "hub/hub_trigger.h"
#include "platform/devices/manual_audio_device.h"
#include "platform/notification_center.h"

namespace strombel::hub {
namespace {

AudioComponentDescription strombelOutput() {
    return {fourCharCode("auri"), fourCharCode("smpl"), fourCharCode("vlkt"), 0, 0};
}

TEST(HubController, PublishesTheEnginesSenderPortUnconnected) {
    platform::NotificationCenter center;
    HubController controller(center);
    platform::ManualAudioDevice engineOutput;
    auto port = std::make_shared<HubSenderPort>("Strombel output", "Strombel", strombelOutput(), &engineOutput);
    controller.addSenderPort(port);

    ASSERT_EQ(controller.senderPorts().size(), 1u);
    EXPECT_EQ(controller.senderPorts()[0]->name(), "Strombel output");
    EXPECT_EQ(controller.senderPorts()[0]->title(), "Strombel");
    EXPECT_EQ(port->audioComponentDescription().componentType, 0x61757269u);
    EXPECT_EQ(port->audioComponentDescription().componentSubType, 0x736d706cu);
    EXPECT_EQ(port->audioComponentDescription().componentManufacturer, 0x766c6b74u);
    EXPECT_EQ(port->audioUnit(), &engineOutput);
    EXPECT_FALSE(port->hubOnly());
    EXPECT_FALSE(controller.connected());
}

TEST(HubControllerDeathTest, AReceiverPortIsNotASenderPort) {
    EXPECT_DEATH(
        {
            HubController controller;
            controller.addSenderPort(std::make_shared<HubPort>(HubPort::Receiver, "in", "In"));
        },
        "hub_controller.cpp:[0-9]+: You must provide a sender port");
}

TEST(HubControllerDeathTest, TwoPortsCannotShareAName) {
    EXPECT_DEATH(
        {
            HubController controller;
            controller.addSenderPort(std::make_shared<HubSenderPort>("out", "A", strombelOutput(), nullptr));
            controller.addSenderPort(std::make_shared<HubSenderPort>("out", "B", strombelOutput(), nullptr));
        },
        "You must provide a unique port name");
}

TEST(HubController, OrdersPanelTriggersRewindPlayRecordCustom) {
    platform::NotificationCenter center;
    HubController controller(center);
    controller.addTrigger(std::make_shared<HubButtonTrigger>([] {}, center));
    controller.addTrigger(HubButtonTrigger::triggerWithSystemType(HubTrigger::Record, [] {}, center));
    controller.addTrigger(HubButtonTrigger::triggerWithSystemType(HubTrigger::TogglePlay, [] {}, center));
    controller.addTrigger(HubButtonTrigger::triggerWithSystemType(HubTrigger::Rewind, [] {}, center));
    controller.addTrigger(HubButtonTrigger::triggerWithSystemType(HubTrigger::Skip, [] {}, center), false);

    std::vector<int32_t> order;
    for (const auto& trigger : controller.triggers()) order.push_back(trigger->systemType());
    EXPECT_EQ(order, (std::vector<int32_t>{3, 2, 1, 0}));
    EXPECT_EQ(controller.offPanelTriggers().size(), 1u);
}

TEST(HubController, SetsTheConnectionPanelPosition) {
    HubController controller;
    controller.setConnectionPanelPosition(2);
    EXPECT_EQ(controller.connectionPanelPosition(), 2);
    controller.setConnectionPanelPosition(0);
    EXPECT_EQ(controller.connectionPanelPosition(), 0);
}

}  // namespace
}  // namespace strombel::hub
