// The real program started and ended with SIGTERM again and again while a JACK
// server runs: its MIDI ports are JACK clients of their own, and every ending
// must be clean, never a crash.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace strombel::app {
namespace {

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
            const auto environment = strombel::testing::environmentWith(
                {"STROMBEL_AUDIO=null", "QT_QPA_PLATFORM=offscreen", "DISPLAY", "WAYLAND_DISPLAY"});
            for (int cycle = 0; cycle < kCyclesEach; ++cycle) {
                strombel::testing::ChildProcess program({STROMBEL_PROGRAM, "--root", root.string()}, environment);
                if (!program.started()) {
                    std::lock_guard lock(failuresMutex);
                    failures.push_back("the program did not start");
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
