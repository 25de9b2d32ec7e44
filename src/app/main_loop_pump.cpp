#include "app/main_loop_pump.h"

#include <QMetaObject>

#include <algorithm>

namespace strombel::app {

MainLoopPump::MainLoopPump(platform::MainLoop& loop) : loop_(loop) {
    loop_.bindToCurrentThread();
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { pump(); });
    loop_.setWakeupHandler([this] {
        // One queued call at a time: the pump runs everything pending anyway.
        if (!wakeQueued_.exchange(true)) {
            QMetaObject::invokeMethod(this, [this] { pump(); }, Qt::QueuedConnection);
        }
    });
    pump();
}

MainLoopPump::~MainLoopPump() { loop_.setWakeupHandler({}); }

void MainLoopPump::pump() {
    wakeQueued_.store(false);
    loop_.runPending();
    armTimer();
}

void MainLoopPump::armTimer() {
    auto due = loop_.nextTimerDue();
    if (!due) {
        timer_.stop();
        return;
    }
    uint64_t now = loop_.nowNanos();
    uint64_t waitNanos = *due > now ? *due - now : 0;
    // Round up, so that the timer is due when the pump runs.
    int waitMillis = int(std::min<uint64_t>((waitNanos + 999'999) / 1'000'000, 24u * 3600 * 1000));
    timer_.start(waitMillis);
}

}  // namespace strombel::app
