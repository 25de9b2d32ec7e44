#pragma once

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/devices/audio_device.h"
#include "platform/clock.h"

namespace strombel::platform {

/// A device without a sound card: a thread of its own calls the render callback
/// at real-time pace (one buffer per buffer duration, paced by the monotonic
/// clock) and throws the sound away. It has no microphone: a configuration that
/// asks for input is refused.
class NullAudioDevice final : public AudioDevice {
public:
    NullAudioDevice();
    ~NullAudioDevice() override;

    std::string name() const override { return "null"; }
    bool configure(const AudioDeviceConfig& config) override;
    bool start() override;
    bool stop() override;
    bool running() const override { return running_.load(); }
    void close() override;
    double sampleRate() const override { return config_.preferredSampleRate; }
    uint32_t bufferFrames() const override { return frames_; }
    bool duplex() const override { return config_.duplex; }
    std::string lastError() const override { return lastError_; }

private:
    void loop();

    AudioDeviceConfig config_;
    std::string lastError_;
    uint32_t frames_ = 256;
    std::atomic<bool> running_{false};
    std::thread thread_;
    std::vector<int32_t> left_, right_;
    BufferTimeline timeline_;
};

}  // namespace strombel::platform
