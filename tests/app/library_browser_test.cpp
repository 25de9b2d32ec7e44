// The library browser (SORT) as a user works it on the whole program: rows,
// drags by mouse and by finger, previews, removals and the buttons under the
// tables. Drags go through the window as Qt events, the way the desktop and a
// touch screen send them.

#include <QMouseEvent>
#include <QPointingDevice>
#include <QTest>

#include <filesystem>
#include <fstream>

#include "program_test_support.h"
#include "ui/drag_drop_table_view_controller.h"
#include "ui/gui_factory.h"

namespace strombel::app::scenario {
namespace {

using ui::DragDropTableViewController;
using ui::DropTableCell;
using ui::kit::IndexPath;
using ui::kit::TableView;

/// Remembers what the browser asks of its delegate.
class RecordingBrowserDelegate final : public ui::DragDropTableViewControllerDelegate {
public:
    void soundpackSampleWithIndexPath(const IndexPath& path, const QPointF& at) override {
        drops.push_back({path, at});
    }
    void renameSoundbank(uint64_t bank) override { renamed.push_back(bank); }
    void editUserSample(uint64_t) override {}
    void soundbankSelected(uint64_t) override {}
    void engageExchangePaste() override {}
    void toggleSampleRecording() override {}
    std::vector<std::pair<IndexPath, QPointF>> drops;
    std::vector<uint64_t> renamed;
};

class LibraryBrowserTest : public ProgramTest {
protected:
    /// SORT down, on a window shown at twice the scene's size (so that points
    /// and pixels differ, as on a real screen).
    DragDropTableViewController& openBrowser(ProgramRun& run) {
        if (!run.screen().sortBtn()->isPressedDown()) tap(run, run.screen().sortBtn());
        EXPECT_NE(run.screen().sortController(), nullptr);
        ui::kit::Window& window = run.program().window();
        const QRectF scene = window.sceneRect();
        window.resize(int(scene.width() * 2), int(scene.height() * 2));
        window.show();
        return *run.screen().sortController();
    }

    static QPointF centreOf(TableView* table, const IndexPath& path) {
        ui::kit::TableViewCell* cell = table->cellForRow(path);
        EXPECT_NE(cell, nullptr) << path.section << ", " << path.row;
        return cell ? cell->mapToScene(cell->bounds().center()) : QPointF();
    }
    static QPointF centreOf(ui::kit::View* view) { return view->mapToScene(view->bounds().center()); }
    static QString textOf(TableView* table, const IndexPath& path) {
        auto* cell = dynamic_cast<DropTableCell*>(table->cellForRow(path));
        return cell ? cell->textLabel()->text() : QString("(no cell)");
    }
    QPoint onScreen(ProgramRun& run, const QPointF& scene) { return run.program().window().mapFromScene(scene); }

    void sendMouse(ProgramRun& run, QEvent::Type type, const QPointF& scene) {
        ui::kit::Window& window = run.program().window();
        const QPoint at = onScreen(run, scene);
        const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent event(type, at, window.viewport()->mapToGlobal(at), Qt::LeftButton, held, Qt::NoModifier,
                          QPointingDevice::primaryPointingDevice());
        QApplication::sendEvent(window.viewport(), &event);
    }

    /// Mouse down at `from`, moved in ten steps to `to` (a frame apart), released there.
    void mouseDrag(ProgramRun& run, const QPointF& from, const QPointF& to) {
        sendMouse(run, QEvent::MouseButtonPress, from);
        for (int step = 1; step <= 10; ++step) {
            sendMouse(run, QEvent::MouseMove, from + (to - from) * (step / 10.0));
            loop_.advance(16 * platform::kNanosPerMillisecond);
        }
        sendMouse(run, QEvent::MouseButtonRelease, to);
        loop_.runPending();
    }

    /// A finger down at `from`, held for `holdSeconds`, moved in ten steps to
    /// `to` and lifted there (or, with `cancel`, taken away by the system).
    void fingerDrag(ProgramRun& run, const QPointF& from, const QPointF& to, double holdSeconds = 0.4,
                    bool cancel = false) {
        ui::kit::Window& window = run.program().window();
        QTest::touchEvent(&window, touchScreen_).press(0, onScreen(run, from), window.viewport());
        loop_.advance(uint64_t(holdSeconds * 1e9));
        for (int step = 1; step <= 10; ++step) {
            QTest::touchEvent(&window, touchScreen_)
                .move(0, onScreen(run, from + (to - from) * (step / 10.0)), window.viewport());
            loop_.advance(16 * platform::kNanosPerMillisecond);
        }
        if (cancel) {
            QTouchEvent cancelled(QEvent::TouchCancel, touchScreen_);
            QApplication::sendEvent(window.viewport(), &cancelled);
        } else {
            QTest::touchEvent(&window, touchScreen_).release(0, onScreen(run, to), window.viewport());
        }
        loop_.runPending();
    }

    /// A tap on a row, and the fades and turns it starts run to their end.
    void tapRow(ProgramRun& run, TableView* table, const IndexPath& path) {
        if (!table->cellForRow(path)) table->scrollToRowAtTop(path);  // the user scrolls to it first
        const QPointF at = centreOf(table, path);
        run.program().window().touches().begin(1, at);
        run.program().window().touches().end(1, at);
        loop_.runPending();
        loop_.advance(400 * platform::kNanosPerMillisecond);
    }

    /// A user sample file made from a stock one, found by the library's scan.
    std::string addUserSample(ProgramRun& run, const std::string& fileName) {
        library::SoundDataManager& library = *run.program().library();
        const auto stock = library.soundpackSamplesResultsController().objectAtIndexPath(0, 0);
        std::filesystem::copy_file(library.absolutePathOfSample(stock->filepath()),
                                   run.sandbox().documents() / fileName);
        library.scanUserSamplesChanges();
        loop_.runPending();
        for (const auto& sample : library.userSamples())
            if (std::filesystem::path(sample->filepath()).filename() == fileName) return sample->filepath();
        ADD_FAILURE() << fileName << " did not become a user sample";
        return {};
    }

    /// A pack of `count` samples made in the library as an import would make it
    /// (the samples' paths name a stock file, with a suffix to keep them apart).
    std::shared_ptr<library::Soundpack> addPack(ProgramRun& run, const std::string& name, int count) {
        library::SoundDataManager& library = *run.program().library();
        auto& context = library.managedObjectContext();
        const auto stock = library.soundpackSamplesResultsController().objectAtIndexPath(0, 0);
        auto pack = context.insertSoundpack();
        pack->setPackId("test." + name);
        pack->setName(name);
        for (int s = 0; s < count; ++s) {
            auto sample = context.insertSample();
            sample->setFilepath(stock->filepath() + "#" + name + std::to_string(s));
            sample->setName(name + " hit " + std::to_string(s));
            sample->setSoundpack(pack);
        }
        library.saveSamples();
        loop_.runPending();
        return pack;
    }

    QPointingDevice* touchScreen_ = QTest::createTouchDevice();
};

// ---- Rows -------------------------------------------------------------------------------

TEST_F(LibraryBrowserTest, FramesOfTheThreeLayoutsAndAllSectionsStartCollapsed) {
    struct Case {
        ui::GuiType guiType;
        QRectF packs, banks, record, paste, add;
        double cellHeight;
    };
    const Case cases[] = {
        {ui::GuiType::tablet, {5, 5, 217, 551}, {233, 5, 217, 551}, {15, 566, 202, 40}, {15, 606, 202, 40},
         {243, 606, 202, 40}, 45},
        {ui::GuiType::phoneLandscape, {4, 4, 94, 237}, {107, 4, 94, 237}, {6, 249, 88, 21}, {6, 270, 88, 21},
         {109, 270, 88, 21}, 25},
        {ui::GuiType::phonePortrait, {4, 4, 141, 352}, {154, 4, 141, 352}, {8, 364, 133, 31}, {8, 395, 133, 31},
         {158, 395, 133, 31}, 35},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.guiType));
        auto run = start(c.guiType);
        DragDropTableViewController& browser = openBrowser(*run);
        EXPECT_EQ(browser.view()->frame().size(), QSizeF(browser.metrics().width, browser.metrics().height));
        EXPECT_EQ(browser.view()->pos(), QPointF(run->screen().gf().controlsRightX(), run->screen().gf().topControlsY()));
        EXPECT_EQ(browser.srcTableView()->frame(), c.packs);
        EXPECT_EQ(browser.dstTableView()->frame(), c.banks);
        EXPECT_EQ(browser.recordSampleButton()->frame(), c.record);
        EXPECT_EQ(browser.pasteSampleButton()->frame(), c.paste);
        EXPECT_EQ(browser.addSoundbankButton()->frame(), c.add);
        // Collapsed: a header row per section, packs' headers twice as high.
        TableView* packs = browser.srcTableView();
        ASSERT_GT(packs->numberOfSections(), 0);
        for (int section = 0; section < packs->numberOfSections(); ++section) EXPECT_EQ(packs->numberOfRows(section), 1);
        for (int section = 0; section < browser.dstTableView()->numberOfSections(); ++section)
            EXPECT_EQ(browser.dstTableView()->numberOfRows(section), 1);
        EXPECT_EQ(packs->rectForRow({0, 0}).height(), 2 * c.cellHeight);
        EXPECT_EQ(browser.dstTableView()->rectForRow({0, 0}).height(), c.cellHeight);
    }
}

TEST_F(LibraryBrowserTest, RowTextsAndWhichRowsCanBeRenamed) {
    auto run = start();
    library::SoundDataManager& library = *run->program().library();
    const std::string longName = addUserSample(*run, "averyverylongsamplename.wav");
    const auto sample = library.sampleWithFilepath(longName);
    ASSERT_NE(sample, nullptr);
    ASSERT_TRUE(library.setSample(sample, 0, 0));
    ASSERT_TRUE(library.removeSampleFromSoundbank(0, 6));
    DragDropTableViewController& browser = openBrowser(*run);
    TableView* packs = browser.srcTableView();
    TableView* banks = browser.dstTableView();

    // The user samples' pack, expanded: its rows cut names at 19 characters and can be renamed.
    int userSection = -1;
    const auto& sections = library.soundpackSamplesResultsController().sections();
    for (size_t i = 0; i < sections.size(); ++i)
        if (sections[i].samples.front()->soundpack()->packId() == "usersamples") userSection = int(i);
    ASSERT_GE(userSection, 0);
    tapRow(*run, packs, {userSection, 0});
    EXPECT_EQ(packs->numberOfRows(userSection), 1 + int(sections[size_t(userSection)].samples.size()));
    EXPECT_TRUE(dynamic_cast<DropTableCell*>(packs->cellForRow({userSection, 0}))->collapseArrow->isExpanded());
    const QString upper = QString::fromStdString(sample->name()).toUpper();
    ASSERT_GT(upper.size(), 19);
    EXPECT_EQ(textOf(packs, {userSection, 1}), "     " + upper.left(19));
    EXPECT_FALSE(dynamic_cast<DropTableCell*>(packs->cellForRow({userSection, 1}))->renameButton->isHidden());

    // A stock pack's samples cannot be renamed.
    const int stockSection = userSection == 0 ? 1 : 0;
    tapRow(*run, packs, {stockSection, 0});
    EXPECT_TRUE(dynamic_cast<DropTableCell*>(packs->cellForRow({stockSection, 1}))->renameButton->isHidden());

    // Bank rows show the name whole, and an empty pad its number.
    tapRow(*run, banks, {0, 0});
    EXPECT_EQ(textOf(banks, {0, 1}), "     " + upper);
    EXPECT_EQ(textOf(banks, {0, 7}), "     [ 7 ]");
    EXPECT_TRUE(dynamic_cast<DropTableCell*>(banks->cellForRow({0, 7}))->removeButton->isHidden());
    EXPECT_EQ(textOf(banks, {0, 0}), "    " + QString::fromStdString(library.soundbanks()[0]->name()).toUpper());

    // The separator runs the row's whole width, under the row's buttons too.
    const QImage picture = run->program().window().render(1.0);
    ui::kit::TableViewCell* header = banks->cellForRow({0, 0});
    for (double x : {10.0, header->width() - browser.metrics().buttonSpace / 2.0}) {
        const QPointF onLine = header->mapToScene(QPointF(x, header->height() - 0.5));
        const QPoint at(int(onLine.x()), int(onLine.y()));
        const QColor shown = picture.pixelColor(at), line = ui::GuiFactory::darkRustyColor();
        EXPECT_LT(std::abs(shown.red() - line.red()) + std::abs(shown.green() - line.green()) +
                      std::abs(shown.blue() - line.blue()),
                  60)
            << "at x " << x << ": " << shown.name().toStdString();
    }
}

// ---- Drags ------------------------------------------------------------------------------

/// Mouse and finger drags do the same.
class LibraryBrowserDragTest : public LibraryBrowserTest, public ::testing::WithParamInterface<bool> {
protected:
    bool byFinger() const { return GetParam(); }
    void drag(ProgramRun& run, const QPointF& from, const QPointF& to) {
        if (byFinger()) fingerDrag(run, from, to);
        else mouseDrag(run, from, to);
    }
};

TEST_P(LibraryBrowserDragTest, ASampleOntoAPadRowStaysThereAfterARestart) {
    std::string placed;
    {
        auto run = start();
        library::SoundDataManager& library = *run->program().library();
        DragDropTableViewController& browser = openBrowser(*run);
        tapRow(*run, browser.srcTableView(), {0, 0});
        tapRow(*run, browser.dstTableView(), {1, 0});
        const auto sample = library.soundpackSamplesResultsController().objectAtIndexPath(0, 2);
        // Off bank 1 first, so that the bank takes it (a bank holds a sample once).
        for (int pad = 0; pad < 12; ++pad)
            if (library.samplePathsOfSoundbank(1)[size_t(pad)] == sample->filepath())
                library.removeSampleFromSoundbank(1, uint64_t(pad));
        loop_.runPending();
        const auto before = library.samplePathsOfSoundbank(1);

        // Onto the bank's header: nothing.
        drag(*run, centreOf(browser.srcTableView(), {0, 3}), centreOf(browser.dstTableView(), {1, 0}));
        EXPECT_EQ(browser.draggedCell(), nullptr);
        EXPECT_EQ(library.samplePathsOfSoundbank(1), before);

        // Onto pad 4's row: that pad, and the row shows it.
        drag(*run, centreOf(browser.srcTableView(), {0, 3}), centreOf(browser.dstTableView(), {1, 4}));
        EXPECT_EQ(library.samplePathsOfSoundbank(1)[3], sample->filepath());
        EXPECT_EQ(textOf(browser.dstTableView(), {1, 4}),
                  "     " + QString::fromStdString(sample->name()).toUpper());
        auto expected = before;
        expected[3] = sample->filepath();
        EXPECT_EQ(library.samplePathsOfSoundbank(1), expected);
        placed = sample->filepath();
        EXPECT_EQ(browser.draggedCell(), nullptr);
    }
    auto again = start();
    EXPECT_EQ(again->program().library()->samplePathsOfSoundbank(1)[3], placed);
}

TEST_P(LibraryBrowserDragTest, PadsSwapWithinTheirBankOnlyAndBanksMove) {
    auto run = start();
    library::SoundDataManager& library = *run->program().library();
    ASSERT_GE(library.soundbanks().size(), 3u);
    DragDropTableViewController& browser = openBrowser(*run);
    TableView* banks = browser.dstTableView();
    tapRow(*run, banks, {0, 0});
    // The last pads of bank 1 and the next banks' headers in view.
    banks->setContentOffset(4 * browser.metrics().tableCellHeight);
    loop_.runPending();
    const auto bank0 = library.samplePathsOfSoundbank(0);
    const auto bank1 = library.samplePathsOfSoundbank(1);

    // Pad 5 onto pad 7 of the same bank: they swap, rows and all.
    drag(*run, centreOf(banks, {0, 5}), centreOf(banks, {0, 7}));
    auto swapped = bank0;
    std::swap(swapped[4], swapped[6]);
    EXPECT_EQ(library.samplePathsOfSoundbank(0), swapped);
    EXPECT_EQ(textOf(banks, {0, 7}),
              "     " + QString::fromStdString(library.sampleForSoundbank(0, 6)->name()).toUpper());
    EXPECT_EQ(textOf(banks, {0, 5}),
              "     " + QString::fromStdString(library.sampleForSoundbank(0, 4)->name()).toUpper());

    // Onto another bank (its header): nothing.
    drag(*run, centreOf(banks, {0, 8}), centreOf(banks, {1, 0}));
    EXPECT_EQ(library.samplePathsOfSoundbank(0), swapped);
    EXPECT_EQ(library.samplePathsOfSoundbank(1), bank1);

    // A bank's header dropped on another bank: the whole bank moves there.
    banks->setContentOffset(0);
    loop_.runPending();
    tapRow(*run, banks, {0, 0});
    ASSERT_TRUE(browser.expandedDstSections().empty());
    const std::string movedName = library.soundbanks()[2]->name();
    drag(*run, centreOf(banks, {2, 0}), centreOf(banks, {0, 0}));
    EXPECT_EQ(library.soundbanks()[0]->name(), movedName);
    EXPECT_EQ(library.samplePathsOfSoundbank(1), swapped);
    EXPECT_EQ(textOf(banks, {0, 0}), "    " + QString::fromStdString(movedName).toUpper());
    EXPECT_EQ(textOf(banks, {1, 0}), "    " + QString::fromStdString(library.soundbanks()[1]->name()).toUpper());

    // Picking up a bank folds every bank; dragged out of the table it changes nothing.
    tapRow(*run, banks, {3, 0});
    const auto order = library.soundbanks();
    drag(*run, centreOf(banks, {3, 0}), centreOf(run->screen().tapButton(6)));
    EXPECT_TRUE(browser.expandedDstSections().empty());
    EXPECT_EQ(library.soundbanks(), order);
    EXPECT_EQ(browser.draggedCell(), nullptr);
}

TEST_P(LibraryBrowserDragTest, ASampleDraggedOutOntoPad7LandsThereAndSounds) {
    auto run = start();
    library::SoundDataManager& library = *run->program().library();
    DragDropTableViewController& browser = openBrowser(*run);
    tapRow(*run, browser.srcTableView(), {1, 0});
    const auto sample = library.soundpackSamplesResultsController().objectAtIndexPath(1, 0);
    const uint64_t bank = run->program().engine()->currentSoundBankIdx();
    for (int pad = 0; pad < 12; ++pad)
        if (library.samplePathsOfSoundbank(bank)[size_t(pad)] == sample->filepath())
            library.removeSampleFromSoundbank(bank, uint64_t(pad));
    loop_.runPending();

    drag(*run, centreOf(browser.srcTableView(), {1, 1}), centreOf(run->screen().tapButton(6)));
    EXPECT_EQ(library.samplePathsOfSoundbank(bank)[6], sample->filepath());
    EXPECT_EQ(browser.draggedCell(), nullptr);
    runFor(*run, 0.5);
    tap(*run, run->screen().tapButton(6));
    EXPECT_GT(runFor(*run, 0.1), 0);
}

TEST_P(LibraryBrowserDragTest, TheFloatingCopyFollowsOverThePadsAboveThemAndBelowTheShade) {
    auto run = start();
    DragDropTableViewController& browser = openBrowser(*run);
    tapRow(*run, browser.srcTableView(), {0, 0});
    TableView* packs = browser.srcTableView();
    const QPointF from = centreOf(packs, {0, 1});
    const QPointF to = centreOf(run->screen().tapButton(4));
    ui::kit::Window& window = run->program().window();
    if (byFinger()) {
        QTest::touchEvent(&window, touchScreen_).press(0, onScreen(*run, from), window.viewport());
        loop_.advance(400 * platform::kNanosPerMillisecond);
        ASSERT_NE(browser.draggedCell(), nullptr) << "a finger held still picks the row up";
        QTest::touchEvent(&window, touchScreen_).move(0, onScreen(*run, to), window.viewport());
    } else {
        sendMouse(*run, QEvent::MouseButtonPress, from);
        sendMouse(*run, QEvent::MouseMove, from + QPointF(5, 0));
        ASSERT_NE(browser.draggedCell(), nullptr) << "the mouse picks the row up as it moves";
        sendMouse(*run, QEvent::MouseMove, to);
    }
    ui::kit::View* copy = browser.draggedCell();
    EXPECT_NEAR(copy->mapToScene(copy->bounds().center()).x(), to.x(), 2.0);
    EXPECT_NEAR(copy->mapToScene(copy->bounds().center()).y(), to.y(), 2.0);
    EXPECT_EQ(copy->width(), packs->width());
    EXPECT_DOUBLE_EQ(copy->alpha(), 0.8);
    // Drawn above the pads: the browser's view lies above their panel.
    const auto siblings = run->screen().baseContainer()->subviews();
    auto place = [&](ui::kit::View* view) { return std::find(siblings.begin(), siblings.end(), view) - siblings.begin(); };
    EXPECT_LT(place(run->screen().tapButtonsContainer()), place(browser.view()));
    const std::string png = std::string(STROMBEL_TEST_OUTPUT_DIR) + (byFinger() ? "/browser_drag_finger.png" : "/browser_drag_mouse.png");
    EXPECT_TRUE(window.render(1.0).save(QString::fromStdString(png)));
    if (byFinger()) QTest::touchEvent(&window, touchScreen_).release(0, onScreen(*run, to), window.viewport());
    else sendMouse(*run, QEvent::MouseButtonRelease, to);
    loop_.runPending();
    EXPECT_EQ(browser.draggedCell(), nullptr);
}

TEST_P(LibraryBrowserDragTest, APadSwappedWithAnEmptyPadLeavesARowThatShowsItsOwnNumber) {
    auto run = start();
    library::SoundDataManager& library = *run->program().library();
    ASSERT_TRUE(library.removeSampleFromSoundbank(0, 5));
    loop_.runPending();
    DragDropTableViewController& browser = openBrowser(*run);
    TableView* banks = browser.dstTableView();
    tapRow(*run, banks, {0, 0});
    ASSERT_EQ(textOf(banks, {0, 6}), "     [ 6 ]");
    const std::string third = library.sampleForSoundbank(0, 2)->name();

    // Pad [3] onto the empty [6]: row 3 is now the empty one, and says so.
    drag(*run, centreOf(banks, {0, 3}), centreOf(banks, {0, 6}));
    ASSERT_EQ(library.sampleForSoundbank(0, 2), nullptr);
    EXPECT_EQ(textOf(banks, {0, 3}), "     [ 3 ]");
    EXPECT_EQ(textOf(banks, {0, 6}), "     " + QString::fromStdString(third).toUpper());
    auto* emptied = dynamic_cast<DropTableCell*>(banks->cellForRow({0, 3}));
    ASSERT_NE(emptied, nullptr);
    EXPECT_TRUE(emptied->removeButton->isHidden());
}

INSTANTIATE_TEST_SUITE_P(MouseAndFinger, LibraryBrowserDragTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "ByFinger" : "ByMouse"; });

TEST_F(LibraryBrowserTest, ACancelledPackDragReachesTheDelegateAndAQuickSwipeScrolls) {
    auto run = start();
    DragDropTableViewController& browser = openBrowser(*run);
    RecordingBrowserDelegate delegate;
    auto* screensDelegate = browser.delegate();
    browser.setDelegate(&delegate);
    TableView* packs = browser.srcTableView();
    for (int section = 0; section < 3; ++section) tapRow(*run, packs, {section, 0});
    packs->setContentOffset(0);
    loop_.runPending();

    // The system takes the finger away mid-drag: the drag ends at the delegate.
    fingerDrag(*run, centreOf(packs, {0, 1}), centreOf(packs, {0, 1}) + QPointF(0, 30), 0.4, true);
    ASSERT_EQ(delegate.drops.size(), 1u);
    EXPECT_EQ(delegate.drops[0].first, (IndexPath{0, 0}));
    EXPECT_EQ(browser.draggedCell(), nullptr);

    // A finger that moves at once scrolls the table and picks up nothing.
    fingerDrag(*run, centreOf(packs, {0, 4}), centreOf(packs, {0, 4}) - QPointF(0, 120), 0.0);
    EXPECT_GT(packs->contentOffset(), 60);
    EXPECT_EQ(delegate.drops.size(), 1u);
    EXPECT_EQ(browser.draggedCell(), nullptr);

    // The mouse on a pack's header scrolls too: a header cannot be picked up.
    packs->scrollToRowAtTop({3, 0});
    loop_.runPending();
    const double offset = packs->contentOffset();
    ASSERT_GT(offset, 40);
    mouseDrag(*run, centreOf(packs, {3, 0}), centreOf(packs, {3, 0}) + QPointF(0, 40));
    EXPECT_LT(packs->contentOffset(), offset);
    EXPECT_EQ(delegate.drops.size(), 1u);
    browser.setDelegate(screensDelegate);
}

// ---- Preview ----------------------------------------------------------------------------

TEST_F(LibraryBrowserTest, ATapPreviewsWithTheArrowAndASecondStops) {
    auto run = start();
    DragDropTableViewController& browser = openBrowser(*run);
    TableView* packs = browser.srcTableView();
    tapRow(*run, packs, {0, 0});
    auto arrowOf = [&](const IndexPath& path) {
        return dynamic_cast<DropTableCell*>(packs->cellForRow(path))->playingArrow;
    };
    EXPECT_TRUE(arrowOf({0, 1})->isHidden());
    tapRow(*run, packs, {0, 1});
    EXPECT_FALSE(arrowOf({0, 1})->isHidden());
    EXPECT_GT(runFor(*run, 0.05), 0);
    tapRow(*run, packs, {0, 1});
    EXPECT_TRUE(arrowOf({0, 1})->isHidden());
    runFor(*run, 0.05);
    EXPECT_EQ(nextBuffer(*run), 0);

    // Played to its end, the arrow goes by itself.
    tapRow(*run, packs, {0, 1});
    EXPECT_FALSE(arrowOf({0, 1})->isHidden());
    runFor(*run, 10.0);
    EXPECT_TRUE(arrowOf({0, 1})->isHidden());
}

// ---- Removals -----------------------------------------------------------------------------

TEST_F(LibraryBrowserTest, RemovingSamplesAsksFirstAndTakesOnlyWhatWasConfirmed) {
    auto run = start();
    library::SoundDataManager& library = *run->program().library();
    const std::string mine = addUserSample(*run, "mine.wav");
    DragDropTableViewController& browser = openBrowser(*run);
    TableView* packs = browser.srcTableView();
    auto sectionOf = [&](const std::string& path) {
        const auto& sections = library.soundpackSamplesResultsController().sections();
        for (size_t i = 0; i < sections.size(); ++i)
            for (const auto& sample : sections[i].samples)
                if (sample->filepath() == path) return int(i);
        return -1;
    };
    const int user = sectionOf(mine);
    ASSERT_GE(user, 0);
    tapRow(*run, packs, {0, 0});
    if (user != 0) tapRow(*run, packs, {user, 0});
    packs->scrollToRowAtTop({user, 0});
    loop_.runPending();
    auto deleteOf = [&](const IndexPath& path) {
        return dynamic_cast<DropTableCell*>(packs->cellForRow(path))->deleteButton;
    };

    // "No wait!" keeps it.
    tap(*run, deleteOf({user, 1}));
    ASSERT_EQ(run->alerts().shown.size(), 1u);
    EXPECT_EQ(run->alerts().shown[0].title, "Sample");
    EXPECT_TRUE(run->alerts().press("No wait!"));
    EXPECT_NE(library.sampleWithFilepath(mine), nullptr);

    // Another sample arrives while the question is open: only the one asked about goes.
    tap(*run, deleteOf({user, 1}));
    addUserSample(*run, "aaa_first.wav");
    EXPECT_TRUE(run->alerts().press("Remove"));
    loop_.runPending();
    EXPECT_EQ(library.sampleWithFilepath(mine), nullptr);
    EXPECT_FALSE(std::filesystem::exists(run->sandbox().root() / mine));
    EXPECT_NE(library.sampleWithFilepath("Documents/aaa_first.wav"), nullptr);

    // A stock sample leaves the library, its bundle file stays.
    packs->setContentOffset(0);
    loop_.runPending();
    const auto stock = library.soundpackSamplesResultsController().objectAtIndexPath(0, 0);
    const std::filesystem::path stockFile = library.absolutePathOfSample(stock->filepath());
    tap(*run, deleteOf({0, 1}));
    EXPECT_TRUE(run->alerts().press("Remove"));
    EXPECT_EQ(library.sampleWithFilepath(stock->filepath()), nullptr);
    EXPECT_TRUE(std::filesystem::exists(stockFile));
    EXPECT_EQ(packs->numberOfRows(0), 1 + int(library.soundpackSamplesResultsController().sections()[0].samples.size()));
}

TEST_F(LibraryBrowserTest, RemovingARecordingMovesItToTheTrashAndTheAlertsSaySo) {
    auto run = start();
    library::SoundDataManager& library = *run->program().library();
    const std::string take = addUserSample(*run, "recording 01.wav");
    const std::string bytes = testing::fileBytes(run->sandbox().root() / take);
    DragDropTableViewController& browser = openBrowser(*run);
    TableView* packs = browser.srcTableView();
    int user = -1;
    const auto& sections = library.soundpackSamplesResultsController().sections();
    for (size_t i = 0; i < sections.size(); ++i)
        if (sections[i].samples.front()->filepath() == take) user = int(i);
    ASSERT_GE(user, 0);
    packs->scrollToRowAtTop({user, 0});
    tapRow(*run, packs, {user, 0});
    auto cellOf = [&](const IndexPath& path) { return dynamic_cast<DropTableCell*>(packs->cellForRow(path)); };

    // The USER pack's alert names the documents folder, where new samples come from.
    tap(*run, cellOf({user, 0})->deleteButton);
    ASSERT_EQ(run->alerts().shown.size(), 1u);
    EXPECT_EQ(run->alerts().shown[0].title, "User Samples");
    EXPECT_TRUE(run->alerts().shown[0].message.contains(QString::fromStdString(run->sandbox().documents().string())))
        << run->alerts().shown[0].message.toStdString();
    EXPECT_TRUE(run->alerts().shown[0].message.contains("go to the trash"));
    ASSERT_TRUE(run->alerts().press("No wait!"));

    // The recording's own alert says where it goes, and it goes there whole.
    tap(*run, cellOf({user, 1})->deleteButton);
    ASSERT_EQ(run->alerts().shown.size(), 1u);
    EXPECT_EQ(run->alerts().shown[0].message.toStdString(),
              "Remove sample 'recording 01'?\n\nIt will be removed from Strombel and its file goes to the trash, "
              "from where it can be restored.");
    ASSERT_TRUE(run->alerts().press("Remove"));
    loop_.runPending();
    EXPECT_EQ(library.sampleWithFilepath(take), nullptr);
    EXPECT_FALSE(std::filesystem::exists(run->sandbox().root() / take));
    EXPECT_EQ(testing::fileBytes(run->sandbox().trash() / "files" / "recording 01.wav"), bytes);
    EXPECT_TRUE(std::filesystem::exists(run->sandbox().trash() / "info" / "recording 01.wav.trashinfo"));

    // Where the trash cannot take it, the file stays and the user is told why.
    const std::string second = addUserSample(*run, "recording 02.wav");
    std::filesystem::remove_all(run->sandbox().trash());
    std::ofstream(run->sandbox().trash()) << "no folder";
    // The pack's section went with its last sample and comes back folded.
    packs->scrollToRowAtTop({user, 0});
    if (!browser.expandedSrcSections().count(user)) tapRow(*run, packs, {user, 0});
    ASSERT_NE(cellOf({user, 1}), nullptr);
    tap(*run, cellOf({user, 1})->deleteButton);
    ASSERT_TRUE(run->alerts().press("Remove"));
    loop_.runPending();
    EXPECT_NE(library.sampleWithFilepath(second), nullptr);
    EXPECT_TRUE(std::filesystem::exists(run->sandbox().root() / second));
    ASSERT_EQ(run->alerts().shown.size(), 1u);
    EXPECT_EQ(run->alerts().shown[0].title, "Sample");
    EXPECT_TRUE(run->alerts().shown[0].message.startsWith("'recording 02' could not be moved to the trash"))
        << run->alerts().shown[0].message.toStdString();
    EXPECT_TRUE(run->alerts().shown[0].message.endsWith("The file is kept."));
}

TEST_F(LibraryBrowserTest, ARemovalActsOnTheSampleItNamedAndOneQuestionIsOpenAtATime) {
    // X on one sample, a pad played, X on another: the one named by the open
    // question goes, whatever was pressed after it; with user samples only the
    // file named goes to the trash.
    for (const bool userSamples : {false, true}) {
        SCOPED_TRACE(userSamples ? "user samples" : "a stock pack");
        auto run = std::make_unique<ProgramRun>(temp_ / (userSamples ? "user" : "stock"), clock_, loop_);
        library::SoundDataManager& library = *run->program().library();
        if (userSamples) {
            addUserSample(*run, "china.wav");
            addUserSample(*run, "clap.wav");
        }
        DragDropTableViewController& browser = openBrowser(*run);
        TableView* packs = browser.srcTableView();
        const auto& sections = library.soundpackSamplesResultsController().sections();
        int section = 0;
        if (userSamples) {
            while (sections[size_t(section)].samples.front()->soundpack()->packId() !=
                   library::SoundDataManager::kUserSamplesPackId)
                ++section;
        }
        packs->scrollToRowAtTop({section, 0});
        tapRow(*run, packs, {section, 0});
        const auto asked = sections[size_t(section)].samples.at(0);
        const auto later = sections[size_t(section)].samples.at(1);
        const std::string askedPath = asked->filepath(), laterPath = later->filepath();
        const std::string askedName = asked->name();
        auto deleteOf = [&](int row) { return dynamic_cast<DropTableCell*>(packs->cellForRow({section, row}))->deleteButton; };

        tap(*run, deleteOf(1));
        tap(*run, run->screen().tapButton(0));
        tap(*run, deleteOf(2));
        EXPECT_EQ(run->alerts().shown.size(), 1u) << "a second question while one is open";
        EXPECT_TRUE(run->alerts().shown[0].message.contains(QString::fromStdString("'" + askedName + "'")));
        ASSERT_TRUE(run->alerts().press("Remove"));
        loop_.runPending();
        EXPECT_EQ(library.sampleWithFilepath(askedPath), nullptr);
        EXPECT_NE(library.sampleWithFilepath(laterPath), nullptr);
        if (userSamples) {
            EXPECT_TRUE(std::filesystem::exists(run->sandbox().trash() / "files" / "china.wav"));
            EXPECT_FALSE(std::filesystem::exists(run->sandbox().trash() / "files" / "clap.wav"));
            EXPECT_TRUE(std::filesystem::exists(run->sandbox().root() / laterPath));
        }

        // Answered, the next X asks again.
        tap(*run, deleteOf(1));
        EXPECT_EQ(run->alerts().shown.size(), 1u);
        ASSERT_TRUE(run->alerts().press("No wait!"));
        EXPECT_NE(library.sampleWithFilepath(laterPath), nullptr);
    }
}

TEST_F(LibraryBrowserTest, AQuestionThatNoLongerShowsHoldsNoLaterRemoval) {
    auto run = std::make_unique<ProgramRun>(temp_ / "lost", clock_, loop_);
    DragDropTableViewController& browser = openBrowser(*run);
    TableView* packs = browser.srcTableView();
    auto packDelete = [&] { return dynamic_cast<DropTableCell*>(packs->cellForRow({0, 0}))->deleteButton; };
    tap(*run, packDelete());
    ASSERT_EQ(run->alerts().shown.size(), 1u);
    // Taken away without an answer (or lost on its way to the screen).
    run->alerts().dismissAlert("Soundpack");
    tap(*run, packDelete());
    ASSERT_EQ(run->alerts().shown.size(), 1u) << "the X asks again";
    EXPECT_EQ(run->alerts().shown[0].title, "Soundpack");
    // The possessive is spelled "its" here, not "it's" as the question was once written.
    EXPECT_TRUE(run->alerts().shown[0].message.contains("The pack and all its samples will be removed"))
        << run->alerts().shown[0].message.toStdString();
    ASSERT_TRUE(run->alerts().press("No wait!"));
}

TEST_F(LibraryBrowserTest, TheLastSampleOfAPackReloadsWithExpansionsKept) {
    auto run = start();
    library::SoundDataManager& library = *run->program().library();
    const std::string only = addUserSample(*run, "only.wav");
    addPack(*run, "Zz after", 3);
    DragDropTableViewController& browser = openBrowser(*run);
    TableView* packs = browser.srcTableView();
    const auto& sections = library.soundpackSamplesResultsController().sections();
    int user = -1;
    for (size_t i = 0; i < sections.size(); ++i)
        if (sections[i].samples.front()->filepath() == only) user = int(i);
    ASSERT_GE(user, 0);
    const int packCount = packs->numberOfSections();
    ASSERT_LT(user + 1, packCount) << "a pack lies after the user samples";
    tapRow(*run, packs, {user + 1, 0});
    tapRow(*run, packs, {user, 0});
    packs->scrollToRowAtTop({user, 0});
    tap(*run, dynamic_cast<DropTableCell*>(packs->cellForRow({user, 1}))->deleteButton);
    ASSERT_TRUE(run->alerts().press("Remove"));
    loop_.runPending();
    EXPECT_EQ(packs->numberOfSections(), packCount - 1);
    // The pack that came after is still expanded, one section up.
    EXPECT_EQ(browser.expandedSrcSections(), std::set<int>{user});
    EXPECT_GT(packs->numberOfRows(user), 1);
}

TEST_F(LibraryBrowserTest, ExpandedSectionsStayWithTheirPackAndBankWhenOthersComeBeforeThem) {
    auto run = start();
    library::SoundDataManager& library = *run->program().library();
    const auto later = addPack(*run, "Zz later", 3);
    DragDropTableViewController& browser = openBrowser(*run);
    TableView* packs = browser.srcTableView();
    TableView* banks = browser.dstTableView();
    auto sectionOf = [&](const std::shared_ptr<library::Soundpack>& pack) {
        const auto all = library.soundpacks();
        return int(std::find(all.begin(), all.end(), pack) - all.begin());
    };
    tapRow(*run, packs, {sectionOf(later), 0});
    tapRow(*run, banks, {1, 0});
    const auto expandedBank = library.soundbanks()[1];

    // Packs come in before it (a download, a scan), and a bank moves above the open one.
    addPack(*run, "Aa first", 2);
    addPack(*run, "Ab second", 2);
    ASSERT_EQ(sectionOf(later), packs->numberOfSections() - 1);
    const auto all = library.soundbanks();
    ASSERT_TRUE(library.moveSoundbankFromIndex(all.size() - 1, 0));
    library.saveSoundbanks();
    loop_.runPending();

    EXPECT_EQ(browser.expandedSrcSections(), std::set<int>{sectionOf(later)});
    EXPECT_EQ(packs->numberOfRows(sectionOf(later)), 4);
    EXPECT_EQ(packs->numberOfRows(0), 1) << "the new first pack is not expanded in its place";
    EXPECT_EQ(library.soundbanks()[2], expandedBank);
    EXPECT_EQ(browser.expandedDstSections(), std::set<int>{2});
    EXPECT_EQ(banks->numberOfRows(1), 1);
}

TEST_F(LibraryBrowserTest, TheBanksListMarksTheBankBeingPlayed) {
    auto run = start();
    DragDropTableViewController& browser = openBrowser(*run);
    TableView* banks = browser.dstTableView();
    auto marked = [&] {
        std::vector<int> found;
        for (int section = 0; section < banks->numberOfSections(); ++section) {
            auto* cell = dynamic_cast<DropTableCell*>(banks->cellForRow({section, 0}));
            if (cell && cell->isCurrent()) found.push_back(section);
            // What the user sees: a lit row with a white name, the others on black in rust.
            if (!cell) continue;
            EXPECT_EQ(cell->backgroundColor() != QColor(Qt::black), cell->isCurrent()) << section;
            EXPECT_EQ(cell->textLabel()->textColor() == QColor(Qt::white), cell->isCurrent()) << section;
        }
        return found;
    };
    ASSERT_EQ(run->program().engine()->currentSoundBankIdx(), 0u);
    EXPECT_EQ(marked(), std::vector<int>{0});

    tapRow(*run, banks, {2, 0});  // a bank's row chooses it
    EXPECT_EQ(run->program().engine()->currentSoundBankIdx(), 2u);
    EXPECT_EQ(marked(), std::vector<int>{2});
    EXPECT_FALSE(dynamic_cast<DropTableCell*>(banks->cellForRow({2, 1}))->isCurrent()) << "only the bank's own row";

    tapRow(*run, banks, {2, 0});  // folded again, the next bank's row is in sight
    tap(*run, &run->screen().soundBankControl()->rightButton());  // and so does the selector
    EXPECT_EQ(run->program().engine()->currentSoundBankIdx(), 3u);
    EXPECT_EQ(marked(), std::vector<int>{3});
}

TEST_F(LibraryBrowserTest, APackThatCannotBeRemovedWholeKeepsItsSectionAndSaysWhatStayed) {
    auto run = start();
    library::SoundDataManager& library = *run->program().library();
    // A downloaded pack of three samples; the second one's file cannot be
    // deleted (a folder with something in it holds its name).
    const auto stock = library.soundpackSamplesResultsController().objectAtIndexPath(0, 0);
    const std::filesystem::path downloads = run->sandbox().root() / "Library/Caches/downloads/zy";
    std::filesystem::create_directories(downloads / "b.wav" / "inside");
    auto& context = library.managedObjectContext();
    auto stays = context.insertSoundpack();
    stays->setPackId("test.zy");
    stays->setName("Zy Stays");
    for (const char* file : {"a.wav", "b.wav", "c.wav"}) {
        if (std::string(file) != "b.wav")
            std::filesystem::copy_file(library.absolutePathOfSample(stock->filepath()), downloads / file);
        auto sample = context.insertSample();
        sample->setFilepath(std::string("Library/Caches/downloads/zy/") + file);
        sample->setName(std::string("Zy ") + file);
        sample->setSoundpack(stays);
    }
    library.saveSamples();
    loop_.runPending();
    addPack(*run, "Zz Opened", 2);

    DragDropTableViewController& browser = openBrowser(*run);
    TableView* packs = browser.srcTableView();
    const int sections = packs->numberOfSections();
    const auto packIdx = [&](const std::string& name) {
        const auto all = library.soundpacks();
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i]->name() == name) return int(i);
        return -1;
    };
    const int zy = packIdx("Zy Stays"), zz = packIdx("Zz Opened");
    ASSERT_EQ(zz, zy + 1);
    tapRow(*run, packs, {zz, 0});  // the user opened the pack after it
    ASSERT_EQ(browser.expandedSrcSections(), std::set<int>{zz});

    packs->scrollToRowAtTop({zy, 0});
    loop_.runPending();
    tap(*run, dynamic_cast<DropTableCell*>(packs->cellForRow({zy, 0}))->deleteButton);
    ASSERT_TRUE(run->alerts().press("Remove"));
    loop_.runPending();

    EXPECT_FALSE(stays->isDeleted());
    EXPECT_FALSE(std::filesystem::exists(downloads / "a.wav"));
    EXPECT_FALSE(std::filesystem::exists(downloads / "c.wav"));
    EXPECT_EQ(packs->numberOfSections(), sections) << "the section stays";
    EXPECT_EQ(packIdx("Zy Stays"), zy);
    EXPECT_EQ(browser.expandedSrcSections(), std::set<int>{zz}) << "the opened pack stays open, the other closed";
    EXPECT_EQ(packs->numberOfRows(zy), 1);
    EXPECT_EQ(packs->numberOfRows(zz), 3);
    ASSERT_EQ(run->alerts().shown.size(), 1u);
    EXPECT_EQ(run->alerts().shown[0].title, "Soundpack");
    EXPECT_TRUE(run->alerts().shown[0].message.contains("Zy b.wav")) << run->alerts().shown[0].message.toStdString();
    EXPECT_FALSE(run->alerts().shown[0].message.contains("Zy a.wav"));
}

TEST_F(LibraryBrowserTest, PacksWhoseNamesDifferInCaseAreTwoSectionsAndRemovedOneByOne) {
    auto run = start();
    library::SoundDataManager& library = *run->program().library();
    const std::shared_ptr<library::Soundpack> packs[2] = {addPack(*run, "Drums", 2), addPack(*run, "DRUMS", 2)};
    DragDropTableViewController& browser = openBrowser(*run);
    TableView* table = browser.srcTableView();
    int first = -1;
    const auto& sections = library.soundpackSamplesResultsController().sections();
    for (size_t i = 0; i < sections.size(); ++i)
        if (first < 0 && sections[i].samples.front()->soundpack() == packs[0]) first = int(i);
    ASSERT_GE(first, 0);
    ASSERT_EQ(sections[size_t(first) + 1].samples.front()->soundpack(), packs[1]);
    EXPECT_EQ(sections[size_t(first)].samples.size(), 2u);
    EXPECT_EQ(library.soundpacks()[size_t(first) + 1], packs[1]);

    // "DRUMS" is asked about, then "Drums" goes meanwhile: "DRUMS" goes all the
    // same, and nothing else.
    const size_t packCount = library.soundpacks().size();
    table->scrollToRowAtTop({first, 0});
    loop_.runPending();
    tap(*run, dynamic_cast<DropTableCell*>(table->cellForRow({first + 1, 0}))->deleteButton);
    ASSERT_TRUE(library.removeSoundpackAtIndex(uint64_t(first)));
    loop_.runPending();
    ASSERT_TRUE(run->alerts().press("Remove"));
    loop_.runPending();
    EXPECT_TRUE(packs[0]->isDeleted());
    EXPECT_TRUE(packs[1]->isDeleted());
    EXPECT_EQ(library.soundpacks().size(), packCount - 2);
    EXPECT_EQ(table->numberOfSections(), int(packCount - 2));
}

TEST_F(LibraryBrowserTest, ANewBankIsAddedAtTheEndAndNamedAndBanksAreRemovedToTheLast) {
    auto run = start();
    library::SoundDataManager& library = *run->program().library();
    DragDropTableViewController& browser = openBrowser(*run);
    TableView* banks = browser.dstTableView();
    const size_t count = library.soundbanks().size();

    tap(*run, browser.addSoundbankButton());
    EXPECT_EQ(library.soundbanks().size(), count + 1);
    EXPECT_EQ(banks->numberOfSections(), int(count + 1));
    ASSERT_NE(run->screen().editNameTextfield(), nullptr) << "the new bank's name is asked for";
    EXPECT_EQ(run->screen().editSoundboxIdx(), count);
    // The name typed becomes the new bank's, in the library and on its header row.
    run->screen().editNameTextfield()->setText("Night Drive");
    ASSERT_TRUE(run->screen().textFieldShouldReturn());
    loop_.advance(600 * platform::kNanosPerMillisecond);
    EXPECT_EQ(run->screen().editNameTextfield(), nullptr);
    EXPECT_EQ(library.soundbanks().back()->name(), "Night Drive");
    banks->scrollToRowAtTop({int(count), 0});
    loop_.runPending();
    EXPECT_EQ(textOf(banks, {int(count), 0}), "    NIGHT DRIVE");

    while (library.soundbanks().size() > 1) {
        banks->setContentOffset(0);
        loop_.runPending();
        tap(*run, dynamic_cast<DropTableCell*>(banks->cellForRow({0, 0}))->deleteButton);
        ASSERT_EQ(run->alerts().shown.back().title, "Soundbank");
        ASSERT_TRUE(run->alerts().press("Remove"));
        loop_.runPending();
        EXPECT_EQ(banks->numberOfSections(), int(library.soundbanks().size()));
    }
    // The last bank: the library keeps one, and its section shows it.
    tapRow(*run, banks, {0, 0});
    tap(*run, dynamic_cast<DropTableCell*>(banks->cellForRow({0, 0}))->deleteButton);
    ASSERT_TRUE(run->alerts().press("Remove"));
    loop_.runPending();
    EXPECT_EQ(library.soundbanks().size(), 1u);
    EXPECT_EQ(banks->numberOfSections(), 1);
    EXPECT_TRUE(browser.expandedDstSections().empty());
}

TEST_F(LibraryBrowserTest, TheBankBeingPlayedStaysCurrentWhenBanksMoveComeAndGo) {
    auto run = start();
    library::SoundDataManager& library = *run->program().library();
    ASSERT_GE(library.soundbanks().size(), 3u);
    const auto playing = library.soundbanks()[0];
    const QString firstPad = run->screen().tapButtonLabel(0)->text();
    DragDropTableViewController& browser = openBrowser(*run);
    TableView* banks = browser.dstTableView();
    auto stillCurrent = [&](const char* after) {
        const uint64_t current = run->program().engine()->currentSoundBankIdx();
        ASSERT_LT(current, library.soundbanks().size()) << after;
        EXPECT_EQ(library.soundbanks()[current], playing) << after;
        EXPECT_EQ(run->screen().soundBankControl()->currentBank(), current) << after;
        EXPECT_EQ(uint64_t(run->defaults().integerForKey("CurrentSoundBank")), current) << after;
        EXPECT_EQ(run->screen().tapButtonLabel(0)->text(), firstPad) << after;
    };

    // The last bank dragged to the top: the bank played moves down one.
    const int last = int(library.soundbanks().size()) - 1;
    mouseDrag(*run, centreOf(banks, {last, 0}), centreOf(banks, {0, 0}));
    ASSERT_NE(library.soundbanks()[0], playing) << "a bank moved in above the one played";
    stillCurrent("a bank moved above it");

    // A bank added at the end, and one removed above it.
    tap(*run, browser.addSoundbankButton());
    run->screen().editNameTextfield()->setText("Later");
    ASSERT_TRUE(run->screen().textFieldShouldReturn());
    loop_.advance(600 * platform::kNanosPerMillisecond);
    stillCurrent("a bank added");
    banks->setContentOffset(0);
    loop_.runPending();
    tap(*run, dynamic_cast<DropTableCell*>(banks->cellForRow({0, 0}))->deleteButton);
    ASSERT_TRUE(run->alerts().press("Remove"));
    loop_.runPending();
    stillCurrent("a bank above it removed");

    run.reset();
    run = start();
    EXPECT_EQ(run->program().library()->soundbanks()[run->program().engine()->currentSoundBankIdx()]->name(),
              playing->name());
}

// ---- The pad screen's side ----------------------------------------------------------------

TEST_F(LibraryBrowserTest, SortClosesTheOtherPanelsAndTheEditorAndItsButtonsReachThePadScreen) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    tap(*run, screen.sequencerBtn());
    ASSERT_TRUE(screen.sequencerBtn()->isPressedDown());
    DragDropTableViewController& browser = openBrowser(*run);
    EXPECT_FALSE(screen.sequencerBtn()->isPressedDown());
    EXPECT_EQ(screen.sequencerScreen(), nullptr);
    EXPECT_EQ(screen.slidersContainer()->superview(), nullptr);
    EXPECT_TRUE(run->defaults().boolForKey("SoundbankManagement"));

    tap(*run, browser.recordSampleButton());
    ASSERT_NE(screen.editSampleViewController(), nullptr);
    tap(*run, browser.recordSampleButton());
    EXPECT_EQ(screen.editSampleViewController(), nullptr);
    // The pads come back just below the browser, under the shade.
    const auto siblings = screen.baseContainer()->subviews();
    auto place = [&](ui::kit::View* view) { return std::find(siblings.begin(), siblings.end(), view) - siblings.begin(); };
    EXPECT_EQ(place(screen.tapButtonsContainer()) + 1, place(screen.sortController()->view()));

    tap(*run, browser.recordSampleButton());
    ASSERT_NE(screen.editSampleViewController(), nullptr);
    tap(*run, screen.sortBtn());
    EXPECT_EQ(screen.sortController(), nullptr);
    EXPECT_EQ(screen.editSampleViewController(), nullptr) << "closing the browser closes the editor";
    EXPECT_NE(screen.slidersContainer()->superview(), nullptr);
    EXPECT_FALSE(run->defaults().boolForKey("SoundbankManagement"));
}

TEST_F(LibraryBrowserTest, TheBrowserComesBackOpenAndRendersCollapsedAndExpanded) {
    {
        auto run = start();
        openBrowser(*run);
        QImage collapsed = run->program().window().render(1.0);
        EXPECT_TRUE(collapsed.save(QString(STROMBEL_TEST_OUTPUT_DIR) + "/browser_collapsed.png"));
    }
    auto run = start();
    ASSERT_NE(run->screen().sortController(), nullptr) << "SORT is restored";
    DragDropTableViewController& browser = openBrowser(*run);
    tapRow(*run, browser.srcTableView(), {0, 0});
    tapRow(*run, browser.dstTableView(), {0, 0});
    QImage expanded = run->program().window().render(1.0);
    EXPECT_TRUE(expanded.save(QString(STROMBEL_TEST_OUTPUT_DIR) + "/browser_expanded.png"));
}

}  // namespace
}  // namespace strombel::app::scenario
