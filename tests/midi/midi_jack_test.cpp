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
#include <cstdlib>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "midi/midi_controller.h"
#include "platform/host_time.h"
#include "platform/rtmidi_backend.h"
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

class MidiJackTest : public ::testing::Test {
protected:
    void SetUp() override {
        // ctest names the shared test server; set it here too, so that a run by
        // hand (or a helper that loses the variable) reaches the same server.
        ::setenv("JACK_DEFAULT_SERVER", "strombel-tests", 0);
        ::setenv("JACK_NO_START_SERVER", "1", 0);
        ASSERT_TRUE(platform::RtMidiBackend::jackServerRunning()) << "the test JACK server is not running";
        loop.bindToCurrentThread();
        backend = std::make_unique<platform::RtMidiBackend>(platform::RtMidiBackend::System::jack);
    }

    const std::string device = "StrombelTestDevice" + std::to_string(::getpid());
    testing::TempDir dir;
    platform::MainLoop loop;
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

// A JACK server of the test's own, which it stops and starts again.
class OwnJackServer {
public:
    explicit OwnJackServer(std::string name) : name_(std::move(name)) {}
    ~OwnJackServer() { stop(); }

    bool start() {
        std::vector<std::string> arguments = {"jackd", "--no-realtime", "--sync", "-n", name_, "-d", "dummy", "-r", "44100", "-p", "256"};
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            // The server ends with the test, even when the test crashes.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent) ::_exit(1);
            const int quiet = ::open("/dev/null", O_WRONLY);
            ::dup2(quiet, 1);
            ::dup2(quiet, 2);
            ::execvp("jackd", argv.data());
            ::_exit(127);
        }
        for (int attempt = 0; attempt < 200; ++attempt) {
            jack_status_t status{};
            if (jack_client_t* client = jack_client_open("probe", static_cast<jack_options_t>(JackServerName | JackNoStartServer), &status, name_.c_str())) {
                jack_client_close(client);
                return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);  // as a user stopping the server would
        ::waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }

    // The ports of the server whose names contain `part`.
    std::vector<std::string> ports(const std::string& part) const {
        std::vector<std::string> found;
        jack_status_t status{};
        jack_client_t* client = jack_client_open("lister", static_cast<jack_options_t>(JackServerName | JackNoStartServer), &status, name_.c_str());
        if (!client) return found;
        if (const char** names = jack_get_ports(client, nullptr, nullptr, 0)) {
            for (const char** name = names; *name; ++name) {
                if (std::string(*name).find(part) != std::string::npos) found.push_back(*name);
            }
            jack_free(names);
        }
        jack_client_close(client);
        return found;
    }

private:
    std::string name_;
    pid_t pid_ = 0;
};

TEST(MidiJackServerTest, AServerThatGoesAwayAndComesBackIsSurvived) {
    const std::string server = "strombel-midi-" + std::to_string(::getpid());
    ::setenv("JACK_DEFAULT_SERVER", server.c_str(), 1);
    ::setenv("JACK_NO_START_SERVER", "1", 1);
    OwnJackServer jack(server);
    ASSERT_TRUE(jack.start());

    testing::TempDir dir;
    platform::MainLoop loop;
    loop.bindToCurrentThread();
    platform::NotificationCenter center;
    platform::UserDefaults defaults(dir / "defaults.sqlite");
    WaitingEngine engine;
    platform::RtMidiBackend backend(platform::RtMidiBackend::System::jack);
    {
        auto device = std::make_unique<RtMidiIn>(RtMidi::UNIX_JACK, "Device");
        device->openVirtualPort("clock");
        MidiController hub({backend, loop, center, defaults, dir / "Documents", "Tumblecraft", &engine});
        ASSERT_FALSE(jack.ports(":Tumblecraft").empty());
        hub.sendClockTo("Device:clock", true);
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

        // It comes back: our virtual endpoints are published again.
        ASSERT_TRUE(jack.start());
        std::this_thread::sleep_for(1100ms);  // reconnecting is tried at most once a second
        hub.midi().scanExistingDevices();
        EXPECT_FALSE(jack.ports(":Tumblecraft").empty());
    }
    jack.stop();
}

}  // namespace
}  // namespace strombel::midi
