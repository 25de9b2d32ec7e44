// The real program started and ended by SIGTERM again and again, at random moments
// from its first instruction to long after its launch, on the build's JACK server
// (its sound, its MIDI ports and the hub's output ports are JACK clients) and with
// no sound server at all. Every ending must be the program's own: status 0,
// nothing from a sanitizer, no core. Half the cycles run on the JACK server, one
// program at a time; the others run side by side with it, each on its own folder.
//
// The environment tunes a run (scripts/stress-shutdown makes a long one):
//   STROMBEL_STRESS_CYCLES   cycles in all (30 for each commit; scripts/stress-shutdown runs 500)
//   STROMBEL_STRESS_WORKERS  programs running side by side (3)
//   STROMBEL_STRESS_SECONDS  no cycle starts after this long (600)
//   STROMBEL_STRESS_SEED     seed of the delays (a fresh one; printed, to repeat a run)

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace strombel::app {
namespace {

using Clock = std::chrono::steady_clock;

long environmentNumber(const char* name, long fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtol(text, nullptr, 10) : fallback;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

/// What a sanitizer or a crash left on the program's standard error, or nothing.
std::string sanitizerReport(const std::string& errors) {
    for (const char* mark : {"Sanitizer", "runtime error:"}) {
        if (const size_t at = errors.find(mark); at != std::string::npos) {
            const size_t from = errors.rfind('\n', at);
            return errors.substr(from == std::string::npos ? 0 : from + 1, 600);
        }
    }
    return {};
}

struct Tally {
    std::mutex mutex;
    int cycles = 0;
    int onJack = 0;
    double longestEnding = 0;
    std::vector<std::string> failures;
};

TEST(ProgramShutdown, StartsEndedBySigtermAtRandomMomentsAlwaysEndCleanly) {
    const int cycles = int(environmentNumber("STROMBEL_STRESS_CYCLES", 30));
    const int workers = std::max(1, int(environmentNumber("STROMBEL_STRESS_WORKERS", 3)));
    const auto bound = std::chrono::seconds(environmentNumber("STROMBEL_STRESS_SECONDS", 600));
    const unsigned seed = unsigned(environmentNumber("STROMBEL_STRESS_SEED", long(std::random_device{}() >> 1)));
    const char* jackServer = std::getenv("JACK_DEFAULT_SERVER");
    ASSERT_TRUE(jackServer && *jackServer) << "run by ctest, which starts the JACK server";

    strombel::testing::TempDir temp;
    Tally tally;
    const Clock::time_point begun = Clock::now();
    std::vector<std::thread> running;
    for (int worker = 0; worker < workers; ++worker) {
        running.emplace_back([&, worker] {
            std::mt19937 random(seed + unsigned(worker));
            std::uniform_real_distribution<double> delays(0.0, 3.0);
            const auto root = temp / ("root-" + std::to_string(worker));
            // The hub's directory of services in the run's own folder, not the machine's.
            const auto runtime = temp / ("runtime-" + std::to_string(worker));
            std::filesystem::create_directories(runtime);
            std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
            const auto errorsFile = temp / ("stderr-" + std::to_string(worker));
            const std::vector<std::string> common{"QT_QPA_PLATFORM=offscreen", "DISPLAY", "WAYLAND_DISPLAY",
                                                  "XDG_RUNTIME_DIR=" + runtime.string()};
            std::vector<std::string> withJack = common, withoutSoundServer = common;
            withJack.push_back("STROMBEL_AUDIO");
            withoutSoundServer.push_back("STROMBEL_AUDIO=null");
            withoutSoundServer.push_back("JACK_DEFAULT_SERVER=strombel-stress-no-server");
            const auto jackEnvironment = strombel::testing::environmentWith(withJack);
            const auto silentEnvironment = strombel::testing::environmentWith(withoutSoundServer);

            // The first worker runs every other cycle, all on the JACK server; the
            // rest share the others out, with no sound server.
            const int jackCycles = workers == 1 ? cycles / 2 : (cycles + 1) / 2;
            const bool onJack = worker == 0;
            for (int cycle = 0; cycle < cycles; ++cycle) {
                if (Clock::now() - begun > bound) return;
                const bool jack = workers == 1 ? cycle % 2 == 0 : cycle < jackCycles;
                if (workers > 1 && jack != onJack) continue;
                if (workers > 1 && !jack && (cycle - jackCycles) % (workers - 1) != worker - 1) continue;
                const double delay = delays(random);
                const int errors = ::open(errorsFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                // SIGTERM is held from the spawn: one sent before the program's first
                // instruction (while the loader still maps its libraries) waits for
                // the program to take it, as every later one must be.
                strombel::testing::ChildProcess program({STROMBEL_PROGRAM, "--root", root.string()},
                                                        jack ? jackEnvironment : silentEnvironment, -1, errors,
                                                        {SIGTERM});
                ::close(errors);
                std::string failure;
                double ending = 0;
                if (!program.started()) {
                    failure = "did not start";
                } else {
                    std::this_thread::sleep_for(std::chrono::duration<double>(delay));
                    const Clock::time_point signalled = Clock::now();
                    program.signal(SIGTERM);
                    const std::optional<int> status = program.wait(60);
                    ending = std::chrono::duration<double>(Clock::now() - signalled).count();
                    if (!status) {
                        failure = "did not end within 60 s";
                    } else if (WIFSIGNALED(*status)) {
                        failure = "died of signal " + std::to_string(WTERMSIG(*status)) +
                                  (WCOREDUMP(*status) ? " (core dumped)" : "");
                    } else if (WEXITSTATUS(*status) != 0) {
                        failure = "exited with " + std::to_string(WEXITSTATUS(*status));
                    }
                    if (std::string report = sanitizerReport(readFile(errorsFile)); !report.empty())
                        failure += (failure.empty() ? "" : "; ") + report;
                }
                std::lock_guard lock(tally.mutex);
                ++tally.cycles;
                tally.onJack += jack ? 1 : 0;
                tally.longestEnding = std::max(tally.longestEnding, ending);
                if (!failure.empty()) {
                    std::ostringstream line;
                    line << "cycle " << cycle << (jack ? " on the JACK server" : " with no sound server")
                         << ", SIGTERM after " << int(delay * 1000) << " ms: " << failure;
                    tally.failures.push_back(line.str());
                }
            }
        });
    }
    for (std::thread& worker : running) worker.join();

    const double seconds = std::chrono::duration<double>(Clock::now() - begun).count();
    std::cout << "ProgramShutdown: " << tally.cycles << " cycles (" << tally.onJack << " on the JACK server), "
              << tally.failures.size() << " not clean; SIGTERM after 0-3 s; seed " << seed << "; longest ending "
              << tally.longestEnding << " s; " << seconds << " s in all\n";
    EXPECT_EQ(tally.cycles, cycles) << "the time ran out after " << tally.cycles << " cycles";
    for (const std::string& failure : tally.failures) ADD_FAILURE() << failure;
}

}  // namespace
}  // namespace strombel::app
