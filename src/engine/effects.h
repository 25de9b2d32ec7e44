#pragma once

// The effect chain's building blocks. Everything here runs on the audio thread:
// no allocation after construction, no lock, no file access.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace strombel::engine {

/// The length of the sliding effect window of each channel, in frames.
constexpr uint32_t kEffectWindowFrames = 1024;

/// Averages blocks of 2^floor(amount + 1) samples (amount 0 to 4: blocks of 2 to
/// 32) and mixes the averages with the dry signal by `wetness`. Samples after the
/// last whole block are copied. Amount or wetness 0 (or NaN) copies.
void applyCrushEffect(uint32_t count, const float* source, float* destination, float amount, float wetness);

/// A second-order high-pass (Q = 1) at `frequency`, its memory cleared on every
/// call. Frequencies of 100 Hz or lower, wetness 0 and NaN copy the input; the
/// frequency is kept below 0.45 of the rate so the filter stays stable.
void applyCutOffFilter(uint32_t count, const float* source, float* destination, float frequency,
                       double sampleRate, float wetness);

/// `applyCutOffFilter` on a left and a right channel at once, sample for sample
/// the same results.
void applyCutOffFilterStereo(uint32_t count, const float* sourceL, float* destinationL, const float* sourceR,
                             float* destinationR, float frequency, double sampleRate, float wetness);

/// Adds the input delayed by maxDelay x amount samples, times wetness, and scales
/// by 0.7 where the delayed partner lies inside the block; copies elsewhere.
void applyPhaseEffect(uint32_t count, uint32_t maxDelay, const float* source, float* destination, float amount,
                      float wetness);

/// A bounded history of appended blocks, oldest first; the oldest whole blocks
/// fall off when the total exceeds the maximum. Stored in a ring sized once.
/// One thread uses it (the audio thread); the engine sizes it from the device's
/// rate while no callback runs, and asks the audio thread to clear it.
class EchoBuffer {
public:
    explicit EchoBuffer(int32_t maxTotalBufSize);

    /// Appends a block (a block larger than the maximum is not appended). A block
    /// of zeros appended to a history of zeros empties it instead: both add
    /// nothing to any output, and an empty history costs nothing to apply.
    void appendFrames(const int32_t* frames, int32_t bufferSize);
    /// Adds to `output[w]` the history sample `delay` samples before it, times
    /// intensity, saturating. Output samples without a partner get nothing.
    void applyEchoTo(int32_t* output, int32_t numFrames, float delay, float intensity);
    /// Empties the history.
    void clearBuffer();

    /// Every sample held is zero (an empty history too): applying it adds nothing.
    bool isSilent() const { return silentTail_ >= total_; }

    int32_t totalBufSize() const { return total_; }
    int32_t maxTotalBufSize() const { return max_; }

private:
    int32_t max_;
    std::vector<int32_t> ring_;      // samples, capacity max
    std::vector<int32_t> blocks_;    // sizes of the blocks held, oldest first, as a ring
    int64_t writeEnd_ = 0;           // samples ever appended
    int32_t total_ = 0;
    int32_t silentTail_ = 0;         // the newest samples held that are zero
    size_t firstBlock_ = 0, blockCount_ = 0;
};

/// Adds `value` to `sample`, saturating at the 32-bit range.
inline int32_t saturatingAdd(int32_t sample, int64_t value) {
    int64_t sum = static_cast<int64_t>(sample) + value;
    return sum > INT32_MAX ? INT32_MAX : (sum < INT32_MIN ? INT32_MIN : static_cast<int32_t>(sum));
}

/// Float to a 32-bit sample, truncated toward zero, saturating (NaN gives 0).
inline int32_t saturatingFromFloat(float value) {
    // Selects rather than branches, so that loops over it vectorise.
    float v = value == value ? value : 0.0f;
    v = v > -2147483648.0f ? v : -2147483648.0f;
    v = v < 2147483520.0f ? v : 2147483520.0f;  // the largest float below 2^31
    const int32_t sample = static_cast<int32_t>(v);
    return value >= 2147483520.0f ? INT32_MAX : sample;
}

/// Adds `count` frames of a track, times `gain`, into a float mix (a mono track
/// passes its one channel as both). Live playback and the export mix the same
/// way, so an exported pattern sounds as it plays.
inline void addFrames(const int32_t* sourceL, const int32_t* sourceR, uint32_t count, float gain, float* mixL,
                      float* mixR) {
    for (uint32_t k = 0; k < count; ++k) {
        mixL[k] += gain * static_cast<float>(sourceL[k]);
        mixR[k] += gain * static_cast<float>(sourceR[k]);
    }
}

}  // namespace strombel::engine
