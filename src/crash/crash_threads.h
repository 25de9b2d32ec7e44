#pragma once

// The other threads of the process while a report is written: listed from
// /proc/self/task and held still by a real-time signal reserved at enable,
// whose handler copies its thread's registers into this table and waits on a
// futex until the writer lets it go. A thread that does not answer in time is
// reported with its number only. Crash-time parts: no heap, no locks.

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>

#include "crash/crash_thread_state.h"

namespace strombel::crash {

struct crash_thread_record {
    pid_t tid = 0;
    std::atomic<uint32_t> answered{0};  // 1 once `state` holds the thread's registers
    crash_thread_state state;
    // The writer's notes while it sizes and writes the report.
    bool include = false;
    uint32_t frameLimit = 0;
};

class crash_thread_table {
public:
    /// How many threads a report can list; more are left out.
    static constexpr uint32_t kCapacity = 1024;
    /// Threads that crash while another writes leave their state here.
    static constexpr uint32_t kPendingCapacity = 8;

    crash_thread_table() = default;
    crash_thread_table(const crash_thread_table&) = delete;
    crash_thread_table& operator=(const crash_thread_table&) = delete;

    /// Ordinary context: reserves the table, opens /proc/self/task and reserves a
    /// free real-time signal with its handler. False when any of it fails.
    bool prepare();
    bool prepared() const { return records_.load(std::memory_order_acquire) != nullptr; }
    int suspendSignal() const { return signal_; }

    /// Lists the process's threads (at most kCapacity, the caller among them) and
    /// holds every other one, waiting at most `timeoutNanos` for their answers.
    /// The number of threads listed. Async-signal-safe.
    uint32_t suspendAll(pid_t self, uint64_t timeoutNanos);
    /// Lets the held threads run on. Async-signal-safe.
    void resumeAll();

    uint32_t count() const { return count_.load(std::memory_order_relaxed); }
    crash_thread_record& at(uint32_t index) { return records_.load(std::memory_order_relaxed)[index]; }

    /// Called by a thread that crashed while another writes: leaves its state
    /// for the writer, which then uses it instead of asking the thread.
    void leavePendingState(pid_t self, const crash_thread_state* state);
    void clearPendingState(pid_t self);

    /// One writer at a time: true when the caller became the writer; false when
    /// it already is one (a fault inside its own report).
    bool acquireWriter(pid_t self);
    void releaseWriter();

private:
    static void suspendHandler(int signal, siginfo_t* info, void* ucontext);
    bool takePending(pid_t tid, crash_thread_state* state);

    struct Pending {
        std::atomic<pid_t> tid{0};
        std::atomic<uint32_t> ready{0};
        crash_thread_state state;
    };

    // Set (release) once the table is made; the handler reads it with acquire.
    std::atomic<crash_thread_record*> records_{nullptr};
    Pending* pending_ = nullptr;
    // The threads listed, set (release) once their records are filled in and
    // before any of them is signalled; the handler reads it with acquire.
    std::atomic<uint32_t> count_{0};
    int taskDirectory_ = -1;
    // The process whose threads the directory lists: a forked child opens its own.
    pid_t taskDirectoryProcess_ = 0;
    int signal_ = 0;
    std::atomic<uint32_t> requestGeneration_{0};
    std::atomic<uint32_t> releasedGeneration_{0};
    std::atomic<uint32_t> writer_{0};
};

}  // namespace strombel::crash
