// The connection graph read from its record: table-driven over the record's
// edge cases, with this application's ports from a controller.

#include "hub/hub_connection_graph.h"

#include <gtest/gtest.h>

#include "hub_controller_test_support.h"

namespace strombel::hub::testing {
namespace {

struct GraphWorld : ControllerWorld {
    std::unique_ptr<HubController> controller = HubController::create(options());
    std::shared_ptr<HubSenderPort> output = std::make_shared<HubSenderPort>(
        "Strombel output", "Strombel", AudioComponentDescription{1, 2, 3, 0, 0}, nullptr);
    GraphWorld() { controller->addSenderPort(output); }
    HubRegistry& registry() { return controller->peerRegistry(); }
    std::unique_ptr<HubConnectionGraph> read(const Bytes& message) {
        return HubConnectionGraph::withDataRepresentation(message.data(), message.size(), registry());
    }
};

TEST(HubConnectionGraph, AnEmptyRecordOfTwentySevenBytesIsAnEmptyGraph) {
    GraphWorld world;
    GraphMessage message;
    message.sign = false;
    const Bytes bytes = message.bytes();
    ASSERT_EQ(bytes.size(), 27u);
    auto graph = world.read(bytes);
    ASSERT_TRUE(graph);
    EXPECT_TRUE(graph->peers().empty());
    EXPECT_TRUE(graph->nodes().empty());
    EXPECT_FALSE(world.read(Bytes(bytes.begin(), bytes.end() - 1)));
}

TEST(HubConnectionGraph, LinksThisApplicationsOutputToTheHubBothWays) {
    GraphWorld world;
    GraphMessage message;
    message.sign = false;
    message.peers = {{"AA:BB", "Wirehub"}, {"", "strombel"}};
    message.edges = {{1, world.output->numericIdentifier(), 0, 40}};
    auto graph = world.read(message.bytes());
    ASSERT_TRUE(graph);
    EXPECT_TRUE(graph->containsPeer(world.controller->selfPeer().get()));
    auto* node = graph->nodeForPort(world.output.get());
    ASSERT_TRUE(node);
    ASSERT_EQ(node->destinations().size(), 1u);
    auto* hubNode = node->destinations()[0];
    ASSERT_EQ(hubNode->sources().size(), 1u);
    EXPECT_EQ(hubNode->sources()[0], node);
    EXPECT_EQ(hubNode->port()->numericIdentifier(), 40u);
    EXPECT_EQ(hubNode->port()->type(), HubPort::Receiver);
    EXPECT_TRUE(hubNode->port()->isStandin());
    // The hub became a placeholder peer with its identifier; the next record finds it.
    auto hub = world.registry().peerWithName("Wirehub", std::nullopt);
    ASSERT_TRUE(hub);
    EXPECT_EQ(hub->type(), HubPeer::Placeholder);
    EXPECT_EQ(hub->uniqueID(), "AA:BB");
    EXPECT_EQ(hub->receiverPorts().size(), 1u);
    auto again = world.read(message.bytes());
    EXPECT_EQ(world.registry().peers().size(), 1u);
    EXPECT_EQ(hub->receiverPorts().size(), 1u) << "the placeholder port is found again, not made twice";
    EXPECT_TRUE(graph->isEqual(*graph));
    GraphMessage empty;
    empty.sign = false;
    EXPECT_FALSE(graph->isEqual(*world.read(empty.bytes())));
}

TEST(HubConnectionGraph, EdgeSidesDescriptionsAndFilters) {
    struct Case {
        const char* what;
        GraphMessage::Edge edge;
        size_t nodes;
        uint32_t sourceType;  // of port 5 of "Drums", when there is one
        int32_t portType;
    };
    const Case cases[] = {
        {"absent source", {0, 0, 0, 9}, 1, 0, HubPort::Receiver},
        {"11 bytes: no description", {0, 5, 0, 9, 11, 7, 8, 9}, 2, 0, HubPort::Sender},
        {"23 bytes, type 0: none", {0, 5, 0, 9, 23, 7, 0, 9}, 2, 0, HubPort::Sender},
        {"23 bytes with a type", {0, 5, 0, 9, 23, 7, 8, 9}, 2, 8, HubPort::Sender},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        GraphWorld world;
        GraphMessage message;
        message.sign = false;
        message.peers = {{"", "Drums"}};
        message.edges = {test.edge};
        auto graph = world.read(message.bytes());
        ASSERT_TRUE(graph);
        EXPECT_EQ(graph->nodes().size(), test.nodes);
        auto drums = world.registry().peerWithName("Drums", std::nullopt);
        ASSERT_TRUE(drums);
        if (auto source = drums->portWithNumericIdentifier(5)) {
            EXPECT_EQ(source->audioComponentDescription().componentType, test.sourceType);
            EXPECT_EQ(source->type(), test.portType);
            if (test.sourceType) {
                EXPECT_EQ(source->audioComponentDescription().componentManufacturer, 7u);
            }
        }
    }
}

TEST(HubConnectionGraph, AReceiverThatIsASourceOrASenderThatIsADestinationIsAFilterOursToo) {
    GraphWorld world;
    GraphMessage message;
    message.sign = false;
    message.peers = {{"", "Drums"}, {"", "strombel"}};
    // Drums' ports 40 and 41 are first destinations (receivers), then sources: filters.
    message.edges = {{1, world.output->numericIdentifier(), 0, 40}, {0, 40, 0, 41},
                     {0, 41, 1, world.output->numericIdentifier()}};
    auto graph = world.read(message.bytes());
    ASSERT_TRUE(graph);
    auto drums = world.registry().peerWithName("Drums", std::nullopt);
    auto port = drums->portWithNumericIdentifier(40);
    EXPECT_EQ(port->type(), HubPort::Filter);
    EXPECT_EQ(drums->filterPorts().size(), 2u);
    EXPECT_TRUE(drums->receiverPorts().empty());
    EXPECT_EQ(world.output->type(), HubPort::Filter) << "named as a destination, our sender is a filter";
    EXPECT_EQ(world.controller->senderPorts().size(), 1u) << "in the list the application put it in";

    // The links form a cycle: walks end, and visit each node once.
    auto* node = graph->nodeForPort(world.output.get());
    int visited = 0;
    node->iterateDownstreamNodesWithBlock([&](HubConnectionGraphNode&) { ++visited; });
    EXPECT_EQ(visited, 2) << "ports 40 and 41; the walk does not come back to its start";
    EXPECT_TRUE(node->hasPeerUpstream(*drums));
    EXPECT_TRUE(node->downstreamChainIsEqual(node));
    EXPECT_FALSE(node->upstreamChainIsEqual(nullptr));
}

// A graph made by hand: nodes linked both ways, found by their ports, equal
// to the graph a record of the same links gives.
TEST(HubConnectionGraph, AGraphMadeOfNodesIsTheGraphOfItsRecord) {
    GraphWorld world;
    GraphMessage message;
    message.sign = false;
    message.peers = {{"", "Drums"}, {"", "strombel"}};
    message.edges = {{1, world.output->numericIdentifier(), 0, 40}, {0, 40, 0, 41}};
    auto read = world.read(message.bytes());
    ASSERT_TRUE(read);
    auto drums = world.registry().peerWithName("Drums", std::nullopt);
    auto in = drums->portWithNumericIdentifier(40), out = drums->portWithNumericIdentifier(41);

    auto output = std::make_unique<HubConnectionGraphNode>(world.output);
    auto through = std::make_unique<HubConnectionGraphNode>(in);
    auto last = std::make_unique<HubConnectionGraphNode>(out);
    output->setDestinations({through.get()});
    through->setSources({output.get()});
    through->setDestinations({last.get()});
    last->setSources({through.get()});
    EXPECT_EQ(through->peer(), drums.get()) << "a node's peer is its port's";
    std::vector<std::unique_ptr<HubConnectionGraphNode>> nodes;
    nodes.push_back(std::move(output));
    nodes.push_back(std::move(through));
    HubConnectionGraph made(std::move(nodes), {drums, world.controller->selfPeer()}, {world.output, in});
    EXPECT_FALSE(made.isEqual(*read)) << "one node short";
    made.addNode(std::move(last));
    EXPECT_TRUE(made.isEqual(*read));
    EXPECT_TRUE(read->isEqual(made));
    EXPECT_EQ(made.ports(), read->ports());
    EXPECT_EQ(made.ports(), (std::vector<std::shared_ptr<HubPort>>{world.output, in, out}));
    int downstream = 0;
    made.nodeForPort(world.output.get())->iterateDownstreamNodesWithBlock([&](HubConnectionGraphNode&) { ++downstream; });
    EXPECT_EQ(downstream, 2);

    // A node added for a port already there takes its place.
    made.addNode(std::make_unique<HubConnectionGraphNode>(in));
    EXPECT_EQ(made.nodes().size(), 3u);
    EXPECT_TRUE(made.nodeForPort(in.get())->sources().empty());
    EXPECT_FALSE(made.isEqual(*read));
    // A port of a peer the graph did not have brings the peer.
    auto keys = HubPeer::localStandInPeerWithName("Keys", {}, {}, platform::SystemClock::shared());
    made.addNode(std::make_unique<HubConnectionGraphNode>(HubPort::standinPortWithPeer(keys, HubPort::Sender)));
    EXPECT_TRUE(made.containsPeer(keys.get()));
}

TEST(HubConnectionGraph, MalformedTablesAreRefusedBeforeAnythingIsMade) {
    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        const char* line;
    };
    // A record with one peer entry at 123 and one edge entry at 123 + 3 + 5.
    const Case cases[] = {
        {"peer entry of R + a + b = 0", [](Bytes& b) { b[123] = 0, b[124] = 0, b[125] = 0; }, "Invalid graph data representation"},
        {"peer entry with R below 3", [](Bytes& b) { b[123] = 2; }, "Invalid graph data representation"},
        {"peer entry past its table", [](Bytes& b) { b[125] = 6; }, "Invalid graph data representation"},
        {"edge entry below 11", [](Bytes& b) { b[131] = 10; }, "Invalid graph data representation"},
        {"edge entry past its table", [](Bytes& b) { b[131] = 12; }, "Invalid graph data representation"},
        {"destination peer index at the peer count", [](Bytes& b) { b[131 + 6] = 1; },
         "Invalid peer index in graph data representation"},
        {"source peer index at the peer count", [](Bytes& b) { b[131 + 1] = 1; },
         "Invalid peer index in graph data representation"},
        {"P below 24", [](Bytes& b) { b[3] = 23; }, "Invalid graph data representation"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        GraphWorld world;
        BusLogCapture log;
        GraphMessage message;
        message.peers = {{"", "Drums"}};
        message.edges = {{0, 5, 0, 9}};
        Bytes bytes = message.bytes();
        ASSERT_EQ(bytes.size(), 27u + 96u + 8u + 11u);
        test.damage(bytes);
        EXPECT_FALSE(world.read(bytes));
        EXPECT_TRUE(log.contains(test.line));
        EXPECT_TRUE(world.registry().peers().empty()) << "no placeholder peer was made";
    }
    // A record without peers whose one edge has both sides absent: its indexes
    // are past the (empty) table all the same.
    GraphWorld world;
    BusLogCapture log;
    GraphMessage nobody;
    nobody.sign = false;
    nobody.edges = {{0, 0, 0, 0}};
    EXPECT_FALSE(world.read(nobody.bytes()));
    EXPECT_TRUE(log.contains("Invalid peer index in graph data representation"));
}

}  // namespace
}  // namespace strombel::hub::testing
