#include "platform/spsc_ring.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

namespace strombel::platform {
namespace {

TEST(SpscRing, HandsItemsOverInOrderAndRefusesWhenFull) {
    SpscRing<int> ring(3);
    EXPECT_TRUE(ring.push(1));
    EXPECT_TRUE(ring.push(2));
    EXPECT_TRUE(ring.push(3));
    EXPECT_FALSE(ring.push(4));
    std::vector<int> taken;
    ring.drain([&](int item) { taken.push_back(item); });
    EXPECT_EQ(taken, (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(ring.push(5));  // room again, and the count wraps round the slots
    ring.drain([&](int item) { taken.push_back(item); });
    EXPECT_EQ(taken.back(), 5);
}

TEST(SpscRing, TheConsumerReleasesWhatTheSlotsHeld) {
    SpscRing<std::shared_ptr<int>> ring(2);
    auto shared = std::make_shared<int>(7);
    ring.push(shared);
    ring.drain([](std::shared_ptr<int>) {});
    EXPECT_EQ(shared.use_count(), 1);  // no copy left behind in the slot
}

TEST(SpscRing, NothingIsLostBetweenTwoThreads) {
    SpscRing<int> ring(64);
    constexpr int kItems = 100'000;
    std::thread producer([&] {
        for (int i = 0; i < kItems; ++i) {
            while (!ring.push(i)) std::this_thread::yield();
        }
    });
    int expected = 0;
    bool inOrder = true;
    while (expected < kItems) {
        ring.drain([&](int item) { inOrder = inOrder && item == expected++; });
    }
    producer.join();
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(expected, kItems);
}

}  // namespace
}  // namespace strombel::platform
