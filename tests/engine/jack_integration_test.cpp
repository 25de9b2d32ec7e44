// The engine through RtAudio on the shared JACK server (dummy driver at 48 kHz,
// tests/support/jack_server.sh), under the real-time guard: RtAudio's process
// callback runs the engine marked real-time.

#include <cstdlib>
#include <thread>

#include "engine_test_support.h"
#include "platform/devices/jack_opener.h"
#include "platform/devices/rtaudio_device.h"

namespace strombel::engine::testing {
namespace {

class JackTest : public EngineTest {
protected:
    void SetUp() override {
        // ctest names the build's test server (tests/support/jack_server.sh); a run
        // by hand falls back to the default test name, never a user's own server.
        setenv("JACK_DEFAULT_SERVER", "strombel-tests", 0);
        setenv("JACK_NO_START_SERVER", "1", 1);
    }
    // The output is closed on the opener's thread once the engine goes.
    void TearDown() override { platform::JackOpener::shared().waitIdle(std::chrono::seconds(10)); }
};

TEST_F(JackTest, APadIsHeardThroughJackAndReportedFinished) {
    ASSERT_TRUE(platform::RtAudioDevice::available(platform::RtAudioDevice::Backend::Jack))
        << "the JACK test server is not running";
    const std::string kick = addSample("kick", constantMono(4410, 12000));
    setBank(0, {kick});
    library_.setSamples(samples_);
    library_.setBank(0, banks_[0]);

    // A real clock this time: JACK runs in real time. The program's own choice
    // of device takes the server, and tells no problem.
    platform::MainLoop loop{platform::SystemClock::shared()};
    SoundBox box(std::make_unique<platform::FailoverAudioDevice>(platform::makeAudioDevice(), nullptr,
                                                                &platform::JackOpener::shared()),
                 sandbox_, loop, &library_);
    RecordingDelegate observer;
    box.addDelegate(&observer);
    EXPECT_EQ(box.audioUnit().name(), "RtAudio (JACK)") << box.audioUnit().lastError();
    EXPECT_TRUE(box.running());
    EXPECT_EQ(box.audioUnitErrorState(), 0);
    EXPECT_EQ(box.sampleRate(), 48000.0) << "the engine follows the server's rate (it asks for 44100)";
    box.currentSoundbankChanged(0);
    box.waitForPreloads();

    ASSERT_TRUE(box.startSoundbankSample(0, 1.0f));
    const float loudest = loudestUntilFinished(box, loop, observer, kick);
    EXPECT_TRUE(observer.saw("started " + kick));  // played as a pad's, but no touch on one
    EXPECT_TRUE(observer.saw("finished " + kick));
    // Resampled to 48 kHz: the block's edges ring a little above its level.
    EXPECT_NEAR(loudest, 12000.0f * kFixedPer16Bit, 0.12f * 12000.0f * kFixedPer16Bit);
    EXPECT_EQ(box.counters().skippedBlocks, 0u);
    EXPECT_TRUE(box.stop());
    EXPECT_FALSE(box.running());
    EXPECT_EQ(observer.count("notOpened "), 0u);
    EXPECT_EQ(observer.count("output"), 0u);
}

}  // namespace
}  // namespace strombel::engine::testing
