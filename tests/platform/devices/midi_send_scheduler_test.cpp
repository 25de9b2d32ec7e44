#include "platform/devices/midi_send_scheduler.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <vector>

namespace strombel::platform {
namespace {

struct Sent {
    MidiEndpointRef destination;
    std::vector<uint8_t> bytes;
    uint64_t due;
    uint64_t at;
};

class SchedulerTest : public ::testing::Test {
protected:
    ManualClock clock{1'000'000'000};
    std::vector<Sent> sent;
    MidiSendScheduler scheduler{clock,
                                [this](MidiEndpointRef destination, std::span<const uint8_t> bytes, uint64_t due) {
                                    sent.push_back({destination, {bytes.begin(), bytes.end()}, due, clock.nowNanos()});
                                },
                                false};

    void schedule(MidiEndpointRef destination, uint64_t due, std::vector<uint8_t> bytes) {
        scheduler.schedule(destination, due, bytes);
    }
};

TEST_F(SchedulerTest, SendsGoOutAtTheirTimeInTimeOrder) {
    const uint64_t now = clock.nowNanos();
    schedule(1, now + 30, {0xF8});
    schedule(1, now + 10, {0xFA});
    schedule(2, now + 20, {0x90, 60, 127});

    EXPECT_EQ(scheduler.dispatchDue(), 0u);
    clock.advance(15);
    EXPECT_EQ(scheduler.dispatchDue(), 1u);
    clock.advance(100);
    EXPECT_EQ(scheduler.dispatchDue(), 2u);

    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].bytes, std::vector<uint8_t>{0xFA});
    EXPECT_EQ(sent[1].bytes, (std::vector<uint8_t>{0x90, 60, 127}));
    EXPECT_EQ(sent[1].destination, 2u);
    EXPECT_EQ(sent[2].bytes, std::vector<uint8_t>{0xF8});
    EXPECT_EQ(sent[2].due, now + 30);
}

TEST_F(SchedulerTest, SendsDueTogetherKeepTheirOrder) {
    const uint64_t due = clock.nowNanos() + 5;
    for (uint8_t i = 0; i < 20; ++i) schedule(1, due, {0x90, i, 1});
    clock.advance(5);
    scheduler.dispatchDue();
    ASSERT_EQ(sent.size(), 20u);
    for (uint8_t i = 0; i < 20; ++i) EXPECT_EQ(sent[i].bytes[1], i);
}

TEST_F(SchedulerTest, FlushDropsOneDestinationOrAll) {
    const uint64_t now = clock.nowNanos();
    schedule(1, now + 10, {0xF8});
    schedule(2, now + 10, {0xF8});
    schedule(2, now + 20, {0xF8});
    scheduler.flush(2);
    EXPECT_EQ(scheduler.pending(), 1u);
    schedule(3, now + 10, {0xF8});
    scheduler.flush(0);
    EXPECT_EQ(scheduler.pending(), 0u);
    clock.advance(100);
    EXPECT_EQ(scheduler.dispatchDue(), 0u);
    EXPECT_TRUE(sent.empty());
}

TEST_F(SchedulerTest, LongMessagesArriveWhole) {
    std::vector<uint8_t> sysEx(5000, 0x11);
    sysEx.front() = 0xF0;
    sysEx.back() = 0xF7;
    schedule(4, clock.nowNanos() + 1, sysEx);
    clock.advance(1);
    scheduler.dispatchDue();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, sysEx);
}

TEST(SchedulerThreadTest, ItsOwnThreadDeliversWithoutBeingAsked) {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<uint8_t> got;
    MidiSendScheduler scheduler(
        SystemClock::shared(),
        [&](MidiEndpointRef, std::span<const uint8_t> bytes, uint64_t) {
            std::lock_guard lock(mutex);
            got.insert(got.end(), bytes.begin(), bytes.end());
            arrived.notify_all();
        },
        true);
    const uint64_t now = SystemClock::shared().nowNanos();
    const uint8_t tick = 0xF8, start = 0xFA;
    scheduler.schedule(1, now + 2 * kNanosPerMillisecond, std::span(&tick, 1));
    scheduler.schedule(1, now + 1 * kNanosPerMillisecond, std::span(&start, 1));
    std::unique_lock lock(mutex);
    ASSERT_TRUE(arrived.wait_for(lock, std::chrono::seconds(5), [&] { return got.size() == 2; }));
    EXPECT_EQ(got, (std::vector<uint8_t>{0xFA, 0xF8}));
}

}  // namespace
}  // namespace strombel::platform
