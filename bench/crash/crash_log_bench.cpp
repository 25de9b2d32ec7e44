// Reading reports: a report of about 60 KiB (the crash probe's fourteen deep
// threads) decoded into the model beside protobuf-c's bare unpack and free of
// the same bytes; both text logs of it; and the upload document of 50 stored
// reports.
//
//   build/bench/crash/crash_log_bench
//
// Goals: the model within 2x of the bare unpack; each log under 1 ms.

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "crash/crash_log.h"
#include "crash/crash_log_text_formatter.h"
#include "crash/crash_upload_manager.h"
#include "crash_report.pb-c.h"
#include "platform/main_bundle.h"
#include "platform/main_loop.h"
#include "platform/notification_center.h"
#include "platform/sandbox.h"
#include "platform/user_defaults.h"

extern char** environ;

namespace {

using namespace strombel;
using namespace strombel::crash;

std::filesystem::path scratchFolder() {
    static const std::filesystem::path folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "strombel-bench-XXXXXX").string();
        return std::filesystem::path(mkdtemp(pattern.data()));
    }();
    return folder;
}

// The probe's report of fourteen threads 110 frames deep: about as large as a
// report gets (the writer stops at 64 KiB).
const std::vector<uint8_t>& largeReport() {
    static const std::vector<uint8_t> bytes = [] {
        std::filesystem::path root = scratchFolder() / "probe";
        std::vector<std::string> args = {CRASH_PROBE_PATH, "deep-threads", "--threads", "14", "--depth", "110"};
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        std::vector<std::string> environment = {"STROMBEL_ROOT=" + root.string()};
        std::vector<char*> envp;
        for (auto& variable : environment) envp.push_back(variable.data());
        envp.push_back(nullptr);
        pid_t pid = 0;
        if (posix_spawn(&pid, CRASH_PROBE_PATH, nullptr, nullptr, argv.data(), envp.data()) == 0) {
            int status = 0;
            waitpid(pid, &status, 0);
        }
        std::ifstream stream(root / "Library/Caches/com.brindlemoor.crashreporter.data/org.strombel.crashprobe/live_report.crashlg",
                             std::ios::binary);
        return std::vector<uint8_t>((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    }();
    return bytes;
}

// The logs' console line about symbol prefixes goes nowhere while measuring.
struct QuietConsole {
    QuietConsole() {
        std::fflush(stderr);
        saved = dup(2);
        FILE* null = std::fopen("/dev/null", "w");
        dup2(fileno(null), 2);
        std::fclose(null);
    }
    ~QuietConsole() {
        std::fflush(stderr);
        dup2(saved, 2);
        close(saved);
    }
    int saved;
};

void BM_BareUnpackAndFree(benchmark::State& state) {
    const std::vector<uint8_t>& bytes = largeReport();
    for (auto _ : state) {
        Crashlg__CrashReport* report = crashlg__crash_report__unpack(nullptr, bytes.size() - 8, bytes.data() + 8);
        benchmark::DoNotOptimize(report);
        crashlg__crash_report__free_unpacked(report, nullptr);
    }
    state.counters["report_bytes"] = static_cast<double>(bytes.size());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_BareUnpackAndFree)->Unit(benchmark::kMicrosecond);

void BM_DecodeIntoTheModel(benchmark::State& state) {
    const std::vector<uint8_t>& bytes = largeReport();
    for (auto _ : state) {
        platform::Result<CrashLog> report = CrashLog::initWithData(bytes);
        benchmark::DoNotOptimize(report);
    }
    state.counters["report_bytes"] = static_cast<double>(bytes.size());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_DecodeIntoTheModel)->Unit(benchmark::kMicrosecond);

void BM_GeneralLog(benchmark::State& state) {
    CrashLog report = CrashLog::initWithData(largeReport()).value();
    QuietConsole quiet;
    for (auto _ : state) {
        std::string log = CrashLogTextFormatter::stringValueForCrashReport(report, CrashLogTextFormat::iOS);
        benchmark::DoNotOptimize(log);
    }
}
BENCHMARK(BM_GeneralLog)->Unit(benchmark::kMicrosecond);

void BM_UploadLog(benchmark::State& state) {
    CrashLog report = CrashLog::initWithData(largeReport()).value();
    QuietConsole quiet;
    for (auto _ : state) {
        std::string log = CrashUploadTextFormatter::stringValueForCrashReport(report, "INSTALLATION");
        benchmark::DoNotOptimize(log);
    }
}
BENCHMARK(BM_UploadLog)->Unit(benchmark::kMicrosecond);

// The whole document of 50 stored reports: each read, decoded, its ".meta"
// read and its upload log made. No address is set, so nothing is posted.
void BM_DocumentOf50Reports(benchmark::State& state) {
    std::filesystem::path root = scratchFolder() / "document";
    platform::Sandbox sandbox(root, root / "bundle");
    platform::UserDefaults defaults(root / "defaults.sqlite");
    platform::MainLoop loop{platform::SystemClock::shared()};
    platform::NotificationCenter notifications;
    platform::MainBundle bundle(root / "bundle");
    CrashUploadServices services;
    services.sandbox = &sandbox;
    services.defaults = &defaults;
    services.bundle = &bundle;
    services.loop = &loop;
    services.notifications = &notifications;
    services.console = [](std::string_view) {};
    CrashUploadManager client(std::move(services));
    for (int i = 0; i < 50; ++i) {
        std::ofstream(client.crashesDirectory() / std::to_string(700000000 + i), std::ios::binary)
            .write(reinterpret_cast<const char*>(largeReport().data()), static_cast<std::streamsize>(largeReport().size()));
    }
    client.hasPendingCrashReport();
    QuietConsole quiet;
    for (auto _ : state) client.sendCrashReports();
    state.counters["reports"] = static_cast<double>(client.crashFiles().size());
}
BENCHMARK(BM_DocumentOf50Reports)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (largeReport().size() < 1024) {
        std::fprintf(stderr, "crash_log_bench: the probe left no report\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    std::filesystem::remove_all(scratchFolder(), ignored);
    return 0;
}
