#include "platform/devices/jack_opener.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/main_loop.h"

namespace strombel::platform {

struct JackOpener::State {
    struct Job {
        MainLoop* loop;
        Opening opening;
    };
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::deque<Job> jobs;       // under mutex
    bool busy = false;          // an opening runs
    bool finished = false;      // no more jobs, no more deliveries
    bool threadEnded = false;
    std::thread thread;

    // The thread holds its own reference: a detached thread keeps the state.
    static void run(std::shared_ptr<State> self) {
        std::unique_lock lock(self->mutex);
        for (;;) {
            self->changed.wait(lock, [&] { return self->finished || !self->jobs.empty(); });
            if (self->finished) break;
            Job job = std::move(self->jobs.front());
            self->jobs.pop_front();
            self->busy = true;
            lock.unlock();
            Delivery delivery = job.opening();
            job.opening = nullptr;  // what it owned goes here, on this thread
            lock.lock();
            // Under the lock: once `finish` has set `finished`, nothing is posted.
            if (delivery && !self->finished) MainLoop::postIfAlive(job.loop, std::move(delivery));
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

JackOpener::JackOpener() : state_(std::make_shared<State>()) {
    state_->thread = std::thread(&State::run, state_);
}

JackOpener::~JackOpener() { finish(std::chrono::milliseconds(0)); }

JackOpener& JackOpener::shared() {
    std::lock_guard lock(sharedMutex);
    // Never destroyed: `finishShared` ends its thread at the program's end.
    if (!sharedOpener) sharedOpener = new JackOpener();
    return *sharedOpener;
}

bool JackOpener::finishShared(std::chrono::milliseconds patience) {
    std::lock_guard lock(sharedMutex);
    return sharedOpener ? sharedOpener->finish(patience) : true;
}

bool JackOpener::run(MainLoop& loop, Opening opening) {
    std::lock_guard lock(state_->mutex);
    if (state_->finished) return false;
    state_->jobs.push_back({&loop, std::move(opening)});
    state_->changed.notify_all();
    return true;
}

bool JackOpener::run(std::function<void()> work) {
    std::lock_guard lock(state_->mutex);
    if (state_->finished) return false;
    state_->jobs.push_back({nullptr, [work = std::move(work)] {
                                work();
                                return Delivery();
                            }});
    state_->changed.notify_all();
    return true;
}

size_t JackOpener::pending() const {
    std::lock_guard lock(state_->mutex);
    return state_->jobs.size() + (state_->busy ? 1 : 0);
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
        if (!state_->thread.joinable()) return state_->threadEnded;
        state_->finished = true;
        dropped.swap(state_->jobs);
        state_->changed.notify_all();
        ended = state_->changed.wait_for(lock, patience, [&] { return state_->threadEnded; });
    }
    if (ended) {
        state_->thread.join();
        return true;
    }
    // Stuck inside libjack: the thread keeps the state and the opening keeps
    // what it owns; nothing it reaches is destroyed by us.
    state_->thread.detach();
    return false;
}

}  // namespace strombel::platform
