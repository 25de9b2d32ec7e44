// The hub over real JACK MIDI ports on the test JACK server (dummy driver): an
// outside keyboard plays a pad, and the hub's clock reaches an outside device.

#include <RtMidi.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <mutex>
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

    const std::vector<unsigned char> noteOn = {0x90, 64, 100};
    keyboard.sendMessage(&noteOn);
    std::unique_lock lock(engine.mutex);
    ASSERT_TRUE(engine.changed.wait_for(lock, 5s, [&] { return !engine.starts.empty(); }));
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

    hub.sendClockStart();
    const uint64_t now = platform::hostTimeNow();
    const uint64_t tick = platform::nanosToHostTime(60'000'000'000ull / 128 / 24);
    for (uint64_t k = 0; k < 24; ++k) hub.sendClockTickAtTime(now + k * tick);

    std::unique_lock lock(listener.mutex);
    ASSERT_TRUE(listener.changed.wait_for(lock, 5s, [&] { return listener.bytes.size() >= 25; }));
    EXPECT_EQ(listener.bytes[0], 0xFA);
    EXPECT_EQ(std::count(listener.bytes.begin(), listener.bytes.end(), 0xF8), 24);
}

}  // namespace
}  // namespace strombel::midi
