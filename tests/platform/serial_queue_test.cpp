#include "platform/serial_queue.h"

#include <thread>

#include "platform/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
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

TEST(SerialQueue, SyncWaitsAndRunsInlineOnItsOwnThread) {
    SerialQueue queue("test.sync");
    int value = 0;
    queue.async([&] { value = 1; });
    queue.sync([&] { value *= 10; });
    EXPECT_EQ(value, 10);
    bool nested = false;
    queue.sync([&] { queue.sync([&] { nested = queue.isCurrent(); }); });
    EXPECT_TRUE(nested);
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
