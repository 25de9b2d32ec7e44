// The library browser (SORT) on a generated library of 100 packs of 50 samples
// and 50 banks, offscreen, against Qt's tree views over a standard item model
// holding the same two trees: opened with its first frame, every section
// expanded, reloaded after the library's samples changed, and one step of a
// dragged row rendered beside a still frame.
//
//   build/bench/ui/bench_library_browser

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QHBoxLayout>
#include <QImage>
#include <QStandardItemModel>
#include <QTreeView>
#include <QWidget>

#include <memory>
#include <string>

#include "library/sound_data_manager.h"
#include "platform/clock.h"
#include "platform/main_loop.h"
#include "platform/sandbox.h"
#include "platform/user_defaults.h"
#include "support/still_pad_engine.h"
#include "support/temp_dir.h"
#include "ui/drag_drop_table_view_controller.h"
#include "ui/image_store.h"
#include "ui/kit/context.h"
#include "ui/kit/window.h"

namespace {

using namespace strombel;

constexpr int kPacks = 100, kSamplesPerPack = 50, kBanks = 50, kPads = 12;

/// The application, the screens' context and the generated library, made once.
struct Environment {
    Environment()
        : app((qputenv("QT_QPA_PLATFORM", "offscreen"), argc), argv), loop(clock), context(loop) {
        (void)sandbox.createFolders();
        engine.tracksReady = true;
        ui::ImageStore::setShared(std::make_unique<ui::ImageStore>(sandbox.bundle(), 1.0));
        defaults = std::make_unique<platform::UserDefaults>(sandbox.preferences() / "defaults.sqlite");
        library = std::make_unique<library::SoundDataManager>(sandbox, *defaults, loop);
        auto& objects = library->managedObjectContext();
        std::vector<std::shared_ptr<library::Sample>> samples;
        for (int p = 0; p < kPacks; ++p) {
            auto pack = objects.insertSoundpack();
            pack->setPackId("pack" + std::to_string(p));
            pack->setName("Pack " + std::to_string(p));
            for (int s = 0; s < kSamplesPerPack; ++s) {
                auto sample = objects.insertSample();
                sample->setFilepath("Library/Caches/downloads/p" + std::to_string(p) + "_" + std::to_string(s) + ".wav");
                sample->setName("Hit " + std::to_string(p) + "." + std::to_string(s));
                sample->setSoundpack(pack);
                samples.push_back(sample);
            }
        }
        for (int b = 0; b < kBanks; ++b) {
            auto bank = objects.insertSoundbank();
            bank->setName("Bank " + std::to_string(b));
            bank->setOrderId(b);
            for (int pad = 0; pad < kPads; ++pad) {
                auto assignment = objects.insertSoundbankSample();
                assignment->setOrderId(pad);
                assignment->setSoundbank(bank);
                assignment->setSample(samples[size_t(b * kPads + pad) % samples.size()]);
            }
        }
        library->saveSamples();
        library->saveSoundbanks();
        loop.runPending();
    }
    ~Environment() { ui::ImageStore::setShared(nullptr); }

    int argc = 1;
    char name[22] = "bench_library_browser";
    char* argv[2] = {name, nullptr};
    QApplication app;
    platform::ManualClock clock;
    platform::MainLoop loop{platform::SystemClock::shared()};
    ui::kit::Context context;
    testing::TempDir dir;
    platform::Sandbox sandbox{dir / "root", STROMBEL_BENCH_BUNDLE_DIR};
    std::unique_ptr<platform::UserDefaults> defaults;
    std::unique_ptr<library::SoundDataManager> library;
    /// The browser only asks the engine to preview, which no step here does.
    testing::StillPadEngine engine;
};

/// Made and destroyed by main(): a QApplication left to the static destructors
/// would go after Qt's own statics, and the run would end in a crash.
Environment* runEnvironment = nullptr;

Environment& environment() { return *runEnvironment; }

/// The browser of the tablet layout in a window of its own size.
struct Browser {
    Browser() : controller(ui::GuiType::tablet, *environment().library, environment().engine) {
        std::unique_ptr<ui::kit::View> view = controller.takeView();
        size = view->frame().size().toSize();
        view->setX(0, 0);
        window.setRootView(std::move(view));
        window.resize(size);
    }
    ~Browser() { window.takeRootView(); }
    void expandAll() {
        for (ui::kit::TableView* table : {controller.srcTableView(), controller.dstTableView()})
            for (int section = 0; section < table->numberOfSections(); ++section) {
                controller.didSelectRow(*table, {section, 0});
                QCoreApplication::sendPostedEvents();
            }
    }
    ui::DragDropTableViewController controller;
    ui::kit::Window window;
    QSize size;
};

QSize browserSize() {
    static const QSize size = Browser().size;
    return size;
}

/// The same two trees in two tree views side by side, the browser's size.
struct Trees {
    Trees() {
        for (int p = 0; p < kPacks; ++p) {
            auto* header = new QStandardItem(QString("PACK %1").arg(p));
            for (int s = 0; s < kSamplesPerPack; ++s)
                header->appendRow(new QStandardItem(QString("HIT %1.%2").arg(p).arg(s)));
            packs.appendRow(header);
        }
        for (int b = 0; b < kBanks; ++b) {
            auto* header = new QStandardItem(QString("BANK %1").arg(b));
            for (int pad = 0; pad < kPads; ++pad)
                header->appendRow(new QStandardItem(QString("HIT %1").arg((b * kPads + pad) % kSamplesPerPack)));
            banks.appendRow(header);
        }
        auto* layout = new QHBoxLayout(&widget);
        layout->setContentsMargins(0, 0, 0, 0);
        packTree = new QTreeView;
        bankTree = new QTreeView;
        packTree->setModel(&packs);
        bankTree->setModel(&banks);
        layout->addWidget(packTree);
        layout->addWidget(bankTree);
        widget.resize(browserSize());
    }
    void expandAll() {
        packTree->expandAll();
        bankTree->expandAll();
    }
    QImage frame() {
        QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
        widget.render(&image);
        return image;
    }
    QStandardItemModel packs, banks;
    QWidget widget;
    QTreeView* packTree = nullptr;
    QTreeView* bankTree = nullptr;
};

void BrowserOpenWithFirstFrame(benchmark::State& state) {
    environment();
    for (auto _ : state) {
        Browser browser;
        benchmark::DoNotOptimize(browser.window.render(1.0));
    }
}
BENCHMARK(BrowserOpenWithFirstFrame)->Unit(benchmark::kMillisecond);

void TreeViewsOpenWithFirstFrame(benchmark::State& state) {
    environment();
    for (auto _ : state) {
        Trees trees;
        benchmark::DoNotOptimize(trees.frame());
    }
}
BENCHMARK(TreeViewsOpenWithFirstFrame)->Unit(benchmark::kMillisecond);

void BrowserExpandAll(benchmark::State& state) {
    environment();
    for (auto _ : state) {
        state.PauseTiming();
        auto browser = std::make_unique<Browser>();
        browser->window.render(1.0);
        state.ResumeTiming();
        browser->expandAll();
        benchmark::DoNotOptimize(browser->window.render(1.0));
        state.PauseTiming();
        browser.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BrowserExpandAll)->Unit(benchmark::kMillisecond);

void TreeViewsExpandAll(benchmark::State& state) {
    environment();
    for (auto _ : state) {
        state.PauseTiming();
        auto trees = std::make_unique<Trees>();
        trees->frame();
        state.ResumeTiming();
        trees->expandAll();
        benchmark::DoNotOptimize(trees->frame());
        state.PauseTiming();
        trees.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(TreeViewsExpandAll)->Unit(benchmark::kMillisecond);

void BrowserReloadAfterSamplesChanged(benchmark::State& state) {
    environment();
    Browser browser;
    browser.expandAll();
    for (auto _ : state) {
        browser.controller.samplesChanged();
        benchmark::DoNotOptimize(browser.window.render(1.0));
    }
}
BENCHMARK(BrowserReloadAfterSamplesChanged)->Unit(benchmark::kMillisecond);

void TreeViewsReload(benchmark::State& state) {
    environment();
    Trees trees;
    trees.expandAll();
    for (auto _ : state) {
        trees.packTree->reset();
        trees.bankTree->reset();
        trees.expandAll();
        benchmark::DoNotOptimize(trees.frame());
    }
}
BENCHMARK(TreeViewsReload)->Unit(benchmark::kMillisecond);

/// A row of the first pack picked up by the mouse, then moved a few points per
/// step with the frame rendered; beside it the same browser rendered still.
void BrowserDragStepRendered(benchmark::State& state) {
    Environment& env = environment();
    Browser browser;
    ui::kit::TableView* packs = browser.controller.srcTableView();
    browser.controller.didSelectRow(*packs, {0, 0});
    ui::kit::TableViewCell* cell = packs->cellForRow({0, 3});
    const QPointF start = cell->mapToScene(cell->bounds().center());
    ui::kit::TouchDispatcher& touches = browser.window.touches();
    touches.begin(ui::kit::kMouseTouchId, start);
    env.loop.advance(16 * platform::kNanosPerMillisecond);
    int step = 0;
    for (auto _ : state) {
        step = (step + 1) % 100;
        touches.move(ui::kit::kMouseTouchId, start + QPointF(step * 3, step * 2));
        benchmark::DoNotOptimize(browser.window.render(1.0));
    }
    if (!browser.controller.draggedCell()) state.SkipWithError("no row was picked up");
    touches.cancel(ui::kit::kMouseTouchId);
}
BENCHMARK(BrowserDragStepRendered)->Unit(benchmark::kMillisecond);

void BrowserStillFrame(benchmark::State& state) {
    environment();
    Browser browser;
    browser.controller.didSelectRow(*browser.controller.srcTableView(), {0, 0});
    for (auto _ : state) benchmark::DoNotOptimize(browser.window.render(1.0));
}
BENCHMARK(BrowserStillFrame)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    {
        Environment shared;
        runEnvironment = &shared;
        benchmark::RunSpecifiedBenchmarks();
        runEnvironment = nullptr;
    }
    benchmark::Shutdown();
    return 0;
}
