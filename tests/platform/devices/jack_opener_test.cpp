// The thread that opens JACK clients, and the names they open under.

#include "platform/devices/jack_opener.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/devices/jack_clients.h"
#include "platform/main_loop.h"

namespace strombel::platform {
namespace {

using namespace std::chrono_literals;

/// An opening that waits, as one a server keeps waiting, until let go.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false, open = false;
    void pass() {
        std::unique_lock lock(mutex);
        entered = true;
        changed.notify_all();
        changed.wait(lock, [&] { return open; });
    }
    void waitEntered() {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, 5s, [&] { return entered; });
    }
    void release() {
        std::lock_guard lock(mutex);
        open = true;
        changed.notify_all();
    }
};

TEST(JackOpener, OpeningsRunInTurnOffTheCallersThreadAndDeliverOnTheMainLoop) {
    MainLoop loop{SystemClock::shared()};
    JackOpener opener{SystemClock::shared()};
    std::vector<int> delivered;
    std::set<std::thread::id> openedOn;
    std::mutex openedMutex;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(opener.run(loop, [&, i] {
            std::lock_guard lock(openedMutex);
            openedOn.insert(std::this_thread::get_id());
            return JackOpener::Delivery([&delivered, i] { delivered.push_back(i); });
        }));
    }
    ASSERT_TRUE(opener.run(loop, [] { return JackOpener::Delivery(); }));  // nothing to deliver
    ASSERT_TRUE(opener.waitIdle(5s));
    EXPECT_TRUE(delivered.empty()) << "deliveries wait for the main loop";
    loop.runPending();
    EXPECT_EQ(delivered, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(openedOn.size(), 1u);
    EXPECT_EQ(openedOn.count(std::this_thread::get_id()), 0u);
    EXPECT_TRUE(opener.finish(1s));
    EXPECT_FALSE(opener.run(loop, [] { return JackOpener::Delivery(); })) << "nothing runs once finished";
}

TEST(JackOpener, FinishingLeavesAStuckOpeningBehindAndNothingItOpensIsDelivered) {
    MainLoop loop{SystemClock::shared()};
    auto gate = std::make_shared<Gate>();
    std::atomic<bool> delivered{false}, queuedRan{false};
    auto opener = std::make_unique<JackOpener>(SystemClock::shared());
    opener->run(loop, [gate, &delivered] {
        gate->pass();
        return JackOpener::Delivery([&delivered] { delivered = true; });
    });
    opener->run(loop, [&queuedRan] {
        queuedRan = true;
        return JackOpener::Delivery();
    });
    gate->waitEntered();
    EXPECT_EQ(opener->pending(), 2u);

    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(opener->finish(100ms)) << "the stuck opening is left running";
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
    opener.reset();  // the detached thread keeps what it needs

    gate->release();
    std::this_thread::sleep_for(50ms);  // the left thread ends on its own time
    loop.runPending();
    EXPECT_FALSE(delivered.load()) << "a finished opener delivers nothing";
    EXPECT_FALSE(queuedRan.load()) << "openings not begun are dropped";
}

TEST(JackOpener, ClosingsQueuedBeforeTheEndStillRunOpeningsDoNot) {
    MainLoop loop{SystemClock::shared()};
    auto gate = std::make_shared<Gate>();
    auto openingRan = std::make_shared<std::atomic<bool>>(false);
    auto closed = std::make_shared<std::promise<void>>();
    auto closedNow = closed->get_future();
    JackOpener opener{SystemClock::shared()};
    opener.run([gate] { gate->pass(); });
    opener.run(loop, [openingRan] {
        *openingRan = true;
        return JackOpener::Delivery();
    });
    ASSERT_TRUE(opener.close([closed] { closed->set_value(); }));
    gate->waitEntered();
    EXPECT_FALSE(opener.finish(0ms)) << "the job under way is left running";
    gate->release();
    EXPECT_EQ(closedNow.wait_for(5s), std::future_status::ready) << "a client of ours is closed all the same";
    EXPECT_FALSE(openingRan->load());
    EXPECT_FALSE(opener.close([] {})) << "nothing runs once finished";
}

// A job that has waited inside libjack longer than any healthy server takes is
// stuck: neither the end nor a caller that wants an answer at once waits for it.
TEST(JackOpener, AJobStuckLongerThanThePatienceIsWaitedForByNobody) {
    ManualClock clock;
    auto gate = std::make_shared<Gate>();
    auto opener = std::make_unique<JackOpener>(clock);
    opener->run([gate] { gate->pass(); });
    gate->waitEntered();
    clock.advance(11 * 60 * kNanosPerSecond);
    EXPECT_EQ(opener->busyNanos(), 11 * 60 * kNanosPerSecond);
    // Waiting for the patience would outlast the test's time limit.
    EXPECT_FALSE(opener->runAndWait([] {}, 10min)) << "answered at once";
    EXPECT_FALSE(opener->finish(10min)) << "left running at once";
    opener.reset();
    gate->release();
}

TEST(JackOpener, WhatHoldsAClientIsDestroyedOnTheOpenersThreadWhoeverLetsGo) {
    struct Client {
        std::shared_ptr<std::promise<std::thread::id>> destroyedOn;
        ~Client() { destroyedOn->set_value(std::this_thread::get_id()); }
    };
    auto destroyedOn = std::make_shared<std::promise<std::thread::id>>();
    auto where = destroyedOn->get_future();
    auto client = std::make_unique<Client>();
    client->destroyedOn = destroyedOn;
    destroyOnOpener(JackOpener::shared(), std::move(client));
    ASSERT_EQ(where.wait_for(5s), std::future_status::ready);
    EXPECT_NE(where.get(), std::this_thread::get_id());
    // An answer the runner waited for in time.
    std::atomic<bool> ran{false};
    EXPECT_TRUE(JackOpener::shared().runAndWait([&ran] { ran = true; }, 60s));
    EXPECT_TRUE(ran.load());
}

// Process-wide state: this is the only test of the names in this program.
TEST(JackClientNames, ANameUsedBeforeALossIsNeverUsedAgain) {
    std::set<std::string> used;
    if (jackLosses() == 0) {
        EXPECT_EQ(jackClientName("Strombel"), "Strombel") << "until a loss, the plain name";
    }
    noteJackLoss();  // whatever was opened before is behind a loss now
    const std::string first = jackClientName("Strombel");
    noteJackLoss();
    EXPECT_EQ(jackClientName("Strombel"), first) << "a loss while nothing was opened keeps the name";

    used.insert(first);
    noteJackClientOpened();
    for (int round = 0; round < 3; ++round) {
        noteJackLoss();
        noteFailedJackOpen();  // a try while the server is away
        const std::string name = jackClientName("Strombel");
        EXPECT_EQ(used.count(name), 0u) << name << " was in use before a loss";
        EXPECT_EQ(name.rfind("Strombel-", 0), 0u) << name;
        EXPECT_EQ(jackClientName("Strombel"), name) << "stable until the next loss";
        used.insert(name);
        noteJackClientOpened();
    }
    noteFailedJackOpen();
    const std::string afterFailure = jackClientName("Strombel");
    EXPECT_EQ(used.count(afterFailure), 0u) << "an open that failed may have freed the clients that were open";
}

}  // namespace
}  // namespace strombel::platform
