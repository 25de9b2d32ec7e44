#include "platform/devices/failover_audio_device.h"

#include "platform/devices/jack_clients.h"
#include "platform/devices/null_audio_device.h"

namespace strombel::platform {

FailoverAudioDevice::FailoverAudioDevice(std::unique_ptr<AudioDevice> device, std::unique_ptr<AudioDevice> standIn)
    : device_(std::move(device)), standIn_(standIn ? std::move(standIn) : std::make_unique<NullAudioDevice>()) {
    wire(*device_, true);
    wire(*standIn_, false);
}

FailoverAudioDevice::~FailoverAudioDevice() {
    device_->close();
    standIn_->close();
    for (AudioDevice* inner : {device_.get(), standIn_.get()}) {
        inner->setRenderCallback({});
        inner->setInputCallback({});
        inner->setRestCheck({});
        inner->setEventHandler({});
    }
}

void FailoverAudioDevice::wire(AudioDevice& inner, bool passEvents) {
    // The inner device calls back into this one, which hands the buffer to the
    // engine's callbacks and to this device's tap.
    inner.setRenderCallback([this, passEvents](uint32_t frames, uint64_t hostTime, int32_t* left, int32_t* right) {
        if (passEvents) deviceBuffers_.fetch_add(1, std::memory_order_relaxed);
        renderOutput(frames, hostTime, left, right);
    });
    inner.setInputCallback([this](uint32_t frames, uint64_t hostTime, const int32_t* mono) {
        if (input_) input_(frames, hostTime, mono);
    });
    inner.setRestCheck([this] { return mayRest(); });
    if (passEvents) {
        inner.setEventHandler([this](const AudioDeviceEvent& event) {
            if (events_) events_(event);
        });
    }
}

std::string FailoverAudioDevice::name() const {
    return standingIn_ ? standIn_->name() + " (for " + device_->name() + ")" : device_->name();
}

bool FailoverAudioDevice::configure(const AudioDeviceConfig& config) {
    config_ = config;
    configured_ = true;
    started_ = false;
    return active().configure(config);
}

bool FailoverAudioDevice::start() {
    started_ = true;
    return active().start();
}

bool FailoverAudioDevice::stop() {
    started_ = false;
    return active().stop();
}

void FailoverAudioDevice::close() {
    started_ = false;
    active().close();
}

void FailoverAudioDevice::fallBack() {
    if (standingIn_) return;
    // The stand-in keeps the lost stream's rate and buffer, so that nothing the
    // engine made for that rate has to change.
    AudioDeviceConfig config = config_;
    if (device_->sampleRate() > 0) config.preferredSampleRate = device_->sampleRate();
    if (device_->bufferFrames() > 0) config.bufferDuration = double(device_->bufferFrames()) / config.preferredSampleRate;
    const bool wasStarted = started_;
    device_->close();
    standingIn_ = true;
    standIn_->configure(config);
    if (wasStarted) standIn_->start();
}

bool FailoverAudioDevice::reopen() {
    if (!standingIn_) return true;
    if (!configured_ || !device_->configure(config_)) return false;
    // No buffer is rendered twice or by two threads at once: the stand-in's
    // thread ends before the device starts.
    standIn_->stop();
    if (started_ && !device_->start()) {
        device_->close();
        standIn_->start();
        return false;
    }
    standIn_->close();
    standingIn_ = false;
    return true;
}

FailoverAudioDevice::Reopening FailoverAudioDevice::reopening() const {
    if (!standingIn_ || !configured_) return {};
    std::shared_ptr<const AudioDevice> maker(device_->makeAnother());
    if (!maker) return {};
    return [maker, config = config_]() -> std::unique_ptr<AudioDevice> {
        std::unique_ptr<AudioDevice> opened = maker->makeAnother();
        if (!opened->configure(config)) return nullptr;
        return opened;
    };
}

bool FailoverAudioDevice::adopt(std::unique_ptr<AudioDevice> opened) {
    if (!standingIn_ || !opened) return false;
    wire(*opened, true);
    standIn_->stop();
    if (started_ && !opened->start()) {
        opened->close();
        standIn_->start();
        return false;
    }
    // The lost device was closed when the stand-in took over. A client of it
    // left alone may still call it, so it is kept, wired, for the whole run.
    xrunsBefore_ += device_->xruns();
    leaveJackObjectAlone(device_.release());
    device_ = std::move(opened);
    standIn_->close();
    standingIn_ = false;
    return true;
}

}  // namespace strombel::platform
