// Two endpoints of this process on loopback, found through the directory.

#include <gtest/gtest.h>

#include <sched.h>

#include <filesystem>
#include <set>
#include <thread>

#include "bus_test_support.h"
#include "hub/bus_message.h"
#include "platform/device_info.h"
#include "platform/devices/midi_send_scheduler.h"
#include "platform/message_port.h"
#include "platform/platform_version.h"
#include "platform/thread_priority.h"
#include "platform/udp_socket.h"

namespace strombel::hub::testing {
namespace {

struct TwoEndpoints : BusWorld {
    BusLocalEndpoint alpha{"alpha", endpointOptions()};
    BusLocalEndpoint beta{"beta", endpointOptions()};
    BusRegistry alphaRegistry{"wirehub", &alpha, discovery, registryOptions("Desk")};
    BusRegistry betaRegistry{"wirehub", &beta, discovery, registryOptions("Desk")};
    std::shared_ptr<BusPeer> betaSeenByAlpha, alphaSeenByBeta;

    void connect() {
        alphaRegistry.setPublishing(true);
        betaRegistry.setPublishing(true);
        betaSeenByAlpha = waitForPeer(alphaRegistry, "beta");
        alphaSeenByBeta = waitForPeer(betaRegistry, "alpha");
    }
};

TEST(BusEndpointTest, MessagesArriveFromTheSamePeerObjectEveryTime) {
    TwoEndpoints world;
    world.connect();
    ASSERT_TRUE(world.betaSeenByAlpha);
    ASSERT_TRUE(world.alphaSeenByBeta);
    EXPECT_EQ(world.betaSeenByAlpha->type(), BusPeerTypeLocal);
    RecordingDelegate recorder(world.beta);
    for (uint8_t i = 0; i < 3; ++i) {
        std::vector<uint8_t> message{3, 3, 99, i};
        EXPECT_EQ(BusPeerSendMessage(*world.betaSeenByAlpha, message), BusSendOk);
    }
    ASSERT_TRUE(world.pumpUntil([&] { return recorder.count() == 3; }));
    for (auto& message : recorder.messages()) EXPECT_EQ(message.peer, world.alphaSeenByBeta);
}

TEST(BusEndpointTest, MessagesToOneselfArriveInOrderFromTheSelfPeer) {
    BusWorld world;
    BusLocalEndpoint endpoint("solo", world.endpointOptions());
    RecordingDelegate recorder(endpoint);
    auto self = endpoint.selfPeer();
    EXPECT_EQ(self->type(), BusPeerTypeSelf);
    EXPECT_EQ(self->maxPacketSize(), 16384);
    for (uint8_t i = 0; i < 50; ++i) {
        std::vector<uint8_t> message{3, 3, 99, i};
        EXPECT_EQ(BusPeerSendMessage(*self, message), BusSendOk);
    }
    ASSERT_TRUE(world.pumpUntil([&] { return recorder.count() == 50; }));
    auto messages = recorder.messages();
    for (uint8_t i = 0; i < 50; ++i) {
        EXPECT_EQ(messages[i].bytes[3], i);
        EXPECT_EQ(messages[i].peer, self);
    }
}

// Removes itself during its first delivery.
class LeavingDelegate : public BusLocalEndpointDelegate {
public:
    explicit LeavingDelegate(BusLocalEndpoint& endpoint) : endpoint_(endpoint) { endpoint_.addDelegate(this); }
    ~LeavingDelegate() override { endpoint_.removeDelegate(this); }
    void endpoint(BusLocalEndpoint& endpoint, const uint8_t*, uint64_t, const std::shared_ptr<BusPeer>&) override {
        endpoint.removeDelegate(this);
        calls.fetch_add(1);
    }
    std::atomic<int> calls{0};

private:
    BusLocalEndpoint& endpoint_;
};

TEST(BusEndpointTest, DelegatesAreAddedOnceAndMayLeaveDuringADelivery) {
    BusWorld world;
    BusLocalEndpoint endpoint("solo", world.endpointOptions());
    RecordingDelegate recorder(endpoint);
    endpoint.addDelegate(&recorder);
    EXPECT_EQ(endpoint.delegateCount(), 1u);
    LeavingDelegate leaving(endpoint);
    std::vector<uint8_t> message{3, 3, 99};
    BusPeerSendMessage(*endpoint.selfPeer(), message);
    BusPeerSendMessage(*endpoint.selfPeer(), message);
    ASSERT_TRUE(world.pumpUntil([&] { return recorder.count() == 2; }));
    EXPECT_EQ(leaving.calls.load(), 1);
    endpoint.removeDelegate(&recorder);
    EXPECT_EQ(endpoint.delegateCount(), 0u);
}

TEST(BusEndpointTest, UnknownSendersAreDroppedSilently) {
    BusWorld world;
    BusLogCapture log;
    BusLocalEndpoint endpoint("solo", world.endpointOptions());
    BusRegistry registry("wirehub", &endpoint, world.discovery, world.registryOptions());
    RecordingDelegate recorder(endpoint);
    platform::UdpSocketPair stranger;
    ASSERT_TRUE(stranger.open(0).ok);
    auto to = *platform::SocketAddress::fromText("127.0.0.1", uint16_t(endpoint.socketPort()));
    uint8_t message[] = {3, 3, 9, 0, 0, 0, 0, 0, 0, 0, 0};
    size_t linesBefore = log.lines().size();
    EXPECT_EQ(stranger.sendTo(to, message, sizeof message), 0);
    ASSERT_TRUE(world.pumpUntil([&] { return endpoint.counters().unknownSender.load() == 1; }));
    EXPECT_EQ(recorder.count(), 0u);
    EXPECT_EQ(log.lines().size(), linesBefore);
}

TEST(BusEndpointTest, BrokenSocketsAreMadeAnewOnTheSamePort) {
    TwoEndpoints world;
    world.connect();
    ASSERT_TRUE(world.betaSeenByAlpha);
    int32_t port = world.beta.socketPort();
    BusLogCapture log;
    world.beta.breakSocketsForTesting();
    ASSERT_TRUE(world.pumpUntil([&] { return world.beta.counters().socketRecreations.load() == 1; }));
    EXPECT_EQ(world.beta.socketPort(), port);
    EXPECT_TRUE(log.contains("Network receive socket gone - recreating"));
    RecordingDelegate recorder(world.beta);
    std::vector<uint8_t> message{3, 3, 99};
    ASSERT_TRUE(world.pumpUntil([&] {
        BusPeerSendMessage(*world.betaSeenByAlpha, message);
        return recorder.count() > 0;
    }, 5));
    EXPECT_EQ(world.beta.counters().socketRecreations.load(), 1u);
}

size_t linesStartingWith(const BusLogCapture& log, const std::string& start) {
    size_t count = 0;
    for (const auto& line : log.lines()) count += line.rfind(start, 0) == 0;
    return count;
}

TEST(BusEndpointTest, SocketsThatCannotBeMadeAreTriedOnceASecondAndTheFailureLoggedOnce) {
    BusWorld world;
    BusLogCapture log;
    auto options = world.endpointOptions();
    options.bindAddress = platform::SocketAddress::fromText("192.0.2.1", 0);  // on no interface here
    BusLocalEndpoint endpoint("solo", options);
    ASSERT_FALSE(endpoint.hasSockets());
    RecordingDelegate recorder(endpoint);
    std::vector<uint8_t> message{3, 3, 99};
    for (int i = 0; i < 200; ++i) BusPeerSendMessage(*endpoint.selfPeer(), message);
    ASSERT_TRUE(world.pumpUntil([&] { return recorder.count() == 200; }));
    EXPECT_EQ(endpoint.counters().socketRecreations.load(), 0u) << "not within the first second";

    world.clock.advance(platform::kNanosPerSecond);
    BusPeerSendMessage(*endpoint.selfPeer(), message);
    ASSERT_TRUE(world.pumpUntil([&] { return endpoint.counters().socketRecreations.load() == 1; }, 5));
    world.clock.advance(platform::kNanosPerSecond / 2);
    for (int i = 0; i < 50; ++i) BusPeerSendMessage(*endpoint.selfPeer(), message);
    ASSERT_TRUE(world.pumpUntil([&] { return recorder.count() == 251; }));
    EXPECT_EQ(endpoint.counters().socketRecreations.load(), 1u);
    EXPECT_EQ(linesStartingWith(log, "Couldn't set up IPv4 listen socket"), 1u) << "the same failure again";
    EXPECT_EQ(linesStartingWith(log, "Network receive socket gone"), 0u) << "nothing was read";
}

TEST(BusEndpointTest, WithoutAnEventFdTheListenerWakesThroughAPipeAndWithoutEitherTheBusIsOff) {
    using WakeFailure = BusLocalEndpoint::Options::WakeFailure;
    BusWorld world;
    BusLogCapture log;
    {
        auto options = world.endpointOptions();
        options.failWakeForTesting = WakeFailure::EventFd;
        BusLocalEndpoint endpoint("solo", options);
        EXPECT_TRUE(endpoint.listening());
        RecordingDelegate recorder(endpoint);
        for (uint8_t i = 0; i < 100; ++i) BusPeerSendMessage(*endpoint.selfPeer(), std::vector<uint8_t>{3, 3, 99, i});
        ASSERT_TRUE(world.pumpUntil([&] { return recorder.count() == 100; }));
        for (uint8_t i = 0; i < 100; ++i) EXPECT_EQ(recorder.messages()[i].bytes[3], i);
    }  // and the listener stops
    EXPECT_FALSE(log.contains("wake-up channel"));

    auto options = world.endpointOptions();
    options.failWakeForTesting = WakeFailure::EventFdAndPipe;
    BusLocalEndpoint endpoint("solo", options);
    EXPECT_FALSE(endpoint.listening());
    EXPECT_FALSE(endpoint.hasSockets());
    EXPECT_EQ(BusPeerSendMessage(*endpoint.selfPeer(), std::vector<uint8_t>{3, 3, 99}), BusSendErrorFailed);
    EXPECT_EQ(linesStartingWith(log, "Couldn't create the listener's wake-up channel"), 1u);
}

TEST(BusEndpointTest, AListenerRefusedRealTimeSaysSoOnStandardOutput) {
    std::string probe;
    std::thread([&] { probe = platform::RealTimeThread(platform::RealTimeRole::BusListener).error(); }).join();
    if (probe.empty()) GTEST_SKIP() << "this machine grants real-time scheduling";
    BusWorld world;
    BusLogCapture log;
    auto options = world.endpointOptions();
    options.realTime = true;
    ::testing::internal::CaptureStdout();
    {
        BusLocalEndpoint endpoint("solo", options);
        RecordingDelegate recorder(endpoint);
        BusPeerSendMessage(*endpoint.selfPeer(), std::vector<uint8_t>{3, 3, 99});
        ASSERT_TRUE(world.pumpUntil([&] { return recorder.count() == 1; }));
    }
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Failed to change priority.\n");
    EXPECT_FALSE(log.contains("priority"));
}

// The scheduling of thread `tid` of this process: its first-in-first-out
// priority, or 0 for an ordinary thread.
int realTimePriorityOf(pid_t tid) {
    if (sched_getscheduler(tid) != SCHED_FIFO) return 0;
    sched_param parameters{};
    sched_getparam(tid, &parameters);
    return parameters.sched_priority;
}

std::set<pid_t> threadsOfThisProcess() {
    std::set<pid_t> threads;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        threads.insert(pid_t(std::stoi(task.path().filename())));
    return threads;
}

// The audio thread runs at the sound server's priority; under it the sequencer,
// under that MIDI, under all three the bus listener, however the server is set
// up, and as soon as it says how.
TEST(BusEndpointTest, TheListenerAndMidiRunUnderTheAudioThreadWhateverItsPriority) {
    for (int audio : {5, 10, 70, 99}) {
        const int sequencer = platform::realTimePriority(platform::RealTimeRole::Sequencer, audio);
        const int midi = platform::realTimePriority(platform::RealTimeRole::Midi, audio);
        const int listener = platform::realTimePriority(platform::RealTimeRole::BusListener, audio);
        EXPECT_TRUE(audio > sequencer && sequencer > midi && midi > listener && listener > 0) << audio;
    }
    EXPECT_EQ(platform::realTimePriority(platform::RealTimeRole::BusListener, 2), 0) << "no room left: not real-time";
    std::string refused;
    std::thread([&] { refused = platform::RealTimeThread(platform::RealTimeRole::BusListener).error(); }).join();
    if (!refused.empty()) GTEST_SKIP() << "this machine grants no real-time scheduling: " << refused;

    BusWorld world;
    auto options = world.endpointOptions();
    options.realTime = true;
    const auto before = threadsOfThisProcess();
    platform::MidiSendScheduler midiSends(platform::SystemClock::shared(), [](auto, auto, auto) {}, true);
    const auto withMidi = threadsOfThisProcess();
    BusLocalEndpoint endpoint("prioritised", options);
    pid_t midiThread = 0, listenerThread = 0;
    for (pid_t tid : threadsOfThisProcess()) {
        if (!before.count(tid) && withMidi.count(tid)) midiThread = tid;
        if (!withMidi.count(tid)) listenerThread = tid;
    }
    ASSERT_TRUE(midiThread && listenerThread);
    const struct {
        int audio, midi, listener;
    } steps[] = {{platform::kAssumedAudioThreadPriority, 3, 2}, {70, 68, 67}, {3, 1, 0}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.audio);
        platform::setAudioThreadPriority(step.audio);
        // The threads raise themselves as they start; wait for it, not for a time.
        for (int i = 0; i < 2000 && (realTimePriorityOf(midiThread) != step.midi ||
                                     realTimePriorityOf(listenerThread) != step.listener);
             ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(realTimePriorityOf(midiThread), step.midi);
        EXPECT_EQ(realTimePriorityOf(listenerThread), step.listener);
    }
    platform::setAudioThreadPriority(platform::kAssumedAudioThreadPriority);
}

// Discovery through this machine's folder needs no socket on the network.
TEST(BusEndpointTest, TheSocketsListenOnLoopbackUnlessNetworkDiscoveryIsOn) {
    for (bool network : {false, true}) {
        SCOPED_TRACE(network ? "network discovery" : "this machine");
        BusWorld world;
        auto options = world.endpointOptions();
        options.networkDiscovery = network;
        BusLocalEndpoint endpoint("solo", options);
        BusRegistry registry("wirehub", &endpoint, world.discovery, world.registryOptions());
        platform::UdpSocketPair stranger;
        ASSERT_TRUE(stranger.open(0).ok);
        uint8_t message[] = {3, 3, 9, 0, 0, 0, 0, 0, 0, 0, 0};
        // 127.0.0.2 is this machine too, but not the loopback address itself.
        auto other = *platform::SocketAddress::fromText("127.0.0.2", uint16_t(endpoint.socketPort()));
        stranger.sendTo(other, message, sizeof message);
        auto own = *platform::SocketAddress::fromText("127.0.0.1", uint16_t(endpoint.socketPort()));
        stranger.sendTo(own, message, sizeof message);
        const uint64_t expected = network ? 2 : 1;
        ASSERT_TRUE(world.pumpUntil([&] { return endpoint.counters().unknownSender.load() >= expected; }, 5));
        world.pumpUntil([] { return false; }, 0.1);
        EXPECT_EQ(endpoint.counters().unknownSender.load(), expected);
    }
}

TEST(BusEndpointTest, TheIdentifierIsKeptInTheUserDefaults) {
    BusWorld world;
    std::string first;
    {
        BusLocalEndpoint endpoint("solo", world.endpointOptions());
        first = endpoint.uniqueID();
    }
    EXPECT_EQ(first.size(), 36u);
    EXPECT_EQ(world.defaults.stringForKey(kBusLocalEndpointIDKey), first);
    BusLocalEndpoint again("solo", world.endpointOptions());
    EXPECT_EQ(again.uniqueID(), first);
    BusLocalEndpoint hub("Wirehub", world.endpointOptions());
    EXPECT_EQ(hub.uniqueID(), platform::DeviceInfo::primaryHardwareAddress().value_or(""));
}

TEST(BusEndpointTest, APeerWithoutAnAddressOfItsFamiliesHasNoAddress) {
    BusWorld world;
    BusLocalEndpoint endpoint("solo", world.endpointOptions());
    platform::ServiceRecord record;
    record.name = "ghost (Desk)";
    record.port = 4000;
    record.txt = {{"BusVersion", "3"}};
    auto peer = BusPeer::withService(record, &endpoint);
    ASSERT_TRUE(peer);
    std::vector<uint8_t> message{3, 3, 99};
    EXPECT_EQ(BusPeerSendMessage(*peer, message), BusSendErrorNoAddress);
}

// The older transport: local message ports, which exist at platform version 7.
class MessagePortTest : public ::testing::Test {
protected:
    void SetUp() override { platform::PlatformVersion::setCurrent(7.0); }
    void TearDown() override { platform::PlatformVersion::setCurrent(8.0); }

    /// Ports are named in one space for the whole machine: the cases of this
    /// suite run beside each other under ctest -j, and beside another build's, so
    /// each process names its own or one case's endpoint finds the name taken.
    static std::string portName(const std::string& base) { return base + std::to_string(getpid()); }
};

TEST_F(MessagePortTest, FramesNameTheSenderAndBadFramesAreDropped) {
    BusWorld world;
    const std::string senderName = portName("porta");
    const std::string receiverName = portName("portb");
    BusLocalEndpoint sender(senderName, world.endpointOptions());
    BusLocalEndpoint receiver(receiverName, world.endpointOptions());
    ASSERT_TRUE(sender.hasMessagePort());
    ASSERT_TRUE(receiver.hasMessagePort());
    BusRegistry senderRegistry("wirehub", &sender, world.discovery, world.registryOptions());
    BusRegistry receiverRegistry("wirehub", &receiver, world.discovery, world.registryOptions());
    senderRegistry.setPublishing(true);
    auto senderAsSeen = world.waitForPeer(receiverRegistry, senderName);
    ASSERT_TRUE(senderAsSeen);

    // A peer of the older protocol (no "BusVersion") on this machine gets a port.
    platform::ServiceRecord record;
    record.name = receiverName + " (Desk)";
    record.port = uint16_t(receiver.socketPort());
    record.addresses.push_back(*platform::SocketAddress::fromText("127.0.0.1", record.port));
    auto portPeer = BusPeer::withService(record, &sender);
    ASSERT_TRUE(portPeer);
    EXPECT_EQ(portPeer->version(), 1);
    EXPECT_EQ(portPeer->type(), BusPeerTypeLocal);
    EXPECT_EQ(portPeer->maxPacketSize(), 16384 - 129);
    EXPECT_FALSE(portPeer->socketAddress());

    RecordingDelegate recorder(receiver);
    std::vector<uint8_t> message{3, 3, 99, 7};
    EXPECT_EQ(BusPeerSendMessage(*portPeer, message), BusSendOk);
    ASSERT_TRUE(world.pumpUntil([&] { return recorder.count() == 1; }));
    EXPECT_EQ(recorder.messages()[0].bytes, message);
    EXPECT_EQ(recorder.messages()[0].peer, senderAsSeen);

    // Frames with a name too long, a name that is not UTF-8, or too short.
    platform::MessagePort raw;
    ASSERT_TRUE(raw.openForSending());
    std::vector<uint8_t> frame(129 + 3, 0);
    frame[0] = 200;
    EXPECT_EQ(raw.send(receiverName, frame.data(), frame.size()), 0);
    frame[0] = 2;
    frame[1] = 0xFF;
    frame[2] = 0xFE;
    EXPECT_EQ(raw.send(receiverName, frame.data(), frame.size()), 0);
    EXPECT_EQ(raw.send(receiverName, frame.data(), 100), 0);
    ASSERT_TRUE(world.pumpUntil([&] { return receiver.counters().invalidFrames.load() == 3; }));
    // An empty message (a frame of exactly 129 bytes) from a known sender is delivered.
    std::vector<uint8_t> empty(129, 0);
    empty[0] = uint8_t(senderName.size());
    std::memcpy(empty.data() + 1, senderName.data(), senderName.size());
    EXPECT_EQ(raw.send(receiverName, empty.data(), empty.size()), 0);
    ASSERT_TRUE(world.pumpUntil([&] { return recorder.count() == 2; }));
    EXPECT_TRUE(recorder.messages()[1].bytes.empty());

    // Back on a version-8 platform, a message-port peer sends nothing and says 0.
    platform::PlatformVersion::setCurrent(8.0);
    EXPECT_EQ(BusPeerSendMessage(*portPeer, message), BusSendOk);
    world.pumpUntil([] { return false; }, 0.2);
    EXPECT_EQ(recorder.count(), 2u);
}

// A receiver that goes, comes back and goes again: each failure after a send
// that went through is told again; one whose queue is full is named as peers
// are everywhere in the log.
TEST_F(MessagePortTest, SendFailuresAreToldOnceUntilASendGoesThrough) {
    BusWorld world;
    BusLogCapture log;
    BusLocalEndpoint sender(portName("porta"), world.endpointOptions());
    const std::string name = portName("portc");
    platform::MessagePort receiver;
    ASSERT_TRUE(receiver.listen(name));
    platform::ServiceRecord record;
    record.name = name + " (Desk)";
    record.port = 4000;
    record.addresses.push_back(*platform::SocketAddress::fromText("127.0.0.1", record.port));
    auto peer = BusPeer::withService(record, &sender);
    ASSERT_TRUE(peer && peer->maxPacketSize() == 16384 - 129) << "a message-port peer";
    const std::vector<uint8_t> message{3, 3, 99};
    const auto told = [&] { return linesStartingWith(log, "Couldn't recreate message port for peer " + name); };

    EXPECT_EQ(BusPeerSendMessage(*peer, message), BusSendOk);
    receiver.close();
    EXPECT_EQ(BusPeerSendMessage(*peer, message), BusSendErrorPeerUnavailable);
    EXPECT_EQ(BusPeerSendMessage(*peer, message), BusSendErrorPeerUnavailable);
    EXPECT_EQ(told(), 1u);
    ASSERT_TRUE(receiver.listen(name));
    EXPECT_EQ(BusPeerSendMessage(*peer, message), BusSendOk);
    receiver.close();
    EXPECT_EQ(BusPeerSendMessage(*peer, message), BusSendErrorPeerUnavailable);
    EXPECT_EQ(told(), 2u) << "told again after the send that went through";

    // A receiver that reads nothing: its queue fills.
    ASSERT_TRUE(receiver.listen(name));
    int32_t result = BusSendOk;
    for (int i = 0; i < 10000 && result == BusSendOk; ++i) result = BusPeerSendMessage(*peer, message);
    EXPECT_EQ(result, -EAGAIN);
    EXPECT_EQ(linesStartingWith(log, "Couldn't send message to " + peer->description() + ": Error " +
                                         std::to_string(-EAGAIN)),
              1u);
}

}  // namespace
}  // namespace strombel::hub::testing
