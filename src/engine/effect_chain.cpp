// The live effect chain over a block: windows, echo and reverb.

#include "engine/effect_chain.h"

#include <algorithm>
#include <cstring>

namespace strombel::engine {

EffectChain::EffectChain(double sampleRate) {
    windowL_.assign(kEffectWindowFrames, 0.0f);
    windowR_.assign(kEffectWindowFrames, 0.0f);
    for (auto* scratch : {&scratchA_, &scratchB_, &scratchC_, &scratchD_}) scratch->assign(kEffectWindowFrames, 0.0f);
    outL_.assign(kMaxBlockFrames, 0);
    outR_.assign(kMaxBlockFrames, 0);
    sizeEchoHistories(sampleRate);
}

void EffectChain::sizeEchoHistories(double sampleRate) {
    const auto frames = static_cast<int32_t>(kEchoHistorySeconds * sampleRate);
    if (echoLeft_ && echoLeft_->maxTotalBufSize() == frames) return;
    echoLeft_ = std::make_unique<EchoBuffer>(frames);
    echoRight_ = std::make_unique<EchoBuffer>(frames);
}

void EffectChain::clearEcho() {
    echoLeft_->clearBuffer();
    echoRight_->clearBuffer();
}

void EffectChain::beginBlock(uint32_t n) {
    // Slide the effect windows by n and clear the newest n positions; windows of
    // zeros stay as they are. One copy of the whole window, not block by block of
    // n: the same when n divides the window, but for any other n (a buffer's short
    // last block, a period of 441 frames) only this keeps the history in order.
    if (framesSinceWindowInput_ < kEffectWindowFrames) {
        std::memmove(windowL_.data(), windowL_.data() + n, (kEffectWindowFrames - n) * sizeof(float));
        std::memmove(windowR_.data(), windowR_.data() + n, (kEffectWindowFrames - n) * sizeof(float));
        std::fill_n(windowL_.data() + kEffectWindowFrames - n, n, 0.0f);
        std::fill_n(windowR_.data() + kEffectWindowFrames - n, n, 0.0f);
    }
    windowTouched_ = false;
}

bool EffectChain::restsAfter(uint32_t n) {
    framesSinceWindowInput_ = windowTouched_ ? 0 : std::min(framesSinceWindowInput_ + n, kEffectWindowFrames);

    // Silent windows and echo histories of zeros: the chain would add zeros.
    if (framesSinceWindowInput_ >= kEffectWindowFrames && echoLeft_->isSilent() && echoRight_->isSilent()) {
        echoLeft_->clearBuffer();
        echoRight_->clearBuffer();
        atRest_.store(true, std::memory_order_relaxed);
        return true;
    }
    atRest_.store(false, std::memory_order_relaxed);
    return false;
}

void EffectChain::finishBlock(uint32_t n, const Amounts& amounts, double sampleRate, int32_t* left, int32_t* right) {
    blocks_.fetch_add(1, std::memory_order_relaxed);
    applyWindowEffects(n, amounts, sampleRate);

    // Echo and reverb from the histories, which then take this block.
    float echo = amounts.wetness * amounts.delayIntensity * 0.9f;
    float reverb = amounts.wetness * amounts.reverb * 0.4f;
    while (reverb > 0.01f && echo + reverb > 0.9f) {
        echo *= 0.8f;
        reverb *= 0.8f;
    }
    const int32_t frames = static_cast<int32_t>(n);
    const int64_t history = echoLeft_->maxTotalBufSize();
    if (echo != 0.0f) {
        const int64_t d = static_cast<int64_t>(amounts.delayTime * sampleRate);
        if (d >= 0 && d < history) {
            echoLeft_->applyEchoTo(outL_.data(), frames, static_cast<float>(d), echo);
            echoRight_->applyEchoTo(outR_.data(), frames, static_cast<float>(d), echo);
        }
    }
    if (reverb != 0.0f) {
        static constexpr float kTaps[2][2] = {{0.1f, 0.6f}, {0.17f, 0.4f}};
        for (const auto& tap : kTaps) {
            const int64_t d = static_cast<int64_t>(tap[0] * sampleRate);
            if (d >= 0 && d < history - 2 * frames) {
                echoLeft_->applyEchoTo(outL_.data(), frames, static_cast<float>(d), reverb * tap[1]);
                echoRight_->applyEchoTo(outR_.data(), frames, static_cast<float>(d), reverb * tap[1]);
            }
        }
    }
    echoLeft_->appendFrames(outL_.data(), frames);
    echoRight_->appendFrames(outR_.data(), frames);

    for (uint32_t k = 0; k < n; ++k) {
        left[k] = saturatingAdd(left[k], outL_[k]);
        right[k] = saturatingAdd(right[k], outR_[k]);
    }
}

void EffectChain::applyWindowEffects(uint32_t n, const Amounts& amounts, double sampleRate) {
    const uint32_t W = kEffectWindowFrames;
    if (framesSinceWindowInput_ >= W) {  // windows of zeros give zeros, at no cost
        std::fill_n(outL_.data(), n, 0);
        std::fill_n(outR_.data(), n, 0);
        return;
    }
    const float wetness = amounts.wetness;
    const float crush = amounts.crush * 4.0f;
    const float phase = amounts.phase;
    applyCrushEffect(W, windowL_.data(), scratchA_.data(), crush, wetness);
    applyCrushEffect(W, windowR_.data(), scratchB_.data(), crush, wetness);
    applyCutOffFilterStereo(W, scratchA_.data(), scratchC_.data(), scratchB_.data(), scratchD_.data(),
                            amounts.cutOff * 2500.0f, sampleRate, wetness);
    // Only the newest n frames leave the window: the phase stage works on them and
    // the 128 frames before them that they reach back to (the same values as over
    // the whole window, since every partner lies inside it).
    const uint32_t phaseFrom = W - n - std::min<uint32_t>(128, W - n);
    applyPhaseEffect(W - phaseFrom, 128, scratchC_.data() + phaseFrom, scratchA_.data() + phaseFrom, phase, wetness);
    applyPhaseEffect(W - phaseFrom, 128, scratchD_.data() + phaseFrom, scratchB_.data() + phaseFrom, phase, wetness);
    for (uint32_t k = 0; k < n; ++k) {
        outL_[k] = saturatingFromFloat(scratchA_[W - n + k]);
        outR_[k] = saturatingFromFloat(scratchB_[W - n + k]);
    }
}

}  // namespace strombel::engine
