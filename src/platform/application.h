#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

#include "platform/application_state.h"
#include "platform/main_loop.h"

namespace strombel::platform {

/// What the tablet platform's application object answers: its state, and the
/// background tasks that ask for time to finish work before the program ends.
/// Safe from any thread.
class Application {
  public:
    /// 0 active, 1 inactive, 2 background.
    enum State : int32_t { kActive = 0, kInactive = 1, kBackground = 2 };
    using BackgroundTaskId = uint64_t;
    static constexpr BackgroundTaskId kInvalidBackgroundTask = 0;

    Application() = default;
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    /// The program's application object.
    static Application& shared();

    State applicationState() const;
    /// Set by the desktop session as the window changes.
    void setApplicationState(State state);

    /// Opens a background task; `expirationHandler` runs when the program ends
    /// before the task was ended. Never answers the invalid id.
    BackgroundTaskId beginBackgroundTask(std::function<void()> expirationHandler);
    /// Ends a task; the invalid id and unknown ids are ignored.
    void endBackgroundTask(BackgroundTaskId task);
    size_t openBackgroundTaskCount() const;

    /// At a clean shutdown, on the loop's thread: pumps `loop` while background
    /// tasks are open, for at most `timeoutNanos` of the loop's clock, then runs
    /// the expiration handlers of those still open and forgets them. True when
    /// every task ended in time.
    bool finishBackgroundTasks(MainLoop& loop, uint64_t timeoutNanos);

  private:
    mutable std::mutex mutex_;
    std::condition_variable ended_;
    State state_ = kActive;
    BackgroundTaskId nextTask_ = 1;
    std::map<BackgroundTaskId, std::function<void()>> tasks_;
};

}  // namespace strombel::platform
