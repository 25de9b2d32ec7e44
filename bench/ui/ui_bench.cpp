// What the screens cost: drawing every interface picture of a layout at start,
// the output meter's update twenty times a second, and one frame of the pad
// screen's panels rendered offscreen.
//
//   QT_QPA_PLATFORM=offscreen build/bench/ui/bench_ui

#include <benchmark/benchmark.h>

#include <QApplication>
#include <cmath>
#include <memory>

#include "platform/clock.h"
#include "platform/main_loop.h"
#include "ui/audio_output_meter.h"
#include "ui/image_generator.h"
#include "ui/image_store.h"
#include "ui/kit/context.h"
#include "ui/kit/image_view.h"
#include "ui/kit/window.h"

namespace {

using namespace strombel;

struct Environment {
    Environment() : app(argc, argv), loop(clock), context(loop) {
        ui::ImageStore::setShared(std::make_unique<ui::ImageStore>(std::filesystem::path()));
    }
    ~Environment() { ui::ImageStore::setShared(nullptr); }
    int argc = 1;
    char name[10] = "bench_ui";
    char* argv[2] = {name, nullptr};
    QApplication app;
    platform::ManualClock clock;
    platform::MainLoop loop{platform::SystemClock::shared()};
    ui::kit::Context context;
};

Environment& environment() {
    static Environment* made =
        std::make_unique<Environment>().release();  // lives to the end of the run
    return *made;
}

void DrawEveryPictureOfALayout(benchmark::State& state) {
    environment();
    const auto variant = static_cast<ui::ImageVariant>(state.range(0));
    const auto names = ui::ImageGenerator::names();
    for (auto _ : state) {
        for (const auto& name : names)
            benchmark::DoNotOptimize(ui::ImageGenerator::draw(name, variant, 2.0));
    }
    state.SetLabel(state.range(0) == 0 ? "tablet" : state.range(0) == 1 ? "phone" : "portrait");
}
BENCHMARK(DrawEveryPictureOfALayout)->Arg(0)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond);

void MeterUpdate(benchmark::State& state) {
    environment();
    ui::AudioOutputMeter meter(ui::GuiType::tablet);
    float phase = 0;
    for (auto _ : state) {
        phase += 0.37f;
        meter.setAudioOuputLeft(0.5f + 0.5f * std::sin(phase), 0.5f + 0.5f * std::cos(phase));
    }
}
BENCHMARK(MeterUpdate);

void RenderTabletPanelsOffscreen(benchmark::State& state) {
    environment();
    ui::kit::Window window;
    auto root = std::make_unique<ui::kit::View>(QRectF(0, 0, 1024, 768));
    root->add(
        std::make_unique<ui::kit::ImageView>(ui::ImageStore::shared().image("background.png")));
    for (int i = 0; i < 6; ++i) {
        auto panel = std::make_unique<ui::kit::ImageView>(
            ui::ImageStore::shared().image("linesTapButtons.png"));
        panel->setX(40 + (i % 2) * 487, 65 + (i / 2) * 95);
        root->add(std::move(panel));
    }
    window.setRootView(std::move(root));
    for (auto _ : state) benchmark::DoNotOptimize(window.render(1.0));
}
BENCHMARK(RenderTabletPanelsOffscreen)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
