#include "logging/log_core.h"

#include "logging/realtime_log.h"

#include <algorithm>
#include <cstdlib>
#include <chrono>
#include <atomic>
#include <mutex>
#include <semaphore>
#include <span>
#include <thread>

namespace strombel::logging {

std::atomic<int32_t> ddLogLevel{0};

void logMessage(bool asynchronous, int32_t level, int32_t flag, int32_t context, const char* file,
                const char* function, int32_t line, std::string message) {
    Log::queueLogMessage(LogMessage(std::move(message), level, flag, context, file, function, line), asynchronous);
}

namespace {

// Marks the logging queue and every registered logger's queue. Code that runs
// on one of them (on its thread, or on a caller's thread inside its `sync`) must
// never wait for the logging queue.
constexpr char kLoggingQueueTag = 0;

bool onLoggingThread() { return platform::SerialQueue::callingThreadHoldsQueueTagged(&kLoggingQueueTag); }

constexpr const char* kTerminateNotification = "UIApplicationWillTerminateNotification";

// Messages logged one after the other are delivered together: the first message
// after a delivery (or after any other work queued on the logging queue) opens a
// batch and queues its delivery; later messages join it until the delivery starts.
struct Batch {
    // The first `count` entries are this batch's messages. Entries past them are
    // records of an earlier batch kept for reuse: assigning over them lets the
    // calling thread free its own earlier text instead of the logging thread.
    std::vector<LogMessage> messages;
    size_t count = 0;
    int slots = 0;  // semaphore slots held by these messages
    std::atomic<int> loggersLeft{0};
    std::atomic<int> delivered{0};
};

// Waits for `value` to leave `from`. On a machine with more than one processor it
// spins for up to 20 microseconds first: the loggers usually finish about that
// soon, and going to sleep costs two context switches.
void waitWhileEquals(const std::atomic<int>& value, int from) {
    static const bool spinning = std::thread::hardware_concurrency() > 1;
    if (spinning) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(20);
        for (;;) {
            for (int spin = 0; spin < 32; ++spin) {
                if (value.load(std::memory_order_acquire) != from) return;
#if defined(__x86_64__) || defined(__i386__)
                __builtin_ia32_pause();
#endif
            }
            if (std::chrono::steady_clock::now() >= until) break;
        }
    }
    while (value.load(std::memory_order_acquire) == from) value.wait(from, std::memory_order_acquire);
}

// Waits for a set of work items on other queues. Used only on the logging queue.
class DispatchGroup {
public:
    void enter(int count) { pending_.fetch_add(count, std::memory_order_relaxed); }
    void leave() {
        if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) pending_.notify_all();
    }
    void wait() {
        for (int left = pending_.load(std::memory_order_acquire); left != 0;
             left = pending_.load(std::memory_order_acquire)) {
            waitWhileEquals(pending_, left);
        }
    }

private:
    std::atomic<int> pending_{0};
};

struct ClassLevel {
    std::string name;
    std::function<int32_t()> get;
    std::function<void(int32_t)> set;
};

class LogState {
public:
    LogState() {
        nodes.reserve(4);
        queue.setTag(&kLoggingQueueTag);
        unsigned count = std::thread::hardware_concurrency();
        processorCount = count < 1 ? 1 : count;
        terminateObserver = platform::NotificationCenter::shared().addObserver(
            kTerminateNotification, nullptr,
            [](const platform::Notification& notification) { Log::applicationWillTerminate(notification); });
        std::atexit([] { LogState::state().finishAtExit(); });
        startRealtimeLogDrain();
    }

    // At exit every logger writes out what it holds. The state itself is never
    // destroyed: a logger let go on its own queue at that moment still reaches it.
    void finishAtExit() {
        platform::NotificationCenter::shared().removeObserver(terminateObserver);
        flushRealtimeLog();
        if (finished.load()) {
            if (auto lock = lockDirect()) lt_flush();
            return;
        }
        queue.sync([this] { lt_flush(); });
    }

    // The end of logging's threads (Log::finish): the real-time drain, then the
    // logging queue, then each logger's queue, each after what it holds is written.
    void finish() {
        flushRealtimeLog();
        stopRealtimeLogDrain();
        queue.sync([this] { lt_flush(); });
        // Callers that write for themselves wait until the queues are done.
        std::lock_guard direct(directMutex);
        {
            // Work queued before this point runs on the queues' threads below; from
            // here on everything runs on its caller's thread.
            std::lock_guard lock(batchMutex);
            if (finished.load()) return;
            finished.store(true);
            openBatch.reset();
        }
        queue.finish();
        for (const LoggerNode& node : nodes) node.loggerQueue->finish();
    }

    // The lock of the callers' own writing. A logging thread still at work while
    // `finish` waits for it must not wait in turn: it gets no lock.
    std::unique_lock<std::recursive_mutex> lockDirect() {
        if (onLoggingThread()) return std::unique_lock(directMutex, std::try_to_lock);
        return std::unique_lock(directMutex);
    }

    // After `finish`: a message is written by the calling thread to every logger.
    // A logger that logs while it writes (on this thread) loses that line.
    void writeDirectly(const LogMessage& message) {
        static thread_local bool writing = false;
        if (writing) return;
        writing = true;
        if (auto lock = lockDirect()) {
            for (const LoggerNode& node : nodes) deliverTo(*node.logger, std::span<const LogMessage>(&message, 1));
        }
        writing = false;
    }

    // Work for a logger's queue; after `finish`, the caller runs it (holding directMutex).
    void onLoggerQueue(const LoggerNode& node, std::function<void()> work) {
        if (finished.load()) {
            work();
        } else {
            node.loggerQueue->async(std::move(work));
        }
    }

    // Queues `work` on the logging queue after every message logged so far and
    // before every message logged afterwards. After `finish` it runs at once.
    void queueOrdered(std::function<void()> work) {
        {
            std::lock_guard lock(batchMutex);
            if (!finished.load()) {
                openBatch.reset();
                queue.async(std::move(work));
                return;
            }
        }
        if (auto lock = lockDirect()) work();
    }

    // False after `finish`: the caller writes the message itself.
    bool append(LogMessage&& message, bool holdsSlot, std::shared_ptr<Batch>* waitFor) {
        std::lock_guard lock(batchMutex);
        if (finished.load()) return false;
        if (!openBatch) {
            openBatch = std::make_shared<Batch>();
            if (!spareMessageLists.empty()) {
                openBatch->messages = std::move(spareMessageLists.back());
                spareMessageLists.pop_back();
            }
            queue.async([batch = openBatch] { LogState::state().lt_log(batch); });
        }
        Batch& batch = *openBatch;
        if (batch.count < batch.messages.size()) {
            batch.messages[batch.count] = std::move(message);
        } else {
            batch.messages.push_back(std::move(message));
        }
        ++batch.count;
        openBatch->slots += holdsSlot ? 1 : 0;
        if (waitFor) *waitFor = openBatch;
        return true;
    }

    // Hands a batch to every registered logger, each on its own queue, and waits
    // until all have written it. The loggers write in parallel; the last one to
    // finish completes the batch (a waiting caller resumes from there), and while
    // the logging queue waits, the next batch gathers the messages logged meanwhile.
    void lt_log(const std::shared_ptr<Batch>& batch) {
        {
            std::lock_guard lock(batchMutex);
            if (openBatch == batch) openBatch.reset();
        }
        std::span<const LogMessage> messages(batch->messages.data(), batch->count);
        if (nodes.empty()) {
            complete(*batch);
        } else if (processorCount < 2) {
            for (const LoggerNode& node : nodes) {
                node.loggerQueue->sync([&] { deliverTo(*node.logger, messages); });
            }
            complete(*batch);
        } else {
            batch->loggersLeft.store(static_cast<int>(nodes.size()), std::memory_order_relaxed);
            deliveryGroup.enter(static_cast<int>(nodes.size()));
            for (const LoggerNode& node : nodes) {
                node.loggerQueue->async([this, batch = batch.get(), logger = node.logger.get(), messages] {
                    deliverTo(*logger, messages);
                    if (batch->loggersLeft.fetch_sub(1, std::memory_order_acq_rel) == 1) complete(*batch);
                    deliveryGroup.leave();
                });
            }
            deliveryGroup.wait();
        }
        recycle(*batch);
    }

    // The synchronous call when no batch is on its way: the calling thread takes
    // the logging queue and then each logger's queue in turn (SerialQueue::sync
    // runs the work on the caller's thread once what was queued before has run)
    // and writes the message itself, one logger after the other. Returns false,
    // doing nothing, when a batch is open: the message joins it instead.
    bool deliverOnCallingThread(const LogMessage& message) {
        {
            std::lock_guard lock(batchMutex);
            if (openBatch || finished.load()) return false;
        }
        std::span<const LogMessage> messages(&message, 1);
        queue.sync([&] {
            for (const LoggerNode& node : nodes) {
                node.loggerQueue->sync([&] { deliverTo(*node.logger, messages); });
            }
        });
        return true;
    }

    // Every logger has written the batch: wake a caller waiting for it and free its slots.
    void complete(Batch& batch) {
        const int slots = batch.slots;
        batch.delivered.store(1, std::memory_order_release);
        batch.delivered.notify_all();
        if (slots > 0) pendingSlots.release(slots);
    }

    // Keeps a delivered batch's records for a later batch.
    void recycle(Batch& batch) {
        std::vector<LogMessage> spent = std::move(batch.messages);
        for (LogMessage& message : spent) message.prepareForReuse();
        if (spent.size() <= Log::kMaximumPendingMessages) {
            std::lock_guard lock(batchMutex);
            if (spareMessageLists.size() < 4) spareMessageLists.push_back(std::move(spent));
        }
    }

    static void deliverTo(Logger& logger, std::span<const LogMessage> messages) {
        try {
            logger.logMessages(messages);
        } catch (...) {
            // A logger's failure is its own; the core never fails a logging call.
        }
    }

    void lt_addLogger(std::shared_ptr<Logger> logger) {
        std::shared_ptr<platform::SerialQueue> loggerQueue = logger->loggerQueue();
        if (!loggerQueue) loggerQueue = std::make_shared<platform::SerialQueue>(logger->loggerName());
        loggerQueue->setTag(&kLoggingQueueTag);
        nodes.push_back(LoggerNode::nodeWithLogger(logger, loggerQueue));
        onLoggerQueue(nodes.back(), [logger] { logger->didAddLogger(); });
    }

    void lt_removeLogger(const std::shared_ptr<Logger>& logger) {
        auto found = std::find_if(nodes.begin(), nodes.end(),
                                  [&](const LoggerNode& node) { return node.logger == logger; });
        if (found == nodes.end()) return;
        notifyRemoval(*found);
        nodes.erase(found);
    }

    void lt_removeAllLoggers() {
        for (const LoggerNode& node : nodes) notifyRemoval(node);
        nodes.clear();
    }

    // Tells a logger it is being removed. A flush waits for these too, so that a
    // removed logger has finished (a file logger has rolled its file) after it.
    void notifyRemoval(const LoggerNode& node) {
        removalGroup.enter(1);
        onLoggerQueue(node, [this, logger = node.logger] {
            try {
                logger->willRemoveLogger();
            } catch (...) {
            }
            removalGroup.leave();
        });
    }

    void lt_flush() {
        removalGroup.wait();
        if (nodes.empty()) return;
        flushGroup.enter(static_cast<int>(nodes.size()));
        for (const LoggerNode& node : nodes) {
            onLoggerQueue(node, [this, logger = node.logger.get()] {
                try {
                    logger->flush();
                } catch (...) {
                }
                flushGroup.leave();
            });
        }
        flushGroup.wait();
    }

    static LogState& state();

    platform::SerialQueue queue{"strombel.logging"};
    std::mutex batchMutex;
    std::shared_ptr<Batch> openBatch;
    std::vector<std::vector<LogMessage>> spareMessageLists;  // guarded by batchMutex
    std::counting_semaphore<Log::kMaximumPendingMessages> pendingSlots{Log::kMaximumPendingMessages};
    std::vector<LoggerNode> nodes;  // touched only on the logging queue; after `finish`, under directMutex
    std::atomic<bool> finished{false};  // set under batchMutex
    std::recursive_mutex directMutex;
    unsigned processorCount = 1;
    DispatchGroup deliveryGroup;
    DispatchGroup flushGroup;
    DispatchGroup removalGroup;
    platform::NotificationCenter::ObserverId terminateObserver = 0;
    LoggingQueue front;

    std::mutex classMutex;
    std::vector<ClassLevel> classLevels;
};

LogState& LogState::state() {
    static LogState* const instance = new LogState;
    return *instance;
}

LogState& state() { return LogState::state(); }

}  // namespace

void LoggingQueue::async(std::function<void()> work) { state().queueOrdered(std::move(work)); }

void LoggingQueue::sync(const std::function<void()>& work) {
    LogState& core = state();
    if (core.queue.isCurrent()) {
        work();
        return;
    }
    auto done = std::make_shared<std::atomic<int>>(0);
    core.queueOrdered([&work, done] {
        work();
        done->store(1, std::memory_order_release);
        done->notify_all();
    });
    done->wait(0, std::memory_order_acquire);
}

bool LoggingQueue::isCurrent() const { return state().queue.isCurrent(); }

const std::string& LoggingQueue::label() const { return state().queue.label(); }

void Log::logv(bool asynchronous, int32_t level, int32_t flag, int32_t context, const char* file,
               const char* function, int32_t line, LogTag tag, const char* format, fmt::format_args args) {
    if (!format) return;
    std::string text;
    try {
        text = fmt::vformat(format, args);
    } catch (const std::exception&) {
        // A format made at run time may not fit its arguments (a stray brace): the
        // line is written as the format stands rather than failing the call.
        text = format;
    }
    queueLogMessage(LogMessage(std::move(text), level, flag, context, file, function, line, std::move(tag)),
                    asynchronous);
}

void Log::queueLogMessage(LogMessage message, bool asynchronously) {
    LogState& core = state();
    bool holdsSlot = true;
    if (onLoggingThread()) {
        // Waiting here could wait for this very thread: never block.
        asynchronously = true;
        holdsSlot = core.pendingSlots.try_acquire();
    } else {
        core.pendingSlots.acquire();
        if (!asynchronously && core.deliverOnCallingThread(message)) {
            core.pendingSlots.release();
            return;
        }
    }
    std::shared_ptr<Batch> batch;
    if (!core.append(std::move(message), holdsSlot, asynchronously ? nullptr : &batch)) {
        // Logging's threads have ended: the caller writes the line itself.
        if (holdsSlot) core.pendingSlots.release();
        core.writeDirectly(message);
        return;
    }
    if (batch) waitWhileEquals(batch->delivered, 0);
}

void Log::finish() { state().finish(); }

void Log::addLogger(std::shared_ptr<Logger> logger) {
    if (!logger) return;
    loggingQueue().async([logger = std::move(logger)] { state().lt_addLogger(logger); });
}

void Log::removeLogger(const std::shared_ptr<Logger>& logger) {
    if (!logger) return;
    loggingQueue().async([logger] { state().lt_removeLogger(logger); });
}

void Log::removeAllLoggers() {
    loggingQueue().async([] { state().lt_removeAllLoggers(); });
}

void Log::flushLog() {
    LogState& core = state();
    // Lines of real-time threads logged before the flush are written before it returns.
    if (!onLoggingThread()) flushRealtimeLog();
    if (onLoggingThread() && !core.queue.isCurrent()) {
        core.front.async([] { state().lt_flush(); });
        return;
    }
    core.front.sync([] { state().lt_flush(); });
}

LoggingQueue& Log::loggingQueue() { return state().front; }

void Log::applicationWillTerminate(const platform::Notification&) { flushLog(); }

bool Log::isOnLoggingThread() {
    state();
    return onLoggingThread();
}

void Log::registerClassLevel(const std::string& name, std::function<int32_t()> get,
                             std::function<void(int32_t)> set) {
    LogState& core = state();
    std::lock_guard lock(core.classMutex);
    auto found = std::find_if(core.classLevels.begin(), core.classLevels.end(),
                              [&](const ClassLevel& entry) { return entry.name == name; });
    if (found != core.classLevels.end()) {
        found->get = std::move(get);
        found->set = std::move(set);
    } else {
        core.classLevels.push_back({name, std::move(get), std::move(set)});
    }
}

void Log::unregisterClass(const std::string& name) {
    LogState& core = state();
    std::lock_guard lock(core.classMutex);
    std::erase_if(core.classLevels, [&](const ClassLevel& entry) { return entry.name == name; });
}

bool Log::isRegisteredClass(const std::string& name) {
    LogState& core = state();
    std::lock_guard lock(core.classMutex);
    return std::any_of(core.classLevels.begin(), core.classLevels.end(),
                       [&](const ClassLevel& entry) { return entry.name == name; });
}

std::vector<std::string> Log::registeredClassNames() {
    LogState& core = state();
    std::lock_guard lock(core.classMutex);
    std::vector<std::string> names;
    for (const ClassLevel& entry : core.classLevels) names.push_back(entry.name);
    return names;
}

int32_t Log::logLevelForClassWithName(const std::string& name) {
    std::function<int32_t()> get;
    {
        LogState& core = state();
        std::lock_guard lock(core.classMutex);
        for (const ClassLevel& entry : core.classLevels) {
            if (entry.name == name) get = entry.get;
        }
    }
    return get ? get() : -1;
}

void Log::setLogLevelForClassWithName(int32_t level, const std::string& name) {
    std::function<void(int32_t)> set;
    {
        LogState& core = state();
        std::lock_guard lock(core.classMutex);
        for (const ClassLevel& entry : core.classLevels) {
            if (entry.name == name) set = entry.set;
        }
    }
    if (set) set(level);
}

}  // namespace strombel::logging
