// The engine on the null device, as the program runs it on a machine without a
// sound card: buffers come at real-time pace from the device's own thread.

#include <thread>

#include "engine_test_support.h"
#include "platform/devices/null_audio_device.h"

namespace strombel::engine::testing {
namespace {

class NullDeviceTest : public EngineTest {};

TEST_F(NullDeviceTest, APadPlaysToItsEndWithoutASoundCard) {
    const std::string clap = addSample("clap", constantMono(2205, 9000));  // 50 ms
    setBank(0, {clap});
    library_.setSamples(samples_);
    library_.setBank(0, banks_[0]);
    platform::MainLoop loop;
    SoundBox box(std::make_unique<platform::NullAudioDevice>(), sandbox_, loop, &library_);
    EXPECT_TRUE(box.running());
    box.currentSoundbankChanged(0);
    box.waitForPreloads();
    RecordingDelegate observer;
    box.addDelegate(&observer);
    ASSERT_TRUE(box.startSoundbankSample(0, 1.0f));
    const float loudest = loudestUntilFinished(box, loop, observer, clap);
    EXPECT_TRUE(observer.saw("finished " + clap));
    EXPECT_FLOAT_EQ(loudest, 9000.0f * kFixedPer16Bit);
    EXPECT_TRUE(box.isNothingPlaying());
}

}  // namespace
}  // namespace strombel::engine::testing
