#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

namespace strombel::platform {

/// A fixed ring that hands items from any number of producer threads, real-time
/// ones included, to one consumer thread. Producers never wait for each other or
/// for the consumer, never allocate and never free: a producer claims a slot with
/// one compare-and-swap and fills it in place; a full ring refuses the item.
/// The consumer moves every item out, so a slot a producer fills again holds
/// nothing that could be freed on the producer's thread.
///
/// Order: items of one producer come out in the order it pushed them; items of
/// different producers in the order their slots were claimed. A producer that is
/// preempted between claiming and filling its slot holds back the items after it
/// for `pop` and `drain`; `drainAvailable` takes them and leaves the unfilled slot
/// for a later drain (which is as if that producer had come later).
template <class T>
class MpscRing {
public:
    /// Allocates all slots at once (`capacity` rounded up to a power of two).
    explicit MpscRing(size_t capacity)
        : mask_(roundUp(capacity) - 1), cells_(new Cell[mask_ + 1]), takenEarly_(new bool[mask_ + 1]()) {
        for (size_t i = 0; i <= mask_; ++i) cells_[i].sequence.store(i, std::memory_order_relaxed);
    }
    MpscRing(const MpscRing&) = delete;
    MpscRing& operator=(const MpscRing&) = delete;

    size_t capacity() const { return mask_ + 1; }

    /// Producer (any thread): claims a slot and calls `fill(T& slot)` on it, then
    /// hands it to the consumer. False, without calling `fill`, when the ring is full.
    template <class Fill>
    bool tryPush(Fill&& fill) {
        size_t position = enqueue_.load(std::memory_order_relaxed);
        Cell* cell;
        for (;;) {
            cell = &cells_[position & mask_];
            const size_t sequence = cell->sequence.load(std::memory_order_acquire);
            const intptr_t difference = static_cast<intptr_t>(sequence) - static_cast<intptr_t>(position);
            if (difference == 0) {
                if (enqueue_.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) break;
            } else if (difference < 0) {
                return false;  // full
            } else {
                position = enqueue_.load(std::memory_order_relaxed);
            }
        }
        fill(cell->value);
        cell->sequence.store(position + 1, std::memory_order_release);
        return true;
    }

    /// Producer: queues `item`; false, leaving `item` untouched, when the ring is full.
    bool push(T&& item) {
        return tryPush([&item](T& slot) { slot = std::move(item); });
    }
    bool push(const T& item) {
        return tryPush([&item](T& slot) { slot = item; });
    }

    /// Consumer (one thread): moves the oldest item into `out`; false when none is ready.
    bool pop(T& out) {
        if (!take(out)) return false;
        finishTaking();
        return true;
    }

    /// Consumer: like `pop`, but the item still counts in `approximateSize()`
    /// until `finishTaking()` (for a consumer whose handling others must see done).
    bool take(T& out) {
        Cell& cell = cells_[dequeue_ & mask_];
        if (cell.sequence.load(std::memory_order_acquire) != dequeue_ + 1) return false;
        out = std::move(cell.value);
        cell.sequence.store(dequeue_ + mask_ + 1, std::memory_order_release);
        ++dequeue_;
        return true;
    }
    void finishTaking() { taken_.store(dequeue_, std::memory_order_seq_cst); }

    /// Any thread: how many slots were ever claimed, and how many of the first of
    /// them were taken (as of the consumer's last `finishTaking`): every item
    /// claimed before `taken()` has been handed to the consumer.
    size_t claimed() const { return enqueue_.load(std::memory_order_seq_cst); }
    size_t taken() const { return taken_.load(std::memory_order_seq_cst); }

    /// Any thread: about how many items are queued (claimed and not yet taken).
    size_t approximateSize() const {
        const size_t claimed = enqueue_.load(std::memory_order_seq_cst);
        const size_t taken = taken_.load(std::memory_order_seq_cst);
        return claimed > taken ? claimed - taken : 0;
    }

    /// Consumer: hands each ready item to `take`, oldest first, freeing its slot
    /// before `take` runs; answers how many.
    template <class Take>
    size_t drain(Take&& take) {
        size_t count = 0;
        T item;
        while (pop(item)) {
            take(std::move(item));
            ++count;
        }
        return count;
    }

    /// Consumer: hands every item that is filled to `take(T& item)` (which moves
    /// it out), in the order the slots were claimed, going past slots whose
    /// producer has not filled them yet; those are taken by a later call. Answers
    /// how many it took. Pair with `finishTaking` as `take` is.
    template <class Take>
    size_t drainAvailable(Take&& take) {
        size_t count = 0;
        const size_t claimed = enqueue_.load(std::memory_order_acquire);
        const size_t limit = std::min(claimed, dequeue_ + mask_ + 1);
        for (size_t position = dequeue_; position < limit; ++position) {
            if (takenEarly_[position & mask_]) continue;
            Cell& cell = cells_[position & mask_];
            if (cell.sequence.load(std::memory_order_acquire) != position + 1) continue;  // still being filled
            take(cell.value);
            ++count;
            cell.sequence.store(position + mask_ + 1, std::memory_order_release);
            if (position == dequeue_) {
                ++dequeue_;
                // Slots taken earlier, past the one just filled, are done too.
                while (takenEarly_[dequeue_ & mask_]) {
                    takenEarly_[dequeue_ & mask_] = false;
                    ++dequeue_;
                }
            } else {
                takenEarly_[position & mask_] = true;
            }
        }
        return count;
    }

    /// Consumer: whether no item is ready.
    bool empty() const {
        const Cell& cell = cells_[dequeue_ & mask_];
        return cell.sequence.load(std::memory_order_acquire) != dequeue_ + 1;
    }

private:
    struct Cell {
        std::atomic<size_t> sequence{0};
        T value{};
    };

    static size_t roundUp(size_t capacity) {
        size_t size = 2;
        while (size < capacity) size <<= 1;
        return size;
    }

    const size_t mask_;
    std::unique_ptr<Cell[]> cells_;
    std::unique_ptr<bool[]> takenEarly_;  // the consumer's: slots taken past an unfilled one
    alignas(64) std::atomic<size_t> enqueue_{0};
    alignas(64) size_t dequeue_ = 0;  // the consumer's own
    std::atomic<size_t> taken_{0};    // a copy of it for approximateSize
};

}  // namespace strombel::platform
