#include "crash/crash_signal_handler.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace strombel::crash {
namespace {

// A private capture with its own handler, on SIGUSR1 and SIGUSR2, so that the
// test process's other signals stay as they are.
SignalCapture& testCapture();
void testHandler(int signal, siginfo_t* info, void* ucontext) { testCapture().handle(signal, info, ucontext); }
SignalCapture& testCapture() {
    static SignalCapture capture(testHandler);
    return capture;
}

std::atomic<int> previousCalls{0};
std::atomic<int> callbackCalls{0};
std::atomic<bool> callbackAnswer{false};
void previousHandler(int) { previousCalls.fetch_add(1); }
void previousAction(int, siginfo_t*, void*) { previousCalls.fetch_add(10); }

bool countingCallback(int, siginfo_t*, void*, void* context, const crash_signal_continuation* next) {
    callbackCalls.fetch_add(*static_cast<int*>(context));
    (void)next;
    return callbackAnswer.load();
}

bool passingCallback(int signal, siginfo_t* info, void* ucontext, void*, const crash_signal_continuation* next) {
    callbackCalls.fetch_add(1);
    return crash_signal_callback_next(next, signal, info, ucontext);
}

class SignalCaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        testCapture().resetHandlers();
        previousCalls = 0;
        callbackCalls = 0;
        callbackAnswer = false;
    }
    void TearDown() override {
        signal(SIGUSR1, SIG_DFL);
        signal(SIGUSR2, SIG_DFL);
        testCapture().resetHandlers();
    }
};

TEST_F(SignalCaptureTest, RegisteringTwiceInstallsOnceAndKeepsTheFirstSavedAction) {
    signal(SIGUSR1, previousHandler);
    ASSERT_TRUE(testCapture().registerHandlerWithSignal(SIGUSR1).ok());
    struct sigaction installed;
    sigaction(SIGUSR1, nullptr, &installed);
    EXPECT_EQ(installed.sa_sigaction, testHandler);
    EXPECT_EQ(installed.sa_flags & (SA_SIGINFO | SA_ONSTACK), SA_SIGINFO | SA_ONSTACK);
    ASSERT_TRUE(testCapture().registerHandlerWithSignal(SIGUSR1).ok());
    raise(SIGUSR1);
    // The saved action is the application's handler, not our own.
    EXPECT_EQ(previousCalls.load(), 1);
}

TEST_F(SignalCaptureTest, ThePreviousActionDecidesWhetherTheSignalWasHandled) {
    struct Case {
        const char* name;
        void (*install)();
        bool handled;
        int calls;
    } cases[] = {
        {"ignored", [] { signal(SIGUSR2, SIG_IGN); }, true, 0},
        {"default", [] { signal(SIGUSR2, SIG_DFL); }, false, 0},
        {"handler", [] { signal(SIGUSR2, previousHandler); }, true, 1},
        {"action",
         [] {
             struct sigaction action = {};
             action.sa_sigaction = previousAction;
             action.sa_flags = SA_SIGINFO;
             sigaction(SIGUSR2, &action, nullptr);
         },
         true, 10},
    };
    for (const Case& c : cases) {
        testCapture().resetHandlers();
        c.install();
        previousCalls = 0;
        ASSERT_TRUE(testCapture().registerHandlerWithSignal(SIGUSR2).ok());
        EXPECT_EQ(testCapture().dispatch(SIGUSR2, nullptr, nullptr, nullptr), c.handled) << c.name;
        EXPECT_EQ(previousCalls.load(), c.calls) << c.name;
        signal(SIGUSR2, SIG_DFL);
    }
}

TEST_F(SignalCaptureTest, CallbacksRunFromTheHeadAndTheChainEndsWithThePreviousAction) {
    signal(SIGUSR1, previousHandler);
    int one = 1, hundred = 100;
    ASSERT_TRUE(testCapture().registerHandlerForSignal(SIGUSR1, countingCallback, &one).ok());
    ASSERT_TRUE(testCapture().registerHandlerForSignal(SIGUSR1, countingCallback, &hundred).ok());
    // The last registered runs first and answers for the chain.
    callbackAnswer = true;
    EXPECT_TRUE(testCapture().dispatch(SIGUSR1, nullptr, nullptr, nullptr));
    EXPECT_EQ(callbackCalls.load(), 100);
    EXPECT_EQ(previousCalls.load(), 0);
    // With no callbacks at all, nothing is handled.
    testCapture().resetHandlers();
    EXPECT_FALSE(testCapture().dispatch(SIGUSR1, nullptr, nullptr, nullptr));
    EXPECT_FALSE(crash_signal_callback_next(nullptr, SIGUSR1, nullptr, nullptr));
}

TEST_F(SignalCaptureTest, TheChainTakesAnyNumberOfCallbacks) {
    signal(SIGUSR1, previousHandler);
    // Each registration adds two links: the callback and the previous action.
    constexpr int kCallbacks = 300;
    for (int i = 0; i < kCallbacks; ++i) {
        ASSERT_TRUE(testCapture().registerHandlerForSignal(SIGUSR1, passingCallback, nullptr).ok()) << i;
    }
    EXPECT_TRUE(testCapture().dispatch(SIGUSR1, nullptr, nullptr, nullptr));
    EXPECT_EQ(callbackCalls.load(), kCallbacks);
    EXPECT_EQ(previousCalls.load(), 1) << "the previous action once, at the end of the chain";
}

TEST_F(SignalCaptureTest, AnUnhandledSignalIsRaisedAgainWithTheActionThenInstalled) {
    // SIG_DFL behind us: the handler raises again and the process dies of it.
    auto child = [&] {
        signal(SIGUSR2, SIG_DFL);
        // Like the crash callback, this one puts the default back and handles nothing.
        auto registered = testCapture().registerHandlerForSignal(
            SIGUSR2,
            [](int signal, siginfo_t*, void*, void*, const crash_signal_continuation*) {
                ::signal(signal, SIG_DFL);
                return false;
            },
            nullptr);
        if (!registered.ok()) _exit(3);
        raise(SIGUSR2);
        _exit(0);
    };
    EXPECT_EXIT(child(), ::testing::KilledBySignal(SIGUSR2), "");
}

TEST(SignalStack, EveryThreadGetsItsOwnAlternateStack) {
    ASSERT_TRUE(crash_signal_stack_install());
    stack_t mine;
    ASSERT_EQ(sigaltstack(nullptr, &mine), 0);
    EXPECT_FALSE(mine.ss_flags & SS_DISABLE);
    EXPECT_GE(mine.ss_size, 65536u);
    void* other = nullptr;
    std::thread thread([&] {
        crash_signal_stack_install();
        stack_t stack;
        sigaltstack(nullptr, &stack);
        other = stack.ss_sp;
    });
    thread.join();
    EXPECT_NE(other, nullptr);
    EXPECT_NE(other, mine.ss_sp);
    // Installing again keeps the stack the thread has.
    ASSERT_TRUE(crash_signal_stack_install());
    stack_t again;
    sigaltstack(nullptr, &again);
    EXPECT_EQ(again.ss_sp, mine.ss_sp);
}

TEST(SignalErrors, CarryTheirDomainCodeAndUnderlyingError) {
    platform::Error error = crash_reporter_error(1, "Failed to register signal handler", EINVAL);
    EXPECT_EQ(error.domain, "CrashReporterErrorDomain");
    EXPECT_EQ(error.code, 1);
    EXPECT_EQ(error.message(), "Failed to register signal handler");
    ASSERT_NE(error.underlying, nullptr);
    EXPECT_EQ(error.underlying->code, EINVAL);
    EXPECT_EQ(testCapture().registerHandlerWithSignal(0).error().code, 1);
}

}  // namespace
}  // namespace strombel::crash
