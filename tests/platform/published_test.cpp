#include "platform/published.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/main_loop.h"
#include "platform/wakeup.h"

namespace strombel::platform {
namespace {

struct Tracked {
    explicit Tracked(int value, std::atomic<int>* freed = nullptr) : value(value), freed(freed) {}
    ~Tracked() {
        if (freed) freed->fetch_add(1);
    }
    int value;
    std::atomic<int>* freed;
};

TEST(Published, AReaderKeepsItsValueUntilItLeavesAndTheWriterWaitsForIt) {
    std::atomic<int> freed{0};
    Published<Tracked> cell(std::make_shared<const Tracked>(1, &freed));
    std::atomic<bool> reading{false}, leave{false};
    std::thread reader([&] {
        auto value = cell.read();
        reading.store(true);
        while (!leave.load()) std::this_thread::yield();
        EXPECT_EQ(value->value, 1) << "still the value it began with";
    });
    while (!reading.load()) std::this_thread::yield();
    std::atomic<bool> published{false};
    std::thread writer([&] {
        cell.publish(std::make_shared<const Tracked>(2, &freed));
        published.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(published.load()) << "the writer waits while a reader may hold the old value";
    EXPECT_EQ(freed.load(), 0);
    EXPECT_EQ(cell.read()->value, 2) << "new readers see the new value at once";
    leave.store(true);
    reader.join();
    writer.join();
    EXPECT_EQ(freed.load(), 1) << "the old value goes on the writer's thread";
}

TEST(Published, ReadersRacingManyReplacementsNeverSeeAFreedValue) {
    Published<std::vector<int>> cell(std::make_shared<const std::vector<int>>(64, 0));
    std::atomic<bool> done{false};
    std::atomic<long> reads{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!done.load()) {
                auto value = cell.read();
                const int first = (*value)[0];
                for (int item : *value) ASSERT_EQ(item, first) << "a value is never changed or freed under a reader";
                reads.fetch_add(1);
                // Outside its section, a reader lets the writer run: on a machine
                // with fewer cores than threads, the writer would otherwise wait out
                // whole time slices of readers that hold it up.
                std::this_thread::yield();
            }
        });
    }
    while (reads.load() < 3) std::this_thread::yield();
    // At least 2000 replacements, and on until the readers have read a thousand
    // times among them.
    const long readsBefore = reads.load();
    int published = 0;
    while (published < 2000 || reads.load() < readsBefore + 1000) {
        ++published;
        cell.publish(std::make_shared<const std::vector<int>>(64, published));
    }
    done.store(true);
    for (auto& reader : readers) reader.join();
    EXPECT_EQ((*cell.read())[0], published);
}

TEST(Published, AReaderMayReplaceWhatItReadsWithoutWaitingForItself) {
    std::atomic<int> freed{0};
    Published<Tracked> cell(std::make_shared<const Tracked>(1, &freed));
    {
        auto value = cell.read();
        cell.publishWithoutWaiting(std::make_shared<const Tracked>(2, &freed));
        EXPECT_EQ(value->value, 1);
    }
    EXPECT_EQ(freed.load(), 0) << "kept until the next publish";
    cell.publish(std::make_shared<const Tracked>(3, &freed));
    EXPECT_EQ(freed.load(), 2);
}

TEST(Wakeup, ASignalGivenBeforeTheWaitIsKept) {
    Wakeup wakeup;
    EXPECT_FALSE(wakeup.waitFor(1'000'000));
    wakeup.signal();
    wakeup.signal();
    EXPECT_TRUE(wakeup.waitFor(1'000'000));
    EXPECT_FALSE(wakeup.waitFor(1'000'000)) << "one wait takes every signal given so far";
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        wakeup.signal();
    });
    wakeup.wait();
    later.join();
}

TEST(MainLoopSignal, RaisesFromAnyThreadRunTheHandlerOnceOnTheLoop) {
    ManualClock clock;
    MainLoop loop(clock);
    std::vector<std::thread::id> ranOn;
    const MainLoop::SignalId id = loop.addSignal([&] { ranOn.push_back(std::this_thread::get_id()); });
    std::thread other([&] {
        loop.raise(id);
        loop.raise(id);
    });
    other.join();
    EXPECT_TRUE(ranOn.empty()) << "nothing runs until the loop is pumped";
    loop.runPending();
    ASSERT_EQ(ranOn.size(), 1u) << "raises before the run make one run";
    EXPECT_EQ(ranOn[0], std::this_thread::get_id());
    loop.removeSignal(id);
    loop.raise(id);
    EXPECT_EQ(loop.runPending(), 0u);
}

TEST(MainLoopSignal, ARaiseWakesARunningLoopAndTheHostEventLoop) {
    MainLoop loop{SystemClock::shared()};
    std::atomic<int> hostWakes{0};
    loop.setWakeupHandler([&] { hostWakes.fetch_add(1); });
    std::atomic<bool> ran{false};
    const MainLoop::SignalId id = loop.addSignal([&] {
        ran.store(true);
        loop.quit();
    });
    std::thread looping([&] { loop.run(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    loop.raise(id);
    looping.join();
    EXPECT_TRUE(ran.load());
    // The loop's helper thread tells the host event loop too, in its own time.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (hostWakes.load() == 0 && std::chrono::steady_clock::now() < limit) std::this_thread::yield();
    EXPECT_GE(hostWakes.load(), 1);
}

}  // namespace
}  // namespace strombel::platform
