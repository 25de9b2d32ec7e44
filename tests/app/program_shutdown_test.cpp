// The real program started and ended with SIGTERM again and again while a JACK
// server runs: its MIDI ports are JACK clients of their own, and every ending
// must be clean, never a crash.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace strombel::app {
namespace {

/// Waits up to `seconds` until process `pid` catches SIGTERM (its SigCgt mask in
/// /proc); false if it ends or the time runs out first. Until then the default
/// action ends it, as it ends any program that is still being loaded.
bool waitUntilCatchingSigterm(pid_t pid, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        if (!status) return false;
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("SigCgt:", 0) == 0 && (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

TEST(ProgramShutdown, AHundredStartsEndedBySigtermWithAJackServerNeverCrash) {
    constexpr int kWorkers = 1;
    constexpr int kCyclesEach = 100;
    strombel::testing::TempDir temp;
    std::mutex failuresMutex;
    std::vector<std::string> failures;
    std::vector<std::thread> workers;
    for (int worker = 0; worker < kWorkers; ++worker) {
        workers.emplace_back([&, worker] {
            // A store that cannot be opened (a folder where the file belongs)
            // makes the start short, so that endings fall in every phase of it.
            const auto root = temp / ("root-" + std::to_string(worker));
            std::filesystem::create_directories(root / "Documents" / ".strombel.xcdatamodeld");
            // The hub's directory of services in the run's own folder, not the machine's.
            const auto runtime = temp / ("runtime-" + std::to_string(worker));
            std::filesystem::create_directories(runtime);
            std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
            const auto environment = strombel::testing::environmentWith({"STROMBEL_AUDIO=null", "QT_QPA_PLATFORM=offscreen",
                                                                         "DISPLAY", "WAYLAND_DISPLAY",
                                                                         "XDG_RUNTIME_DIR=" + runtime.string()});
            for (int cycle = 0; cycle < kCyclesEach; ++cycle) {
                strombel::testing::ChildProcess program({STROMBEL_PROGRAM, "--root", root.string()}, environment);
                if (!program.started()) {
                    std::lock_guard lock(failuresMutex);
                    failures.push_back("the program did not start");
                    return;
                }
                // On a busy machine loading the libraries alone may take longer
                // than 50 ms: the phases counted start where main() holds SIGTERM.
                if (!waitUntilCatchingSigterm(program.pid(), 30)) {
                    std::lock_guard lock(failuresMutex);
                    failures.push_back("the program never caught SIGTERM");
                    return;
                }
                // From 50 ms (still starting) to 300 ms (running), spread over the cycles.
                const int waitMs = 50 + ((cycle * 7 + worker * 3) % 6) * 50;
                std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
                program.signal(SIGTERM);
                const std::optional<int> status = program.wait(30);
                std::string failure;
                if (!status) {
                    failure = "did not end within 30 s";
                } else if (WIFSIGNALED(*status)) {
                    failure = "died of signal " + std::to_string(WTERMSIG(*status));
                } else if (WEXITSTATUS(*status) != 0) {
                    failure = "exited with " + std::to_string(WEXITSTATUS(*status));
                }
                if (!failure.empty()) {
                    std::lock_guard lock(failuresMutex);
                    failures.push_back("worker " + std::to_string(worker) + ", cycle " + std::to_string(cycle) +
                                       " (SIGTERM after " + std::to_string(waitMs) + " ms): " + failure);
                }
            }
        });
    }
    for (std::thread& worker : workers) worker.join();
    EXPECT_TRUE(failures.empty()) << failures.size() << " of " << kWorkers * kCyclesEach
                                  << " endings were not clean, the first: " << failures.front();
}

}  // namespace
}  // namespace strombel::app
