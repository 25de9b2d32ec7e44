#include "platform/worker.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <string>

namespace strombel::platform {
namespace {

using namespace std::chrono_literals;

/// A flag the worker's loop waits on, and the wake that sets it.
struct StopFlag {
    std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false;

    void waitForStop() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return stopping; });
    }
    Worker::Wake wake() {
        return [this] {
            std::lock_guard lock(mutex);
            stopping = true;
            changed.notify_all();
        };
    }
};

std::string threadName(pid_t thread) {
    std::ifstream comm("/proc/self/task/" + std::to_string(thread) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

TEST(WorkerTest, ItsNameShowsAmongTheProcessThreadsCutToWhatTheSystemKeeps) {
    const struct {
        const char* given;
        const char* shown;
    } rows[] = {{"Sequencer", "Sequencer"}, {"SoundBox preloader", "SoundBox preloa"}};
    for (const auto& row : rows) {
        StopFlag flag;
        std::promise<pid_t> started;
        Worker worker(
            row.given,
            [&] {
                started.set_value(pid_t(::syscall(SYS_gettid)));
                flag.waitForStop();
            },
            flag.wake());
        const pid_t thread = started.get_future().get();
        EXPECT_EQ(threadName(thread), row.shown);
        EXPECT_EQ(worker.name(), row.shown);
    }
}

TEST(WorkerTest, StopWakesTheWaitingThreadAndJoinsIt) {
    StopFlag flag;
    bool sawStop = false;
    Worker worker(
        "waiting",
        [&] {
            flag.waitForStop();
            sawStop = true;
        },
        flag.wake());
    EXPECT_TRUE(worker.running());
    worker.stop();
    EXPECT_TRUE(sawStop) << "joined only after the body returned";
    EXPECT_FALSE(worker.running());
    worker.stop();  // a second stop has nothing left to do
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
    std::shared_future<void> released = release.get_future().share();
    Worker worker("stuck", [released] { released.wait(); });
    EXPECT_FALSE(worker.stop(1ms)) << "the body never heard the stop";
    EXPECT_FALSE(worker.running());
    EXPECT_FALSE(worker.ended());
    EXPECT_GE(Worker::joinEndedLeftovers(), 1u);
    release.set_value();
    while (Worker::joinEndedLeftovers() > 0) std::this_thread::yield();
}

TEST(WorkerTest, AWorkerDestroyedByItsOwnBodyIsJoinedByTheLeftovers) {
    auto owner = std::make_shared<std::unique_ptr<Worker>>();
    std::promise<void> go;
    std::shared_future<void> started = go.get_future().share();
    std::atomic<bool> destroyed{false};
    *owner = std::make_unique<Worker>("self owner", [owner, started, &destroyed] {
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
