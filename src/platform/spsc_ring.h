#pragma once

#include <atomic>
#include <cstddef>
#include <utility>
#include <vector>

namespace strombel::platform {

/// A fixed ring that hands items from one producer thread (a real-time thread,
/// which must not allocate or wait) to one consumer thread, usually the main loop.
/// Producers on several threads must take turns under a lock of their own. The
/// consumer moves every item out, so the producer never destroys what a slot
/// held (a `shared_ptr` in a slot is released on the consumer's thread).
template <class T>
class SpscRing {
public:
    /// Allocates all `capacity` slots at once; nothing is allocated afterwards.
    explicit SpscRing(size_t capacity) : slots_(capacity) {}

    /// Producer: queues `item`; false, with nothing queued, when the ring is full.
    bool push(T item) {
        return tryPush([&item](T& slot) { slot = std::move(item); });
    }

    /// Producer: fills the next slot in place with `fill(T& slot)` and queues it;
    /// false, without calling `fill`, when the ring is full.
    template <class Fill>
    bool tryPush(Fill&& fill) {
        const size_t head = head_.load(std::memory_order_relaxed);
        if (head - tail_.load(std::memory_order_acquire) >= slots_.size()) return false;
        fill(slots_[head % slots_.size()]);
        head_.store(head + 1, std::memory_order_release);
        return true;
    }

    /// Consumer: hands each item queued so far to `take`, oldest first, and frees
    /// its slot before `take` runs.
    template <class Take>
    void drain(Take&& take) {
        size_t tail = tail_.load(std::memory_order_relaxed);
        const size_t head = head_.load(std::memory_order_acquire);
        while (tail != head) {
            T item = std::move(slots_[tail % slots_.size()]);
            slots_[tail % slots_.size()] = T{};
            ++tail;
            tail_.store(tail, std::memory_order_release);
            take(std::move(item));
        }
    }

private:
    std::vector<T> slots_;
    std::atomic<size_t> head_{0};  // written by the producer
    std::atomic<size_t> tail_{0};  // written by the consumer
};

}  // namespace strombel::platform
