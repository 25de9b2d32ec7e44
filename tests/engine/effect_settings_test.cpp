// The crush and cut-off faders as a listener hears them through the engine: a
// fader position becomes the crush's averaging block and the cut-off filter's
// corner frequency, measured on what the engine renders.

#include <cmath>

#include "engine_test_support.h"

namespace strombel::engine::testing {
namespace {

constexpr double kRate = 44100.0;
constexpr uint32_t kBuffer = 256;

class EffectSettingsTest : public EngineTest {
protected:
    /// Starts `path` from a pad (through the effects) and renders past the first
    /// effect window, so the window holds nothing but the track; returns the
    /// next `frames` frames and where in the track they begin.
    std::vector<int32_t> renderSettled(SoundBox& box, const std::string& path, size_t frames, size_t& firstFrame) {
        EXPECT_TRUE(box.startTrack(path, 0, true, false, false, 1.0f));
        renderFrames(kEffectWindowFrames);
        firstFrame = kEffectWindowFrames;
        return renderFrames(frames);
    }
};

TEST_F(EffectSettingsTest, TheCrushFaderSetsTheAveragingBlock) {
    const std::string ramp = addSample("ramp", rampMono(8192));
    struct Row {
        float fader;
        uint32_t block;
    };
    // The fader's 0 to 1 spans amounts 0 to 4: blocks of 2 to 32 frames.
    const Row rows[] = {{0.1f, 2}, {0.25f, 4}, {0.5f, 8}, {0.6f, 8}, {0.75f, 16}, {1.0f, 32}};
    SoundBox& box = makeEngine(kBuffer);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fader);
        box.stopAllTracks();
        renderFrames(4096);
        box.setCrushAmount(row.fader);
        size_t first = 0;
        const std::vector<int32_t> out = renderSettled(box, ramp, kBuffer, first);
        // Every run of equal frames is one block, and holds the block's average
        // (frame i of the ramp says i + 1).
        for (size_t start = 0; start + row.block <= out.size(); start += row.block) {
            for (size_t k = start + 1; k < start + row.block; ++k) ASSERT_EQ(out[k], out[start]) << k;
            if (start > 0) {
                ASSERT_NE(out[start], out[start - 1]) << start;
            }
            const double average = static_cast<double>(first + start) + (row.block + 1) / 2.0;
            EXPECT_NEAR(out[start], average * kFixedPer16Bit, 1.0) << start;
        }
    }
}

/// A mono sine of `frequency` Hz at three quarters of full scale.
std::vector<std::vector<int16_t>> sineMono(size_t frames, double frequency) {
    std::vector<int16_t> sine(frames);
    for (size_t i = 0; i < frames; ++i)
        sine[i] = static_cast<int16_t>(std::lround(24000.0 * std::sin(2.0 * M_PI * frequency * i / kRate)));
    return {sine};
}

double rms(const std::vector<int32_t>& samples) {
    double sum = 0;
    for (int32_t sample : samples) sum += static_cast<double>(sample) * sample;
    return std::sqrt(sum / static_cast<double>(samples.size()));
}

TEST_F(EffectSettingsTest, TheCutOffFaderSetsTheFiltersCornerFrequency) {
    // The fader's 0 to 1 spans 0 to 2500 Hz. The high-pass (Q = 1) passes its
    // corner at unity gain, damps below it and lifts a little above it.
    struct Row {
        float fader;
        double corner;
    };
    const Row rows[] = {{0.2f, 500.0}, {0.5f, 1250.0}, {1.0f, 2500.0}};
    struct Probe {
        double timesCorner, lowest, highest;
    };
    const Probe probes[] = {{0.5, 0.25, 0.31}, {0.8, 0.70, 0.76}, {1.0, 0.97, 1.03}, {1.25, 1.11, 1.17}};
    std::vector<std::pair<std::string, double>> tones;
    for (const Row& row : rows) {
        for (const Probe& probe : probes) {
            const double frequency = row.corner * probe.timesCorner;
            tones.emplace_back(addSample("sine" + std::to_string(tones.size()), sineMono(8192, frequency)), frequency);
        }
    }
    SoundBox& box = makeEngine(kBuffer);
    size_t tone = 0;
    for (const Row& row : rows) {
        box.setCutOffAmount(row.fader);
        for (const Probe& probe : probes) {
            const auto& [path, frequency] = tones[tone++];
            SCOPED_TRACE(::testing::Message() << "fader " << row.fader << ", " << frequency << " Hz");
            box.stopAllTracks();
            renderFrames(4096);
            size_t first = 0;
            const std::vector<int32_t> out = renderSettled(box, path, 2048, first);
            std::vector<int32_t> dry;
            const auto source = sineMono(8192, frequency)[0];
            for (size_t k = 0; k < out.size(); ++k) dry.push_back(source[first + k] * kFixedPer16Bit);
            const double gain = rms(out) / rms(dry);
            EXPECT_GE(gain, probe.lowest);
            EXPECT_LE(gain, probe.highest);
        }
    }
}

}  // namespace
}  // namespace strombel::engine::testing
