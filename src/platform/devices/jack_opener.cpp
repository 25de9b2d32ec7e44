#include "platform/devices/jack_opener.h"

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>

#include "platform/clock.h"
#include "platform/devices/jack_clients.h"
#include "platform/main_loop.h"
#include "platform/worker.h"

namespace strombel::platform {

namespace {
thread_local bool onOpener = false;
}  // namespace

struct JackOpener::State {
    struct Job {
        MainLoop* loop;
        Opening opening;
        bool closing;  // runs even while the opener finishes
    };
    explicit State(const Clock& clock) : clock(clock) {}

    const Clock& clock;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::deque<Job> jobs;       // under mutex
    bool busy = false;          // a job runs
    uint64_t busySince = 0;     // when it began (clock)
    bool finished = false;      // no more jobs, no more deliveries
    bool threadEnded = false;
    // Woken by `finish` itself; at the program's end, waited for only as long
    // as a healthy server would take (see `finish`).
    Worker thread;

    bool add(Job job) {
        std::lock_guard lock(mutex);
        if (finished) return false;
        jobs.push_back(std::move(job));
        changed.notify_all();
        return true;
    }

    // The thread holds its own reference: a thread left inside libjack keeps the state.
    static void run(std::shared_ptr<State> self) {
        onOpener = true;
        std::unique_lock lock(self->mutex);
        for (;;) {
            self->changed.wait(lock, [&] { return self->finished || !self->jobs.empty(); });
            // Once finished, only closings are left: they run before the thread ends.
            if (self->jobs.empty()) break;
            Job job = std::move(self->jobs.front());
            self->jobs.pop_front();
            self->busy = true;
            self->busySince = self->clock.nowNanos();
            lock.unlock();
            Delivery delivery = job.opening();
            job.opening = nullptr;  // what it owned goes here, on this thread
            lock.lock();
            // Under the lock: once `finish` has set `finished`, nothing is posted.
            if (delivery && job.loop && !self->finished) MainLoop::postIfAlive(job.loop, std::move(delivery));
            delivery = nullptr;
            self->busy = false;
            self->changed.notify_all();
        }
        self->threadEnded = true;
        self->changed.notify_all();
    }
};

namespace {
std::mutex sharedMutex;
JackOpener* sharedOpener = nullptr;
}  // namespace

JackOpener::JackOpener(const Clock& clock) : state_(std::make_shared<State>(clock)) {
    state_->thread = Worker("JACK opener", [state = state_] { State::run(state); });
}

JackOpener::~JackOpener() { finish(std::chrono::milliseconds(0)); }

JackOpener& JackOpener::shared() {
    std::lock_guard lock(sharedMutex);
    // Never destroyed: `finishShared` ends its thread at the program's end.
    if (!sharedOpener) {
        sharedOpener = new JackOpener(SystemClock::shared());
        // A process that ends without finishing it (the program finishes it
        // itself, earlier) still lets the closings it queued run before the
        // objects made before this one go: they run on its thread and reach
        // them. Exit handlers run before the objects made before them go.
        std::atexit([] { finishShared(kPatience); });
    }
    return *sharedOpener;
}

bool JackOpener::finishShared(std::chrono::milliseconds patience) {
    JackOpener* opener = nullptr;
    {
        std::lock_guard lock(sharedMutex);
        opener = sharedOpener;
    }
    // Outside the lock: what the dropped openings held lets go through `shared()`.
    return opener ? opener->finish(patience) : true;
}

bool JackOpener::onOpenerThread() { return onOpener; }

bool JackOpener::run(MainLoop& loop, Opening opening) { return state_->add({&loop, std::move(opening), false}); }

namespace {
/// A job that hands nothing over to a main loop.
JackOpener::Opening withoutDelivery(std::function<void()> work) {
    return [work = std::move(work)] {
        work();
        return JackOpener::Delivery();
    };
}
}  // namespace

bool JackOpener::run(std::function<void()> work) {
    return state_->add({nullptr, withoutDelivery(std::move(work)), false});
}

bool JackOpener::runAndWait(std::function<void()> work, std::chrono::milliseconds patience) {
    struct Done {
        std::mutex mutex;
        std::condition_variable changed;
        bool done = false;
    };
    auto done = std::make_shared<Done>();
    if (!run([done, work = std::move(work)] {
            work();
            std::lock_guard lock(done->mutex);
            done->done = true;
            done->changed.notify_all();
        }))
        return false;
    if (busyNanos() > uint64_t(patience.count()) * kNanosPerMillisecond) return false;
    std::unique_lock lock(done->mutex);
    return done->changed.wait_for(lock, patience, [&] { return done->done; });
}

bool JackOpener::close(std::function<void()> closing) {
    return state_->add({nullptr, withoutDelivery(std::move(closing)), true});
}

size_t JackOpener::pending() const {
    std::lock_guard lock(state_->mutex);
    return state_->jobs.size() + (state_->busy ? 1 : 0);
}

uint64_t JackOpener::busyNanos() const {
    std::lock_guard lock(state_->mutex);
    if (!state_->busy) return 0;
    const uint64_t now = state_->clock.nowNanos();
    return now > state_->busySince ? now - state_->busySince : 0;
}

bool JackOpener::waitIdle(std::chrono::milliseconds patience) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, patience, [&] { return state_->jobs.empty() && !state_->busy; });
}

bool JackOpener::finish(std::chrono::milliseconds patience) {
    std::deque<State::Job> dropped;
    bool ended = false;
    {
        std::unique_lock lock(state_->mutex);
        if (!state_->thread.running()) return state_->threadEnded;
        state_->finished = true;
        for (auto& job : state_->jobs)
            if (!job.closing) dropped.push_back(std::move(job));
        std::erase_if(state_->jobs, [](const State::Job& job) { return !job.closing; });
        state_->changed.notify_all();
        const uint64_t patienceNanos = uint64_t(patience.count()) * kNanosPerMillisecond;
        const bool stuck = state_->busy && state_->clock.nowNanos() - state_->busySince > patienceNanos;
        ended = state_->changed.wait_for(lock, stuck ? std::chrono::milliseconds(0) : patience,
                                         [&] { return state_->threadEnded; });
    }
    if (ended) {
        state_->thread.stop();
        return true;
    }
    // Stuck inside libjack (or not yet woken, for a finish that waits for
    // nothing): the thread keeps the state and the job keeps what it owns;
    // nothing it reaches is destroyed by us. The worker's leftovers join it
    // once the job returns; a quit never waits for a call that may not.
    return state_->thread.stop(std::chrono::nanoseconds(0));
}

namespace detail {
void leaveAloneForGood(const void* object) { leaveJackObjectAlone(object); }
}  // namespace detail

}  // namespace strombel::platform
