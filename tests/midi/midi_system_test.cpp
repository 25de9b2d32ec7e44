#include "midi/midi_system.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/devices/loopback_midi_backend.h"
#include "support/temp_dir.h"

namespace strombel::midi {
namespace {

using platform::LoopbackMidiBackend;

struct RecordingDelegate : MidiDelegate {
    std::vector<std::string> events;
    void sourceAdded(MidiSystem&, const std::shared_ptr<MidiSource>& s) override { events.push_back("+src " + s->name()); }
    void sourceRemoved(MidiSystem&, const std::shared_ptr<MidiSource>& s) override { events.push_back("-src " + s->name()); }
    void destinationAdded(MidiSystem&, const std::shared_ptr<MidiDestination>& d) override {
        events.push_back("+dst " + d->name());
    }
    void destinationRemoved(MidiSystem&, const std::shared_ptr<MidiDestination>& d) override {
        events.push_back("-dst " + d->name());
    }
};

struct CountingSourceDelegate : MidiSourceDelegate {
    std::atomic<int> packets{0};
    void midiReceived(MidiSource&, MidiPacketList) override { ++packets; }
};

class MidiSystemTest : public ::testing::Test {
protected:
    MidiSystemTest() { loop.bindToCurrentThread(); }

    std::unique_ptr<MidiSystem> makeSystem() {
        auto midi = std::make_unique<MidiSystem>(backend, loop, center, defaults, "Tumblecraft");
        midi->setDelegate(&delegate);
        return midi;
    }

    testing::TempDir dir;
    platform::ManualClock clock;
    platform::MainLoop loop{clock};
    platform::NotificationCenter center;
    platform::UserDefaults defaults{dir / "defaults.sqlite"};
    LoopbackMidiBackend backend{clock};
    RecordingDelegate delegate;
};

TEST_F(MidiSystemTest, WithoutHardwareOnlyTheVirtualEndpointsAppear) {
    auto midi = makeSystem();
    std::vector<std::string> posted;
    auto observer = center.addObserver("", midi.get(), [&](const platform::Notification& n) {
        auto info = std::any_cast<MidiNotificationUserInfo>(n.userInfo);
        posted.push_back(n.name + " " + info.at("connection")->name());
    });
    midi->setVirtualSourceEnabled(true);
    midi->setVirtualDestinationEnabled(true);

    EXPECT_EQ(backend.virtualEndpointCount(), 2u);
    EXPECT_TRUE(midi->sources().empty());
    EXPECT_TRUE(midi->destinations().empty());
    EXPECT_EQ(midi->numberOfConnections(), 0u);
    EXPECT_EQ(delegate.events, (std::vector<std::string>{"+dst Tumblecraft", "+src Tumblecraft"}));
    EXPECT_EQ(posted, (std::vector<std::string>{"MidiDestinationAddedNotification Tumblecraft",
                                                "MidiSourceAddedNotification Tumblecraft"}));
    // The rescan does not take our own endpoints for devices.
    loop.advance(platform::kNanosPerSecond);
    EXPECT_TRUE(midi->sources().empty());
    EXPECT_TRUE(midi->destinations().empty());
    center.removeObserver(observer);
}

TEST_F(MidiSystemTest, EnablingTwiceMakesOneEndpointAndDisablingWhenOffDoesNothing) {
    auto midi = makeSystem();
    midi->setVirtualEndpointName("Drums");
    midi->setVirtualSourceEnabled(true);
    midi->setVirtualSourceEnabled(true);
    EXPECT_EQ(backend.virtualEndpointCount(), 1u);
    EXPECT_EQ(midi->virtualSourceDestination()->name(), "Drums");
    midi->setVirtualSourceEnabled(false);
    midi->setVirtualSourceEnabled(false);
    EXPECT_EQ(backend.virtualEndpointCount(), 0u);
    EXPECT_EQ(delegate.events, (std::vector<std::string>{"+dst Drums", "-dst Drums"}));
}

TEST_F(MidiSystemTest, DevicesWithoutNotificationsAreFoundByTheRescanWithinASecond) {
    auto midi = makeSystem();
    platform::MidiEndpointRef keys = backend.addSource("Keys", false);
    backend.addDestination("Synth", false);
    EXPECT_TRUE(midi->sources().empty());
    loop.advance(platform::kNanosPerSecond);
    ASSERT_EQ(midi->sources().size(), 1u);
    EXPECT_EQ(midi->destinations().size(), 1u);
    EXPECT_EQ(backend.connectionCount(keys), 1u);

    backend.removeEndpoint(keys, false);
    loop.advance(platform::kNanosPerSecond);
    EXPECT_TRUE(midi->sources().empty());
    EXPECT_EQ(delegate.events, (std::vector<std::string>{"+dst Synth", "+src Keys", "-src Keys"}));
}

TEST_F(MidiSystemTest, AnnouncedDevicesAreConnectedOnceOnly) {
    auto midi = makeSystem();
    platform::MidiEndpointRef keys = backend.addSource("Keys");
    loop.runPending();
    loop.advance(platform::kNanosPerSecond);  // the rescan sees it too
    EXPECT_EQ(midi->sources().size(), 1u);
    EXPECT_EQ(backend.connectionCount(keys), 1u);
    backend.removeEndpoint(keys);
    loop.runPending();
    EXPECT_TRUE(midi->sources().empty());
}

TEST_F(MidiSystemTest, AnUnreadableNameReadsUnknownName) {
    backend.addSource(std::nullopt);
    auto midi = makeSystem();
    ASSERT_EQ(midi->sources().size(), 1u);
    EXPECT_EQ(midi->sources()[0]->name(), "Unknown name");
}

TEST_F(MidiSystemTest, TheVirtualDestinationKeepsItsSavedIdentifier) {
    defaults.setInteger(kMidiSavedVirtualDestinationIdKey, 777);
    auto midi = makeSystem();
    midi->setVirtualDestinationEnabled(true);
    int32_t id = 0;
    backend.uniqueId(midi->virtualDestinationEndpoint(), id);
    EXPECT_EQ(id, 777);
    EXPECT_EQ(defaults.integerForKey(kMidiSavedVirtualDestinationIdKey), 777);
}

TEST_F(MidiSystemTest, ATakenSavedIdentifierIsReplacedByTheOneGiven) {
    defaults.setInteger(kMidiSavedVirtualDestinationIdKey, 777);
    backend.takeUniqueId(777);
    auto midi = makeSystem();
    midi->setVirtualDestinationEnabled(true);
    int32_t id = 0;
    backend.uniqueId(midi->virtualDestinationEndpoint(), id);
    EXPECT_NE(id, 777);
    EXPECT_EQ(defaults.integerForKey(kMidiSavedVirtualDestinationIdKey), id);
}

TEST_F(MidiSystemTest, WithNoSavedIdentifierTheGivenOneIsStored) {
    auto midi = makeSystem();
    midi->setVirtualDestinationEnabled(true);
    int32_t id = 0;
    backend.uniqueId(midi->virtualDestinationEndpoint(), id);
    EXPECT_NE(id, 0);
    EXPECT_EQ(defaults.integerForKey(kMidiSavedVirtualDestinationIdKey), id);
}

TEST_F(MidiSystemTest, PacketsToOurVirtualDestinationReachItsSource) {
    auto midi = makeSystem();
    midi->setVirtualDestinationEnabled(true);
    CountingSourceDelegate counter;
    midi->virtualDestinationSource()->addDelegate(&counter);
    const uint8_t note[3] = {0x90, 60, 1};
    platform::MidiPacket packet{0, note};
    EXPECT_TRUE(backend.sendToVirtualDestination(midi->virtualDestinationEndpoint(), {&packet, 1}));
    EXPECT_EQ(counter.packets, 1);
    midi->virtualDestinationSource()->removeDelegate(&counter);
}

TEST_F(MidiSystemTest, SendingToNoCollectionReachesEveryDestinationEvenIfOneFails) {
    platform::MidiEndpointRef a = backend.addDestination("A");
    platform::MidiEndpointRef broken = backend.addDestination("Broken");
    platform::MidiEndpointRef b = backend.addDestination("B");
    backend.setSendFails(broken, true);
    auto midi = makeSystem();
    // Another program's virtual destination is a destination like any other.
    platform::MidiClientRef other = 0;
    platform::MidiEndpointRef otherApp = 0;
    backend.createClient("Other", nullptr, other);
    backend.createVirtualDestination(other, "Other App", [](MidiPacketList) {}, otherApp);

    const uint8_t start = 0xFA;
    EXPECT_EQ(midi->sendBytes(&start, 1, nullptr), platform::kMidiMessageSendErr);
    EXPECT_EQ(backend.receivedBy(a).size(), 1u);
    EXPECT_EQ(backend.receivedBy(b).size(), 1u);
    EXPECT_EQ(backend.receivedBy(otherApp).size(), 1u);
    EXPECT_TRUE(backend.receivedBy(broken).empty());
}

TEST_F(MidiSystemTest, SendingThroughOurVirtualSourcePublishes) {
    auto midi = makeSystem();
    midi->setVirtualSourceEnabled(true);
    MidiSystem::Destinations to = {midi->virtualSourceDestination()};
    const uint8_t note[3] = {0x9A, 60, 127};
    EXPECT_EQ(midi->sendBytes(note, 3, &to), platform::kMidiNoError);
    auto got = backend.receivedBy(midi->virtualSourceEndpoint());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].bytes, (std::vector<uint8_t>{0x9A, 60, 127}));
}

TEST_F(MidiSystemTest, AVeryLargeSendIsRefusedNotFatal) {
    platform::MidiEndpointRef synth = backend.addDestination("Synth");
    auto midi = makeSystem();
    std::vector<uint8_t> huge(70000, 0x11);
    EXPECT_EQ(midi->sendBytes(huge.data(), static_cast<uint32_t>(huge.size()), nullptr),
              platform::kMidiMessageTooLarge);
    EXPECT_EQ(midi->destinations()[0]->sendBytes(huge.data(), 65536), platform::kMidiMessageTooLarge);
    EXPECT_TRUE(backend.receivedBy(synth).empty());
    // The largest message allowed still goes.
    huge[0] = 0xF0;
    huge[65534] = 0xF7;
    EXPECT_EQ(midi->sendBytes(huge.data(), 65535, nullptr), platform::kMidiNoError);
    EXPECT_EQ(backend.receivedBy(synth).size(), 1u);
}

TEST_F(MidiSystemTest, MatchingFindsASourceAndDestinationOfOneName) {
    backend.addSource("Network", true, true);
    backend.addDestination("Network");
    backend.addSource("Pads");
    backend.addSource("Keys");
    backend.addDestination("Keys");
    backend.addSource("Box");
    backend.addDestination("Box");
    auto midi = makeSystem();
    std::shared_ptr<MidiSource> source;
    std::shared_ptr<MidiDestination> destination;
    midi->findMatchingSource(source, destination);
    ASSERT_TRUE(source && destination);
    EXPECT_EQ(source->name(), "Keys");
    EXPECT_EQ(destination->name(), "Keys");
    std::vector<std::string> avoid = {"Keys"};
    midi->findMatchingSource(source, destination, &avoid);
    EXPECT_EQ(source->name(), "Box");
    avoid.push_back("Box");
    midi->findMatchingSource(source, destination, &avoid);
    EXPECT_EQ(source, nullptr);
    EXPECT_EQ(destination, nullptr);
}

TEST_F(MidiSystemTest, DelegatesComeAndGoWhileTheReadThreadDelivers) {
    platform::MidiEndpointRef keys = backend.addSource("Keys");
    auto midi = makeSystem();
    auto source = midi->sources().at(0);
    std::atomic<bool> running{true};
    std::thread reader([&] {
        while (running) backend.play(keys, {0xF8});
    });
    for (int round = 0; round < 300; ++round) {
        auto counter = std::make_unique<CountingSourceDelegate>();
        source->addDelegate(counter.get());
        source->addDelegate(counter.get());  // once only
        EXPECT_EQ(source->delegates()->size(), 1u);
        source->removeDelegate(counter.get());
        // removeDelegate waited out reads under way: freeing the delegate is safe.
    }
    running = false;
    reader.join();
    EXPECT_TRUE(source->delegates()->empty());
}

TEST_F(MidiSystemTest, ASourceRemovedUnderARunningReadLivesUntilTheReadEnds) {
    platform::MidiEndpointRef keys = backend.addSource("Keys");
    auto midi = makeSystem();
    // The read stops in the middle until the source has been removed, then
    // touches the source it was given.
    struct Holding : MidiSourceDelegate {
        std::mutex mutex;
        std::condition_variable changed;
        bool reading = false;
        bool removed = false;
        std::string nameSeen;
        void midiReceived(MidiSource& source, MidiPacketList) override {
            std::unique_lock lock(mutex);
            reading = true;
            changed.notify_all();
            changed.wait(lock, [this] { return removed; });
            nameSeen = source.name();
        }
    } holding;
    std::weak_ptr<MidiSource> watched = midi->sources().at(0);
    midi->sources().at(0)->addDelegate(&holding);
    std::thread reader([&] { backend.play(keys, {0x90, 60, 100}); });
    {
        std::unique_lock lock(holding.mutex);
        holding.changed.wait(lock, [&] { return holding.reading; });
    }
    backend.removeEndpoint(keys);
    loop.runPending();
    EXPECT_TRUE(midi->sources().empty());
    EXPECT_FALSE(watched.expired()) << "the source went while a read was using it";
    {
        std::lock_guard lock(holding.mutex);
        holding.removed = true;
    }
    holding.changed.notify_all();
    reader.join();
    EXPECT_EQ(holding.nameSeen, "Keys");
    EXPECT_TRUE(watched.expired()) << "the source outlived its last read";
}

TEST_F(MidiSystemTest, ADelegateMayRemoveItselfDuringDelivery) {
    platform::MidiEndpointRef keys = backend.addSource("Keys");
    auto midi = makeSystem();
    struct Leaving : MidiSourceDelegate {
        int calls = 0;
        void midiReceived(MidiSource& source, MidiPacketList) override {
            ++calls;
            source.removeDelegate(this);
        }
    } leaving;
    midi->sources()[0]->addDelegate(&leaving);
    backend.play(keys, {0xF8});
    backend.play(keys, {0xF8});
    EXPECT_EQ(leaving.calls, 1);
}

TEST_F(MidiSystemTest, AllSourcesFansInEveryPacket) {
    platform::MidiEndpointRef keys = backend.addSource("Keys");
    auto midi = makeSystem();
    CountingSourceDelegate counter;
    {
        MidiAllSources all;
        all.setDelegate(&counter);
        all.setMidi(midi.get());
        platform::MidiEndpointRef pads = backend.addSource("Pads");
        loop.runPending();
        backend.play(keys, {0xF8});
        backend.play(pads, {0xF8});
        EXPECT_EQ(counter.packets, 2);
    }
    EXPECT_EQ(midi->delegate(), nullptr);
    backend.play(keys, {0xF8});
    EXPECT_EQ(counter.packets, 2);
}

TEST_F(MidiSystemTest, AClientThatCannotBeCreatedLeavesEverythingElseUncreatedButHarmless) {
    platform::MidiEndpointRef keys = backend.addSource("Keys");
    platform::MidiEndpointRef synth = backend.addDestination("Synth");
    backend.failNextClientCreation(platform::kMidiServerStartErr);
    auto midi = makeSystem();
    EXPECT_EQ(midi->outputPort(), 0u);
    EXPECT_EQ(midi->inputPort(), 0u);
    midi->setVirtualSourceEnabled(true);
    midi->setVirtualDestinationEnabled(true);
    EXPECT_FALSE(midi->virtualSourceEnabled());
    EXPECT_FALSE(midi->virtualDestinationEnabled());
    EXPECT_EQ(backend.virtualEndpointCount(), 0u);
    // The devices are listed but nothing flows.
    EXPECT_EQ(backend.connectionCount(keys), 0u);
    const uint8_t start = 0xFA;
    EXPECT_NE(midi->sendBytes(&start, 1, nullptr), platform::kMidiNoError);
    EXPECT_TRUE(backend.receivedBy(synth).empty());
}

}  // namespace
}  // namespace strombel::midi
