// Peers read from their metadata, the registry's lookups, and the remote
// triggers: table-driven over the records' edge cases.

#include "hub/hub_peer.h"

#include <gtest/gtest.h>

#include "hub/hub_record.h"
#include "hub_controller_test_support.h"
#include "platform/png_image.h"

namespace strombel::hub::testing {
namespace {

Bytes portRecord(const std::string& name, uint32_t type = 0, uint8_t attributes = 0) {
    HubPort port(HubPort::Sender, name, name + " title");
    port.setAudioComponentDescription({type, type ? 2u : 0u, type ? 3u : 0u, 0, 0});
    port.setAttributes(attributes);
    return port.dataRepresentationWithResourceHost(nullptr);
}

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

Bytes buttonRecord(uint32_t identifier, uint8_t state = 0, const std::string& title = "Go") {
    Bytes record(35 + title.size(), 0);
    writeU16(record.data(), 35);
    writeU32(record.data() + 2, identifier);
    record[7] = state;
    writeU16(record.data() + 29, uint16_t(title.size()));
    std::copy(title.begin(), title.end(), record.begin() + 35);
    return record;
}

struct PeerWorld : ControllerWorld {
    std::unique_ptr<HubController> controller = HubController::create(options());
    SocketHub hub{*controller, "Drums"};
    /// Replaces the bus peer's metadata as a TXT update would.
    void publish(platform::TxtRecord metadata) {
        metadata["sequence"] = std::to_string(++sequence);
        metadata["version"] = "3";
        metadata["SDK version"] = "2.1.4";
        hub.bus->netServiceDidUpdateTXTRecordData(metadata);
    }
    uint32_t sequence = 10;
};

TEST(HubPeer, PortListsStopAtTheFirstMissingIndex) {
    PeerWorld world;
    world.publish({{"outputs[0]", text(portRecord("A"))}, {"outputs[2]", text(portRecord("C"))}});
    ASSERT_EQ(world.hub.peer->senderPorts().size(), 1u);
    EXPECT_EQ(world.hub.peer->senderPorts()[0]->name(), "A");
    EXPECT_EQ(world.hub.peer->senderPorts()[0]->peer(), world.hub.peer);
}

TEST(HubPeer, TwoPortsOfOneNameOrDescriptionStayTwo) {
    PeerWorld world;
    world.publish({{"inputs[0]", text(portRecord("In", 9))}, {"inputs[1]", text(portRecord("In", 9))}});
    ASSERT_EQ(world.hub.peer->receiverPorts().size(), 2u);
    auto first = world.hub.peer->receiverPorts()[0], second = world.hub.peer->receiverPorts()[1];
    EXPECT_NE(first, second);
    // Read again: each keeps its object.
    world.publish({{"inputs[0]", text(portRecord("In", 9, 1))}, {"inputs[1]", text(portRecord("In", 9, 2))}});
    ASSERT_EQ(world.hub.peer->receiverPorts().size(), 2u);
    EXPECT_EQ(world.hub.peer->receiverPorts()[0], first);
    EXPECT_EQ(world.hub.peer->receiverPorts()[1], second);
    EXPECT_EQ(second->attributes(), 2);
}

TEST(HubPeer, APlaceholderPortIsUpdatedInPlaceAndDirectUpdatesStayFreshTenSeconds) {
    PeerWorld world;
    auto standin = HubPort::standinPortWithPeer(world.hub.peer, HubPort::Receiver);
    standin->setNumericIdentifier(portIdentifierFromName("In"));
    world.hub.peer->appendPort(HubPort::Receiver, standin);
    world.publish({{"inputs[0]", text(portRecord("In", 0, 1))}});
    ASSERT_EQ(world.hub.peer->receiverPorts().size(), 1u);
    EXPECT_EQ(world.hub.peer->receiverPorts()[0], standin);
    EXPECT_FALSE(standin->isStandin());
    EXPECT_EQ(standin->name(), "In");

    standin->setAttributes(7);
    standin->setLastStateUpdate(world.hub.peer->mediaTime());
    world.clock.advance(5 * platform::kNanosPerSecond);
    world.publish({{"inputs[0]", text(portRecord("In", 0, 1))}});
    EXPECT_EQ(standin->attributes(), 7) << "the direct update is newer than the metadata";
    world.clock.advance(6 * platform::kNanosPerSecond);
    world.publish({{"inputs[0]", text(portRecord("In", 0, 1))}});
    EXPECT_EQ(standin->attributes(), 1);
}

TEST(HubRegistry, LookupsByNameAndIdentifier) {
    PeerWorld world;
    SocketHub remote(*world.controller, "Keys", "127.0.0.2", "11:22:33:44:55:66");
    SocketHub twin(*world.controller, "Keys", "127.0.0.2", "11:22:33:44:55:77");
    auto placeholder = HubPeer::localStandInPeerWithName("Pads", {}, {}, platform::SystemClock::shared());
    world.controller->addPeer(placeholder);
    auto& registry = world.controller->peerRegistry();
    EXPECT_EQ(registry.peerWithName("Drums", std::nullopt), world.hub.peer) << "on this device";
    EXPECT_EQ(registry.peerWithName("Pads", std::nullopt), placeholder);
    EXPECT_EQ(registry.peerWithName("Keys", std::nullopt), nullptr) << "another device needs its identifier";
    EXPECT_EQ(registry.peerWithName("Keys", "11:22:33:44:55:66"), remote.peer);
    EXPECT_EQ(registry.peerWithName("Keys", "11:22:33:44:55:77"), twin.peer);
    EXPECT_EQ(registry.peerWithName("Keys", "11:22:33:44:55:6f"), nullptr);
    EXPECT_EQ(registry.peerWithName("Drums", "0a:1b:2c:3d:4e:5f"), world.hub.peer) << "case aside";
    EXPECT_EQ(registry.peerWithName("strombel", std::nullopt), world.controller->selfPeer());
}

TEST(HubPeer, TriggersFromMetadataKeepTheirObjectsAndOrder) {
    PeerWorld world;
    world.publish({{"triggers[0]", text(buttonRecord(1))}, {"triggers[1]", text(buttonRecord(2))},
                   {"offPanelTriggers[0]", text(buttonRecord(3))}, {"triggers[2]", "\x07"}});
    auto triggers = world.hub.peer->triggers();
    ASSERT_EQ(triggers.size(), 3u);
    EXPECT_EQ(world.hub.peer->panelTriggers().size(), 2u);
    EXPECT_TRUE(triggers[2]->offPanel());
    // Two records of one identifier give two triggers, not one twice.
    world.publish({{"triggers[0]", text(buttonRecord(1, 1))}, {"triggers[1]", text(buttonRecord(1, 2))}});
    ASSERT_EQ(world.hub.peer->triggers().size(), 2u);
    EXPECT_EQ(world.hub.peer->triggers()[0], triggers[0]);
    EXPECT_NE(world.hub.peer->triggers()[1], triggers[0]);
    EXPECT_EQ(world.hub.peer->triggers()[0]->state(), 1);
}

Bytes variableRecord(uint32_t identifier, const std::string& title, uint32_t maximumImage = 0,
                     uint32_t minimumImage = 0) {
    HubVariableTrigger control([](HubTrigger&, const HubTrigger::PortSet&) {}, platform::NotificationCenter::shared());
    control.setNumericIdentifier(identifier);
    Bytes record = control.dataRepresentationWithResourceHost(nullptr);
    writeU32(record.data() + 33, minimumImage);
    writeU32(record.data() + 37, maximumImage);
    writeU16(record.data() + 41, uint16_t(title.size()));
    record.resize(43);
    record.insert(record.end(), title.begin(), title.end());
    return record;
}

// The peer's record of a trigger decides what the trigger is: published again
// as another kind it is another object, and one that no longer reads is gone.
TEST(HubPeer, ATriggerPublishedAsAnotherKindOrUnreadableIsNoLongerTheOldOne) {
    PeerWorld world;
    world.publish({{"triggers[0]", text(buttonRecord(7, 0, "Play"))}});
    ASSERT_EQ(world.hub.peer->triggers().size(), 1u);
    const auto button = world.hub.peer->triggers()[0];

    world.publish({{"triggers[0]", text(variableRecord(7, "Level"))}});
    ASSERT_EQ(world.hub.peer->triggers().size(), 1u);
    auto control = std::dynamic_pointer_cast<HubRemoteVariableTrigger>(world.hub.peer->triggers()[0]);
    ASSERT_TRUE(control) << "a button became a slider";
    EXPECT_EQ(control->title(), "Level");
    EXPECT_FALSE(control->isEqual(*button));
    EXPECT_FALSE(button->isEqual(*control));

    Bytes unreadable = variableRecord(7, "Level");
    writeU16(unreadable.data() + 41, 200);  // a title past the record's end
    world.publish({{"triggers[0]", text(unreadable)}});
    EXPECT_TRUE(world.hub.peer->triggers().empty()) << "a record that no longer reads leaves no trigger";
}

TEST(HubRemoteTrigger, ImagesFollowTheirIdentifiersAndEqualTriggersHashAlike) {
    PeerWorld world;
    auto& manager = world.controller->resourceManager();
    world.hub.peer->setResourceManager(&manager);  // as the controller does for a peer in view
    const auto cached = manager.cacheFileFor(world.hub.bus->name(), 11);
    std::filesystem::create_directories(cached.parent_path());
    const auto png = platform::PngImage::fromRgba(2, 2, std::vector<uint8_t>(16, 0xFF));
    std::ofstream(cached, std::ios::binary)
        .write(reinterpret_cast<const char*>(png->data().data()), std::streamsize(png->data().size()));
    world.publish({{"triggers[0]", text(variableRecord(7, "Level", 11, 12))}, {"triggers[1]", text(buttonRecord(8))}});
    ASSERT_EQ(world.hub.peer->triggers().size(), 2u);
    auto control = std::dynamic_pointer_cast<HubRemoteVariableTrigger>(world.hub.peer->triggers()[0]);
    auto button = std::dynamic_pointer_cast<HubRemoteButtonTrigger>(world.hub.peer->triggers()[1]);
    ASSERT_TRUE(control && button);
    ASSERT_TRUE(control->maximumImage());
    EXPECT_EQ(control->maximumImage()->resourceID, 11u);
    EXPECT_FALSE(control->minimumImage()) << "not loaded yet";
    EXPECT_EQ(control->remoteResourceIDsToLoad(), std::vector<uint32_t>{12});

    // A record read again tells the observers of every image and identifier.
    std::vector<std::string> told;
    for (const char* key : {"maximumIconID", "maximumImage", "minimumIconID", "minimumImage"})
        control->addObserver(key, [&told, key] { told.push_back(key); });
    for (const char* key : {"selectedIconID", "selectedIcon", "alternateIconID", "alternateIcon"})
        button->addObserver(key, [&told, key] { told.push_back(key); });
    world.publish({{"triggers[0]", text(variableRecord(7, "Level", 11, 13))}, {"triggers[1]", text(buttonRecord(8))}});
    std::sort(told.begin(), told.end());
    EXPECT_EQ(told, (std::vector<std::string>{"alternateIcon", "alternateIconID", "maximumIconID", "maximumImage",
                                              "minimumIconID", "minimumImage", "selectedIcon", "selectedIconID"}));

    auto again = HubRemoteTrigger::remoteTriggerWithPeer(world.hub.peer, buttonRecord(8), nullptr);
    EXPECT_TRUE(again->isEqual(*button));
    EXPECT_EQ(again->hash(), button->hash());
    EXPECT_NE(HubRemoteTrigger::remoteTriggerWithPeer(world.hub.peer, buttonRecord(9), nullptr)->hash(), button->hash());
}

TEST(HubRemoteTrigger, RecordsThatDoNotFitAreRefused) {
    struct Case {
        const char* what;
        Bytes record;
        int64_t identifier;
        bool made;
    };
    Bytes header40 = buttonRecord(5);
    writeU16(header40.data(), 40);
    header40.resize(39);
    Bytes shortHeader = buttonRecord(5);
    writeU16(shortHeader.data(), 20);
    Bytes variableTooShort = buttonRecord(5);
    variableTooShort[6] = 2;
    Bytes unknownControl = buttonRecord(5);
    unknownControl[6] = 3;
    Bytes titleTooLong = buttonRecord(5);
    writeU16(titleTooLong.data() + 31, 1);
    const Case cases[] = {
        {"seven bytes", Bytes(7, 0), 0, false},
        {"header says 40, 39 bytes", header40, 0, false},
        {"header below 35", shortHeader, 5, false},
        {"control type 2, 37 bytes", variableTooShort, 5, false},
        {"control type 3", unknownControl, 5, false},
        {"titles past the end", titleTooLong, 5, false},
        {"a plain button", buttonRecord(5), 5, true},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        EXPECT_EQ(HubRemoteTrigger::identifierFromDataRepresentation(test.record), test.identifier);
        EXPECT_EQ(HubRemoteTrigger::remoteTriggerWithPeer(nullptr, test.record, nullptr) != nullptr, test.made);
    }
}

TEST(HubRemoteTrigger, TitlesThatAreNotUtf8AreReadWithReplacementCharacters) {
    auto trigger = std::dynamic_pointer_cast<HubRemoteButtonTrigger>(
        HubRemoteTrigger::remoteTriggerWithPeer(nullptr, buttonRecord(5, 0, "a\xFF" "b\xE2\x82"), nullptr));
    ASSERT_TRUE(trigger);
    EXPECT_EQ(trigger->title(), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(HubRemoteTrigger, ButtonsAndControlsSendTheirMessagesToTheirPeer) {
    PeerWorld world;
    HubVariableTrigger volume([](HubTrigger&, const HubTrigger::PortSet&) {}, world.notifications);
    volume.setNumericIdentifier(0x766F6C30);
    world.publish({{"triggers[0]", text(buttonRecord(0x01020304))},
                   {"offPanelTriggers[0]", text(volume.dataRepresentationWithResourceHost(nullptr))}});
    ASSERT_EQ(world.hub.peer->triggers().size(), 2u);
    auto button = std::dynamic_pointer_cast<HubRemoteButtonTrigger>(world.hub.peer->triggers()[0]);
    auto control = std::dynamic_pointer_cast<HubRemoteVariableTrigger>(world.hub.peer->triggers()[1]);
    ASSERT_TRUE(button && control);
    EXPECT_FALSE(world.hub.receive(50)) << "loading a control sends nothing";

    button->activate();
    EXPECT_EQ(*world.hub.receive(), (Bytes{3, 3, 5, 5, 0x04, 0x03, 0x02, 0x01}));
    control->setValue(0.5f);
    EXPECT_EQ(*world.hub.receive(),
              (Bytes{3, 3, 15, 5, 2, 0x30, 0x6C, 0x6F, 0x76, 0x3F, 0xE0, 0, 0, 0, 0, 0, 0}));
    button->setState(HubTrigger::Disabled);
    control->setState(HubTrigger::Disabled);
    button->activate();
    control->setValue(0.25f);
    EXPECT_FALSE(world.hub.receive(50));
    EXPECT_EQ(control->value(), 0.5f) << "a disabled control keeps its value";
}

}  // namespace
}  // namespace strombel::hub::testing
