#include "crash/crash_threads.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <new>

#include "crash/crash_async.h"

namespace strombel::crash {

// The handler reads these in signal context: they must be lock-free.
static_assert(std::atomic<crash_thread_record*>::is_always_lock_free);
static_assert(std::atomic<uint32_t>::is_always_lock_free);

namespace {

// The table that owns each reserved signal, for the shared handler.
std::atomic<crash_thread_table*> tablesBySignal[_NSIG];

struct linux_dirent64 {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

bool parseTid(const char* name, pid_t* tid) {
    if (!name[0]) return false;
    long value = 0;
    for (const char* c = name; *c; ++c) {
        if (*c < '0' || *c > '9' || value > INT_MAX / 10) return false;
        value = value * 10 + (*c - '0');
    }
    *tid = static_cast<pid_t>(value);
    return value > 0;
}

}  // namespace

bool crash_thread_table::prepare() {
    if (records_.load(std::memory_order_acquire)) return true;
    void* records = mmap(nullptr, sizeof(crash_thread_record) * kCapacity, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    void* pending = mmap(nullptr, sizeof(Pending) * kPendingCapacity, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    int directory = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int chosen = 0;
    for (int candidate = SIGRTMAX; candidate >= SIGRTMIN && chosen == 0; --candidate) {
        struct sigaction current;
        if (sigaction(candidate, nullptr, &current) != 0) continue;
        if (current.sa_handler != SIG_DFL || (current.sa_flags & SA_SIGINFO)) continue;
        crash_thread_table* expected = nullptr;
        if (!tablesBySignal[candidate].compare_exchange_strong(expected, this)) continue;
        struct sigaction action = {};
        action.sa_sigaction = suspendHandler;
        action.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
        sigfillset(&action.sa_mask);
        for (int synchronous : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGABRT}) sigdelset(&action.sa_mask, synchronous);
        if (sigaction(candidate, &action, nullptr) == 0) {
            chosen = candidate;
        } else {
            tablesBySignal[candidate].store(nullptr);
        }
    }
    if (records == MAP_FAILED || pending == MAP_FAILED || directory < 0 || chosen == 0) {
        if (records != MAP_FAILED) munmap(records, sizeof(crash_thread_record) * kCapacity);
        if (pending != MAP_FAILED) munmap(pending, sizeof(Pending) * kPendingCapacity);
        if (directory >= 0) close(directory);
        if (chosen != 0) {
            signal(chosen, SIG_DFL);
            tablesBySignal[chosen].store(nullptr);
        }
        return false;
    }
    auto* recordArray = static_cast<crash_thread_record*>(records);
    for (uint32_t i = 0; i < kCapacity; ++i) new (&recordArray[i]) crash_thread_record();
    auto* pendingArray = static_cast<Pending*>(pending);
    for (uint32_t i = 0; i < kPendingCapacity; ++i) new (&pendingArray[i]) Pending();
    pending_ = pendingArray;
    taskDirectory_ = directory;
    taskDirectoryProcess_ = getpid();
    signal_ = chosen;
    records_.store(recordArray, std::memory_order_release);
    return true;
}

void crash_thread_table::suspendHandler(int signal, siginfo_t*, void* ucontext) {
    int savedErrno = errno;
    crash_thread_table* table = signal > 0 && signal < _NSIG ? tablesBySignal[signal].load(std::memory_order_acquire) : nullptr;
    crash_thread_record* records = table ? table->records_.load(std::memory_order_acquire) : nullptr;
    if (records) {
        // The list first: the request's generation was set before it.
        uint32_t count = table->count_.load(std::memory_order_acquire);
        uint32_t generation = table->requestGeneration_.load(std::memory_order_acquire);
        pid_t self = crash_async_gettid();
        for (uint32_t i = 0; i < count; ++i) {
            crash_thread_record& record = records[i];
            if (record.tid != self || record.answered.load(std::memory_order_acquire) != 0) continue;
            if (table->releasedGeneration_.load(std::memory_order_acquire) >= generation) break;
            crash_thread_state_init_from_ucontext(&record.state, ucontext);
            record.answered.store(1, std::memory_order_release);
            crash_async_futex_wake(&record.answered, INT_MAX);
            for (;;) {
                uint32_t released = table->releasedGeneration_.load(std::memory_order_acquire);
                if (released >= generation) break;
                crash_async_futex_wait(&table->releasedGeneration_, released, 0);
            }
            break;
        }
    }
    errno = savedErrno;
}

uint32_t crash_thread_table::suspendAll(pid_t self, uint64_t timeoutNanos) {
    count_.store(0, std::memory_order_relaxed);
    crash_thread_record* records = records_.load(std::memory_order_acquire);
    if (!records) return 0;
    uint32_t generation = requestGeneration_.load(std::memory_order_relaxed) + 1;
    requestGeneration_.store(generation, std::memory_order_release);

    // "/proc/self/task" named the process that opened it: a child forked since
    // would list its parent's threads there.
    pid_t process = getpid();
    if (process != taskDirectoryProcess_) {
        int own = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (own < 0) return 0;
        close(taskDirectory_);
        taskDirectory_ = own;
        taskDirectoryProcess_ = process;
    }
    uint32_t count = 0;
    alignas(8) char buffer[4096];
    lseek(taskDirectory_, 0, SEEK_SET);
    for (;;) {
        long got = syscall(SYS_getdents64, taskDirectory_, buffer, sizeof buffer);
        if (got <= 0) break;
        for (long offset = 0; offset < got;) {
            auto* entry = reinterpret_cast<linux_dirent64*>(buffer + offset);
            if (entry->d_reclen == 0) break;
            offset += entry->d_reclen;
            pid_t tid = 0;
            if (!parseTid(entry->d_name, &tid) || count >= kCapacity) continue;
            crash_thread_record& record = records[count++];
            record.tid = tid;
            record.answered.store(0, std::memory_order_relaxed);
            record.include = false;
            record.frameLimit = 0;
        }
    }
    // The list reaches the handlers of the threads signalled below.
    count_.store(count, std::memory_order_release);

    for (uint32_t i = 0; i < count; ++i) {
        crash_thread_record& record = records[i];
        if (record.tid == self) continue;
        if (takePending(record.tid, &record.state)) {
            record.answered.store(1, std::memory_order_release);
            continue;
        }
        syscall(SYS_tgkill, process, record.tid, signal_);
    }

    uint64_t deadline = crash_async_monotonic_nanos() + timeoutNanos;
    for (uint32_t i = 0; i < count; ++i) {
        crash_thread_record& record = records[i];
        if (record.tid == self) continue;
        while (record.answered.load(std::memory_order_acquire) == 0) {
            if (takePending(record.tid, &record.state)) {
                record.answered.store(1, std::memory_order_release);
                break;
            }
            uint64_t now = crash_async_monotonic_nanos();
            if (now >= deadline) break;
            uint64_t slice = deadline - now < 2000000 ? deadline - now : 2000000;
            crash_async_futex_wait(&record.answered, 0, slice);
        }
    }
    return count;
}

void crash_thread_table::resumeAll() {
    releasedGeneration_.store(requestGeneration_.load(std::memory_order_acquire), std::memory_order_release);
    crash_async_futex_wake(&releasedGeneration_, INT_MAX);
}

void crash_thread_table::leavePendingState(pid_t self, const crash_thread_state* state) {
    if (!pending_) return;
    for (uint32_t i = 0; i < kPendingCapacity; ++i) {
        pid_t expected = 0;
        if (pending_[i].tid.compare_exchange_strong(expected, self)) {
            pending_[i].state = *state;
            pending_[i].ready.store(1, std::memory_order_release);
            return;
        }
    }
}

void crash_thread_table::clearPendingState(pid_t self) {
    if (!pending_) return;
    for (uint32_t i = 0; i < kPendingCapacity; ++i) {
        if (pending_[i].tid.load(std::memory_order_acquire) == self) {
            pending_[i].ready.store(0, std::memory_order_release);
            pending_[i].tid.store(0, std::memory_order_release);
        }
    }
}

bool crash_thread_table::takePending(pid_t tid, crash_thread_state* state) {
    if (!pending_) return false;
    for (uint32_t i = 0; i < kPendingCapacity; ++i) {
        if (pending_[i].tid.load(std::memory_order_acquire) == tid && pending_[i].ready.load(std::memory_order_acquire)) {
            *state = pending_[i].state;
            return true;
        }
    }
    return false;
}

bool crash_thread_table::acquireWriter(pid_t self) {
    auto me = static_cast<uint32_t>(self);
    for (;;) {
        uint32_t expected = 0;
        if (writer_.compare_exchange_strong(expected, me, std::memory_order_acq_rel)) return true;
        if (expected == me) return false;
        crash_async_futex_wait(&writer_, expected, 0);
    }
}

void crash_thread_table::releaseWriter() {
    writer_.store(0, std::memory_order_release);
    crash_async_futex_wake(&writer_, INT_MAX);
}

}  // namespace strombel::crash
