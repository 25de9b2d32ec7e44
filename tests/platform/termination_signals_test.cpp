// SIGTERM and SIGINT as requests to end: held, read once by the main loop, never
// an interruption of another thread's wait.

#include "platform/termination_signals.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace strombel::platform {
namespace {

bool blocksInCallingThread(int signalNumber) {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, signalNumber) == 1;
}

TEST(TerminationSignals, ASignalWaitsToBeReadAndIsReadOnce) {
    ASSERT_TRUE(holdTerminationSignals());
    EXPECT_FALSE(terminationRequested());
    for (int signalNumber : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signalNumber);
        ASSERT_EQ(::kill(::getpid(), signalNumber), 0);  // the process lives on
        EXPECT_TRUE(terminationRequested());
        pollfd readable{terminationSignalDescriptor(), POLLIN, 0};
        ASSERT_EQ(::poll(&readable, 1, 0), 1) << "the main loop sees it";
        EXPECT_EQ(takeTerminationSignals(), 1);
        EXPECT_EQ(takeTerminationSignals(), 0);
        EXPECT_TRUE(terminationRequested()) << "a request, once made, stays";
    }
}

TEST(TerminationSignals, AThreadMadeAfterwardsIsNeverInterruptedByThem) {
    ASSERT_TRUE(holdTerminationSignals());
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    bool blocked = false;
    int waitResult = 0, waitErrno = 0;
    std::thread waiter([&] {
        blocked = blocksInCallingThread(SIGTERM) && blocksInCallingThread(SIGINT);
        // A wait with a time limit (as a sound server client's socket reads are)
        // returns EINTR when a handler runs on its thread, whatever SA_RESTART says.
        pollfd never{pipeEnds[0], POLLIN, 0};
        waitResult = ::poll(&never, 1, 300);
        waitErrno = errno;
    });
    // Aimed at the waiting thread itself: held there, it stays pending.
    ::pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    EXPECT_TRUE(blocked);
    EXPECT_EQ(waitResult, 0) << "errno " << waitErrno;
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
}

}  // namespace
}  // namespace strombel::platform
