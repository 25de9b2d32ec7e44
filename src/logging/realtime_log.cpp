#include "logging/realtime_log.h"

#include <fmt/args.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "logging/log_core.h"
#include "logging/log_message.h"
#include "platform/mpsc_ring.h"
#include "platform/utf8_cut.h"
#include "platform/wakeup.h"
#include "platform/worker.h"

namespace strombel::logging {

void RealtimeLogRecord::add(std::string_view value) {
    RealtimeLogArgument& argument = next(RealtimeLogArgument::Type::text);
    // A text longer than the room is cut at a character, not inside one.
    const size_t length = platform::utf8CutLength(value.data(), value.size(), text.size() - textUsed);
    std::memcpy(text.data() + textUsed, value.data(), length);
    argument.textOffset = textUsed;
    argument.textLength = static_cast<uint16_t>(length);
    textUsed = static_cast<uint16_t>(textUsed + length);
}

namespace {

constexpr size_t kCapacity = 2048;
constexpr size_t kKeptForErrors = kCapacity / 4;

// Lives for the whole process: a real-time thread may log while the program exits.
struct RealtimeLogState {
    platform::MpscRing<RealtimeLogRecord> ring{kCapacity};
    std::atomic<uint64_t> queued{0};    // records in the ring or being handed over
    std::atomic<uint64_t> claimed{0};   // records ever queued
    std::atomic<uint64_t> handed{0};    // records ever handed to the loggers
    std::atomic<uint64_t> overruns{0};
    std::atomic<uint64_t> reportedOverruns{0};  // the drain thread has told the loggers of these
    platform::Wakeup wakeup;
    std::mutex drainMutex;  // guards `drain` and `drainStopped`
    platform::Worker drain;
    bool drainStopped = false;
    std::atomic<bool> stopping{false};
    std::mutex handOverMutex;  // one thread hands over at a time (the drain, or a flush after it)
    std::mutex flushMutex;
    std::condition_variable flushed;

    void drainMain() {
        for (;;) {
            wakeup.wait();
            handOverQueued();
            if (stopping.load()) return;
        }
    }

    void handOverQueued() {
        std::lock_guard handing(handOverMutex);
        RealtimeLogRecord record;
        while (ring.pop(record)) {
            handOver(record);
            queued.fetch_sub(1, std::memory_order_acq_rel);
            {
                std::lock_guard lock(flushMutex);
                handed.fetch_add(1, std::memory_order_acq_rel);
            }
            flushed.notify_all();
        }
        if (const uint64_t lost = overruns.load(); lost != reportedOverruns.load()) {
            STROMBEL_LOG_ERROR("{} log lines of real-time threads were lost: their ring was full",
                               lost - reportedOverruns.load());
            {
                std::lock_guard lock(flushMutex);
                reportedOverruns.store(lost);
            }
            flushed.notify_all();
        }
    }

    static void handOver(const RealtimeLogRecord& record) {
        fmt::dynamic_format_arg_store<fmt::format_context> arguments;
        for (size_t i = 0; i < record.argumentCount; ++i) {
            const RealtimeLogArgument& argument = record.arguments[i];
            switch (argument.type) {
            case RealtimeLogArgument::Type::signedInteger: arguments.push_back(argument.value.signedInteger); break;
            case RealtimeLogArgument::Type::unsignedInteger:
                arguments.push_back(argument.value.unsignedInteger);
                break;
            case RealtimeLogArgument::Type::floating: arguments.push_back(argument.value.floating); break;
            case RealtimeLogArgument::Type::boolean: arguments.push_back(argument.value.boolean); break;
            case RealtimeLogArgument::Type::text:
                arguments.push_back(std::string(record.text.data() + argument.textOffset, argument.textLength));
                break;
            }
        }
        std::string text;
        try {
            text = fmt::vformat(fmt::string_view(record.format, record.formatLength), arguments);
        } catch (const fmt::format_error&) {
            text.assign(record.format, record.formatLength);
        }
        LogMessage message(std::move(text), record.level, record.flag, 0, record.file, record.function, record.line);
        message.setTimestamp(LogMessage::Clock::time_point(
            std::chrono::duration_cast<LogMessage::Clock::duration>(std::chrono::nanoseconds(record.timestampNanos))));
        message.setMachThreadID(record.threadId);
        Log::queueLogMessage(std::move(message), record.asynchronous);
    }
};

RealtimeLogState& realtimeState() {
    static RealtimeLogState* const instance = new RealtimeLogState;
    return *instance;
}

// Made before main, so that no real-time thread is ever the one to make it.
[[maybe_unused]] RealtimeLogState& madeEarly = realtimeState();

}  // namespace

namespace realtime_detail {

void stamp(RealtimeLogRecord& record) {
    record.timestampNanos = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
    record.threadId = currentThreadId();
}

bool claimAndFill(int32_t flag, void (*fill)(RealtimeLogRecord&, const void*), const void* context) {
    RealtimeLogState& log = realtimeState();
    // Warnings and debug lines leave the last quarter of the ring to errors.
    const uint64_t limit = flag == LogFlagError ? kCapacity : kCapacity - kKeptForErrors;
    if (log.queued.fetch_add(1, std::memory_order_acq_rel) >= limit) {
        log.queued.fetch_sub(1, std::memory_order_acq_rel);
        log.overruns.fetch_add(1, std::memory_order_relaxed);
        log.wakeup.signal();
        return false;
    }
    const bool queued = log.ring.tryPush([&](RealtimeLogRecord& record) { fill(record, context); });
    if (!queued) {
        log.queued.fetch_sub(1, std::memory_order_acq_rel);
        log.overruns.fetch_add(1, std::memory_order_relaxed);
    } else {
        log.claimed.fetch_add(1, std::memory_order_acq_rel);
    }
    log.wakeup.signal();
    return queued;
}

}  // namespace realtime_detail

uint64_t realtimeLogOverruns() { return realtimeState().overruns.load(); }

void startRealtimeLogDrain() {
    RealtimeLogState& log = realtimeState();
    std::lock_guard lock(log.drainMutex);
    if (!log.drain.running() && !log.drainStopped)
        log.drain = platform::Worker("realtime log", [&log] { log.drainMain(); }, [&log] {
            log.stopping.store(true);
            log.wakeup.signal();
        });
}

void stopRealtimeLogDrain() {
    RealtimeLogState& log = realtimeState();
    std::lock_guard lock(log.drainMutex);
    log.drainStopped = true;
    log.drain.stop();
}

void flushRealtimeLog() {
    RealtimeLogState& log = realtimeState();
    startRealtimeLogDrain();
    bool stopped = false;
    {
        std::lock_guard lock(log.drainMutex);
        stopped = log.drainStopped;
    }
    if (stopped) {
        log.handOverQueued();
        return;
    }
    const uint64_t target = log.claimed.load(std::memory_order_acquire);
    const uint64_t lost = log.overruns.load(std::memory_order_acquire);
    if (lost != log.reportedOverruns.load()) log.wakeup.signal();
    std::unique_lock lock(log.flushMutex);
    log.flushed.wait(lock, [&] {
        return log.handed.load(std::memory_order_acquire) >= target && log.reportedOverruns.load() >= lost;
    });
}

}  // namespace strombel::logging
