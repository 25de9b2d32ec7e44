#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/devices/null_audio_device.h"

namespace strombel::testing {

/// Time for a null device that moves only when the test moves it. The test sees
/// each wait of the device's thread (`nextWait`) and lets it go on by advancing
/// the clock to what it waits for, so a device runs buffer by buffer, for any
/// length of its time, without the test sleeping.
class ManualPacer final : public platform::NullAudioDevice::Pacer {
public:
    static constexpr uint64_t kForever = platform::NullAudioDevice::Pacer::kForever;

    explicit ManualPacer(uint64_t startNanos = 1'000'000'000) : now_(startNanos) {}

    uint64_t nowNanos() const override {
        std::lock_guard lock(mutex_);
        return now_;
    }
    void waitUntil(uint64_t due) override {
        std::unique_lock lock(mutex_);
        if (woken_) {
            woken_ = false;
            return;
        }
        ++waits_;
        waitingFor_ = due;
        changed_.notify_all();
        changed_.wait(lock, [&] { return woken_ || now_ >= due; });
        woken_ = false;
        waitingFor_ = 0;
    }
    void wake() noexcept override {
        std::lock_guard lock(mutex_);
        woken_ = true;
        ++wakes_;
        changed_.notify_all();
    }
    /// Wakes given so far.
    uint64_t wakes() const {
        std::lock_guard lock(mutex_);
        return wakes_;
    }

    /// Waits (the wall clock's five seconds at most) until the device's thread
    /// begins a wait it had not begun at the last call, and answers what it
    /// waits for: a buffer's time, or kForever while it rests; 0 when none came.
    uint64_t nextWait() {
        std::unique_lock lock(mutex_);
        const bool came = changed_.wait_for(lock, std::chrono::seconds(5),
                                            [&] { return waits_ > seen_ && waitingFor_ != 0; });
        if (!came) return 0;
        seen_ = waits_;
        return waitingFor_;
    }
    /// Moves the clock to `nanos` (never back).
    void advanceTo(uint64_t nanos) {
        std::lock_guard lock(mutex_);
        if (nanos > now_) now_ = nanos;
        changed_.notify_all();
    }
    void advance(uint64_t nanos) { advanceTo(nowNanos() + nanos); }

    /// Lets the device render buffer after buffer until it rests; false when it
    /// has not rested after `limit` buffers.
    bool runUntilResting(int limit = 10'000) {
        for (int i = 0; i < limit; ++i) {
            const uint64_t due = nextWait();
            if (due == kForever) return true;
            if (due == 0) return false;
            advanceTo(due);
        }
        return false;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t now_;
    uint64_t waits_ = 0, seen_ = 0, wakes_ = 0;
    uint64_t waitingFor_ = 0;  // 0: not waiting
    bool woken_ = false;
};

}  // namespace strombel::testing
