// What the information screen costs: presenting it over the pad screen, drawing
// it offscreen, the caller's share of counting a launch for the rating prompt
// (next to the bare queue hand-over it is built on), and a dialog page loaded in
// the web engine from a loopback server (the first load starts the engine).
//
//   QT_QPA_PLATFORM=offscreen build/bench/info/bench_info

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <QApplication>
#include <QWebEngineView>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "info/rating_prompt.h"
#include "platform/clock.h"
#include "platform/main_loop.h"
#include "platform/serial_queue.h"
#include "platform/user_defaults.h"
#include "ui/image_store.h"
#include "ui/info/social_dialog_panel.h"
#include "ui/info/strombel_information_view_controller.h"
#include "ui/kit/context.h"
#include "ui/kit/presenters.h"
#include "ui/kit/window.h"

namespace {

using namespace strombel;

struct Environment {
    Environment() {
        info::prepareWebEngine();
        app = std::make_unique<QApplication>(argc, argv);
        context = std::make_unique<ui::kit::Context>(loop);
        ui::ImageStore::setShared(std::make_unique<ui::ImageStore>(std::filesystem::path()));
    }
    int argc = 1;
    char name[11] = "bench_info";
    char* argv[2] = {name, nullptr};
    std::unique_ptr<QApplication> app;
    platform::ManualClock clock;
    platform::MainLoop loop{clock};
    std::unique_ptr<ui::kit::Context> context;
};

Environment& environment() {
    static Environment* made = std::make_unique<Environment>().release();  // lives to the end of the run
    return *made;
}

void PresentAndDismissInformationScreen(benchmark::State& state) {
    Environment& env = environment();
    ui::kit::Window window;
    window.setRootView(std::make_unique<ui::kit::View>(QRectF(0, 0, 1024, 768)));
    for (auto _ : state) {
        info::StrombelInformationViewController::present(std::make_unique<info::StrombelInformationViewController>(),
                                                         window, {});
        env.loop.advance(400 * platform::kNanosPerMillisecond);
        env.context->modals().dismiss(window, true);
        env.loop.advance(400 * platform::kNanosPerMillisecond);
    }
}
BENCHMARK(PresentAndDismissInformationScreen)->Unit(benchmark::kMillisecond);

void RenderInformationScreenOffscreen(benchmark::State& state) {
    environment();
    ui::kit::Window window;
    window.setRootView(std::make_unique<info::StrombelInformationViewController>());
    for (auto _ : state) benchmark::DoNotOptimize(window.render(1.0));
}
BENCHMARK(RenderInformationScreenOffscreen)->Unit(benchmark::kMillisecond);

/// The caller's cost of counting a launch: the hand-over to the prompt's queue.
/// The queue catches up, untimed, every 256 launches.
void AppLaunchedCallerCost(benchmark::State& state) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "strombel-bench-rating";
    std::filesystem::create_directories(folder);
    {
        platform::UserDefaults defaults(folder / "defaults.sqlite");
        info::RatingPrompt prompt(defaults, "1.0");
        int64_t count = 0;
        for (auto _ : state) {
            prompt.countUse(false);
            if (++count % 256 == 0) {
                state.PauseTiming();
                prompt.waitUntilIdle();
                state.ResumeTiming();
            }
        }
        prompt.waitUntilIdle();
    }
    std::filesystem::remove_all(folder);
}
// Each counted use writes the user defaults on the queue: a bounded run.
BENCHMARK(AppLaunchedCallerCost)->Unit(benchmark::kMicrosecond)->Iterations(2048);

/// The peer: an empty task handed to a serial queue.
void SerialQueueHandOver(benchmark::State& state) {
    platform::SerialQueue queue("bench");
    int64_t count = 0;
    for (auto _ : state) {
        queue.async([] {});
        if (++count % 256 == 0) {
            state.PauseTiming();
            queue.sync([] {});
            state.ResumeTiming();
        }
    }
    queue.sync([] {});
}
BENCHMARK(SerialQueueHandOver)->Unit(benchmark::kMicrosecond);

/// A loopback page in the web engine, from the request to the finished load.
/// The first iteration starts the engine; the label says how long that took.
void LoopbackPageLoad(benchmark::State& state) {
    environment();
    httplib::Server server;
    server.Get("/dialog/feed", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("<html><body><form action='socialconnect://success'><textarea></textarea>"
                             "<input type=submit></form></body></html>",
                             "text/html");
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread thread([&] { server.listen_after_bind(); });
    while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const QUrl url(QString("http://127.0.0.1:%1/dialog/feed").arg(port));
    QWebEngineView view;
    view.resize(600, 400);
    double first = -1;
    for (auto _ : state) {
        bool done = false;
        auto connection = QObject::connect(&view, &QWebEngineView::loadFinished, [&](bool) { done = true; });
        const auto start = std::chrono::steady_clock::now();
        view.load(url);
        while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (first < 0) first = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        QObject::disconnect(connection);
    }
    state.SetLabel("first load " + std::to_string(int(first)) + " ms");
    server.stop();
    thread.join();
}
BENCHMARK(LoopbackPageLoad)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
