#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "platform/audio_device.h"

class RtAudio;

namespace strombel::platform {

/// A real sound card through RtAudio (JACK, PulseAudio or ALSA). The stream is
/// float, non-interleaved; the device converts from and to 8.24 with saturation.
class RtAudioDevice final : public AudioDevice {
public:
    enum class Backend { Jack, Pulse, Alsa };

    explicit RtAudioDevice(Backend backend);
    ~RtAudioDevice() override;

    /// Whether the backend is compiled in and shows at least one output device.
    static bool available(Backend backend);

    std::string name() const override;
    bool configure(const AudioDeviceConfig& config) override;
    bool start() override;
    bool stop() override;
    bool running() const override;
    void close() override;
    double sampleRate() const override { return sampleRate_; }
    uint32_t bufferFrames() const override { return frames_; }
    bool duplex() const override { return duplexOpen_; }
    std::string lastError() const override { return error_; }

    /// Called by RtAudio on its audio thread for every buffer; `xrun` when the
    /// stream reported an under- or overflow since the last one. Marks the
    /// thread real-time and hands the buffer to the engine's callbacks.
    int process(float* output, const float* input, unsigned frames, bool xrun);
    /// Called by RtAudio when the stream fails (for example the server went away).
    void streamFailed();

private:
    Backend backend_;
    std::unique_ptr<RtAudio> rtaudio_;
    double sampleRate_ = 44100.0;
    uint32_t frames_ = 256;
    bool duplexOpen_ = false;
    std::string error_;
    BufferTimeline timeline_;
    std::atomic<bool> anchored_{false};
    std::vector<int32_t> left_, right_, microphone_;
};

}  // namespace strombel::platform
