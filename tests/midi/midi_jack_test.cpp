// The hub over real JACK MIDI ports on the test JACK server (dummy driver): an
// outside keyboard plays a pad, and the hub's clock reaches an outside device.

#include <RtMidi.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/prctl.h>
#if defined(__SANITIZE_ADDRESS__) || defined(__has_feature)
#include <sanitizer/lsan_interface.h>
#endif
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "midi/midi_controller.h"
#include "platform/host_time.h"
#include "platform/devices/jack_clients.h"
#include "platform/devices/jack_opener.h"
#include "platform/devices/rtmidi_backend.h"
#include "support/own_jack_server.h"
#include "support/refusing_jack_open.h"
#include "support/temp_dir.h"

namespace strombel::midi {
namespace {

using namespace std::chrono_literals;

struct WaitingEngine : MidiSoundEngine {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<int64_t, double>> starts;
    void startSoundbankSample(int64_t pad, double velocity) override {
        std::lock_guard lock(mutex);
        starts.emplace_back(pad, velocity);
        changed.notify_all();
    }
    void stopSoundbankSample(int64_t) override {}
    void startTrackForMidiNote(int32_t, double) override {}
    void stopTrackForMidiNote(int32_t) override {}
};

// An outside device listening to the hub's clock.
struct ClockListener {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<uint8_t> bytes;
    static void callback(double, std::vector<unsigned char>* message, void* self) {
        auto* listener = static_cast<ClockListener*>(self);
        std::lock_guard lock(listener->mutex);
        listener->bytes.insert(listener->bytes.end(), message->begin(), message->end());
        listener->changed.notify_all();
    }
};

// libjack names a client's socket after the client alone, whatever its server:
// tests running at once on other servers of the machine (other builds) would
// take each other's sockets. The backend's first client names its JACK clients,
// so the hub's go by a name of this process.
void nameClientsAfterThisProcess(platform::RtMidiBackend& backend) {
    platform::MidiClientRef client = 0;
    backend.createClient("Strombel MIDI Client " + std::to_string(::getpid()), {}, client);
}

class MidiJackTest : public ::testing::Test {
protected:
    void SetUp() override {
        // ctest names the shared test server; set it here too, so that a run by
        // hand (or a helper that loses the variable) reaches the same server.
        ::setenv("JACK_DEFAULT_SERVER", "strombel-tests", 0);
        ::setenv("JACK_NO_START_SERVER", "1", 0);
        ASSERT_TRUE(platform::RtMidiBackend::jackServerRunning()) << "the test JACK server is not running";
        loop.bindToCurrentThread();
        backend = std::make_unique<platform::RtMidiBackend>(
            platform::RtMidiBackend::System::jack, platform::SystemClock::shared(), platform::JackOpener::shared());
        nameClientsAfterThisProcess(*backend);
    }

    const std::string device = "StrombelTestDevice" + std::to_string(::getpid());
    testing::TempDir dir;
    platform::MainLoop loop{platform::SystemClock::shared()};
    platform::NotificationCenter center;
    platform::UserDefaults defaults{dir / "defaults.sqlite"};
    std::unique_ptr<platform::RtMidiBackend> backend;
    WaitingEngine engine;
};

TEST_F(MidiJackTest, AKeyboardOnAJackPortPlaysAPad) {
    RtMidiOut keyboard(RtMidi::UNIX_JACK, device);
    keyboard.openVirtualPort("keys");
    MidiController hub({*backend, loop, center, defaults, dir / "Documents", "Tumblecraft", &engine});
    const std::string name = device + ":keys";
    ASSERT_TRUE(hub.midi().findSourceCalled(name)) << "the keyboard's port is not among the sources";
    hub.receiveNotesFrom(name, true);

    // A new JACK connection carries messages only from a later process cycle on:
    // the keyboard plays the note again until it gets through.
    const std::vector<unsigned char> noteOn = {0x90, 64, 100};
    std::unique_lock lock(engine.mutex);
    const auto giveUp = std::chrono::steady_clock::now() + 10s;
    while (engine.starts.empty() && std::chrono::steady_clock::now() < giveUp) {
        lock.unlock();
        keyboard.sendMessage(&noteOn);
        lock.lock();
        engine.changed.wait_for(lock, 50ms, [&] { return !engine.starts.empty(); });
    }
    ASSERT_FALSE(engine.starts.empty()) << "the note never reached the hub";
    EXPECT_EQ(engine.starts[0].first, 4);
    EXPECT_DOUBLE_EQ(engine.starts[0].second, 1.0);
}

TEST_F(MidiJackTest, ClockGoesOutToAJackPort) {
    ClockListener listener;
    RtMidiIn device(RtMidi::UNIX_JACK, this->device);
    device.ignoreTypes(true, false, true);
    device.setCallback(&ClockListener::callback, &listener);
    device.openVirtualPort("clock");
    MidiController hub({*backend, loop, center, defaults, dir / "Documents", "Tumblecraft", &engine});
    const std::string name = this->device + ":clock";
    ASSERT_TRUE(hub.midi().findDestinationCalled(name)) << "the device's port is not among the destinations";
    hub.sendClockTo(name, true);

    // A new JACK connection carries messages only from a later process cycle on,
    // which a loaded machine can hold back for a while: wait until a stop gets
    // through before the clock that is checked.
    {
        std::unique_lock lock(listener.mutex);
        const auto giveUp = std::chrono::steady_clock::now() + 10s;
        while (listener.bytes.empty() && std::chrono::steady_clock::now() < giveUp) {
            lock.unlock();
            hub.sendClockStop();
            lock.lock();
            listener.changed.wait_for(lock, 50ms, [&] { return !listener.bytes.empty(); });
        }
        ASSERT_FALSE(listener.bytes.empty()) << "nothing reached the device's port";
    }
    std::this_thread::sleep_for(100ms);  // stops still on their way arrive before the count starts
    {
        std::lock_guard lock(listener.mutex);
        listener.bytes.clear();
    }

    hub.sendClockStart();
    const uint64_t now = platform::hostTimeNow();
    const uint64_t tick = platform::nanosToHostTime(60'000'000'000ull / 128 / 24);
    for (uint64_t k = 0; k < 24; ++k) hub.sendClockTickAtTime(now + k * tick);

    std::unique_lock lock(listener.mutex);
    ASSERT_TRUE(listener.changed.wait_for(lock, 5s, [&] { return listener.bytes.size() >= 25; }))
        << "arrived: " << ::testing::PrintToString(listener.bytes) << ", last backend error: " << backend->lastError();
    EXPECT_EQ(listener.bytes[0], 0xFA);
    EXPECT_EQ(std::count(listener.bytes.begin(), listener.bytes.end(), 0xF8), 24);
}

TEST_F(MidiJackTest, ADeviceRestartedBetweenTwoRescansIsConnectedAgain) {
    auto keyboard = std::make_unique<RtMidiOut>(RtMidi::UNIX_JACK, device);
    keyboard->openVirtualPort("keys");
    ClockListener listener;
    auto drums = std::make_unique<RtMidiIn>(RtMidi::UNIX_JACK, device + "-drums");
    drums->ignoreTypes(true, false, true);
    drums->setCallback(&ClockListener::callback, &listener);
    drums->openVirtualPort("clock");
    MidiController hub({*backend, loop, center, defaults, dir / "Documents", "Tumblecraft", &engine});
    const std::string keys = device + ":keys", clock = device + "-drums:clock";
    ASSERT_TRUE(hub.midi().findSourceCalled(keys));
    ASSERT_TRUE(hub.midi().findDestinationCalled(clock));
    hub.receiveNotesFrom(keys, true);
    hub.sendClockTo(clock, true);

    // Both devices restart (their ports go and come back under the same names)
    // while no rescan looks.
    keyboard->closePort();
    keyboard->openVirtualPort("keys");
    drums->closePort();
    drums->openVirtualPort("clock");

    // The next rescans connect them again: the keyboard plays, the drums hear
    // the clock. (A new JACK connection carries messages only from a later
    // process cycle on: each try plays the note and sends a stop again.)
    const std::vector<unsigned char> noteOn = {0x90, 64, 100};
    const auto giveUp = std::chrono::steady_clock::now() + 10s;
    bool played = false, heard = false;
    while ((!played || !heard) && std::chrono::steady_clock::now() < giveUp) {
        hub.midi().scanExistingDevices();
        keyboard->sendMessage(&noteOn);
        hub.sendClockStop();
        std::this_thread::sleep_for(50ms);
        hub.waitUntilActionThreadIdle();
        {
            std::lock_guard lock(engine.mutex);
            played = !engine.starts.empty();
        }
        std::lock_guard lock(listener.mutex);
        heard = !listener.bytes.empty();
    }
    EXPECT_TRUE(played) << "the restarted keyboard's notes never reached the hub";
    EXPECT_TRUE(heard) << "the clock never reached the restarted drums";
    const auto rows = hub.sources();
    EXPECT_EQ(std::count_if(rows.begin(), rows.end(), [&](const MidiPort& row) { return row.name == keys; }), 1);
}

TEST_F(MidiJackTest, AnotherStrombelsPortsAreSeenAndOursAreNot) {
    MidiController hub({*backend, loop, center, defaults, dir / "Documents", "Tumblecraft", &engine});
    // Another Strombel's clients carry the names ours do (JACK numbers them).
    RtMidiOut other(RtMidi::UNIX_JACK, "Strombel MIDI Client " + std::to_string(::getpid()));
    other.openVirtualPort("Tumblecraft");
    hub.midi().scanExistingDevices();
    std::vector<std::string> named;
    for (const auto& source : hub.midi().sources())
        if (source->name().ends_with(":Tumblecraft")) named.push_back(source->name());
    ASSERT_EQ(named.size(), 1u) << "ours must stay out, the other one's must be in: "
                                << ::testing::PrintToString(named);
    EXPECT_TRUE(named[0].starts_with("Strombel MIDI Client ")) << named[0];
}

// An RtMidi object whose JACK server went away is never closed: closing it would
// touch a client libjack has torn down. Not a leak to the leak checker.
void leaveAlone(std::unique_ptr<RtMidiIn> object) {
    RtMidiIn* left = object.release();
#if defined(__SANITIZE_ADDRESS__)
    __lsan_ignore_object(left);
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    __lsan_ignore_object(left);
#endif
#endif
    static_cast<void>(left);
}

std::string ownServerName() { return testing::OwnJackServer::nameFor("comes-and-goes"); }

// Two processes opening JACK clients of one name at the same moment can refuse
// each other's while the server answers all along: the hub asks again, and
// nothing reaches standard error.
TEST_F(MidiJackTest, AnOpeningRefusedBesideAServerThatAnswersIsAskedAgainAndNothingIsSaid) {
    const std::filesystem::path errors = dir / "errors";
    std::fflush(stderr);
    const int kept = ::dup(2);
    const int file = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ::dup2(file, 2);
    strombel::testing::refuseJackOpenings("Strombel MIDI Client", 2);
    auto hub = std::make_unique<MidiController>(
        MidiController::Setup{*backend, loop, center, defaults, dir / "Documents", "Tumblecraft", &engine});
    std::cerr.flush();
    std::fflush(stderr);
    ::dup2(kept, 2);
    ::close(kept);
    ::close(file);
    EXPECT_EQ(strombel::testing::jackOpeningsStillRefused(), 0);
    std::ifstream written(errors);
    const std::string said((std::istreambuf_iterator<char>(written)), std::istreambuf_iterator<char>());
    EXPECT_EQ(said.find("JACK server not running"), std::string::npos) << said;

    // The hub's own source and destination are on the server as it starts.
    jack_client_t* lister = jack_client_open(("lister " + std::to_string(::getpid())).c_str(), JackNoStartServer, nullptr);
    ASSERT_NE(lister, nullptr);
    const std::string ours = "Strombel MIDI Client " + std::to_string(::getpid());
    auto published = [&] {
        const char** ports = jack_get_ports(lister, ":Tumblecraft$", JACK_DEFAULT_MIDI_TYPE, 0);
        int found = 0;
        for (const char** port = ports; port && *port; ++port) found += std::string(*port).rfind(ours, 0) == 0;
        jack_free(ports);
        return found;
    };
    EXPECT_EQ(published(), 2) << "the hub's virtual source and destination";
    EXPECT_TRUE(hub->midi().backend().available());
    hub.reset();
    jack_client_close(lister);
}

TEST(JackOpeningTest, AClientRefusedWhileTheServerAnswersIsOpenedOnAnotherTryAndGivenUpAtLast) {
    ::setenv("JACK_DEFAULT_SERVER", "strombel-tests", 0);
    ::setenv("JACK_NO_START_SERVER", "1", 0);
    const std::string name = "Strombel refused " + std::to_string(::getpid());
    strombel::testing::refuseJackOpenings(name, 2);
    jack_client_t* client = platform::openJackClient(name);
    ASSERT_NE(client, nullptr) << "asked again while the server answers";
    EXPECT_EQ(strombel::testing::jackOpeningsStillRefused(), 0);
    jack_client_close(client);

    strombel::testing::refuseJackOpenings(name, 100);
    EXPECT_EQ(platform::openJackClient(name), nullptr);
    EXPECT_EQ(strombel::testing::jackOpeningsStillRefused(), 100 - platform::kJackOpeningTries) << "tries are counted";
    strombel::testing::refuseJackOpenings(name, 0);
}

TEST(MidiJackServerTest, AServerThatGoesAwayAndComesBackIsSurvived) {
    testing::TempDir dir;
    testing::OwnJackServer jack(ownServerName(), dir / "jackd.log");
    ::setenv("JACK_DEFAULT_SERVER", jack.name().c_str(), 1);
    ::setenv("JACK_NO_START_SERVER", "1", 1);
    ASSERT_TRUE(jack.start()) << jack.why();

    platform::MainLoop loop{platform::SystemClock::shared()};
    loop.bindToCurrentThread();
    platform::NotificationCenter center;
    platform::UserDefaults defaults(dir / "defaults.sqlite");
    WaitingEngine engine;
    platform::RtMidiBackend backend(platform::RtMidiBackend::System::jack, platform::SystemClock::shared(),
                                   platform::JackOpener::shared());
    nameClientsAfterThisProcess(backend);
    {
        const std::string deviceName = "StrombelTestDevice" + std::to_string(::getpid());
        auto device = std::make_unique<RtMidiIn>(RtMidi::UNIX_JACK, deviceName);
        device->openVirtualPort("clock");
        MidiController hub({backend, loop, center, defaults, dir / "Documents", "Tumblecraft", &engine});
        ASSERT_FALSE(jack.ports(":Tumblecraft").empty());
        hub.sendClockTo(deviceName + ":clock", true);
        hub.sendClockStart();
        hub.waitUntilActionThreadIdle();  // the start went out (from the action thread) while the server ran

        // The server goes away, with our clients and the device's on it. (The
        // device's own RtMidi object is left alone from here on, as ours are.)
        jack.stop();
        leaveAlone(std::move(device));  // never closed: its server is gone
        const uint64_t now = platform::hostTimeNow();
        for (uint64_t k = 1; k <= 12; ++k) hub.sendClockTickAtTime(now + k * 1'000'000);
        std::this_thread::sleep_for(30ms);
        hub.midi().scanExistingDevices();
        EXPECT_TRUE(hub.destinations().empty());

        // It comes back: the rescan (which tries at most once a second) takes it
        // up again and publishes our virtual endpoints on it.
        // A server started anew can hold a new client for seconds, longer on a
        // busy machine.
        ASSERT_TRUE(jack.start()) << jack.why();
        const auto giveUp = std::chrono::steady_clock::now() + 30s;
        while (jack.ports(":Tumblecraft").empty() && std::chrono::steady_clock::now() < giveUp) {
            hub.midi().scanExistingDevices();
            std::this_thread::sleep_for(100ms);
        }
        EXPECT_FALSE(jack.ports(":Tumblecraft").empty()) << "last backend error: " << backend.lastError();
    }
    jack.stop();
}

}  // namespace
}  // namespace strombel::midi
