#include "platform/worker.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <future>
#include <memory>
#include <string>

#include "platform/wakeup.h"

namespace strombel::platform {
namespace {

using namespace std::chrono_literals;

TEST(WorkerTest, ItsNameShowsAmongTheProcessThreadsCutToWhatTheSystemKeeps) {
    for (const auto& [given, shown] : {std::pair{"Sequencer", "Sequencer"}, {"SoundBox preloader", "SoundBox preloa"}}) {
        Wakeup stop;
        std::promise<pid_t> started;
        Worker worker(
            given,
            [&] {
                started.set_value(pid_t(::syscall(SYS_gettid)));
                stop.wait();
            },
            [&] { stop.signal(); });
        std::string name;
        std::getline(std::ifstream("/proc/self/task/" + std::to_string(started.get_future().get()) + "/comm"), name);
        EXPECT_EQ(name, shown);
        EXPECT_EQ(worker.name(), shown);
    }
}

TEST(WorkerTest, StopWakesTheWaitingThreadAndJoinsIt) {
    Wakeup stop;
    bool sawStop = false;
    Worker worker(
        "waiting",
        [&] {
            stop.wait();
            sawStop = true;
        },
        [&] { stop.signal(); });
    EXPECT_TRUE(worker.running());
    worker.stop();
    EXPECT_TRUE(sawStop) << "joined only after the body returned";
    EXPECT_FALSE(worker.running());
}

TEST(WorkerTest, DestroyingARunningWorkerWakesAndJoinsItsThread) {
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    char got = 0;
    {
        Worker worker(
            "pipe reader", [&] { ASSERT_EQ(::read(pipe[0], &got, 1), 1); },
            [&] { ASSERT_EQ(::write(pipe[1], "q", 1), 1); });
    }
    EXPECT_EQ(got, 'q');
    ::close(pipe[0]);
    ::close(pipe[1]);
}

TEST(WorkerTest, AWorkerWhoseBodyEndedByItselfJoinsWithoutAWake) {
    std::promise<void> done;
    Worker worker("short", [&] { done.set_value(); });
    done.get_future().wait();
    EXPECT_TRUE(worker.stop(1h));
    EXPECT_FALSE(worker.running());
    EXPECT_TRUE(worker.ended());
}

TEST(WorkerTest, AStopWithPatienceLeavesAStuckThreadToTheLeftoversUntilItEnds) {
    std::promise<void> release;
    Worker worker("stuck", [released = release.get_future().share()] { released.wait(); });
    EXPECT_FALSE(worker.stop(1ms)) << "the body never heard the stop";
    EXPECT_FALSE(worker.running());
    EXPECT_GE(Worker::joinEndedLeftovers(), 1u);
    release.set_value();
    while (Worker::joinEndedLeftovers() > 0) std::this_thread::yield();
}

TEST(WorkerTest, AWorkerDestroyedByItsOwnBodyIsJoinedByTheLeftovers) {
    auto owner = std::make_shared<std::unique_ptr<Worker>>();
    std::promise<void> go;
    std::atomic<bool> destroyed{false};
    *owner = std::make_unique<Worker>("self owner", [owner, started = go.get_future().share(), &destroyed] {
        started.wait();
        owner->reset();
        destroyed = true;
    });
    go.set_value();
    while (!destroyed || Worker::joinEndedLeftovers() > 0) std::this_thread::yield();
}

TEST(WorkerTest, ARealTimeRoleRunsAtItsPlaceUnderTheAudioThreadOrSaysWhyNot) {
    for (RealTimeRole role : {RealTimeRole::Sequencer, RealTimeRole::Midi, RealTimeRole::BusListener}) {
        std::string error;
        sched_param param{};
        int policy = -1;
        Worker(
            "real time",
            [&] {
                error = Worker::realTimeError();
                pthread_getschedparam(pthread_self(), &policy, &param);
            },
            {}, role);
        const int expected = realTimePriority(role, audioThreadPriority());
        if (!error.empty() || expected == 0) continue;  // the system refused, and said why
        EXPECT_EQ(policy, SCHED_FIFO);
        EXPECT_EQ(param.sched_priority, expected);
    }
}

}  // namespace
}  // namespace strombel::platform
