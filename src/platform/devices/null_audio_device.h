#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/devices/audio_device.h"
#include "platform/clock.h"
#include "platform/worker.h"

namespace strombel::platform {

/// A device without a sound card: a thread of its own calls the render callback
/// at real-time pace (one buffer per buffer duration, paced by the monotonic
/// clock) and throws the sound away. It has no microphone: a configuration that
/// asks for input is refused.
///
/// While the rest check says that the output stays silent, the thread sleeps
/// until `wake()` instead of rendering silence; woken, it goes on with the first
/// buffer of its frame clock that is not yet due, so buffer times stay on the
/// grid anchored when the stream started.
class NullAudioDevice final : public AudioDevice {
public:
    /// What the device's thread reads the time from and waits on: the monotonic
    /// clock, or a test's.
    class Pacer {
    public:
        static constexpr uint64_t kForever = UINT64_MAX;
        virtual ~Pacer() = default;
        virtual uint64_t nowNanos() const = 0;
        /// Waits until `nowNanos()` reaches `due` or a `wake()` comes, whichever
        /// is first; may also return early for no reason. A wake given while
        /// nobody waits ends the next wait at once.
        virtual void waitUntil(uint64_t due) = 0;
        /// Any thread, real-time ones too: never allocates, locks or waits.
        virtual void wake() noexcept = 0;
    };

    /// Paced by the monotonic clock.
    NullAudioDevice();
    explicit NullAudioDevice(std::shared_ptr<Pacer> pacer);
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
    /// Only a running device is woken: wakes given to a stopped one (a stand-in
    /// while the device it stands in for plays) would pile up in the pacer.
    void wake() noexcept override {
        if (running_.load(std::memory_order_acquire)) pacer_->wake();
    }
    bool resting() const override { return resting_.load(std::memory_order_acquire); }

    /// Buffers rendered since the device was made (any thread).
    uint64_t buffersRendered() const { return buffersRendered_.load(std::memory_order_acquire); }

private:
    void loop();

    std::shared_ptr<Pacer> pacer_;
    AudioDeviceConfig config_;
    std::string lastError_;
    uint32_t frames_ = 256;
    std::atomic<bool> running_{false};
    std::atomic<bool> resting_{false};
    std::atomic<uint64_t> buffersRendered_{0};
    Worker thread_;
    std::vector<int32_t> left_, right_;
    BufferTimeline timeline_;
};

}  // namespace strombel::platform
