// What survives a run that did not end: the current-session file, a pending
// crash report, and files a writer was killed in the middle of.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "analytics_test_support.h"
#include "crash/crash_reporter.h"
#include "envelope_reader.h"

namespace strombel::analytics::testing {
namespace {

// The probe program in a child process, from its start until it said it has
// recorded its session; then killed, or left to abort.
struct ProbeRun {
    bool ready = false;
    int status = 0;
    std::string output;
};

ProbeRun runProbe(const std::filesystem::path& root, const std::filesystem::path& bundle, const std::string& server,
                  const std::string& mode) {
    ProbeRun run;
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) return run;
    pid_t child = ::fork();
    if (child == 0) {
        ::dup2(pipe[1], STDOUT_FILENO);
        ::execl(ANALYTICS_USAGE_PROBE_PATH, ANALYTICS_USAGE_PROBE_PATH, root.c_str(), bundle.c_str(), server.c_str(),
                mode.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipe[1]);
    char buffer[256];
    for (;;) {
        pollfd wait{pipe[0], POLLIN, 0};
        if (::poll(&wait, 1, 60'000) <= 0) break;  // a probe that never answers fails the test
        ssize_t got = ::read(pipe[0], buffer, sizeof buffer);
        if (got <= 0) break;
        run.output.append(buffer, static_cast<size_t>(got));
        if (run.output.find("ready\n") != std::string::npos) {
            run.ready = true;
            break;
        }
    }
    ::close(pipe[0]);
    if (mode == "kill" || !run.ready) ::kill(child, SIGKILL);
    ::waitpid(child, &run.status, 0);
    return run;
}

class CrashSafetyTest : public AnalyticsTest {
protected:
    AnalyticsServer server;

    bool currentSessionFileExists() {
        std::error_code error;
        for (std::filesystem::directory_iterator it(usageFiles(), error), end; !error && it != end; it.increment(error)) {
            if (it->path().filename().string().rfind(".usageCurrent", 0) == 0) return true;
        }
        return false;
    }

    // Starts the client as the next run of the program would and answers the
    // envelope that carries the former session.
    std::optional<Envelope> restartAndTakeTheFormerSession() {
        Usage::setServerURL(server.url());
        Usage::setCrashReportingEnabled(true);
        Usage::startSession("key");
        std::optional<Envelope> found;
        pumpUntil([&] {
            for (const std::string& body : server.bodies()) {
                Envelope envelope = readEnvelope(body);
                if (!envelope.sessions.empty()) found = envelope;
            }
            return found.has_value();
        });
        waitForUploadsToEnd();
        return found;
    }
};

TEST_F(CrashSafetyTest, AKilledRunLeavesItsSessionWhichTheNextStartSends) {
    ProbeRun run = runProbe(root(), bundleFolder(), server.url(), "kill");
    ASSERT_TRUE(run.ready) << run.output;
    ASSERT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGKILL);
    EXPECT_TRUE(currentSessionFileExists());

    std::optional<Envelope> envelope = restartAndTakeTheFormerSession();
    ASSERT_TRUE(envelope);
    EXPECT_EQ(envelope->checksum, envelope->computedChecksum);
    ASSERT_EQ(envelope->sessions.size(), 1u);
    const SessionRecord& former = envelope->sessions[0];
    ASSERT_EQ(former.events.size(), 1u);
    EXPECT_EQ(former.events[0].name, "BeforeTheEnd");
    EXPECT_EQ(former.length, -1) << "a session that was never ended has no length";
    ASSERT_EQ(former.errors.size(), 1u) << "no crash report: no crash entry";
    EXPECT_EQ(former.errors[0].errorString, "E1");
    EXPECT_EQ(former.errors[0].type, 1);
    // The probe's own first envelope was stored but never posted; it goes now.
    std::vector<std::string> bodies = server.bodies();
    EXPECT_GE(std::count_if(bodies.begin(), bodies.end(),
                            [](const std::string& body) { return readEnvelope(body).sessions.empty(); }),
              1);
}

TEST_F(CrashSafetyTest, ARunThatCrashedSendsItsSessionWithTheCrashReport) {
    ProbeRun run = runProbe(root(), bundleFolder(), server.url(), "abort");
    ASSERT_TRUE(run.ready) << run.output;
    ASSERT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGABRT) << run.status;
    EXPECT_TRUE(currentSessionFileExists());
    crash::UsageCrashReporter reporter(*bundle, crash::UsageCrashReporterConfig(0, 3));
    std::optional<Bytes> report = UsageUtil::readFile(reporter.crashReportPath());
    ASSERT_TRUE(report) << "the probe's crash left its report";

    std::optional<Envelope> envelope = restartAndTakeTheFormerSession();
    ASSERT_TRUE(envelope);
    ASSERT_EQ(envelope->sessions.size(), 1u);
    const SessionRecord& former = envelope->sessions[0];
    ASSERT_EQ(former.errors.size(), 2u);
    EXPECT_EQ(former.errors[0].errorString, "E1");
    EXPECT_FALSE(former.errors[0].report.empty()) << "crash reporting was on: the error has its live report";
    const ErrorRecord& crash = former.errors[1];
    EXPECT_EQ(crash.type, 3);
    EXPECT_EQ(crash.id, former.errors[0].id + 1);
    EXPECT_EQ(crash.report, std::string(report->begin(), report->end()));
    EXPECT_EQ(former.totalErrors, 2);
    EXPECT_FALSE(std::filesystem::exists(reporter.crashReportPath())) << "the pending report was purged";
}

// A tmpfs of its own on a folder, which can be filled up to its last page.
class SmallDisk {
public:
    explicit SmallDisk(const std::filesystem::path& folder) : folder_(folder) {
        std::filesystem::create_directories(folder_);
        mounted_ = ::mount("tmpfs", folder_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m,mode=0700") == 0;
        if (!mounted_) refusal_ = std::strerror(errno);
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    const std::string& refusal() const { return refusal_; }

    /// Fills the disk but for one page: a small file can still be replaced, a
    /// block of several pages cannot be written.
    bool fillButOnePage() {
        struct statvfs info {};
        if (::statvfs(folder_.c_str(), &info) != 0 || info.f_bavail < 2) return false;
        Bytes filler((info.f_bavail - 1) * info.f_frsize, 0x55);
        return UsageUtil::writeFileWhole(folder_ / "filler", filler);
    }
    void empty() { std::filesystem::remove(folder_ / "filler"); }

private:
    std::filesystem::path folder_;
    bool mounted_ = false;
    std::string refusal_;
};

TEST_F(CrashSafetyTest, AFullDiskLosesNoSession) {
    SmallDisk disk(usageFiles());
    if (!disk.mounted()) GTEST_SKIP() << "this test may not mount a tmpfs here: " << disk.refusal();
    Usage::setServerURL(server.url());
    Usage::startSession("key");
    ASSERT_TRUE(pumpUntil([&] { return server.arrived() == 1; }));
    ASSERT_TRUE(waitForUploadsToEnd());
    // Two sessions of twenty events wait in the saved list; the live one has none.
    json::ObjectBuilder parameters;
    for (int i = 0; i < 10; ++i) parameters.set("parameter" + std::to_string(i), json::Value(std::string(20, 'x')));
    json::Value many = parameters.build();
    UsageSession::currentSession()->withSession([&](UsageSession* live) {
        std::vector<Bytes> saved;
        for (const char* name : {"SavedA", "SavedB"}) {
            for (int i = 0; i < 20; ++i) live->recordEvent(name + std::to_string(i), many, false);
            saved.push_back(*live->data());
            live->eventLog.clear();
            live->eventCounts.clear();
        }
        UsageSession::setSavedSessions(saved);
    });

    // The disk fills up: the pause's envelope cannot be stored, and the server
    // fails the post it still gets.
    server.answer(500);
    ASSERT_TRUE(disk.fillButOnePage());
    center.post(platform::kApplicationWillResignActiveNotification);  // reports on pause: a send
    ASSERT_TRUE(pumpUntil([&] { return server.arrived() == 2; }));
    ASSERT_TRUE(waitForUploadsToEnd());
    EXPECT_TRUE(loggedStartingWith("Failed to create UsageDataSenderBlockInfo for data size "));
    size_t saved = 0;
    UsageSession::currentSession()->withSession([&](UsageSession*) { saved = UsageSession::savedSessions().size(); });
    EXPECT_EQ(saved, 2u) << "the envelope did not reach the disk: the saved sessions stay";

    // Room again; the application comes back after the continue time: the paused
    // session (no events) joins the saved ones and the new session sends them all.
    disk.empty();
    server.answer(200);
    clock.advance(11 * platform::kNanosPerSecond);
    center.post(platform::kApplicationDidBecomeActiveNotification);
    ASSERT_TRUE(pumpUntil([&] { return server.arrived() == 3; }));
    Envelope last = readEnvelope(server.bodies().back());
    std::vector<std::string> firstEvents;
    for (const SessionRecord& session : last.sessions) {
        firstEvents.push_back(session.events.empty() ? "(none)" : session.events.front().name);
    }
    EXPECT_EQ(firstEvents, (std::vector<std::string>{"SavedA0", "SavedB0", "(none)"}));
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
