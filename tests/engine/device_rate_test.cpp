// The engine at the rate the device gives: 44.1, 48 and 96 kHz. Samples are
// resampled to the engine's rate when they load, timed starts land on the frame
// of their host time, and the echo history is long enough for the longest delay.

#include <cmath>

#include "engine_test_support.h"

namespace strombel::engine::testing {
namespace {

class DeviceRateTest : public EngineTest, public ::testing::WithParamInterface<double> {
protected:
    double rate() const { return GetParam(); }
    uint64_t framesUntil(uint64_t time, uint64_t bufferStart) const {
        return static_cast<uint64_t>(std::llround(static_cast<double>(time - bufferStart) * rate() * 1e-9));
    }
};

TEST_P(DeviceRateTest, APadPlaysAtItsPitchForItsLength) {
    // A 441 Hz sine of 0.1 s, recorded at 44.1 kHz (a quarter period in, so no frame is 0).
    std::vector<int16_t> sine(4410);
    for (size_t i = 0; i < sine.size(); ++i) {
        const double phase = 2.0 * M_PI * 441.0 * (static_cast<double>(i) + 0.5) / 44100.0;
        sine[i] = static_cast<int16_t>(std::lround(10000.0 * std::sin(phase)));
    }
    const std::string tone = addSample("tone", {sine});
    setBank(0, {tone});
    SoundBox& box = makeEngine(256, rate());
    EXPECT_EQ(box.sampleRate(), rate());
    box.currentSoundbankChanged(0);
    box.waitForPreloads();
    ASSERT_TRUE(box.startSoundbankSample(0, 1.0f));  // through the effect window, at pitch 0.5: speed 1
    const std::vector<int32_t> out = renderFrames(static_cast<size_t>(0.2 * rate()));
    // Sign changes of the loud part (a resampled file rings a little at its ends).
    const int32_t loud = 2000 * kFixedPer16Bit;
    size_t first = out.size(), last = 0, crossings = 0;
    int32_t previous = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        if (std::abs(out[i]) < loud) continue;
        first = std::min(first, i);
        last = i;
        if (previous != 0 && (previous < 0) != (out[i] < 0)) ++crossings;
        previous = out[i];
    }
    // 0.1 s long at any rate, and 441 Hz: 88 sign changes in 0.1 s.
    EXPECT_NEAR(static_cast<double>(last - first), 0.1 * rate(), 0.002 * rate());
    EXPECT_NEAR(static_cast<double>(crossings), 87.0, 1.0);
}

TEST_P(DeviceRateTest, TimedStartsLandOnTheirFrames) {
    const std::string kick = addSample("kick", constantMono(4000, 1000));
    SoundBox& box = makeEngine(256, rate());
    for (uint64_t offset : {0ull, 1'234'567ull, 4'999'999ull}) {
        box.stopAllTracks();
        renderFrames(static_cast<size_t>(rate()));  // everything ends
        const uint64_t bufferStart = device_->nextHostTime();
        ASSERT_TRUE(box.startTrackFromSequencer(kick, bufferStart + offset));
        const std::vector<int32_t> out = renderFrames(512);
        EXPECT_EQ(firstNonZero(out), framesUntil(bufferStart + offset, bufferStart)) << offset;
    }
}

TEST_P(DeviceRateTest, TheEchoReachesItsLongestDelay) {
    const std::string blip = addSample("blip", constantMono(64, 16000));
    SoundBox& box = makeEngine(512, rate());
    box.setDelayTime(2.9f);  // the longest the engine takes
    box.setDelayIntensity(1.0f);
    ASSERT_TRUE(box.startTrack(blip, 0, true, false, false, 1.0f));
    const std::vector<int32_t> out = renderFrames(static_cast<size_t>(3.2 * rate()));
    // Where the click rises above half its level, and its echo above half the echo's.
    const int32_t level = 16000 * kFixedPer16Bit;
    auto rise = [&](size_t from, double threshold) {
        for (size_t i = from; i < out.size(); ++i)
            if (std::abs(out[i]) > threshold) return i;
        return out.size();
    };
    const size_t click = rise(0, 0.5 * level);
    const size_t echo = rise(click + 1000, 0.5 * 0.9 * level);
    ASSERT_LT(click, 8u);
    const size_t delay = static_cast<size_t>(2.9f * static_cast<float>(rate()));
    EXPECT_EQ(echo - click, delay) << "the echo comes the whole delay later";
}

INSTANTIATE_TEST_SUITE_P(Rates, DeviceRateTest, ::testing::Values(44100.0, 48000.0, 96000.0),
                         [](const auto& info) { return std::to_string(static_cast<int>(info.param)) + "Hz"; });

}  // namespace
}  // namespace strombel::engine::testing
