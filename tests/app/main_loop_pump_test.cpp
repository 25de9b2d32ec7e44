// The main loop pumped from Qt's event loop: work posted from other threads and
// timers of the loop run inside Qt's loop, on its thread.

#include "app/main_loop_pump.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>

#include <atomic>
#include <thread>
#include <vector>

namespace strombel::app {
namespace {

TEST(MainLoopPump, RunsWorkPostedFromOtherThreadsAndTimersInsideQtsLoop) {
    platform::MainLoop loop{platform::SystemClock::shared()};
    MainLoopPump pump(loop);
    const auto qtThread = std::this_thread::get_id();
    std::vector<std::string> ran;
    std::atomic<int> postedOnQtThread{0};

    std::thread other([&] {
        for (int i = 0; i < 100; ++i)
            loop.post([&] {
                if (std::this_thread::get_id() == qtThread) ++postedOnQtThread;
            });
    });
    other.join();
    loop.schedule(30 * platform::kNanosPerMillisecond, [&] { ran.push_back("timer"); });
    int beats = 0;
    platform::MainLoop::TimerId repeating = loop.scheduleRepeating(10 * platform::kNanosPerMillisecond, [&] {
        if (++beats == 5) {
            ran.push_back("five beats");
            QApplication::quit();
        }
    });
    QTimer::singleShot(5000, [] { QApplication::quit(); });  // a guard; never reached when all is well
    QApplication::exec();
    loop.cancel(repeating);

    EXPECT_EQ(postedOnQtThread.load(), 100);
    EXPECT_EQ(ran, (std::vector<std::string>{"timer", "five beats"}));
    EXPECT_EQ(beats, 5);
}

}  // namespace
}  // namespace strombel::app
