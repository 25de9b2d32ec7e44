// Icons and other resources both ways between this program and the simulator.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <utime.h>

#include <condition_variable>
#include <mutex>
#include <set>

#include "bus_test_support.h"
#include "hub/bus_message.h"
#include "hub/hub_peer_resource.h"
#include "platform/application_state.h"
#include "platform/png_image.h"
#include "platform/sandbox.h"

namespace strombel::hub::testing {
namespace {

using platform::kNanosPerMillisecond;

std::string sha1(const std::vector<uint8_t>& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha1(), nullptr);
    std::string text;
    for (unsigned i = 0; i < length; ++i) text += fmt::format("{:02x}", digest[i]);
    return text;
}

std::vector<uint8_t> testPng(uint32_t side, uint8_t shade) {
    std::vector<uint8_t> rgba(size_t(side) * side * 4);
    for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = uint8_t(i * 13 + shade);
    return platform::PngImage::fromRgba(side, side, rgba)->data();
}

struct ResourceWorld : BusWorld {
    std::filesystem::path bundleFolder = temp / "Test.app";
    std::vector<uint8_t> icon = testPng(120, 1);
    std::unique_ptr<platform::MainBundle> bundle;
    BusLocalEndpoint endpoint{"strombel-test", endpointOptions()};
    BusRegistry registry{"wirehub", &endpoint, discovery, registryOptions()};
    std::unique_ptr<HubPeerResourceHost> host;
    HubSimulator simulator{servicesFolder, keyFile};
    std::shared_ptr<BusPeer> hub;

    ResourceWorld() {
        std::filesystem::create_directories(bundleFolder);
        std::ofstream(bundleFolder / "Info.plist")
            << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
               "<key>CFBundleExecutable</key><string>strombel-test</string>"
               "<key>CFBundleDisplayName</key><string>Test App</string></dict></plist>";
        std::ofstream(bundleFolder / "AppIcon60x60@2x.png", std::ios::binary)
            .write(reinterpret_cast<const char*>(icon.data()), std::streamsize(icon.size()));
        auto small = testPng(20, 2);
        std::ofstream(bundleFolder / "AppIcon20x20.png", std::ios::binary)
            .write(reinterpret_cast<const char*>(small.data()), std::streamsize(small.size()));
        bundle = std::make_unique<platform::MainBundle>(bundleFolder);
        host = std::make_unique<HubPeerResourceHost>(endpoint, *bundle);
        registry.setPublishing(true);
        hub = waitForPeer(registry, "Wirehub");
        simulator.command("peer strombel-test");
    }

    HubPeerResourceManager::Options managerOptions(std::function<int64_t()> wallClock = {}) {
        HubPeerResourceManager::Options options;
        options.resourceHost = host.get();
        options.cachesFolder = temp / "Caches";
        options.displayName = "Test App";
        options.notifications = &notifications;
        options.wallClock = std::move(wallClock);
        return options;
    }
};

TEST(HubResourceTest, TheHubLoadsTheApplicationIconTheLargestOfTheBundle) {
    ResourceWorld world;
    ASSERT_TRUE(world.hub);
    // Asked with whole requests, then with requests of the identifier alone
    // (whose first segment is 0).
    for (const char* command : {"load 1", "load 1 short"}) {
        world.simulator.begin(command);
        std::string answer;
        ASSERT_TRUE(world.pumpUntil([&] { return !(answer = world.simulator.answer(1)).empty(); }));
        EXPECT_EQ(answer, "loaded " + std::to_string(world.icon.size()) + " " + sha1(world.icon)) << command;
    }
}

TEST(HubResourceTest, TheShippedBundleHasTheIconTheHubAsksFor) {
    BusWorld world;
    BusLocalEndpoint endpoint{"strombel-test", world.endpointOptions()};
    platform::MainBundle shipped(platform::Sandbox::defaultBundle());
    HubPeerResourceHost host(endpoint, shipped);
    const auto icon = host.resourceWithID(kHubApplicationIconResourceID);
    ASSERT_NE(icon, nullptr) << "no AppIcon picture in " << platform::Sandbox::defaultBundle();
    const auto png = platform::PngImage::fromData(*icon);
    ASSERT_TRUE(png.ok());
    EXPECT_EQ(png->width(), 120u) << "the larger of the two, at two pixels a point";
}

TEST(HubResourceTest, AResourceOfThreeHundredSegmentsReachesTheHubWhole) {
    ResourceWorld world;
    ASSERT_TRUE(world.hub);
    std::vector<uint8_t> resource(300 * 1472);
    for (size_t i = 0; i < resource.size(); ++i) resource[i] = uint8_t(i * 31 + (i >> 9));
    uint32_t id = world.host->addResource(resource);
    EXPECT_EQ(id, 2u);
    EXPECT_EQ(world.host->addResource({9}), 3u);
    world.simulator.begin("load " + std::to_string(id));
    std::string answer;
    ASSERT_TRUE(world.pumpUntil([&] { return !(answer = world.simulator.answer(1)).empty(); }, 30));
    EXPECT_EQ(answer, "loaded " + std::to_string(resource.size()) + " " + sha1(resource));
}

TEST(HubResourceTest, MissingAndEmptyResourcesAreAnsweredNotFound) {
    ResourceWorld world;
    ASSERT_TRUE(world.hub);
    BusLogCapture log;
    uint32_t empty = world.host->addResource({});
    for (uint32_t id : {uint32_t(77), empty}) {
        world.simulator.begin("load " + std::to_string(id));
        std::string answer;
        ASSERT_TRUE(world.pumpUntil([&] { return !(answer = world.simulator.answer(1)).empty(); }));
        EXPECT_EQ(answer, "notfound") << id;
    }
    EXPECT_TRUE(log.contains("Resource <77> not found (requested by <Peer Wirehub"));

    // Asked again and again: answered each time, logged once a second.
    const size_t lines = log.lines().size();
    for (int i = 0; i < 100; ++i) world.host->sendResource(77, world.hub, 0);
    EXPECT_EQ(log.lines().size(), lines);
    world.clock.advance(platform::kNanosPerSecond);
    world.host->sendResource(77, world.hub, 0);
    ASSERT_EQ(log.lines().size(), lines + 1);
    EXPECT_EQ(log.lines().back(),
              "Resource <77> not found (requested by " + world.hub->description() + ") (101 more since)");

    // So are requests too short to read.
    const uint8_t shortRequest[] = {3, 3, 2, 9, 77, 0, 0};
    for (int i = 0; i < 100; ++i) world.host->endpoint(world.endpoint, shortRequest, sizeof shortRequest, world.hub);
    EXPECT_EQ(log.lines().size(), lines + 2);
    EXPECT_EQ(log.lines().back(), "Invalid resource request message from " + world.hub->description());
}

TEST(HubResourceTest, AnIconFromTheHubIsCachedInMemoryAndOnDisk) {
    ResourceWorld world;
    ASSERT_TRUE(world.hub);
    auto hubIcon = testPng(64, 9);
    std::ofstream(world.temp / "hub-icon.png", std::ios::binary)
        .write(reinterpret_cast<const char*>(hubIcon.data()), std::streamsize(hubIcon.size()));
    ASSERT_EQ(world.simulator.command("serve-file 1 " + (world.temp / "hub-icon.png").string()).rfind("ok", 0), 0u);

    int64_t now = 2'000'000'000;
    HubPeerResourceManager manager(&world.endpoint, world.managerOptions([&] { return now; }));
    EXPECT_FALSE(manager.imageResourceWithID(1, world.hub));
    int loaded = 0, notified = 0;
    world.notifications.addObserver(kHubPeerResourceManagerDidLoadResourceNotification, &manager, [&](const auto& n) {
        auto info = std::any_cast<HubPeerResourceLoadInfo>(n.userInfo);
        EXPECT_EQ(info.peer, world.hub);
        EXPECT_EQ(info.resourceID, 1u);
        ++notified;
    });
    std::shared_ptr<HubPeerResourceImageProxy> image;
    manager.startLoadOfResourceWithID(1, world.hub, [&](auto proxy, auto error) {
        EXPECT_FALSE(error);
        image = proxy;
        ++loaded;
    });
    manager.startLoadOfResourceWithID(1, world.hub, [&](auto, auto) { ADD_FAILURE() << "a second load of one pair"; });
    ASSERT_TRUE(world.pumpUntil([&] { return loaded == 1; }, 20, 5 * kNanosPerMillisecond));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->image->width(), 64u);
    EXPECT_EQ(notified, 1);
    EXPECT_EQ(manager.imageResourceWithID(1, world.hub), image);

    auto file = manager.cacheFileFor("Wirehub", 1);
    EXPECT_EQ(file, world.temp / "Caches" / "Test App" / "Peer Resources" / "Wirehub.1.png");
    ASSERT_TRUE(std::filesystem::exists(file));

    // A new manager (nothing in memory) takes the file while it is young enough.
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    now = info.st_mtim.tv_sec + HubPeerResourceManager::kMaximumCacheAge - 1;
    HubPeerResourceManager fresh(&world.endpoint, world.managerOptions([&] { return now; }));
    EXPECT_TRUE(fresh.imageResourceWithID(1, world.hub));
    now = info.st_mtim.tv_sec + HubPeerResourceManager::kMaximumCacheAge + 1;
    HubPeerResourceManager stale(&world.endpoint, world.managerOptions([&] { return now; }));
    EXPECT_FALSE(stale.imageResourceWithID(1, world.hub));

    // Our own icon comes from the host, with no traffic.
    auto own = manager.imageResourceWithID(1, world.endpoint.selfPeer());
    ASSERT_TRUE(own);
    EXPECT_EQ(own->image->png().data(), world.icon);

    // The program's memory warning empties the memory: without its file, the icon is gone.
    std::filesystem::remove(file);
    EXPECT_TRUE(manager.imageResourceWithID(1, world.hub)) << "still in memory";
    world.notifications.post(platform::kApplicationDidReceiveMemoryWarningNotification);
    EXPECT_FALSE(manager.imageResourceWithID(1, world.hub));
}

// A sender whose socket is full pauses and goes on by itself once it may send
// again, even when the main loop runs its resume before its own thread has
// stopped (held there by the test): the whole resource arrives, unasked.
TEST(HubResourceTest, ASenderPausedByAFullSocketGoesOnWhicheverThreadIsFirst) {
    std::mutex mutex;
    std::condition_variable changed;
    bool resumePosted = false, resumeRan = false;
    std::atomic<bool> armed{true};
    BusWorld world;
    BusLocalEndpoint endpoint("sender", world.endpointOptions());
    int receiver = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    auto local = *platform::SocketAddress::fromText("127.0.0.1", 0);
    ASSERT_EQ(::bind(receiver, local.get(), local.length()), 0);
    socklen_t length = sizeof(sockaddr_storage);
    ::getsockname(receiver, local.get(), &length);
    platform::ServiceRecord record{"Receiver (Desk)", "_wirehub._udp", local.port(), {local}, {{"BusVersion", "3"}}};
    auto peer = BusPeer::withService(record, &endpoint);
    auto resource = std::make_shared<const std::vector<uint8_t>>(30 * 1472, 7);
    auto sender = std::make_shared<HubPeerResourceSender>(peer, 9, resource, endpoint);
    bool done = false;
    sender->setCompletionBlock([&](auto error) {
        EXPECT_FALSE(error);
        done = true;
    });
    world.loop.setWakeupHandler([&] {
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        if (world.loop.isMainThread() || std::string_view(name).starts_with("org.thrumwell") || !armed.exchange(false))
            return;
        // The sender's thread, having just posted its resume: once the
        // listener has seen room again, the main loop runs the resume while
        // this thread is held (at most 200 ms).
        for (int i = 0; i < 2000 && !endpoint.hasSocketSendBufferSpace(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::unique_lock lock(mutex);
        resumePosted = true;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::milliseconds(200), [&] { return resumeRan; });
    });
    endpoint.fillSendBufferForTesting(1);
    sender->start();
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(20), [&] { return resumePosted; }));
    }
    world.loop.runPending();
    {
        std::lock_guard lock(mutex);
        resumeRan = true;
        changed.notify_all();
    }
    EXPECT_TRUE(world.pumpUntil([&] { return done; }, 5)) << "the sender never went on";
    world.loop.setWakeupHandler({});
    size_t segments = 0;
    std::vector<uint8_t> datagram(2048);
    while (::recv(receiver, datagram.data(), datagram.size(), MSG_DONTWAIT) > 0) ++segments;
    EXPECT_EQ(segments, 30u);
    ::close(receiver);
}

TEST(HubResourceTest, ASkippedSegmentIsAskedForAgainWithoutWaitingForTheTimeOut) {
    ResourceWorld world;
    ASSERT_TRUE(world.hub);
    std::string served = world.simulator.command("serve 5 20000");
    ASSERT_EQ(world.simulator.command("skip 5 3"), "ok");
    auto loader = HubPeerResourceLoader::make(world.hub, 5, world.endpoint);
    std::vector<uint8_t> data;
    std::optional<std::optional<BusError>> result;
    loader->setDataBlock([&](const std::vector<uint8_t>& segment) { data.insert(data.end(), segment.begin(), segment.end()); });
    loader->setCompletionBlock([&](auto error) { result = error; });
    loader->start();
    ASSERT_TRUE(world.pumpUntil([&] { return result.has_value(); }, 10));  // the clock stands still
    EXPECT_FALSE(*result);
    EXPECT_EQ("ok " + sha1(data), served);
}

TEST(HubResourceTest, LoadsOfMissingTooLargeOrInconsistentResourcesFail) {
    ResourceWorld world;
    ASSERT_TRUE(world.hub);
    auto load = [&](uint32_t id, const std::vector<std::string>& raw) {
        auto loader = HubPeerResourceLoader::make(world.hub, id, world.endpoint);
        std::optional<std::optional<BusError>> result;
        loader->setDataBlock([](const std::vector<uint8_t>&) {});
        loader->setCompletionBlock([&](auto error) { result = error; });
        loader->start();
        for (const auto& bytes : raw) world.simulator.command("raw " + bytes);
        world.pumpUntil([&] { return result.has_value(); }, 10);
        return result.value_or(BusError{"none", -1, "no answer"});
    };
    auto notFound = load(99, {});
    ASSERT_TRUE(notFound);
    EXPECT_EQ(notFound->domain, kHubPeerResourceLoaderErrorDomain);
    EXPECT_EQ(notFound->code, 1);
    EXPECT_EQ(notFound->description, "Resource not found");

    ASSERT_EQ(world.simulator.command("mute 40"), "ok");
    ASSERT_EQ(world.simulator.command("mute 41"), "ok");
    auto segment = [](uint32_t id, uint32_t count, uint32_t index, uint16_t n) {
        std::vector<uint8_t> bytes(20 + n, 0x5A);
        writeResourceSegmentHeader(bytes.data(), id, count, index, n);
        std::string text;
        for (uint8_t b : bytes) text += fmt::format("{:02x}", b);
        return text;
    };
    // 6000 segments of 1472 bytes are more than 8 MiB: refused at the first.
    auto tooLarge = load(40, {segment(40, 6000, 0, 1472)});
    ASSERT_TRUE(tooLarge);
    EXPECT_EQ(tooLarge->code, 2);
    // A segment whose count differs from the first's.
    auto inconsistent = load(41, {segment(41, 2, 0, 100), segment(41, 3, 1, 100)});
    ASSERT_TRUE(inconsistent);
    EXPECT_EQ(inconsistent->code, 2);
}

// A peer that answers a load with segments whose data runs past their end,
// thousands of times: a line a second about it, saying how many it left out.
TEST(HubResourceTest, MalformedSegmentsOfALoadAreLoggedOnceASecond) {
    ResourceWorld world;
    ASSERT_TRUE(world.hub);
    ASSERT_EQ(world.simulator.command("mute 6"), "ok");
    BusLogCapture log;
    auto loader = HubPeerResourceLoader::make(world.hub, 6, world.endpoint);
    loader->setDataBlock([](const std::vector<uint8_t>&) {});
    loader->setCompletionBlock([](auto) {});
    loader->start();
    RecordingDelegate received(world.endpoint);  // after the loader: a message it counts, the loader has read
    std::vector<uint8_t> segment(20, 0);
    writeResourceSegmentHeader(segment.data(), 6, 1, 0, 100);
    std::string raw = "raw ";
    for (uint8_t b : segment) raw += fmt::format("{:02x}", b);
    auto send = [&](size_t count) {
        const size_t expected = received.count() + count;
        for (size_t i = 0; i < count; ++i) ASSERT_EQ(world.simulator.command(raw), "ok");
        ASSERT_TRUE(world.pumpUntil([&] { return received.count() >= expected; }));
    };
    send(300);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Invalid info reply packet from " + world.hub->description()});
    world.clock.advance(platform::kNanosPerSecond);
    send(1);
    EXPECT_EQ(log.lines().back(), "Invalid info reply packet from " + world.hub->description() + " (299 more since)");
    loader->cancel();
}

TEST(HubResourceTest, ALoadThatNeverAnswersFailsAtItsEleventhTimeOutAndIsTriedAgain) {
    ResourceWorld world;
    ASSERT_TRUE(world.hub);
    ASSERT_EQ(world.simulator.command("mute 8"), "ok");  // there, but it never answers
    BusLogCapture log;
    HubPeerResourceManager manager(&world.endpoint, world.managerOptions());
    int calls = 0;
    manager.startLoadOfResourceWithID(8, world.hub, [&](auto, auto) { ++calls; });
    for (int i = 0; i < 10; ++i) world.loop.advance(500 * kNanosPerMillisecond);
    EXPECT_EQ(manager.runningLoads(), 1u);
    world.loop.advance(500 * kNanosPerMillisecond);
    EXPECT_TRUE(log.contains("Timed out getting resource <8> from <Peer Wirehub"));
    EXPECT_EQ(manager.runningLoads(), 0u);
    EXPECT_EQ(calls, 0);  // a time-out is not the caller's: the load is tried again
    world.loop.advance(HubPeerResourceManager::kRetryDelay);
    EXPECT_EQ(manager.runningLoads(), 1u);
}

/// A peer that is only a UDP socket of the test's, announced in the services
/// folder: it answers nothing, and the test counts what it is sent.
struct SilentPeerWorld : BusWorld {
    BusLocalEndpoint endpoint{"strombel-test", endpointOptions()};
    BusRegistry registry{"wirehub", &endpoint, discovery, registryOptions()};
    int socket = -1;
    std::filesystem::path announcement;
    std::shared_ptr<BusPeer> peer;

    SilentPeerWorld() {
        socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
        platform::DirectoryServiceDiscovery::Entry entry;
        uint16_t port = ntohs(address.sin_port);
        entry.record = {"Silent (Desk)", "_wirehub._udp", port, {*platform::SocketAddress::fromText("127.0.0.1", port)},
                        {{"BusVersion", "3"}, {"deviceID", "5E1E0000-0000-4000-8000-000000000001"}}};
        entry.owner = ::getpid();
        platform::DirectoryServiceDiscovery::writeEntry(servicesFolder, entry, true);
        announcement = servicesFolder / platform::DirectoryServiceDiscovery::fileName("_wirehub._udp", "Silent (Desk)");
        peer = waitForPeer(registry, "Silent");
    }
    ~SilentPeerWorld() { ::close(socket); }

    /// The datagrams that reached the peer since the last call.
    int received() {
        int count = 0;
        char buffer[2048];
        while (::recv(socket, buffer, sizeof buffer, 0) > 0) ++count;
        return count;
    }
    HubPeerResourceManager::Options managerOptions() {
        HubPeerResourceManager::Options options;
        options.cachesFolder = temp / "Caches";
        options.displayName = "Test App";
        options.notifications = &notifications;
        return options;
    }
};

TEST(HubResourceTest, APeerThatNeverAnswersIsAskedABoundedNumberOfTimesEachPauseLonger) {
    SilentPeerWorld world;
    ASSERT_TRUE(world.peer);
    HubPeerResourceManager manager(&world.endpoint, world.managerOptions());
    std::vector<std::optional<BusError>> results;
    manager.startLoadOfResourceWithID(8, world.peer, [&](auto, auto error) { results.push_back(error); });
    // Half a second at a time for an hour: note when requests arrive.
    std::vector<uint64_t> times;
    for (int step = 0; step < 7200; ++step) {
        world.loop.advance(500 * kNanosPerMillisecond);
        if (step % 20 == 19) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        for (int n = world.received(); n > 0; --n) times.push_back(world.clock.nowNanos());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(world.received(), 0);
    // Each load asks 11 times; the first load and kMaximumRetries more.
    EXPECT_EQ(times.size(), size_t(11 * (1 + HubPeerResourceManager::kMaximumRetries)));
    ASSERT_EQ(results.size(), 1u);
    ASSERT_TRUE(results[0]);
    EXPECT_EQ(results[0]->domain, kHubPeerResourceLoaderErrorDomain);
    EXPECT_EQ(results[0]->code, 0);
    // The pauses between loads grow.
    std::vector<uint64_t> pauses;
    for (size_t i = 1; i < times.size(); ++i) {
        if (times[i] - times[i - 1] > platform::kNanosPerSecond) pauses.push_back(times[i] - times[i - 1]);
    }
    ASSERT_EQ(pauses.size(), size_t(HubPeerResourceManager::kMaximumRetries));
    for (size_t i = 1; i < pauses.size(); ++i) EXPECT_GT(pauses[i], pauses[i - 1]);
}

TEST(HubResourceTest, RequestsToAPeerEndWhenItGoesAway) {
    SilentPeerWorld world;
    ASSERT_TRUE(world.peer);
    HubPeerResourceManager manager(&world.endpoint, world.managerOptions());
    int calls = 0;
    for (uint32_t id : {1u, 7u, 8u}) manager.startLoadOfResourceWithID(id, world.peer, [&](auto, auto) { ++calls; });
    world.loop.advance(1200 * kNanosPerMillisecond);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GT(world.received(), 0);

    // Its announcement goes; four seconds later the registry reports it gone.
    std::filesystem::remove(world.announcement);
    ASSERT_TRUE(world.pumpUntil([&] { return !world.peer->present(); }, 20, 100 * kNanosPerMillisecond));
    world.loop.advance(600 * kNanosPerMillisecond);  // the loads' next time-out
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    world.received();
    EXPECT_EQ(manager.runningLoads(), 0u);
    // Ten minutes later it has been asked nothing more, and no block was called.
    for (int step = 0; step < 1200; ++step) world.loop.advance(500 * kNanosPerMillisecond);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(world.received(), 0);
    EXPECT_EQ(manager.runningLoads(), 0u);
    EXPECT_EQ(calls, 0);
}

TEST(HubResourceTest, AGonePeersLoadsAndWaitingRetriesAllEndAtOnce) {
    SilentPeerWorld world;
    ASSERT_TRUE(world.peer);
    HubPeerResourceManager manager(&world.endpoint, world.managerOptions());
    int calls = 0;
    manager.startLoadOfResourceWithID(7, world.peer, [&](auto, auto) { ++calls; });
    world.loop.advance(6 * platform::kNanosPerSecond);  // timed out: a retry waits
    manager.startLoadOfResourceWithID(8, world.peer, [&](auto, auto) { ++calls; });
    EXPECT_EQ(manager.runningLoads(), 1u);
    manager.cancelLoadsFromPeer(world.peer.get());  // as the controller does when the peer goes
    EXPECT_EQ(manager.runningLoads(), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    world.received();
    for (int step = 0; step < 1200; ++step) world.loop.advance(500 * kNanosPerMillisecond);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(world.received(), 0);
    EXPECT_EQ(calls, 0);
}

TEST(HubResourceTest, CacheFileNamesAreOnePlainStableComponent) {
    struct Case {
        std::string peer;
        std::string expected;
    } cases[] = {
        {"Drums", "Drums.1.png"},
        {"../../etc/passwd", "%2E.%2F..%2Fetc%2Fpasswd.1.png"},
        {".hidden", "%2Ehidden.1.png"},
        {"a/b\\c\n", "a%2Fb%5Cc%0A.1.png"},
        {"caf\xC3\xA9", "caf\xC3\xA9.1.png"},
    };
    for (const auto& c : cases) EXPECT_EQ(HubPeerResourceManager::cacheFileName(c.peer, 1), c.expected) << c.peer;
    std::string longName(300, 'x');
    std::string first = HubPeerResourceManager::cacheFileName(longName, 1);
    EXPECT_LE(first.size(), 160u);
    EXPECT_EQ(first, HubPeerResourceManager::cacheFileName(longName, 1));
    EXPECT_NE(first, HubPeerResourceManager::cacheFileName(longName + "y", 1));
}

// A manager that starts keeps the newest 200 files of the disk cache, newest
// by modification time to the nanosecond, whatever their names say.
TEST(HubResourceTest, TheDiskCacheKeepsItsTwoHundredNewestFiles) {
    for (const size_t count : {size_t(200), size_t(201), size_t(230)}) {
        SCOPED_TRACE(count);
        BusWorld world;
        const auto folder = world.temp / "Caches" / "Test App" / "Peer Resources";
        std::filesystem::create_directories(folder);
        std::set<std::string> newest;
        for (size_t i = 0; i < count; ++i) {
            // Older files get later names; two files share each second.
            const std::string name = fmt::format("Peer{:03}.1.png", count - i);
            std::ofstream(folder / name) << "png";
            const timespec modified{time_t(1'700'000'000 + i / 2), long(i % 2) * 500'000'000};
            const timespec times[2] = {modified, modified};
            ASSERT_EQ(utimensat(AT_FDCWD, (folder / name).c_str(), times, 0), 0);
            if (i + HubPeerResourceManager::kMaximumCacheFiles >= count) newest.insert(name);
        }
        HubPeerResourceManager::Options options;
        options.cachesFolder = world.temp / "Caches";
        options.displayName = "Test App";
        options.notifications = &world.notifications;
        HubPeerResourceManager manager(nullptr, options);
        std::set<std::string> kept;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) kept.insert(entry.path().filename());
        EXPECT_EQ(kept, newest);
    }
}

TEST(HubResourceTest, ContentIdentifiersAndImageResources) {
    BusWorld world;
    BusLocalEndpoint endpoint("solo", world.endpointOptions());
    strombel::testing::TempDir bundleFolder;
    platform::MainBundle bundle(bundleFolder.path());
    HubPeerResourceHost host(endpoint, bundle);
    // The SHA-1 of these four bytes begins with 190 (little-endian): 1000 is added.
    std::vector<uint8_t> content(4);
    writeU32(content.data(), 5325064);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(content.data(), 4, digest, &length, EVP_sha1(), nullptr);
    ASSERT_EQ(readU32(digest), 190u);
    EXPECT_EQ(HubPeerResourceHost::contentBasedIDFromData(content.data(), 4), 1190u);

    auto image = HubImage::fromData(testPng(8, 3));
    ASSERT_TRUE(image);
    uint32_t id = host.addImageResource(*image);
    EXPECT_GE(id, 1000u);
    EXPECT_EQ(host.addImageResource(*image), id);
    EXPECT_EQ(*host.resourceWithID(id), image->png().data());
    host.removeImageResource(*image);
    EXPECT_FALSE(host.resourceWithID(id));
    EXPECT_EQ(image->resourceID(), 0u);
    BusLogCapture log;
    EXPECT_FALSE(host.resourceWithID(1));  // a bundle without an icon
}

}  // namespace
}  // namespace strombel::hub::testing
