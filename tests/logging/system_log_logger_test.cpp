#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <fmt/format.h>
#include <mutex>

#include "logging/log.h"
#include "logging/log_core.h"
#include "logging/system_log_logger.h"
#include "logging/text_output.h"
#include "support/recording_logger.h"
#include "support/temp_dir.h"

namespace strombel::logging {
namespace {

struct Entry {
    int severity;
    std::string text;
    bool operator==(const Entry&) const = default;
};

class FakeSink : public SystemLogSink {
public:
    explicit FakeSink(std::shared_ptr<std::vector<Entry>> entries) : entries_(std::move(entries)) {}
    void send(int severity, std::string_view text) override { entries_->push_back({severity, std::string(text)}); }

private:
    std::shared_ptr<std::vector<Entry>> entries_;
};

// A datagram socket bound at `path`, standing for the system log; -1 when it cannot be made.
int listenAt(const std::string& path) {
    int listener = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (listener >= 0 && ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(listener);
        return -1;
    }
    return listener;
}

class SystemLogLoggerTest : public ::testing::Test {
protected:
    void TearDown() override { testing::resetLogging(); }
};

TEST_F(SystemLogLoggerTest, EachFlagReachesTheSystemLogAtItsSeverity) {
    auto entries = std::make_shared<std::vector<Entry>>();
    Log::addLogger(ASLLogger::makeWithSink(std::make_unique<FakeSink>(entries)));
    setLogLevel(LogFlagError | LogFlagWarning | LogFlagInfo | LogFlagDebug);
    STROMBEL_LOG_ERROR("error");
    STROMBEL_LOG_WARN("warning");
    STROMBEL_LOG_INFO("info");
    STROMBEL_LOG_DEBUG("debug");
    Log::log(true, 15, 3, 0, __FILE__, __func__, __LINE__, nullptr, "flag three");
    Log::log(true, 15, 0, 0, __FILE__, __func__, __LINE__, nullptr, "flag zero");
    Log::log(true, 15, 16, 0, __FILE__, __func__, __LINE__, nullptr, "flag sixteen");
    Log::flushLog();
    EXPECT_EQ(*entries, (std::vector<Entry>{{2, "error"},
                                             {3, "warning"},
                                             {4, "info"},
                                             {5, "debug"},
                                             {5, "flag three"},
                                             {5, "flag zero"},
                                             {5, "flag sixteen"}}));
}

class Suppressor : public LogFormatter {
public:
    FormattedMessage formatLogMessage(const LogMessage& message) override {
        if (message.logMsg().empty()) return FormattedMessage::suppressed();
        return FormattedMessage("[" + message.logMsg() + "]");
    }
};

TEST_F(SystemLogLoggerTest, TheFormattersTextIsSentAndIllFormedBytesAreReplaced) {
    auto entries = std::make_shared<std::vector<Entry>>();
    auto logger = ASLLogger::makeWithSink(std::make_unique<FakeSink>(entries));
    Log::addLogger(logger);
    setLogLevel(LogFlagError);
    STROMBEL_LOG_ERROR("bad \xC3");
    logger->setLogFormatter(std::make_shared<Suppressor>());
    STROMBEL_LOG_ERROR("");
    STROMBEL_LOG_ERROR("framed");
    EXPECT_EQ(*entries, (std::vector<Entry>{{2, "bad \xEF\xBF\xBD"}, {2, "[framed]"}}));
}

TEST_F(SystemLogLoggerTest, DatagramsReachAListeningSocket) {
    strombel::testing::TempDir dir;
    std::string path = (dir / "log.sock").string();
    int listener = listenAt(path);
    ASSERT_GE(listener, 0);

    DevLogSink sink(path);
    sink.send(2, "the engine stopped");
    char buffer[512];
    ssize_t length = ::recv(listener, buffer, sizeof buffer, 0);
    ASSERT_GT(length, 0);
    std::string datagram(buffer, static_cast<size_t>(length));
    EXPECT_EQ(datagram.rfind("<10>", 0), 0u) << datagram;  // facility user (1) * 8 + critical (2)
    EXPECT_NE(datagram.find("[" + std::to_string(::getpid()) + "]: the engine stopped"), std::string::npos) << datagram;
    ::close(listener);
}

TEST_F(SystemLogLoggerTest, NoListenerOrAFullListenerNeverBlocks) {
    strombel::testing::TempDir dir;
    DevLogSink nobody((dir / "missing.sock").string());
    for (int i = 0; i < 10; ++i) nobody.send(3, "into the void");

    // A listener that never reads: its queue fills, and sends are dropped instead of waiting.
    std::string path = (dir / "full.sock").string();
    int listener = listenAt(path);
    ASSERT_GE(listener, 0);
    DevLogSink full(path);
    std::string text(2000, 'x');
    for (int i = 0; i < 2000; ++i) full.send(4, text);  // returns although nobody reads
    char buffer[4096];
    ssize_t first = ::recv(listener, buffer, sizeof buffer, MSG_DONTWAIT);
    EXPECT_GT(first, 2000);  // what fitted arrived whole
    ::close(listener);
    full.send(4, "after the listener went away");
}

TEST_F(SystemLogLoggerTest, ATextTooLongForOneDatagramArrivesCutAndSaysSo) {
    strombel::testing::TempDir dir;
    std::string path = (dir / "log.sock").string();
    int listener = listenAt(path);
    ASSERT_GE(listener, 0);
    // Past any socket's send buffer; "\xC3\xA9" pairs so that a cut could split one.
    std::string text;
    while (text.size() < (8u << 20)) text += "pad \xC3\xA9 ";
    DevLogSink sink(path);
    sink.send(3, text);
    std::vector<char> buffer(text.size() + 1024);
    ssize_t length = ::recv(listener, buffer.data(), buffer.size(), MSG_DONTWAIT);
    ::close(listener);
    ASSERT_GT(length, 0) << "the entry vanished";
    std::string datagram(buffer.data(), static_cast<size_t>(length));
    const size_t start = datagram.find("]: ") + 3;
    const size_t note = datagram.rfind(" [");
    ASSERT_LT(start, note);
    const std::string kept = datagram.substr(start, note - start);
    EXPECT_GT(kept.size(), 1000u);
    EXPECT_EQ(text.compare(0, kept.size(), kept), 0);
    EXPECT_TRUE(isValidUtf8(kept));
    EXPECT_EQ(datagram.substr(note), fmt::format(" [{} of {} bytes cut]", text.size() - kept.size(), text.size()));
}

TEST(SystemLogSeverityTest, FlagsMapToSeverities) {
    EXPECT_EQ(ASLLogger::severityForFlag(LogFlagError), 2);
    EXPECT_EQ(ASLLogger::severityForFlag(LogFlagWarning), 3);
    EXPECT_EQ(ASLLogger::severityForFlag(3), 5);
    EXPECT_EQ(ASLLogger::severityForFlag(LogFlagInfo), 4);
    EXPECT_EQ(ASLLogger::severityForFlag(LogFlagDebug), 5);
    EXPECT_EQ(ASLLogger::severityForFlag(0), 5);
    EXPECT_EQ(ASLLogger::severityForFlag(-1), 5);
}

}  // namespace
}  // namespace strombel::logging
