#include "ui/kit/table_view.h"

#include <gtest/gtest.h>

#include <QWheelEvent>

#include "ui/kit/control.h"
#include "ui/kit/kit_test_support.h"
#include "ui/kit/label.h"
#include "ui/kit/window.h"

namespace strombel::ui::kit {
namespace {

/// Rows named "s.r", in sections of the given sizes; counts every cell it makes.
class Rows : public TableViewDataSource, public TableViewDelegate {
  public:
    std::vector<std::vector<QString>> sections;
    int made = 0;
    std::vector<IndexPath> selected;
    double tallRowHeight = -1;  // the height of row (0, 0), when set

    explicit Rows(std::vector<int> sizes) {
        for (size_t s = 0; s < sizes.size(); ++s) {
            sections.emplace_back();
            for (int r = 0; r < sizes[s]; ++r) sections.back().push_back(QString("%1.%2").arg(s).arg(r));
        }
    }
    int numberOfSections(TableView&) override { return int(sections.size()); }
    int numberOfRows(TableView&, int section) override { return int(sections[size_t(section)].size()); }
    std::unique_ptr<TableViewCell> cellForRow(TableView& table, const IndexPath& path) override {
        auto cell = table.dequeueReusableCell("ROW");
        if (!cell) {
            ++made;
            cell = std::make_unique<TableViewCell>("ROW");
            cell->add(std::make_unique<Label>(QRectF(0, 0, 100, 20)));
        }
        static_cast<Label*>(cell->subviews().front())->setText(sections[size_t(path.section)][size_t(path.row)]);
        return cell;
    }
    double heightForRow(TableView&, const IndexPath& path) override {
        return path == IndexPath{0, 0} ? tallRowHeight : -1;
    }
    /// When set, heights come a section at a time: every row of section 1 this high.
    double sectionOneHeight = -1;
    bool heightsForRows(TableView&, int section, std::span<double> heights) override {
        if (sectionOneHeight < 0 || section != 1) return false;
        std::fill(heights.begin(), heights.end(), sectionOneHeight);
        return true;
    }
    void didSelectRow(TableView&, const IndexPath& path) override { selected.push_back(path); }
};

QString textOf(TableViewCell* cell) {
    return cell ? static_cast<Label*>(cell->subviews().front())->text() : QString("(none)");
}

class TableViewTest : public testing::KitTest {
  protected:
    void build(std::vector<int> sizes) {
        rows = std::make_unique<Rows>(std::move(sizes));
        root = std::make_unique<View>(QRectF(0, 0, 300, 400));
        table = root->add(std::make_unique<TableView>(QRectF(0, 100, 200, 100)));  // five rows of 20
        table->setRowHeight(20);
        table->setDataSource(rows.get());
        table->setDelegate(rows.get());
        touches.setRoot(root.get());
        table->reloadData();
    }
    QString shownAt(double y) {
        auto path = table->indexPathForRow({10, y});
        return path ? textOf(table->cellForRow(*path)) : QString("(none)");
    }

    std::unique_ptr<Rows> rows;
    std::unique_ptr<View> root;
    TableView* table = nullptr;
    TouchDispatcher touches;
    testing::Finger finger{touches, 1};
};

TEST_F(TableViewTest, OnlyTheRowsInViewHaveCellsAndScrolledOutCellsAreReused) {
    build({30});
    EXPECT_EQ(table->visibleCells().size(), 5u);
    EXPECT_EQ(rows->made, 5);
    for (int step = 0; step < 20; ++step) table->setContentOffset(table->contentOffset() + 7);
    EXPECT_EQ(table->contentOffset(), 140);
    EXPECT_LE(rows->made, 6) << "cells that scroll out are taken again";
    EXPECT_EQ(shownAt(0), "0.7");
    EXPECT_EQ(table->visibleCells().size(), 5u) << "rows 7 to 11";
    table->setContentOffset(150);
    EXPECT_EQ(table->visibleCells().size(), 6u) << "rows 7 to 12, the first and last cut";
}

TEST_F(TableViewTest, KeptCellsWaitHiddenAndComeBackShown) {
    build({30});
    table->setContentOffset(150);  // rows 7 to 12: six cells
    View* content = table->visibleCells().front()->superview();
    const auto shownCells = [&] {
        int shown = 0;
        for (View* child : content->subviews()) shown += !child->isHidden();
        return shown;
    };
    table->setContentOffset(140);  // rows 7 to 11: one cell is kept
    EXPECT_EQ(content->subviews().size(), 6u);
    EXPECT_EQ(shownCells(), 5) << "a kept cell is not drawn";
    table->setContentOffset(150);
    EXPECT_EQ(rows->made, 6) << "the kept cell is taken again";
    for (TableViewCell* cell : table->visibleCells()) {
        EXPECT_FALSE(cell->isHidden());
        EXPECT_EQ(cell->alpha(), 1.0);
    }
    EXPECT_EQ(shownCells(), 6);
    EXPECT_EQ(shownAt(0), "0.7");
}

TEST_F(TableViewTest, AScrollAskedForDuringUpdatesEndsAtTheRowWhereTheUpdatesPutIt) {
    build({3, 3, 3});
    table->beginUpdates();
    rows->sections[0].insert(rows->sections[0].end(), {"0.3", "0.4", "0.5"});
    table->insertRows({{0, 3}, {0, 4}, {0, 5}});
    table->scrollToRowAtTop({1, 0});
    EXPECT_EQ(table->contentOffset(), 0) << "waits for the updates";
    table->endUpdates();
    EXPECT_EQ(table->contentOffset(), 120) << "six rows of the first section above";
    EXPECT_EQ(shownAt(0), "1.0");
}

TEST_F(TableViewTest, RowAtAPointFollowsTheOffsetAcrossSections) {
    build({3, 4});
    EXPECT_EQ(table->contentHeight(), 140);
    table->setContentOffset(30);
    auto path = table->indexPathForRow({10, 35});  // content 65: section 1, row 0 (60 to 80)
    ASSERT_TRUE(path);
    EXPECT_EQ(*path, (IndexPath{1, 0}));
    EXPECT_EQ(table->indexPathForCell(table->cellForRow({1, 0})), path);
    EXPECT_EQ(table->indexPathForRow({10, 95}), (IndexPath{1, 3}));
    EXPECT_FALSE(table->indexPathForRow({250, 15}).has_value()) << "outside the table";
    table->setContentOffset(1000);
    EXPECT_EQ(table->contentOffset(), 40) << "held inside the content";
    table->scrollToRowAtTop({1, 1});
    EXPECT_EQ(table->contentOffset(), 40) << "the last rows cannot come higher than the end allows";
    table->scrollToRowAtTop({0, 2});
    EXPECT_EQ(table->contentOffset(), 40);
    table->scrollToRowAtTop({0, 1});
    EXPECT_EQ(table->contentOffset(), 20);
}

TEST_F(TableViewTest, RowHeightsComeFromTheDelegate) {
    rows = nullptr;
    build({10});
    rows->tallRowHeight = 55;
    table->reloadData();
    EXPECT_EQ(table->rectForRow({0, 1}), QRectF(0, 55, 200, 20));
    EXPECT_EQ(shownAt(60), "0.1");
}

TEST_F(TableViewTest, HeightsOfAWholeSectionAtOnceAndChangedOutsideUpdatesTakenAtTheNextUpdate) {
    build({2, 3, 2});
    rows->sectionOneHeight = 30;
    table->reloadData();
    EXPECT_EQ(table->rectForRow({1, 2}), QRectF(0, 100, 200, 30));
    EXPECT_EQ(table->rectForRow({2, 0}), QRectF(0, 130, 200, 20));
    // Heights change with no update of their own; an update elsewhere measures them anew.
    rows->sectionOneHeight = 10;
    rows->tallRowHeight = 50;
    rows->sections[2].push_back("2.2");
    table->insertRows({{2, 2}});
    EXPECT_EQ(table->rectForRow({1, 0}), QRectF(0, 70, 200, 10));
    EXPECT_EQ(table->rectForRow({2, 2}), QRectF(0, 140, 200, 20));
    EXPECT_EQ(table->contentHeight(), 160);
}

TEST_F(TableViewTest, ATapSelectsTheRowAndADragScrollsInstead) {
    build({30});
    finger.tap(*table, {50, 45});
    ASSERT_EQ(rows->selected.size(), 1u);
    EXPECT_EQ(rows->selected[0], (IndexPath{0, 2}));

    finger.down(*table, {50, 90});
    finger.move(*table, {50, 60});
    finger.move(*table, {50, 30});
    finger.up(*table, {50, 30});
    EXPECT_EQ(table->contentOffset(), 60) << "the content follows the finger";
    EXPECT_EQ(rows->selected.size(), 1u) << "a drag selects nothing";
}

TEST_F(TableViewTest, AControlInARowKeepsItsTouches) {
    build({3});
    int pressed = 0;
    auto* button = table->cellForRow({0, 1})->add(std::make_unique<Control>(QRectF(150, 0, 40, 20)));
    button->addTarget(touchUpInside, [&](Control&) { ++pressed; });
    finger.tap(*table, {160, 30});
    EXPECT_EQ(pressed, 1);
    EXPECT_TRUE(rows->selected.empty());
}

TEST_F(TableViewTest, TheWindowSendsTheWheelToTheTableUnderThePointer) {
    build({30});
    Window window;
    window.setRootView(std::move(root));
    window.resize(300, 400);
    window.show();
    auto wheel = [&](QPointF scenePoint, QPoint angle, QPoint pixels = {}) {
        const QPointF at = window.mapFromScene(scenePoint);
        QWheelEvent event(at, window.mapToGlobal(at.toPoint()), pixels, angle, Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(window.viewport(), &event);
    };
    wheel({50, 150}, {0, -120});
    EXPECT_EQ(table->contentOffset(), Window::kPointsPerWheelNotch) << "a notch towards the user moves down";
    wheel({50, 150}, {}, {0, 15});
    EXPECT_EQ(table->contentOffset(), Window::kPointsPerWheelNotch - 15) << "a touchpad moves by its pixels";
    wheel({250, 350}, {0, -120});
    EXPECT_EQ(table->contentOffset(), Window::kPointsPerWheelNotch - 15) << "outside the table";
    window.takeRootView();
}

TEST_F(TableViewTest, UpdatesKeepTheCellsOfRowsThatStayAndFadeTheOthers) {
    build({6});
    TableViewCell* third = table->cellForRow({0, 2});
    // Row 1 goes, a row comes at the top: the old row 2 is row 2 again.
    rows->sections[0].erase(rows->sections[0].begin() + 1);
    rows->sections[0].insert(rows->sections[0].begin(), "new");
    table->beginUpdates();
    table->deleteRows({{0, 1}});
    table->insertRows({{0, 0}});
    table->endUpdates();
    EXPECT_EQ(table->cellForRow({0, 2}), third);
    EXPECT_EQ(textOf(table->cellForRow({0, 0})), "new");
    EXPECT_EQ(table->cellForRow({0, 0})->alpha(), 0) << "comes in with a fade";
    advance(TableView::kFadeSeconds + 0.05);
    EXPECT_EQ(table->cellForRow({0, 0})->alpha(), 1);
    EXPECT_EQ(shownAt(10), "new");
    EXPECT_EQ(shownAt(30), "0.0");
    EXPECT_EQ(shownAt(50), "0.2");
}

TEST_F(TableViewTest, MovesAndSectionUpdates) {
    build({2, 2, 2});
    TableViewCell* moved = table->cellForRow({0, 0});
    // Row 0.0 moves to the end of section 1.
    rows->sections[1].push_back(rows->sections[0].front());
    rows->sections[0].erase(rows->sections[0].begin());
    table->moveRow({0, 0}, {1, 2});
    EXPECT_EQ(table->cellForRow({1, 2}), moved);
    EXPECT_EQ(shownAt(0), "0.1");

    // The first section goes; the others move up.
    rows->sections.erase(rows->sections.begin());
    table->deleteSections({0});
    EXPECT_EQ(table->numberOfSections(), 2);
    EXPECT_EQ(shownAt(0), "1.0");
    EXPECT_EQ(shownAt(45), "0.0");

    rows->sections.insert(rows->sections.begin(), {"x.0"});
    table->insertSections({0});
    EXPECT_EQ(shownAt(0), "x.0");
    EXPECT_EQ(shownAt(25), "1.0");

    rows->sections[0][0] = "x.0 again";
    table->reloadRows({{0, 0}});
    EXPECT_EQ(shownAt(0), "x.0 again");
}

TEST_F(TableViewTest, CountsThatDoNotAddUpAreMetByAFullReload) {
    build({4});
    // The data lost two rows, the update names one.
    rows->sections[0].resize(2);
    table->deleteRows({{0, 0}});
    EXPECT_EQ(table->numberOfRows(0), 2);
    EXPECT_EQ(table->visibleCells().size(), 2u);
    EXPECT_EQ(shownAt(30), "0.1");
    EXPECT_FALSE(table->indexPathForRow({10, 50}).has_value());

    // A section announced that the data does not have.
    table->insertSections({1});
    EXPECT_EQ(table->numberOfSections(), 1);

    // The same number of rows in all, but in another section than the update says.
    rows = nullptr;
    build({2, 2});
    rows->sections[0].push_back("0.2");
    table->insertRows({{1, 2}});
    EXPECT_EQ(table->numberOfRows(0), 3);
    EXPECT_EQ(table->numberOfRows(1), 2);
    EXPECT_EQ(shownAt(50), "0.2");
    // A section moved past the last one.
    table->moveSection(0, 5);
    EXPECT_EQ(table->numberOfRows(0), 3);
    EXPECT_EQ(shownAt(10), "0.0");
}

}  // namespace
}  // namespace strombel::ui::kit
