// Addresses handed over to the running program while another process of the
// same user churns its address socket: connections opened and closed as fast
// as the machine allows, on two threads. 64 hand-overs go one after the other,
// each the way `strombel --open-url` tries (again for up to ten seconds), 50 ms
// apart.
//
//   build/bench/app/open_url_churn_bench
//
// Counters: hand-overs not taken ("refused"), the time each took (p50, p90,
// max, in seconds), the program's main loop in CPU per wall second while it
// serves ("server_cpu", 1 = a whole core), and the connections the churn got in.

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "app/main_loop_pump.h"
#include "app/open_url_handover.h"
#include "platform/data_folder_lock.h"
#include "support/temp_dir.h"

namespace {

using namespace strombel;

double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

/// Opens and closes connections to `path` until `stop`; counts those that connected.
void churn(const std::filesystem::path& path, const std::atomic<bool>& stop, std::atomic<uint64_t>& connected) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    while (!stop.load(std::memory_order_relaxed)) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            connected.fetch_add(1, std::memory_order_relaxed);
        ::close(fd);
    }
}

void BM_HandOversWhileTheSocketIsChurned(benchmark::State& state) {
    for (auto _ : state) {
        testing::TempDir dir;
        std::filesystem::create_directories(dir / "root");
        platform::DataFolderLock owner(dir / "root");
        const std::filesystem::path socket = app::OpenUrlServer::socketPathFor(dir / "root").value();
        app::OpenUrlServer server(socket, [](const std::string&) { return true; }, platform::MainLoop::shared());

        std::atomic<bool> stop{false}, done{false};
        std::atomic<uint64_t> connected{0};
        std::vector<std::thread> churners;
        for (int i = 0; i < 2; ++i) churners.emplace_back([&] { churn(socket, stop, connected); });
        std::vector<double> seconds;
        int refused = 0;
        std::thread handOvers([&] {
            for (int i = 0; i < 64; ++i) {
                // One every 50 ms at most: the churn goes on for seconds whatever the hand-overs take.
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                platform::DataFolderLock second(dir / "root");
                const auto begun = std::chrono::steady_clock::now();
                app::HandOverTries tries;
                tries.clock = &platform::SystemClock::shared();
                const app::SecondStart outcome = app::startOnOwnedFolder(
                    second, dir / "root", std::string("sn1://authorize#n=") + std::to_string(i), tries);
                seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count());
                if (outcome.status != 0) ++refused;
            }
            done = true;
        });
        const auto wallBegun = std::chrono::steady_clock::now();
        const double cpuBegun = threadSeconds();
        {
            // Qt's loop waits for events as the program's does, looking every 20 ms whether all went.
            QEventLoop serving;
            QTimer look;
            look.callOnTimeout([&] {
                if (done) serving.quit();
            });
            look.start(20);
            serving.exec();
        }
        const double cpu = threadSeconds() - cpuBegun;
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBegun).count();
        handOvers.join();
        stop = true;
        for (auto& thread : churners) thread.join();

        std::sort(seconds.begin(), seconds.end());
        state.counters["refused"] = refused;
        state.counters["p50_s"] = seconds[seconds.size() / 2];
        state.counters["p90_s"] = seconds[seconds.size() * 9 / 10];
        state.counters["max_s"] = seconds.back();
        state.counters["server_cpu"] = cpu / wall;
        state.counters["churned"] = double(connected.load());
    }
}
BENCHMARK(BM_HandOversWhileTheSocketIsChurned)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    // The server's time limits run on the main loop, pumped by Qt as in the program.
    strombel::platform::MainLoop::shared().bindToCurrentThread();
    strombel::app::MainLoopPump pump(strombel::platform::MainLoop::shared());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
