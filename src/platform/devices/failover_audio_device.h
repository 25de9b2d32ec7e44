#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "platform/devices/audio_device.h"

namespace strombel::platform {

/// A device with a stand-in behind it. While the device plays, the stand-in
/// rests; once the device is lost (its sound server went away, its card failed),
/// `fallBack` lets the stand-in (the null device, unless another is given) run
/// in its place at the same rate and buffer size, so that the engine's clock,
/// the sequencer and the screen go on; `reopen` tries the device again.
///
/// To the engine it is one device: its callbacks, its output tap and its events
/// are the device's, whichever of the two renders. The device's events are
/// passed on; the stand-in's are not.
///
/// Threads: everything but the callbacks on the main thread, as for any device.
class FailoverAudioDevice final : public AudioDevice {
public:
    explicit FailoverAudioDevice(std::unique_ptr<AudioDevice> device, std::unique_ptr<AudioDevice> standIn = nullptr);
    ~FailoverAudioDevice() override;

    std::string name() const override;
    bool configure(const AudioDeviceConfig& config) override;
    bool start() override;
    bool stop() override;
    bool running() const override { return active().running(); }
    void close() override;
    double sampleRate() const override { return active().sampleRate(); }
    uint32_t bufferFrames() const override { return active().bufferFrames(); }
    bool duplex() const override { return active().duplex(); }
    std::string lastError() const override { return active().lastError(); }
    uint64_t xruns() const override { return xrunsBefore_ + device_->xruns() + standIn_->xruns(); }
    /// Wakes both: a wake must not miss the one that renders, whichever it is.
    void wake() noexcept override {
        device_->wake();
        standIn_->wake();
    }
    bool resting() const override { return active().resting(); }

    /// Whether the stand-in renders in the lost device's place.
    bool standingIn() const { return standingIn_; }
    /// The device is lost: closes it (a lost device leaves alone whatever its
    /// server tore down) and lets the stand-in run in its place, started when
    /// the device was. Nothing happens when the stand-in already runs.
    void fallBack();
    /// Opens the device again as it was last configured; once it opens (and
    /// starts, when it was started) the stand-in stops and the device renders
    /// again. False, with nothing changed, while the device cannot be opened.
    bool reopen();

    /// For a device that opens afresh elsewhere (`makeAnother`): what opens a
    /// new one as the lost one was last configured, to run on another thread
    /// (it owns all it needs; a null result means it did not open). Empty when
    /// the device is only reopened in place (`reopen`) or nothing is lost.
    using Reopening = std::function<std::unique_ptr<AudioDevice>()>;
    Reopening reopening() const;
    /// Takes a device `reopening` opened in the lost one's place: once it
    /// starts (when the output was started) the stand-in stops and it renders.
    /// False, with the stand-in going on and `opened` closed, when it does not.
    bool adopt(std::unique_ptr<AudioDevice> opened);

    AudioDevice& device() { return *device_; }
    /// Buffers the device (not the stand-in) rendered so far (any thread).
    uint64_t deviceBuffers() const { return deviceBuffers_.load(std::memory_order_relaxed); }
    AudioDevice& standIn() { return *standIn_; }

private:
    const AudioDevice& active() const { return standingIn_ ? *standIn_ : *device_; }
    AudioDevice& active() { return standingIn_ ? *standIn_ : *device_; }
    void wire(AudioDevice& inner, bool passEvents);

    std::unique_ptr<AudioDevice> device_;
    std::unique_ptr<AudioDevice> standIn_;
    AudioDeviceConfig config_;
    bool configured_ = false;
    bool started_ = false;  // the engine wants the output running
    bool standingIn_ = false;
    std::atomic<uint64_t> deviceBuffers_{0};
    uint64_t xrunsBefore_ = 0;  // of devices replaced by `adopt`
};

}  // namespace strombel::platform
