#pragma once

#include <functional>
#include <memory>

#include "platform/main_loop.h"

namespace strombel::ui::kit {

/// A timer on the current context's main loop (so tests move it with a
/// ManualClock). It stops when invalidated or destroyed.
class Timer {
  public:
    /// Fires `work` after `seconds`, and every `seconds` after that when `repeats`.
    static std::unique_ptr<Timer> scheduled(double seconds, bool repeats,
                                            std::function<void()> work);

    Timer(platform::MainLoop& loop, double seconds, bool repeats, std::function<void()> work);
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    void invalidate();
    bool isValid() const { return valid_; }

  private:
    platform::MainLoop& loop_;
    platform::MainLoop::TimerId id_ = 0;
    bool valid_ = true;
    bool repeats_;
    std::function<void()> work_;
};

}  // namespace strombel::ui::kit
