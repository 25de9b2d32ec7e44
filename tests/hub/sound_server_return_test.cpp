// The program's JACK clients under a server that stops and comes back, on a
// server of the test's own (dummy driver, 48 kHz): the engine's output, the
// sender port and the MIDI ports. The engine plays on to the null device and
// says so; once the server is back the output is heard again within three
// seconds and the sender port's ports are there again; and whatever is torn
// down while the server is away ends cleanly.

#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "engine/engine_test_support.h"
#include "hub/hub_port.h"
#include "platform/devices/jack_clients.h"
#include "platform/devices/jack_opener.h"
#include "platform/devices/rtaudio_device.h"
#include "platform/devices/rtmidi_backend.h"
#include "support/own_jack_server.h"

namespace strombel::hub {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

/// A client of the test with one input port, which keeps the loudest sample it heard.
class Listener {
public:
    explicit Listener(const strombel::testing::OwnJackServer& server) {
        client_ = server.open("strombel-test-listener-" + std::to_string(::getpid()));
        if (!client_) return;
        port_ = jack_port_register(client_, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        jack_set_process_callback(client_, &Listener::process, this);
        jack_activate(client_);
    }
    // A listener whose server went away is left alone, as the program leaves its own.
    ~Listener() {
        if (client_ && !gone_) jack_client_close(client_);
    }
    void serverGone() { gone_ = true; }
    bool open() const { return port_ != nullptr; }
    /// Connects `source` to our port once it exists; false until then.
    bool listenTo(const std::string& source) {
        return jack_connect(client_, source.c_str(), jack_port_name(port_)) == 0 ||
               jack_port_connected_to(port_, source.c_str());
    }
    float loudest() const { return loudest_.load(); }

private:
    static int process(jack_nframes_t frames, void* self) {
        auto* listener = static_cast<Listener*>(self);
        const auto* samples = static_cast<const float*>(jack_port_get_buffer(listener->port_, frames));
        float loudest = listener->loudest_.load(std::memory_order_relaxed);
        for (jack_nframes_t i = 0; i < frames; ++i) loudest = std::max(loudest, std::fabs(samples[i]));
        listener->loudest_.store(loudest, std::memory_order_relaxed);
        return 0;
    }
    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
    bool gone_ = false;
    std::atomic<float> loudest_{0};
};

class SoundServerReturnTest : public engine::testing::EngineTest {
protected:
    SoundServerReturnTest()
        : jack_(strombel::testing::OwnJackServer::nameFor("stops-and-returns"), temp_ / "jackd.log", 48000) {}

    /// The server, and on it what the program keeps there: the engine's output,
    /// the sender port and a MIDI endpoint; and the test's listener, hearing the
    /// engine's output.
    void SetUp() override {
        // Freed memory is overwritten at once, as a busy program soon reuses it:
        // whatever touches a client libjack has freed fails here, not by chance.
        mallopt(M_PERTURB, 0xa5);
        realLoop_.bindToCurrentThread();
        ::setenv("JACK_DEFAULT_SERVER", jack_.name().c_str(), 1);
        ::setenv("JACK_NO_START_SERVER", "1", 1);
        ASSERT_TRUE(jack_.start()) << jack_.why();
        setBank(0, {addSample("hit", engine::testing::constantMono(2205, 16000))});
        library_.setSamples(samples_);
        library_.setBank(0, banks_[0]);
        box_ = std::make_unique<engine::SoundBox>(
            std::make_unique<platform::FailoverAudioDevice>(
                std::make_unique<platform::RtAudioDevice>(platform::RtAudioDevice::Backend::Jack), nullptr,
                &platform::JackOpener::shared()),
            sandbox_, realLoop_, &library_);
        // A server started a moment ago, under the name the test before had
        // stopped, now and then refuses the very first open (RtAudio's device
        // count comes back 0): the engine then plays on its stand-in and takes
        // the server at its next look, as a user's program does.
        runUntil([&] { return box_->audioUnit().name() == "RtAudio (JACK)"; }, 10);
        ASSERT_EQ(box_->audioUnit().name(), "RtAudio (JACK)");
        ASSERT_TRUE(box_->running()) << box_->audioUnit().lastError();
        box_->currentSoundbankChanged(0);
        box_->waitForPreloads();
        box_->addDelegate(&observer_);
        port_ = std::make_shared<HubSenderPort>("Strombel output", "Strombel", AudioComponentDescription{},
                                                &box_->audioUnit());
        port_->startPublishing(client_, realLoop_, platform::JackOpener::shared());
        ASSERT_TRUE(runUntil([&] { return port_->publishing(); }, 10));
        midi_ = std::make_unique<platform::RtMidiBackend>(
            platform::RtMidiBackend::System::jack, platform::SystemClock::shared(), platform::JackOpener::shared());
        platform::MidiClientRef midiClient = 0;
        platform::MidiEndpointRef endpoint = 0;
        ASSERT_EQ(midi_->createClient("Strombel test MIDI " + std::to_string(::getpid()), {}, midiClient),
                  platform::kMidiNoError);
        ASSERT_EQ(midi_->createVirtualSource(midiClient, "Tumblecraft", endpoint), platform::kMidiNoError);
        listener_ = std::make_unique<Listener>(jack_);
        ASSERT_TRUE(listener_->open());
        // The engine's client carries a number when an earlier case of this
        // process lost its server: a name is never used twice in one process.
        ASSERT_TRUE(playUntil(
            [&] {
                const std::string output = portOf("Strombel", "outport 0");
                return !output.empty() && listener_->listenTo(output) && listener_->loudest() > 0.1f;
            },
            5))
            << "heard before the loss";
    }

    ~SoundServerReturnTest() override {
        // An opening under way delivers to this test's main loop.
        platform::JackOpener::shared().waitIdle(std::chrono::seconds(10));
    }

    /// The full name of `port` of `client`, which after a loss carries a number
    /// ("client-3:port"); empty when the server has no such port.
    std::string portOf(const std::string& client, const std::string& port) const {
        for (const std::string& name : jack_.ports(":" + port)) {
            const size_t colon = name.find(':');
            const std::string owner = name.substr(0, colon);
            if (owner == client) return name;
            if (owner.rfind(client + "-", 0) == 0 &&
                owner.find_first_not_of("0123456789", client.size() + 1) == std::string::npos)
                return name;
        }
        return {};
    }

    /// Stops the server under the playing engine and waits until the engine says so.
    void stopServer() {
        jack_.stop();
        listener_->serverGone();
        ASSERT_TRUE(playUntil([&] { return box_->outputLost(); }, 5));
    }

    /// Goes as the program goes: the sender port, the MIDI ports, the engine.
    void tearDownInTheProgramsOrder() {
        port_.reset();
        midi_.reset();
        box_.reset();
    }

    /// Plays pad 0 every 100 ms while the main loop runs, until `done` or `seconds` pass.
    bool playUntil(const std::function<bool()>& done, double seconds) {
        auto nextHit = Clock::now();
        return runUntil(done, seconds, [&] {
            if (Clock::now() < nextHit) return;
            box_->startSoundbankSample(0, 1.0f);
            nextHit += 100ms;
        });
    }

    /// Runs the main loop (and `each` before every turn) until `done` or `seconds` pass.
    bool runUntil(const std::function<bool()>& done, double seconds, const std::function<void()>& each = {}) {
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < end) {
            if (each) each();
            realLoop_.runPending();
            if (done()) return true;
            std::this_thread::sleep_for(2ms);
        }
        return done();
    }

    strombel::testing::OwnJackServer jack_;
    platform::MainLoop realLoop_{platform::SystemClock::shared()};  // in real time: JACK runs in real time
    engine::testing::RecordingDelegate observer_;
    const std::string client_ = "strombel-test-" + std::to_string(::getpid());
    std::unique_ptr<engine::SoundBox> box_;
    std::shared_ptr<HubSenderPort> port_;
    std::unique_ptr<platform::RtMidiBackend> midi_;
    std::unique_ptr<Listener> listener_;
};

TEST_F(SoundServerReturnTest, EverythingEndsCleanlyAfterTheServerHasGone) {
    ASSERT_NO_FATAL_FAILURE(stopServer());
    // Meanwhile the engine, the sender port and the MIDI rescan look for the
    // server, and libjack frees the clients the old one shut down.
    playUntil([&] { midi_->sources(); return false; }, 2.5);
    tearDownInTheProgramsOrder();
    EXPECT_EQ(observer_.count("outputLost "), 1u);
}

TEST_F(SoundServerReturnTest, TheOutputAndTheSenderPortComeBackWithTheServer) {
    // The server stops under the playing engine: it says so, once, and plays on.
    ASSERT_NO_FATAL_FAILURE(stopServer());
    EXPECT_EQ(observer_.count("outputLost No sound output: the JACK server stopped."), 1u);
    EXPECT_EQ(box_->sampleRate(), 48000.0) << "the stand-in keeps the server's rate";
    EXPECT_TRUE(port_->waitingForServer());
    const size_t startedBefore = observer_.count("started ");
    float loudest = 0;
    EXPECT_TRUE(playUntil(
        [&] {
            loudest = std::max(loudest, box_->currentVolumeLeftChannel());
            return observer_.count("started ") >= startedBefore + 5;
        },
        3))
        << "pads start and are reported as before";
    EXPECT_GT(loudest, 0.0f) << "the meters go on with the stand-in";
    midi_->sources();  // the rescan of the MIDI world, which finds no server
    EXPECT_EQ(observer_.count("outputLost "), 1u);

    // It comes back: heard again, the ports published again. A server started
    // anew can hold a new client for seconds, longer on a busy machine: how soon
    // the sound is back is measured by scripts/stress-shutdown, not here.
    ASSERT_TRUE(jack_.start()) << jack_.why();
    const auto back = Clock::now();
    auto again = std::make_unique<Listener>(jack_);
    ASSERT_TRUE(again->open());
    ASSERT_TRUE(playUntil(
        [&] {
            midi_->sources();
            const std::string output = portOf("Strombel", "outport 0");
            return !output.empty() && again->listenTo(output) && again->loudest() > 0.1f;
        },
        30));
    RecordProperty("seconds_until_heard_again", std::to_string(std::chrono::duration<double>(Clock::now() - back).count()));
    EXPECT_FALSE(box_->outputLost());
    EXPECT_EQ(observer_.count("outputBack Sound is back: Strombel plays through RtAudio (JACK) again."), 1u);
    ASSERT_TRUE(playUntil([&] { return port_->publishing(); }, 30));
    EXPECT_FALSE(portOf(client_, "Strombel output L").empty()) << ::testing::PrintToString(jack_.ports(":"));
    EXPECT_FALSE(portOf(client_, "Strombel output R").empty());
    EXPECT_TRUE(portOf("Strombel", "outport 0").rfind("Strombel:", 0) != 0)
        << "a name in use before the loss is not used again";
    ASSERT_TRUE(playUntil([&] { midi_->sources(); return !jack_.ports(":Tumblecraft").empty(); }, 30));
    tearDownInTheProgramsOrder();
}

TEST_F(SoundServerReturnTest, ASenderPortWhoseOwnNoticeOfALossNeverCameIsPublishedAgain) {
    // (Numbered already when an earlier case of this process lost its server.)
    const std::string before = portOf(client_, "Strombel output L");
    ASSERT_FALSE(before.empty()) << ::testing::PrintToString(jack_.ports(":"));
    // Another client of the process heard of a loss; the port's own notice never came.
    platform::noteJackLoss();
    EXPECT_TRUE(playUntil(
        [&] {
            for (const std::string& name : jack_.ports(":Strombel output L"))
                if (name != before && name.rfind(client_ + "-", 0) == 0) return port_->publishing();
            return false;
        },
        8))
        << ::testing::PrintToString(jack_.ports(":"));
    tearDownInTheProgramsOrder();
}

}  // namespace
}  // namespace strombel::hub
