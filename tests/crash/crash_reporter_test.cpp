#include "crash/crash_reporter.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "crash/crash_signal_handler.h"
#include "crash_test_support.h"
#include "platform/main_bundle.h"
#include "platform/sandbox.h"

namespace strombel::crash {
namespace {

class CrashReporterTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::Sandbox::setShared(std::make_unique<platform::Sandbox>(temp_.path(), temp_ / "bundle"));
    }
    void TearDown() override { platform::Sandbox::setShared(nullptr); }

    std::filesystem::path dataFolder() const { return temp_ / "Library/Caches/com.brindlemoor.crashreporter.data"; }

    strombel::testing::TempDir temp_;
};

TEST_F(CrashReporterTest, TheReportFolderIsNamedAfterTheIdentifierWithSlashesReplaced) {
    CrashReporter reporter("org/example/pads", "1", CrashReporterConfig());
    EXPECT_EQ(reporter.crashReportDirectory(), dataFolder() / "org_example_pads");
    EXPECT_EQ(reporter.crashReportPath(), dataFolder() / "org_example_pads/live_report.crashlg");
    EXPECT_EQ(reporter.queuedCrashReportDirectory(), dataFolder() / "org_example_pads/queued_reports");
}

TEST_F(CrashReporterTest, WithoutAReportNothingIsPendingAndLoadingOrPurgingFails) {
    CrashReporter reporter("org.example.pads", "1", CrashReporterConfig());
    EXPECT_FALSE(reporter.hasPendingCrashReport());
    auto loaded = reporter.loadPendingCrashReportData();
    ASSERT_FALSE(loaded.ok());
    EXPECT_EQ(loaded.error().code, ENOENT);
    EXPECT_FALSE(reporter.purgePendingCrashReport().ok());
}

TEST_F(CrashReporterTest, APendingReportIsLoadedAndPurged) {
    CrashReporter reporter("org.example.pads", "1", CrashReporterConfig());
    std::filesystem::create_directories(reporter.crashReportDirectory());
    std::ofstream(reporter.crashReportPath(), std::ios::binary) << "crashlg\x01";
    ASSERT_TRUE(reporter.hasPendingCrashReport());
    auto loaded = reporter.loadPendingCrashReportData();
    ASSERT_TRUE(loaded.ok());
    EXPECT_EQ(loaded.value().size(), 8u);
    EXPECT_TRUE(reporter.purgePendingCrashReport().ok());
    EXPECT_FALSE(reporter.hasPendingCrashReport());
}

TEST_F(CrashReporterTest, TheBundleNamesTheReporterOrTheProcessNameStandsIn) {
    std::filesystem::create_directories(temp_ / "bundle");
    std::ofstream(temp_ / "bundle/Info.plist") << R"(<?xml version="1.0"?><plist version="1.0"><dict>
        <key>CFBundleIdentifier</key><string>org.example.pads</string>
        <key>CFBundleVersion</key><string>3.2</string></dict></plist>)";
    platform::MainBundle bundle(temp_ / "bundle");
    CrashReporter named(bundle, CrashReporterConfig());
    EXPECT_EQ(named.applicationIdentifier(), "org.example.pads");
    EXPECT_EQ(named.applicationVersion(), "3.2");

    platform::MainBundle empty(temp_ / "no-bundle");
    UsageCrashReporter unnamed(empty, CrashReporterConfig());
    EXPECT_EQ(unnamed.applicationIdentifier(), program_invocation_short_name);
    EXPECT_EQ(unnamed.applicationVersion(), "");
}

TEST_F(CrashReporterTest, OnlyBitsOneAndTwoOfTheStrategyReachTheWriter) {
    EXPECT_EQ(CrashReporterBase::mapToAsyncSymbolicationStrategy(7), 3u);
    EXPECT_EQ(CrashReporterBase::mapToAsyncSymbolicationStrategy(4), 0u);
    EXPECT_EQ(CrashReporterBase::mapToAsyncSymbolicationStrategy(1), 1u);
}

// Enabling changes the process for good: each case runs in a child.
TEST_F(CrashReporterTest, AProcessIsEnabledOnceAndSetsItsCallbacksBefore) {
    auto child = [&] {
        CrashReporter first("org.example.pads", "1", CrashReporterConfig());
        // Spare files: one of a process that is gone, one of a running process.
        std::filesystem::create_directories(first.crashReportDirectory());
        auto gone = first.crashReportDirectory() / ".live_report.999999999.crash.spare";
        auto running = first.crashReportDirectory() / (".live_report." + std::to_string(getppid()) + ".crash.spare");
        std::ofstream(gone) << "x";
        std::ofstream(running) << "x";
        if (!first.enableCrashReporter().ok()) _exit(10);
        if (std::filesystem::exists(gone) || !std::filesystem::exists(running)) _exit(17);
        if (first.hasPendingCrashReport()) _exit(18);
        auto again = first.enableCrashReporter();
        if (again.ok() || again.error().code != 3) _exit(11);
        CrashReporter second("org.example.other", "1", CrashReporterConfig());
        auto other = second.enableCrashReporter();
        if (other.ok() || other.error().code != 3 ||
            other.error().message() != "A CrashReporter instance has already been enabled") {
            _exit(12);
        }
        // The second instance has a guard of its own.
        UsageCrashReporter usage("org.example.pads", "1", CrashReporterConfig());
        if (!usage.enableCrashReporter().ok()) _exit(13);
        try {
            CrashReporterCallbacks callbacks;
            first.setCrashCallbacks(&callbacks);
            _exit(14);
        } catch (const CrashReporterException& error) {
            if (std::string(error.what()) != "The crash reporter has alread been enabled") _exit(15);
        }
        struct sigaction action;
        sigaction(SIGSEGV, nullptr, &action);
        if (action.sa_sigaction != usage_signal_handler || !(action.sa_flags & SA_ONSTACK)) _exit(16);
        _exit(0);
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
    EXPECT_TRUE(std::filesystem::is_directory(dataFolder() / "org.example.pads/queued_reports"));
}

TEST_F(CrashReporterTest, EnablingNeverOpensAFolderToOthers) {
    // Reports hold registers and stack contents: a folder its owner closed
    // stays closed, and the folders made anew get 0755.
    auto child = [&] {
        umask(022);
        CrashReporter reporter("org.example.pads", "1", CrashReporterConfig());
        std::filesystem::create_directories(reporter.crashReportDirectory());
        for (const auto& folder : {dataFolder(), reporter.crashReportDirectory()}) chmod(folder.c_str(), 0700);
        if (!reporter.enableCrashReporter().ok()) _exit(10);
        auto mode = [](const std::filesystem::path& folder) {
            struct stat status;
            return stat(folder.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
        };
        if (mode(dataFolder()) != 0700 || mode(reporter.crashReportDirectory()) != 0700) _exit(11);
        if (mode(reporter.queuedCrashReportDirectory()) != 0755) _exit(12);
        _exit(0);
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}

TEST_F(CrashReporterTest, CallbacksOfAnotherVersionStopTheProcess) {
    CrashReporter reporter("org.example.pads", "1", CrashReporterConfig());
    CrashReporterCallbacks callbacks;
    callbacks.version = 1;
    EXPECT_DEATH(reporter.setCrashCallbacks(&callbacks), "callbacks->version == 0");
}

TEST_F(CrashReporterTest, TheMachTypeRegistersAbortThenFailsAndTakesCallbacksAfter) {
    auto child = [&] {
        CrashReporter reporter("org.example.pads", "1", CrashReporterConfig(1, 0));
        auto enabled = reporter.enableCrashReporter();
        if (enabled.ok() || enabled.error().code != 1) _exit(10);
        if (enabled.error().message() != "Failed to instantiate the Mach exception server.") _exit(11);
        if (!enabled.error().underlying || enabled.error().underlying->code != ENOTSUP) _exit(12);
        struct sigaction abortAction, segvAction;
        sigaction(SIGABRT, nullptr, &abortAction);
        sigaction(SIGSEGV, nullptr, &segvAction);
        if (abortAction.sa_sigaction != crash_signal_handler) _exit(13);
        if (segvAction.sa_sigaction == crash_signal_handler) _exit(14);
        // A failed enable also blocks every later one.
        if (reporter.enableCrashReporter().error().code != 3) _exit(15);
        // The reporter is not enabled: its callbacks can still be set, and
        // the abort handler it left in place calls them after its report.
        CrashReporterCallbacks callbacks;
        callbacks.handleSignal = [](siginfo_t*, void*, void*) { _exit(42); };
        try {
            reporter.setCrashCallbacks(&callbacks);
        } catch (const CrashReporterException&) {
            _exit(16);
        }
        abort();
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(42), "");
    EXPECT_TRUE(std::filesystem::exists(dataFolder() / "org.example.pads/live_report.crashlg"));
}

TEST_F(CrashReporterTest, AnApplicationsOwnSegvHandlerIsNotCalledAndTheDefaultEndsTheProcess) {
    auto child = [&] {
        signal(SIGSEGV, [](int) { _exit(5); });
        CrashReporter reporter("org.example.pads", "1", CrashReporterConfig(0, 1));
        if (!reporter.enableCrashReporter().ok()) _exit(10);
        volatile uintptr_t address = 0x10;
        *reinterpret_cast<volatile int*>(address) = 1;
        _exit(0);
    };
    EXPECT_EXIT(child(), ::testing::KilledBySignal(SIGSEGV), "");
    auto report = testing::decodeReport(testing::readBytes(dataFolder() / "org.example.pads/live_report.crashlg"));
    ASSERT_NE(report, nullptr);
    EXPECT_STREQ(report->signal->name, "SIGSEGV");
    EXPECT_EQ(report->signal->address, 0x10u);
}

extern "C" __attribute__((noinline)) std::vector<uint8_t> reporter_test_live_report(CrashReporterBase* reporter) {
    auto report = reporter->generateLiveReport();
    EXPECT_TRUE(report.ok());
    return report.ok() ? report.value() : std::vector<uint8_t>();
}

TEST_F(CrashReporterTest, ALiveReportOfTheCallingThreadNeedsNoEnabling) {
    for (bool usage : {false, true}) {
        std::unique_ptr<CrashReporterBase> reporter;
        if (usage) reporter = std::make_unique<UsageCrashReporter>("org.example.pads", "1", CrashReporterConfig(0, 3));
        else reporter = std::make_unique<CrashReporter>("org.example.pads", "1", CrashReporterConfig(0, 3));
        auto report = testing::decodeReport(reporter_test_live_report(reporter.get()));
        ASSERT_NE(report, nullptr);
        EXPECT_TRUE(report->report_info->user_requested);
        EXPECT_STREQ(report->signal->name, "SIGTRAP");
        EXPECT_STREQ(report->signal->code, "TRAP_TRACE");
        const auto* thread = testing::crashedThread(*report);
        ASSERT_NE(thread, nullptr);
        auto names = testing::frameNames(thread->frames, thread->n_frames);
        EXPECT_TRUE(std::find(names.begin(), names.end(), "reporter_test_live_report") != names.end())
            << ::testing::PrintToString(names);
        EXPECT_FALSE(reporter->hasPendingCrashReport());
    }
}

TEST_F(CrashReporterTest, ALiveReportOfAThreadThatDoesNotExistMarksNoThread) {
    pid_t gone = 0;
    std::thread([&] { gone = static_cast<pid_t>(syscall(SYS_gettid)); }).join();
    CrashReporter reporter("org.example.pads", "1", CrashReporterConfig(0, 1));
    size_t threads = 0;
    for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task")) ++threads;
    auto bytes = reporter.generateLiveReportWithThread(gone);
    ASSERT_TRUE(bytes.ok());
    auto report = testing::decodeReport(bytes.value());
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(testing::crashedThread(*report), nullptr);
    EXPECT_EQ(report->n_threads, threads - 1) << "every thread but the caller, and no other";
}

TEST_F(CrashReporterTest, ALiveReportFailsCleanlyWithoutATemporaryFolder) {
    auto child = [&] {
        setenv("TMPDIR", "/nonexistent-folder-for-the-test", 1);
        CrashReporter reporter("org.example.pads", "1", CrashReporterConfig());
        auto report = reporter.generateLiveReport();
        if (report.ok() || report.error().code != 1 || report.error().message() != "Failed to create temporary path") {
            _exit(10);
        }
        _exit(0);
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}

TEST_F(CrashReporterTest, ALiveReportWithoutTheProcesssOwnFactsIsNoReport) {
    // The process's status file hidden (an empty file bound over it, in a mount
    // namespace of the child's own): the report would name no process.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::string stat = "/proc/" + std::to_string(getpid()) + "/stat";
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("/dev/null", stat.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            _exit(77);
        }
        setenv("TMPDIR", (dataFolder() / "live").c_str(), 1);
        std::filesystem::create_directories(dataFolder() / "live");
        CrashReporter reporter("org.example.pads", "1", CrashReporterConfig(0, 1));
        auto report = reporter.generateLiveReport();
        if (report.ok()) _exit(10);
        if (report.error().message() != "Failed to write the crash report to disk") _exit(11);
        if (!std::filesystem::is_empty(dataFolder() / "live")) _exit(12);  // no file left behind
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "a mount namespace of its own is refused here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: a report was made; 11: another error; 12: a file was left";
}

}  // namespace
}  // namespace strombel::crash
