#include <gtest/gtest.h>

#include "bus_test_support.h"
#include "hub/bus_message.h"

namespace strombel::hub::testing {
namespace {

TEST(BusRegistryTest, ServiceNamesEscapeParenthesesAndParseBack) {
    struct Case {
        std::string peer, device;
        int collision;
        std::string name, parsedDevice;
    } cases[] = {
        {"Strombel", "Stage (Left)", 1, "Strombel (Stage %28Left%29)", "Stage (Left)"},
        {"Strombel", "Stage (Left)", 2, "Strombel (Stage %28Left%29 2)", "Stage (Left) 2"},
        {"My (old) app", "Desk", 1, "My (old) app (Desk)", "Desk"},
    };
    for (const auto& c : cases) {
        std::string name = BusRegistry::registryName(c.peer, c.device, c.collision);
        EXPECT_EQ(name, c.name);
        std::string peer, device;
        ASSERT_TRUE(BusRegistry::parseRegistryName(name, peer, device));
        EXPECT_EQ(peer, c.peer);
        EXPECT_EQ(device, c.parsedDevice);
    }
    std::string peer, device;
    EXPECT_FALSE(BusRegistry::parseRegistryName("no device part", peer, device));
}

TEST(BusRegistryTest, LongNamesShortenTheDeviceFirstAndNeverSplitACharacter) {
    std::string device40(40, 'd'), peer30(30, 'p');
    std::string name = BusRegistry::registryName(peer30, device40, 1);
    EXPECT_LT(name.size(), 64u);
    EXPECT_NE(name.find("\u2026)"), std::string::npos);  // the device part ends with "…"
    EXPECT_NE(name.find(peer30 + " ("), std::string::npos);  // the peer part is whole

    // A short device name is never cut; the peer part gives way instead.
    std::string longPeer(80, 'p');
    std::string shortDevice = BusRegistry::registryName(longPeer, "Desk1234", 1);
    EXPECT_LT(shortDevice.size(), 64u);
    EXPECT_NE(shortDevice.find("\u2026 (Desk1234)"), std::string::npos);

    // The device part goes down to 10 characters before the peer part is cut.
    std::string both = BusRegistry::registryName(longPeer, device40, 1);
    std::string peerPart, devicePart;
    ASSERT_TRUE(BusRegistry::parseRegistryName(both, peerPart, devicePart));
    EXPECT_EQ(devicePart, std::string(10, 'd') + "\u2026");

    // Characters of several bytes are kept whole.
    std::string wide;
    for (int i = 0; i < 40; ++i) wide += "\xC3\xA9";  // é
    std::string accented = BusRegistry::registryName("Strombel", wide, 1);
    EXPECT_LT(accented.size(), 64u);
    EXPECT_TRUE(isValidUtf8(accented));
}

platform::ServiceRecord serviceRecord(const std::string& name, platform::TxtRecord txt, uint16_t port = 40000) {
    platform::ServiceRecord record;
    record.name = name;
    record.type = "_wirehub._udp";
    record.port = port;
    record.addresses.push_back(*platform::SocketAddress::fromText("127.0.0.1", port));
    record.txt = std::move(txt);
    return record;
}

TEST(BusRegistryTest, MetadataUpdatesFollowSerialSequenceArithmetic) {
    struct Case {
        uint32_t stored, incoming;
        bool taken;
    } cases[] = {
        {5, 5, false}, {5, 6, true}, {5, 4, false}, {4294967295u, 5, true}, {0, 2147483647u, true}, {0, 2147483648u, false},
    };
    for (const auto& c : cases) {
        auto peer = BusPeer::withService(serviceRecord("Hub (Desk)", {{"sequence", std::to_string(c.stored)}}), nullptr);
        ASSERT_TRUE(peer);
        ASSERT_EQ(peer->metadataSequenceNumber(), c.stored);
        peer->netServiceDidUpdateTXTRecordData({{"sequence", std::to_string(c.incoming)}, {"displayName", "new"}});
        EXPECT_EQ(peer->metadata().count("displayName") == 1, c.taken) << c.stored << " then " << c.incoming;
    }
    // Without a sequence number an update is taken whenever it differs.
    auto peer = BusPeer::withService(serviceRecord("Hub (Desk)", {{"a", "1"}}), nullptr);
    int changes = 0;
    peer->addObserver("metadata", [&] { ++changes; });
    peer->netServiceDidUpdateTXTRecordData({{"a", "1"}});
    peer->netServiceDidUpdateTXTRecordData({{"a", "2"}});
    EXPECT_EQ(changes, 1);
}

TEST(BusRegistryTest, PeersOfUnparsableNamesAreRefusedAndAddressesMatchByPort) {
    BusLogCapture log;
    EXPECT_FALSE(BusPeer::withService(serviceRecord("nameless", {}), nullptr));
    EXPECT_TRUE(log.contains("Invalid service name nameless"));
    auto peer = BusPeer::withService(serviceRecord("Hub (Desk)", {}, 40000), nullptr);
    EXPECT_TRUE(log.contains("Warning: No peer metadata available"));
    EXPECT_EQ(peer->version(), 1);
    EXPECT_TRUE(peer->matchesAddress(*platform::SocketAddress::fromText("127.0.0.1", 40000)));
    EXPECT_FALSE(peer->matchesAddress(*platform::SocketAddress::fromText("127.0.0.1", 40001)));
    EXPECT_TRUE(peer->isAtHostWithAddress(*platform::SocketAddress::fromText("127.0.0.1", 40001)));
    EXPECT_FALSE(peer->isAtHostWithAddress(*platform::SocketAddress::fromText("::1", 40000)));
}

// A collision is never counted as a failure: it raises the suffix and tries
// again. Where every name is taken that would go on for ever, so after 32
// renames in a row the registry gives up as after four failures (becoming
// active starts it again).
TEST(BusRegistryTest, CollisionRenamesStopAfterThirtyTwoInARowRatherThanForEver) {
    BusWorld world;
    // 33 live services already hold every name the registry would try.
    for (int index = 1; index <= 33; ++index) {
        platform::DirectoryServiceDiscovery::Entry entry;
        entry.record = serviceRecord(BusRegistry::registryName("crowded", "Desk", index), {});
        entry.owner = getpid();
        ASSERT_TRUE(platform::DirectoryServiceDiscovery::writeEntry(world.servicesFolder, entry, true));
    }
    BusLogCapture log;
    BusLocalEndpoint endpoint("crowded", world.endpointOptions());
    BusRegistry registry("wirehub", &endpoint, world.discovery, world.registryOptions());
    registry.setPublishing(true);
    ASSERT_TRUE(world.pumpUntil([&] { return log.contains("Gave up publishing service"); }));
    EXPECT_FALSE(registry.publishing());
    const auto lines = log.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.rfind("Wirehub name collision: Using suffix ", 0) == 0; }),
              BusRegistry::kMaximumCollisionRenames);
    EXPECT_TRUE(log.contains("Wirehub name collision: Using suffix 33"));
    EXPECT_FALSE(log.contains("Using suffix 34"));
}

TEST(BusRegistryTest, ItsOwnServiceIsNeverAPeerAndOversizedTxtEntriesAreLeftOut) {
    BusWorld world;
    BusLogCapture log;
    BusLocalEndpoint endpoint("lonely", world.endpointOptions());
    BusRegistry registry("wirehub", &endpoint, world.discovery, world.registryOptions());
    registry.setPublishing(true);
    endpoint.setMetadata({{"displayName", "Lonely"}, {"huge", std::string(300, 'x')}});
    world.loop.advance(100 * platform::kNanosPerMillisecond);  // metadata changes coalesce for 0.1 s
    world.pumpUntil([] { return false; }, 0.3);
    EXPECT_TRUE(registry.peers().empty());
    auto entries = platform::DirectoryServiceDiscovery::readFolder(world.servicesFolder);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].record.txt.at("displayName"), "Lonely");
    EXPECT_EQ(entries[0].record.txt.count("huge"), 0u);
    EXPECT_EQ(entries[0].record.txt.at("BusVersion"), "3");
    EXPECT_EQ(entries[0].record.txt.at("deviceID"), endpoint.uniqueID());
    EXPECT_EQ(entries[0].record.txt.at("sequence"), "1");
    EXPECT_TRUE(log.contains("Warning: metadata entry huge is longer than 255 bytes"));
    EXPECT_EQ(endpoint.selfPeer()->metadata().at("displayName"), "Lonely");
}

TEST(BusRegistryTest, MetadataChangesWithinATenthOfASecondGiveOneRecord) {
    BusWorld world;
    BusLocalEndpoint endpoint("bursty", world.endpointOptions());
    BusRegistry registry("wirehub", &endpoint, world.discovery, world.registryOptions());
    registry.setPublishing(true);
    world.loop.runPending();
    for (int i = 0; i < 5; ++i) {
        endpoint.setMetadata({{"n", std::to_string(i)}});
        world.loop.advance(20 * platform::kNanosPerMillisecond);
    }
    world.loop.advance(100 * platform::kNanosPerMillisecond);
    auto entries = platform::DirectoryServiceDiscovery::readFolder(world.servicesFolder);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].record.txt.at("n"), "4");
    EXPECT_EQ(entries[0].record.txt.at("sequence"), "1");  // 0 at the start, then one new record
}

// Peers are never forgotten, so a directory flooded with entries would grow
// the list, and the address map the listener reads, without end: the registry
// keeps 1024, and a newcomer takes the place of a peer that went away.
TEST(BusRegistryTest, AtMostAThousandAndTwentyFourPeersAreKeptAndAbsentOnesMakeRoom) {
    BusWorld world;
    BusLogCapture log;
    BusLocalEndpoint endpoint("many", world.endpointOptions());
    BusRegistry registry("wirehub", &endpoint, world.discovery, world.registryOptions());
    for (int i = 0; i < 1030; ++i) {
        platform::DirectoryServiceDiscovery::Entry entry;
        entry.record = serviceRecord("peer" + std::to_string(i) + " (Desk)", {}, uint16_t(20000 + i));
        entry.owner = getpid();
        ASSERT_TRUE(platform::DirectoryServiceDiscovery::writeEntry(world.servicesFolder, entry, true));
    }
    world.discovery.rescan();
    const auto leftOut = [&] {
        const auto lines = log.lines();
        return std::count_if(lines.begin(), lines.end(),
                             [](const std::string& line) { return line.rfind("Too many peers: ", 0) == 0; });
    };
    EXPECT_TRUE(world.pumpUntil([&] { return leftOut() == 1030 - 1024; }));
    EXPECT_EQ(registry.peers().size(), BusRegistry::kMaximumPeers);

    // One goes away; the next newcomer is kept in its place.
    const std::string gone = registry.peers().front()->name();
    std::filesystem::remove(world.servicesFolder /
                            platform::DirectoryServiceDiscovery::fileName("_wirehub._udp", gone + " (Desk)"));
    world.discovery.rescan();
    ASSERT_TRUE(world.pumpUntil([&] {
        world.loop.advance(platform::kNanosPerSecond);  // reported gone after four seconds
        return !registry.peers().front()->present();
    }));
    platform::DirectoryServiceDiscovery::Entry entry;
    entry.record = serviceRecord("newcomer (Desk)", {}, 30000);
    entry.owner = getpid();
    ASSERT_TRUE(platform::DirectoryServiceDiscovery::writeEntry(world.servicesFolder, entry, true));
    world.discovery.rescan();
    ASSERT_TRUE(world.pumpUntil([&] { return registry.peers().back()->name() == "newcomer"; }));
    EXPECT_EQ(registry.peers().size(), BusRegistry::kMaximumPeers);
    for (const auto& peer : registry.peers()) EXPECT_NE(peer->name(), gone);
}

}  // namespace
}  // namespace strombel::hub::testing

namespace strombel::hub::testing {
namespace {

/// A discovery that counts the publications asked of it and passes everything on.
class CountingDiscovery final : public platform::ServiceDiscovery {
public:
    explicit CountingDiscovery(platform::ServiceDiscovery& inner) : inner_(inner) {}
    int publications = 0;
    Id publish(const platform::ServicePublication& publication, PublishHandler handler) override {
        ++publications;
        return inner_.publish(publication, std::move(handler));
    }
    bool updateTxt(Id publication, const platform::TxtRecord& txt) override { return inner_.updateTxt(publication, txt); }
    void unpublish(Id publication) override { inner_.unpublish(publication); }
    Id browse(const std::string& type, BrowseHandlers handlers) override { return inner_.browse(type, std::move(handlers)); }
    void stopBrowsing(Id browse) override { inner_.stopBrowsing(browse); }
    void resolve(const std::string& name, const std::string& type, uint64_t timeoutNanos,
                 ResolveHandler handler) override {
        inner_.resolve(name, type, timeoutNanos, std::move(handler));
    }
    Id watchTxt(const std::string& name, const std::string& type, TxtHandler handler) override {
        return inner_.watchTxt(name, type, std::move(handler));
    }
    void stopWatching(Id watch) override { inner_.stopWatching(watch); }

private:
    platform::ServiceDiscovery& inner_;
};

TEST(BusRegistryTest, AServiceIsTriedFourTimesBeforePublishingGivesUp) {
    BusWorld world;
    // A "folder" that is a file: every publication fails, and not by collision.
    auto blocked = world.temp / "blocked";
    std::ofstream(blocked) << "not a folder";
    platform::DirectoryServiceDiscovery broken(blocked, world.loop);
    CountingDiscovery counting(broken);
    BusLogCapture log;
    BusLocalEndpoint endpoint("stuck", world.endpointOptions());
    BusRegistry registry("wirehub", &endpoint, counting, world.registryOptions());
    registry.setPublishing(true);
    ASSERT_TRUE(world.pumpUntil([&] { return log.contains("Gave up publishing service"); }));
    EXPECT_FALSE(registry.publishing());
    EXPECT_EQ(counting.publications, 4) << "the first try and three more";
    EXPECT_FALSE(log.contains("Could not publish service"));  // the catch-all failure is not logged
    // Becoming active switches publishing on again, with a fresh count.
    world.notifications.post(kApplicationDidBecomeActiveNotification);
    EXPECT_TRUE(registry.publishing());
    ASSERT_TRUE(world.pumpUntil([&] { return !registry.publishing(); }));
    EXPECT_EQ(counting.publications, 8);
}

}  // namespace
}  // namespace strombel::hub::testing

namespace strombel::hub::testing {
namespace {

// Entries of the directory name whatever they like: the bus sends only to one
// host's address, and while it listens on loopback, only to this machine.
TEST(BusRegistryTest, AnnouncedAddressesAreTakenOnlyWhereTheBusMaySend) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> announced = {
        {"Far", {"198.51.100.7"}},       {"Documented", {"2001:db8::7"}}, {"Group", {"224.0.0.251"}},
        {"Everyone", {"255.255.255.255"}}, {"Nowhere", {"0.0.0.0"}},     {"Mixed", {"198.51.100.7", "127.0.0.1"}},
        {"Near", {"::1"}},
    };
    const struct {
        bool network;
        std::map<std::string, std::string> taken;  // peer name → the address it is reached at
    } cases[] = {
        {false, {{"Mixed", "127.0.0.1"}, {"Near", "::1"}}},
        {true, {{"Far", "198.51.100.7"}, {"Documented", "2001:db8::7"}, {"Mixed", "198.51.100.7"}, {"Near", "::1"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.network ? "network discovery on" : "this machine only");
        BusWorld world;
        BusLogCapture log;
        auto options = world.endpointOptions();
        options.networkDiscovery = c.network;
        BusLocalEndpoint endpoint("careful", options);
        BusRegistry registry("wirehub", &endpoint, world.discovery, world.registryOptions());
        for (const auto& [name, hosts] : announced) {
            platform::DirectoryServiceDiscovery::Entry entry;
            entry.record = serviceRecord(name + " (Desk)", {}, 4242);
            entry.record.addresses.clear();
            for (const auto& host : hosts) entry.record.addresses.push_back(*platform::SocketAddress::fromText(host, 4242));
            entry.owner = getpid();
            ASSERT_TRUE(platform::DirectoryServiceDiscovery::writeEntry(world.servicesFolder, entry, true));
        }
        world.discovery.rescan();
        ASSERT_TRUE(world.pumpUntil([&] { return registry.peers().size() == c.taken.size(); }));
        world.pumpUntil([] { return false; }, 0.1);
        std::map<std::string, std::string> taken;
        for (const auto& peer : registry.peers()) taken[peer->name()] = peer->socketAddress()->hostText();
        EXPECT_EQ(taken, c.taken);
        EXPECT_TRUE(log.contains(": it announces no address this endpoint may use"));
    }
}

// An entry written anew in place again and again: each is taken, a line a
// second says so.
TEST(BusRegistryTest, AnEntryRewrittenInPlaceIsReportedOnceASecond) {
    BusWorld world;
    BusLogCapture log;
    BusLocalEndpoint endpoint("steady", world.endpointOptions());
    BusRegistry registry("wirehub", &endpoint, world.discovery, world.registryOptions());
    auto rewrite = [&](uint16_t port) {
        platform::DirectoryServiceDiscovery::Entry entry;
        entry.record = serviceRecord("Restless (Desk)", {}, port);
        entry.owner = getpid();
        ASSERT_TRUE(platform::DirectoryServiceDiscovery::writeEntry(world.servicesFolder, entry, false));
        ASSERT_TRUE(world.pumpUntil([&] {
            const auto peers = registry.peers();
            return peers.size() == 1 && peers[0]->socketAddress()->port() == port;
        }));
    };
    for (uint16_t port = 5000; port < 5050; ++port) rewrite(port);
    const std::string line = "Peer " + registry.peers()[0]->description() + " reappeared";
    EXPECT_EQ(line, "Peer <Peer Restless (local)> reappeared") << "named and placed, no heap address";
    const auto lines = log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1);
    world.clock.advance(platform::kNanosPerSecond);
    rewrite(5050);
    EXPECT_EQ(log.lines().back(), line + " (48 more since)");
}

TEST(BusRegistryTest, NamesThatTurnTheTextAroundAreLoggedAsTheirCodes) {
    BusWorld world;
    BusLogCapture log;
    BusLocalEndpoint endpoint("careful", world.endpointOptions());
    BusRegistry registry("wirehub", &endpoint, world.discovery, world.registryOptions());
    platform::DirectoryServiceDiscovery::Entry entry;
    entry.record = serviceRecord("Invoice\u202Efdp.exe (Desk)", {}, 4242);
    entry.owner = getpid();
    ASSERT_TRUE(platform::DirectoryServiceDiscovery::writeEntry(world.servicesFolder, entry, true));
    world.discovery.rescan();
    ASSERT_TRUE(world.pumpUntil([&] { return log.contains(" appeared"); }));
    EXPECT_TRUE(log.contains("<Peer Invoice\\u202Efdp.exe (local)>")) << log.lines().back();
    for (const auto& line : log.lines()) EXPECT_EQ(line.find("\u202E"), std::string::npos) << line;
    EXPECT_EQ(escapedForLog("a\u200Fb\u2066c\u2028d\xC2\x85" "e\u00E9"), "a\\u200Fb\\u2066c\\u2028d\\u0085e\u00E9");
}

}  // namespace
}  // namespace strombel::hub::testing
