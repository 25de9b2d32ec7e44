// The controller with hubs played by sockets of the test: what it publishes,
// how it checks and answers the hub's messages, and the acceptance question.

#include "hub/hub_controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <vector>

#include "hub/hub_built_in_images.h"
#include "hub/hub_record.h"
#include "hub_controller_test_support.h"
#include "platform/devices/manual_audio_device.h"
#include "platform/png_image.h"

namespace strombel::hub::testing {
namespace {

AudioComponentDescription strombelOutput() {
    return {fourCharCode("auri"), fourCharCode("smpl"), fourCharCode("vlkt"), 0, 0};
}

struct ProgramWorld : ControllerWorld {
    std::unique_ptr<HubController> controller = HubController::create(options());
    platform::ManualAudioDevice engineOutput;
    std::shared_ptr<HubSenderPort> port =
        std::make_shared<HubSenderPort>("Strombel output", "Strombel", strombelOutput(), &engineOutput);
    int presses = 0;
    std::shared_ptr<HubButtonTrigger> play;
    std::vector<std::string> posted;

    ProgramWorld() {
        controller->addSenderPort(port);
        play = HubButtonTrigger::triggerWithSystemType(HubTrigger::TogglePlay, [this] { ++presses; }, notifications);
        controller->addTrigger(play);
        for (const char* name : {kHubConnectionsChangedNotification, kHubConnectedNotification,
                                 kHubDisconnectedNotification}) {
            notifications.addObserver(name, controller.get(), [this, name](const auto&) { posted.push_back(name); });
        }
    }
    /// The hub's message as the listener thread hands it over, then the main loop's turn.
    void deliver(const Bytes& message, const std::shared_ptr<HubPeer>& from) {
        controller->handleMessageBytes(message.data(), message.size(), from);
        loop.runPending();
    }
    GraphMessage graphWithUs(const SocketHub& hub) const {
        GraphMessage graph;
        graph.peers = {{hub.bus->uniqueID(), "Wirehub"}, {"", "strombel"}};
        graph.edges = {{1, port->numericIdentifier(), 0, 77}};
        return graph;
    }
};

Bytes record(const platform::TxtRecord& metadata, const std::string& key) {
    auto it = metadata.find(key);
    return it == metadata.end() ? Bytes{} : Bytes(it->second.begin(), it->second.end());
}

TEST(HubController, PublishesTheOutputThePlayButtonAndTheVolume) {
    ProgramWorld world;
    ASSERT_TRUE(world.controller);
    const platform::TxtRecord metadata = world.controller->localEndpoint().metadata();
    EXPECT_EQ(metadata.at("version"), "3");
    EXPECT_EQ(metadata.at("SDK version"), "2.1.4");
    EXPECT_EQ(metadata.at("launchURL"), "strombel.wirehub://");
    EXPECT_EQ(metadata.at("capabilities"), "1");
    EXPECT_EQ(metadata.at("displayName"), "Strombel");
    EXPECT_EQ(metadata.at("allowsMultipleInstances"), "0");
    EXPECT_EQ(record(metadata, "outputs[0]"), world.port->dataRepresentationWithResourceHost(nullptr));

    const Bytes play = record(metadata, "triggers[0]");
    ASSERT_GE(play.size(), 35u);
    EXPECT_EQ(readU32(play.data() + 2), world.play->numericIdentifier());
    EXPECT_EQ(readU32(play.data() + 8), HubBuiltInImageNamed("Play.png")->resourceID());
    EXPECT_EQ(readU32(play.data() + 12), HubBuiltInImageNamed("Pause.png")->resourceID());
    EXPECT_GE(readU32(play.data() + 8), 1000u) << "image resources have content identifiers";
    EXPECT_TRUE(world.controller->resourceHost().resourceWithID(readU32(play.data() + 8)));

    const Bytes volume = record(metadata, "offPanelTriggers[0]");
    ASSERT_GE(volume.size(), 43u);
    EXPECT_EQ(readU32(volume.data() + 2), 0x766F6C30u);
    EXPECT_EQ(volume[6], 2);
    EXPECT_EQ(readF64BigEndian(volume.data() + 9), 1.0);
    EXPECT_EQ(std::string(volume.begin() + 43, volume.end()), "Strombel output Volume");
    EXPECT_FALSE(world.controller->connected());
}

TEST(HubController, AControllerMadeAfterAnotherServesTheSharedImagesToo) {
    for (int made = 0; made < 2; ++made) {
        SCOPED_TRACE(made);
        ProgramWorld world;
        ASSERT_TRUE(world.controller);
        const Bytes play = record(world.controller->localEndpoint().metadata(), "triggers[0]");
        ASSERT_GE(play.size(), 35u);
        EXPECT_TRUE(world.controller->resourceHost().resourceWithID(readU32(play.data() + 8)));
    }
}

TEST(HubController, VolumeTriggersTakeTheFirstFreeVolumeIdentifier) {
    ProgramWorld world;
    auto second = std::make_shared<HubSenderPort>("Second", "2", strombelOutput(), nullptr);
    world.controller->addSenderPort(second);
    EXPECT_EQ(second->volumeTrigger()->numericIdentifier(), 0x766F6C31u);
    world.controller->removeSenderPort(world.port);
    EXPECT_EQ(world.controller->offPanelTriggers().size(), 1u);
    auto third = std::make_shared<HubSenderPort>("Third", "3", strombelOutput(), nullptr);
    world.controller->addSenderPort(third);
    EXPECT_EQ(third->volumeTrigger()->numericIdentifier(), 0x766F6C30u);
    EXPECT_EQ(world.controller->triggerMatchingIdentifier(0x766F6C31u), second->volumeTrigger());
}

TEST(HubController, SortedPortsArePublishedInTheirNewOrderAndFoundByName) {
    ProgramWorld world;
    auto second = std::make_shared<HubSenderPort>("A second output", "2", strombelOutput(), nullptr);
    world.controller->addSenderPort(second);
    int told = 0;
    auto id = world.controller->addObserver("senderPorts", [&] { ++told; });
    world.controller->sortSenderPortsUsingComparitor(
        [](const auto& a, const auto& b) { return a->name() < b->name(); });
    world.controller->removeObserver(id);
    EXPECT_EQ(told, 1);
    ASSERT_EQ(world.controller->senderPorts().size(), 2u);
    EXPECT_EQ(world.controller->senderPorts()[0], second);
    const platform::TxtRecord metadata = world.controller->localEndpoint().metadata();
    EXPECT_EQ(record(metadata, "outputs[0]"), second->dataRepresentationWithResourceHost(nullptr));
    EXPECT_EQ(record(metadata, "outputs[1]"), world.port->dataRepresentationWithResourceHost(nullptr));

    auto input = std::make_shared<HubPort>(HubPort::Receiver, "Strombel input", "In");
    world.controller->addReceiverPort(input);
    EXPECT_EQ(world.controller->receiverPortNamed("Strombel input"), input);
    EXPECT_EQ(world.controller->senderPortNamed("Strombel input"), nullptr);
    EXPECT_EQ(world.controller->filterPortNamed("Strombel input"), nullptr);
}

TEST(HubController, ChangingTheOwnPortsReportsTheSelfPeerOnceABurstIsOver) {
    ProgramWorld world;
    std::vector<const HubPeer*> reported;
    world.notifications.addObserver(kHubPeerAttributesChangedNotification, world.controller.get(),
                                    [&](const platform::Notification& note) {
                                        if (auto* peer = std::any_cast<std::shared_ptr<HubPeer>>(&note.userInfo))
                                            reported.push_back(peer->get());
                                    });
    int selfTold = 0;
    auto id = world.controller->selfPeer()->addObserver("senderPorts", [&] { ++selfTold; });
    world.controller->addSenderPort(std::make_shared<HubSenderPort>("Second", "2", strombelOutput(), nullptr));
    world.controller->addSenderPort(std::make_shared<HubSenderPort>("Third", "3", strombelOutput(), nullptr));
    world.controller->selfPeer()->removeObserver(id);
    EXPECT_EQ(selfTold, 2);
    world.loop.runPending();
    EXPECT_TRUE(reported.empty()) << "coalesced for 10 ms";
    world.clock.advance(10 * platform::kNanosPerMillisecond);
    world.loop.runPending();
    EXPECT_EQ(reported, std::vector<const HubPeer*>{world.controller->selfPeer().get()});
}

TEST(HubController, APeerWhoseIconIsCachedJoinsThePeersAtOnce) {
    ProgramWorld world;
    platform::ServiceRecord record;
    record.name = "Drums (Stage)";
    record.type = "_wirehub._udp";
    record.port = 9;
    record.addresses.push_back(*platform::SocketAddress::fromText("127.0.0.1", 9));
    record.txt = {{"deviceID", "0A:1B:2C:3D:4E:5F"}, {"BusVersion", "3"}, {"version", "3"}, {"launchURL", "drums://"}};
    auto bus = BusPeer::withService(record, &world.controller->localEndpoint());
    ASSERT_TRUE(bus);
    const auto file = world.controller->resourceManager().cacheFileFor(bus->name(), kHubApplicationIconResourceID);
    std::filesystem::create_directories(file.parent_path());
    const auto png = platform::PngImage::fromRgba(2, 2, std::vector<uint8_t>(16, 0xFF));
    ASSERT_TRUE(png);
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(png->data().data()),
                                                std::streamsize(png->data().size()));
    int peersTold = 0, appeared = 0;
    auto id = world.controller->addObserver("peers", [&] { ++peersTold; });
    world.notifications.addObserver(kHubPeerAppearedNotification, world.controller.get(),
                                    [&](const platform::Notification&) { ++appeared; });
    world.notifications.post(kBusRegistryPeerDidAppearNotification, &world.controller->registry(), bus);
    world.controller->removeObserver(id);
    EXPECT_EQ(peersTold, 1);
    EXPECT_EQ(appeared, 1);
    ASSERT_EQ(world.controller->peers().size(), 1u);
    EXPECT_EQ(world.controller->peers()[0]->name(), "Drums");
}

TEST(HubControllerDeathTest, MisuseStopsWithTheHubsMessageOnStandardOutput) {
    // The check helper writes to standard output; the death test reads standard error.
    EXPECT_DEATH(
        {
            dup2(2, 1);
            ProgramWorld world;
            world.controller->addSenderPort(std::make_shared<HubPort>(HubPort::Receiver, "in", "In"));
        },
        "hub_controller.cpp:[0-9]+: You must provide a sender port");
    EXPECT_DEATH(
        {
            dup2(2, 1);
            ProgramWorld world;
            world.controller->addReceiverPort(std::make_shared<HubPort>(HubPort::Receiver, "Strombel output", "x"));
        },
        "You must provide a unique port name");
}

TEST(HubController, OrdersTriggersRewindPlayRecordCustomSkipAndKeepsEachOnce) {
    ProgramWorld world;
    auto& center = world.notifications;
    auto custom = std::make_shared<HubButtonTrigger>([] {}, center);
    auto skip = HubButtonTrigger::triggerWithSystemType(HubTrigger::Skip, [] {}, center);
    auto other = std::make_shared<HubButtonTrigger>([] {}, center);
    other->setSystemType(9);
    for (auto trigger : std::vector<std::shared_ptr<HubTrigger>>{
             skip, other, custom, HubButtonTrigger::triggerWithSystemType(HubTrigger::Record, [] {}, center),
             HubButtonTrigger::triggerWithSystemType(HubTrigger::Rewind, [] {}, center), custom}) {
        world.controller->addTrigger(trigger);
    }
    std::vector<int32_t> order;
    for (const auto& trigger : world.controller->triggers()) order.push_back(trigger->systemType());
    EXPECT_EQ(order, (std::vector<int32_t>{3, 2, 1, 0, 4, 9}));
    world.controller->removeTrigger(custom);
    EXPECT_EQ(world.controller->triggers().size(), 5u);
}

TEST(HubController, TriggersOfOneIdentifierAreTakenOnceAndRemovedAsOne) {
    ProgramWorld world;
    auto first = HubButtonTrigger::buttonTriggerWithTitle("One", nullptr, {}, world.notifications);
    auto second = HubButtonTrigger::buttonTriggerWithTitle("Two", nullptr, {}, world.notifications);
    second->setNumericIdentifier(first->numericIdentifier());
    const size_t before = world.controller->triggers().size();
    world.controller->addTrigger(first);
    world.controller->addTrigger(second);
    world.controller->addTrigger(second, false);
    ASSERT_EQ(world.controller->triggers().size(), before + 1);
    EXPECT_EQ(world.controller->triggerMatchingIdentifier(first->numericIdentifier()), first);
    EXPECT_EQ(world.controller->offPanelTriggers().size(), 1u) << "the volume alone";
    world.controller->removeTrigger(second);
    EXPECT_EQ(world.controller->triggers().size(), before);
}

TEST(HubController, MessagesOneByteShortAreDroppedWithTheirLogLine) {
    ProgramWorld world;
    SocketHub hub(*world.controller, "Wirehub");
    BusLogCapture log;
    const struct {
        Bytes message;
        const char* line;  // nullptr: no line at all
    } cases[] = {
        {{3, 3}, nullptr},
        {{3, 3, 4, 0, 0, 0, 0, 0, 0, 0, 0}, nullptr},
        {{3, 3, 18, 7, 0, 0, 0, 0, 0, 0, 0, 0}, nullptr},
        {{3, 2, 5, 5, 1, 0, 0, 0}, nullptr},  // H below 3
        {{3, 9, 5}, nullptr},                 // H past the end
        {{3, 3, 5, 5, 1, 0, 0}, "Invalid trigger activate message from"},
        {{3, 3, 6, 8, 0, 1, 0, 0, 0, 0}, "Invalid trigger state update message from"},
        {Bytes(3 + 23, 0), "Invalid connection state update message from"},
        {{3, 3, 13, 2}, "Invalid remote activation request from"},
        {{3, 3, 13, 2, 5, 'a'}, "Invalid remote activation request from"},
        {{3, 3, 14, 6, 1, 0, 0, 0}, "Invalid port attribute update message from"},
        {Bytes{3, 3, 15, 5, 2, 1, 0, 0, 0, 0x3F, 0xE0, 0, 0, 0, 0}, "Invalid trigger adjust message from"},
        {{3, 3, 16, 4, 1, 0}, "Invalid state pull from"},
        {Bytes{3, 3, 17, 16, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}, "Invalid state push message from"},
    };
    for (const auto& test : cases) {
        Bytes message = test.message;
        if (message.size() == 26) message = {3, 3, 7}, message.resize(26, 0);
        const size_t before = log.lines().size();
        world.clock.advance(platform::kNanosPerSecond);  // a line a second per kind
        world.deliver(message, hub.peer);
        SCOPED_TRACE(test.line ? test.line : "silent");
        if (!test.line) {
            EXPECT_EQ(log.lines().size(), before);
        } else {
            ASSERT_EQ(log.lines().size(), before + 1);
            EXPECT_EQ(log.lines().back().rfind(test.line, 0), 0u) << log.lines().back();
        }
    }
    EXPECT_EQ(world.presses, 0);
    EXPECT_FALSE(hub.receive(50)) << "no reply to a malformed message";
}

size_t linesStartingWith(const BusLogCapture& log, const std::string& start) {
    size_t count = 0;
    for (const auto& line : log.lines()) count += line.rfind(start, 0) == 0;
    return count;
}

// A peer flooding bad datagrams: a line a second per peer and kind, the next
// one saying how many were left out.
TEST(HubController, LinesAboutBadDatagramsComeOnceASecondPerPeerAndKindWithTheCountLeftOut) {
    ProgramWorld world;
    SocketHub hub(*world.controller, "Wirehub");
    SocketHub other(*world.controller, "Drums", "127.0.0.1", "99:99:99:99:99:99");
    BusLogCapture log;
    const Bytes badActivate{3, 3, 5, 5, 1, 0, 0};
    const Bytes badAdjust{3, 3, 15, 5, 2, 1, 0, 0, 0, 0x3F, 0xE0, 0, 0, 0, 0};
    for (int i = 0; i < 1000; ++i) world.deliver(badActivate, hub.peer);
    for (int i = 0; i < 10; ++i) world.deliver(badAdjust, hub.peer);
    for (int i = 0; i < 10; ++i) world.deliver(badActivate, other.peer);
    const std::string activate = "Invalid trigger activate message from ";
    EXPECT_EQ(log.lines(), (std::vector<std::string>{activate + hub.peer->description(),
                                                     "Invalid trigger adjust message from " + hub.peer->description(),
                                                     activate + other.peer->description()}));
    world.clock.advance(platform::kNanosPerSecond - 1);
    world.deliver(badActivate, hub.peer);
    EXPECT_EQ(log.lines().size(), 3u);
    world.clock.advance(1);
    world.deliver(badActivate, hub.peer);
    world.deliver(badActivate, hub.peer);
    ASSERT_EQ(log.lines().size(), 4u);
    EXPECT_EQ(log.lines().back(), activate + hub.peer->description() + " (1000 more since)");
    world.clock.advance(platform::kNanosPerSecond);
    world.deliver(badActivate, hub.peer);
    EXPECT_EQ(log.lines().back(), activate + hub.peer->description() + " (1 more since)");
}

// Many peers each sending one bad datagram: a few lines a second of a kind
// whatever the number of peers, the next one counting the rest.
TEST(HubController, LinesOfAKindAreLimitedAcrossPeersToo) {
    ProgramWorld world;
    std::vector<std::unique_ptr<SocketHub>> peers;
    for (int i = 0; i < 30; ++i) {
        peers.push_back(std::make_unique<SocketHub>(*world.controller, fmt::format("Peer {}", i), "127.0.0.1",
                                                    fmt::format("00:00:00:00:00:{:02X}", i)));
    }
    BusLogCapture log;
    const Bytes badActivate{3, 3, 5, 5, 1, 0, 0};
    for (const auto& peer : peers) world.deliver(badActivate, peer->peer);
    EXPECT_EQ(linesStartingWith(log, "Invalid trigger activate message from"), BusLogLimiter::kLinesPerKind);
    world.clock.advance(platform::kNanosPerSecond);
    world.deliver(badActivate, peers.back()->peer);
    EXPECT_EQ(log.lines().back(), "Invalid trigger activate message from " + peers.back()->peer->description() +
                                      " (and 20 more of this kind)");
}

// 1,000 wrongly signed graphs in a second: few reach the check on the main
// loop, a repeat of a refused one none, and the hub is heard again at once.
TEST(HubController, AFloodOfWronglySignedGraphsIsHeldBackBeforeTheCheck) {
    ProgramWorld world;
    SocketHub hub(*world.controller, "Wirehub");
    SocketHub flooder(*world.controller, "Drums", "127.0.0.1", "99:99:99:99:99:99");
    BusLogCapture log;
    TestKeyPair wrongKey;
    GraphMessage forged = world.graphWithUs(flooder);
    forged.key = wrongKey.key;
    std::vector<Bytes> flood;
    for (int i = 0; i < 1000; ++i) {
        forged.sequence = uint8_t(i);
        forged.session[15] = uint8_t(i >> 8);
        flood.push_back(forged.bytes());
    }
    for (const auto& message : flood) world.deliver(message, flooder.peer);
    const uint64_t checks = world.controller->signatureChecks();
    EXPECT_LE(checks, 1 + HubSignatureGate::kChecksPerSecondOfARefusedPeer);
    EXPECT_EQ(checks + world.controller->signaturesHeldBack(), 1000u);
    EXPECT_EQ(linesStartingWith(log, "Invalid message from peer"), 1u);

    // A second later: what was refused is refused again unchecked.
    world.clock.advance(platform::kNanosPerSecond);
    for (int i = 0; i < 100; ++i) world.deliver(flood[0], flooder.peer);
    EXPECT_EQ(world.controller->signatureChecks(), checks);
    EXPECT_FALSE(flooder.receive(50)) << "and unanswered";

    // The hub, which never sent a wrong one, is checked and applied at once.
    world.deliver(world.graphWithUs(hub).bytes(), hub.peer);
    EXPECT_EQ(*hub.receiveType(BusMessageAcknowledgement), (Bytes{3, 3, 8, 1, 0}));
    EXPECT_EQ(world.controller->signatureChecks(), checks + 1);
}

TEST(HubController, AHubOnThisMachineIsAppliedAcknowledgedAndLeftAgain) {
    ProgramWorld world;
    SocketHub hub(*world.controller, "Wirehub");
    GraphMessage graph = world.graphWithUs(hub);
    world.deliver(graph.bytes(), hub.peer);
    auto ack = hub.receiveType(BusMessageAcknowledgement);
    ASSERT_TRUE(ack);
    EXPECT_EQ(*ack, (Bytes{3, 3, 8, 1, 0}));
    EXPECT_TRUE(world.controller->inHubConnectionGraph());
    EXPECT_EQ(world.controller->controllerPeer(), hub.peer);
    EXPECT_TRUE(world.controller->hubAppRunning());
    EXPECT_TRUE(world.controller->memberOfActiveHubSession());
    EXPECT_TRUE(world.port->hubConnected());
    ASSERT_EQ(world.port->destinations().size(), 1u);
    EXPECT_EQ(world.port->destinations()[0]->peer(), hub.peer);
    EXPECT_TRUE(world.port->destinations()[0]->isStandin());
    ASSERT_EQ(world.controller->connectedPeers().size(), 1u);
    world.loop.runPending();
    EXPECT_TRUE(world.controller->connected());
    EXPECT_EQ(world.posted, (std::vector<std::string>{kHubConnectedNotification, kHubConnectionsChangedNotification}));

    // The next graph leaves this application out.
    graph.sequence = 2;
    graph.peers.pop_back();
    graph.edges.clear();
    world.deliver(graph.bytes(), hub.peer);
    ack = hub.receiveType(BusMessageAcknowledgement);
    ASSERT_TRUE(ack);
    EXPECT_EQ(*ack, (Bytes{3, 3, 8, 2, 0}));
    world.loop.runPending();
    EXPECT_FALSE(world.controller->connected());
    EXPECT_FALSE(world.port->hubConnected());
    EXPECT_EQ(world.posted.back(), kHubConnectionsChangedNotification);
    EXPECT_EQ(world.posted[world.posted.size() - 2], kHubDisconnectedNotification);
}

// The application stops or starts its engine on each change it hears of: a
// graph that leaves this program's connections as they were tells nothing.
TEST(HubController, GraphsThatChangeNothingOfThisProgramsConnectionsAreNotTold) {
    ProgramWorld world;
    SocketHub hub(*world.controller, "Wirehub");
    GraphMessage others;  // the hub and another program, never this one
    others.peers = {{hub.bus->uniqueID(), "Wirehub"}, {"", "Drums"}};
    others.edges = {{1, 5, 0, 77}};
    world.deliver(others.bytes(), hub.peer);
    ASSERT_EQ(*hub.receiveType(BusMessageAcknowledgement), (Bytes{3, 3, 8, 1, 0}));
    world.loop.runPending();
    EXPECT_TRUE(world.posted.empty());

    GraphMessage withUs = world.graphWithUs(hub);
    withUs.sequence = 2;
    world.deliver(withUs.bytes(), hub.peer);
    world.loop.runPending();
    EXPECT_EQ(world.posted, (std::vector<std::string>{kHubConnectedNotification, kHubConnectionsChangedNotification}));
    withUs.sequence = 3;  // the same again
    world.deliver(withUs.bytes(), hub.peer);
    ASSERT_EQ(*hub.receiveType(BusMessageAcknowledgement, 2000), (Bytes{3, 3, 8, 2, 0}));
    ASSERT_EQ(*hub.receiveType(BusMessageAcknowledgement), (Bytes{3, 3, 8, 3, 0}));
    world.loop.runPending();
    EXPECT_EQ(world.posted.size(), 2u);

    // Another program joins the session: the panel hears of the peers it shows.
    withUs.sequence = 4;
    withUs.peers.push_back({"", "Drums"});
    world.deliver(withUs.bytes(), hub.peer);
    world.loop.runPending();
    EXPECT_EQ(world.posted.size(), 3u);
    EXPECT_EQ(world.posted.back(), kHubConnectionsChangedNotification);
    EXPECT_EQ(world.controller->connectedPeers().size(), 2u);
}

// Our port's identifier comes from its name: another machine's Strombel has
// the same one, and only the entry's unique identifier tells the two apart.
TEST(HubController, AnotherMachinesStrombelInTheGraphIsNotThisProgram) {
    struct Case {
        const char* what;
        bool ours;  // the entry carries our identifier; else `uniqueID`
        std::string uniqueID;
        bool connected;
    } cases[] = {
        {"our identifier", true, "", true},
        {"no identifier", false, "", true},
        {"another device's identifier", false, "6F1C0A55-0000-4000-8000-0000000000AB", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ProgramWorld world;
        SocketHub hub(*world.controller, "Wirehub");
        BusLogCapture log;
        GraphMessage graph = world.graphWithUs(hub);
        graph.peers[1].uniqueID = c.ours ? world.controller->selfPeer()->uniqueID() : c.uniqueID;
        world.deliver(graph.bytes(), hub.peer);
        ASSERT_TRUE(hub.receiveType(BusMessageAcknowledgement));
        world.loop.runPending();
        EXPECT_EQ(world.controller->inHubConnectionGraph(), c.connected);
        EXPECT_EQ(world.controller->connected(), c.connected);
        EXPECT_EQ(world.port->destinations().size(), c.connected ? 1u : 0u);
        EXPECT_EQ(log.contains("Connected to Wirehub"), c.connected);
        if (c.connected) continue;
        auto other = world.controller->peerRegistry().peerWithName("strombel", c.uniqueID);
        ASSERT_TRUE(other);
        EXPECT_EQ(other->type(), HubPeer::Placeholder) << "a peer of its own, its port a placeholder";
        EXPECT_EQ(other->senderPorts().size(), 1u);
    }
}

TEST(HubController, ALaunchByTheHubSaysOnceThatItWaitsForTheHub) {
    BusLogCapture log;
    const auto waiting = [&log] {
        const auto lines = log.lines();
        return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
            return line.find("waiting for the hub") != std::string::npos;
        });
    };
    {
        ProgramWorld world;
        world.notifications.post(kApplicationDidFinishLaunchingNotification, nullptr);
        EXPECT_EQ(waiting(), 0) << "a launch of the user's own waits for nobody";
    }
    ProgramWorld world;
    world.notifications.post(kApplicationDidFinishLaunchingNotification, nullptr, std::string("strombel.wirehub://"));
    EXPECT_TRUE(world.controller->memberOfActiveHubSession());
    EXPECT_EQ(waiting(), 1);
    EXPECT_TRUE(log.contains("strombel.wirehub://"));
}

TEST(HubController, UnsignedForgedAndChangedGraphsAreRefused) {
    ProgramWorld world;
    SocketHub hub(*world.controller, "Wirehub");
    BusLogCapture log;
    GraphMessage graph = world.graphWithUs(hub);
    graph.sign = false;
    world.deliver(graph.bytes(), hub.peer);
    graph.sign = true;
    Bytes changed = graph.bytes();
    changed.back() ^= 1;
    world.clock.advance(platform::kNanosPerSecond);  // a line a second
    world.deliver(changed, hub.peer);
    // Signed with a key that is not the hub's.
    TestKeyPair other;
    graph.key = other.key;
    world.clock.advance(platform::kNanosPerSecond);
    world.deliver(graph.bytes(), hub.peer);
    int refusals = 0;
    for (const auto& line : log.lines()) refusals += line.rfind("Invalid message from peer", 0) == 0;
    EXPECT_EQ(refusals, 3);
    EXPECT_FALSE(hub.receive(100));
    EXPECT_FALSE(world.controller->inHubConnectionGraph());
}

TEST(HubController, AReplayedGraphIsDroppedAndARepeatOfTheLatestAcknowledgedAgain) {
    ProgramWorld world;
    SocketHub hub(*world.controller, "Wirehub");
    BusLogCapture log;
    GraphMessage first = world.graphWithUs(hub);
    GraphMessage second = first;
    second.sequence = 2;
    second.edges.clear();
    world.deliver(first.bytes(), hub.peer);
    world.deliver(second.bytes(), hub.peer);
    ASSERT_TRUE(hub.receiveType(BusMessageAcknowledgement));
    ASSERT_TRUE(hub.receiveType(BusMessageAcknowledgement));
    EXPECT_FALSE(world.port->hubConnected());

    world.deliver(first.bytes(), hub.peer);
    EXPECT_FALSE(hub.receive(100)) << "an old graph again is not acknowledged";
    EXPECT_FALSE(world.port->hubConnected()) << "nor applied";
    EXPECT_TRUE(log.contains("Replayed connection graph update"));

    world.deliver(second.bytes(), hub.peer);
    auto ack = hub.receiveType(BusMessageAcknowledgement);
    ASSERT_TRUE(ack);
    EXPECT_EQ(*ack, (Bytes{3, 3, 8, 2, 0}));
}

// A hub that starts again sends the very bytes of its last run: once the hub
// went, or the membership ended, its graphs are applied anew and acknowledged.
TEST(HubController, AHubThatStartsAgainIsAppliedAgainAfterItWentOrTheMembershipEnded) {
    const struct {
        const char* name;
        void (*end)(ProgramWorld&, SocketHub&);
    } endings[] = {
        {"the hub went",
         [](ProgramWorld& world, SocketHub& hub) {
             world.notifications.post(kBusRegistryPeerDidDisappearNotification, &world.controller->registry(), hub.bus);
         }},
        {"the membership ended",
         [](ProgramWorld& world, SocketHub&) {
             world.notifications.post(kApplicationWillEnterForegroundNotification);
             world.loop.runPending();
         }},
    };
    for (const auto& ending : endings) {
        SCOPED_TRACE(ending.name);
        ProgramWorld world;
        SocketHub hub(*world.controller, "Wirehub");
        GraphMessage first = world.graphWithUs(hub);
        GraphMessage second = first;
        second.sequence = 2;
        second.peers.pop_back();  // leaves this application out
        second.edges.clear();
        world.deliver(first.bytes(), hub.peer);
        world.deliver(second.bytes(), hub.peer);
        ASSERT_TRUE(hub.receiveType(BusMessageAcknowledgement));
        ASSERT_TRUE(hub.receiveType(BusMessageAcknowledgement));
        world.loop.runPending();
        ASSERT_FALSE(world.controller->hubConnected());

        ending.end(world, hub);
        ASSERT_EQ(world.controller->controllerPeer(), nullptr);
        ASSERT_FALSE(world.controller->memberOfActiveHubSession());

        // The restarted hub's last graph, then its first.
        world.deliver(second.bytes(), hub.peer);
        EXPECT_EQ(*hub.receiveType(BusMessageAcknowledgement), (Bytes{3, 3, 8, 2, 0}));
        EXPECT_EQ(world.controller->controllerPeer(), hub.peer) << "acknowledged, so applied";
        EXPECT_TRUE(world.controller->memberOfActiveHubSession());
        world.deliver(first.bytes(), hub.peer);
        auto ack = hub.receiveType(BusMessageAcknowledgement);
        ASSERT_TRUE(ack);
        EXPECT_EQ(*ack, (Bytes{3, 3, 8, 1, 0}));
        EXPECT_TRUE(world.port->hubConnected());
    }
}

TEST(HubController, AHubOnAnotherDeviceIsAskedAboutOnceAndDeniedUntilRestart) {
    ProgramWorld world;
    SocketHub hub(*world.controller, "Wirehub", "127.0.0.2", "66:55:44:33:22:11");
    ASSERT_EQ(hub.peer->type(), HubPeer::Remote);
    GraphMessage graph = world.graphWithUs(hub);
    world.deliver(graph.bytes(), hub.peer);
    EXPECT_EQ(*hub.receiveType(BusMessageAcknowledgement), (Bytes{3, 3, 8, 1, 1}));
    ASSERT_EQ(world.alerts.size(), 1u);
    EXPECT_EQ(world.alerts[0].title, "Wirehub connection");
    EXPECT_EQ(world.alerts[0].message, "Accept incoming Wirehub connection from Tablet?");
    EXPECT_EQ(world.alerts[0].cancelButton, "Deny");
    EXPECT_EQ(world.alerts[0].otherButtons, (std::vector<std::string>{"Accept"}));

    world.deliver(graph.bytes(), hub.peer);
    EXPECT_EQ(*hub.receiveType(BusMessageAcknowledgement), (Bytes{3, 3, 8, 1, 1}));
    EXPECT_EQ(world.alerts.size(), 1u) << "one question at a time";

    world.alerts[0].completion(0);  // "Deny"
    world.deliver(graph.bytes(), hub.peer);
    EXPECT_EQ(*hub.receiveType(BusMessageAcknowledgement), (Bytes{3, 3, 8, 1, 2}));
    EXPECT_FALSE(world.controller->inHubConnectionGraph());
    EXPECT_TRUE(world.defaults.stringArrayForKey(kPeeredWirehubIdentifiersKey).empty());

    // Another session is accepted, remembered, and its next graph applied.
    graph.session[15] = 99;
    world.deliver(graph.bytes(), hub.peer);
    EXPECT_EQ(*hub.receiveType(BusMessageAcknowledgement), (Bytes{3, 3, 8, 1, 1}));
    ASSERT_EQ(world.alerts.size(), 2u);
    world.alerts[1].completion(1);  // "Accept"
    EXPECT_EQ(world.defaults.stringArrayForKey(kPeeredWirehubIdentifiersKey),
              (platform::UserDefaults::StringArray{"5E55104E-0001-0203-0405-060708090A63"}));
    graph.sequence = 2;
    world.deliver(graph.bytes(), hub.peer);
    EXPECT_EQ(*hub.receiveType(BusMessageAcknowledgement), (Bytes{3, 3, 8, 2, 0}));
    EXPECT_TRUE(world.controller->inHubConnectionGraph());

    HubController::resetAllPeeredConnections(world.defaults);
    EXPECT_TRUE(world.defaults.stringArrayForKey(kPeeredWirehubIdentifiersKey).empty());
}

TEST(HubController, ASecondHubGetsStatusThreeAndAStatePullTheEmptyState) {
    ProgramWorld world;
    SocketHub hub(*world.controller, "Wirehub");
    SocketHub second(*world.controller, "Otherhub", "127.0.0.1", "99:99:99:99:99:99");
    world.deliver(world.graphWithUs(hub).bytes(), hub.peer);
    ASSERT_TRUE(hub.receiveType(BusMessageAcknowledgement));
    world.deliver(world.graphWithUs(second).bytes(), second.peer);
    EXPECT_EQ(*second.receiveType(BusMessageAcknowledgement), (Bytes{3, 3, 8, 1, 3}));

    Bytes pull{3, 3, 16, 4, 1, 0, 0};
    Bytes signature = signWithTestKey(pull);
    pull.insert(pull.end(), signature.begin(), signature.end());
    world.deliver(pull, second.peer);
    EXPECT_FALSE(second.receive(100)) << "only the controller may pull";
    world.deliver(pull, hub.peer);
    auto state = hub.receiveType(BusMessageStateContentPacket);
    ASSERT_TRUE(state);
    Bytes empty(19, 0);
    empty[0] = 3, empty[1] = 3, empty[2] = 19, empty[3] = 16;
    EXPECT_EQ(*state, empty);
}

TEST(HubController, TheHubsButtonsAndControlsRunTheTriggers) {
    ProgramWorld world;
    SocketHub hub(*world.controller, "Wirehub");
    const uint32_t play = world.play->numericIdentifier(), volume = 0x766F6C30;
    auto activate = [](uint32_t id) { return HubRemoteButtonTrigger::activationMessage(id); };
    auto adjust = [](uint32_t id, double value) {
        Bytes message = HubRemoteVariableTrigger::adjustmentMessage(id, 0);
        writeF64BigEndian(message.data() + 9, value);
        return message;
    };
    world.deliver(activate(play), hub.peer);
    EXPECT_EQ(world.presses, 1);
    world.deliver(activate(volume), hub.peer);  // not a button
    world.deliver(adjust(play, 0.5), hub.peer);  // not a control
    world.deliver(activate(12345), hub.peer);   // nothing of ours
    EXPECT_EQ(world.presses, 1);
    EXPECT_EQ(world.port->volume(), 1.0f);

    world.deliver(adjust(volume, 0.5), hub.peer);
    EXPECT_EQ(world.port->volume(), 0.5f);
    world.deliver(adjust(volume, std::nan("")), hub.peer);
    world.deliver(adjust(volume, INFINITY), hub.peer);
    EXPECT_EQ(world.port->volume(), 0.5f) << "values that are no numbers are ignored";
    world.deliver(adjust(volume, 7.0), hub.peer);
    EXPECT_EQ(world.port->volume(), 1.0f) << "clamped to the range";
}

TEST(HubController, TheBypassButtonSwitchesEveryFilterWhileOneIsConnected) {
    ProgramWorld world;
    auto crusher = std::make_shared<HubFilterPort>("Strombel crusher", "Crusher");
    auto echo = std::make_shared<HubFilterPort>("Strombel echo", "Echo");
    world.controller->addFilterPort(crusher);
    world.controller->addFilterPort(echo);
    SocketHub hub(*world.controller, "Wirehub");
    const Bytes press = HubRemoteButtonTrigger::activationMessage(kHubBypassTriggerIdentifier);
    GraphMessage graph = world.graphWithUs(hub);
    world.deliver(graph.bytes(), hub.peer);
    EXPECT_FALSE(world.controller->triggerMatchingIdentifier(kHubBypassTriggerIdentifier)) << "no filter connected";

    // The hub routes its port 78 through the crusher to its port 79.
    graph.sequence = 2;
    graph.edges.push_back({0, 78, 1, crusher->numericIdentifier()});
    graph.edges.push_back({1, crusher->numericIdentifier(), 0, 79});
    world.deliver(graph.bytes(), hub.peer);
    ASSERT_TRUE(crusher->connected());
    ASSERT_FALSE(echo->connected());
    ASSERT_TRUE(world.controller->triggerMatchingIdentifier(kHubBypassTriggerIdentifier));
    world.deliver(press, hub.peer);
    EXPECT_TRUE(crusher->bypassed());
    EXPECT_TRUE(echo->bypassed()) << "every filter, connected or not";
    world.deliver(press, hub.peer);
    EXPECT_FALSE(crusher->bypassed());
    EXPECT_FALSE(echo->bypassed());

    // Without a connected filter the button goes, and a press finds nothing.
    graph.sequence = 3;
    graph.edges.resize(1);
    world.deliver(graph.bytes(), hub.peer);
    EXPECT_FALSE(world.controller->triggerMatchingIdentifier(kHubBypassTriggerIdentifier));
    world.deliver(press, hub.peer);
    EXPECT_FALSE(crusher->bypassed());
}

TEST(HubController, TriggerStateChangesGoToEveryPeerAndPingsAreAnswered) {
    ProgramWorld world;
    SocketHub hub(*world.controller, "Wirehub");
    world.play->setState(1);
    auto state = hub.receiveType(BusMessageTriggerState);
    ASSERT_TRUE(state);
    Bytes expected{3, 3, 6};
    Bytes playRecord = world.play->dataRepresentationWithResourceHost(&world.controller->resourceHost());
    expected.insert(expected.end(), playRecord.begin(), playRecord.end());
    EXPECT_EQ(*state, expected);
    EXPECT_EQ((*state)[3 + 7], 1);

    Bytes ping{3, 3, 9, 1, 2, 3, 4, 5, 6, 7, 8};
    world.controller->handleMessageBytes(ping.data(), ping.size(), hub.peer);
    auto reply = hub.receiveType(BusMessagePingReply);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->size(), 19u);
    EXPECT_TRUE(std::equal(ping.begin() + 3, ping.end(), reply->begin() + 3));
}

TEST(HubController, ActivationOpensOnlyHubLaunchAddresses) {
    ProgramWorld world;
    SocketHub hub(*world.controller, "Wirehub");  // announces "wirehub://"
    auto drums = HubPeer::localStandInPeerWithName("Drums", "drums.wirehub://", {}, platform::SystemClock::shared());
    world.controller->addPeer(drums);
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"Evil", "file:///etc/passwd"}, {"Sneaky", "x.wirehub://host/path"}, {"Bare", ".wirehub://"},
        {"Lookalike", "xwirehub://"},   {"Foreign", "https://"},             {"Path", "/usr/bin/wirehub"},
    };
    for (const auto& [name, url] : refused) world.controller->addPeer(HubPeer::localStandInPeerWithName(name, url, {}, platform::SystemClock::shared()));
    std::vector<std::string> names = {"Drums", "Wirehub"};
    for (const auto& peer : refused) names.push_back(peer.first);
    for (const std::string& name : names) {
        Bytes request{3, 3, 13, 2, uint8_t(name.size())};
        request.insert(request.end(), name.begin(), name.end());
        world.deliver(request, drums);
    }
    EXPECT_EQ(world.opened, (std::vector<std::string>{"drums.wirehub://", "wirehub://"}));
    // The panel's buttons: the hub first.
    world.opened.clear();
    auto evil = world.controller->peerRegistry().peerWithName("Evil", std::nullopt);
    world.controller->activatePeer(hub.peer);
    world.controller->activatePeer(evil);
    world.controller->activatePeer(drums);
    EXPECT_EQ(world.opened, (std::vector<std::string>{"wirehub://", "drums.wirehub://"}));
    world.active = false;
    Bytes request{3, 3, 13, 2, 5, 'D', 'r', 'u', 'm', 's'};
    world.deliver(request, drums);
    EXPECT_EQ(world.opened.size(), 2u) << "only while this application is active";
}

TEST(HubController, HostedAudioUnitsReportTheirStatusToTheHubAndPingsSetPresence) {
    ProgramWorld world;
    SocketHub hub(*world.controller, "Wirehub");
    SocketHub drums(*world.controller, "Drums", "127.0.0.1", "D0:D0");
    auto drumsOutput = HubPort::standinPortWithPeer(drums.peer, HubPort::Sender);
    drumsOutput->setNumericIdentifier(0x01020304);
    HubInterAppAudioSource source{drumsOutput, nullptr};
    // No controller peer yet: nothing is sent.
    world.notifications.post(kHubInterAppAudioSourceAudioUnitConnectedNotification, &source);
    world.deliver(world.graphWithUs(hub).bytes(), hub.peer);
    ASSERT_TRUE(hub.receiveType(BusMessageAcknowledgement));
    EXPECT_FALSE(hub.receive(50));

    const Bytes tail{3, 5, 5, 'D', '0', ':', 'D', '0', 'D', 'r', 'u', 'm', 's'};
    auto expect = [&](uint8_t status) {
        Bytes expected(9 + tail.size());
        const Bytes head{3, 3, 21, 9, status, 0x04, 0x03, 0x02, 0x01};
        std::copy(tail.begin(), tail.end(), std::copy(head.begin(), head.end(), expected.begin()));
        return expected;
    };
    int unit = 0;
    source.audioUnit = &unit;
    world.notifications.post(kHubInterAppAudioSourceAudioUnitConnectedNotification, &source);
    EXPECT_EQ(*hub.receiveType(BusMessageHostStatus), expect(0));
    world.notifications.post(kHubInterAppAudioSourceAudioUnitErrorNotification, &source,
                             BusError{kOSStatusErrorDomain, kHubInterAppAudioHostingFailedStatus, ""});
    EXPECT_EQ(*hub.receiveType(BusMessageHostStatus), expect(1));
    world.notifications.post(kHubInterAppAudioSourceAudioUnitErrorNotification, &source, BusError{"Other", 1, ""});
    EXPECT_EQ(*hub.receiveType(BusMessageHostStatus), expect(2));
    source.audioUnit = nullptr;
    world.notifications.post(kHubInterAppAudioSourceAudioUnitDisconnectedNotification, &source);
    EXPECT_EQ(*hub.receiveType(BusMessageHostStatus), expect(2));

    drums.bus->setPresent(true);
    world.notifications.post(kHubInterAppAudioSourceDidPingNotification, &source, false);
    EXPECT_FALSE(drums.bus->present());
    world.notifications.post(kHubInterAppAudioSourceDidPingNotification, &source, true);
    EXPECT_TRUE(drums.bus->present());
}

}  // namespace
}  // namespace strombel::hub::testing
