#include "platform/devices/midi_send_scheduler.h"

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/thread_priority.h"

namespace strombel::platform {

PriorityInheritanceMutex::PriorityInheritanceMutex() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(&mutex_, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

PriorityInheritanceMutex::~PriorityInheritanceMutex() { pthread_mutex_destroy(&mutex_); }
void PriorityInheritanceMutex::lock() { pthread_mutex_lock(&mutex_); }
void PriorityInheritanceMutex::unlock() { pthread_mutex_unlock(&mutex_); }
bool PriorityInheritanceMutex::try_lock() { return pthread_mutex_trylock(&mutex_) == 0; }

MidiSendScheduler::MidiSendScheduler(Clock& clock, Deliver deliver, bool ownThread)
    : clock_(clock), deliver_(std::move(deliver)) {
    heap_.reserve(256);
    // Under the audio thread and the sequencer.
    if (ownThread)
        thread_ = Worker(
            "MIDI sends", [this] { run(); },
            [this] {
                {
                    std::lock_guard lock(mutex_);
                    stopping_ = true;
                }
                changed_.notify_all();
            },
            RealTimeRole::Midi);
}

MidiSendScheduler::~MidiSendScheduler() { thread_.stop(); }

void MidiSendScheduler::schedule(MidiEndpointRef destination, uint64_t dueNanos, std::span<const uint8_t> bytes) {
    Entry entry;
    entry.due = dueNanos;
    entry.destination = destination;
    entry.length = static_cast<uint32_t>(bytes.size());
    if (bytes.size() <= entry.small.size()) {
        std::copy(bytes.begin(), bytes.end(), entry.small.begin());
    } else {
        entry.large.assign(bytes.begin(), bytes.end());
    }
    bool earliest = false;
    {
        std::lock_guard lock(mutex_);
        entry.order = nextOrder_++;
        heap_.push_back(std::move(entry));
        std::push_heap(heap_.begin(), heap_.end(), Later{});
        earliest = heap_.front().order == nextOrder_ - 1;
    }
    if (earliest) changed_.notify_all();
}

void MidiSendScheduler::flush(MidiEndpointRef destination) {
    // Waiting for the delivery lock means a send that was already taken off the
    // queue has gone out before flush returns; nothing of the old queue follows.
    std::lock_guard deliverLock(deliverMutex_);
    std::lock_guard lock(mutex_);
    if (destination == 0) {
        heap_.clear();
    } else {
        std::erase_if(heap_, [destination](const Entry& entry) { return entry.destination == destination; });
        std::make_heap(heap_.begin(), heap_.end(), Later{});
    }
}

bool MidiSendScheduler::popDue(uint64_t now, Entry& out) {
    std::lock_guard lock(mutex_);
    if (heap_.empty() || heap_.front().due > now) return false;
    std::pop_heap(heap_.begin(), heap_.end(), Later{});
    out = std::move(heap_.back());
    heap_.pop_back();
    return true;
}

size_t MidiSendScheduler::dispatchDue() {
    size_t delivered = 0;
    Entry entry;
    for (;;) {
        std::lock_guard deliverLock(deliverMutex_);
        if (!popDue(clock_.nowNanos(), entry)) break;
        deliver_(entry.destination, entry.bytes(), entry.due);
        ++delivered;
    }
    return delivered;
}

size_t MidiSendScheduler::pending() const {
    std::lock_guard lock(mutex_);
    return heap_.size();
}

std::optional<uint64_t> MidiSendScheduler::nextDue() const {
    std::lock_guard lock(mutex_);
    if (heap_.empty()) return std::nullopt;
    return heap_.front().due;
}

void MidiSendScheduler::run() {
    // Sends go out on time: a precise timer for this thread, real-time priority
    // where the system grants it (a user without it keeps normal priority, and a
    // heavily loaded machine then delays sends by milliseconds), a sleep until
    // shortly before the next send and a busy wait for the rest.
    // (The worker runs it at its real-time role's priority.)
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (heap_.empty()) {
            changed_.wait(lock);
            continue;
        }
        const uint64_t now = clock_.nowNanos();
        const uint64_t due = heap_.front().due;
        if (due > now) {
            // Only the system clock moves by itself: over any other clock, just sleep.
            const bool systemClock = dynamic_cast<const SystemClock*>(&clock_) != nullptr;
            if (!systemClock || due - now > kFinalStretchNanos) {
                const uint64_t sleep = systemClock ? due - now - kFinalStretchNanos : due - now;
                changed_.wait_for(lock, std::chrono::nanoseconds(sleep));
                continue;
            }
            // The final stretch: stay on the processor (a sleep or a yield could
            // hand it to another task for milliseconds), looking up now and then
            // for an earlier send.
            lock.unlock();
            const uint64_t until = std::min(due, now + 20'000);
            while (clock_.nowNanos() < until) {
            }
            lock.lock();
            continue;
        }
        lock.unlock();
        dispatchDue();
        lock.lock();
    }
}

}  // namespace strombel::platform
