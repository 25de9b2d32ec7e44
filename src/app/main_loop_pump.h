#pragma once

#include <QObject>
#include <QTimer>

#include <atomic>

#include "platform/main_loop.h"

namespace strombel::app {

/// Pumps the MainLoop from Qt's event loop: work posted from any thread wakes
/// the pump through a queued call, and a single-shot timer fires at the loop's
/// next timer due time. Lives on the main thread; set up before other threads post.
class MainLoopPump : public QObject {
public:
    explicit MainLoopPump(platform::MainLoop& loop);
    ~MainLoopPump() override;

    /// Runs what is due now and re-arms the timer for the next one.
    void pump();

private:
    void armTimer();

    platform::MainLoop& loop_;
    QTimer timer_;
    std::atomic<bool> wakeQueued_{false};
};

}  // namespace strombel::app
