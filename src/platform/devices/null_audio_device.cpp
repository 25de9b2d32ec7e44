#include "platform/devices/null_audio_device.h"

#include <semaphore.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "platform/realtime.h"
#include "platform/thread_role.h"
#include "platform/wakeup.h"

namespace strombel::platform {

namespace {

/// The monotonic clock; wakes post a semaphore the waits sleep on.
class MonotonicPacer final : public NullAudioDevice::Pacer {
public:
    uint64_t nowNanos() const override { return monotonicNanos(); }
    void waitUntil(uint64_t due) override {
        if (due == kForever) {
            wakeup_.wait();
        } else {
            wakeup_.waitUntil(due);
        }
    }
    void wake() noexcept override { wakeup_.signal(); }

private:
    Wakeup wakeup_;
};

}  // namespace

NullAudioDevice::NullAudioDevice() : NullAudioDevice(std::make_shared<MonotonicPacer>()) {}

NullAudioDevice::NullAudioDevice(std::shared_ptr<Pacer> pacer) : pacer_(std::move(pacer)) {
    configure(AudioDeviceConfig{});
}

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
    timeline_.anchor(pacer_->nowNanos(), config_.preferredSampleRate);
    running_.store(true);
    thread_ = Worker("null audio out", [this] { loop(); }, [this] {
        if (running_.exchange(false)) pacer_->wake();  // out of a rest, or a wait for the next buffer
    });
    return true;
}

bool NullAudioDevice::stop() {
    thread_.stop();
    resting_.store(false);
    return true;
}

void NullAudioDevice::close() { stop(); }

void NullAudioDevice::loop() {
    setThreadRole(ThreadRole::audio);  // the thread is ours and only ever renders
    while (running_.load(std::memory_order_acquire)) {
        const uint64_t hostTime = timeline_.next(frames_);
        while (running_.load(std::memory_order_acquire) && pacer_->nowNanos() < hostTime) pacer_->waitUntil(hostTime);
        if (!running_.load(std::memory_order_acquire)) break;
        bool rest = false;
        {
            RealtimeScope realtime;
            renderOutput(frames_, hostTime, left_.data(), right_.data());
            rest = mayRest();
        }
        buffersRendered_.fetch_add(1, std::memory_order_release);
        if (!rest) continue;
        // A wake that came since the check ends this wait at once.
        resting_.store(true, std::memory_order_release);
        pacer_->waitUntil(Pacer::kForever);
        resting_.store(false, std::memory_order_release);
        timeline_.skipTo(pacer_->nowNanos(), frames_);
    }
}

}  // namespace strombel::platform
