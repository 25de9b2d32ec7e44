#pragma once

// The hand-over of the engine's output to the sender port's JACK client: the
// device's audio thread writes each rendered buffer into a ring sized at set-up;
// JACK's process thread reads it, resampling when the two rates differ. Both
// sides are real-time: nothing here allocates, locks or waits after set-up.

#include <samplerate.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/devices/audio_device.h"

namespace strombel::hub {

/// One writer (the device's audio thread, through the output tap) and one
/// reader (JACK's process thread) of stereo float frames.
class SenderAudioRing : public platform::AudioOutputTap {
public:
    explicit SenderAudioRing(size_t capacityFrames);

    /// Writer: takes the buffer as floats; frames that do not fit are dropped and
    /// counted as an overrun.
    void tapOutput(uint32_t frames, double sampleRate, const int32_t* left, const int32_t* right) override;

    /// Reader: frames waiting.
    size_t available() const;
    /// Reader: moves up to `frames` frames out, interleaved left/right; returns
    /// how many.
    size_t readInterleaved(float* out, size_t frames);
    /// Reader: drops everything waiting.
    void discard();

    /// The rate of the frames written last (0 before the first buffer).
    double sampleRate() const { return sampleRate_.load(std::memory_order_acquire); }
    size_t capacity() const { return capacity_; }
    uint64_t overruns() const { return overruns_.load(std::memory_order_relaxed); }

private:
    std::vector<float> samples_;  // interleaved
    const size_t capacity_;
    std::atomic<uint64_t> head_{0};  // frames written, by the writer
    std::atomic<uint64_t> tail_{0};  // frames read, by the reader
    std::atomic<double> sampleRate_{0};
    std::atomic<uint64_t> overruns_{0};
};

/// The reading side on JACK's process thread: waits until the ring holds a
/// cushion of frames, then hands out periods at the output rate, applying the
/// volume; an empty ring gives silence and counts a gap, and the cushion is
/// gathered again.
class SenderAudioReader {
public:
    /// `cushionFrames` at the ring's rate are gathered before reading starts.
    SenderAudioReader(SenderAudioRing& ring, size_t cushionFrames);
    ~SenderAudioReader();
    SenderAudioReader(const SenderAudioReader&) = delete;
    SenderAudioReader& operator=(const SenderAudioReader&) = delete;

    /// Fills `frames` frames of both channels at `outputRate`. Real-time.
    void pull(float* left, float* right, uint32_t frames, double outputRate, float volume);

    uint64_t gaps() const { return gaps_.load(std::memory_order_relaxed); }
    bool resampling() const { return resampling_; }

private:
    static long feed(void* reader, float** data);
    void pullDirect(float* left, float* right, uint32_t frames, float volume);
    void pullResampled(float* left, float* right, uint32_t frames, double ratio, float volume);
    void silence(float* left, float* right, uint32_t frames);

    static constexpr size_t kChunkFrames = 512;
    SenderAudioRing& ring_;
    const size_t cushionFrames_;
    bool primed_ = false;
    bool resampling_ = false;
    SRC_STATE* resampler_ = nullptr;
    std::vector<float> input_;   // interleaved, kChunkFrames
    std::vector<float> output_;  // interleaved, kChunkFrames
    std::atomic<uint64_t> gaps_{0};
};

}  // namespace strombel::hub
