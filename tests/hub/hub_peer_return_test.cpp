// Programs that quit and start again under their name, seen by the controller
// through the directory of services: what they publish now is what it shows,
// and their datagrams are heard from their new port, however they came back.

#include <gtest/gtest.h>

#include "hub/hub_record.h"
#include "hub_controller_test_support.h"

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

}  // namespace
}  // namespace strombel::hub::testing
