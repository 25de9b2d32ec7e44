#pragma once

// The effect chain of the live render: the tracks that take effects are mixed
// into its sliding windows, which crush, cut-off and phase work over; echo and
// reverb come from a history of each channel. Windows of zeros and silent
// histories cost nothing: the chain rests until something goes in again. All but
// the set-up runs on the audio thread and allocates nothing.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/effects.h"

namespace strombel::engine {

class EffectChain {
public:
    /// The effects' amounts for a block, as the engine's parameters hold them.
    struct Amounts {
        float wetness = 1.0f;
        float crush = 0.0f, cutOff = 0.0f, phase = 0.0f;
        float delayIntensity = 0.0f, delayTime = 0.5f, reverb = 0.0f;
    };
    /// The echo history of each channel, in seconds of the engine's rate.
    static constexpr double kEchoHistorySeconds = 3.0;
    /// The most frames a block has.
    static constexpr uint32_t kMaxBlockFrames = 512;

    /// Sized for blocks at `sampleRate`.
    explicit EffectChain(double sampleRate);
    EffectChain(const EffectChain&) = delete;
    EffectChain& operator=(const EffectChain&) = delete;

    /// While no callback runs: sizes the echo histories for `sampleRate`.
    void sizeEchoHistories(double sampleRate);

    /// Audio thread: a block of `n` frames begins; the windows slide by `n`.
    void beginBlock(uint32_t n);
    /// Audio thread: where this block's frames go in the windows (`n` of them).
    float* windowLeft(uint32_t n) { return windowL_.data() + kEffectWindowFrames - n; }
    float* windowRight(uint32_t n) { return windowR_.data() + kEffectWindowFrames - n; }
    /// Audio thread: frames went into the windows this block.
    void touched() { windowTouched_ = true; }
    /// Audio thread, after the block's frames went in: whether the chain rests
    /// this block (windows of zeros and silent histories would add zeros).
    bool restsAfter(uint32_t n);
    /// Audio thread, when it does not rest: works the chain over the block and
    /// adds its output to `left` and `right` (saturating).
    void finishBlock(uint32_t n, const Amounts& amounts, double sampleRate, int32_t* left, int32_t* right);
    /// Audio thread: clears both echo histories.
    void clearEcho();

    /// The last block skipped the chain (any thread).
    bool atRest() const { return atRest_.load(std::memory_order_relaxed); }
    /// Blocks the chain worked on so far (any thread).
    uint64_t blocks() const { return blocks_.load(std::memory_order_relaxed); }

private:
    /// Crush, cut-off and phase over the windows into the block's integer scratch.
    void applyWindowEffects(uint32_t n, const Amounts& amounts, double sampleRate);

    std::vector<float> windowL_, windowR_;
    std::vector<float> scratchA_, scratchB_, scratchC_, scratchD_;
    std::vector<int32_t> outL_, outR_;
    std::unique_ptr<EchoBuffer> echoLeft_, echoRight_;
    bool windowTouched_ = false;                        // effect frames went into the windows this block
    uint32_t framesSinceWindowInput_ = kEffectWindowFrames;  // the windows hold only zeros from this many on
    std::atomic<uint64_t> blocks_{0};
    std::atomic<bool> atRest_{true};
};

}  // namespace strombel::engine
