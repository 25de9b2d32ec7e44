#include "engine/effects.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <vector>

namespace strombel::engine {
namespace {

std::vector<float> ramp(size_t n) {
    std::vector<float> values(n);
    for (size_t i = 0; i < n; ++i) values[i] = static_cast<float>(i * 1000 + (i % 7) * 13);
    return values;
}

TEST(CrushEffect, AveragesBlocksWhoseSizeFollowsTheAmount) {
    const std::vector<float> input = ramp(1024);
    std::vector<float> output(1024);
    struct Row {
        float amount;
        uint32_t block;
    };
    for (Row row : {Row{0.5f, 2}, Row{1.0f, 4}, Row{2.5f, 8}, Row{3.0f, 16}, Row{4.0f, 32}}) {
        applyCrushEffect(1024, input.data(), output.data(), row.amount, 1.0f);
        for (uint32_t start = 0; start < 1024; start += row.block) {
            double sum = std::accumulate(input.begin() + start, input.begin() + start + row.block, 0.0);
            for (uint32_t i = 0; i < row.block; ++i)
                ASSERT_NEAR(output[start + i], sum / row.block, 1.0) << row.amount << " at " << start + i;
        }
    }
}

TEST(CrushEffect, HalfWetIsHalfAverageHalfInputAndZeroCopies) {
    const std::vector<float> input = {2, 4, 10, 30};
    std::vector<float> output(4);
    applyCrushEffect(4, input.data(), output.data(), 0.5f, 0.5f);
    EXPECT_FLOAT_EQ(output[0], 0.5f * 3 + 0.5f * 2);
    EXPECT_FLOAT_EQ(output[3], 0.5f * 20 + 0.5f * 30);
    applyCrushEffect(4, input.data(), output.data(), 0.0f, 1.0f);
    EXPECT_EQ(output, input);
    applyCrushEffect(4, input.data(), output.data(), 2.0f, 0.0f);
    EXPECT_EQ(output, input);
}

/// The high-pass worked out independently, in double precision.
std::vector<double> referenceHighPass(const std::vector<float>& x, double f, double rate) {
    const double w = 2 * M_PI * f / rate, alpha = std::sin(w) / 2, a0 = 1 + alpha;
    const double b0 = (1 + std::cos(w)) / 2 / a0, b1 = -(1 + std::cos(w)) / a0, a1 = -2 * std::cos(w) / a0,
                 a2 = (1 - alpha) / a0;
    std::vector<double> y(x.size());
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        y[i] = b0 * x[i] + b1 * x1 + b0 * x2 - a1 * y1 - a2 * y2;
        x2 = x1, x1 = x[i], y2 = y1, y1 = y[i];
    }
    return y;
}

TEST(CutOffFilter, MatchesTheHighPassAndBypassesAtOrBelow100Hz) {
    std::vector<float> input(1024);
    for (size_t i = 0; i < input.size(); ++i) input[i] = 1e6f * std::sin(i * 0.05f) + 3e5f;
    std::vector<float> output(1024);
    applyCutOffFilter(1024, input.data(), output.data(), 100.0f, 44100.0, 1.0f);
    EXPECT_EQ(output, input);
    applyCutOffFilter(1024, input.data(), output.data(), 2500.0f, 44100.0, 1.0f);
    std::vector<double> expected = referenceHighPass(input, 2500.0, 44100.0);
    for (size_t i = 0; i < input.size(); ++i) ASSERT_NEAR(output[i], expected[i], 2.0 + 1e-4 * std::fabs(expected[i]));
}

TEST(CutOffFilter, ConstantInputDecaysTowardsZero) {
    std::vector<float> input(1024, 1e6f), output(1024);
    applyCutOffFilter(1024, input.data(), output.data(), 2500.0f, 44100.0, 1.0f);
    EXPECT_LT(std::fabs(output[1023]), 1.0f);
    EXPECT_GT(std::fabs(output[0]), 1e5f);
}

TEST(CutOffFilter, FrequenciesAboveNyquistOrNaNStayStable) {
    std::vector<float> input(1024), output(1024);
    for (size_t i = 0; i < input.size(); ++i) input[i] = (i % 2 ? 1e6f : -1e6f);
    for (float f : {30000.0f, 1e9f, INFINITY}) {
        applyCutOffFilter(1024, input.data(), output.data(), f, 44100.0, 1.0f);
        for (float v : output) ASSERT_TRUE(std::isfinite(v) && std::fabs(v) < 1e7f) << f;
    }
    applyCutOffFilter(1024, input.data(), output.data(), NAN, 44100.0, 1.0f);
    EXPECT_EQ(output, input);
}

TEST(PhaseEffect, AddsTheDelayedInputFromTheDelayOn) {
    const std::vector<float> input = ramp(1024);
    std::vector<float> output(1024);
    applyPhaseEffect(1024, 128, input.data(), output.data(), 1.0f, 1.0f);
    for (size_t i = 0; i < 128; ++i) ASSERT_EQ(output[i], input[i]);
    for (size_t i = 128; i < 1024; ++i) ASSERT_FLOAT_EQ(output[i], (input[i] + input[i - 128]) * 0.7f);
    applyPhaseEffect(1024, 128, input.data(), output.data(), 0.5f, 0.5f);
    EXPECT_FLOAT_EQ(output[100], (input[100] + input[36] * 0.5f) * 0.7f);
}

TEST(EchoBuffer, EchoesTheOutputFromTheDelayEarlier) {
    EchoBuffer history(132300);
    std::vector<int32_t> block(256);
    std::vector<int32_t> written;
    for (int b = 0; b < 40; ++b) {
        for (int i = 0; i < 256; ++i) block[i] = (b * 256 + i) * 100;
        std::vector<int32_t> out = block;
        history.applyEchoTo(out.data(), 256, 4410.0f, 0.5f);
        for (int i = 0; i < 256; ++i) {
            const int64_t at = static_cast<int64_t>(written.size()) + i - 4410;
            const int32_t expected = at >= 0 ? static_cast<int32_t>(block[i] + written[at] * 0.5f) : block[i];
            ASSERT_EQ(out[i], expected) << "block " << b << " frame " << i;
        }
        history.appendFrames(out.data(), 256);
        written.insert(written.end(), out.begin(), out.end());
    }
    history.clearBuffer();
    std::vector<int32_t> silent(256, 0);
    history.applyEchoTo(silent.data(), 256, 4410.0f, 0.5f);
    EXPECT_EQ(silent, std::vector<int32_t>(256, 0));
}

TEST(EchoBuffer, ShortDelayLeavesTheBlocksEndDryAndLongHistoryDropsWholeBlocks) {
    EchoBuffer history(1000);
    std::vector<int32_t> block(300, 7);
    for (int i = 0; i < 3; ++i) history.appendFrames(block.data(), 300);
    EXPECT_EQ(history.totalBufSize(), 900);
    history.appendFrames(block.data(), 300);
    EXPECT_EQ(history.totalBufSize(), 900);  // the oldest whole block fell off
    std::vector<int32_t> big(1001, 1);
    history.appendFrames(big.data(), 1001);  // larger than the history: refused
    EXPECT_EQ(history.totalBufSize(), 900);

    std::vector<int32_t> out(300, 0);
    history.applyEchoTo(out.data(), 300, 100.0f, 1.0f);
    EXPECT_EQ(out[99], 7);
    EXPECT_EQ(out[100], 0);
    std::fill(out.begin(), out.end(), 0);
    history.applyEchoTo(out.data(), 300, 1000.0f, 1.0f);  // longer than the history
    EXPECT_EQ(out[99], 0);
    EXPECT_EQ(out[100], 7);
    std::fill(out.begin(), out.end(), 0);
    history.applyEchoTo(out.data(), 300, -5.0f, 1.0f);
    history.applyEchoTo(out.data(), 300, NAN, 1.0f);
    EXPECT_EQ(out, std::vector<int32_t>(300, 0));
}

TEST(EchoBuffer, EchoSaturatesInsteadOfWrapping) {
    EchoBuffer history(1000);
    std::vector<int32_t> loud(100, INT32_MAX - 10);
    history.appendFrames(loud.data(), 100);
    std::vector<int32_t> out(100, INT32_MAX - 10);
    history.applyEchoTo(out.data(), 100, 100.0f, 1.0f);
    EXPECT_EQ(out[0], INT32_MAX);
}

TEST(EchoBuffer, AHistoryIsSilentOnlyOnceItsLastSoundFellOffAndZerosThenKeepItEmpty) {
    EchoBuffer history(1000);
    std::vector<int32_t> sound(100, 0), zeros(100, 0);
    sound[0] = 5;  // the only sample that is not zero, at the block's start
    history.appendFrames(sound.data(), 100);
    for (int b = 0; b < 9; ++b) {
        history.appendFrames(zeros.data(), 100);
        EXPECT_FALSE(history.isSilent()) << "after " << b + 1 << " blocks of zeros";
    }
    ASSERT_EQ(history.totalBufSize(), 1000);
    std::vector<int32_t> out(100, 0);
    history.applyEchoTo(out.data(), 100, 1000.0f, 1.0f);
    EXPECT_EQ(out[0], 5) << "the sound 1000 samples back still echoes";

    history.appendFrames(zeros.data(), 100);  // the block with the sound falls off
    EXPECT_TRUE(history.isSilent());
    EXPECT_EQ(history.totalBufSize(), 1000);
    history.appendFrames(zeros.data(), 100);
    EXPECT_EQ(history.totalBufSize(), 0) << "zeros onto zeros empty the history";
    history.appendFrames(sound.data(), 100);
    EXPECT_FALSE(history.isSilent());
    std::fill(out.begin(), out.end(), 0);
    history.applyEchoTo(out.data(), 100, 100.0f, 1.0f);
    EXPECT_EQ(out[0], 5) << "sound after an emptied history echoes as before";
}

}  // namespace
}  // namespace strombel::engine
