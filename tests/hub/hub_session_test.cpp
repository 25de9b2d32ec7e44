// The program's place in the hub's session over time: a membership that only
// a JACK connection holds up ends, and the peers of the graph that leave and
// come back are still the ones the program talks to.

#include <gtest/gtest.h>

#include "hub/hub_controller.h"
#include "hub_controller_test_support.h"

namespace strombel::hub::testing {
namespace {

struct SessionWorld : ControllerWorld {
    std::unique_ptr<HubController> controller = HubController::create(options());
    std::shared_ptr<HubSenderPort> port = std::make_shared<HubSenderPort>(
        "Strombel output", "Strombel", AudioComponentDescription{1, 2, 3, 0, 0}, nullptr);
    SocketHub hub{*controller, "Wirehub"};
    uint8_t sequence = 0;

    SessionWorld() { controller->addSenderPort(port); }
    /// A signed graph from the hub, applied; `peers` follow the hub in its table.
    void applyGraph(std::vector<GraphMessage::Peer> peers, std::vector<GraphMessage::Edge> edges = {}) {
        GraphMessage graph;
        graph.sequence = ++sequence;
        graph.peers = {{hub.bus->uniqueID(), "Wirehub"}};
        graph.peers.insert(graph.peers.end(), peers.begin(), peers.end());
        graph.edges = std::move(edges);
        const Bytes bytes = graph.bytes();
        controller->handleMessageBytes(bytes.data(), bytes.size(), hub.peer);
        loop.runPending();
        ASSERT_EQ(*hub.receiveType(BusMessageAcknowledgement), (Bytes{3, 3, 8, sequence, 0}));
        loop.runPending();
    }
    void jack(bool connected) {
        port->setInterAppAudioConnected(connected);
        loop.runPending();
    }
};

// A member of the hub's session that is connected by JACK alone, not through
// the hub's graph, stops being one a second later: the hub no longer counts on
// it, and another hub may take it.
TEST(HubSession, AMembershipHeldUpByJackAloneEndsASecondLater) {
    const struct {
        const char* what;
        void (*meanwhile)(SessionWorld&);  // half a second after the JACK connection
        bool ends;
    } cases[] = {
        {"JACK alone", [](SessionWorld&) {}, true},
        {"the JACK connection goes", [](SessionWorld& world) { world.jack(false); }, false},
        {"the hub's graph takes the program",
         [](SessionWorld& world) {
             world.applyGraph({{"", "strombel"}}, {{1, world.port->numericIdentifier(), 0, 77}});
         },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SessionWorld world;
        world.applyGraph({});  // the hub leads a session without the program yet
        ASSERT_TRUE(world.controller->memberOfActiveHubSession());
        world.jack(true);
        world.loop.advance(500 * platform::kNanosPerMillisecond);
        c.meanwhile(world);
        world.loop.advance(499 * platform::kNanosPerMillisecond);
        EXPECT_TRUE(world.controller->memberOfActiveHubSession()) << "not before the second is out";
        EXPECT_EQ(world.controller->controllerPeer(), world.hub.peer);
        world.loop.advance(platform::kNanosPerMillisecond);
        EXPECT_EQ(world.controller->memberOfActiveHubSession(), !c.ends);
        EXPECT_EQ(world.controller->controllerPeer(), c.ends ? nullptr : world.hub.peer);
    }
}

// A peer of the graph that goes away and comes back is made anew from its
// metadata; the program's port attributes reach it, not the peer that went.
TEST(HubSession, APeerOfTheGraphThatComesBackHearsThePortAttributes) {
    SessionWorld world;
    auto drums = std::make_unique<SocketHub>(*world.controller, "Drums", "127.0.0.1", "D0:D0");
    const HubPort input(HubPort::Receiver, "Drums in", "In");  // published once Drums is back
    world.applyGraph({{"", "strombel"}, {"D0:D0", "Drums"}},
                     {{1, world.port->numericIdentifier(), 2, input.numericIdentifier()}});
    const std::shared_ptr<HubPeer> gone = drums->peer;
    ASSERT_EQ(world.controller->connectedPeers(), (std::vector<std::shared_ptr<HubPeer>>{world.hub.peer, gone}));

    world.notifications.post(kBusRegistryPeerDidDisappearNotification, &world.controller->registry(), drums->bus);
    drums.reset();  // its bus peer with it
    const std::vector<uint8_t> attributes{3, 3, 14, 6, 1, 2, 3, 4, 1};
    EXPECT_EQ(HubPeerSendMessage(*gone, attributes.data(), attributes.size()), BusSendErrorPeerUnavailable)
        << "nothing is sent, and that is not success";

    int told = 0;
    world.notifications.addObserver(kHubConnectionsChangedNotification, world.controller.get(),
                                    [&told](const auto&) { ++told; });
    SocketHub back(*world.controller, "Drums", "127.0.0.1", "D0:D0", false);
    platform::TxtRecord metadata = back.bus->metadata();
    const auto record = input.dataRepresentationWithResourceHost(nullptr);
    metadata["inputs[0]"] = std::string(record.begin(), record.end());
    back.bus->netServiceDidUpdateTXTRecordData(metadata);
    world.notifications.post(kBusRegistryPeerDidAppearNotification, &world.controller->registry(), back.bus);
    const auto returned = hubPeerOf(*back.bus);
    ASSERT_TRUE(returned);
    ASSERT_NE(returned, gone);
    EXPECT_EQ(world.controller->connectedPeers(), (std::vector<std::shared_ptr<HubPeer>>{world.hub.peer, returned}));
    const auto returnedInput = returned->portWithNumericIdentifier(input.numericIdentifier());
    ASSERT_TRUE(returnedInput);
    EXPECT_EQ(world.controller->connectedPorts(), (HubPortList{returnedInput})) << "its port in place of the old one's";
    world.loop.runPending();
    EXPECT_EQ(told, 1) << "the connection panel hears of it";

    world.port->setAttributes(1);
    Bytes expected{3, 3, 14, 6, 0, 0, 0, 0, 1};
    writeU32(expected.data() + 4, world.port->numericIdentifier());
    for (int copy = 0; copy < 2; ++copy) {
        auto message = back.receiveType(BusMessagePortAttributes);
        ASSERT_TRUE(message) << "copy " << copy;
        EXPECT_EQ(*message, expected);
    }
}

}  // namespace
}  // namespace strombel::hub::testing
