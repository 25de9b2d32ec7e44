// The program's end while a hub peer of this machine talks to it: what the main
// loop still holds once the program has been taken down goes before the shared
// instances it reaches.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "app/shared_services.h"
#include "hub/bus_local_endpoint.h"
#include "hub/bus_peer.h"
#include "hub/bus_registry.h"
#include "hub/hub_controller.h"
#include "platform/directory_service_discovery.h"
#include "platform/main_bundle.h"
#include "platform/main_loop.h"
#include "platform/notification_center.h"
#include "platform/user_defaults.h"
#include "support/temp_dir.h"

namespace strombel::app {
namespace {

using Clock = std::chrono::steady_clock;

/// Counts the peer's datagrams that the bus listener handed to the endpoint's
/// delegates, after the controller's own.
struct Arrivals final : hub::BusLocalEndpointDelegate {
    std::atomic<int> count{0};
    void endpoint(hub::BusLocalEndpoint&, const uint8_t*, uint64_t,
                  const std::shared_ptr<hub::BusPeer>&) override {
        ++count;
    }
};

[[noreturn]] void fail(const char* why) {
    std::fprintf(stderr, "%s\n", why);
    std::_Exit(1);
}

/// In a process of its own, as the program ends: a hub peer appears in the
/// discovery folder and is resolved on the program's own loop and centre
/// (made in the program's order, the loop first); its request for the
/// program's icon comes after the loop's last turn, so the bus listener leaves
/// it queued with the peer. The program is taken down, then what lives for the
/// whole process. Ends with 0 when nothing the loop held is left.
[[noreturn]] void endWithAPeersRequestQueued() {
    platform::MainLoop& loop = platform::MainLoop::shared();
    loop.bindToCurrentThread();
    platform::NotificationCenter& center = platform::NotificationCenter::shared();
    testing::TempDir dir;
    std::filesystem::create_directories(dir / "bundle");
    std::ofstream(dir / "bundle" / "Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
           "<key>CFBundleExecutable</key><string>strombel</string>"
           "<key>CFBundleURLTypes</key><array><dict><key>CFBundleURLSchemes</key>"
           "<array><string>strombel.wirehub</string></array></dict></array></dict></plist>";
    platform::MainBundle bundle(dir / "bundle");
    platform::UserDefaults defaults(dir / "defaults.sqlite");
    auto discovery = std::make_unique<platform::DirectoryServiceDiscovery>(dir / "services", loop);
    hub::HubController::Options options;
    options.discovery = discovery.get();
    options.loop = &loop;
    options.notifications = &center;
    options.defaults = &defaults;
    options.bundle = &bundle;
    options.bindAddress = platform::SocketAddress::fromText("127.0.0.1", 0);
    options.publishSenderPortsOnJack = false;
    options.realTimeListener = false;
    options.resourceOptions.cachesFolder = dir / "caches";
    auto controller = hub::HubController::create(std::move(options));
    if (!controller) fail("no hub controller");

    // The peer: a UDP socket of this machine, announced in the folder as a peer's
    // program announces itself.
    const int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    auto bound = platform::SocketAddress::fromText("127.0.0.1", 0).value();
    socklen_t length = bound.length();
    ::bind(socket, bound.get(), length);
    ::getsockname(socket, bound.get(), &length);
    platform::DirectoryServiceDiscovery::Entry entry;
    entry.record.name = "Drummer (Stage)";
    entry.record.type = "_wirehub._udp";
    entry.record.port = bound.port();
    entry.record.addresses = {bound};
    entry.record.txt = {{"deviceID", "0A:1B:2C:3D:4E:5F"},
                        {"BusVersion", "3"},
                        {"version", "3"},
                        {"SDK version", "2.1.4"},
                        {"launchURL", "drummer.wirehub://"},
                        {"capabilities", "1"}};
    entry.owner = ::getpid();
    platform::DirectoryServiceDiscovery::writeEntry(dir / "services", entry, false);

    const auto deadline = Clock::now() + std::chrono::seconds(20);
    std::weak_ptr<hub::BusPeer> peer;
    while (peer.expired()) {
        if (Clock::now() > deadline) fail("the peer was never resolved");
        loop.runPending();
        for (const auto& seen : controller->registry().peers())
            if (seen->name() == "Drummer") peer = seen;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    Arrivals arrivals;
    controller->localEndpoint().addDelegate(&arrivals);
    const uint8_t iconRequest[] = {3, 3, 2, 9, 1, 0, 0, 0, 0, 0, 0, 0};
    const auto program = platform::SocketAddress::fromText(
        "127.0.0.1", uint16_t(controller->localEndpoint().socketPort()));
    ::sendto(socket, iconRequest, sizeof iconRequest, 0, program->get(), program->length());
    while (arrivals.count == 0) {
        if (Clock::now() > deadline) fail("the peer's request never came");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    controller->localEndpoint().removeDelegate(&arrivals);

    controller.reset();
    discovery.reset();
    endSharedServices();
    if (!peer.expired()) fail("the main loop still holds the peer as the shared instances go");
    std::exit(0);  // the shared instances go now
}

TEST(ProgramEnd, APeersRequestQueuedAsTheProgramIsTakenDownGoesBeforeTheSharedInstances) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(endWithAPeersRequestQueued(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace strombel::app
