// The view kit's table against Qt's tree view over a standard item model: the
// same 5,000 rows in 100 sections, built with their first frame, reloaded, and
// scrolled by one step with the frame rendered, offscreen.
//
//   QT_QPA_PLATFORM=offscreen build/bench/ui/bench_table_view

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QTreeView>
#include <memory>

#include "platform/clock.h"
#include "platform/main_loop.h"
#include "ui/kit/context.h"
#include "ui/kit/label.h"
#include "ui/kit/table_view.h"
#include "ui/kit/window.h"

namespace {

using namespace strombel;

constexpr int kSections = 100, kRowsPerSection = 50;
constexpr QSize kSize(400, 600);

struct Environment {
    Environment() : app(argc, argv), loop(clock), context(loop) {}
    int argc = 1;
    char name[17] = "bench_table_view";
    char* argv[2] = {name, nullptr};
    QApplication app;
    platform::ManualClock clock;
    platform::MainLoop loop{platform::SystemClock::shared()};
    ui::kit::Context context;
};

Environment& environment() {
    static Environment shared;
    return shared;
}

class Rows final : public ui::kit::TableViewDataSource {
public:
    int numberOfSections(ui::kit::TableView&) override { return kSections; }
    int numberOfRows(ui::kit::TableView&, int) override { return kRowsPerSection; }
    std::unique_ptr<ui::kit::TableViewCell> cellForRow(ui::kit::TableView& table, const ui::kit::IndexPath& path) override {
        auto cell = table.dequeueReusableCell("ROW");
        if (!cell) {
            cell = std::make_unique<ui::kit::TableViewCell>("ROW");
            cell->add(std::make_unique<ui::kit::Label>(QRectF(10, 0, kSize.width() - 20, 30)));
        }
        static_cast<ui::kit::Label*>(cell->subviews().front())->setText(QString("Sample %1.%2").arg(path.section).arg(path.row));
        return cell;
    }
};

struct KitTable {
    KitTable() {
        auto root = std::make_unique<ui::kit::View>(QRectF(0, 0, kSize.width(), kSize.height()));
        table = root->add(std::make_unique<ui::kit::TableView>(root->bounds()));
        table->setRowHeight(30);
        table->setDataSource(&rows);
        window.setRootView(std::move(root));
        window.resize(kSize);
        table->reloadData();
    }
    ~KitTable() { window.takeRootView(); }
    Rows rows;
    ui::kit::Window window;
    ui::kit::TableView* table = nullptr;
};

std::unique_ptr<QStandardItemModel> treeModel() {
    auto model = std::make_unique<QStandardItemModel>();
    for (int section = 0; section < kSections; ++section) {
        auto* header = new QStandardItem(QString("Pack %1").arg(section));
        for (int row = 0; row < kRowsPerSection; ++row)
            header->appendRow(new QStandardItem(QString("Sample %1.%2").arg(section).arg(row)));
        model->appendRow(header);
    }
    return model;
}

QImage frameOf(QWidget& widget) {
    QImage image(kSize, QImage::Format_ARGB32_Premultiplied);
    widget.render(&image);
    return image;
}

void KitTableBuildWithFirstFrame(benchmark::State& state) {
    environment();
    for (auto _ : state) {
        KitTable kit;
        benchmark::DoNotOptimize(kit.window.render(1.0));
    }
}
BENCHMARK(KitTableBuildWithFirstFrame)->Unit(benchmark::kMillisecond);

void TreeViewBuildWithFirstFrame(benchmark::State& state) {
    environment();
    for (auto _ : state) {
        QTreeView tree;
        auto model = treeModel();
        tree.setModel(model.get());
        tree.expandAll();
        tree.resize(kSize);
        benchmark::DoNotOptimize(frameOf(tree));
    }
}
BENCHMARK(TreeViewBuildWithFirstFrame)->Unit(benchmark::kMillisecond);

void KitTableReload(benchmark::State& state) {
    environment();
    KitTable kit;
    for (auto _ : state) kit.table->reloadData();
}
BENCHMARK(KitTableReload)->Unit(benchmark::kMicrosecond);

void TreeViewReload(benchmark::State& state) {
    environment();
    QTreeView tree;
    auto model = treeModel();
    tree.setModel(model.get());
    tree.expandAll();
    tree.resize(kSize);
    for (auto _ : state) {
        tree.reset();
        tree.expandAll();
        tree.doItemsLayout();
    }
}
BENCHMARK(TreeViewReload)->Unit(benchmark::kMicrosecond);

void KitTableScrollStepRendered(benchmark::State& state) {
    environment();
    KitTable kit;
    double offset = 0;
    for (auto _ : state) {
        offset = offset > 100000 ? 0 : offset + 40;
        kit.table->setContentOffset(offset);
        benchmark::DoNotOptimize(kit.window.render(1.0));
    }
}
BENCHMARK(KitTableScrollStepRendered)->Unit(benchmark::kMicrosecond);

void TreeViewScrollStepRendered(benchmark::State& state) {
    environment();
    QTreeView tree;
    auto model = treeModel();
    tree.setModel(model.get());
    tree.expandAll();
    tree.resize(kSize);
    frameOf(tree);
    QScrollBar* bar = tree.verticalScrollBar();
    for (auto _ : state) {
        bar->setValue(bar->value() >= bar->maximum() ? 0 : bar->value() + 1);
        benchmark::DoNotOptimize(frameOf(tree));
    }
}
BENCHMARK(TreeViewScrollStepRendered)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
