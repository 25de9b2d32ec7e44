#pragma once

#include <pthread.h>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "platform/clock.h"
#include "platform/worker.h"
#include "platform/devices/midi_backend.h"

namespace strombel::platform {

/// A mutex with priority inheritance: a thread of normal priority that holds it
/// runs at the priority of a real-time thread waiting for it, so the timed-send
/// thread never waits behind a preempted sender. Lockable like std::mutex.
class PriorityInheritanceMutex {
public:
    PriorityInheritanceMutex();
    ~PriorityInheritanceMutex();
    PriorityInheritanceMutex(const PriorityInheritanceMutex&) = delete;
    PriorityInheritanceMutex& operator=(const PriorityInheritanceMutex&) = delete;
    void lock();
    void unlock();
    bool try_lock();

private:
    pthread_mutex_t mutex_;
};

/// Holds timed MIDI sends until their time and hands each to `deliver` then, in
/// order of due time (sends due at the same time in the order they came).
/// With its own thread it delivers on that thread, waking on the system clock;
/// without one, `dispatchDue()` delivers what the clock says is due, which is how
/// tests drive it over a ManualClock.
class MidiSendScheduler {
public:
    /// Called with the destination, the bytes (valid during the call) and the time
    /// the send was due, in nanoseconds of the clock.
    using Deliver = std::function<void(MidiEndpointRef destination, std::span<const uint8_t> bytes, uint64_t dueNanos)>;

    MidiSendScheduler(Clock& clock, Deliver deliver, bool ownThread);
    ~MidiSendScheduler();
    MidiSendScheduler(const MidiSendScheduler&) = delete;
    MidiSendScheduler& operator=(const MidiSendScheduler&) = delete;

    /// Queues `bytes` for `destination` at `dueNanos`.
    void schedule(MidiEndpointRef destination, uint64_t dueNanos, std::span<const uint8_t> bytes);
    /// Drops what is queued for `destination`, or everything when it is 0.
    void flush(MidiEndpointRef destination);
    /// Delivers every send due by now on the calling thread; answers how many.
    size_t dispatchDue();

    size_t pending() const;
    std::optional<uint64_t> nextDue() const;
    Clock& clock() const { return clock_; }

private:
    struct Entry {
        uint64_t due = 0;
        uint64_t order = 0;
        MidiEndpointRef destination = 0;
        uint32_t length = 0;
        std::array<uint8_t, 12> small{};  // short messages (all of clock and notes) live here
        std::vector<uint8_t> large;       // longer ones here

        std::span<const uint8_t> bytes() const {
            return large.empty() ? std::span<const uint8_t>(small.data(), length) : std::span<const uint8_t>(large);
        }
    };
    struct Later {
        bool operator()(const Entry& a, const Entry& b) const {
            return a.due != b.due ? a.due > b.due : a.order > b.order;
        }
    };

    /// How long before a send the thread stops sleeping and waits by yielding.
    static constexpr uint64_t kFinalStretchNanos = 500'000;

    bool popDue(uint64_t now, Entry& out);
    void run();

    Clock& clock_;
    Deliver deliver_;
    mutable PriorityInheritanceMutex mutex_;
    std::condition_variable_any changed_;
    std::vector<Entry> heap_;
    uint64_t nextOrder_ = 0;
    bool stopping_ = false;
    PriorityInheritanceMutex deliverMutex_;  // one delivery at a time, so a flush never races one in flight
    Worker thread_;
};

}  // namespace strombel::platform
