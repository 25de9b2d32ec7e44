// The crash probe crashes for real; its reports are decoded with protobuf-c.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "crash/crash_reporter.h"
#include "crash_test_support.h"
#include "platform/sandbox.h"

namespace strombel::crash {
namespace {

using testing::crashedThread;
using testing::frameNames;
using testing::inOrder;
using testing::ProbeRun;
using testing::ProbeSandbox;
using testing::Report;

// The name of the image that holds `pc`, or "".
std::string imageOf(const Report& report, uint64_t pc) {
    for (size_t i = 0; i < report.n_binary_images; ++i) {
        const auto* image = report.binary_images[i];
        if (pc >= image->base_address && pc - image->base_address < image->size) return image->name;
    }
    return "";
}

// What every crash report must hold, whatever the crash.
void expectSoundReport(const ProbeSandbox& sandbox, const Report& report) {
    EXPECT_LE(std::filesystem::file_size(sandbox.reportPath()), 65536u);
    ASSERT_NE(report.report_info, nullptr);
    EXPECT_FALSE(report.report_info->user_requested);
    EXPECT_EQ(report.report_info->uuid.len, 16u);
    EXPECT_STREQ(report.application_info->identifier, "org.strombel.crashprobe");
    EXPECT_STREQ(report.application_info->version, "1.0");
    ASSERT_NE(report.process_info, nullptr);
    EXPECT_STREQ(report.process_info->process_path, std::filesystem::canonical(CRASH_PROBE_PATH).c_str());

    size_t crashed = 0;
    for (size_t i = 0; i < report.n_threads; ++i) {
        const auto* thread = report.threads[i];
        EXPECT_EQ(thread->thread_number, i);
        EXPECT_LE(thread->n_frames, 512u);
        if (thread->crashed) {
            ++crashed;
            EXPECT_GT(thread->n_registers, 0u);
        } else {
            EXPECT_EQ(thread->n_registers, 0u) << "thread " << i;
        }
    }
    EXPECT_EQ(crashed, 1u);
    const auto* thread = crashedThread(report);
    ASSERT_NE(thread, nullptr);
    ASSERT_GT(thread->n_frames, 0u);
    // The first frame is the thread's own pc.
    EXPECT_STREQ(thread->registers[0]->name, thread->n_registers == 21 ? "rip" : "pc");
    EXPECT_EQ(thread->frames[0]->pc, thread->registers[0]->value);

    // The program's image, and build-ids for the images that carry one.
    bool program = false;
    size_t withBuildId = 0;
    for (size_t i = 0; i < report.n_binary_images; ++i) {
        const auto* image = report.binary_images[i];
        if (std::string(image->name) == report.process_info->process_path) program = true;
        if (image->has_uuid && image->uuid.len >= 16) ++withBuildId;
        ASSERT_NE(image->code_type, nullptr);
        EXPECT_EQ(image->code_type->encoding, CRASHLG__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_MACH);
    }
    EXPECT_TRUE(program);
    EXPECT_GE(withBuildId, 2u);
}

struct CrashCase {
    const char* scenario;
    int signal;
    const char* name;
    const char* code;
    std::vector<std::string> frames;  // in the crashed thread, in call order
    bool throughTheCLibrary = false;  // only the unwind tables lead out of it
};

const CrashCase crashCases[] = {
    {"segv", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", {"probe_segv_inner", "probe_segv_middle", "probe_segv_outer", "main"}},
    {"bus", SIGBUS, "SIGBUS", "BUS_ADRERR", {"probe_bus_inner", "probe_bus_outer", "main"}},
    {"fpe", SIGFPE, "SIGFPE", "FPE_INTDIV", {"probe_fpe_inner", "probe_fpe_outer", "main"}},
    {"ill", SIGILL, "SIGILL", "ILL_ILLOPN", {"probe_ill_inner", "probe_ill_outer", "main"}},
    // abort() stops inside the C library, whose frames keep no frame pointer:
    // only the main instance, which reads unwind tables, walks out of it.
    {"abort", SIGABRT, "SIGABRT", "#-6", {"raise", "abort", "probe_abort_inner", "probe_abort_outer", "main"}, true},
    {"overflow-main", SIGSEGV, "SIGSEGV", nullptr, {"probe_overflow", "probe_overflow"}},
    {"thread-crash", SIGSEGV, "SIGSEGV", "SEGV_MAPERR",
     {"probe_segv_inner", "probe_segv_middle", "probe_segv_outer", "probe_crash_on_thread"}},
    {"overflow-thread", SIGSEGV, "SIGSEGV", nullptr, {"probe_overflow", "probe_overflow"}},
    {"malloc-held", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", {"probe_segv_inner", "probe_segv_outer", "main"}},
    {"two-threads", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", {"probe_segv_inner", "probe_segv_outer", "probe_crash_together"}},
};

void runCrashCase(const CrashCase& c, bool usage) {
    SCOPED_TRACE(std::string(c.scenario) + (usage ? " (second instance)" : ""));
    ProbeSandbox sandbox;
    std::vector<std::string> arguments = {c.scenario};
    if (usage) arguments.push_back("--usage");
    ProbeRun run = sandbox.run(arguments);
    EXPECT_TRUE(run.signalled(c.signal)) << "status " << run.status << "\n" << run.output;
    auto report = sandbox.report();
    ASSERT_NE(report, nullptr) << run.output;
    expectSoundReport(sandbox, *report);
    EXPECT_STREQ(report->signal->name, c.name);
    if (c.code) {
        EXPECT_STREQ(report->signal->code, c.code);
    }
    const auto* thread = crashedThread(*report);
    ASSERT_NE(thread, nullptr);
    auto names = frameNames(thread->frames, thread->n_frames);
    if (!(usage && c.throughTheCLibrary)) {
        EXPECT_TRUE(inOrder(names, c.frames)) << ::testing::PrintToString(names);
    } else {
        // Frame pointers lead nowhere out of the C library: the walk ends
        // there, it does not repeat a record up to the limit.
        EXPECT_LT(thread->n_frames, 512u) << ::testing::PrintToString(names);
    }
    EXPECT_EQ(run.output.find("heap used"), std::string::npos) << run.output;
    // Nothing but the report is left in the folder.
    for (const auto& entry : std::filesystem::directory_iterator(sandbox.reportFolder())) {
        std::string file = entry.path().filename().string();
        EXPECT_TRUE(file == "live_report.crashlg" || file == "queued_reports") << file;
    }
}

TEST(CrashProbe, EveryCrashLeavesAReportThatNamesItsFrames) {
    for (const CrashCase& c : crashCases) runCrashCase(c, false);
}

TEST(CrashProbe, TheSecondInstanceReportsTheSameCrashesByFramePointers) {
    for (const CrashCase& c : crashCases) runCrashCase(c, true);
}

TEST(CrashProbe, TheFaultAddressIsTheOneTouched) {
    ProbeSandbox sandbox;
    sandbox.run({"segv"});
    auto report = sandbox.report();
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->signal->address, 0x10u);
    EXPECT_EQ(report->signal->mach_exception, nullptr);

    // SIGBUS: the first byte of the mapping that lost its file.
    ProbeSandbox bus;
    ProbeRun run = bus.run({"bus"});
    auto busReport = bus.report();
    ASSERT_NE(busReport, nullptr);
    size_t at = run.output.find("fault address 0x");
    ASSERT_NE(at, std::string::npos) << run.output;
    EXPECT_EQ(busReport->signal->address, std::stoull(run.output.substr(at + 14), nullptr, 16));

    // A signal sent by abort() or by kill() carries no fault address: what
    // the signal information holds in its place is the sender's process id.
    for (const char* scenario : {"abort", "sent-segv"}) {
        ProbeSandbox sent;
        sent.run({scenario});
        auto sentReport = sent.report();
        ASSERT_NE(sentReport, nullptr) << scenario;
        EXPECT_EQ(sentReport->signal->address, 0u) << scenario;
    }

    // SIGFPE and SIGILL: the instruction that failed, in the first frame.
    for (const char* scenario : {"fpe", "ill"}) {
        ProbeSandbox other;
        other.run({scenario});
        auto otherReport = other.report();
        ASSERT_NE(otherReport, nullptr) << scenario;
        EXPECT_EQ(otherReport->signal->address, crashedThread(*otherReport)->frames[0]->pc) << scenario;
    }
}

TEST(CrashProbe, OtherThreadsAreWalkedWhereTheyWait) {
    ProbeSandbox sandbox;
    sandbox.run({"thread-crash"});
    auto report = sandbox.report();
    ASSERT_NE(report, nullptr);
    // The main thread, the two waiting threads and the one that crashed.
    ASSERT_EQ(report->n_threads, 4u);
    int waiting = 0;
    bool mainSeen = false;
    for (size_t i = 0; i < report->n_threads; ++i) {
        const auto* thread = report->threads[i];
        if (thread->crashed) continue;
        auto names = frameNames(thread->frames, thread->n_frames);
        ASSERT_FALSE(names.empty());
        if (names[0] == "probe_main_waits") {
            mainSeen = true;
            EXPECT_TRUE(inOrder(names, {"probe_main_waits", "main"})) << ::testing::PrintToString(names);
        } else {
            ++waiting;
            EXPECT_TRUE(inOrder(names, {"probe_thread_waits", "probe_thread_level_3", "probe_thread_level_2",
                                        "probe_thread_level_1"}))
                << ::testing::PrintToString(names);
        }
    }
    EXPECT_TRUE(mainSeen);
    EXPECT_EQ(waiting, 2);
}

TEST(CrashProbe, TwoThreadsCrashingAtOnceGiveOneReportWithOneCrashedThread) {
    for (int run = 0; run < 5; ++run) {
        ProbeSandbox sandbox;
        sandbox.run({"two-threads"});
        auto report = sandbox.report();
        ASSERT_NE(report, nullptr) << "run " << run;
        expectSoundReport(sandbox, *report);
        // The thread that lost the race is shown where it was held: on its way
        // to the crash or, when it got there, where it crashed.
        int crashers = 0;
        for (size_t i = 0; i < report->n_threads; ++i) {
            auto names = frameNames(report->threads[i]->frames, report->threads[i]->n_frames);
            if (inOrder(names, {"probe_crash_together"})) ++crashers;
        }
        EXPECT_EQ(crashers, 2) << "run " << run;
    }
}

TEST(CrashProbe, AThreadThatDoesNotAnswerIsListedByNumberOnly) {
    ProbeSandbox sandbox;
    ProbeRun run = sandbox.run({"blocked-thread"});
    EXPECT_TRUE(run.signalled(SIGSEGV)) << run.output;
    auto report = sandbox.report();
    ASSERT_NE(report, nullptr);
    ASSERT_EQ(report->n_threads, 2u);
    const auto* other = report->threads[0]->crashed ? report->threads[1] : report->threads[0];
    EXPECT_FALSE(other->crashed);
    EXPECT_EQ(other->n_frames, 0u);
    EXPECT_EQ(other->n_registers, 0u);
    auto names = frameNames(crashedThread(*report)->frames, crashedThread(*report)->n_frames);
    EXPECT_TRUE(inOrder(names, {"probe_segv_inner", "probe_segv_middle", "probe_segv_outer", "main"}));
}

TEST(CrashProbe, AnUncaughtExceptionIsNamedWithItsStack) {
    for (bool usage : {false, true}) {
        ProbeSandbox sandbox;
        std::vector<std::string> arguments = {"exception"};
        if (usage) arguments.push_back("--usage");
        ProbeRun run = sandbox.run(arguments);
        EXPECT_TRUE(run.signalled(SIGABRT)) << run.output;
        auto report = sandbox.report();
        ASSERT_NE(report, nullptr) << run.output;
        expectSoundReport(sandbox, *report);
        ASSERT_NE(report->exception, nullptr);
        EXPECT_STREQ(report->exception->name, "std::runtime_error");
        EXPECT_STREQ(report->exception->reason, "the probe's own reason");
        auto names = frameNames(report->exception->frames, report->exception->n_frames);
        EXPECT_TRUE(inOrder(names, {"probe_throw_inner", "probe_throw_outer", "main"})) << ::testing::PrintToString(names);
        EXPECT_STREQ(report->signal->name, "SIGABRT");
    }
}

TEST(CrashProbe, AThreadStoppedAtAddressZeroHasNeitherFramesNorRegisters) {
    // Its walk gives no frame: registers without a frame to go with them would
    // describe nothing the report shows.
    ProbeSandbox sandbox;
    ProbeRun run = sandbox.run({"null-call"});
    EXPECT_TRUE(run.signalled(SIGSEGV)) << run.output;
    auto report = sandbox.report();
    ASSERT_NE(report, nullptr) << run.output;
    const auto* thread = crashedThread(*report);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(thread->n_frames, 0u);
    EXPECT_EQ(thread->n_registers, 0u);
    EXPECT_EQ(report->signal->address, 0u);
}

TEST(CrashProbe, AForkedChildAndThenItsParentEachLeaveAWholeReportOfTheirOwn) {
    ProbeSandbox sandbox;
    std::filesystem::path childReport = sandbox.root() / "child.crashlg";
    ProbeRun run = sandbox.run({"fork-then-parent", "--out", childReport.string()});
    EXPECT_TRUE(run.signalled(SIGSEGV)) << run.output;
    unsigned child = 0, parent = 0;
    size_t at = run.output.find("child ");
    ASSERT_NE(at, std::string::npos) << run.output;
    ASSERT_EQ(std::sscanf(run.output.c_str() + at, "child %u parent %u", &child, &parent), 2) << run.output;

    auto first = testing::decodeReport(testing::readBytes(childReport));
    auto second = sandbox.report();
    ASSERT_NE(first, nullptr) << "the child's report";
    ASSERT_NE(second, nullptr) << "the parent's report";
    struct Expected {
        const Report* report;
        unsigned process;
        unsigned parent;
        size_t threads;
    } cases[] = {{first.get(), child, parent, 1}, {second.get(), parent, 0, 2}};
    for (const Expected& c : cases) {
        SCOPED_TRACE(c.process);
        EXPECT_EQ(c.report->process_info->process_id, c.process);
        if (c.parent != 0) {
            EXPECT_EQ(c.report->process_info->parent_process_id, c.parent);
            EXPECT_STREQ(c.report->process_info->parent_process_name, c.report->process_info->process_name);
        }
        EXPECT_EQ(c.report->n_threads, c.threads) << "the threads of that process only";
        const auto* thread = crashedThread(*c.report);
        ASSERT_NE(thread, nullptr);
        auto names = frameNames(thread->frames, thread->n_frames);
        EXPECT_TRUE(inOrder(names, {"probe_segv_inner", "probe_segv_outer", "main"})) << ::testing::PrintToString(names);
    }
    EXPECT_GE(first->process_info->start_time, second->process_info->start_time) << "the child's own start";
    for (const auto& entry : std::filesystem::directory_iterator(sandbox.reportFolder())) {
        std::string file = entry.path().filename().string();
        EXPECT_TRUE(file == "live_report.crashlg" || file == "queued_reports") << file;
    }
}

TEST(CrashProbe, AForkedChildThatCrashesTwiceKeepsItsFirstReport) {
    // The child's second crash comes while its first report is written: it
    // waits, and once the first report is complete it does not write over it
    // (the first crashing thread is held in the crash callback meanwhile).
    ProbeSandbox sandbox;
    ProbeRun run = sandbox.run({"fork-crash-twice"});
    EXPECT_TRUE(run.exitedCleanly()) << run.output;
    auto report = sandbox.report();
    ASSERT_NE(report, nullptr) << run.output;
    const auto* thread = crashedThread(*report);
    ASSERT_NE(thread, nullptr);
    auto names = frameNames(thread->frames, thread->n_frames);
    EXPECT_TRUE(inOrder(names, {"probe_segv_inner", "probe_segv_outer", "main"})) << ::testing::PrintToString(names);
}

TEST(CrashProbe, AProcessWithMoreMemoryRangesThanTheMapHoldsIsStillWalked) {
    // Over 9000 ranges, more than the 8192 the map holds: the stacks and the
    // libraries lie above the ranges it keeps.
    struct Case {
        const char* scenario;
        bool usage;
        std::vector<std::string> frames;
    } cases[] = {
        {"segv", false, {"probe_segv_inner", "probe_segv_middle", "probe_segv_outer", "main"}},
        {"segv", true, {"probe_segv_inner", "probe_segv_middle", "probe_segv_outer", "main"}},
        {"exception", false, {"probe_throw_inner", "probe_throw_outer", "main"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.scenario) + (c.usage ? " (second instance)" : ""));
        ProbeSandbox sandbox;
        std::vector<std::string> arguments = {c.scenario, "--mappings", "9000"};
        if (c.usage) arguments.push_back("--usage");
        ProbeRun run = sandbox.run(arguments);
        auto report = sandbox.report();
        ASSERT_NE(report, nullptr) << run.output;
        const auto* exception = report->exception;
        auto names = exception ? frameNames(exception->frames, exception->n_frames)
                               : frameNames(crashedThread(*report)->frames, crashedThread(*report)->n_frames);
        EXPECT_TRUE(inOrder(names, c.frames)) << ::testing::PrintToString(names);
    }
}

TEST(CrashProbe, ALibraryOpenedAfterEnablingIsNamedAndUnwound) {
    // Its code keeps no frame pointers: only its unwind tables lead out of it,
    // which the second instance does not read; it still names the crashed frame.
    for (bool usage : {false, true}) {
        SCOPED_TRACE(usage ? "second instance" : "main instance");
        ProbeSandbox sandbox;
        std::vector<std::string> arguments = {"plugin", "--plugin", CRASH_PROBE_PLUGIN_PATH};
        if (usage) arguments.push_back("--usage");
        ProbeRun run = sandbox.run(arguments);
        EXPECT_TRUE(run.signalled(SIGSEGV)) << run.output;
        auto report = sandbox.report();
        ASSERT_NE(report, nullptr) << run.output;
        const auto* thread = crashedThread(*report);
        ASSERT_NE(thread, nullptr);
        auto names = frameNames(thread->frames, thread->n_frames);
        ASSERT_FALSE(names.empty());
        EXPECT_EQ(names[0], "plugin_crash_inner");
        if (!usage) {
            EXPECT_TRUE(inOrder(names, {"plugin_crash_inner", "plugin_crash_middle", "crash_probe_plugin_run",
                                        "probe_plugin_outer", "main"}))
                << ::testing::PrintToString(names);
        }
        std::string image = imageOf(*report, thread->frames[0]->pc);
        EXPECT_EQ(std::filesystem::path(image).filename(), std::filesystem::path(CRASH_PROBE_PLUGIN_PATH).filename());
    }
}

TEST(CrashProbe, AStackOf600FramesKeeps512) {
    ProbeSandbox sandbox;
    sandbox.run({"frames-600"});
    auto report = sandbox.report();
    ASSERT_NE(report, nullptr);
    const auto* thread = crashedThread(*report);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(thread->n_frames, 512u);
    auto names = frameNames(thread->frames, thread->n_frames);
    EXPECT_TRUE(inOrder(names, {"probe_segv_inner", "probe_segv_outer", "probe_deep_bottom_crashes", "probe_deep"}));
}

TEST(CrashProbe, SixtyFourDeepThreadsStillGiveAValidReportWithinTheLimit) {
    ProbeSandbox sandbox;
    ProbeRun run = sandbox.run({"deep-threads", "--threads", "64", "--depth", "64"});
    EXPECT_TRUE(run.signalled(SIGSEGV)) << run.output;
    auto report = sandbox.report();
    ASSERT_NE(report, nullptr) << "the report does not decode";
    expectSoundReport(sandbox, *report);
    const auto* thread = crashedThread(*report);
    auto names = frameNames(thread->frames, thread->n_frames);
    EXPECT_TRUE(inOrder(names, {"probe_segv_inner", "probe_deep_bottom_crashes", "probe_deep"}));
    EXPECT_STREQ(report->signal->name, "SIGSEGV");
    // Not every thread fits: those left out are left out whole.
    EXPECT_LT(report->n_threads, 65u);
    for (size_t i = 0; i < report->n_threads; ++i) {
        if (!report->threads[i]->crashed) {
            EXPECT_GE(report->threads[i]->n_frames, 67u) << i;
        }
    }
}

TEST(CrashProbe, CrashCallbacksRunOnceAfterACompleteReportAndNeverAfterAFailedOne) {
    ProbeSandbox sandbox;
    std::filesystem::path marker = sandbox.root() / "marker";
    ProbeRun run = sandbox.run({"callback", "--out", marker.string()});
    EXPECT_TRUE(run.signalled(SIGSEGV)) << run.output;
    ASSERT_NE(sandbox.report(), nullptr);
    auto written = testing::readBytes(marker);
    EXPECT_EQ(std::string(written.begin(), written.end()), "callback 11\n");

    ProbeSandbox failing;
    std::filesystem::path failedMarker = failing.root() / "marker";
    run = failing.run({"callback-fails", "--out", failedMarker.string()});
    EXPECT_TRUE(run.signalled(SIGSEGV)) << run.output;
    EXPECT_FALSE(std::filesystem::exists(failedMarker));
    // No half report is left pending, and no spare file either.
    EXPECT_FALSE(std::filesystem::exists(failing.reportPath()));
    for (const auto& entry : std::filesystem::directory_iterator(failing.reportFolder())) {
        EXPECT_EQ(entry.path().filename(), "queued_reports");
    }
}

TEST(CrashProbe, TheProbeNoticesHeapUseOnTheCrashPath) {
    if (std::string(STROMBEL_SANITIZE_BUILD) != "") GTEST_SKIP() << "the sanitizers own malloc in this build";
    ProbeSandbox sandbox;
    ProbeRun run = sandbox.run({"callback-mallocs"});
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 97) << run.status << "\n" << run.output;
    EXPECT_NE(run.output.find("heap used on the crash path: malloc"), std::string::npos) << run.output;
}

TEST(CrashProbe, WithoutAReporterNothingIsWritten) {
    ProbeSandbox sandbox;
    ProbeRun run = sandbox.run({"none"});
    EXPECT_TRUE(run.signalled(SIGSEGV)) << run.output;
    EXPECT_FALSE(std::filesystem::exists(sandbox.reportPath()));
}

TEST(CrashProbe, ALiveReportOfTheCallingThread) {
    ProbeSandbox sandbox;
    std::filesystem::path out = sandbox.root() / "live.crashlg";
    ProbeRun run = sandbox.run({"live", "--out", out.string()});
    EXPECT_TRUE(run.exitedCleanly()) << run.output;
    auto report = testing::decodeReport(testing::readBytes(out));
    ASSERT_NE(report, nullptr);
    EXPECT_TRUE(report->report_info->user_requested);
    EXPECT_STREQ(report->signal->name, "SIGTRAP");
    EXPECT_STREQ(report->signal->code, "TRAP_TRACE");
    const auto* thread = crashedThread(*report);
    ASSERT_NE(thread, nullptr);
    EXPECT_GT(thread->n_registers, 0u);
    auto names = frameNames(thread->frames, thread->n_frames);
    EXPECT_TRUE(inOrder(names, {"probe_live_report", "main"})) << ::testing::PrintToString(names);
    // The signal's address is the caller's next instruction, inside the probe.
    EXPECT_NE(report->signal->address, 0u);
    // A live report leaves nothing pending.
    EXPECT_FALSE(std::filesystem::exists(sandbox.reportPath()));
}

TEST(CrashProbe, ALiveReportOfAnotherThreadWhichRunsOnAfter) {
    for (bool usage : {false, true}) {
        ProbeSandbox sandbox;
        std::filesystem::path out = sandbox.root() / "live.crashlg";
        std::vector<std::string> arguments = {"live-thread", "--out", out.string()};
        if (usage) arguments.push_back("--usage");
        ProbeRun run = sandbox.run(arguments);
        EXPECT_TRUE(run.exitedCleanly()) << run.output;
        auto report = testing::decodeReport(testing::readBytes(out));
        ASSERT_NE(report, nullptr);
        const auto* thread = crashedThread(*report);
        ASSERT_NE(thread, nullptr);
        auto names = frameNames(thread->frames, thread->n_frames);
        EXPECT_TRUE(inOrder(names, {"probe_thread_waits", "probe_thread_level_3", "probe_thread_level_1"}))
            << ::testing::PrintToString(names);
        // The calling thread is left out: only the waiting thread is listed.
        EXPECT_EQ(report->n_threads, 1u);
    }
}

TEST(CrashProbe, EitherInstanceFindsAndPurgesTheOthersReport) {
    for (bool writtenBySecond : {false, true}) {
        ProbeSandbox sandbox;
        std::vector<std::string> arguments = {"segv"};
        if (writtenBySecond) arguments.push_back("--usage");
        sandbox.run(arguments);
        platform::Sandbox::setShared(std::make_unique<platform::Sandbox>(sandbox.root(), sandbox.root() / "bundle"));
        CrashReporter main("org.strombel.crashprobe", "1.0", CrashReporterConfig());
        UsageCrashReporter usage("org.strombel.crashprobe", "1.0", CrashReporterConfig());
        ASSERT_TRUE(main.hasPendingCrashReport());
        ASSERT_TRUE(usage.hasPendingCrashReport());
        auto loaded = (writtenBySecond ? static_cast<CrashReporterBase&>(main) : usage).loadPendingCrashReportData();
        ASSERT_TRUE(loaded.ok());
        EXPECT_NE(testing::decodeReport(loaded.value()), nullptr);
        ASSERT_TRUE((writtenBySecond ? static_cast<CrashReporterBase&>(main) : usage).purgePendingCrashReport().ok());
        EXPECT_FALSE(main.hasPendingCrashReport());
        EXPECT_FALSE(usage.hasPendingCrashReport());
        platform::Sandbox::setShared(nullptr);
    }
}

// --- The probe as -O2 code without frame pointers --------------------------------------

// Only the unwind tables lead out of such code, and out of the C library's and
// libstdc++'s: every function on the stack is named all the same.
struct FramelessCase {
    const char* scenario;
    int signal;
    std::vector<std::string> frames;  // in the crashed thread, in call order
};

const FramelessCase framelessCases[] = {
    {"segv", SIGSEGV, {"probe_segv_inner", "probe_segv_middle", "probe_segv_outer", "main", "__libc_start_main"}},
    {"abort", SIGABRT, {"raise", "abort", "probe_abort_inner", "probe_abort_outer", "main", "__libc_start_main"}},
    {"qsort", SIGSEGV, {"probe_qsort_compare", "qsort_r", "probe_qsort_outer", "main", "__libc_start_main"}},
    {"thread-crash", SIGSEGV, {"probe_segv_inner", "probe_segv_middle", "probe_segv_outer", "probe_crash_on_thread"}},
    {"deep-threads", SIGSEGV, {"probe_segv_inner", "probe_deep_bottom_crashes", "probe_deep", "probe_deep", "main"}},
};

TEST(CrashProbeFrameless, EveryFunctionOnTheCrashedStackIsNamed) {
    for (const FramelessCase& c : framelessCases) {
        SCOPED_TRACE(c.scenario);
        ProbeSandbox sandbox;
        ProbeRun run = sandbox.run({c.scenario, "--threads", "2", "--depth", "8"}, CRASH_PROBE_FRAMELESS_PATH);
        EXPECT_TRUE(run.signalled(c.signal)) << run.output;
        auto report = sandbox.report();
        ASSERT_NE(report, nullptr) << run.output;
        const auto* thread = crashedThread(*report);
        ASSERT_NE(thread, nullptr);
        auto names = frameNames(thread->frames, thread->n_frames);
        std::vector<std::string> frames = c.frames;
        if (std::string(STROMBEL_SANITIZE_BUILD) != "") {
            // The sanitizers sort for qsort themselves: the C library's function is not on the stack.
            frames.erase(std::remove(frames.begin(), frames.end(), "qsort_r"), frames.end());
        }
        EXPECT_TRUE(inOrder(names, frames)) << ::testing::PrintToString(names);
        EXPECT_EQ(run.output.find("heap used"), std::string::npos) << run.output;
    }
}

TEST(CrashProbeFrameless, OtherThreadsAreWalkedToTheirStartInTheCLibrary) {
    ProbeSandbox sandbox;
    sandbox.run({"deep-threads", "--threads", "3", "--depth", "6"}, CRASH_PROBE_FRAMELESS_PATH);
    auto report = sandbox.report();
    ASSERT_NE(report, nullptr);
    int waiting = 0;
    for (size_t i = 0; i < report->n_threads; ++i) {
        const auto* thread = report->threads[i];
        auto names = frameNames(thread->frames, thread->n_frames);
        if (thread->crashed || names.empty() || names[0] != "probe_thread_waits") continue;
        ++waiting;
        EXPECT_TRUE(inOrder(names, {"probe_thread_waits", "probe_deep_bottom_waits", "probe_deep", "probe_deep"}))
            << ::testing::PrintToString(names);
        // libstdc++'s thread start, then the C library's (whose names it keeps to itself).
        auto run = std::find_if(names.begin(), names.end(), [](const std::string& name) {
            return name.find("_M_run") != std::string::npos;
        });
        ASSERT_NE(run, names.end()) << ::testing::PrintToString(names);
        uint64_t last = thread->frames[thread->n_frames - 1]->pc;
        EXPECT_NE(imageOf(*report, last).find("libc.so"), std::string::npos) << std::hex << last;
    }
    EXPECT_EQ(waiting, 3);
}

TEST(CrashProbeFrameless, AnUncaughtExceptionListsTheThrowSiteThroughLibstdcxx) {
    ProbeSandbox sandbox;
    ProbeRun run = sandbox.run({"exception"}, CRASH_PROBE_FRAMELESS_PATH);
    EXPECT_TRUE(run.signalled(SIGABRT)) << run.output;
    auto report = sandbox.report();
    ASSERT_NE(report, nullptr) << run.output;
    ASSERT_NE(report->exception, nullptr);
    auto names = frameNames(report->exception->frames, report->exception->n_frames);
    EXPECT_TRUE(inOrder(names, {"_ZSt9terminatev", "__cxa_throw", "probe_throw_inner", "probe_throw_outer", "main"}))
        << ::testing::PrintToString(names);
    // The crashed thread itself stands in abort(), called by the terminate handler.
    auto crashed = frameNames(crashedThread(*report)->frames, crashedThread(*report)->n_frames);
    EXPECT_TRUE(inOrder(crashed, {"abort", "_ZSt9terminatev", "__cxa_throw", "probe_throw_inner", "main"}))
        << ::testing::PrintToString(crashed);
}

TEST(CrashProbeFrameless, ALiveReportInASignalHandlerWalksIntoTheInterruptedCode) {
    ProbeSandbox sandbox;
    std::filesystem::path out = sandbox.root() / "live.crashlg";
    ProbeRun run = sandbox.run({"live-in-handler", "--out", out.string()}, CRASH_PROBE_FRAMELESS_PATH);
    EXPECT_TRUE(run.exitedCleanly()) << run.output;
    auto report = testing::decodeReport(testing::readBytes(out));
    ASSERT_NE(report, nullptr) << run.output;
    const auto* thread = crashedThread(*report);
    ASSERT_NE(thread, nullptr);
    auto names = frameNames(thread->frames, thread->n_frames);
    EXPECT_TRUE(inOrder(names, {"probe_live_report", "probe_signal_handler", "probe_interrupted_inner",
                                "probe_interrupted_outer", "main", "__libc_start_main"}))
        << ::testing::PrintToString(names);
}

}  // namespace
}  // namespace strombel::crash
