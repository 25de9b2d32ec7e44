// What the screens print, as a user reads it on the whole program: the layouts'
// own captions whole in the frames made for them, longer names drawn smaller or
// on a second line, or cut after a word with "…", inside their frames rather than
// cut through a letter, and no text drawn over another or under an arrow.

#include <QImage>

#include <filesystem>
#include <string>
#include <vector>

#include "program_test_support.h"
#include "ui/drag_drop_table_view_controller.h"
#include "ui/kit/label.h"
#include "ui/kit/table_view.h"
#include "ui/kit/window.h"
#include "ui/sound_bank_control.h"

namespace strombel::app::scenario {
namespace {

class ScreenTextsTest : public ProgramTest {
protected:
    static constexpr double kScale = 2.0;  // pixels per point

    static QImage render(ProgramRun& run, const char* name = nullptr) {
        QImage image = run.program().window().render(kScale).convertToFormat(QImage::Format_RGB32);
        if (name) image.save(QString::fromStdString((std::filesystem::path(STROMBEL_TEST_OUTPUT_DIR) / name).string()));
        return image;
    }
    static QRect pixelsOf(const ui::kit::View* view) {
        const QPointF topLeft = view->mapToScene(QPointF(0, 0));
        const QPointF bottomRight = view->mapToScene(QPointF(view->width(), view->height()));
        return QRectF(topLeft * kScale, bottomRight * kScale).toAlignedRect();
    }
    /// The pixels of `area` that differ between two pictures.
    static std::vector<QPoint> changed(const QImage& a, const QImage& b, const QRect& area) {
        std::vector<QPoint> found;
        const QRect inside = area.intersected(a.rect());
        for (int y = inside.top(); y <= inside.bottom(); ++y)
            for (int x = inside.left(); x <= inside.right(); ++x)
                if (a.pixel(x, y) != b.pixel(x, y)) found.emplace_back(x, y);
        return found;
    }
    /// Pixels of `area`'s last `columns` pixel columns that are bright like text.
    static int inkAtRightEdge(const QImage& image, const QRect& area, int columns = 1) {
        int ink = 0;
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.right() - columns + 1; x <= area.right(); ++x)
                ink += qGray(image.pixel(x, y)) > 150 ? 1 : 0;
        return ink;
    }

    /// How much of `row`'s text is drawn under the first of `icons` or to its
    /// right. The icons' black would hide it: looked at without them.
    int textUnderIcons(ProgramRun& run, ui::DropTableCell* row, std::vector<ui::kit::View*> icons) {
        double left = row->width();
        for (ui::kit::View* icon : icons) {
            icon->setHidden(true);
            left = std::min(left, icon->x());
        }
        const QImage withText = render(run);
        row->textLabel()->setHidden(true);
        const QImage without = render(run);
        row->textLabel()->setHidden(false);
        for (ui::kit::View* icon : icons) icon->setHidden(false);
        const int edge = int(row->mapToScene(QPointF(left, 0)).x() * kScale);
        int under = 0;
        for (const QPoint& p : changed(withText, without, pixelsOf(row))) under += p.x() >= edge - 1 ? 1 : 0;
        return under;
    }

    /// Every label shown, outside the rows of tables (names of the library).
    static void labelsIn(ui::kit::View* view, std::vector<ui::kit::Label*>& found) {
        if (!view || view->isHidden() || dynamic_cast<ui::kit::TableViewCell*>(view)) return;
        if (auto* label = dynamic_cast<ui::kit::Label*>(view)) found.push_back(label);
        for (ui::kit::View* sub : view->subviews()) labelsIn(sub, found);
    }
};

TEST_F(ScreenTextsTest, TheLayoutsCaptionsFitTheirFramesInEveryLayoutAndPanel) {
    for (const ui::GuiType guiType : {ui::GuiType::tablet, ui::GuiType::phoneLandscape, ui::GuiType::phonePortrait}) {
        SCOPED_TRACE(int(guiType));
        auto run = start(guiType);
        ui::StrombelViewController& screen = run->screen();
        // The pads' names and the bank's name are the library's, not the layout's.
        std::vector<const ui::kit::Label*> names;
        for (int pad = 0; pad < 12; ++pad) names.push_back(screen.tapButtonLabel(pad));
        for (ui::SmallButtonControl* panel :
             {screen.sequencerBtn(), screen.sampleOptionsBtn(), screen.inOutBtn(), screen.sortBtn()}) {
            tap(*run, panel);
            loop_.advance(500 * platform::kNanosPerMillisecond);
            std::vector<ui::kit::Label*> labels;
            labelsIn(run->program().window().rootView(), labels);
            for (const ui::kit::Label* label : labels) {
                if (std::find(names.begin(), names.end(), label) != names.end()) continue;
                if (label->superview() && dynamic_cast<ui::SoundBankControl*>(label->superview())) continue;
                EXPECT_EQ(label->displayedText(), label->text())
                    << "needs " << QFontMetricsF(label->font()).horizontalAdvance(label->text()) << " of "
                    << label->width();
            }
            tap(*run, panel);
        }
    }
}

TEST_F(ScreenTextsTest, PadNamesTooLongForTheirFramesAreDrawnWholeSmallerOrOnTwoLinesClearOfThePad) {
    for (const ui::GuiType guiType : {ui::GuiType::tablet, ui::GuiType::phoneLandscape, ui::GuiType::phonePortrait}) {
        SCOPED_TRACE(int(guiType));
        auto run = start(guiType);
        ui::StrombelViewController& screen = run->screen();
        const QImage image = render(*run, "strombel_pad_names.png");
        int tooLong = 0;
        for (int pad = 0; pad < 12; ++pad) {
            ui::kit::Label* label = screen.tapButtonLabel(pad);
            SCOPED_TRACE(label->text().toStdString());
            if (QFontMetricsF(label->font()).horizontalAdvance(label->text()) <= label->width()) continue;
            ++tooLong;
            // Every word, none cut, at no less than three quarters of the size.
            const ui::kit::Label::Fitted shown = label->fitted();
            EXPECT_EQ(shown.lines.join(' '), label->text()) << shown.lines.join('|').toStdString();
            EXPECT_GE(shown.font.pixelSize(), label->font().pixelSize() * 3 / 4);
            // A letter cut at the frame leaves its stroke in the frame's last pixels.
            EXPECT_EQ(inkAtRightEdge(image, pixelsOf(label)), 0);
            // Its lines stay above the pad's picture.
            label->setHidden(true);
            const std::vector<QPoint> ink = changed(image, render(*run), pixelsOf(label->superview()));
            label->setHidden(false);
            const ui::kit::Button* button = screen.tapButton(pad);
            const QImage face = button->image(ui::kit::normal);
            const double faceHeight = face.height() / face.devicePixelRatio();
            const double top = button->mapToScene(QPointF(0, (button->height() - faceHeight) / 2)).y();
            ASSERT_FALSE(ink.empty());
            EXPECT_EQ(std::count_if(ink.begin(), ink.end(), [&](const QPoint& p) { return p.y() >= top * kScale; }), 0)
                << "drawn on the pad";
        }
        EXPECT_GE(tooLong, 1) << "the stock bank has names longer than a pad";
    }
}

TEST_F(ScreenTextsTest, APadNameDrawnOutsideItsFrameLeavesNothingBehindWhenThePadsShowPatterns) {
    // The window repaints what a label says it covers: a name on two lines,
    // taller than its frame, left its first line's foot and its second line's
    // top on the screen when EXPRT turned it into a pattern's number.
    for (const ui::GuiType guiType : {ui::GuiType::tablet, ui::GuiType::phoneLandscape, ui::GuiType::phonePortrait}) {
        SCOPED_TRACE(int(guiType));
        auto run = start(guiType);
        ui::StrombelViewController& screen = run->screen();
        ui::kit::Label* label = screen.tapButtonLabel(7);
        label->setText("STRASSENMUSIK GROSSSTADT");
        ASSERT_EQ(label->fitted().lines.size(), 2u);
        const QImage before = render(*run);
        const QRectF covered = label->mapRectToScene(label->boundingRect());
        // Upright, I/O and its panel lie on the strip's other side.
        auto otherSide = [&] {
            if (guiType != ui::GuiType::phonePortrait) return;
            screen.switchVisibleSide();
            loop_.advance(300 * platform::kNanosPerMillisecond);
        };
        otherSide();
        tap(*run, screen.inOutBtn());
        ASSERT_NE(screen.exportBtn(), nullptr);
        tap(*run, screen.exportBtn());
        otherSide();
        ASSERT_EQ(label->text(), "08");
        const QRectF coveredNow = label->mapRectToScene(label->boundingRect());
        const QRect repainted = QRectF(covered.topLeft() * kScale, covered.bottomRight() * kScale)
                                    .toAlignedRect()
                                    .united(QRectF(coveredNow.topLeft() * kScale, coveredNow.bottomRight() * kScale)
                                                .toAlignedRect());
        // What changed around the label: its own pixels, none outside what is repainted.
        const std::vector<QPoint> drawn = changed(before, render(*run), pixelsOf(label).adjusted(0, -60, 0, 60));
        ASSERT_FALSE(drawn.empty());
        EXPECT_EQ(std::count_if(drawn.begin(), drawn.end(), [&](const QPoint& p) { return !repainted.contains(p); }), 0)
            << "stays on the screen";
        // The next layout starts on the same settings: with the panels closed.
        otherSide();
        tap(*run, screen.exportBtn());
        tap(*run, screen.inOutBtn());
        otherSide();
    }
}

TEST_F(ScreenTextsTest, BankRowsKeepTheirTextClearOfTheArrowAndOfTheRenameIcon) {
    auto run = start(ui::GuiType::phoneLandscape);
    library::SoundDataManager& library = *run->program().library();
    library.soundbanks()[0]->setName("A bank with a name far too long for its row");
    library.saveSoundbanks();
    loop_.runPending();
    tap(*run, run->screen().sortBtn());
    ui::DragDropTableViewController* browser = run->screen().sortController();
    ASSERT_NE(browser, nullptr);
    browser->dstTableView()->reloadData();
    loop_.runPending();
    auto* row = dynamic_cast<ui::DropTableCell*>(browser->dstTableView()->cellForRow({0, 0}));
    ASSERT_NE(row, nullptr);
    ASSERT_NE(row->collapseArrow, nullptr);
    ASSERT_NE(row->renameButton, nullptr);

    const QImage shown = render(*run, "strombel_phone_bank_rows.png");
    row->textLabel()->setHidden(true);
    const QImage bare = render(*run);
    row->textLabel()->setHidden(false);
    const std::vector<QPoint> text = changed(shown, bare, pixelsOf(row));
    ASSERT_FALSE(text.empty());
    const QRect arrow = pixelsOf(row->collapseArrow);
    int onArrow = 0;
    for (const QPoint& p : text) onArrow += arrow.contains(p) ? 1 : 0;
    EXPECT_EQ(onArrow, 0) << "the bank's name is drawn over its arrow";
    EXPECT_EQ(textUnderIcons(*run, row, {row->renameButton, row->deleteButton}), 0)
        << "the bank's name runs under its rename icon";
    // Too long for two lines at the smallest size: it loses whole words.
    const QStringList lines = row->textLabel()->fitted().lines;
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines.back().endsWith(QChar(0x2026)));
    EXPECT_TRUE(row->textLabel()->text().simplified().startsWith(lines.join(' ').simplified().chopped(1) + ' '))
        << lines.join('|').toStdString();
}

TEST_F(ScreenTextsTest, EveryPackAndBankNameOfTheBrowserIsDrawnWholeInItsRow) {
    for (const ui::GuiType guiType : {ui::GuiType::tablet, ui::GuiType::phoneLandscape, ui::GuiType::phonePortrait}) {
        SCOPED_TRACE(int(guiType));
        auto run = start(guiType);
        // The browser may come back open from the run before: it is open once.
        if (!run->screen().sortController()) tap(*run, run->screen().sortBtn());
        loop_.advance(500 * platform::kNanosPerMillisecond);
        ui::DragDropTableViewController* browser = run->screen().sortController();
        ASSERT_NE(browser, nullptr);
        render(*run, "strombel_browser_names.png");
        int rows = 0;
        for (ui::kit::TableView* table : {browser->srcTableView(), browser->dstTableView()}) {
            for (int section = 0; section < table->numberOfSections(); ++section) {
                auto* row = dynamic_cast<ui::DropTableCell*>(table->cellForRow({section, 0}));
                if (!row) continue;  // scrolled out of sight
                ++rows;
                const ui::kit::Label* label = row->textLabel();
                EXPECT_EQ(label->fitted().lines.join(' ').simplified(), label->text().simplified())
                    << label->fitted().lines.join('|').toStdString();
            }
        }
        EXPECT_GE(rows, 8);
    }
}

TEST_F(ScreenTextsTest, AUserSamplesLongNameIsDrawnWholeBeforeTheRowsIcons) {
    auto run = start(ui::GuiType::phoneLandscape);
    library::SoundDataManager& library = *run->program().library();
    const auto stock = library.soundpackSamplesResultsController().objectAtIndexPath(0, 0);
    std::filesystem::copy_file(library.absolutePathOfSample(stock->filepath()),
                               run->sandbox().documents() / "a take with a long name.wav");
    library.scanUserSamplesChanges();
    loop_.runPending();
    const auto& sections = library.soundpackSamplesResultsController().sections();
    int users = -1;
    for (size_t section = 0; section < sections.size(); ++section)
        for (const auto& sample : sections[section].samples)
            if (sample->name().find("long name") != std::string::npos) users = int(section);
    ASSERT_GE(users, 0);
    tap(*run, run->screen().sortBtn());
    ui::DragDropTableViewController* browser = run->screen().sortController();
    ASSERT_NE(browser, nullptr);
    ui::kit::TableView* packs = browser->srcTableView();
    packs->scrollToRowAtTop({users, 0});
    loop_.runPending();
    const QPointF header = packs->cellForRow({users, 0})->mapToScene(packs->cellForRow({users, 0})->bounds().center());
    run->program().window().touches().begin(1, header);
    run->program().window().touches().end(1, header);
    loop_.advance(500 * platform::kNanosPerMillisecond);
    auto* row = dynamic_cast<ui::DropTableCell*>(packs->cellForRow({users, 1}));
    ASSERT_NE(row, nullptr);
    ASSERT_FALSE(row->renameButton->isHidden()) << "a user sample can be renamed";
    render(*run, "strombel_phone_user_sample_row.png");
    // The name's first 19 characters, whole (they end with a space here).
    EXPECT_EQ(row->textLabel()->fitted().lines.join(' ').simplified(), "A TAKE WITH A LONG")
        << row->textLabel()->fitted().lines.join('|').toStdString();
    EXPECT_EQ(textUnderIcons(*run, row, {row->renameButton, row->deleteButton}), 0)
        << "the sample's name runs under its icons";
}

TEST_F(ScreenTextsTest, TheInformationScreensLinksDoNotOverlap) {
    auto run = start(ui::GuiType::phoneLandscape);
    visitInformationScreen(*run, [&] {
        auto* information = dynamic_cast<info::StrombelInformationViewController*>(
            ui::kit::Context::current().modals().presented(run->program().window()));
        ASSERT_NE(information, nullptr);
        ui::kit::Button* mail = information->mailBtn();
        ui::kit::Button* web = information->websiteBtn();
        loop_.advance(1000 * platform::kNanosPerMillisecond);
        const QImage both = render(*run, "strombel_phone_information.png");
        web->setHidden(true);
        const QImage mailAlone = render(*run);
        mail->setHidden(true);
        const QImage neither = render(*run);
        web->setHidden(false);
        const QImage webAlone = render(*run);
        mail->setHidden(false);
        // What each link draws of its own, and where the two meet.
        const std::vector<QPoint> mailInk = changed(mailAlone, neither, pixelsOf(mail));
        const std::vector<QPoint> webInk = changed(webAlone, neither, pixelsOf(web));
        ASSERT_FALSE(mailInk.empty());
        ASSERT_FALSE(webInk.empty());
        int covered = 0;
        for (const QPoint& p : mailInk) covered += both.pixel(p) != mailAlone.pixel(p) ? 1 : 0;
        EXPECT_EQ(covered, 0) << "\"STROMBEL ON THE WEB\" is drawn over \"MAIL THE MAKER\"";
    });
}

TEST_F(ScreenTextsTest, UprightTheInformationScreenStandsWholeInTheWindow) {
    auto run = start(ui::GuiType::phonePortrait);
    visitInformationScreen(*run, [&] {
        auto* information = dynamic_cast<info::StrombelInformationViewController*>(
            ui::kit::Context::current().modals().presented(run->program().window()));
        ASSERT_NE(information, nullptr);
        loop_.advance(1000 * platform::kNanosPerMillisecond);
        render(*run, "strombel_portrait_information.png");
        ui::kit::View* shown = run->program().window().shownView();
        const QRectF window = shown->mapRectToScene(shown->bounds());
        ASSERT_LT(window.width(), window.height());
        EXPECT_TRUE(information->mapRectToScene(information->bounds()).contains(window)) << "it covers the window";
        for (ui::kit::View* key : std::initializer_list<ui::kit::View*>{
                 information->mailBtn(), information->websiteBtn(), information->socialBtn(),
                 information->ravellePresentedByBtn(), information->tutorialBtn(), information->rateUsBtn(),
                 information->backBtn()}) {
            const QRectF drawn = key->mapRectToScene(key->bounds());
            EXPECT_TRUE(window.contains(drawn)) << drawn.x() << "," << drawn.y() << " " << drawn.width();
        }
    });
}

TEST_F(ScreenTextsTest, UprightTheInformationScreenIsLaidOutUprightAtThePhonesSize) {
    auto run = start(ui::GuiType::phonePortrait);
    // The dialogs it opens lay themselves out for the status bar: upright too.
    EXPECT_EQ(ui::kit::Context::current().screen().statusBarOrientation, 1);
    visitInformationScreen(*run, [&] {
        auto* information = dynamic_cast<info::StrombelInformationViewController*>(
            ui::kit::Context::current().modals().presented(run->program().window()));
        ASSERT_NE(information, nullptr);
        loop_.advance(1000 * platform::kNanosPerMillisecond);
        // Not the landscape layout made smaller into a strip: its keys at least
        // as large as the phone's, and its backdrop (with the words on it) down
        // to the window's top and bottom rows, no black bands.
        for (ui::kit::View* key : std::initializer_list<ui::kit::View*>{information->socialBtn(), information->mailBtn()})
            EXPECT_GE(key->mapRectToScene(key->bounds()).height(), 20) << "drawn smaller than on the phone";
        const QImage image = render(*run, "strombel_portrait_information_upright.png");
        for (const int y : {2, image.height() / 8, image.height() * 7 / 8, image.height() - 3}) {
            int lit = 0;
            for (int x = 0; x < image.width(); ++x) lit += qGray(image.pixel(x, y)) > 4 ? 1 : 0;
            EXPECT_GT(lit, image.width() / 4) << "a black band at row " << y;
        }
    });
}

}  // namespace
}  // namespace strombel::app::scenario
