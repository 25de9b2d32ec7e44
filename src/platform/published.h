#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace strombel::platform {

/// Lets threads read shared data without a lock while a writer replaces it.
/// A reader enters a read section (two atomic increments, never a wait, never an
/// allocation) and leaves it; a writer that has replaced what readers may hold
/// calls `synchronize()`, which returns once every section begun before the
/// replacement has ended, after which the old data may be freed.
///
/// Readers: any thread, real-time ones included. Writers: threads that may wait
/// (the main loop); never from inside a read section of the same object.
class ReadSections {
public:
    /// A read section; leaves when destroyed.
    class Section {
    public:
        Section(Section&& other) noexcept : owner_(other.owner_), slot_(other.slot_) { other.owner_ = nullptr; }
        Section& operator=(Section&&) = delete;
        ~Section() {
            if (owner_) owner_->readers_[slot_].fetch_sub(1, std::memory_order_release);
        }

    private:
        friend class ReadSections;
        Section(ReadSections* owner, uint32_t slot) : owner_(owner), slot_(slot) {}
        ReadSections* owner_;
        uint32_t slot_;
    };

    Section enter() noexcept {
        for (;;) {
            const uint32_t epoch = epoch_.load(std::memory_order_seq_cst);
            readers_[epoch & 1].fetch_add(1, std::memory_order_seq_cst);
            // A writer that flipped the epoch meanwhile may already have counted
            // this slot empty: enter again under the new epoch.
            if (epoch_.load(std::memory_order_seq_cst) == epoch) return Section(this, epoch & 1);
            readers_[epoch & 1].fetch_sub(1, std::memory_order_release);
        }
    }

    /// Returns once every read section that began before the call has ended.
    void synchronize();

private:
    std::atomic<uint32_t> epoch_{0};
    std::atomic<uint32_t> readers_[2] = {0, 0};
    std::mutex writers_;
};

/// A value that threads read without a lock and the main loop replaces as a
/// whole (an immutable snapshot, replaced by a new one). Readers hold a `Reader`
/// for as long as they use the value; the writer frees an old value on its own
/// thread once no reader can hold it any more.
template <class T>
class Published {
public:
    explicit Published(std::shared_ptr<const T> initial = std::make_shared<const T>())
        : owner_(std::move(initial)), pointer_(owner_.get()) {}
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    /// The value as it stands, held for the Reader's life. Any thread; never waits.
    class Reader {
    public:
        const T& operator*() const { return *value_; }
        const T* operator->() const { return value_; }
        const T* get() const { return value_; }

    private:
        friend class Published;
        Reader(ReadSections::Section section, const T* value) : section_(std::move(section)), value_(value) {}
        ReadSections::Section section_;
        const T* value_;
    };

    Reader read() const {
        ReadSections::Section section = sections_.enter();
        return Reader(std::move(section), pointer_.load(std::memory_order_seq_cst));
    }

    /// Writer: the owning handle of the current value (for copying it into a new one).
    std::shared_ptr<const T> current() const {
        std::lock_guard lock(writer_);
        return owner_;
    }

    /// Writer (may wait; not from inside a read section of this object): makes
    /// `next` the value and returns the old one once no reader holds it (it goes
    /// on this thread unless the caller keeps it).
    std::shared_ptr<const T> publish(std::shared_ptr<const T> next) {
        std::shared_ptr<const T> old;
        std::vector<std::shared_ptr<const T>> retired;
        {
            std::lock_guard lock(writer_);
            old = std::exchange(owner_, std::move(next));
            pointer_.store(owner_.get(), std::memory_order_seq_cst);
            retired.swap(retired_);
        }
        sections_.synchronize();
        return old;
    }

    /// Writer inside a read section of this object (a reader replacing what it
    /// reads): makes `next` the value without waiting; the old one is released by
    /// the next `publish`.
    void publishWithoutWaiting(std::shared_ptr<const T> next) {
        std::lock_guard lock(writer_);
        retired_.push_back(std::exchange(owner_, std::move(next)));
        pointer_.store(owner_.get(), std::memory_order_seq_cst);
    }

private:
    mutable ReadSections sections_;
    mutable std::mutex writer_;
    std::shared_ptr<const T> owner_;
    std::atomic<const T*> pointer_;
    std::vector<std::shared_ptr<const T>> retired_;
};

}  // namespace strombel::platform
