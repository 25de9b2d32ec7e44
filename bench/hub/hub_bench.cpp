// The hub's controller against the bare pieces it is built on, side by side.
//
//   build/bench/hub/bench_hub_controller
//
// SenderPeriod / BareRingPeriod: one 256-frame period of the JACK sender port as
// its process callback runs it (ring read, volume, silence on a gap) against a
// bare copy out of the same ring; both include writing the period into the ring
// on the producer's side. The counter "period_percent" is the time taken as a
// share of the period at 48 kHz.
// ControllerPing / EndpointEchoPing: an 11-byte ping on loopback answered by the
// controller, and by a bare delegate on a plain endpoint (the bus's echo).
// SignedGraph / SignedGraphRepeat / SignatureOnly: a signed connection state of
// 32 peers and 128 edges checked, read, applied and acknowledged by the
// controller; the latest state again (its acknowledgement lost), applied again
// with the links it already has; and the signature check alone. The first less
// the third is what reading and applying the graph costs. GraphReadOnly: the
// reading alone.
// ForgedGraphFlood: a peer floods wrongly signed graphs, each one new, at
// 10,000 a second (the loop's clock moves 0.1 ms a message); the controller
// takes each as its listener does and the main loop runs what that left it.
// "main_loop_core_percent" is the main loop's share of a core at that rate
// (the goal: under 10); SignatureOnly's "core_percent_at_10k_per_s" is what a
// check of each on the main loop would cost.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

#include "hub/bus_message.h"
#include "hub/hub_controller.h"
#include "hub/hub_signature_validator.h"
#include "hub/sender_audio_ring.h"
#include "hub/hub_controller_test_support.h"
#include "platform/clock.h"

namespace {

using namespace strombel;
using hub::testing::Bytes;

constexpr uint32_t kPeriod = 256;

void writePeriod(hub::SenderAudioRing& ring, const std::vector<int32_t>& left, const std::vector<int32_t>& right) {
    ring.tapOutput(kPeriod, 48000, left.data(), right.data());
}

void reportShareOfPeriod(benchmark::State& state) {
    // Seconds per iteration over a hundredth of the period: the percentage.
    state.counters["period_percent"] = benchmark::Counter(
        kPeriod / 48000.0 / 100.0, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void SenderPeriod(benchmark::State& state) {
    hub::SenderAudioRing ring(16384);
    hub::SenderAudioReader reader(ring, 1024);
    std::vector<int32_t> left(kPeriod, 1 << 20), right(kPeriod, -(1 << 20));
    std::vector<float> outLeft(kPeriod), outRight(kPeriod);
    for (int i = 0; i < 8; ++i) writePeriod(ring, left, right);
    for (auto _ : state) {
        writePeriod(ring, left, right);
        reader.pull(outLeft.data(), outRight.data(), kPeriod, 48000, 0.5f);
        benchmark::DoNotOptimize(outLeft.data());
    }
    if (reader.gaps() != 0) state.SkipWithError("the ring ran empty");
    reportShareOfPeriod(state);
}
BENCHMARK(SenderPeriod);

void BareRingPeriod(benchmark::State& state) {
    hub::SenderAudioRing ring(16384);
    std::vector<int32_t> left(kPeriod, 1 << 20), right(kPeriod, -(1 << 20));
    std::vector<float> interleaved(kPeriod * 2), outLeft(kPeriod), outRight(kPeriod);
    for (int i = 0; i < 8; ++i) writePeriod(ring, left, right);
    for (auto _ : state) {
        writePeriod(ring, left, right);
        const size_t got = ring.readInterleaved(interleaved.data(), kPeriod);
        for (size_t i = 0; i < got; ++i) {
            outLeft[i] = interleaved[2 * i];
            outRight[i] = interleaved[2 * i + 1];
        }
        benchmark::DoNotOptimize(outLeft.data());
    }
    reportShareOfPeriod(state);
}
BENCHMARK(BareRingPeriod);

// A controller and a plain endpoint, both pinged from a third endpoint.
struct PingWorld : hub::testing::ControllerWorld {
    std::unique_ptr<hub::HubController> controller = hub::HubController::create(options());
    hub::BusLocalEndpoint echo{"bench-echo", endpointOptions()};
    hub::BusRegistry echoRegistry{"wirehub", &echo, discovery, registryOptions("Echo")};
    hub::BusLocalEndpoint client{"bench-client", endpointOptions()};
    hub::BusRegistry clientRegistry{"wirehub", &client, discovery, registryOptions("Client")};
    std::shared_ptr<hub::BusPeer> controllerPeer, echoPeer;

    PingWorld() {
        // The controller takes as peers only applications that publish the hub's metadata.
        client.setMetadata({{"version", "3"}, {"SDK version", "2.1.4"}});
        echoRegistry.setPublishing(true);
        clientRegistry.setPublishing(true);
        controllerPeer = waitForPeer(clientRegistry, "strombel");
        echoPeer = waitForPeer(clientRegistry, "bench-echo");
        // The controller answers only peers it knows.
        pumpUntil([&] {
            for (const auto& peer : controller->peers())
                if (peer->name() == "bench-client") return true;
            return false;
        });
    }
};

struct Answerer : hub::BusLocalEndpointDelegate {
    void endpoint(hub::BusLocalEndpoint&, const uint8_t* bytes, uint64_t length,
                  const std::shared_ptr<hub::BusPeer>& peer) override {
        auto reply = hub::makePingReply(bytes, size_t(length), 42);
        if (reply) hub::BusPeerSendMessage(*peer, *reply);
    }
};

struct ReplyTaker : hub::BusLocalEndpointDelegate {
    std::atomic<uint64_t> lastReply{0};
    void endpoint(hub::BusLocalEndpoint&, const uint8_t* bytes, uint64_t length,
                  const std::shared_ptr<hub::BusPeer>&) override {
        if (length == 19 && bytes[2] == hub::BusMessagePingReply) lastReply.store(hub::readU64(bytes + 3));
    }
};

void pingRoundTrips(benchmark::State& state, bool controller) {
    PingWorld world;
    auto& target = controller ? world.controllerPeer : world.echoPeer;
    const bool known = std::any_of(world.controller->peers().begin(), world.controller->peers().end(),
                                   [](const auto& peer) { return peer->name() == "bench-client"; });
    if (!world.controller || !target || !known) {
        state.SkipWithError("the endpoints did not find each other");
        return;
    }
    Answerer answerer;
    world.echo.addDelegate(&answerer);
    ReplyTaker taker;
    world.client.addDelegate(&taker);
    uint64_t sequence = 0, lost = 0;
    for (auto _ : state) {
        uint8_t ping[11] = {3, 3, hub::BusMessagePing};
        hub::writeU64(ping + 3, ++sequence);
        const uint64_t start = platform::SystemClock::shared().nowNanos();
        hub::BusPeerSendMessage(*target, ping, sizeof ping);
        while (taker.lastReply.load() != sequence) {
            if (platform::SystemClock::shared().nowNanos() - start > platform::kNanosPerSecond) {
                ++lost;
                break;
            }
        }
    }
    world.client.removeDelegate(&taker);
    world.echo.removeDelegate(&answerer);
    state.counters["lost"] = double(lost);
}

void ControllerPing(benchmark::State& state) { pingRoundTrips(state, true); }
void EndpointEchoPing(benchmark::State& state) { pingRoundTrips(state, false); }
BENCHMARK(ControllerPing)->Iterations(20000)->UseRealTime();
BENCHMARK(EndpointEchoPing)->Iterations(20000)->UseRealTime();

// 32 peers (this application among them) and 128 edges, the messages differing
// in their sequence numbers so that none is a replay.
std::vector<Bytes> graphMessages(uint32_t outputIdentifier, size_t count) {
    hub::testing::GraphMessage graph;
    graph.peers.push_back({"0A:1B:2C:3D:4E:5F", "Wirehub"});
    for (int i = 1; i < 31; ++i) graph.peers.push_back({"", "Peer " + std::to_string(i)});
    graph.peers.push_back({"", "strombel"});
    for (int i = 0; i < 127; ++i) {
        graph.edges.push_back({uint8_t(1 + i % 30), uint32_t(100 + i), uint8_t(1 + (i + 7) % 30), uint32_t(300 + i),
                               23, 1, 2, 3});
    }
    graph.edges.push_back({31, outputIdentifier, 0, 1});
    std::vector<Bytes> messages;
    for (size_t i = 0; i < count; ++i) {
        graph.sequence = uint8_t(i);
        graph.session[15] = uint8_t(i >> 8);
        messages.push_back(graph.bytes());
    }
    return messages;
}

struct GraphWorld : hub::testing::ControllerWorld {
    std::unique_ptr<hub::HubController> controller = hub::HubController::create(options());
    std::shared_ptr<hub::HubSenderPort> output = std::make_shared<hub::HubSenderPort>(
        "Strombel output", "Strombel", hub::AudioComponentDescription{}, nullptr);
    std::unique_ptr<hub::testing::SocketHub> hub;
    GraphWorld() {
        controller->addSenderPort(output);
        hub = std::make_unique<hub::testing::SocketHub>(*controller, "Wirehub");
    }
};

// `repeat`: the latest graph again, which the controller applies again over
// the same links before it acknowledges it.
void signedGraphs(benchmark::State& state, bool repeat) {
    GraphWorld world;
    const auto messages = graphMessages(world.output->numericIdentifier(), 256);
    size_t next = 0;
    for (auto _ : state) {
        const Bytes& message = messages[repeat ? 0 : next++ % messages.size()];
        world.controller->handleMessageBytes(message.data(), message.size(), world.hub->peer);
        world.loop.runPending();
        while (world.hub->receive(0)) {
        }
    }
    if (!world.controller->inHubConnectionGraph()) state.SkipWithError("the graph was not applied");
}

void SignedGraph(benchmark::State& state) { signedGraphs(state, false); }
void SignedGraphRepeat(benchmark::State& state) { signedGraphs(state, true); }
BENCHMARK(SignedGraph);
BENCHMARK(SignedGraphRepeat);

void GraphReadOnly(benchmark::State& state) {
    GraphWorld world;
    const auto messages = graphMessages(world.output->numericIdentifier(), 256);
    size_t next = 0;
    for (auto _ : state) {
        const Bytes& message = messages[next++ % messages.size()];
        benchmark::DoNotOptimize(hub::HubConnectionGraph::withDataRepresentation(message.data(), message.size(),
                                                                                 world.controller->peerRegistry()));
    }
}
BENCHMARK(GraphReadOnly);

void SignatureOnly(benchmark::State& state) {
    auto validator = hub::HubSignatureValidator::withKey(hub::testing::TestKeyPair::shared().publicKey);
    const auto messages = graphMessages(1, 256);
    size_t next = 0;
    for (auto _ : state) {
        const Bytes& message = messages[next++ % messages.size()];
        auto content = hub::splitSignedContent(message.data(), message.size());
        benchmark::DoNotOptimize(validator->validateSignature(content->signature, content->signatureLength,
                                                              content->content.data(), content->content.size()));
    }
    // Seconds per check over a millionth: the percentage at 10,000 a second.
    state.counters["core_percent_at_10k_per_s"] =
        benchmark::Counter(1e-6, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(SignatureOnly);

void ForgedGraphFlood(benchmark::State& state) {
    GraphWorld world;
    hub::testing::SocketHub flooder(*world.controller, "Drums", "127.0.0.1", "99:99:99:99:99:99");
    hub::testing::TestKeyPair wrongKey;
    hub::testing::GraphMessage graph;
    graph.peers = {{"", "Drums"}, {"", "strombel"}};
    graph.edges = {{1, world.output->numericIdentifier(), 0, 1}};
    graph.key = wrongKey.key;
    std::vector<Bytes> messages;
    for (size_t i = 0; i < 4096; ++i) {
        graph.sequence = uint8_t(i);
        graph.session[14] = uint8_t(i >> 8);
        messages.push_back(graph.bytes());
    }
    const uint64_t checksBefore = world.controller->signatureChecks();
    uint64_t mainLoopNanos = 0, count = 0;
    for (auto _ : state) {
        const Bytes& message = messages[count++ % messages.size()];
        world.controller->handleMessageBytes(message.data(), message.size(), flooder.peer);
        world.clock.advance(platform::kNanosPerSecond / 10000);
        const uint64_t start = platform::SystemClock::shared().nowNanos();
        world.loop.runPending();
        mainLoopNanos += platform::SystemClock::shared().nowNanos() - start;
    }
    if (world.controller->inHubConnectionGraph()) state.SkipWithError("a forged graph was applied");
    state.counters["main_loop_core_percent"] = double(mainLoopNanos) / double(count) * 10000 / 1e9 * 100;
    const double checks = double(world.controller->signatureChecks() - checksBefore);
    state.counters["checks_per_10k"] = checks / double(count) * 10000;
}
BENCHMARK(ForgedGraphFlood)->Iterations(100000);

}  // namespace

BENCHMARK_MAIN();
