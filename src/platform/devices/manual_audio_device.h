#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "platform/devices/audio_device.h"

namespace strombel::platform {

/// A device that tests drive buffer by buffer: nothing happens until the test
/// calls `renderBuffer`, which runs the render callback on the calling thread,
/// marked real-time for the call as a device's audio thread is.
class ManualAudioDevice final : public AudioDevice {
public:
    /// `anchorNanos` is the host time of the first frame after `start()`.
    explicit ManualAudioDevice(double sampleRate = 44100.0, uint32_t bufferFrames = 256,
                               uint64_t anchorNanos = 1'000'000'000);

    std::string name() const override { return "manual"; }
    bool configure(const AudioDeviceConfig& config) override;
    bool start() override;
    bool stop() override;
    bool running() const override { return running_; }
    void close() override;
    double sampleRate() const override { return sampleRate_; }
    uint32_t bufferFrames() const override { return bufferFrames_; }
    bool duplex() const override { return config_.duplex; }
    std::string lastError() const override { return error_; }
    bool pacedByItself() const override { return pacedByItself_; }
    /// Lets the device pass for one that renders at its own pace (a test of
    /// what happens when such a device falls silent).
    void setPacedByItself(bool paced) { pacedByItself_ = paced; }

    /// Renders one buffer of `frames` (the configured size when 0) at the next
    /// host time of the frame counter. Does nothing while stopped. Returns the
    /// host time used.
    uint64_t renderBuffer(uint32_t frames = 0);
    /// Renders one buffer at an explicit host time (the counter is not moved).
    void renderBufferAt(uint64_t hostTimeNanos, uint32_t frames = 0);
    /// Delivers microphone samples (8.24 mono) as the input callback would get them.
    void deliverInput(const std::vector<int32_t>& mono);
    /// The same, captured at `hostTimeNanos` (as by a device opened again after a loss).
    void deliverInputAt(uint64_t hostTimeNanos, const std::vector<int32_t>& mono);
    /// Reports an event as the platform would.
    void postEvent(const AudioDeviceEvent& event);
    /// Reports an under- or overrun, as a real device's stream status would.
    void reportXrun() { countXrun(); }
    /// Counts wakes; the device itself never rests.
    void wake() noexcept override { wakes_.fetch_add(1, std::memory_order_relaxed); }
    uint64_t wakes() const { return wakes_.load(std::memory_order_relaxed); }
    /// What the rest check answers now, asked as a resting device asks it after a buffer.
    bool wouldRest() const { return mayRest(); }

    /// The host time the next `renderBuffer` will use.
    uint64_t nextHostTime() const;
    /// What the last rendered buffer held.
    const std::vector<int32_t>& left() const { return left_; }
    const std::vector<int32_t>& right() const { return right_; }

    /// The stream fails mid-stream, as a card pulled out or a sound server that
    /// went away: nothing renders any more, `Lost` is reported with `reason`,
    /// and every `configure` fails until `setAvailable(true)`.
    void fail(const std::string& reason);
    /// Whether the device can be opened (false: its server is away).
    void setAvailable(bool available) { available_ = available; }
    int configureCount() const { return configureCount_; }

    /// Makes the next `configure` or `start` fail (as a busy or missing device would).
    void failNextConfigure(bool fail) { failConfigure_ = fail; }
    void failNextStart(bool fail) { failStart_ = fail; }
    int startCount() const { return startCount_; }

private:
    double sampleRate_;
    uint32_t bufferFrames_;
    uint64_t anchorNanos_;
    AudioDeviceConfig config_;
    bool running_ = false;
    bool failConfigure_ = false;
    bool failStart_ = false;
    bool available_ = true;
    bool pacedByItself_ = false;
    int startCount_ = 0;
    int configureCount_ = 0;
    std::string error_;
    BufferTimeline timeline_;
    std::vector<int32_t> left_, right_;
    std::atomic<uint64_t> wakes_{0};
};

}  // namespace strombel::platform
