#include "platform/worker.h"

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/thread_setup.h"

namespace strombel::platform {

namespace detail {
struct WorkerControl {
    std::mutex mutex;
    std::condition_variable changed;
    bool ended = false;  // under mutex
};
}  // namespace detail

namespace {

using detail::WorkerControl;

thread_local const std::string* currentRealTimeError = nullptr;
const std::string kNoError;

bool hasEnded(WorkerControl& control) {
    std::lock_guard lock(control.mutex);
    return control.ended;
}

// Threads whose owner stopped waiting for them: one left inside a library call
// that may never return, or one whose body destroyed its own owner. Each is
// joined once its body has returned, by the next worker stopped or left.
// Never destroyed: a thread still inside a library call when the process ends
// ends with it, and no static destructor finds it joinable.
struct Leftover {
    std::thread thread;
    std::shared_ptr<WorkerControl> control;
};
struct Leftovers {
    std::mutex mutex;
    std::vector<Leftover> threads;
};
Leftovers& leftovers() {
    static auto* list = new Leftovers;
    return *list;
}

// At the process's end, after the exit handlers registered later (the
// program's own among them): each leftover gets a moment to end and is joined.
// One still inside a library call that may never return (a JACK open on a
// server that hangs) is waited for no longer, and ends with the process.
constexpr std::chrono::milliseconds kPatienceAtExit{500};

void joinLeftoversAtExit() {
    const auto deadline = std::chrono::steady_clock::now() + kPatienceAtExit;
    Leftovers& list = leftovers();
    std::vector<Leftover> taken;
    {
        std::lock_guard lock(list.mutex);
        taken.swap(list.threads);
    }
    for (Leftover& leftover : taken) {
        bool ended = false;
        {
            std::unique_lock lock(leftover.control->mutex);
            ended = leftover.control->changed.wait_until(lock, deadline, [&] { return leftover.control->ended; });
        }
        if (ended) {
            leftover.thread.join();
        } else {
            std::lock_guard lock(list.mutex);
            list.threads.push_back(std::move(leftover));
        }
    }
}

[[maybe_unused]] const int joinLeftoversAtExitRegistered = std::atexit(joinLeftoversAtExit);

}  // namespace

Worker::Worker(std::string name, Body body, Wake wake, std::optional<RealTimeRole> realTime)
    : name_(name.substr(0, kMaxNameLength)), wake_(std::move(wake)), control_(std::make_shared<WorkerControl>()) {
    thread_ = std::thread([control = control_, name = name_, body = std::move(body), realTime]() mutable {
        nameCurrentThread(name);
        {
            std::optional<RealTimeThread> priority;
            if (realTime) priority.emplace(*realTime);
            currentRealTimeError = priority ? &priority->error() : &kNoError;
            body();
            body = nullptr;  // what it owned goes here, on this thread
            currentRealTimeError = nullptr;
        }
        std::lock_guard lock(control->mutex);
        control->ended = true;
        control->changed.notify_all();
    });
}

Worker::~Worker() { stop(); }

Worker::Worker(Worker&& other) noexcept
    : name_(std::move(other.name_)),
      wake_(std::move(other.wake_)),
      control_(std::move(other.control_)),
      thread_(std::move(other.thread_)) {}

Worker& Worker::operator=(Worker&& other) noexcept {
    if (this == &other) return *this;
    stop();
    name_ = std::move(other.name_);
    wake_ = std::move(other.wake_);
    control_ = std::move(other.control_);
    thread_ = std::move(other.thread_);
    return *this;
}

void Worker::stop() {
    if (!thread_.joinable()) return;
    if (Wake wake = std::exchange(wake_, nullptr)) wake();
    if (isCurrent()) {
        leave();
        return;
    }
    thread_.join();
    joinEndedLeftovers();
}

bool Worker::stop(std::chrono::nanoseconds patience) {
    if (!thread_.joinable()) return true;
    if (Wake wake = std::exchange(wake_, nullptr)) wake();
    if (isCurrent()) {
        leave();
        return false;
    }
    bool hasReturned = false;
    {
        std::unique_lock lock(control_->mutex);
        hasReturned = control_->changed.wait_for(lock, patience, [&] { return control_->ended; });
    }
    if (!hasReturned) {
        leave();
        return false;
    }
    thread_.join();
    joinEndedLeftovers();
    return true;
}

void Worker::join() {
    if (!thread_.joinable()) return;
    thread_.join();
    joinEndedLeftovers();
}

bool Worker::ended() const { return control_ && hasEnded(*control_); }

void Worker::leave() {
    {
        Leftovers& list = leftovers();
        std::lock_guard lock(list.mutex);
        list.threads.push_back(Leftover{std::move(thread_), std::move(control_)});
    }
    joinEndedLeftovers();
}

const std::string& Worker::realTimeError() { return currentRealTimeError ? *currentRealTimeError : kNoError; }

size_t Worker::joinEndedLeftovers() {
    Leftovers& list = leftovers();
    std::vector<Leftover> ended;
    size_t running = 0;
    {
        std::lock_guard lock(list.mutex);
        for (auto it = list.threads.begin(); it != list.threads.end();) {
            if (hasEnded(*it->control)) {
                ended.push_back(std::move(*it));
                it = list.threads.erase(it);
            } else {
                ++it;
            }
        }
        running = list.threads.size();
    }
    // Their bodies have returned: each join waits only for the thread to unwind.
    for (Leftover& leftover : ended) leftover.thread.join();
    return running;
}

}  // namespace strombel::platform
