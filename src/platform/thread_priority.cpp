#include "platform/thread_priority.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

namespace strombel::platform {

namespace {

std::atomic<int> audioPriority{kAssumedAudioThreadPriority};

// The threads raised now, placed anew when the audio thread's priority changes.
std::mutex raisedMutex;
std::vector<RealTimeThread*>& raised() {
    static auto* threads = new std::vector<RealTimeThread*>();  // outlives every thread's object
    return *threads;
}

}  // namespace

int audioThreadPriority() { return audioPriority.load(); }

void setAudioThreadPriority(int priority) {
    priority = std::clamp(priority, 0, sched_get_priority_max(SCHED_FIFO));
    std::lock_guard lock(raisedMutex);
    if (audioPriority.exchange(priority) == priority) return;
    for (RealTimeThread* thread : raised()) thread->apply(priority);
}

int realTimePriority(RealTimeRole role, int audio) { return std::max(audio - static_cast<int>(role), 0); }

RealTimeThread::RealTimeThread(RealTimeRole role) : role_(role), thread_(pthread_self()) {
    std::lock_guard lock(raisedMutex);
    error_ = apply(audioPriority.load());
    raised().push_back(this);
}

RealTimeThread::~RealTimeThread() {
    std::lock_guard lock(raisedMutex);
    std::erase(raised(), this);
}

std::string RealTimeThread::apply(int audio) const {
    const int priority = realTimePriority(role_, audio);
    sched_param parameters{};
    parameters.sched_priority = priority;
    const int error = pthread_setschedparam(thread_, priority > 0 ? SCHED_FIFO : SCHED_OTHER, &parameters);
    return error == 0 ? std::string() : std::strerror(error);
}

}  // namespace strombel::platform
