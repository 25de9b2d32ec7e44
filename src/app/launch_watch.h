#pragma once

#include "platform/worker.h"

namespace strombel::app {

/// While the program starts, a termination signal is taken at the start's next
/// step. A step that never comes back (a call that waits on something that never
/// answers: a lock another process holds, a file system that hangs) would keep
/// the program from ending at all: once a signal has come, the watch gives the
/// start `graceMilliseconds` to reach its next step, and otherwise ends the
/// process itself, with status 0 and a line on standard error. Nothing the user
/// made exists yet to be lost. Needs the termination signals held.
class LaunchWatch {
public:
    static constexpr int kGraceMilliseconds = 3000;
    explicit LaunchWatch(int graceMilliseconds = kGraceMilliseconds);
    /// The start is over: the watch ends.
    ~LaunchWatch();
    LaunchWatch(const LaunchWatch&) = delete;
    LaunchWatch& operator=(const LaunchWatch&) = delete;

private:
    int over_ = -1;  // readable once the start is over
    platform::Worker thread_;  // woken through over_
};

}  // namespace strombel::app
