// What survives a run that did not end: the current-session file, a pending
// crash report, and files a writer was killed in the middle of.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "analytics_test_support.h"
#include "crash/crash_reporter.h"
#include "envelope_reader.h"

namespace strombel::analytics::testing {
namespace {

class CrashSafetyTest : public AnalyticsTest {
protected:
    AnalyticsServer server;
};

TEST_F(CrashSafetyTest, ASessionThatWasNotEndedIsSentAtTheNextStartWithThePendingCrashReport) {
    Usage::setServerURL(server.url());
    Usage::setCrashReportingEnabled(true);
    Usage::startSession("key");
    ASSERT_TRUE(pumpUntil([&] { return server.arrived() >= 1; }));
    Usage::logEvent("BeforeTheCrash");
    Usage::logError("E", "m", std::optional<json::Error>());  // writes the current-session file
    settle();
    auto reporter = UsageGlobalVariableStorage::sharedInstance()->usageCrashReporter();
    ASSERT_TRUE(reporter);
    std::filesystem::path report = reporter->crashReportPath();
    // The run ends without ending its session, as a killed process would.
    Usage::shutdown();
    std::filesystem::create_directories(report.parent_path());
    ASSERT_TRUE(UsageUtil::writeFileWhole(report, Bytes{'c', 'r', 'a', 's', 'h', 'l', 'g', 1}));

    int before = server.arrived();
    Usage::setServerURL(server.url());
    Usage::setCrashReportingEnabled(true);
    Usage::startSession("key");
    ASSERT_TRUE(pumpUntil([&] { return server.arrived() > before; }));
    ASSERT_TRUE(waitForUploadsToEnd());
    Envelope envelope = readEnvelope(server.bodies().back());
    ASSERT_EQ(envelope.sessions.size(), 1u);
    const SessionRecord& former = envelope.sessions[0];
    ASSERT_FALSE(former.errors.empty());
    EXPECT_EQ(former.errors.back().type, 3);
    EXPECT_EQ(former.errors.back().report, std::string("crashlg\x01", 8));
    EXPECT_FALSE(std::filesystem::exists(report)) << "the pending report was purged";
}

TEST(WholeFileTest, AWriterKilledAtRandomPointsLeavesEachFileWholeOrAsBefore) {
    strombel::testing::TempDir dir;
    std::filesystem::path file = dir / "state.archive";
    ArchiveValue first(std::string(10000, 'a'));
    ASSERT_TRUE(UsageUtil::archiveObjectToFile(first, file));
    std::mt19937 random(11);
    for (int round = 0; round < 20; ++round) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 0;; ++i) {
                ArchiveValue next(std::string(10000 + i % 5000, static_cast<char>('b' + i % 20)));
                std::vector<uint8_t> bytes = KeyedArchive::encode(next);
                UsageUtil::writeFileWhole(file, bytes);
            }
        }
        usleep(static_cast<useconds_t>(200 + random() % 3000));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        std::optional<Bytes> bytes = UsageUtil::readFile(file);
        ASSERT_TRUE(bytes) << "round " << round;
        EXPECT_TRUE(KeyedArchive::decode(*bytes)) << "round " << round;
    }
}

}  // namespace
}  // namespace strombel::analytics::testing
