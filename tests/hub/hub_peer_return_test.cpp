// Programs that come, go and come back, seen by the controller through the
// directory of services: what they publish now is what it shows, their
// datagrams are heard from their new port however they came back, a program
// linked to ours takes its old place in the links, their icons are asked for
// a bounded number of times, and those that go leave nothing.

#include <gtest/gtest.h>

#include "hub/hub_record.h"
#include "hub_controller_test_support.h"
#include "platform/png_image.h"

namespace strombel::hub::testing {
namespace {

std::string hexOf(const Bytes& bytes) {
    std::string text;
    for (uint8_t b : bytes) text += fmt::format("{:02x}", b);
    return text;
}

Bytes buttonRecord(uint32_t identifier, const std::string& title) {
    Bytes record(35, 0);
    writeU16(record.data(), 35);
    writeU32(record.data() + 2, identifier);
    writeU16(record.data() + 29, uint16_t(title.size()));
    record.insert(record.end(), title.begin(), title.end());
    return record;
}

/// A port record with a name and nothing more.
Bytes namedPortRecord(const std::string& name) {
    Bytes record(29, 0);
    record[0] = 29;
    record[1] = uint8_t(name.size());
    record.insert(record.end(), name.begin(), name.end());
    return record;
}

struct ReturnWorld : ControllerWorld {
    std::unique_ptr<HubController> controller = HubController::create(options());
    std::vector<std::string> browsed;

    ReturnWorld() {
        loop.runPending();  // publication starts after the first turn
        // Browsing beside the registry, which browsed first: what this sees,
        // the registry has seen.
        platform::ServiceDiscovery::BrowseHandlers handlers;
        handlers.found = [this](const std::string& name) { browsed.push_back("+" + name); };
        handlers.removed = [this](const std::string& name) { browsed.push_back("-" + name); };
        discovery.browse("_wirehub._udp", handlers);
    }

    /// A hub that publishes one button titled `title`.
    std::unique_ptr<HubSimulator> startHub(uint32_t identifier, const std::string& title) {
        auto hub = std::make_unique<HubSimulator>(servicesFolder, keyFile);
        EXPECT_EQ(hub->ready().rfind("ready ", 0), 0u) << hub->ready();
        EXPECT_EQ(hub->command("txthex triggers[0] " + hexOf(buttonRecord(identifier, title))), "ok");
        return hub;
    }
    std::shared_ptr<HubPeer> hubPeer() const {
        for (const auto& peer : controller->peers())
            if (peer->name() == "Wirehub") return peer;
        return nullptr;
    }
    std::vector<std::string> titles() const {
        std::vector<std::string> titles;
        if (auto peer = hubPeer())
            for (const auto& trigger : peer->triggers())
                if (auto button = std::dynamic_pointer_cast<HubRemoteButtonTrigger>(trigger)) titles.push_back(button->title());
        return titles;
    }
    uint16_t hubPort() const {
        auto peer = hubPeer();
        auto bus = peer ? peer->dbPeer() : nullptr;
        auto address = bus ? bus->socketAddress() : std::nullopt;
        return address ? address->port() : 0;
    }
};

uint16_t portOf(const HubSimulator& hub) { return uint16_t(std::stoi(hub.ready().substr(6))); }

/// Announces `count` hub applications on the discard port, where nobody
/// answers, and returns their files.
std::vector<std::filesystem::path> announcePassers(ReturnWorld& world, int count) {
    std::vector<std::filesystem::path> files;
    for (int i = 0; i < count; ++i) {
        platform::DirectoryServiceDiscovery::Entry entry;
        entry.record.name = fmt::format("Passer {} (Desk)", i);
        entry.record.type = "_wirehub._udp";
        entry.record.port = uint16_t(9);
        entry.record.addresses.push_back(*platform::SocketAddress::fromText("127.0.0.1", 9));
        entry.record.txt = {{"deviceID", fmt::format("00:00:00:00:01:{:02X}", i)}, {"BusVersion", "3"}, {"version", "3"}};
        entry.owner = getpid();
        EXPECT_TRUE(platform::DirectoryServiceDiscovery::writeEntry(world.servicesFolder, entry, true));
        files.push_back(world.servicesFolder / platform::DirectoryServiceDiscovery::fileName(entry.record.type, entry.record.name));
    }
    world.discovery.rescan();
    return files;
}

TEST(HubPeerReturn, AProgramBackUnderItsNameShowsItsNewButtonsAndIsHeardFromItsNewPort) {
    const struct {
        const char* how;
        void (*end)(ReturnWorld&, HubSimulator&);
    } returns[] = {
        // The registry saw it go, and it was back within the four seconds
        // after which it would be reported gone: the same peer again.
        {"quit, seen gone, back at once",
         [](ReturnWorld& world, HubSimulator& hub) {
             hub.stop();
             ASSERT_TRUE(world.pumpUntil([&] {
                 return std::count(world.browsed.begin(), world.browsed.end(), "-Wirehub (Stage)") == 1;
             }));
         }},
        // Its file stays with a dead owner until the next one writes over it,
        // before the folder's once-a-second check of owners.
        {"killed, its name taken by the next one", [](ReturnWorld&, HubSimulator& hub) { hub.kill(); }},
        // Gone and back again while the main loop was busy elsewhere.
        {"quit and back between two turns of the loop", [](ReturnWorld&, HubSimulator& hub) { hub.stop(); }},
    };
    for (const auto& back : returns) {
        SCOPED_TRACE(back.how);
        ReturnWorld world;
        auto first = world.startHub(1, "Old");
        ASSERT_TRUE(world.pumpUntil([&] { return world.titles() == std::vector<std::string>{"Old"}; }));
        const auto peer = world.hubPeer();
        ASSERT_EQ(world.hubPort(), portOf(*first));

        back.end(world, *first);
        auto second = world.startHub(2, "New");
        ASSERT_NE(portOf(*second), portOf(*first));
        EXPECT_TRUE(world.pumpUntil([&] {
            return world.titles() == std::vector<std::string>{"New"} && world.hubPort() == portOf(*second);
        })) << "buttons " << fmt::format("{}", fmt::join(world.titles(), ", ")) << ", port " << world.hubPort();
        EXPECT_EQ(world.hubPeer(), peer) << "the same peer, never reported gone";
        ASSERT_EQ(second->command("peer strombel").rfind("peer ", 0), 0u);
        EXPECT_EQ(second->command("ping"), "pong") << "the new port's datagrams are heard";
    }
}

// A program the hub links to ours goes away for good and a new one of its name
// comes back. Until the hub sends another graph, the one in force leads to the
// program that is here now: our port's link, the connected ports and the
// stored graph name it and its port, and a trigger it fires gets our port
// linked to it, whether it publishes that port at once or once it is back.
TEST(HubPeerReturn, AProgramLinkedToOursComesBackToItsPlaceInTheLinks) {
    for (const bool publishedLater : {false, true}) {
        SCOPED_TRACE(publishedLater ? "its input published once it is back" : "its input published at once");
        ReturnWorld world;
        auto output = std::make_shared<HubSenderPort>("Strombel output", "Strombel",
                                                      AudioComponentDescription{1, 2, 3, 0, 0}, nullptr);
        world.controller->addSenderPort(output);
        std::vector<HubTrigger::PortSet> fired;
        auto mark = HubButtonTrigger::buttonTriggerWithTitle(
            "Mark", nullptr, [&](HubTrigger&, const HubTrigger::PortSet& ports) { fired.push_back(ports); },
            world.notifications);
        mark->setNumericIdentifier(77);
        world.controller->addTrigger(mark);

        auto startDrums = [&](bool withInput) {
            auto drums = std::make_unique<HubSimulator>(world.servicesFolder, world.keyFile, "127.0.0.1", "Stage", 'B',
                                                        "D0:D0", "Drums");
            if (withInput) {
                EXPECT_EQ(drums->command("txthex inputs[0] " + hexOf(namedPortRecord("Drums in"))), "ok");
            }
            return drums;
        };
        auto drumsPeer = [&]() -> std::shared_ptr<HubPeer> {
            for (const auto& peer : world.controller->peers())
                if (peer->name() == "Drums" && peer->dbPeer()) return peer;
            return nullptr;
        };
        const uint32_t input = portIdentifierFromName("Drums in");
        auto drumsInput = [&]() -> std::shared_ptr<HubPort> {
            auto peer = drumsPeer();
            auto port = peer ? peer->portWithNumericIdentifier(input) : nullptr;
            return port && port->isNamed() ? port : nullptr;
        };

        HubSimulator hub(world.servicesFolder, world.keyFile);
        auto drums = startDrums(true);
        ASSERT_TRUE(world.pumpUntil([&] { return drumsInput() != nullptr; }));
        ASSERT_EQ(hub.command("peer strombel").rfind("peer ", 0), 0u);
        ASSERT_EQ(hub.command("link-apps strombel|Strombel output|Drums|Drums in"), "sent 1");
        hub.begin("ack");
        ASSERT_TRUE(world.pumpUntil([&] { return !output->destinations().empty(); }));
        ASSERT_EQ(hub.answer(), "ack 1 0");
        ASSERT_EQ(output->destinations(), HubPortList{drumsInput()});

        drums->stop();
        ASSERT_TRUE(world.pumpUntil([&] {
            return std::count(world.browsed.begin(), world.browsed.end(), "-Drums (Stage)") == 1;
        }));
        world.loop.advance(4 * platform::kNanosPerSecond);  // reported gone
        ASSERT_EQ(drumsPeer(), nullptr);

        drums = startDrums(!publishedLater);
        ASSERT_TRUE(world.pumpUntil([&] { return drumsPeer() != nullptr; }));
        if (publishedLater) {
            ASSERT_EQ(drums->command("txthex inputs[0] " + hexOf(namedPortRecord("Drums in"))), "ok");
        }
        ASSERT_TRUE(world.pumpUntil([&] { return drumsInput() != nullptr; }));
        const auto returned = drumsPeer();
        EXPECT_EQ(output->destinations(), HubPortList{drumsInput()}) << "our link leads to the program here now";
        EXPECT_EQ(world.controller->connectedPorts(), HubPortList{drumsInput()});
        EXPECT_TRUE(world.controller->connectionGraph()->containsPeer(returned.get()));

        ASSERT_EQ(drums->command("peer strombel").rfind("peer ", 0), 0u);
        ASSERT_EQ(drums->command("fire 77"), "ok");
        ASSERT_TRUE(world.pumpUntil([&] { return !fired.empty(); }));
        EXPECT_EQ(fired.front(), HubTrigger::PortSet{output}) << "the ports linked to the program that fired it";
    }
}

TEST(HubPeerReturn, APeersIconArrivesAndItsObserversHearOfIt) {
    ReturnWorld world;
    int told = 0;
    // Watched from the moment the peer joins, before its icon is asked for.
    world.notifications.addObserver(kHubRegistryPeerAddedNotification, nullptr, [&](const platform::Notification& note) {
        if (auto* peer = std::any_cast<std::shared_ptr<HubPeer>>(&note.userInfo))
            (*peer)->addObserver("icon", [&told] { ++told; });
    });
    const auto png = platform::PngImage::fromRgba(4, 4, std::vector<uint8_t>(64, 0x80))->data();
    std::ofstream(world.temp / "icon.png", std::ios::binary)
        .write(reinterpret_cast<const char*>(png.data()), std::streamsize(png.size()));
    HubSimulator hub(world.servicesFolder, world.keyFile);
    ASSERT_EQ(hub.command("serve-file 1 " + (world.temp / "icon.png").string()).rfind("ok", 0), 0u);
    ASSERT_TRUE(world.pumpUntil([&] { return world.hubPeer() && world.hubPeer()->icon(); }));
    EXPECT_EQ(world.hubPeer()->icon()->image->width(), 4u);
    EXPECT_EQ(told, 1);
}

// An icon of 1024 x 512 pixels, sent by the hub or left in the disk cache by
// an earlier run, is shown drawn at 76 x 38, the most the panel's buttons
// show, and decoded away from the main loop, which decodes only the small one
// it keeps (and finds on disk next time).
TEST(HubPeerReturn, AHugeIconIsDrawnSmallerAwayFromTheMainLoop) {
    for (const bool cachedBefore : {false, true}) {
        SCOPED_TRACE(cachedBefore ? "in the cache" : "sent");
        ReturnWorld world;
        std::vector<uint8_t> rgba(1024 * 512 * 4);
        for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = uint8_t(i % 4 == 3 ? 255 : i / 4096);
        const auto png = platform::PngImage::fromRgba(1024, 512, rgba)->data();
        const auto cacheFile = world.controller->resourceManager().cacheFileFor("Wirehub", 1);
        for (const auto& path : {world.temp / "icon.png", cachedBefore ? cacheFile : world.temp / "icon.png"}) {
            std::filesystem::create_directories(path.parent_path());
            std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(png.data()), std::streamsize(png.size()));
        }
        HubSimulator hub(world.servicesFolder, world.keyFile);
        ASSERT_EQ(hub.command("serve-file 1 " + (world.temp / "icon.png").string()).rfind("ok", 0), 0u);
        const uint64_t before = platform::PngImage::pixelsDecodedOnThisThread();
        ASSERT_TRUE(world.pumpUntil([&] { return world.hubPeer() && world.hubPeer()->icon(); }));
        const auto& icon = world.hubPeer()->icon()->image;
        EXPECT_EQ(std::pair(icon->width(), icon->height()), std::pair(76u, 38u));
        EXPECT_LT(platform::PngImage::pixelsDecodedOnThisThread() - before, 1024u * 512u);
        std::ifstream file(cacheFile, std::ios::binary);
        const std::vector<uint8_t> kept((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        EXPECT_EQ(platform::PngImage::headerSize(kept), std::pair(76u, 38u)) << "the disk keeps what is shown";
    }
}

// Its icon never comes: asked eleven times a load, five loads with longer and
// longer pauses between, then never again (the icon's failure does not start
// the whole round anew).
TEST(HubPeerReturn, ASilentPeerIsAskedForItsIconABoundedNumberOfTimes) {
    ReturnWorld world;
    BusLogCapture log;
    HubSimulator hub(world.servicesFolder, world.keyFile);
    ASSERT_EQ(hub.command("mute 1"), "ok");
    ASSERT_TRUE(world.pumpUntil([&] { return world.hubPeer() != nullptr; }));
    world.loop.advance(400 * platform::kNanosPerSecond);
    EXPECT_EQ(hub.command("requests 1"), "requests 55");
    EXPECT_TRUE(world.controller->initializingPeers().empty()) << "shown without its icon";
    const auto lines = log.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.rfind("Gave up getting resource <1>", 0) == 0; }),
              1);
}

// Peers announced on ports where nobody answers, whose icons never come, go
// away again: nothing of them stays, neither the peers nor their loads.
TEST(HubPeerReturn, PeersThatGoLeaveNothingBehind) {
    ReturnWorld world;
    std::vector<std::weak_ptr<HubPeer>> seen;
    world.notifications.addObserver(kHubRegistryPeerAddedNotification, nullptr, [&](const platform::Notification& note) {
        if (auto* peer = std::any_cast<std::shared_ptr<HubPeer>>(&note.userInfo)) seen.push_back(*peer);
    });
    const auto files = announcePassers(world, 20);
    ASSERT_TRUE(world.pumpUntil([&] { return world.controller->initializingPeers().size() == 20; }));
    EXPECT_EQ(world.controller->resourceManager().runningLoads(), 20u);

    for (const auto& file : files) std::filesystem::remove(file);
    world.discovery.rescan();
    ASSERT_TRUE(world.pumpUntil([&] { return std::count_if(world.browsed.begin(), world.browsed.end(), [](auto& event) {
                                                 return event.rfind("-Passer", 0) == 0;
                                             }) == 20; }));
    world.loop.advance(4 * platform::kNanosPerSecond);  // reported gone
    EXPECT_TRUE(world.controller->peers().empty());
    EXPECT_TRUE(world.controller->initializingPeers().empty());
    EXPECT_EQ(world.controller->resourceManager().runningLoads(), 0u);
    ASSERT_EQ(seen.size(), 20u);
    for (const auto& peer : seen) EXPECT_TRUE(peer.expired()) << "a peer that went is freed";
}

// Another program announcing itself under thirty new names at once, none of
// which ever answers: a few lines of each kind a second, not one per name.
TEST(HubPeerReturn, ManyNewNamesAtOnceWriteAFewLinesOfEachKind) {
    ReturnWorld world;
    BusLogCapture log;
    announcePassers(world, 30);
    ASSERT_TRUE(world.pumpUntil([&] { return world.controller->initializingPeers().size() == 30; }));
    auto count = [&](const std::string& start) {
        const auto lines = log.lines();
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.rfind(start, 0) == 0; });
    };
    EXPECT_EQ(count("Saw new peer"), 10);
    world.loop.advance(6 * platform::kNanosPerSecond);  // every icon's eleventh time-out
    EXPECT_EQ(count("Timed out getting resource"), 10);
    EXPECT_EQ(count("Saw new peer"), 10);
    world.loop.advance(30 * platform::kNanosPerSecond);  // and again, once, after the pause
    EXPECT_EQ(count("Timed out getting resource"), 20);
    const auto lines = log.lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.rfind("Timed out getting resource", 0) == 0 && line.find("(and 20 more of this kind)") != std::string::npos;
    })) << "the next line tells how many were left out";
}

}  // namespace
}  // namespace strombel::hub::testing
