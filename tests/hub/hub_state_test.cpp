// Application state both ways: the simulator pulls ours and pushes one back.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "bus_test_support.h"
#include "hub/bus_message.h"
#include "hub/hub_peer_state.h"

namespace strombel::hub::testing {
namespace {

using platform::kNanosPerMillisecond;
using platform::PropertyList;
using platform::PropertyValue;

// Hands the first push packet to the test on the main loop, as the controller
// hands it to a new receiver.
class FirstPacketCatcher : public BusLocalEndpointDelegate {
public:
    FirstPacketCatcher(BusLocalEndpoint& endpoint, uint8_t type) : endpoint_(endpoint), type_(type) {
        endpoint_.addDelegate(this);
    }
    ~FirstPacketCatcher() override { endpoint_.removeDelegate(this); }
    void endpoint(BusLocalEndpoint&, const uint8_t* bytes, uint64_t length, const std::shared_ptr<BusPeer>& peer) override {
        std::lock_guard lock(mutex_);
        if (first_ || length < 3 || bytes[2] != type_) return;
        first_ = std::vector<uint8_t>(bytes, bytes + length);
        peer_ = peer;
    }
    std::optional<std::vector<uint8_t>> first() const {
        std::lock_guard lock(mutex_);
        return first_;
    }
    std::shared_ptr<BusPeer> peer() const {
        std::lock_guard lock(mutex_);
        return peer_;
    }

private:
    BusLocalEndpoint& endpoint_;
    uint8_t type_;
    mutable std::mutex mutex_;
    std::optional<std::vector<uint8_t>> first_;
    std::shared_ptr<BusPeer> peer_;
};

struct StateWorld : BusWorld {
    BusLocalEndpoint endpoint{"strombel-test", endpointOptions()};
    BusRegistry registry{"wirehub", &endpoint, discovery, registryOptions()};
    std::shared_ptr<const HubSignatureValidator> validator = HubSignatureValidator::withKey(TestKeyPair::shared().publicKey);
    HubSimulator simulator{servicesFolder, keyFile};
    std::shared_ptr<BusPeer> hub;

    StateWorld() {
        registry.setPublishing(true);
        hub = waitForPeer(registry, "Wirehub");
        simulator.command("peer strombel-test");
    }

    std::string answer(double seconds = 20) {
        std::string line;
        pumpUntil([&] { return !(line = simulator.answer(1)).empty(); }, seconds, 5 * kNanosPerMillisecond);
        return line;
    }

    struct PushResult {
        bool done = false;
        std::optional<PropertyValue::Dictionary> dictionary;
        std::optional<BusError> error;
    };
    // Starts a push in the simulator and receives it.
    PushResult receivePush(const std::string& command, uint64_t maximum = HubPeerStateReceiver::kMaximumStateLength) {
        FirstPacketCatcher catcher(endpoint, command.find("type19") != std::string::npos ? BusMessageStateContentPacket
                                                                                        : BusMessageStatePushPacket);
        simulator.begin(command);
        EXPECT_TRUE(pumpUntil([&] { return catcher.first().has_value(); }));
        PushResult result;
        if (!catcher.first()) return result;
        EXPECT_EQ(catcher.peer(), hub);
        auto receiver = HubPeerStateReceiver::make(hub, endpoint, validator, temp / "state");
        receiver->setMaximumStateLength(maximum);
        receiver->setCompletionBlock([&](auto dictionary, auto error) {
            EXPECT_FALSE(result.done) << "the completion block runs once";
            result.done = true;
            result.dictionary = std::move(dictionary);
            result.error = std::move(error);
        });
        auto first = *catcher.first();
        receiver->startLoadWithFirstPacket(first.data(), first.size());
        pumpUntil([&] { return result.done; }, 20, 5 * kNanosPerMillisecond);
        simulatorAnswer = answer();
        return result;
    }
    std::string simulatorAnswer;
};

void writeXml(const std::filesystem::path& path, const PropertyValue::Dictionary& dictionary) {
    std::ofstream(path) << *PropertyList::toXml(dictionary);
}

TEST(HubStateTest, APullCarriesAValueOverTwoKilobytesAsAnItemOfItsOwn) {
    StateWorld world;
    ASSERT_TRUE(world.hub);
    FirstPacketCatcher pulls(world.endpoint, BusMessageStatePull);
    auto out = world.temp / "pulled.plist";
    world.simulator.begin("pull " + out.string());
    ASSERT_TRUE(world.pumpUntil([&] { return pulls.first().has_value(); }));

    // The pull is signed by the hub over its first H + P bytes.
    auto pull = *pulls.first();
    auto parts = splitSignedContent(pull.data(), pull.size());
    ASSERT_TRUE(parts);
    EXPECT_TRUE(validateSignature(world.validator, parts->signature, parts->signatureLength, parts->content.data(),
                                  parts->content.size()));

    PropertyValue::Data exactly(2048), over(2049);
    for (size_t i = 0; i < over.size(); ++i) over[i] = uint8_t(i * 3);
    PropertyValue::Dictionary state{{"inline", exactly}, {"item", over}, {"name", "Pattern 1"}, {"tempo", int64_t(120)}};
    auto sender = HubPeerStateSender::make(world.hub, state, world.endpoint);
    ASSERT_TRUE(sender);
    EXPECT_EQ(sender->itemCount(), 2u);
    bool sent = false;
    sender->setCompletionBlock([&](auto error) {
        EXPECT_FALSE(error);
        sent = true;
    });
    sender->start();
    EXPECT_EQ(world.answer(), "pulled 2");
    EXPECT_TRUE(world.pumpUntil([&] { return sent; }));  // the completion follows on the main loop
    std::ifstream stream(out, std::ios::binary);
    std::string xml((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    auto back = PropertyList::read(reinterpret_cast<const uint8_t*>(xml.data()), xml.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, PropertyValue(state));
}

// The first packet of an item opens with its key: a key too long for a UDP
// packet (1,469 bytes, one more than fits) keeps its value in the dictionary;
// one that fits travels as an item of its own. Either way the hub gets it all.
TEST(HubStateTest, AKeyTooLongForAPacketKeepsItsValueInTheDictionary) {
    StateWorld world;
    ASSERT_TRUE(world.hub);
    PropertyValue::Data value(3000);
    for (size_t i = 0; i < value.size(); ++i) value[i] = uint8_t(i * 7);
    const std::string fits(1468, 'k'), tooLong(1469, 'l');
    PropertyValue::Dictionary state{{fits, value}, {tooLong, value}};
    auto sender = HubPeerStateSender::make(world.hub, state, world.endpoint);
    ASSERT_TRUE(sender);
    EXPECT_EQ(sender->itemCount(), 2u) << "the dictionary and the item whose key fits";
    auto out = world.temp / "pulled.plist";
    FirstPacketCatcher pulls(world.endpoint, BusMessageStatePull);
    world.simulator.begin("pull " + out.string());
    ASSERT_TRUE(world.pumpUntil([&] { return pulls.first().has_value(); }));  // the hub waits for the state now
    bool sent = false;
    sender->setCompletionBlock([&](auto error) {
        EXPECT_FALSE(error);
        sent = true;
    });
    sender->start();
    EXPECT_EQ(world.answer(), "pulled 2");
    EXPECT_TRUE(world.pumpUntil([&] { return sent; }));
    std::ifstream stream(out, std::ios::binary);
    std::string xml((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    auto back = PropertyList::read(reinterpret_cast<const uint8_t*>(xml.data()), xml.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, PropertyValue(state));
}

TEST(HubStateTest, ASignedPushArrivesWholeDespiteALostPacket) {
    StateWorld world;
    ASSERT_TRUE(world.hub);
    PropertyValue::Data big(5000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i ^ (i >> 8));
    PropertyValue::Dictionary state{{"big", big}, {"text", "hello"}, {"small", PropertyValue::Data{1, 2, 3}}};
    writeXml(world.temp / "push.plist", state);
    auto result = world.receivePush("push " + (world.temp / "push.plist").string() + " lose 2");
    ASSERT_TRUE(result.done);
    EXPECT_FALSE(result.error);
    ASSERT_TRUE(result.dictionary);
    EXPECT_EQ(PropertyValue(*result.dictionary), PropertyValue(state));
    // The temporary files are gone once the dictionary is read.
    EXPECT_TRUE(std::filesystem::is_empty(world.temp / "state"));
}

TEST(HubStateTest, UnsignedWronglySignedOrOversizedPushesAbort) {
    struct Case {
        const char* options;
        int64_t code;
        uint64_t maximum;
    } cases[] = {
        {"type19", 1, HubPeerStateReceiver::kMaximumStateLength},
        {"badsig", 1, HubPeerStateReceiver::kMaximumStateLength},
        {"", 2, 3000},  // past the receiver's limit
    };
    for (const auto& c : cases) {
        StateWorld world;
        ASSERT_TRUE(world.hub);
        BusLogCapture log;
        writeXml(world.temp / "push.plist", {{"big", PropertyValue::Data(5000, 7)}});
        auto result = world.receivePush("push " + (world.temp / "push.plist").string() + " " + c.options, c.maximum);
        ASSERT_TRUE(result.done) << c.options;
        ASSERT_TRUE(result.error) << c.options;
        EXPECT_EQ(result.error->domain, kHubPeerStateReceiverErrorDomain);
        EXPECT_EQ(result.error->code, c.code) << c.options;
        EXPECT_FALSE(result.dictionary);
        // The hub's sender was told to stop (item 65535).
        EXPECT_EQ(world.simulatorAnswer, "pushed stopped") << c.options;
        if (c.code == 1) {
            EXPECT_TRUE(log.contains("Invalid state content packet from <Peer Wirehub"));
        }
    }
}

TEST(HubStateTest, APushEndsAtItsFourthTimeOutEvenAfterProgress) {
    StateWorld world;
    ASSERT_TRUE(world.hub);
    BusLogCapture log;
    // Three segments of item 0, of which only the first ever arrives.
    auto packet = [&](uint32_t segment) {
        std::vector<uint8_t> bytes(19 + 10, 1);
        writeStatePacketHeader(bytes.data(), BusMessageStatePushPacket, 0, 1, 0, 3, segment, 10);
        auto signature = signContent(TestKeyPair::shared().key, bytes.data(), bytes.size(), 'B');
        bytes.insert(bytes.end(), signature.begin(), signature.end());
        return bytes;
    };
    auto receiver = HubPeerStateReceiver::make(world.hub, world.endpoint, world.validator, world.temp / "state");
    std::optional<BusError> error;
    int calls = 0;
    receiver->setCompletionBlock([&](auto, auto e) {
        ++calls;
        error = e;
    });
    auto first = packet(0);
    receiver->startLoadWithFirstPacket(first.data(), first.size());
    world.loop.runPending();
    for (int i = 0; i < 3; ++i) world.loop.advance(500 * kNanosPerMillisecond);
    EXPECT_EQ(calls, 0);
    world.loop.advance(500 * kNanosPerMillisecond);
    ASSERT_EQ(calls, 1);
    EXPECT_EQ(error->code, 0);
    EXPECT_EQ(error->description, "Timed out");
    EXPECT_TRUE(log.contains("Timed out loading state from <Peer Wirehub"));
}

TEST(HubStateTest, TheSenderSplitsItemsAndFollowsReRequests) {
    BusWorld world;
    BusLocalEndpoint endpoint("solo", world.endpointOptions());
    RecordingDelegate recorder(endpoint);
    std::string key = "0123456789";
    PropertyValue::Data resource(3000, 0x42);
    auto sender = HubPeerStateSender::make(endpoint.selfPeer(), {{key, resource}}, endpoint);
    ASSERT_TRUE(sender);
    bool done = false;
    sender->setCompletionBlock([&](auto) { done = true; });
    sender->start();
    ASSERT_TRUE(world.pumpUntil([&] { return done; }));
    ASSERT_TRUE(world.pumpUntil([&] { return recorder.count() == 2; }));
    auto messages = recorder.messages();
    auto item = readStatePacket(messages[1].bytes.data(), messages[1].bytes.size());
    ASSERT_TRUE(item);
    EXPECT_EQ(item->kind, 1);
    EXPECT_EQ(item->itemCount, 2);
    EXPECT_EQ(item->itemIndex, 1);
    EXPECT_EQ(item->segmentCount, 1u);  // 3015 bytes fit one 16384-byte packet
    EXPECT_EQ(item->dataLength, 3015);
    EXPECT_EQ(item->data[0], 5);
    EXPECT_EQ(readU16(item->data + 1), 15);
    EXPECT_EQ(readU16(item->data + 3), 10);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(item->data + 5), 10), key);

    // To a peer on UDP the item takes three packets. The first send finds the
    // socket full; while the sender waits, the peer asks for item 1 from
    // segment 7, past its last: the last (2) comes, and nothing before it.
    BusRegistry registry("wirehub", &endpoint, world.discovery, world.registryOptions());
    int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    auto address = *platform::SocketAddress::fromText("127.0.0.1", 0);
    ASSERT_EQ(::bind(socket, address.get(), address.length()), 0);
    socklen_t length = sizeof(sockaddr_storage);
    ::getsockname(socket, address.get(), &length);
    platform::DirectoryServiceDiscovery::Entry entry;
    entry.record = {"Hub (Stage)", "_wirehub._udp", address.port(), {address}, {{"BusVersion", "3"}}};
    entry.owner = getpid();
    ASSERT_TRUE(platform::DirectoryServiceDiscovery::writeEntry(world.servicesFolder, entry, true));
    world.discovery.rescan();
    auto hub = world.waitForPeer(registry, "Hub");
    ASSERT_TRUE(hub);
    auto udpSender = HubPeerStateSender::make(hub, {{key, resource}}, endpoint);
    bool sent = false;
    udpSender->setCompletionBlock([&](auto) { sent = true; });
    endpoint.fillSendBufferForTesting(1);
    udpSender->start();
    RecordingDelegate heard(endpoint);  // after the sender: what this heard, the sender has
    const std::vector<uint8_t> rerequest = makeStateRerequest(1, 7);
    auto to = *platform::SocketAddress::fromText("127.0.0.1", uint16_t(endpoint.socketPort()));
    ::sendto(socket, rerequest.data(), rerequest.size(), 0, to.get(), to.length());
    for (int i = 0; i < 5000 && heard.count() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(heard.count(), 1u);
    ASSERT_TRUE(world.pumpUntil([&] { return sent; }));  // the sender goes on once the socket has room
    std::vector<uint8_t> packet(2048);
    const ssize_t first = ::recv(socket, packet.data(), packet.size(), MSG_DONTWAIT);
    ASSERT_GT(first, 0);
    auto resent = readStatePacket(packet.data(), size_t(first));
    ASSERT_TRUE(resent);
    EXPECT_EQ(resent->itemIndex, 1);
    EXPECT_EQ(resent->segmentCount, 3u);
    EXPECT_EQ(resent->segmentIndex, 2u);
    EXPECT_LT(::recv(socket, packet.data(), packet.size(), MSG_DONTWAIT), 0) << "nothing else was sent";
    ::close(socket);

    auto empty = HubPeerStateSender::emptyStatePacket();
    EXPECT_EQ(empty.size(), 19u);
    EXPECT_EQ(empty[2], BusMessageStateContentPacket);
    auto read = readStatePacket(empty.data(), empty.size());
    ASSERT_TRUE(read) << "our own reader takes the empty state";
    EXPECT_EQ(read->itemCount, 0);
    EXPECT_EQ(read->segmentCount, 0u);
}

}  // namespace
}  // namespace strombel::hub::testing
