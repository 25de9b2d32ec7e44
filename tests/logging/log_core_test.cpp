#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>

#include "logging/log.h"
#include "logging/log_core.h"
#include "logging/realtime_log.h"
#include "platform/notification_center.h"
#include "support/recording_logger.h"

namespace strombel::logging {
namespace {

using testing::RecordingLogger;

class LogCoreTest : public ::testing::Test {
protected:
    void SetUp() override { setLogLevel(LogFlagError | LogFlagWarning); }
    void TearDown() override { testing::resetLogging(); }
};

int countingArgument(int& evaluations) {
    ++evaluations;
    return evaluations;
}

TEST_F(LogCoreTest, FilteredSitesEvaluateNoArgumentAndLogNothing) {
    auto logger = std::make_shared<RecordingLogger>();
    Log::addLogger(logger);
    int evaluations = 0;
    STROMBEL_LOG_INFO("info {}", countingArgument(evaluations));
    STROMBEL_LOG_DEBUG("debug {}", countingArgument(evaluations));
    STROMBEL_LOG_WARN("warning {}", countingArgument(evaluations));
    Log::flushLog();
    EXPECT_EQ(evaluations, 1);
    EXPECT_EQ(logger->lines(), std::vector<std::string>{"warning 1"});

    setLogLevel(0);
    STROMBEL_LOG_ERROR("error {}", countingArgument(evaluations));
    Log::flushLog();
    EXPECT_EQ(evaluations, 1);
    EXPECT_EQ(logger->lines().size(), 1u);
}

TEST_F(LogCoreTest, MessagesCarryTheCallSite) {
    auto logger = std::make_shared<RecordingLogger>();
    std::vector<LogMessage> seen;
    std::mutex seenMutex;
    logger->beforeWrite = [&](const LogMessage& message) {
        std::lock_guard lock(seenMutex);
        seen.push_back(message);
    };
    Log::addLogger(logger);
    const int line = __LINE__ + 1;
    STROMBEL_LOG_WARN("disk {} is {}% full", "sda", 97);
    Log::flushLog();
    ASSERT_EQ(seen.size(), 1u);
    const LogMessage& message = seen[0];
    EXPECT_EQ(message.logMsg(), "disk sda is 97% full");
    EXPECT_EQ(message.logFlag(), LogFlagWarning);
    EXPECT_EQ(message.logLevel(), LogFlagError | LogFlagWarning);
    EXPECT_EQ(message.logContext(), 0);
    EXPECT_EQ(message.lineNumber(), line);
    EXPECT_EQ(message.fileName(), "log_core_test");
    EXPECT_STREQ(message.function(), "TestBody");
    EXPECT_EQ(message.machThreadID(), currentThreadId());
    EXPECT_TRUE(message.queueLabel().empty());
    EXPECT_TRUE(logger->alwaysOnOwnQueue());
}

TEST_F(LogCoreTest, EachThreadsMessagesArriveInOrderAtEveryLogger) {
    auto first = std::make_shared<RecordingLogger>("test.first");
    auto second = std::make_shared<RecordingLogger>("test.second");
    Log::addLogger(first);
    Log::addLogger(second);
    constexpr int kThreads = 6;
    constexpr int kMessages = 2000;  // more than the 1000 bound, so callers also wait for slots
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kMessages; ++i) STROMBEL_LOG_WARN("{} {}", t, i);
        });
    }
    for (auto& thread : threads) thread.join();
    Log::flushLog();

    for (const auto& logger : {first, second}) {
        std::vector<std::string> lines = logger->lines();
        ASSERT_EQ(lines.size(), size_t{kThreads * kMessages});  // nothing lost
        std::vector<int> next(kThreads, 0);
        for (const std::string& line : lines) {
            int thread = 0, index = 0;
            ASSERT_EQ(std::sscanf(line.c_str(), "%d %d", &thread, &index), 2);
            EXPECT_EQ(index, next[thread]) << "thread " << thread << " out of order";
            next[thread] = index + 1;
        }
    }
    // Both loggers saw the same interleaving.
    EXPECT_EQ(first->lines(), second->lines());
}

TEST_F(LogCoreTest, TheThousandAndFirstOutstandingMessageWaitsForADelivery) {
    auto logger = std::make_shared<RecordingLogger>();
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    std::atomic<bool> firstArrived{false};
    logger->beforeWrite = [&](const LogMessage&) {
        firstArrived = true;
        opened.wait();
    };
    Log::addLogger(logger);

    std::atomic<int> returned{0};
    std::thread caller([&] {
        for (int i = 0; i < Log::kMaximumPendingMessages + 1; ++i) {
            STROMBEL_LOG_WARN("message {}", i);
            ++returned;
        }
    });
    // 1000 calls return; the 1001st is held while the first is still being written.
    while (returned.load() < Log::kMaximumPendingMessages || !firstArrived) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(returned.load(), Log::kMaximumPendingMessages);

    gate.set_value();
    caller.join();
    Log::flushLog();
    std::vector<std::string> lines = logger->lines();
    ASSERT_EQ(lines.size(), size_t{Log::kMaximumPendingMessages + 1});
    EXPECT_EQ(lines.back(), "message 1000");
}

TEST_F(LogCoreTest, FlushReturnsAfterEveryEarlierMessageIsWrittenAndEveryLoggerFlushed) {
    auto slow = std::make_shared<RecordingLogger>("test.slow");
    slow->beforeWrite = [](const LogMessage&) { std::this_thread::sleep_for(std::chrono::microseconds(200)); };
    auto fast = std::make_shared<RecordingLogger>("test.fast");
    Log::addLogger(slow);
    Log::addLogger(fast);
    for (int i = 0; i < 300; ++i) STROMBEL_LOG_WARN("line {}", i);
    Log::flushLog();
    EXPECT_EQ(slow->lines().size(), 300u);
    EXPECT_EQ(fast->lines().size(), 300u);
    EXPECT_EQ(slow->flushes(), 1);
    EXPECT_EQ(fast->flushes(), 1);
}

size_t threadCount() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task")) ++count;
    return count;
}

// Finishing holds for the rest of the process: the case runs in a process of its
// own, so that the cases after it find logging's threads running.
TEST_F(LogCoreTest, FinishingWritesEverythingJoinsLoggingsThreadsAndLaterLinesAreWrittenAtOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto finishing = [] {
        const auto check = [](bool holds, const char* what) {
            if (holds) return;
            std::fprintf(stderr, "does not hold: %s\n", what);
            std::_Exit(1);
        };
        // A thread made and joined first: a sanitizer's runtime starts its own
        // thread with the process's first, and it is no thread of logging's.
        std::thread([] {}).join();
        const size_t threadsBefore = threadCount();
        auto logger = std::make_shared<RecordingLogger>("test.finish");
        Log::addLogger(logger);
        for (int i = 0; i < 200; ++i) STROMBEL_LOG_WARN("line {}", i);
        STROMBEL_RT_LOG_WARN("from the audio thread {}", 1);
        check(threadCount() > threadsBefore, "logging runs threads of its own");

        Log::finish();
        // A joined thread leaves /proc a moment after its join returns: the
        // kernel wakes the joiner before it takes the thread's entry away.
        const auto reaped = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (threadCount() != threadsBefore && std::chrono::steady_clock::now() < reaped) std::this_thread::yield();
        check(threadCount() == threadsBefore, "each of them was joined");
        check(logger->lines().size() == 201u, "everything logged before is written");
        check(logger->flushes() >= 1, "and flushed");

        STROMBEL_LOG_WARN("after the end");
        check(logger->lines().size() == 202u, "written before the call returned");
        check(logger->lines().back() == "after the end", "the line after the end");
        const int flushes = logger->flushes();
        Log::flushLog();
        check(logger->flushes() == flushes + 1, "a flush after the end reaches the logger");
        std::_Exit(0);
    };
    EXPECT_EXIT(finishing(), ::testing::ExitedWithCode(0), "");
}

TEST_F(LogCoreTest, AnErrorReturnsOnlyAfterEveryLoggerWroteIt) {
    // Loggers slow enough that a call returning early would be caught.
    auto first = std::make_shared<RecordingLogger>("test.first");
    auto second = std::make_shared<RecordingLogger>("test.second");
    for (auto& logger : {first, second}) {
        logger->beforeWrite = [](const LogMessage&) { std::this_thread::sleep_for(std::chrono::milliseconds(20)); };
        Log::addLogger(logger);
    }
    STROMBEL_LOG_WARN("a warning first");
    STROMBEL_LOG_ERROR("the error");
    EXPECT_EQ(first->lines(), (std::vector<std::string>{"a warning first", "the error"}));
    EXPECT_EQ(second->lines(), (std::vector<std::string>{"a warning first", "the error"}));
}

TEST_F(LogCoreTest, AnErrorIsWrittenByTheCallingThreadHoldingEachLoggersQueue) {
    auto first = std::make_shared<RecordingLogger>("test.first");
    auto second = std::make_shared<RecordingLogger>("test.second");
    std::vector<std::pair<std::thread::id, std::string>> writers;  // each logger's own queue keeps them apart
    std::mutex writersMutex;
    for (auto& logger : {first, second}) {
        logger->beforeWrite = [&](const LogMessage&) {
            std::lock_guard lock(writersMutex);
            writers.emplace_back(std::this_thread::get_id(), platform::SerialQueue::currentLabel());
        };
        Log::addLogger(logger);
    }
    STROMBEL_LOG_ERROR("the error");
    const std::thread::id caller = std::this_thread::get_id();
    EXPECT_EQ(writers, (std::vector<std::pair<std::thread::id, std::string>>{{caller, "test.first"},
                                                                              {caller, "test.second"}}));
    EXPECT_TRUE(first->alwaysOnOwnQueue());
    EXPECT_TRUE(second->alwaysOnOwnQueue());
}

// Errors (written before the call returns) mixed with warnings (queued) from many
// threads: every error is written by every logger when its call returns, each
// thread's messages keep their order, and every logger sees the same sequence.
TEST_F(LogCoreTest, ErrorsAndWarningsFromManyThreadsKeepEachThreadsOrder) {
    constexpr int kThreads = 6;
    constexpr int kMessages = 1500;
    auto first = std::make_shared<RecordingLogger>("test.first");
    auto second = std::make_shared<RecordingLogger>("test.second");
    std::array<std::array<std::atomic<int>, kThreads>, 2> lastError{};
    for (auto& row : lastError) {
        for (auto& entry : row) entry = -1;
    }
    int index = 0;
    for (auto& logger : {first, second}) {
        logger->beforeWrite = [&lastError, index](const LogMessage& message) {
            int thread = 0, number = 0;
            if (std::sscanf(message.logMsg().c_str(), "E %d %d", &thread, &number) == 2) {
                lastError[index][thread] = number;
            }
        };
        Log::addLogger(logger);
        ++index;
    }
    std::atomic<int> unwrittenErrors{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kMessages; ++i) {
                if (i % 7 == 0) {
                    STROMBEL_LOG_ERROR("E {} {}", t, i);
                    if (lastError[0][t] != i || lastError[1][t] != i) ++unwrittenErrors;
                } else {
                    STROMBEL_LOG_WARN("W {} {}", t, i);
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    Log::flushLog();

    EXPECT_EQ(unwrittenErrors.load(), 0);
    for (const auto& logger : {first, second}) {
        std::vector<std::string> lines = logger->lines();
        ASSERT_EQ(lines.size(), size_t{kThreads * kMessages});
        std::vector<int> next(kThreads, 0);
        for (const std::string& line : lines) {
            int thread = 0, number = 0;
            ASSERT_EQ(std::sscanf(line.c_str(), "%*c %d %d", &thread, &number), 2);
            EXPECT_EQ(number, next[thread]) << "thread " << thread << " out of order";
            next[thread] = number + 1;
        }
        EXPECT_TRUE(logger->alwaysOnOwnQueue());
    }
    EXPECT_EQ(first->lines(), second->lines());
}

TEST_F(LogCoreTest, AWarningReturnsWithoutWaitingForTheLoggers) {
    auto logger = std::make_shared<RecordingLogger>();
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    logger->beforeWrite = [&](const LogMessage&) { opened.wait(); };
    Log::addLogger(logger);
    STROMBEL_LOG_WARN("held");  // would never return if it waited for the logger
    EXPECT_TRUE(logger->lines().empty());
    gate.set_value();
    Log::flushLog();
    EXPECT_EQ(logger->lines(), std::vector<std::string>{"held"});
}

TEST_F(LogCoreTest, RegistryChangesTakeEffectBetweenMessages) {
    auto logger = std::make_shared<RecordingLogger>();
    STROMBEL_LOG_WARN("before anyone listens");
    Log::addLogger(logger);
    STROMBEL_LOG_WARN("one");
    Log::addLogger(logger);  // twice: every message twice
    STROMBEL_LOG_WARN("two");
    Log::removeLogger(logger);  // the first registration goes
    STROMBEL_LOG_WARN("three");
    Log::removeAllLoggers();
    STROMBEL_LOG_WARN("four");
    Log::flushLog();
    EXPECT_EQ(logger->lines(), (std::vector<std::string>{"one", "two", "two", "three"}));
    EXPECT_EQ(logger->added(), 2);
    EXPECT_EQ(logger->removed(), 2);

    Log::removeLogger(logger);  // not registered: nothing happens
    Log::addLogger(nullptr);
    Log::removeLogger(nullptr);
    Log::flushLog();
    EXPECT_EQ(logger->removed(), 2);
}

class UpperCaseFormatter : public LogFormatter {
public:
    FormattedMessage formatLogMessage(const LogMessage& message) override {
        if (message.logMsg() == "hide") return FormattedMessage::suppressed();
        std::string text = message.logMsg();
        for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return text;
    }
    void didAddToLogger(Logger&) override { ++added; }
    void willRemoveFromLogger(Logger&) override { ++removed; }
    std::atomic<int> added{0};
    std::atomic<int> removed{0};
};

TEST_F(LogCoreTest, AFormatterTakesEffectBetweenTwoMessages) {
    auto logger = std::make_shared<RecordingLogger>();
    auto formatter = std::make_shared<UpperCaseFormatter>();
    Log::addLogger(logger);
    STROMBEL_LOG_WARN("plain");
    logger->setLogFormatter(formatter);
    STROMBEL_LOG_WARN("loud");
    STROMBEL_LOG_WARN("hide");
    EXPECT_EQ(logger->logFormatter(), formatter);
    logger->setLogFormatter(formatter);  // the same one: not told again
    logger->setLogFormatter(nullptr);
    STROMBEL_LOG_WARN("quiet");
    Log::flushLog();
    EXPECT_EQ(logger->lines(), (std::vector<std::string>{"plain", "LOUD", "quiet"}));
    EXPECT_EQ(formatter->added.load(), 1);
    EXPECT_EQ(formatter->removed.load(), 1);
    EXPECT_EQ(logger->logFormatter(), nullptr);
}

TEST_F(LogCoreTest, LoggersMayLogFlushAndReadFormattersFromTheirOwnQueues) {
    auto echo = std::make_shared<RecordingLogger>("test.echo");
    auto other = std::make_shared<RecordingLogger>("test.other");
    std::atomic<int> echoed{0};
    echo->beforeWrite = [&, echoRaw = echo.get()](const LogMessage& message) {
        if (message.logMsg().rfind("echo:", 0) == 0) return;
        // Everything the rules say a logger must not do, from its own queue:
        EXPECT_EQ(echoRaw->logFormatter(), nullptr);
        EXPECT_EQ(other->logFormatter(), nullptr);
        STROMBEL_LOG_ERROR("echo: {}", message.logMsg());
        Log::flushLog();
        ++echoed;
    };
    Log::addLogger(echo);
    Log::addLogger(other);
    STROMBEL_LOG_ERROR("original");
    for (int i = 0; i < 1500; ++i) STROMBEL_LOG_WARN("burst {}", i);  // fill the bound while echoing
    Log::flushLog();
    Log::flushLog();  // the echoes were queued by the first flush's messages
    EXPECT_EQ(echoed.load(), 1501);
    std::vector<std::string> lines = other->lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& line) { return line.rfind("echo:", 0) == 0; }),
              1501);
}

TEST_F(LogCoreTest, WorkOnTheLoggingQueueMayLogAndFlush) {
    auto logger = std::make_shared<RecordingLogger>();
    Log::addLogger(logger);
    Log::loggingQueue().sync([] {
        EXPECT_TRUE(Log::loggingQueue().isCurrent());
        STROMBEL_LOG_ERROR("from the logging queue");
        Log::flushLog();
    });
    Log::flushLog();
    EXPECT_EQ(logger->lines(), std::vector<std::string>{"from the logging queue"});
    EXPECT_EQ(Log::loggingQueue().label(), "strombel.logging");
}

TEST_F(LogCoreTest, MessagesFromASerialQueueCarryItsLabel) {
    auto logger = std::make_shared<RecordingLogger>();
    std::string label;
    logger->beforeWrite = [&](const LogMessage& message) { label = message.queueLabel(); };
    Log::addLogger(logger);
    platform::SerialQueue queue("test.worker");
    queue.sync([] { STROMBEL_LOG_WARN("from a worker"); });
    Log::flushLog();
    EXPECT_EQ(label, "test.worker");
}

TEST_F(LogCoreTest, TheTerminateNotificationFlushes) {
    auto logger = std::make_shared<RecordingLogger>();
    Log::addLogger(logger);
    STROMBEL_LOG_WARN("last words");
    platform::NotificationCenter::shared().post("UIApplicationWillTerminateNotification");
    EXPECT_EQ(logger->lines(), std::vector<std::string>{"last words"});
    EXPECT_EQ(logger->flushes(), 1);
}

TEST_F(LogCoreTest, TheArgumentListFormLogsAndANullFormatLogsNothing) {
    auto logger = std::make_shared<RecordingLogger>();
    Log::addLogger(logger);
    int volume = 11;
    Log::logv(true, 2, LogFlagWarning, 0, __FILE__, __func__, __LINE__, nullptr, "volume {}",
              fmt::make_format_args(volume));
    Log::logv(true, 2, LogFlagWarning, 0, __FILE__, __func__, __LINE__, nullptr, nullptr,
              fmt::make_format_args(volume));
    Log::log(false, 2, LogFlagError, 7, __FILE__, __func__, __LINE__, nullptr, "{}-{}", "a", 1);
    Log::flushLog();
    EXPECT_EQ(logger->lines(), (std::vector<std::string>{"volume 11", "a-1"}));
}

TEST_F(LogCoreTest, ARunTimeFormatThatDoesNotFitItsArgumentsIsWrittenAsItStands) {
    auto logger = std::make_shared<RecordingLogger>();
    Log::addLogger(logger);
    int volume = 11;
    for (const char* format : {"pack {name} missing", "unclosed { brace", "two {} {} for one"}) {
        EXPECT_NO_THROW(Log::logv(false, 3, LogFlagError, 0, __FILE__, __func__, __LINE__, nullptr, format,
                                  fmt::make_format_args(volume)))
            << format;
    }
    Log::flushLog();
    EXPECT_EQ(logger->lines(),
              (std::vector<std::string>{"pack {name} missing", "unclosed { brace", "two {} {} for one"}));
}

TEST_F(LogCoreTest, LoggersMayBeLetGoWhileTheCoreStillHasWorkForThem) {
    std::atomic<int> written{0};
    for (int round = 0; round < 50; ++round) {
        auto logger = std::make_shared<RecordingLogger>();
        logger->beforeWrite = [&](const LogMessage&) { ++written; };
        logger->setLogFormatter(nullptr);  // a setting still on its way
        Log::addLogger(logger);
        STROMBEL_LOG_WARN("round {}", round);
        Log::removeLogger(logger);
        // The last reference now belongs to the core's queued work, and may go
        // on the logger's own queue.
    }
    Log::flushLog();
    EXPECT_EQ(written.load(), 50);
}

TEST_F(LogCoreTest, ThousandsOfMessagesWithNoLoggerReleaseTheirSlots) {
    for (int i = 0; i < 3 * Log::kMaximumPendingMessages; ++i) STROMBEL_LOG_WARN("nobody listens {}", i);
    Log::flushLog();
    auto logger = std::make_shared<RecordingLogger>();
    Log::addLogger(logger);
    STROMBEL_LOG_ERROR("still flowing");
    EXPECT_EQ(logger->lines(), std::vector<std::string>{"still flowing"});
}

// Per-class levels.
struct Mixer {
    static int32_t ddLogLevel() { return level; }
    static void ddSetLogLevel(int32_t value) { level = value; }
    static inline int32_t level = 3;
};
struct HalfRegistered {
    static int32_t ddLogLevel() { return 3; }
};

TEST_F(LogCoreTest, ClassesWithBothLevelOperationsTakePart) {
    Mixer::level = 3;
    EXPECT_TRUE(Log::registerClass<Mixer>("Mixer"));
    EXPECT_FALSE(Log::registerClass<HalfRegistered>("HalfRegistered"));
    EXPECT_TRUE(Log::isRegisteredClass("Mixer"));
    EXPECT_FALSE(Log::isRegisteredClass("HalfRegistered"));
    EXPECT_EQ(Log::registeredClassNames(), std::vector<std::string>{"Mixer"});
    EXPECT_EQ(Log::logLevelForClassWithName("Mixer"), 3);
    Log::setLogLevelForClassWithName(15, "Mixer");
    EXPECT_EQ(Mixer::level, 15);
    EXPECT_EQ(Log::logLevelForClassWithName("HalfRegistered"), -1);
    Log::setLogLevelForClassWithName(1, "HalfRegistered");  // nothing happens
    Log::unregisterClass("Mixer");
    EXPECT_EQ(Log::logLevelForClassWithName("Mixer"), -1);
}

}  // namespace
}  // namespace strombel::logging
