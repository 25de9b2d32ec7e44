#include "hub/sender_audio_ring.h"

#include <algorithm>
#include <cmath>

#include "platform/sample_format.h"

namespace strombel::hub {

SenderAudioRing::SenderAudioRing(size_t capacityFrames)
    : samples_(capacityFrames * 2, 0.0f), capacity_(capacityFrames) {}

void SenderAudioRing::tapOutput(uint32_t frames, double sampleRate, const int32_t* left, const int32_t* right) {
    sampleRate_.store(sampleRate, std::memory_order_release);
    const uint64_t head = head_.load(std::memory_order_relaxed);
    const uint64_t room = capacity_ - (head - tail_.load(std::memory_order_acquire));
    const uint64_t taken = std::min<uint64_t>(frames, room);
    if (taken < frames) overruns_.fetch_add(1, std::memory_order_relaxed);
    if (taken == 0) return;
    size_t frame = size_t(head % capacity_);
    for (uint64_t i = 0; i < taken; ++i) {
        samples_[2 * frame] = platform::fixed824ToFloat(left[i]);
        samples_[2 * frame + 1] = platform::fixed824ToFloat(right[i]);
        if (++frame == capacity_) frame = 0;
    }
    head_.store(head + taken, std::memory_order_release);
}

size_t SenderAudioRing::available() const {
    return size_t(head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_relaxed));
}

size_t SenderAudioRing::readInterleaved(float* out, size_t frames) {
    const uint64_t tail = tail_.load(std::memory_order_relaxed);
    const size_t taken = std::min(frames, available());
    if (taken == 0) return 0;
    size_t frame = size_t(tail % capacity_);
    for (size_t i = 0; i < taken; ++i) {
        out[2 * i] = samples_[2 * frame];
        out[2 * i + 1] = samples_[2 * frame + 1];
        if (++frame == capacity_) frame = 0;
    }
    tail_.store(tail + taken, std::memory_order_release);
    return taken;
}

void SenderAudioRing::discard() { tail_.store(head_.load(std::memory_order_acquire), std::memory_order_release); }

SenderAudioReader::SenderAudioReader(SenderAudioRing& ring, size_t cushionFrames)
    : ring_(ring),
      cushionFrames_(std::min(cushionFrames, ring.capacity() / 2)),
      input_(kChunkFrames * 2),
      output_(kChunkFrames * 2) {
    int error = 0;
    resampler_ = src_callback_new(&SenderAudioReader::feed, SRC_SINC_FASTEST, 2, &error, this);
}

SenderAudioReader::~SenderAudioReader() {
    if (resampler_) src_delete(resampler_);
}

void SenderAudioReader::silence(float* left, float* right, uint32_t frames) {
    std::fill_n(left, frames, 0.0f);
    std::fill_n(right, frames, 0.0f);
}

void SenderAudioReader::pull(float* left, float* right, uint32_t frames, double outputRate, float volume) {
    const double inputRate = ring_.sampleRate();
    if (inputRate <= 0 || outputRate <= 0) return silence(left, right, frames);
    const double ratio = outputRate / inputRate;
    const bool resample = std::fabs(ratio - 1.0) > 1e-9 && resampler_;
    // The frames this period takes from the ring, with the resampler's appetite.
    const size_t needed = size_t(std::ceil(frames / ratio)) + (resample ? kChunkFrames : 0);
    if (!primed_) {
        if (ring_.available() < std::max(cushionFrames_, needed)) return silence(left, right, frames);
        primed_ = true;
        if (resample != resampling_ && resampler_) src_reset(resampler_);
    }
    if (ring_.available() < needed) {
        primed_ = false;
        gaps_.fetch_add(1, std::memory_order_relaxed);
        return silence(left, right, frames);
    }
    resampling_ = resample;
    if (resample) pullResampled(left, right, frames, ratio, volume);
    else pullDirect(left, right, frames, volume);
}

void SenderAudioReader::pullDirect(float* left, float* right, uint32_t frames, float volume) {
    uint32_t done = 0;
    while (done < frames) {
        const size_t piece = ring_.readInterleaved(output_.data(), std::min<size_t>(frames - done, kChunkFrames));
        for (size_t i = 0; i < piece; ++i) {
            left[done + i] = output_[2 * i] * volume;
            right[done + i] = output_[2 * i + 1] * volume;
        }
        done += uint32_t(piece);
        if (piece == 0) break;
    }
    if (done < frames) silence(left + done, right + done, frames - done);
}

long SenderAudioReader::feed(void* context, float** data) {
    auto* reader = static_cast<SenderAudioReader*>(context);
    size_t got = reader->ring_.readInterleaved(reader->input_.data(), kChunkFrames);
    if (got == 0) {
        // Never end the stream: an empty ring feeds silence.
        std::fill(reader->input_.begin(), reader->input_.end(), 0.0f);
        got = kChunkFrames;
    }
    *data = reader->input_.data();
    return long(got);
}

void SenderAudioReader::pullResampled(float* left, float* right, uint32_t frames, double ratio, float volume) {
    uint32_t done = 0;
    while (done < frames) {
        const long wanted = long(std::min<size_t>(frames - done, kChunkFrames));
        const long got = src_callback_read(resampler_, ratio, wanted, output_.data());
        if (got <= 0) break;
        for (long i = 0; i < got; ++i) {
            left[done + i] = output_[size_t(2 * i)] * volume;
            right[done + i] = output_[size_t(2 * i + 1)] * volume;
        }
        done += uint32_t(got);
    }
    if (done < frames) silence(left + done, right + done, frames - done);
}

}  // namespace strombel::hub
