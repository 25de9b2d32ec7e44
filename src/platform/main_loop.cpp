#include "platform/main_loop.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <stdexcept>
#include <utility>

#include "platform/thread_role.h"

namespace strombel::platform {

namespace {
// The loops that live, for threads that may outlive the loop they post to.
std::mutex livingMutex;
std::set<const MainLoop*>& livingLoops() {
    static auto* loops = new std::set<const MainLoop*>;  // never destroyed: asked until the end
    return *loops;
}
}  // namespace

MainLoop::MainLoop(Clock& clock) : clock_(clock), owner_(std::this_thread::get_id()) {
    std::lock_guard lock(livingMutex);
    livingLoops().insert(this);
}

MainLoop::~MainLoop() {
    {
        std::lock_guard lock(livingMutex);
        livingLoops().erase(this);
    }
    stopWaker();
}

bool MainLoop::postIfAlive(MainLoop* loop, std::function<void()> work) {
    std::lock_guard lock(livingMutex);
    if (!loop || !livingLoops().count(loop)) return false;
    loop->post(std::move(work));
    return true;
}

void MainLoop::stopWaker() {
    Worker waker;
    {
        std::lock_guard lock(mutex_);
        wakerStopping_.store(true);
        waker = std::move(waker_);
    }
    waker.stop();
}

MainLoop& MainLoop::shared() {
    static MainLoop loop(SystemClock::shared());
    return loop;
}

void MainLoop::post(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(work));
    }
    wake();
}

void MainLoop::performSync(const std::function<void()>& work) {
    if (isMainThread()) {
        work();
        return;
    }
    std::mutex doneMutex;
    std::condition_variable doneSignal;
    bool done = false;
    post([&] {
        work();
        std::lock_guard lock(doneMutex);
        done = true;
        doneSignal.notify_one();
    });
    std::unique_lock lock(doneMutex);
    doneSignal.wait(lock, [&] { return done; });
}

MainLoop::TimerId MainLoop::schedule(uint64_t delayNanos, std::function<void()> work) {
    return addTimer(delayNanos, 0, std::move(work));
}

MainLoop::TimerId MainLoop::scheduleRepeating(uint64_t intervalNanos, std::function<void()> work) {
    if (intervalNanos == 0) intervalNanos = 1;
    return addTimer(intervalNanos, intervalNanos, std::move(work));
}

MainLoop::TimerId MainLoop::addTimer(uint64_t delayNanos, uint64_t interval,
                                     std::function<void()> work) {
    TimerId id;
    {
        std::lock_guard lock(mutex_);
        id = nextTimer_++;
        const uint64_t due = clock_.nowNanos() + delayNanos;
        timers_.emplace(id, Timer{due, interval, std::move(work)});
        dueOrder_.emplace(due, id);
    }
    wake();
    return id;
}

void MainLoop::cancel(TimerId timer) {
    std::function<void()> dropped;
    {
        std::lock_guard lock(mutex_);
        auto found = timers_.find(timer);
        if (found == timers_.end()) return;
        dropped = std::move(found->second.work);
        dueOrder_.erase({found->second.due, timer});
        timers_.erase(found);
    }
    // `dropped` is destroyed here, outside the lock, in case its captures post work.
}

size_t MainLoop::discardPending() {
    size_t dropped = 0;
    for (;;) {
        std::deque<std::function<void()>> posted;
        std::map<TimerId, Timer> timers;
        {
            std::lock_guard lock(mutex_);
            posted.swap(posted_);
            timers.swap(timers_);
            dueOrder_.clear();
        }
        if (posted.empty() && timers.empty()) return dropped;
        dropped += posted.size() + timers.size();
        // Destroyed here, outside the lock: their captures may post or cancel.
    }
}

MainLoop::SignalId MainLoop::addSignal(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    for (SignalId id = 0; id < kMaxSignals; ++id) {
        Signal& signal = signals_[id];
        if (signal.used) continue;
        signal.used = true;
        signal.handler = std::move(handler);
        signal.raised.store(false);
        if (!waker_.running() && !wakerStopping_.load())
            waker_ = Worker("main loop waker", [this] { wakerMain(); }, [this] { signalWakeup_.signal(); });
        return id;
    }
    std::fprintf(stderr, "MainLoop: more than %u signals\n", kMaxSignals);
    std::abort();
}

void MainLoop::removeSignal(SignalId id) {
    std::function<void()> dropped;
    {
        std::lock_guard lock(mutex_);
        if (id >= kMaxSignals) return;
        signals_[id].used = false;
        dropped = std::move(signals_[id].handler);
        signals_[id].handler = nullptr;
    }
}

void MainLoop::raise(SignalId id) noexcept {
    if (id >= kMaxSignals) return;
    signals_[id].raised.store(true, std::memory_order_release);
    signalsRaised_.store(true, std::memory_order_release);
    signalWakeup_.signal();
}

void MainLoop::wakerMain() {
    for (;;) {
        signalWakeup_.wait();
        if (wakerStopping_.load()) return;
        wake();
    }
}

size_t MainLoop::runRaisedSignals() {
    if (!signalsRaised_.exchange(false, std::memory_order_acq_rel)) return 0;
    size_t ran = 0;
    for (Signal& signal : signals_) {
        if (!signal.raised.exchange(false, std::memory_order_acq_rel)) continue;
        std::function<void()> handler;
        {
            std::lock_guard lock(mutex_);
            if (signal.used) handler = signal.handler;
        }
        if (handler) {
            handler();
            ++ran;
        }
    }
    return ran;
}

bool MainLoop::isMainThread() const {
    std::lock_guard lock(mutex_);
    return owner_ == std::this_thread::get_id();
}

void MainLoop::bindToCurrentThread() {
    std::lock_guard lock(mutex_);
    owner_ = std::this_thread::get_id();
    setThreadRole(ThreadRole::mainLoop);
}

std::optional<uint64_t> MainLoop::nextTimerDue() const {
    std::lock_guard lock(mutex_);
    if (dueOrder_.empty()) return std::nullopt;
    return dueOrder_.begin()->first;
}

bool MainLoop::runOneDueTimer(uint64_t now) {
    TimerId id = 0;
    std::function<void()> work;
    {
        std::lock_guard lock(mutex_);
        // The earliest due, the first made among those due together.
        auto first = dueOrder_.begin();
        if (first == dueOrder_.end() || first->first > now) return false;
        id = first->second;
        dueOrder_.erase(first);
        auto chosen = timers_.find(id);
        Timer& timer = chosen->second;
        if (timer.interval == 0) {
            work = std::move(timer.work);
            timers_.erase(chosen);
        } else {
            work = timer.work;
            timer.due += timer.interval;
            if (timer.due <= now) {
                // Fell behind: skip the missed beats.
                timer.due = now + timer.interval - (now - timer.due) % timer.interval;
            }
            dueOrder_.emplace(timer.due, id);
        }
    }
    work();
    return true;
}

size_t MainLoop::runPostedSnapshot() {
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(posted_);
    }
    for (auto& work : batch) work();
    return batch.size();
}

size_t MainLoop::runPending() {
    size_t ran = 0;
    for (int round = 0; round < 10'000; ++round) {
        size_t before = ran;
        ran += runRaisedSignals();
        ran += runPostedSnapshot();
        uint64_t now = clock_.nowNanos();
        while (runOneDueTimer(now)) {
            ++ran;
            ran += runPostedSnapshot();
        }
        if (ran == before) break;
    }
    return ran;
}

void MainLoop::advance(uint64_t nanos) {
    auto* manual = dynamic_cast<ManualClock*>(&clock_);
    if (!manual) throw std::logic_error("MainLoop::advance needs a ManualClock");
    uint64_t target = manual->nowNanos() + nanos;
    runPending();
    for (;;) {
        std::optional<uint64_t> due = nextTimerDue();
        if (!due || *due > target) break;
        if (*due > manual->nowNanos()) manual->set(*due);
        runPending();
    }
    manual->set(target);
    runPending();
}

void MainLoop::setWakeupHandler(std::function<void()> handler) {
    std::unique_lock lock(mutex_);
    wakeupCallEnded_.wait(lock, [&] { return wakeupCalls_ == 0; });
    std::swap(wakeupHandler_, handler);
    lock.unlock();
    // The handler replaced goes here, outside the lock.
}

void MainLoop::wake() {
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex_);
        handler = wakeupHandler_;
        if (handler) ++wakeupCalls_;
    }
    changed_.notify_all();
    if (!handler) return;
    handler();
    handler = nullptr;
    std::lock_guard lock(mutex_);
    if (--wakeupCalls_ == 0) wakeupCallEnded_.notify_all();
}

void MainLoop::run() {
    bindToCurrentThread();
    for (;;) {
        runPending();
        std::unique_lock lock(mutex_);
        if (quitting_) {
            quitting_ = false;
            return;
        }
        if (!posted_.empty() || signalsRaised_.load()) continue;
        std::optional<uint64_t> earliest;
        if (!dueOrder_.empty()) earliest = dueOrder_.begin()->first;
        if (!earliest) {
            changed_.wait(lock);
        } else {
            uint64_t now = clock_.nowNanos();
            if (*earliest > now) {
                // Wait in short slices so that a ManualClock moved by another thread is seen.
                uint64_t wait = std::min<uint64_t>(*earliest - now, 50 * kNanosPerMillisecond);
                changed_.wait_for(lock, std::chrono::nanoseconds(wait));
            }
        }
    }
}

void MainLoop::quit() {
    {
        std::lock_guard lock(mutex_);
        quitting_ = true;
    }
    changed_.notify_all();
}

}  // namespace strombel::platform
