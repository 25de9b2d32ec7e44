#include "platform/devices/null_audio_device.h"

#include "platform/realtime.h"
#include "platform/thread_role.h"

#include <time.h>

#include <algorithm>
#include <cmath>

namespace strombel::platform {

NullAudioDevice::NullAudioDevice() { configure(AudioDeviceConfig{}); }

NullAudioDevice::~NullAudioDevice() { close(); }

bool NullAudioDevice::configure(const AudioDeviceConfig& config) {
    close();
    if (config.duplex) {
        lastError_ = "the null device has no microphone";
        return false;
    }
    lastError_.clear();
    config_ = config;
    if (!(config_.preferredSampleRate > 0)) config_.preferredSampleRate = 44100.0;
    double frames = std::round(config_.preferredSampleRate * config_.bufferDuration);
    frames_ = static_cast<uint32_t>(std::clamp(frames, 16.0, 8192.0));
    left_.assign(frames_, 0);
    right_.assign(frames_, 0);
    return true;
}

bool NullAudioDevice::start() {
    if (running_.load()) return true;
    timeline_.anchor(SystemClock::shared().nowNanos(), config_.preferredSampleRate);
    running_.store(true);
    thread_ = std::thread([this] { loop(); });
    return true;
}

bool NullAudioDevice::stop() {
    running_.store(false);
    if (thread_.joinable()) thread_.join();
    return true;
}

void NullAudioDevice::close() { stop(); }

void NullAudioDevice::loop() {
    setThreadRole(ThreadRole::audio);  // the thread is ours and only ever renders
    while (running_.load(std::memory_order_acquire)) {
        uint64_t hostTime = timeline_.next(frames_);
        // Sleep until the buffer is due, on the monotonic clock.
        struct timespec due;
        due.tv_sec = static_cast<time_t>(hostTime / kNanosPerSecond);
        due.tv_nsec = static_cast<long>(hostTime % kNanosPerSecond);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) != 0) {
        }
        if (!running_.load(std::memory_order_acquire)) break;
        RealtimeScope realtime;
        renderOutput(frames_, hostTime, left_.data(), right_.data());
    }
}

}  // namespace strombel::platform
