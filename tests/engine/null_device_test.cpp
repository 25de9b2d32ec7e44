// The engine on the null device, as the program runs it on a machine without a
// sound card: buffers come at real-time pace from the device's own thread.

#include <atomic>
#include <thread>

#include "engine_test_support.h"
#include "platform/devices/null_audio_device.h"
#include "support/manual_pacer.h"

namespace strombel::engine::testing {
namespace {

class NullDeviceTest : public EngineTest {};

TEST_F(NullDeviceTest, APadPlaysToItsEndWithoutASoundCard) {
    const std::string clap = addSample("clap", constantMono(2205, 9000));  // 50 ms
    setBank(0, {clap});
    library_.setSamples(samples_);
    library_.setBank(0, banks_[0]);
    platform::MainLoop loop{platform::SystemClock::shared()};
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

/// Remembers where sound first began in the buffers it sees (audio thread).
struct FirstSoundTap final : platform::AudioOutputTap {
    std::atomic<int> buffers{0};
    std::atomic<int> bufferWithSound{-1}, frameWithSound{-1};
    void tapOutput(uint32_t frames, double, const int32_t* left, const int32_t*) override {
        const int buffer = buffers.fetch_add(1);
        if (bufferWithSound.load() >= 0) return;
        for (uint32_t i = 0; i < frames; ++i) {
            if (left[i] != 0) {
                frameWithSound = static_cast<int>(i);
                bufferWithSound = buffer;
                return;
            }
        }
    }
};

TEST_F(NullDeviceTest, RestsThroughSilenceIsNotTakenForLostAndAStartAnHourLaterLandsOnItsFrame) {
    const std::string clap = addSample("clap", constantMono(2205, 9000));
    library_.setSamples(samples_);
    constexpr uint64_t kAnchor = 2'000'000'000;
    auto pacer = std::make_shared<strombel::testing::ManualPacer>(kAnchor);
    auto device = std::make_unique<platform::NullAudioDevice>(pacer);
    platform::NullAudioDevice& null = *device;
    SoundBox box(std::move(device), sandbox_, loop_, &library_);
    RecordingDelegate observer;
    box.addDelegate(&observer);
    ASSERT_TRUE(box.preloadTrack(clap));
    box.waitForPreloads();
    ASSERT_EQ(null.bufferFrames(), 221u);
    ASSERT_TRUE(pacer->runUntilResting()) << "it renders silence on and on";

    // An hour of silence: no buffer, and the answer checks of the main loop do not take it for lost.
    const uint64_t rendered = null.buffersRendered();
    pacer->advance(3600 * platform::kNanosPerSecond + 1'234'567);
    loop_.advance(5 * SoundBox::kOutputAnswerCheckInterval);
    EXPECT_EQ(null.buffersRendered(), rendered);
    EXPECT_FALSE(box.outputLost());
    EXPECT_EQ(observer.count("outputLost"), 0u);

    // A start 100 frames into the second buffer after now.
    auto bufferTime = [](uint64_t k) { return kAnchor + static_cast<uint64_t>(k * 221 * 1e9 / 44100.0); };
    uint64_t next = 0;
    while (bufferTime(next) < pacer->nowNanos()) ++next;
    const uint64_t at = bufferTime(next + 2) + 2'267'574;  // 100 / 44100 s
    FirstSoundTap tap;
    box.audioUnit().setOutputTap(&tap);
    ASSERT_TRUE(box.startTrack(clap, at, false, false, true, 1.0f));
    EXPECT_EQ(pacer->nextWait(), bufferTime(next)) << "woken, it goes on at the next buffer of its grid";
    for (uint64_t k = next; k < next + 4; ++k) {
        pacer->advanceTo(bufferTime(k));
        ASSERT_EQ(pacer->nextWait(), bufferTime(k + 1));
    }
    EXPECT_EQ(tap.bufferWithSound.load(), 2);
    EXPECT_EQ(tap.frameWithSound.load(), 100);
    box.audioUnit().setOutputTap(nullptr);
}

}  // namespace
}  // namespace strombel::engine::testing
