// The platform pieces under the bus: addresses, UDP sockets, the directory of
// services, PNG checks, property lists and coalesced calls.

#include <gtest/gtest.h>
#include <png.h>
#include <netinet/in.h>
#include <sys/wait.h>

#include "bus_test_support.h"
#include <avahi-common/error.h>
#include <avahi-common/strlst.h>

#include "platform/avahi_service_discovery.h"
#include "platform/directory_service_discovery.h"
#include "platform/key_value_observing.h"
#include "platform/png_image.h"
#include "platform/property_list.h"
#include "platform/udp_socket.h"

namespace strombel::platform {
namespace {

TEST(SocketAddressTest, EqualityIgnoresPaddingAndFlowButNotScope) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(5000);
    a.sin6_addr = in6addr_loopback;
    sockaddr_in6 b = a;
    b.sin6_flowinfo = 12345;
    auto first = SocketAddress::fromBytes(&a, sizeof a);
    auto second = SocketAddress::fromBytes(&b, sizeof b);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(*first, *second);
    b.sin6_scope_id = 2;
    EXPECT_FALSE(*first == *SocketAddress::fromBytes(&b, sizeof b));

    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(5000);
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in padded = v4;
    std::memset(padded.sin_zero, 0xAB, sizeof padded.sin_zero);
    EXPECT_EQ(*SocketAddress::fromBytes(&v4, sizeof v4), *SocketAddress::fromBytes(&padded, sizeof padded));
    EXPECT_EQ(SocketAddress::fromBytes(&v4, sizeof v4)->text(), "127.0.0.1:5000");
    EXPECT_FALSE(SocketAddress::fromBytes(&v4, 8));   // too short for its family
    EXPECT_FALSE(SocketAddress::fromBytes(&a, 16));   // an IPv6 address needs 28 bytes
    uint8_t otherFamily[28] = {1, 0};                 // AF_UNIX
    EXPECT_FALSE(SocketAddress::fromBytes(otherFamily, sizeof otherFamily));
}

TEST(UdpSocketPairTest, BothFamiliesShareOnePortWithTheirTrafficClass) {
    UdpSocketPair pair;
    auto report = pair.open(0);
    ASSERT_TRUE(report.ok) << report.ipv4Error;
    ASSERT_GE(pair.ipv6(), 0) << report.ipv6Error;
    EXPECT_NE(pair.port(), 0);
    int tos = 0, tclass = 0;
    socklen_t length = sizeof tos;
    getsockopt(pair.ipv4(), IPPROTO_IP, IP_TOS, &tos, &length);
    length = sizeof tclass;
    getsockopt(pair.ipv6(), IPPROTO_IPV6, IPV6_TCLASS, &tclass, &length);
    EXPECT_EQ(tos, 16);
    EXPECT_EQ(tclass, 16);

    UdpSocketPair peer;
    ASSERT_TRUE(peer.open(0).ok);
    uint8_t bytes[5000] = {1, 2, 3};
    for (const char* host : {"127.0.0.1", "::1"}) {
        auto to = *SocketAddress::fromText(host, pair.port());
        ASSERT_EQ(peer.sendTo(to, bytes, 3), UdpSendOk) << host;
        int socket = to.isIPv4() ? pair.ipv4() : pair.ipv6();
        uint8_t buffer[4096];
        size_t received = 0;
        SocketAddress from;
        pollfd fd{socket, POLLIN, 0};
        ASSERT_EQ(poll(&fd, 1, 2000), 1);
        EXPECT_EQ(UdpSocketPair::receive(socket, buffer, sizeof buffer, received, from), UdpSocketPair::Receive::Datagram);
        EXPECT_EQ(received, 3u);
        EXPECT_EQ(from.port(), peer.port());
        // A datagram longer than the buffer is consumed and reported, not cut.
        ASSERT_EQ(peer.sendTo(to, bytes, sizeof bytes), UdpSendOk);
        ASSERT_EQ(poll(&fd, 1, 2000), 1);
        EXPECT_EQ(UdpSocketPair::receive(socket, buffer, sizeof buffer, received, from), UdpSocketPair::Receive::Truncated);
        EXPECT_EQ(UdpSocketPair::receive(socket, buffer, sizeof buffer, received, from), UdpSocketPair::Receive::Nothing);
    }
}

TEST(UdpSocketPairTest, AnIPv4OnlyPairRefusesIPv6Addresses) {
    UdpSocketPair sink;
    ASSERT_TRUE(sink.open(0).ok);
    std::vector<uint8_t> bytes(10, 7);
    // A family without a socket fails.
    UdpSocketPair v4only;
    auto bind = *SocketAddress::fromText("127.0.0.1", 0);
    ASSERT_TRUE(v4only.open(0, &bind).ok);
    EXPECT_EQ(v4only.ipv6(), -1);
    EXPECT_EQ(v4only.sendTo(*SocketAddress::fromText("::1", sink.port()), bytes.data(), 10), UdpSendFailed);
}

struct DirectoryWorld {
    strombel::testing::TempDir temp;
    ManualClock clock;
    MainLoop loop{clock};
    DirectoryServiceDiscovery discovery{temp / "services", loop};
    void pump() {
        for (int i = 0; i < 50; ++i) {
            loop.runPending();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
};

TEST(DirectoryServiceDiscoveryTest, PublishBrowseResolveWatchAndUnpublish) {
    DirectoryWorld world;
    std::vector<std::string> found, removed;
    ServiceDiscovery::BrowseHandlers handlers;
    handlers.found = [&](const std::string& name) { found.push_back(name); };
    handlers.removed = [&](const std::string& name) { removed.push_back(name); };
    world.discovery.browse("_wirehub._udp", handlers);

    ServicePublication publication{"Drums/../x (Desk)", "_wirehub._udp", 4242, {{"a", "1"}, {"big", std::string(300, 'z')}}, {}};
    std::optional<int32_t> result;
    auto id = world.discovery.publish(publication, [&](int32_t r) { result = r; });
    EXPECT_FALSE(result);  // never from inside the call
    world.pump();
    EXPECT_EQ(result, 0);
    ASSERT_EQ(found, std::vector<std::string>{"Drums/../x (Desk)"});
    for (auto& entry : std::filesystem::directory_iterator(world.temp / "services")) {
        EXPECT_EQ(entry.path().filename().string().find('/'), std::string::npos);
        EXPECT_NE(entry.path().filename().string()[0], '.');
    }

    std::optional<ServiceRecord> record;
    world.discovery.resolve(publication.name, "_wirehub._udp", 5 * kNanosPerSecond, [&](auto r) { record = r; });
    world.pump();
    ASSERT_TRUE(record);
    EXPECT_EQ(record->port, 4242);
    ASSERT_EQ(record->addresses.size(), 2u);
    EXPECT_EQ(record->addresses[0].text(), "127.0.0.1:4242");
    EXPECT_EQ(record->addresses[1].text(), "[::1]:4242");
    EXPECT_EQ(record->txt.count("big"), 0u);  // over 255 bytes: left out

    std::vector<TxtRecord> changes;
    world.discovery.watchTxt(publication.name, "_wirehub._udp", [&](const TxtRecord& txt) { changes.push_back(txt); });
    world.pump();
    EXPECT_TRUE(world.discovery.updateTxt(id, {{"a", "2"}}));
    world.pump();
    world.pump();
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].at("a"), "1");
    EXPECT_EQ(changes[1].at("a"), "2");

    // A second publication of the same name collides.
    std::optional<int32_t> second;
    world.discovery.publish(publication, [&](int32_t r) { second = r; });
    world.pump();
    EXPECT_EQ(second, ServiceDiscovery::ErrorNameCollision);

    world.discovery.unpublish(id);
    world.pump();
    EXPECT_EQ(removed, std::vector<std::string>{"Drums/../x (Desk)"});

    // Resolving what is not there fails after its time-out.
    std::optional<ServiceRecord> missing = ServiceRecord{};
    world.discovery.resolve("nobody (Desk)", "_wirehub._udp", 5 * kNanosPerSecond, [&](auto r) { missing = r; });
    world.loop.advance(4900 * kNanosPerMillisecond);
    EXPECT_TRUE(missing.has_value());
    world.loop.advance(200 * kNanosPerMillisecond);
    EXPECT_FALSE(missing.has_value());
}

TEST(DirectoryServiceDiscoveryTest, ADeadOwnersEntryCountsAsRemovedAndItsNameIsFree) {
    DirectoryWorld world;
    pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    DirectoryServiceDiscovery::Entry entry;
    entry.record = {"Old (Desk)", "_wirehub._udp", 5000, {}, {}};
    entry.owner = child;
    ASSERT_TRUE(DirectoryServiceDiscovery::writeEntry(world.temp / "services", entry, true));
    EXPECT_TRUE(DirectoryServiceDiscovery::readFolder(world.temp / "services").empty());
    std::optional<int32_t> result;
    world.discovery.publish({"Old (Desk)", "_wirehub._udp", 5001, {}, {}}, [&](int32_t r) { result = r; });
    world.pump();
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(DirectoryServiceDiscovery::decode("not a service file"));
    EXPECT_FALSE(DirectoryServiceDiscovery::decode("strombel-service 1\nname zz\n"));
}

std::vector<uint8_t> pngOfSize(uint32_t width, uint32_t height) {
    return PngImage::fromRgba(width, height, std::vector<uint8_t>(size_t(width) * height * 4, 0x80))->data();
}

TEST(PngImageTest, ImagesAreCheckedAndTooLargeOnesRefusedBeforeDecoding) {
    auto png = pngOfSize(3, 2);
    auto image = PngImage::fromData(png);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width(), 3u);
    EXPECT_EQ(image->height(), 2u);
    // A header naming 5000 pixels a side is refused however little data follows.
    auto huge = png;
    huge[16] = 0;
    huge[17] = 0;
    huge[18] = 0x13;
    huge[19] = 0x88;
    auto refused = PngImage::fromData(huge);
    EXPECT_FALSE(refused);
    const std::string why = refused ? "" : refused.error().message();
    EXPECT_NE(why.find("too large"), std::string::npos);
    auto cut = png;
    cut.resize(png.size() - 20);
    EXPECT_FALSE(PngImage::fromData(cut));
    EXPECT_FALSE(PngImage::fromData({1, 2, 3}));
}

// Four pixels a row drawn at two: each the mean of the two it covers, its
// colour that of the opaque one where the other is clear; smaller images stay.
TEST(PngImageTest, ImagesLargerThanTheBoxAreDrawnSmallerKeepingTheirProportions) {
    const std::vector<uint8_t> rgba = {255, 0, 0, 255, 0, 0, 255, 0, 10, 20, 30, 255, 30, 40, 50, 255,
                                       255, 0, 0, 255, 0, 0, 255, 0, 10, 20, 30, 255, 30, 40, 50, 255};
    const auto png = PngImage::fromRgba(4, 2, rgba)->data();
    auto fitted = PngImage::fromDataFitting(png, 2);
    ASSERT_TRUE(fitted);
    ASSERT_EQ(std::pair(fitted->width(), fitted->height()), std::pair(2u, 1u));
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_memory(&image, fitted->data().data(), fitted->data().size()));
    image.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> pixels(8);
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
    EXPECT_EQ(pixels, (std::vector<uint8_t>{255, 0, 0, 127, 20, 30, 40, 255}));
    EXPECT_EQ(PngImage::fromDataFitting(png, 4)->data(), png);
}

std::vector<uint8_t> nestedBinaryList(int depth) {
    // Object i is an array holding object i + 1; the last is empty.
    std::vector<uint8_t> bytes{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    std::vector<uint32_t> offsets;
    for (int i = 0; i < depth; ++i) {
        offsets.push_back(uint32_t(bytes.size()));
        if (i + 1 < depth) {
            bytes.push_back(0xA1);
            uint32_t next = uint32_t(i + 1);
            for (int k = 3; k >= 0; --k) bytes.push_back(uint8_t(next >> (8 * k)));
        } else {
            bytes.push_back(0xA0);
        }
    }
    uint64_t table = bytes.size();
    for (uint32_t offset : offsets) {
        for (int k = 3; k >= 0; --k) bytes.push_back(uint8_t(offset >> (8 * k)));
    }
    for (int i = 0; i < 6; ++i) bytes.push_back(0);
    bytes.push_back(4);
    bytes.push_back(4);
    for (uint64_t value : {uint64_t(depth), uint64_t(0), table}) {
        for (int k = 7; k >= 0; --k) bytes.push_back(uint8_t(value >> (8 * k)));
    }
    return bytes;
}

TEST(PropertyListTest, StateDictionariesRoundTripWithByteBlocks) {
    PropertyValue::Dictionary dictionary{{"data", PropertyValue::Data{0, 1, 2, 255}},
                                         {"text", "hello"},
                                         {"number", int64_t(-5)},
                                         {"list", PropertyValue::Array{true, 2.5}}};
    auto bytes = PropertyList::toBinary(dictionary);
    ASSERT_TRUE(bytes);
    auto back = PropertyList::read(bytes->data(), bytes->size());
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, PropertyValue(dictionary));
    auto xml = PropertyList::toXml(dictionary);
    ASSERT_TRUE(xml);
    EXPECT_EQ(*PropertyList::read(reinterpret_cast<const uint8_t*>(xml->data()), xml->size()), PropertyValue(dictionary));
}

TEST(PropertyListTest, DeepOrBrokenListsAreRefused) {
    auto fine = nestedBinaryList(PropertyList::kMaximumDepth);
    EXPECT_TRUE(PropertyList::read(fine.data(), fine.size()));
    auto deep = nestedBinaryList(100000);
    auto refused = PropertyList::read(deep.data(), deep.size());
    EXPECT_FALSE(refused);
    const std::string why = refused ? "" : refused.error().message();
    EXPECT_EQ(why, "property list nests too deeply");
    auto outside = nestedBinaryList(3);
    outside[9] = 200;  // object 0 refers to object 200 of 3
    EXPECT_FALSE(PropertyList::read(outside.data(), outside.size()));
    std::string xml = "<plist><array>";
    for (int i = 0; i < 100; ++i) xml += "<array>";
    EXPECT_FALSE(PropertyList::read(reinterpret_cast<const uint8_t*>(xml.data()), xml.size()));
    EXPECT_FALSE(PropertyList::read(nullptr, 0));
}

TEST(DeferredCallTest, BurstsCoalesceIntoOneCall) {
    ManualClock clock;
    MainLoop loop(clock);
    int calls = 0;
    DeferredCall call(loop, [&] { ++calls; });
    for (int i = 0; i < 5; ++i) {
        call.schedule(100 * kNanosPerMillisecond);
        loop.advance(50 * kNanosPerMillisecond);
    }
    EXPECT_EQ(calls, 0);
    loop.advance(60 * kNanosPerMillisecond);
    EXPECT_EQ(calls, 1);
    call.schedule(10);
    call.cancel();
    loop.advance(kNanosPerSecond);
    EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace strombel::platform

// LAN discovery through Avahi is never switched on here (it would announce this
// machine on the network): only its conversions and the switch are tested.
namespace strombel::platform {
namespace {

TEST(AvahiServiceDiscoveryTest, TxtRecordsConvertBothWaysAndOversizedEntriesAreLeftOut) {
    TxtRecord txt{{"deviceID", "ABC"}, {"inputs[0]", std::string("\x1d\x00\x05\xff", 4)}, {"big", std::string(300, 'x')}};
    AvahiStringList* list = AvahiServiceDiscovery::toStringList(txt);
    TxtRecord back = AvahiServiceDiscovery::fromStringList(list);
    avahi_string_list_free(list);
    txt.erase("big");
    EXPECT_EQ(back, txt);
    EXPECT_EQ(AvahiServiceDiscovery::errorCode(AVAHI_ERR_COLLISION), ServiceDiscovery::ErrorNameCollision);
    EXPECT_EQ(AvahiServiceDiscovery::errorCode(AVAHI_ERR_NO_DAEMON), ServiceDiscovery::ErrorUnknown);
    EXPECT_EQ(AvahiServiceDiscovery::errorCode(AVAHI_OK), 0);
}

TEST(AvahiServiceDiscoveryTest, LanDiscoveryIsOffUnlessTheUserTurnsItOn) {
    strombel::testing::TempDir temp;
    UserDefaults defaults(temp / "defaults.sqlite");
    const char* plain[] = {"strombel"};
    const char* asked[] = {"strombel", "--lan-discovery"};
    EXPECT_FALSE(lanDiscoveryEnabled(1, plain, defaults));
    EXPECT_TRUE(lanDiscoveryEnabled(2, asked, defaults));
    defaults.setBool(kLanDiscoveryEnabledKey, true);
    EXPECT_TRUE(lanDiscoveryEnabled(1, plain, defaults));

    setenv("XDG_RUNTIME_DIR", temp.path().c_str(), 1);
    ManualClock clock;
    MainLoop loop(clock);
    auto discovery = makeServiceDiscovery(false, loop);
    auto* directory = dynamic_cast<DirectoryServiceDiscovery*>(discovery.get());
    ASSERT_TRUE(directory);
    EXPECT_EQ(directory->folder(), temp / "strombel-services");
}

}  // namespace
}  // namespace strombel::platform
