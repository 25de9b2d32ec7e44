#include "hub/sender_audio_ring.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "platform/realtime.h"
#include "platform/sample_format.h"

namespace strombel::hub {
namespace {

/// Writes `frames` frames of a ramp (left) and its negation (right) starting at `first`.
void writeRamp(SenderAudioRing& ring, uint32_t first, uint32_t frames, double rate) {
    std::vector<int32_t> left(frames), right(frames);
    for (uint32_t i = 0; i < frames; ++i) {
        left[i] = platform::floatToFixed824(float(first + i) / 65536.0f);
        right[i] = -left[i];
    }
    platform::RealtimeScope realtime;
    ring.tapOutput(frames, rate, left.data(), right.data());
}

TEST(SenderAudioRing, HandsOutTheRenderedFramesInOrderAtTheVolume) {
    SenderAudioRing ring(4096);
    SenderAudioReader reader(ring, 512);
    std::vector<float> left(256), right(256);
    // Until the cushion is gathered the reader plays silence, and that is no gap.
    writeRamp(ring, 0, 256, 48000);
    reader.pull(left.data(), right.data(), 256, 48000, 1.0f);
    EXPECT_EQ(left[0], 0.0f);
    EXPECT_EQ(reader.gaps(), 0u);
    writeRamp(ring, 256, 512, 48000);
    {
        platform::RealtimeScope realtime;
        reader.pull(left.data(), right.data(), 256, 48000, 0.5f);
    }
    for (uint32_t i = 0; i < 256; ++i) {
        ASSERT_FLOAT_EQ(left[i], 0.5f * float(i) / 65536.0f) << i;
        ASSERT_FLOAT_EQ(right[i], -left[i]) << i;
    }
    EXPECT_EQ(ring.available(), 512u);
    EXPECT_FALSE(reader.resampling());
}

TEST(SenderAudioRing, AnEmptyRingGivesSilenceCountsAGapAndGathersAgain) {
    SenderAudioRing ring(4096);
    SenderAudioReader reader(ring, 256);
    std::vector<float> left(256, 1.0f), right(256, 1.0f);
    writeRamp(ring, 1, 256, 44100);
    reader.pull(left.data(), right.data(), 256, 44100, 1.0f);
    EXPECT_NE(left[10], 0.0f);
    reader.pull(left.data(), right.data(), 256, 44100, 1.0f);
    EXPECT_EQ(reader.gaps(), 1u);
    for (float sample : left) ASSERT_EQ(sample, 0.0f);
    // A short ring after the gap is gathered again, not counted twice.
    writeRamp(ring, 0, 100, 44100);
    reader.pull(left.data(), right.data(), 256, 44100, 1.0f);
    EXPECT_EQ(reader.gaps(), 1u);
}

TEST(SenderAudioRing, AFullRingDropsWhatDoesNotFitAndCountsIt) {
    SenderAudioRing ring(300);
    writeRamp(ring, 0, 256, 48000);
    EXPECT_EQ(ring.overruns(), 0u);
    writeRamp(ring, 256, 256, 48000);
    EXPECT_EQ(ring.overruns(), 1u);
    EXPECT_EQ(ring.available(), 300u);
    std::vector<float> frames(600);
    ASSERT_EQ(ring.readInterleaved(frames.data(), 300), 300u);
    EXPECT_FLOAT_EQ(frames[2 * 299], 299.0f / 65536.0f) << "the oldest frames are kept";
}

TEST(SenderAudioRing, ResamplesTheDeviceRateToJacksRate) {
    // A 1 kHz tone rendered at 44.1 kHz reaches a 48 kHz JACK still at 1 kHz.
    SenderAudioRing ring(16384);
    SenderAudioReader reader(ring, 1024);
    const double inputRate = 44100, outputRate = 48000;
    uint64_t written = 0;
    auto render = [&](uint32_t frames) {
        std::vector<int32_t> left(frames), right(frames);
        for (uint32_t i = 0; i < frames; ++i, ++written) {
            float value = 0.5f * float(std::sin(2 * std::numbers::pi * 1000.0 * double(written) / inputRate));
            left[i] = right[i] = platform::floatToFixed824(value);
        }
        platform::RealtimeScope realtime;
        ring.tapOutput(frames, inputRate, left.data(), right.data());
    };
    std::vector<float> out;
    std::vector<float> left(256), right(256);
    render(4096);
    for (int period = 0; period < 100; ++period) {
        render(235);  // about the frames a 256-frame period at 48 kHz takes
        {
            platform::RealtimeScope realtime;
            reader.pull(left.data(), right.data(), 256, outputRate, 1.0f);
        }
        out.insert(out.end(), left.begin(), left.end());
    }
    EXPECT_TRUE(reader.resampling());
    EXPECT_EQ(reader.gaps(), 0u);
    // Skip the resampler's start; count upward zero crossings over the rest.
    const size_t start = 2048;
    int crossings = 0;
    size_t first = 0, last = 0;
    float peak = 0;
    for (size_t i = start + 1; i < out.size(); ++i) {
        peak = std::max(peak, std::fabs(out[i]));
        if (out[i - 1] < 0 && out[i] >= 0) {
            if (crossings == 0) first = i;
            last = i;
            ++crossings;
        }
    }
    ASSERT_GT(crossings, 10);
    const double frequency = double(crossings - 1) * outputRate / double(last - first);
    EXPECT_NEAR(frequency, 1000.0, 5.0);
    EXPECT_NEAR(peak, 0.5f, 0.02f);
}

}  // namespace
}  // namespace strombel::hub
