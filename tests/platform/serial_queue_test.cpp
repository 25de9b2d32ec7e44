#include "platform/serial_queue.h"

#include <thread>

#include "platform/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace strombel::platform {
namespace {

TEST(SerialQueue, RunsWorkOneAtATimeInOrder) {
    std::vector<int> order;
    std::atomic<int> running{0};
    bool overlapped = false;
    {
        SerialQueue queue("test.order");
        for (int i = 0; i < 500; ++i) {
            queue.async([&, i] {
                if (running.fetch_add(1) != 0) overlapped = true;
                order.push_back(i);
                running.fetch_sub(1);
            });
        }
    }  // the destructor drains the queue
    ASSERT_EQ(order.size(), 500u);
    for (int i = 0; i < 500; ++i) EXPECT_EQ(order[i], i);
    EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, AFinishedQueueRanItsWorkAndLetsSyncCallersTakeTurnsOnTheirOwnThreads) {
    SerialQueue queue("test.finish");
    std::vector<int> order;
    for (int i = 0; i < 50; ++i) queue.async([&, i] { order.push_back(i); });
    queue.finish();
    EXPECT_TRUE(queue.isFinished());
    EXPECT_EQ(order.size(), 50u);

    bool dropped = true;
    queue.async([&] { dropped = false; });
    std::thread::id ranOn;
    queue.sync([&] {
        ranOn = std::this_thread::get_id();
        EXPECT_TRUE(queue.isCurrent());
    });
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_TRUE(dropped);

    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    auto turns = [&] {
        for (int i = 0; i < 2000; ++i) {
            queue.sync([&] {
                if (inside.fetch_add(1) != 0) overlapped = true;
                inside.fetch_sub(1);
            });
        }
    };
    std::thread other(turns);
    turns();
    other.join();
    EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, SyncWaitsForEarlierWorkAndNestsInline) {
    SerialQueue queue("test.sync");
    int value = 0;
    queue.async([&] { value = 1; });
    queue.sync([&] { value *= 10; });
    EXPECT_EQ(value, 10);
    bool nested = false;
    queue.sync([&] { queue.sync([&] { nested = queue.isCurrent(); }); });
    EXPECT_TRUE(nested);
}

TEST(SerialQueue, SyncOnAnIdleQueueRunsOnTheCallingThreadAsTheQueue) {
    SerialQueue queue("test.inline");
    std::thread::id ranOn;
    SerialQueue* current = nullptr;
    std::string label;
    bool isCurrent = false;
    queue.sync([&] {
        ranOn = std::this_thread::get_id();
        current = SerialQueue::current();
        label = SerialQueue::currentLabel();
        isCurrent = queue.isCurrent();
    });
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(current, &queue);
    EXPECT_EQ(label, "test.inline");
    EXPECT_TRUE(isCurrent);
    EXPECT_EQ(SerialQueue::current(), nullptr);
    EXPECT_FALSE(queue.isCurrent());
}

TEST(SerialQueue, SyncOnABusyQueueRunsAfterEveryEarlierItemInOrder) {
    SerialQueue queue("test.turn");
    std::vector<int> order;  // touched only by the queue's work
    for (int i = 0; i < 2000; ++i) queue.async([&, i] { order.push_back(i); });
    size_t seenBySync = 0;
    std::thread::id ranOn;
    queue.sync([&] {
        seenBySync = order.size();
        order.push_back(-1);
        ranOn = std::this_thread::get_id();
    });
    EXPECT_EQ(seenBySync, 2000u);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    queue.async([&] { order.push_back(2000); });
    queue.sync([] {});
    ASSERT_EQ(order.size(), 2002u);
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(order[i], i);
    EXPECT_EQ(order[2000], -1);
    EXPECT_EQ(order[2001], 2000);
}

// Async items and sync calls from several threads share one plain counter: the
// queue's exclusion alone keeps them from overlapping (and a thread sanitizer quiet).
TEST(SerialQueue, AsyncWorkNeverOverlapsWorkRunInsideSync) {
    SerialQueue queue("test.exclusive");
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    int counter = 0;
    auto touch = [&] {
        if (inside.fetch_add(1) != 0) overlapped = true;
        ++counter;
        inside.fetch_sub(1);
    };
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                queue.async(touch);
                if (i % 3 == 0) queue.asyncAfter(0, touch);
                queue.sync(touch);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    queue.sync([] {});
    constexpr int kDelayedPerThread = (kRounds + 2) / 3;
    EXPECT_EQ(counter, kThreads * (2 * kRounds + kDelayedPerThread));
    EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, SyncNestedAcrossQueuesRunsInlineAndNamesTheInnermostQueue) {
    SerialQueue outer("test.outer");
    SerialQueue inner("test.inner");
    std::vector<std::string> labels;
    bool outerCurrentInInner = true;
    outer.sync([&] {
        labels.push_back(SerialQueue::currentLabel());
        inner.sync([&] {
            labels.push_back(SerialQueue::currentLabel());
            outerCurrentInInner = outer.isCurrent();
            // Back to a queue this thread already holds: inline, not a wait on itself.
            outer.sync([&] { labels.push_back(SerialQueue::currentLabel()); });
            labels.push_back(SerialQueue::currentLabel());
        });
        labels.push_back(SerialQueue::currentLabel());
    });
    EXPECT_EQ(labels, (std::vector<std::string>{"test.outer", "test.inner", "test.outer", "test.inner", "test.outer"}));
    EXPECT_FALSE(outerCurrentInInner);
    EXPECT_EQ(SerialQueue::currentLabel(), "");

    // From an item on the queue's own thread, sync runs there at once.
    std::atomic<bool> ranOnItsThread{false};
    outer.async([&] {
        const std::thread::id self = std::this_thread::get_id();
        outer.sync([&] { ranOnItsThread = std::this_thread::get_id() == self && outer.isCurrent(); });
    });
    outer.sync([] {});
    EXPECT_TRUE(ranOnItsThread);
}

TEST(SerialQueue, WorkThatThrowsInsideSyncLetsTheQueueGoOn) {
    SerialQueue queue("test.throw");
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("failed"); }), std::runtime_error);
    EXPECT_EQ(SerialQueue::current(), nullptr);
    std::atomic<bool> ran{false};
    queue.async([&] { ran = true; });
    queue.sync([] {});
    EXPECT_TRUE(ran);
}

TEST(SerialQueue, TagsAreSeenThroughNestedSync) {
    static const char kTag = 0;
    SerialQueue tagged("test.tagged");
    SerialQueue plain("test.plain");
    tagged.setTag(&kTag);
    EXPECT_FALSE(SerialQueue::callingThreadHoldsQueueTagged(&kTag));
    bool inTagged = false;
    bool inPlainInsideTagged = false;
    bool inPlainAlone = true;
    tagged.sync([&] {
        inTagged = SerialQueue::callingThreadHoldsQueueTagged(&kTag);
        plain.sync([&] { inPlainInsideTagged = SerialQueue::callingThreadHoldsQueueTagged(&kTag); });
    });
    plain.sync([&] { inPlainAlone = SerialQueue::callingThreadHoldsQueueTagged(&kTag); });
    std::atomic<bool> onItsThread{false};
    tagged.async([&] { onItsThread = SerialQueue::callingThreadHoldsQueueTagged(&kTag); });
    tagged.sync([] {});
    EXPECT_TRUE(inTagged);
    EXPECT_TRUE(inPlainInsideTagged);
    EXPECT_FALSE(inPlainAlone);
    EXPECT_TRUE(onItsThread);
}

TEST(SerialQueue, KnowsItsLabelFromInside) {
    SerialQueue queue("test.label");
    std::string seen;
    queue.sync([&] { seen = SerialQueue::currentLabel(); });
    EXPECT_EQ(seen, "test.label");
    EXPECT_EQ(SerialQueue::currentLabel(), "");
    EXPECT_FALSE(queue.isCurrent());
}

TEST(SerialQueue, DelayedWorkRunsAfterImmediateWork) {
    SerialQueue queue("test.after");
    std::mutex mutex;
    std::vector<std::string> order;
    queue.asyncAfter(20 * kNanosPerMillisecond, [&] { std::lock_guard lock(mutex); order.push_back("later"); });
    queue.async([&] { std::lock_guard lock(mutex); order.push_back("now"); });
    for (int i = 0; i < 400; ++i) {
        {
            std::lock_guard lock(mutex);
            if (order.size() == 2) break;
        }
        queue.sync([] {});
        std::this_thread::yield();
    }
    std::lock_guard lock(mutex);
    EXPECT_EQ(order.front(), "now");
}

}  // namespace
}  // namespace strombel::platform
