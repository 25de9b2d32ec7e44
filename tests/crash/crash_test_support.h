#pragma once

// What the crash tests share: decoding a report file with protobuf-c, and
// running the crash probe in a sandbox of its own.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "crash_report.pb-c.h"
#include "support/temp_dir.h"

extern char** environ;

namespace strombel::crash::testing {

using Report = Crashlg__CrashReport;

struct ReportDeleter {
    void operator()(Report* report) const { crashlg__crash_report__free_unpacked(report, nullptr); }
};
using ReportPointer = std::unique_ptr<Report, ReportDeleter>;

/// The report in `bytes`, or nullptr when they are not a valid report file.
inline ReportPointer decodeReport(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < 8 || std::string(bytes.begin(), bytes.begin() + 7) != "crashlg" || bytes[7] != 1) return nullptr;
    return ReportPointer(crashlg__crash_report__unpack(nullptr, bytes.size() - 8, bytes.data() + 8));
}

inline std::vector<uint8_t> readBytes(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
}

/// The symbol names of a thread's or exception's frames, "?" where none.
inline std::vector<std::string> frameNames(Crashlg__CrashReport__Thread__StackFrame** frames, size_t count) {
    std::vector<std::string> names;
    for (size_t i = 0; i < count; ++i) names.push_back(frames[i]->symbol ? frames[i]->symbol->name : "?");
    return names;
}

/// Whether `wanted` appear in `names` in this order (others may come between).
inline bool inOrder(const std::vector<std::string>& names, const std::vector<std::string>& wanted) {
    size_t next = 0;
    for (const std::string& name : names) {
        if (next < wanted.size() && name == wanted[next]) ++next;
    }
    return next == wanted.size();
}

inline const Crashlg__CrashReport__Thread* crashedThread(const Report& report) {
    for (size_t i = 0; i < report.n_threads; ++i) {
        if (report.threads[i]->crashed) return report.threads[i];
    }
    return nullptr;
}

/// A thread that runs, then waits on its condition where a walk finds it,
/// until it is stopped: the thread the walking tests hold still. It lives with
/// the tests, as the capture itself never starts a thread.
struct crash_helper_thread {
    std::thread thread;
    std::mutex mutex;
    std::condition_variable condition;
    bool running = false;
    bool stopping = false;
};

/// Starts the thread and returns once it runs.
inline void crash_helper_thread_start(crash_helper_thread* helper) {
    helper->thread = std::thread([helper] {
        std::unique_lock lock(helper->mutex);
        helper->running = true;
        helper->condition.notify_all();
        helper->condition.wait(lock, [helper] { return helper->stopping; });
    });
    std::unique_lock lock(helper->mutex);
    helper->condition.wait(lock, [helper] { return helper->running; });
}

/// Wakes the thread and joins it.
inline void crash_helper_thread_stop(crash_helper_thread* helper) {
    {
        std::lock_guard lock(helper->mutex);
        helper->stopping = true;
    }
    helper->condition.notify_all();
    helper->thread.join();
}

/// How a run of the probe ended.
struct ProbeRun {
    int status = -1;  // from waitpid
    std::string output;
    bool signalled(int signal) const { return WIFSIGNALED(status) && WTERMSIG(status) == signal; }
    bool exitedCleanly() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
};

/// A sandbox root for the probe and the report folder inside it.
class ProbeSandbox {
public:
    std::filesystem::path root() const { return temp_.path(); }
    std::filesystem::path reportFolder() const {
        return temp_ / "Library/Caches/com.brindlemoor.crashreporter.data/org.strombel.crashprobe";
    }
    std::filesystem::path reportPath() const { return reportFolder() / "live_report.crashlg"; }

    /// Runs the probe (`probe`: its path) with `arguments`, its sanitizers' own
    /// signal handling off, waiting at most 60 s.
    ProbeRun run(const std::vector<std::string>& arguments, const char* probe = CRASH_PROBE_PATH) const {
        std::vector<std::string> environment;
        // The sanitizers' own signal handling is off in the probe: its crashes
        // are the reporter's to catch.
        for (char** variable = environ; *variable; ++variable) {
            std::string entry = *variable;
            if (entry.rfind("ASAN_OPTIONS=", 0) == 0 || entry.rfind("UBSAN_OPTIONS=", 0) == 0 ||
                entry.rfind("STROMBEL_ROOT=", 0) == 0) {
                continue;
            }
            environment.push_back(std::move(entry));
        }
        const std::string noSignals = "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0";
        environment.push_back("STROMBEL_ROOT=" + root().string());
        environment.push_back("ASAN_OPTIONS=" + noSignals + ":allow_user_segv_handler=1:use_sigaltstack=0:detect_leaks=0");
        environment.push_back("UBSAN_OPTIONS=" + noSignals + ":print_stacktrace=1:halt_on_error=1");
        std::vector<char*> envp;
        for (std::string& variable : environment) envp.push_back(variable.data());
        envp.push_back(nullptr);
        std::vector<std::string> args = {probe};
        args.insert(args.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);

        std::filesystem::path output = temp_ / "probe-output.txt";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        pid_t pid = 0;
        ProbeRun run;
        int spawned = posix_spawn(&pid, probe, &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) return run;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (;;) {
            pid_t done = waitpid(pid, &run.status, WNOHANG);
            if (done == pid) break;
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &run.status, 0);
                run.output = "timed out\n";
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        auto bytes = readBytes(output);
        run.output += std::string(bytes.begin(), bytes.end());
        return run;
    }

    ReportPointer report() const { return decodeReport(readBytes(reportPath())); }

private:
    strombel::testing::TempDir temp_;
};

}  // namespace strombel::crash::testing
