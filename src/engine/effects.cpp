// The effect chain runs on the audio thread for every buffer: no allocation, no
// lock, no files.

#include "engine/effects.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace strombel::engine {

namespace {

void copy(uint32_t count, const float* source, float* destination) {
    if (count) std::memcpy(destination, source, count * sizeof(float));
}

bool isZeroOrNaN(float value) { return value == 0.0f || !(value == value); }

/// The cut-off filter passes the sound untouched at or below 100 Hz, with no wet
/// part, or without a usable sample rate.
bool cutOffIsDry(float frequency, double sampleRate, float wetness) {
    return !(frequency > 100.0f) || isZeroOrNaN(wetness) || !(sampleRate > 0);
}

/// Coefficients of the second-order high-pass (Q = 1) at `frequency`, normalised by a0.
struct HighPass {
    float b0, b1, b2, a1, a2;
};

HighPass highPass(float frequency, double sampleRate) {
    // Above Nyquist the cookbook formulas no longer describe a stable filter.
    const double f = std::min<double>(frequency, 0.45 * sampleRate);
    const double omega = 2.0 * M_PI * f / sampleRate;
    const double alpha = std::sin(omega) / 2.0;
    const double a0 = 1.0 + alpha;
    const float b0 = static_cast<float>((1.0 + std::cos(omega)) / 2.0 / a0);
    const float b1 = static_cast<float>(-(1.0 + std::cos(omega)) / a0);
    const float a1 = static_cast<float>(-2.0 * std::cos(omega) / a0);
    const float a2 = static_cast<float>((1.0 - alpha) / a0);
    return {b0, b1, b0, a1, a2};
}

}  // namespace

void applyCrushEffect(uint32_t count, const float* source, float* destination, float amount, float wetness) {
    if (isZeroOrNaN(amount) || isZeroOrNaN(wetness)) {
        copy(count, source, destination);
        return;
    }
    amount = std::clamp(amount, 0.0f, 8.0f);
    const uint32_t block = 1u << static_cast<uint32_t>(std::floor(amount + 1.0f));
    const uint32_t whole = count / block * block;
    for (uint32_t start = 0; start < whole; start += block) {
        // Two partial sums (every block has an even length) halve the adder chain.
        float even = 0, odd = 0;
        for (uint32_t i = 0; i < block; i += 2) {
            even += source[start + i];
            odd += source[start + i + 1];
        }
        const float average = (even + odd) / static_cast<float>(block);
        for (uint32_t i = 0; i < block; ++i)
            destination[start + i] = average * wetness + (1.0f - wetness) * source[start + i];
    }
    // A partial block at the end stays dry rather than undefined.
    copy(count - whole, source + whole, destination + whole);
}

void applyCutOffFilter(uint32_t count, const float* source, float* destination, float frequency, double sampleRate,
                       float wetness) {
    if (cutOffIsDry(frequency, sampleRate, wetness)) {
        copy(count, source, destination);
        return;
    }
    if (count == 0) return;
    const auto [b0, b1, b2, a1, a2] = highPass(frequency, sampleRate);
    float x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const float x = source[i];
        const float y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        destination[i] = (1.0f - wetness) * x + wetness * y;
    }
}

void applyCutOffFilterStereo(uint32_t count, const float* sourceL, float* destinationL, const float* sourceR,
                             float* destinationR, float frequency, double sampleRate, float wetness) {
    if (cutOffIsDry(frequency, sampleRate, wetness)) {
        copy(count, sourceL, destinationL);
        copy(count, sourceR, destinationR);
        return;
    }
    const auto [b0, b1, b2, a1, a2] = highPass(frequency, sampleRate);
    // Both channels in one pass: two independent recursions keep the pipeline busy.
    float lx1 = 0, lx2 = 0, ly1 = 0, ly2 = 0, rx1 = 0, rx2 = 0, ry1 = 0, ry2 = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const float lx = sourceL[i], rx = sourceR[i];
        const float ly = b0 * lx + b1 * lx1 + b2 * lx2 - a1 * ly1 - a2 * ly2;
        const float ry = b0 * rx + b1 * rx1 + b2 * rx2 - a1 * ry1 - a2 * ry2;
        lx2 = lx1, lx1 = lx, ly2 = ly1, ly1 = ly;
        rx2 = rx1, rx1 = rx, ry2 = ry1, ry1 = ry;
        destinationL[i] = (1.0f - wetness) * lx + wetness * ly;
        destinationR[i] = (1.0f - wetness) * rx + wetness * ry;
    }
}

void applyPhaseEffect(uint32_t count, uint32_t maxDelay, const float* source, float* destination, float amount,
                      float wetness) {
    if (isZeroOrNaN(amount) || isZeroOrNaN(wetness)) {
        copy(count, source, destination);
        return;
    }
    const uint32_t delay = static_cast<uint32_t>(static_cast<float>(maxDelay) * std::clamp(amount, 0.0f, 1.0f));
    const uint32_t dryEnd = std::min(delay, count);
    copy(dryEnd, source, destination);
    for (uint32_t i = dryEnd; i < count; ++i) destination[i] = (source[i] + source[i - delay] * wetness) * 0.7f;
}

EchoBuffer::EchoBuffer(int32_t maxTotalBufSize)
    : max_(std::max(maxTotalBufSize, 0)),
      ring_(static_cast<size_t>(std::max(max_, 1)), 0),
      blocks_(static_cast<size_t>(std::max(max_, 1)) + 1, 0) {}

void EchoBuffer::appendFrames(const int32_t* frames, int32_t bufferSize) {
    if (bufferSize <= 0 || bufferSize > max_) return;
    int32_t zeros = 0;
    while (zeros < bufferSize && frames[bufferSize - 1 - zeros] == 0) ++zeros;
    if (zeros == bufferSize && isSilent()) {
        clearBuffer();
        return;
    }
    silentTail_ = zeros == bufferSize ? std::min(silentTail_ + bufferSize, max_) : zeros;
    const size_t capacity = ring_.size();
    size_t at = static_cast<size_t>(writeEnd_ % static_cast<int64_t>(capacity));
    size_t first = std::min<size_t>(static_cast<size_t>(bufferSize), capacity - at);
    std::memcpy(ring_.data() + at, frames, first * sizeof(int32_t));
    std::memcpy(ring_.data(), frames + first, (static_cast<size_t>(bufferSize) - first) * sizeof(int32_t));
    writeEnd_ += bufferSize;
    blocks_[(firstBlock_ + blockCount_) % blocks_.size()] = bufferSize;
    ++blockCount_;
    total_ += bufferSize;
    // Whole blocks fall off the oldest end until the total fits.
    while (total_ > max_ && blockCount_ > 0) {
        total_ -= blocks_[firstBlock_];
        firstBlock_ = (firstBlock_ + 1) % blocks_.size();
        --blockCount_;
    }
}

void EchoBuffer::applyEchoTo(int32_t* output, int32_t numFrames, float delay, float intensity) {
    if (!(delay >= 0.0f) || !(intensity == intensity) || numFrames <= 0) return;
    if (total_ == 0) return;
    const int64_t d = static_cast<int64_t>(delay);
    const int64_t firstOutput = std::max<int64_t>(0, d - total_);
    const int64_t endOutput = std::min<int64_t>(numFrames, d);
    if (firstOutput >= endOutput) return;
    const int64_t capacity = static_cast<int64_t>(ring_.size());
    int64_t index = (writeEnd_ - d + firstOutput) % capacity;
    // In runs that do not cross the ring's end.
    for (int64_t w = firstOutput; w < endOutput;) {
        const int64_t run = std::min(endOutput - w, capacity - index);
        const int32_t* history = ring_.data() + index;
        int32_t* out = output + w;
        for (int64_t k = 0; k < run; ++k)
            out[k] = saturatingFromFloat(static_cast<float>(out[k]) + static_cast<float>(history[k]) * intensity);
        w += run;
        index = 0;
    }
}

void EchoBuffer::clearBuffer() {
    total_ = 0;
    silentTail_ = 0;
    blockCount_ = 0;
    firstBlock_ = 0;
}

}  // namespace strombel::engine
