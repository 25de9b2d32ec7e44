#include "platform/application.h"

#include <chrono>
#include <utility>
#include <vector>

namespace strombel::platform {

Application& Application::shared() {
    static Application application;
    return application;
}

Application::State Application::applicationState() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void Application::setApplicationState(State state) {
    std::lock_guard lock(mutex_);
    state_ = state;
}

Application::BackgroundTaskId Application::beginBackgroundTask(std::function<void()> expirationHandler) {
    std::lock_guard lock(mutex_);
    BackgroundTaskId task = nextTask_++;
    tasks_.emplace(task, std::move(expirationHandler));
    return task;
}

void Application::endBackgroundTask(BackgroundTaskId task) {
    if (task == kInvalidBackgroundTask) return;
    {
        std::lock_guard lock(mutex_);
        tasks_.erase(task);
    }
    ended_.notify_all();
}

size_t Application::openBackgroundTaskCount() const {
    std::lock_guard lock(mutex_);
    return tasks_.size();
}

bool Application::finishBackgroundTasks(MainLoop& loop, uint64_t timeoutNanos) {
    const uint64_t deadline = loop.nowNanos() + timeoutNanos;
    for (;;) {
        loop.runPending();
        std::unique_lock lock(mutex_);
        if (tasks_.empty()) return true;
        if (loop.nowNanos() >= deadline) break;
        // Tasks end on other threads or through work posted to the loop: look
        // again soon either way.
        ended_.wait_for(lock, std::chrono::milliseconds(5));
    }
    std::vector<std::function<void()>> handlers;
    {
        std::lock_guard lock(mutex_);
        for (auto& [task, handler] : tasks_) handlers.push_back(std::move(handler));
        tasks_.clear();
    }
    for (auto& handler : handlers) {
        if (handler) handler();
    }
    return false;
}

}  // namespace strombel::platform
