#include "logging/realtime_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logging/log_core.h"
#include "support/recording_logger.h"

namespace strombel::logging {
namespace {

using testing::RecordingLogger;

class RealtimeLogTest : public ::testing::Test {
protected:
    void SetUp() override { setLogLevel(LogFlagError | LogFlagWarning); }
    void TearDown() override { testing::resetLogging(); }
};

TEST_F(RealtimeLogTest, LinesOfARealtimeThreadAreFormattedLaterAndArriveInOrder) {
    auto logger = std::make_shared<RecordingLogger>();
    std::vector<uint32_t> threads;
    std::mutex threadsMutex;
    logger->beforeWrite = [&](const LogMessage& message) {
        std::lock_guard lock(threadsMutex);
        threads.push_back(message.machThreadID());
    };
    Log::addLogger(logger);
    uint32_t audioThread = 0;
    std::thread audio([&] {
        audioThread = currentThreadId();
        platform::RealtimeScope realtime;
        const std::string path = "Documents/kick.wav";
        STROMBEL_RT_LOG_ERROR("** illegal Track state change!! {} -> {}", 3, 5);
        STROMBEL_RT_LOG_WARN("lag {:.3f} of {} ({})", 0.0125, 256u, path);
        STROMBEL_RT_LOG_DEBUG("filtered {}", 1);
        STROMBEL_RT_LOG_ERROR("{} {} {}", true, -7, std::string_view("view"));
    });
    audio.join();
    Log::flushLog();
    EXPECT_EQ(logger->lines(), (std::vector<std::string>{"** illegal Track state change!! 3 -> 5",
                                                         "lag 0.013 of 256 (Documents/kick.wav)", "true -7 view"}));
    std::lock_guard lock(threadsMutex);
    for (uint32_t thread : threads) EXPECT_EQ(thread, audioThread) << "each line names the thread that logged it";
}

TEST_F(RealtimeLogTest, OnOtherThreadsTheMacrosLogAsUsual) {
    auto logger = std::make_shared<RecordingLogger>();
    Log::addLogger(logger);
    STROMBEL_RT_LOG_ERROR("written at once: {}", 42);
    // An error is synchronous: written before the call returns, without a flush.
    EXPECT_EQ(logger->lines(), std::vector<std::string>{"written at once: 42"});
}

TEST_F(RealtimeLogTest, ALongTextIsCutAtACharacter) {
    auto logger = std::make_shared<RecordingLogger>();
    Log::addLogger(logger);
    std::string name = "a";
    for (int i = 0; i < 100; ++i) name += "\xC3\xA9";  // é: the room ends inside the 80th
    std::thread audio([&] {
        platform::RealtimeScope realtime;
        STROMBEL_RT_LOG_WARN("{}", name);
    });
    audio.join();
    Log::flushLog();
    EXPECT_EQ(logger->lines(), std::vector<std::string>{name.substr(0, RealtimeLogRecord::kTextBytes - 1)});
}

TEST_F(RealtimeLogTest, LongTextsAreCutAndAFloodOfWarningsLeavesRoomForErrors) {
    auto logger = std::make_shared<RecordingLogger>();
    std::mutex gate;
    std::unique_lock held(gate);
    // The logger stalls on the first line, so that the ring fills behind it.
    bool first = true;
    logger->beforeWrite = [&](const LogMessage&) {
        if (first) {
            first = false;
            std::lock_guard wait(gate);
        }
    };
    Log::addLogger(logger);
    Log::flushLog();
    const uint64_t lostBefore = realtimeLogOverruns();
    std::thread audio([&] {
        platform::RealtimeScope realtime;
        STROMBEL_RT_LOG_WARN("{}", std::string(400, 'x'));
        for (int i = 0; i < 3000; ++i) STROMBEL_RT_LOG_WARN("warning {}", i);
        STROMBEL_RT_LOG_ERROR("the error after the flood");
    });
    audio.join();
    held.unlock();
    Log::flushLog();
    std::vector<std::string> lines = logger->lines();
    // The drain thread says how many lines were lost, in lines of its own.
    const size_t reports = std::erase_if(lines, [](const std::string& line) {
        return line.find("log lines of real-time threads were lost") != std::string::npos;
    });
    EXPECT_GE(reports, 1u);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), std::string(RealtimeLogRecord::kTextBytes, 'x'));
    EXPECT_GT(realtimeLogOverruns(), lostBefore) << "the warnings that found no room are counted";
    // The error gets through, after every warning queued before it, and the
    // warnings that did arrive come in the order they were logged.
    EXPECT_EQ(lines.back(), "the error after the flood");
    int previous = -1;
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        ASSERT_EQ(lines[i].rfind("warning ", 0), 0u) << lines[i];
        const int number = std::stoi(lines[i].substr(8));
        EXPECT_GT(number, previous);
        previous = number;
    }
}

}  // namespace
}  // namespace strombel::logging
