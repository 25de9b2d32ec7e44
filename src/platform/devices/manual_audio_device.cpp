#include "platform/devices/manual_audio_device.h"

#include "platform/realtime.h"
#include "platform/thread_role.h"

namespace strombel::platform {

ManualAudioDevice::ManualAudioDevice(double sampleRate, uint32_t bufferFrames, uint64_t anchorNanos)
    : sampleRate_(sampleRate), bufferFrames_(bufferFrames), anchorNanos_(anchorNanos) {
    timeline_.anchor(anchorNanos_, sampleRate_);
}

bool ManualAudioDevice::configure(const AudioDeviceConfig& config) {
    ++configureCount_;
    if (!available_) {
        error_ = "the device is not there";
        return false;
    }
    if (failConfigure_) {
        failConfigure_ = false;
        error_ = "the device is busy";
        return false;
    }
    running_ = false;
    config_ = config;
    error_.clear();
    return true;
}

bool ManualAudioDevice::start() {
    if (failStart_) {
        failStart_ = false;
        error_ = "the device refused to start";
        return false;
    }
    if (!running_) {
        // The counter keeps counting across stops, as a real device's clock runs on.
        running_ = true;
    }
    ++startCount_;
    return true;
}

bool ManualAudioDevice::stop() {
    running_ = false;
    return true;
}

void ManualAudioDevice::close() { running_ = false; }

uint64_t ManualAudioDevice::nextHostTime() const {
    BufferTimeline copy = timeline_;
    return copy.next(0);
}

uint64_t ManualAudioDevice::renderBuffer(uint32_t frames) {
    if (frames == 0) frames = bufferFrames_;
    if (!running_) return nextHostTime();  // a stopped stream does not count frames
    uint64_t time = timeline_.next(frames);
    renderBufferAt(time, frames);
    return time;
}

void ManualAudioDevice::renderBufferAt(uint64_t hostTimeNanos, uint32_t frames) {
    if (frames == 0) frames = bufferFrames_;
    left_.assign(frames, 0);
    right_.assign(frames, 0);
    if (running_ && render_) {
        RealtimeScope realtime;
        ThreadRoleScope role(ThreadRole::audio);
        renderOutput(frames, hostTimeNanos, left_.data(), right_.data());
    }
}

void ManualAudioDevice::deliverInput(const std::vector<int32_t>& mono) { deliverInputAt(nextHostTime(), mono); }

void ManualAudioDevice::deliverInputAt(uint64_t time, const std::vector<int32_t>& mono) {
    if (running_ && config_.duplex && input_) {
        RealtimeScope realtime;
        ThreadRoleScope role(ThreadRole::audio);
        input_(static_cast<uint32_t>(mono.size()), time, mono.data());
    }
}

void ManualAudioDevice::fail(const std::string& reason) {
    running_ = false;
    available_ = false;
    AudioDeviceEvent event;
    event.type = AudioDeviceEvent::Type::Lost;
    event.reason = reason;
    postEvent(event);
}

void ManualAudioDevice::postEvent(const AudioDeviceEvent& event) {
    if (events_) events_(event);
}

}  // namespace strombel::platform
