// The sender port on the build's JACK server (dummy driver at 48 kHz,
// tests/support/jack_server.sh): the engine renders on a manual device, the
// port publishes what it renders, and the hub simulator's JACK input ports
// record it.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <future>
#include <random>
#include <thread>

#include "bus_test_support.h"
#include "engine/engine_test_support.h"
#include "hub/hub_port.h"
#include "platform/clock.h"
#include "platform/devices/jack_clients.h"
#include "platform/devices/jack_opener.h"
#include "hub/hub_trigger.h"
#include "hub/jack_sender_output.h"
#include "platform/sample_format.h"

namespace strombel::hub {
namespace {

using engine::testing::EngineTest;
using testing::HubSimulator;
using testing::TestKeyPair;

/// A decaying noise burst: no two stretches of it look alike, so the recording
/// lines up with the rendered output at one offset only.
std::vector<int16_t> noiseBurst(size_t frames) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    std::vector<int16_t> samples(frames);
    for (size_t i = 0; i < frames; ++i) {
        samples[i] = int16_t(20000.0 * noise(random) * std::exp(-3.0 * double(i) / double(frames)));
    }
    return samples;
}

std::vector<float> readLeftChannel(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    std::vector<float> interleaved;
    float pair[2];
    while (stream.read(reinterpret_cast<char*>(pair), sizeof pair)) interleaved.push_back(pair[0]);
    return interleaved;
}

/// The best normalised correlation of `recorded` against `reference` over lags
/// of up to `window` frames either way around the first sound of each.
double alignedCorrelation(const std::vector<float>& recorded, const std::vector<float>& reference, int window) {
    auto first = [](const std::vector<float>& samples) {
        for (size_t i = 0; i < samples.size(); ++i)
            if (samples[i] != 0.0f) return long(i);
        return long(samples.size());
    };
    const long recordedStart = first(recorded), referenceStart = first(reference);
    double best = -1;
    for (int lag = -window; lag <= window; ++lag) {
        double sumXY = 0, sumXX = 0, sumYY = 0;
        for (long i = 0; i + recordedStart < long(recorded.size()); ++i) {
            const long j = referenceStart + i + lag;
            if (j < 0 || j >= long(reference.size())) continue;
            const double x = recorded[size_t(recordedStart + i)], y = reference[size_t(j)];
            sumXY += x * y;
            sumXX += x * x;
            sumYY += y * y;
        }
        if (sumXX > 0 && sumYY > 0) best = std::max(best, sumXY / std::sqrt(sumXX * sumYY));
    }
    return best;
}

double rms(const std::vector<float>& samples) {
    double sum = 0;
    for (float s : samples) sum += double(s) * s;
    return samples.empty() ? 0 : std::sqrt(sum / double(samples.size()));
}

class HubJackTest : public EngineTest {
protected:
    void SetUp() override {
        // ctest names the build's test server; a run by hand falls back to the
        // default test name, never a user's own server.
        setenv("JACK_DEFAULT_SERVER", "strombel-tests", 0);
        setenv("JACK_NO_START_SERVER", "1", 1);
        std::ofstream(temp_ / "hub-key.pem") << TestKeyPair::shared().privateKeyPem;
    }

    bool pumpUntil(const std::function<bool()>& done, double seconds = 10) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            loop_.runPending();
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return done();
    }

    /// How far the test renders ahead of JACK: 170 ms at 48 kHz, so that a test
    /// thread held off a loaded machine for a while still leaves the port fed.
    static constexpr size_t kLeadFrames = 8192;

    /// Renders one buffer when the port holds less than the lead (keeping its
    /// left channel in `rendered` when given), else waits a moment.
    void feed(HubSenderPort& port, std::vector<float>* rendered) {
        if (port.output()->queuedFrames() < kLeadFrames) {
            render();
            if (rendered) {
                for (int32_t sample : device_->left()) rendered->push_back(platform::fixed824ToFloat(sample));
            }
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        loop_.runPending();
    }

    struct Recorded {
        std::vector<float> left;      // the recording's left channel
        std::vector<float> rendered;  // the rendered left channel, from the pad's start on
        uint64_t gapsWhileSounding = 0;
    };

    /// Plays pad 0 once the simulator records, rendering ahead of JACK, until the
    /// simulator has recorded `frames` frames from the first sound.
    Recorded playAndRecord(HubSimulator& simulator, HubSenderPort& port, size_t frames) {
        Recorded result;
        const auto file = temp_ / "recording.raw";
        simulator.begin("record " + std::to_string(frames) + " " + file.string() + " armed");
        std::string answer;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (answer.empty() && std::chrono::steady_clock::now() < deadline) {
            feed(port, nullptr);
            answer = simulator.answer(0);
        }
        EXPECT_EQ(answer, "armed");
        // Gaps before the sound (while the port was first filled) take nothing from it.
        const uint64_t gapsBefore = port.output()->gaps();
        EXPECT_TRUE(box_->startSoundbankSample(0, 1.0f));
        answer.clear();
        deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (answer.empty() && std::chrono::steady_clock::now() < deadline) {
            feed(port, &result.rendered);
            answer = simulator.answer(0);
        }
        result.gapsWhileSounding = port.output()->gaps() - gapsBefore;
        EXPECT_EQ(answer, "recorded " + std::to_string(frames));
        result.left = readLeftChannel(file);
        return result;
    }
};

TEST_F(HubJackTest, TheSimulatorRecordsAPadThroughTheSenderPort) {
    const std::string burst = addSample("burst", {noiseBurst(9600)}, 1.0f, 48000.0);
    setBank(0, {burst});
    makeEngine(256, 48000.0);
    box_->currentSoundbankChanged(0);
    box_->waitForPreloads();

    AudioComponentDescription description{fourCharCode("auri"), fourCharCode("smpl"), fourCharCode("vlkt"), 0, 0};
    auto port = std::make_shared<HubSenderPort>("Strombel output", "Strombel", description, device_);
    int notices = 0;
    port->addObserver("connected", [&] { ++notices; });
    port->startPublishing("Strombel", loop_, platform::JackOpener::shared());
    ASSERT_TRUE(pumpUntil([&] { return port->publishing(); })) << "the JACK test server is not running";
    // The program's name, as the process names its clients now (a case of this
    // suite that finds no server counts as a loss and moves the names on).
    const std::string client = platform::jackClientName("Strombel");
    EXPECT_EQ(port->output()->leftPortName(), client + ":Strombel output L");
    EXPECT_EQ(port->output()->rightPortName(), client + ":Strombel output R");
    EXPECT_FALSE(port->connected());

    HubSimulator simulator(temp_ / "services", temp_ / "hub-key.pem");
    ASSERT_EQ(simulator.ready().rfind("ready ", 0), 0u);
    ASSERT_EQ(simulator.command("jack-open"), "ok 48000");
    ASSERT_EQ(simulator.command("jack-connect " + client + ":Strombel output"), "ok");
    ASSERT_TRUE(pumpUntil([&] { return port->interAppAudioConnected(); }));
    EXPECT_TRUE(port->connected());
    EXPECT_EQ(notices, 1);

    // The hub hears the pad as rendered, with no silence let in while it sounds.
    const Recorded recorded = playAndRecord(simulator, *port, 12000);
    ASSERT_EQ(recorded.left.size(), 12000u);
    EXPECT_GT(alignedCorrelation(recorded.left, recorded.rendered, 64), 0.99);
    EXPECT_EQ(recorded.gapsWhileSounding, 0u) << "the port ran dry while the pad sounded";

    // The port's volume trigger at 0.5 halves what the hub hears.
    auto volume = port->volumeTrigger();
    volume->setValue(0.5f);
    volume->fire();
    const Recorded quieter = playAndRecord(simulator, *port, 12000);
    ASSERT_EQ(quieter.left.size(), 12000u);
    EXPECT_GT(alignedCorrelation(quieter.left, quieter.rendered, 64), 0.99);
    EXPECT_EQ(quieter.gapsWhileSounding, 0u);
    EXPECT_NEAR(rms(quieter.left) / rms(recorded.left), 0.5, 0.02);

    ASSERT_EQ(simulator.command("jack-disconnect"), "ok");
    ASSERT_TRUE(pumpUntil([&] { return !port->interAppAudioConnected(); }));
    EXPECT_FALSE(port->connected());
    EXPECT_EQ(notices, 2);
}

TEST_F(HubJackTest, APortLetGoWhileItsClientOpensLeavesTheNameToTheNextPort) {
    makeEngine(256, 48000.0);
    platform::JackOpener opener(platform::SystemClock::shared());
    // The opener is held up, so that the first port's opening is still to run
    // when the port goes and the second port asks for the same client name.
    std::promise<void> letGo;
    std::shared_future<void> held = letGo.get_future().share();
    ASSERT_TRUE(opener.run([held] { held.wait(); }));
    AudioComponentDescription description{fourCharCode("auri"), fourCharCode("smpl"), fourCharCode("vlkt"), 0, 0};
    auto first = std::make_shared<HubSenderPort>("Strombel output", "Strombel", description, device_);
    first->startPublishing("Strombel", loop_, opener);
    first.reset();
    auto second = std::make_shared<HubSenderPort>("Strombel output", "Strombel", description, device_);
    second->startPublishing("Strombel", loop_, opener);
    letGo.set_value();
    ASSERT_TRUE(pumpUntil([&] { return second->publishing(); })) << "the JACK test server is not running";
    // A hub finds the port under the program's name, not a name the server made up.
    EXPECT_EQ(second->output()->leftPortName(), platform::jackClientName("Strombel") + ":Strombel output L");
    second.reset();
    EXPECT_TRUE(opener.finish(std::chrono::seconds(10)));
}

TEST_F(HubJackTest, WithoutAServerThePortStaysUnpublished) {
    setenv("JACK_DEFAULT_SERVER", "strombel-no-such-server", 1);
    makeEngine(256, 48000.0);
    auto port = std::make_shared<HubSenderPort>("Strombel output", "Strombel", AudioComponentDescription{}, device_);
    port->startPublishing("Strombel", loop_, platform::JackOpener::shared());
    // The opener's answer, on the main loop.
    ASSERT_TRUE(platform::JackOpener::shared().waitIdle(std::chrono::seconds(10)));
    loop_.runPending();
    EXPECT_FALSE(port->publishing());
    EXPECT_TRUE(port->waitingForServer());
    EXPECT_EQ(device_->outputTap(), nullptr);
    render();  // renders as before, with no tap
}

}  // namespace
}  // namespace strombel::hub
