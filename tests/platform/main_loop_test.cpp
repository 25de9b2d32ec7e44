#include "platform/main_loop.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <future>
#include <thread>
#include <vector>

namespace strombel::platform {
namespace {

constexpr uint64_t ms = kNanosPerMillisecond;

TEST(MainLoop, PostedWorkRunsInOrderOnlyWhenPumped) {
    ManualClock clock;
    MainLoop loop(clock);
    std::vector<int> ran;
    loop.post([&] { ran.push_back(1); });
    loop.post([&] { ran.push_back(2); loop.post([&] { ran.push_back(3); }); });
    EXPECT_TRUE(ran.empty());
    EXPECT_EQ(loop.runPending(), 3u);
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

TEST(MainLoop, AThreadThatOutlivesItsLoopPostsOnlyWhileTheLoopLives) {
    ManualClock clock;
    auto loop = std::make_unique<MainLoop>(clock);
    MainLoop* handed = loop.get();
    int ran = 0;
    std::thread([&] { EXPECT_TRUE(MainLoop::postIfAlive(handed, [&] { ++ran; })); }).join();
    loop->runPending();
    EXPECT_EQ(ran, 1);
    loop.reset();
    std::thread([&] { EXPECT_FALSE(MainLoop::postIfAlive(handed, [&] { ++ran; })); }).join();
    EXPECT_FALSE(MainLoop::postIfAlive(nullptr, [] {}));
    EXPECT_EQ(ran, 1);
}

TEST(MainLoop, DiscardedWorkGoesUnrunWithWhatItHoldsAndWhatThatPostsAsItGoes) {
    ManualClock clock;
    MainLoop loop(clock);
    int ran = 0;
    // Posts more work as the last hold on it goes.
    struct PostsAsItGoes {
        MainLoop& loop;
        int& ran;
        ~PostsAsItGoes() { loop.post([&ran = ran] { ++ran; }); }
    };
    auto held = std::make_shared<PostsAsItGoes>(loop, ran);
    std::weak_ptr<PostsAsItGoes> watch = held;
    loop.post([held, &ran] { ++ran; });
    loop.schedule(10 * ms, [held = std::move(held), &ran] { ++ran; });
    EXPECT_EQ(loop.discardPending(), 3u);  // the two, then what the last one posted as it went
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(loop.runPending(), 0u);
    EXPECT_FALSE(loop.nextTimerDue());
    EXPECT_EQ(ran, 0);
}

TEST(MainLoop, TimersFireAtTheirVirtualTimesInOrder) {
    ManualClock clock;
    MainLoop loop(clock);
    std::vector<std::pair<std::string, uint64_t>> fired;
    uint64_t start = clock.nowNanos();
    loop.schedule(30 * ms, [&] { fired.emplace_back("late", clock.nowNanos() - start); });
    loop.schedule(10 * ms, [&] { fired.emplace_back("early", clock.nowNanos() - start); });
    loop.advance(9 * ms);
    EXPECT_TRUE(fired.empty());
    loop.advance(100 * ms);
    ASSERT_EQ(fired.size(), 2u);
    EXPECT_EQ(fired[0], std::make_pair(std::string("early"), 10 * ms));
    EXPECT_EQ(fired[1], std::make_pair(std::string("late"), 30 * ms));
}

TEST(MainLoop, RepeatingTimerKeepsItsBeatAndCanCancelItself) {
    ManualClock clock;
    MainLoop loop(clock);
    std::vector<uint64_t> beats;
    uint64_t start = clock.nowNanos();
    MainLoop::TimerId timer = 0;
    timer = loop.scheduleRepeating(5 * ms, [&] {
        beats.push_back(clock.nowNanos() - start);
        if (beats.size() == 4) loop.cancel(timer);
    });
    loop.advance(100 * ms);
    EXPECT_EQ(beats, (std::vector<uint64_t>{5 * ms, 10 * ms, 15 * ms, 20 * ms}));
}

TEST(MainLoop, RepeatingTimerThatFellBehindSkipsMissedBeats) {
    ManualClock clock;
    MainLoop loop(clock);
    int count = 0;
    loop.scheduleRepeating(10 * ms, [&] { ++count; });
    clock.advance(55 * ms);  // time passes without the loop being pumped
    loop.runPending();
    EXPECT_EQ(count, 1);
    EXPECT_EQ(*loop.nextTimerDue() - clock.nowNanos(), 5 * ms);
}

TEST(MainLoop, CancelledTimerNeverFires) {
    ManualClock clock;
    MainLoop loop(clock);
    bool fired = false;
    auto timer = loop.schedule(ms, [&] { fired = true; });
    loop.cancel(timer);
    loop.cancel(timer);  // twice is harmless
    loop.advance(10 * ms);
    EXPECT_FALSE(fired);
}

TEST(MainLoop, WorkPostedFromOtherThreadsRunsOnTheLoopThread) {
    ManualClock clock;
    MainLoop loop(clock);
    std::atomic<int> wakeups{0};
    loop.setWakeupHandler([&] { ++wakeups; });
    bool onMain = false;
    std::thread other([&] {
        EXPECT_FALSE(loop.isMainThread());
        loop.post([&] { onMain = loop.isMainThread(); });
    });
    other.join();
    EXPECT_GE(wakeups.load(), 1);
    loop.runPending();
    EXPECT_TRUE(onMain);
}

TEST(MainLoop, ReplacingTheWakeupHandlerWaitsForACallOfItUnderWayOnAnotherThread) {
    MainLoop loop{SystemClock::shared()};
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> callEnded{false};
    loop.setWakeupHandler([&, released] {
        entered.set_value();
        released.wait();
        callEnded = true;
    });
    std::thread poster([&] { loop.post([] {}); });
    entered.get_future().wait();
    std::thread releaser([&] { release.set_value(); });
    loop.setWakeupHandler({});
    EXPECT_TRUE(callEnded) << "what the handler reaches could be gone under it";
    releaser.join();
    poster.join();
}

TEST(MainLoop, PerformSyncWaitsForTheLoop) {
    MainLoop loop{SystemClock::shared()};
    std::thread pumper;
    int value = 0;
    std::thread caller([&] { loop.performSync([&] { value = 42; }); loop.quit(); });
    loop.run();
    caller.join();
    EXPECT_EQ(value, 42);
}

}  // namespace
}  // namespace strombel::platform
