// The message bus against bare sockets and bare OpenSSL, side by side.
//
//   build/bench/hub/bench_hub
//
// PingRoundTrip: an 11-byte ping from one endpoint to another on loopback and its
// 19-byte reply, answered by a delegate on the listener thread and taken by a
// delegate of the first endpoint, which hands it to the measuring thread. The
// peer, BareUdpRoundTrip, is two plain UDP sockets with a blocking echo thread.
// Both measuring threads wait the same way (spinning), and both report the median
// and the 99th percentile in microseconds as counters.
// ResourceOneMiB: a 1 MiB resource from a resource host to a loader over the bus;
// BareUdpBlast: the same 713 packets of 1492 bytes sent by one thread to a
// socket that another thread reads. Throughput in bytes per second.
// VerifyFormB / BareEvpVerify: a PKCS#1 v1.5 SHA-1 signature of a 1 KiB message
// checked by the hub's validator and by a bare EVP verify with the same key.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "hub/bus_local_endpoint.h"
#include "hub/bus_message.h"
#include "hub/bus_peer.h"
#include "hub/bus_registry.h"
#include "hub/hub_peer_resource.h"
#include "hub/hub_signature_validator.h"
#include "platform/clock.h"
#include "platform/directory_service_discovery.h"
#include "platform/main_bundle.h"
#include "platform/udp_socket.h"
#include "platform/user_defaults.h"
#include "support/temp_dir.h"

namespace {

using namespace strombel;

uint64_t now() { return platform::SystemClock::shared().nowNanos(); }

void reportPercentiles(benchmark::State& state, std::vector<uint64_t>& samples) {
    if (samples.empty()) return;
    std::sort(samples.begin(), samples.end());
    state.counters["median_us"] = double(samples[samples.size() / 2]) / 1000.0;
    state.counters["p99_us"] = double(samples[samples.size() * 99 / 100]) / 1000.0;
}

// Two endpoints that know each other through a directory of their own.
struct BusPair {
    strombel::testing::TempDir temp;
    platform::MainLoop loop{platform::SystemClock::shared()};
    platform::NotificationCenter notifications;
    platform::UserDefaults defaults{temp / "defaults.sqlite"};
    platform::DirectoryServiceDiscovery discovery{temp / "services", loop};
    std::unique_ptr<hub::BusLocalEndpoint> a, b;
    std::unique_ptr<hub::BusRegistry> registryA, registryB;
    std::shared_ptr<hub::BusPeer> bSeenByA, aSeenByB;

    BusPair() {
        hub::BusLocalEndpoint::Options options;
        options.loop = &loop;
        options.defaults = &defaults;
        options.notifications = &notifications;
        options.realTime = false;
        a = std::make_unique<hub::BusLocalEndpoint>("bench-a", options);
        b = std::make_unique<hub::BusLocalEndpoint>("bench-b", options);
        hub::BusRegistry::Options registryOptions;
        registryOptions.loop = &loop;
        registryOptions.notifications = &notifications;
        registryOptions.deviceName = "Bench";
        registryA = std::make_unique<hub::BusRegistry>("wirehub", a.get(), discovery, registryOptions);
        registryB = std::make_unique<hub::BusRegistry>("wirehub", b.get(), discovery, registryOptions);
        registryA->setPublishing(true);
        registryB->setPublishing(true);
        for (int i = 0; i < 5000 && !(bSeenByA && aSeenByB); ++i) {
            loop.runPending();
            for (auto& peer : registryA->peers()) bSeenByA = peer;
            for (auto& peer : registryB->peers()) aSeenByB = peer;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
};

// Answers a ping on the listener thread without allocating.
struct Answerer : hub::BusLocalEndpointDelegate {
    void endpoint(hub::BusLocalEndpoint&, const uint8_t* bytes, uint64_t length,
                  const std::shared_ptr<hub::BusPeer>& peer) override {
        if (length != 11 || bytes[2] != hub::BusMessagePing) return;
        uint8_t reply[19] = {3, 3, hub::BusMessagePingReply};
        std::memcpy(reply + 3, bytes + 3, 8);
        hub::writeU64(reply + 11, now());
        hub::BusPeerSendMessage(*peer, reply, sizeof reply);
    }
};

struct ReplyTaker : hub::BusLocalEndpointDelegate {
    std::atomic<uint64_t> lastReply{0};
    void endpoint(hub::BusLocalEndpoint&, const uint8_t* bytes, uint64_t length,
                  const std::shared_ptr<hub::BusPeer>&) override {
        if (length == 19 && bytes[2] == hub::BusMessagePingReply) lastReply.store(hub::readU64(bytes + 3));
    }
};

void PingRoundTrip(benchmark::State& state) {
    BusPair pair;
    if (!pair.bSeenByA) {
        state.SkipWithError("the endpoints did not find each other");
        return;
    }
    Answerer answerer;
    ReplyTaker taker;
    pair.b->addDelegate(&answerer);
    pair.a->addDelegate(&taker);
    std::vector<uint64_t> samples;
    uint64_t sequence = 0;
    for (auto _ : state) {
        uint8_t ping[11] = {3, 3, hub::BusMessagePing};
        hub::writeU64(ping + 3, ++sequence);
        uint64_t start = now();
        hub::BusPeerSendMessage(*pair.bSeenByA, ping, sizeof ping);
        while (taker.lastReply.load() != sequence) {
            if (now() - start > platform::kNanosPerSecond) break;  // a lost datagram
        }
        samples.push_back(now() - start);
    }
    pair.a->removeDelegate(&taker);
    pair.b->removeDelegate(&answerer);
    reportPercentiles(state, samples);
}
BENCHMARK(PingRoundTrip)->Iterations(20000)->UseRealTime();

void BareUdpRoundTrip(benchmark::State& state) {
    platform::UdpSocketPair client, server;
    auto loopback = *platform::SocketAddress::fromText("127.0.0.1", 0);
    client.open(0, &loopback);
    server.open(0, &loopback);
    int echo = ::dup(server.ipv4());
    int flags = fcntl(echo, F_GETFL);
    fcntl(echo, F_SETFL, flags & ~O_NONBLOCK);  // the echo thread blocks
    std::atomic<bool> stop{false};
    std::thread echoThread([&] {
        uint8_t buffer[4096];
        while (!stop.load()) {
            platform::SocketAddress from;
            socklen_t length = sizeof(sockaddr_storage);
            ssize_t n = recvfrom(echo, buffer, sizeof buffer, 0, from.get(), &length);
            if (n == 11) {
                uint8_t reply[19] = {3, 3, 10};
                std::memcpy(reply + 3, buffer + 3, 8);
                hub::writeU64(reply + 11, now());
                sendto(echo, reply, sizeof reply, 0, from.get(), length);
            }
        }
    });
    auto to = *platform::SocketAddress::fromText("127.0.0.1", server.port());
    std::vector<uint64_t> samples;
    uint64_t sequence = 0;
    for (auto _ : state) {
        uint8_t ping[11] = {3, 3, 9};
        hub::writeU64(ping + 3, ++sequence);
        uint64_t start = now();
        client.sendTo(to, ping, sizeof ping);
        uint8_t reply[4096];
        for (;;) {
            ssize_t n = recv(client.ipv4(), reply, sizeof reply, MSG_DONTWAIT);
            if ((n == 19 && hub::readU64(reply + 3) == sequence) || now() - start > platform::kNanosPerSecond) break;
        }
        samples.push_back(now() - start);
    }
    stop.store(true);
    uint8_t last[11] = {3, 3, 0};
    client.sendTo(to, last, 3);
    echoThread.join();
    ::close(echo);
    reportPercentiles(state, samples);
}
BENCHMARK(BareUdpRoundTrip)->Iterations(20000)->UseRealTime();

constexpr size_t kResourceLength = 1024 * 1024;

void ResourceOneMiB(benchmark::State& state) {
    BusPair pair;
    if (!pair.bSeenByA) {
        state.SkipWithError("the endpoints did not find each other");
        return;
    }
    platform::MainBundle bundle(pair.temp.path());
    hub::HubPeerResourceHost host(*pair.a, bundle);
    std::vector<uint8_t> resource(kResourceLength);
    for (size_t i = 0; i < resource.size(); ++i) resource[i] = uint8_t(i * 7);
    uint32_t id = host.addResource(resource);
    for (auto _ : state) {
        auto loader = hub::HubPeerResourceLoader::make(pair.aSeenByB, id, *pair.b);
        size_t received = 0;
        bool done = false;
        loader->setDataBlock([&](const std::vector<uint8_t>& data) { received += data.size(); });
        loader->setCompletionBlock([&](auto error) {
            if (error) state.SkipWithError(error->description.c_str());
            done = true;
        });
        loader->start();
        while (!done) {
            if (pair.loop.runPending() == 0) std::this_thread::yield();
        }
        if (received != kResourceLength) state.SkipWithError("the resource arrived short");
        // Let the host's sender finish before the next round.
        while (host.runningSenders()) pair.loop.runPending();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kResourceLength));
}
BENCHMARK(ResourceOneMiB)->Iterations(30)->UseRealTime();

void BareUdpBlast(benchmark::State& state) {
    platform::UdpSocketPair sender, receiver;
    auto loopback = *platform::SocketAddress::fromText("127.0.0.1", 0);
    sender.open(0, &loopback);
    receiver.open(0, &loopback);
    auto to = *platform::SocketAddress::fromText("127.0.0.1", receiver.port());
    const size_t chunk = 1492 - 20;
    const size_t packets = (kResourceLength + chunk - 1) / chunk;
    std::vector<uint8_t> packet(1492, 0x42);
    for (auto _ : state) {
        std::atomic<size_t> got{0};
        std::thread reader([&] {
            uint8_t buffer[4096];
            pollfd fd{receiver.ipv4(), POLLIN, 0};
            while (got.load() < packets && poll(&fd, 1, 100) > 0) {
                while (recv(receiver.ipv4(), buffer, sizeof buffer, MSG_DONTWAIT) > 0) got.fetch_add(1);
            }
        });
        for (size_t i = 0; i < packets; ++i) {
            while (sender.sendTo(to, packet.data(), packet.size()) == platform::UdpSendNoBufferSpace) {
            }
        }
        reader.join();
        if (got.load() != packets) state.counters["lost"] = double(packets - got.load());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kResourceLength));
}
BENCHMARK(BareUdpBlast)->Iterations(30)->UseRealTime();

struct Keys {
    EVP_PKEY* key = EVP_RSA_gen(768);
    std::vector<uint8_t> publicKey;
    std::vector<uint8_t> message = std::vector<uint8_t>(1024, 0x5A);
    std::vector<uint8_t> signature;
    Keys() {
        unsigned char* der = nullptr;
        int length = i2d_PublicKey(key, &der);
        publicKey.assign(der, der + length);
        OPENSSL_free(der);
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        EVP_DigestSignInit(context, nullptr, EVP_sha1(), nullptr, key);
        size_t size = size_t(EVP_PKEY_get_size(key));
        signature.resize(size);
        EVP_DigestSign(context, signature.data(), &size, message.data(), message.size());
        EVP_MD_CTX_free(context);
    }
    static Keys& shared() {
        static Keys keys;
        return keys;
    }
};

void VerifyFormB(benchmark::State& state) {
    auto& keys = Keys::shared();
    auto validator = hub::HubSignatureValidator::withKey(keys.publicKey);
    for (auto _ : state) {
        bool ok = validator->validateSignature(keys.signature.data(), keys.signature.size(), keys.message.data(),
                                               keys.message.size());
        if (!ok) state.SkipWithError("refused");
        benchmark::DoNotOptimize(ok);
    }
}
BENCHMARK(VerifyFormB);

void BareEvpVerify(benchmark::State& state) {
    auto& keys = Keys::shared();
    const unsigned char* cursor = keys.publicKey.data();
    EVP_PKEY* key = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &cursor, long(keys.publicKey.size()));
    for (auto _ : state) {
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        EVP_DigestVerifyInit(context, nullptr, EVP_sha1(), nullptr, key);
        bool ok = EVP_DigestVerify(context, keys.signature.data(), keys.signature.size(), keys.message.data(),
                                   keys.message.size()) == 1;
        EVP_MD_CTX_free(context);
        if (!ok) state.SkipWithError("refused");
        benchmark::DoNotOptimize(ok);
    }
    EVP_PKEY_free(key);
}
BENCHMARK(BareEvpVerify);

}  // namespace

BENCHMARK_MAIN();
