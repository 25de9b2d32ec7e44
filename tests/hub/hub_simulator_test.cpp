// Two processes on one machine: this test program's endpoint and the hub
// simulator find each other through the directory of services and talk.

#include <gtest/gtest.h>

#include <set>

#include "bus_test_support.h"
#include "hub/bus_message.h"
#include "hub/bus_peer_message_exchange.h"
#include "hub/hub_peer_resource.h"
#include "platform/main_bundle.h"

namespace strombel::hub::testing {
namespace {

using platform::kNanosPerMillisecond;
using platform::kNanosPerSecond;

struct SimulatorWorld : BusWorld {
    BusLocalEndpoint endpoint{"strombel-test", endpointOptions()};
    BusRegistry registry{"wirehub", &endpoint, discovery, registryOptions()};
    SimulatorWorld() { registry.setPublishing(true); }
};

TEST(HubSimulatorTest, AppearsWithItsMetadataAndItsTxtChangesArrive) {
    SimulatorWorld world;
    int appeared = 0;
    world.notifications.addObserver(kBusRegistryPeerDidAppearNotification, &world.registry,
                                    [&](const auto&) { ++appeared; });
    HubSimulator simulator(world.servicesFolder, world.keyFile);
    ASSERT_EQ(simulator.ready().rfind("ready ", 0), 0u) << simulator.ready();

    auto hub = world.waitForPeer(world.registry, "Wirehub");
    ASSERT_TRUE(hub);
    EXPECT_EQ(appeared, 1);
    EXPECT_EQ(hub->deviceName(), "Stage");
    EXPECT_EQ(hub->type(), BusPeerTypeLocal);
    EXPECT_EQ(hub->maxPacketSize(), 1492);
    EXPECT_EQ(hub->version(), 3);
    EXPECT_EQ(hub->uniqueID(), "0A:1B:2C:3D:4E:5F");
    EXPECT_EQ(hub->metadata().at("displayName"), "Wirehub");
    EXPECT_EQ(hub->metadataSequenceNumber(), 0u);

    // The simulator sees us too, with our metadata and a fresh sequence number.
    std::string seen = simulator.command("peer strombel-test");
    EXPECT_EQ(seen.rfind("peer " + std::to_string(world.endpoint.socketPort()) + " strombel-test (Desk)", 0), 0u) << seen;

    int changes = 0;
    hub->addObserver("metadata", [&] { ++changes; });
    EXPECT_EQ(simulator.command("txt displayName Hub Two"), "ok");
    ASSERT_TRUE(world.pumpUntil([&] { return hub->metadata()["displayName"] == "Hub Two"; }));
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(hub->metadataSequenceNumber(), 1u);
}

TEST(HubSimulatorTest, IsGoneFourSecondsAfterItsProcessEnds) {
    SimulatorWorld world;
    std::vector<std::shared_ptr<BusPeer>> gone;
    world.notifications.addObserver(kBusRegistryPeerDidDisappearNotification, &world.registry, [&](const auto& n) {
        gone.push_back(std::any_cast<std::shared_ptr<BusPeer>>(n.userInfo));
    });
    HubSimulator simulator(world.servicesFolder, world.keyFile);
    auto hub = world.waitForPeer(world.registry, "Wirehub");
    ASSERT_TRUE(hub);

    // Killed: its file stays, but a dead owner's entry counts as removed at the
    // next rescan (the one-second timer's, or, as here, one asked for now).
    simulator.kill();
    world.discovery.rescan();
    world.loop.advance(3900 * kNanosPerMillisecond);
    EXPECT_TRUE(gone.empty());
    EXPECT_TRUE(hub->present());
    world.loop.advance(200 * kNanosPerMillisecond);
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_EQ(gone[0], hub);
    EXPECT_FALSE(hub->present());
    // The peer stays known, and a new hub of that name is the same peer again.
    EXPECT_EQ(world.registry.peers().size(), 1u);
}

TEST(HubSimulatorTest, AServiceBackWithinFourSecondsNeverDisappears) {
    SimulatorWorld world;
    int gone = 0, appeared = 0;
    world.notifications.addObserver(kBusRegistryPeerDidDisappearNotification, &world.registry, [&](const auto&) { ++gone; });
    world.notifications.addObserver(kBusRegistryPeerDidAppearNotification, &world.registry, [&](const auto&) { ++appeared; });
    std::shared_ptr<BusPeer> first;
    {
        HubSimulator simulator(world.servicesFolder, world.keyFile);
        first = world.waitForPeer(world.registry, "Wirehub");
        ASSERT_TRUE(first);
    }  // quits and removes its file
    ASSERT_TRUE(world.pumpUntil([&] { return world.discovery.readFolder(world.servicesFolder).size() == 1; }));
    world.loop.advance(2 * kNanosPerSecond);
    HubSimulator again(world.servicesFolder, world.keyFile);
    ASSERT_TRUE(world.pumpUntil([&] { return appeared == 2; }));
    world.loop.advance(5 * kNanosPerSecond);
    EXPECT_EQ(gone, 0);
    EXPECT_EQ(world.waitForPeer(world.registry, "Wirehub"), first);
}

TEST(HubSimulatorTest, TwoEndpointsOfOneNameGetTheSuffixTwo) {
    SimulatorWorld world;
    BusLocalEndpoint second("strombel-test", world.endpointOptions());
    BusRegistry secondRegistry("wirehub", &second, world.discovery, world.registryOptions());
    secondRegistry.setPublishing(true);
    BusLogCapture log;
    ASSERT_TRUE(world.pumpUntil([&] { return secondRegistry.publishedName() == "strombel-test (Desk 2)"; }));
    EXPECT_EQ(secondRegistry.collisionIndex(), 2);
    auto other = world.waitForPeer(world.registry, "strombel-test");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->deviceName(), "Desk 2");
    auto first = world.waitForPeer(secondRegistry, "strombel-test");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->deviceName(), "Desk");
    EXPECT_TRUE(log.contains("Wirehub name collision: Using suffix 2"));
}

TEST(HubSimulatorTest, APingExchangeGetsTheReply) {
    SimulatorWorld world;
    HubSimulator simulator(world.servicesFolder, world.keyFile);
    auto hub = world.waitForPeer(world.registry, "Wirehub");
    ASSERT_TRUE(hub);
    auto ping = makePing(0x1122334455667788ull);
    int calls = 0;
    std::optional<std::vector<uint8_t>> answer;
    std::optional<BusError> failure;
    auto exchange = BusPeerMessageExchange::messageExchangeWithEndpoint(
        world.endpoint, hub, ping, 0.5,
        [&](const uint8_t* bytes, size_t length) {
            return length == 19 && bytes[2] == BusMessagePingReply && std::memcmp(bytes + 3, ping.data() + 3, 8) == 0;
        },
        [&](auto reply, auto error) {
            ++calls;
            answer = reply;
            failure = error;
        });
    exchange->start();
    exchange->start();  // a second start sends nothing more
    ASSERT_TRUE(world.pumpUntil([&] { return calls > 0; }));
    EXPECT_FALSE(failure);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->size(), 19u);
    world.loop.advance(kNanosPerSecond);  // the time-out no longer fires
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(world.endpoint.delegateCount(), 0u);
}

TEST(HubSimulatorTest, AnUnansweredExchangeTimesOutOnceAndACancelledOneNeverAnswers) {
    SimulatorWorld world;
    HubSimulator simulator(world.servicesFolder, world.keyFile);
    auto hub = world.waitForPeer(world.registry, "Wirehub");
    ASSERT_TRUE(hub);
    std::vector<std::string> errors;
    auto never = [](const uint8_t*, size_t) { return false; };
    auto exchange = BusPeerMessageExchange::messageExchangeWithEndpoint(
        world.endpoint, hub, makePing(1), 0.5, never, [&](auto answer, auto error) {
            EXPECT_FALSE(answer);
            errors.push_back(error ? error->domain + "/" + std::to_string(error->code) + "/" + error->description : "");
        });
    int cancelledCalls = 0;
    auto cancelled = BusPeerMessageExchange::messageExchangeWithEndpoint(
        world.endpoint, hub, makePing(2), 0.5, [](const uint8_t*, size_t) { return true; },
        [&](auto, auto) { ++cancelledCalls; });
    exchange->start();
    cancelled->start();
    cancelled->cancel();
    world.loop.advance(490 * kNanosPerMillisecond);
    EXPECT_TRUE(errors.empty());
    world.loop.advance(20 * kNanosPerMillisecond);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "BusPeerMessageExchangeErrorDomain/0/Timeout occurred");
    world.pumpUntil([] { return false; }, 0.3, 100 * kNanosPerMillisecond);
    EXPECT_EQ(errors.size(), 1u);
    EXPECT_EQ(cancelledCalls, 0);
}

TEST(HubSimulatorTest, MessagesOfOtherPeersNeverReachTheEvaluator) {
    SimulatorWorld world;
    HubSimulator hub(world.servicesFolder, world.keyFile);
    HubSimulator other(world.servicesFolder, world.keyFile, "127.0.0.2", "Elsewhere");
    // Both simulators go by the name "Wirehub": the hub is the one that is not
    // "Elsewhere", whichever of the two was found first.
    std::shared_ptr<BusPeer> hubPeer, otherPeer;
    ASSERT_TRUE(world.pumpUntil([&] {
        for (auto& peer : world.registry.peers()) {
            if (peer->name() != "Wirehub" || !peer->present()) continue;
            (peer->deviceName() == "Elsewhere" ? otherPeer : hubPeer) = peer;
        }
        return hubPeer && otherPeer;
    }));
    EXPECT_EQ(otherPeer->type(), BusPeerTypeRemote);  // 127.0.0.2 is no address of this machine

    std::mutex mutex;
    std::vector<std::vector<uint8_t>> offered;
    auto exchange = BusPeerMessageExchange::messageExchangeWithEndpoint(
        world.endpoint, hubPeer, makePing(7), 0.5,
        [&](const uint8_t* bytes, size_t length) {
            std::lock_guard lock(mutex);
            offered.emplace_back(bytes, bytes + length);
            return false;
        },
        [](auto, auto) {});
    exchange->start();
    ASSERT_EQ(hub.command("peer strombel-test").rfind("peer ", 0), 0u);
    ASSERT_EQ(other.command("peer strombel-test").rfind("peer ", 0), 0u);
    EXPECT_EQ(other.command("raw 03030aeeeeeeeeeeeeeeee0000000000000000"), "ok");
    EXPECT_EQ(hub.command("raw 0303ffaa"), "ok");
    ASSERT_TRUE(world.pumpUntil([&] {
        std::lock_guard lock(mutex);
        for (auto& bytes : offered) {
            if (bytes.size() == 4 && bytes[3] == 0xaa) return true;
        }
        return false;
    }));
    std::lock_guard lock(mutex);
    for (auto& bytes : offered) EXPECT_NE(bytes.size() > 3 ? bytes[3] : 0, 0xee);
}

TEST(HubSimulatorTest, HostileBytesAreDroppedAndPingsStillAnswered) {
    SimulatorWorld world;
    PingAnswerer answerer(world.endpoint);
    RecordingDelegate recorder(world.endpoint);
    HubPeerResourceHost host(world.endpoint, platform::MainBundle::shared());
    host.addResource(std::vector<uint8_t>(5000, 1));
    BusLogCapture log;
    HubSimulator simulator(world.servicesFolder, world.keyFile);
    auto hub = world.waitForPeer(world.registry, "Wirehub");
    ASSERT_TRUE(hub);
    ASSERT_EQ(simulator.command("peer strombel-test").rfind("peer ", 0), 0u);

    const char* hostile[] = {
        "0303020900000000000000",                  // resource request, 11 bytes: one short
        "030302020200000000",                      // resource request whose P is below 9
        "030302c8020000000000000000",              // resource request whose P runs past the end
        "03030311020000000101000000000000000000",  // resource segment, 19 bytes: one short
        "030303110200000001008813010000000000000000000000",  // segment whose data length runs past the end
        "030312100000000000000000",                          // state re-request with P past the end
        "030312070000000000",                                 // state re-request short of its segment
        "0303131000000100000001000000000000ffff",             // state packet whose n runs past the end
        "0302090000000000000000",                             // H below 3
        "03ff09",                                             // H past the end
        "0303",                                               // shorter than a header
        "03030900000000000000",                               // ping, 10 bytes: one short
        "0303100000000000000000000000000000000000000000",     // state pull with nothing signed
    };
    for (const char* bytes : hostile) EXPECT_EQ(simulator.command(std::string("raw ") + bytes), "ok") << bytes;
    EXPECT_EQ(simulator.command("rawsize 5000"), "ok");
    EXPECT_EQ(simulator.command("rawsize 0"), "ok");
    // Pings still go both ways.
    EXPECT_EQ(simulator.command("ping"), "pong");
    ASSERT_TRUE(world.pumpUntil([&] { return world.endpoint.counters().truncated.load() == 1; }));
    world.pumpUntil([] { return false; }, 0.2);

    // Every hostile message of 3 to 4096 bytes reached the delegates whole (each
    // refuses what it cannot read); the 5000-byte one was dropped, not cut, and
    // the empty one delivered nothing.
    std::set<std::string> delivered;
    for (auto& message : recorder.messages()) {
        EXPECT_LE(message.bytes.size(), 4096u);
        EXPECT_GT(message.bytes.size(), 0u);
        std::string text;
        for (uint8_t b : message.bytes) text += fmt::format("{:02x}", b);
        delivered.insert(text);
    }
    for (const char* bytes : hostile) EXPECT_EQ(delivered.count(bytes), 1u) << bytes;
    EXPECT_EQ(delivered.size(), std::size(hostile) + 1);  // and the simulator's ping
    EXPECT_EQ(recorder.count(), std::size(hostile) + 1);
    EXPECT_EQ(world.endpoint.counters().unknownSender.load(), 0u);
    // The three malformed requests were refused, not served, with one log line
    // that second; the next line a second later counts the two left out.
    auto refusals = [&] {
        std::vector<std::string> lines;
        for (auto& line : log.lines())
            if (line.find("Invalid resource request message from") != std::string::npos) lines.push_back(line);
        return lines;
    };
    EXPECT_EQ(refusals().size(), 1u);
    world.clock.advance(platform::kNanosPerSecond);
    EXPECT_EQ(simulator.command(std::string("raw ") + hostile[0]), "ok");
    ASSERT_TRUE(world.pumpUntil([&] { return refusals().size() == 2; }));
    EXPECT_NE(refusals().back().find(" (2 more since)"), std::string::npos) << refusals().back();
    EXPECT_EQ(host.runningSenders(), 0u);
}

}  // namespace
}  // namespace strombel::hub::testing
