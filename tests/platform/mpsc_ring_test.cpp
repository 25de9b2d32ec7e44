#include "platform/mpsc_ring.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace strombel::platform {
namespace {

TEST(MpscRing, HandsItemsOverInOrderAndRefusesWhenFull) {
    MpscRing<int> ring(4);
    for (int i = 1; i <= 4; ++i) EXPECT_TRUE(ring.push(i));
    bool filled = false;
    EXPECT_FALSE(ring.tryPush([&](int&) { filled = true; }));
    EXPECT_FALSE(filled) << "a full ring never hands out a slot";
    std::vector<int> taken;
    ring.drain([&](int item) { taken.push_back(item); });
    EXPECT_EQ(taken, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_TRUE(ring.empty());
    EXPECT_TRUE(ring.push(5));  // the positions wrap round the slots
    int out = 0;
    ASSERT_TRUE(ring.pop(out));
    EXPECT_EQ(out, 5);
}

TEST(MpscRing, SlotsOwnNothingAfterTheConsumerTookTheirItem) {
    MpscRing<std::shared_ptr<int>> ring(2);
    auto shared = std::make_shared<int>(7);
    ring.push(shared);
    ring.drain([](std::shared_ptr<int>) {});
    EXPECT_EQ(shared.use_count(), 1) << "the producer's next fill must find an empty slot";
}

TEST(MpscRing, AProducerStillFillingItsSlotHoldsBackNobodyForDrainAvailable) {
    MpscRing<int> ring(4);
    std::atomic<bool> claimed{false}, fill{false};
    std::thread slow([&] {
        ring.tryPush([&](int& slot) {
            claimed.store(true);
            while (!fill.load()) std::this_thread::yield();
            slot = 1;
        });
    });
    while (!claimed.load()) std::this_thread::yield();
    ring.push(2);
    ring.push(3);
    std::vector<int> taken;
    auto take = [&](int& item) { taken.push_back(item); };
    EXPECT_EQ(ring.drainAvailable(take), 2u);
    EXPECT_EQ(taken, (std::vector<int>{2, 3})) << "the later items went past the slot being filled";
    ring.push(4);  // the slots taken early are free again
    EXPECT_FALSE(ring.push(5)) << "the unfilled slot still holds its place";
    fill.store(true);
    slow.join();
    EXPECT_EQ(ring.drainAvailable(take), 2u);
    EXPECT_EQ(taken, (std::vector<int>{2, 3, 1, 4}));
    for (int i = 6; i < 10; ++i) EXPECT_TRUE(ring.push(i)) << "every slot is free once the hole is filled";
    EXPECT_EQ(ring.drainAvailable(take), 4u);
    EXPECT_EQ(taken.back(), 9);
}

TEST(MpscRing, ManyProducersLoseNothingAndKeepEachOnesOrder) {
    constexpr int kProducers = 4;
    constexpr int kEach = 20000;
    MpscRing<std::pair<int, int>> ring(256);
    std::atomic<int> refused{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kEach;) {
                if (ring.push({p, i})) {
                    ++i;
                } else {
                    refused.fetch_add(1);
                    std::this_thread::yield();
                }
            }
        });
    }
    std::vector<int> next(kProducers, 0);
    int received = 0;
    while (received < kProducers * kEach) {
        std::pair<int, int> item;
        if (!ring.pop(item)) continue;
        ASSERT_EQ(item.second, next[item.first]) << "producer " << item.first;
        ++next[item.first];
        ++received;
    }
    for (auto& producer : producers) producer.join();
    EXPECT_TRUE(ring.empty());
}

}  // namespace
}  // namespace strombel::platform
