// The store as a user shops in it: the whole program headless, its store pointed
// at a loopback store server, SHOP, DOWNLOAD, DONE, and the new bank on the pads.

#include <QBuffer>
#include <QImage>
#include <QPainter>

#include <chrono>
#include <map>
#include <thread>

#include "program_test_support.h"
#include "store/store_test_support.h"
#include "ui/kit/control.h"
#include "ui/drag_drop_table_view_controller.h"
#include "ui/kit/label.h"
#include "ui/sound_bank_control.h"
#include "ui/store/strombel_store_view_controller.h"

namespace strombel::app::scenario {
namespace {

using strombel::testing::catalogueEntry;
using strombel::testing::packText;
using strombel::testing::StoreServer;
using strombel::testing::waveBytes;

std::string pngBytes(int side, QColor color) {
    QImage image(side, side, QImage::Format_ARGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes.toStdString();
}

/// The button captioned `text`: a label with the text beside (or on) a button of
/// the same panel, searched depth first.
ui::kit::View* buttonCaptioned(ui::kit::View* root, const QString& text) {
    for (ui::kit::View* child : root->subviews()) {
        auto* label = dynamic_cast<ui::kit::Label*>(child);
        if (label && label->text() == text) {
            for (ui::kit::View* sibling : root->subviews()) {
                const double middle = label->center().x();
                if (dynamic_cast<ui::kit::Button*>(sibling) && sibling->x() <= middle && middle <= sibling->rightX())
                    return sibling;
            }
        }
        if (ui::kit::View* found = buttonCaptioned(child, text)) return found;
    }
    return nullptr;
}

class StoreScenarioTest : public ProgramTest {
protected:
    StoreScenarioTest() {
        // An installable kit with an icon, one whose second sample is missing, and
        // one whose sample the server holds back until the test lets it go.
        server_.put("deepkit.pack", packText("deepkit", {"deep kick.wav", "deep snare.wav"}, "Deep Kit"));
        server_.put("deep kick.wav", waveBytes(4410));
        server_.put("deep snare.wav", waveBytes(4410));
        server_.put("icons/deepkit.png", pngBytes(64, QColor(200, 120, 40)));
        server_.put("broken.pack", packText("broken", {"fine.wav", "gone.wav"}));
        server_.put("fine.wav", waveBytes());
        server_.put("slowkit.pack", packText("slowkit", {"slow.wav"}));
        server_.put("slow.wav", StoreServer::File{waveBytes(), 200, 0, true});
        server_.setCatalogue("[" + catalogueEntry("deepkit", {"deepkit.pack"}, "deepkit.png") + ", " +
                             catalogueEntry("broken", {"broken.pack"}) + ", " +
                             catalogueEntry("slowkit", {"slowkit.pack"}, "missing.png") + ", " +
                             catalogueEntry("groovekitpreview", {"GK-Preview.pack"}) + "]");
        settings_.setBaseURL(server_.baseURL());
        settings_.username = strombel::testing::kStoreUser;
        settings_.password = strombel::testing::kStorePassword;
    }
    ~StoreScenarioTest() override { server_.openGate(); }

    /// Silence until the first pad of the bank shown is touched; then it plays.
    void expectTheFirstPadPlays(ProgramRun& run, const char* what) {
        runFor(run, 0.2);
        EXPECT_EQ(nextBuffer(run), 0) << "silence before the tap";
        touchDown(run, run.screen().tapButton(0));
        EXPECT_GT(nextBuffer(run), 1 << 20) << what;
        touchUp(run, run.screen().tapButton(0));
    }
    std::unique_ptr<ProgramRun> startWithStore(ui::GuiType guiType) {
        return std::make_unique<ProgramRun>(temp_ / "root", clock_, loop_, guiType, settings_);
    }
    /// Pumps the main loop (without moving the clock) until `done`; the limit
    /// only guards against a hung test.
    bool pumpUntil(const std::function<bool()>& done) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done()) {
            if (std::chrono::steady_clock::now() > limit) return false;
            loop_.runPending();
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
        return true;
    }
    store::StrombelStoreViewController* storeScreen(ProgramRun& run) {
        return dynamic_cast<store::StrombelStoreViewController*>(
            ui::kit::Context::current().modals().presented(run.program().window()));
    }
    /// SHOP, as the user touches it, and the catalogue on screen.
    store::StrombelStoreViewController* shop(ProgramRun& run) {
        ui::kit::View* shopButton = buttonCaptioned(run.program().window().rootView(), "SHOP");
        EXPECT_NE(shopButton, nullptr);
        if (!shopButton) return nullptr;
        tap(run, shopButton);
        runFor(run, 1.0);  // the transition
        store::StrombelStoreViewController* screen = storeScreen(run);
        EXPECT_NE(screen, nullptr);
        if (screen) {
            EXPECT_TRUE(pumpUntil([&] { return screen->itemIdentifiers().size() == 4; }));
        }
        return screen;
    }
    /// Touches DOWNLOAD (or RETRY) of an item and waits until its control says `until`.
    void download(ProgramRun& run, store::StrombelStoreViewController& screen, const std::string& id,
                  const QString& until) {
        tap(run, screen.controlOfItem(id));
        EXPECT_TRUE(pumpUntil([&] { return screen.controlTextOfItem(id) == until; }))
            << id << ": " << screen.controlTextOfItem(id).toStdString();
    }
    /// Plays the bank named `name` as the user steps to it; its index (the
    /// number of banks when there is none of that name).
    uint64_t playBank(ProgramRun& run, const std::string& name) {
        ui::SoundBankControl& banks = *run.screen().soundBankControl();
        const auto names = banks.soundbankNames();
        const auto index = uint64_t(std::find(names.begin(), names.end(), name) - names.begin());
        EXPECT_LT(index, names.size()) << name;
        while (banks.currentBank() < index && index < names.size()) banks.nextSoundbank();
        runFor(run, 0.2);
        return index;
    }
    /// SHOP, the Deep Kit installed, DONE, and its bank played; the bank's index
    /// (UINT64_MAX when the store did not show).
    uint64_t installDeepKitAndPlayItsBank(ProgramRun& run) {
        store::StrombelStoreViewController* screen = shop(run);
        if (!screen) return UINT64_MAX;
        download(run, *screen, "deepkit", "INSTALLED");
        tap(run, screen->doneButton());
        runFor(run, 1.0);
        return playBank(run, "Deep Kit bank");
    }
    /// An installed, a downloading and a failed item, rendered as the user sees them.
    void shopAndRender(ProgramRun& run, const std::string& picture) {
        store::StrombelStoreViewController* screen = shop(run);
        ASSERT_NE(screen, nullptr);
        EXPECT_EQ(screen->controlTextOfItem("groovekitpreview"), "INSTALLED");
        EXPECT_EQ(server_.requestCount("ItemsList.json"), 1u) << "the screen shows the catalogue of the launch";
        download(run, *screen, "deepkit", "INSTALLED");
        download(run, *screen, "broken", "RETRY");
        EXPECT_EQ(screen->failureTextOfItem("broken"), "FAILED: gone.wav: the store answered with HTTP status 404");
        download(run, *screen, "slowkit", "1 of 2 files");
        EXPECT_TRUE(pumpUntil([&] { return screen->iconOfItemIsLoaded("deepkit"); }));
        EXPECT_FALSE(screen->iconOfItemIsLoaded("slowkit")) << "a missing icon keeps the drawn one";
        QImage image = run.program().window().render(1.0);
        ASSERT_FALSE(image.isNull());
        EXPECT_TRUE(image.save(QString::fromStdString(std::string(STROMBEL_TEST_OUTPUT_DIR) + "/" + picture)));
        server_.openGate();
        EXPECT_TRUE(pumpUntil([&] { return screen->controlTextOfItem("slowkit") == "INSTALLED"; }));
    }

    StoreServer server_;
    store::StoreSettings settings_;
};

TEST_F(StoreScenarioTest, AUserDownloadsAPackAndPlaysItOnThePads) {
    auto run = startWithStore(ui::GuiType::tablet);
    const size_t banksBefore = run->screen().soundBankControl()->soundbankNames().size();
    shopAndRender(*run, "store-tablet.png");

    // DONE: the pad screen comes back, its bank selector offering the new banks.
    tap(*run, storeScreen(*run)->doneButton());
    runFor(*run, 1.0);
    EXPECT_EQ(storeScreen(*run), nullptr);
    ui::SoundBankControl& banks = *run->screen().soundBankControl();
    const auto names = banks.soundbankNames();
    ASSERT_EQ(names.size(), banksBefore + 2);
    EXPECT_NE(std::find(names.begin(), names.end(), "Deep Kit bank"), names.end());

    // The Deep Kit's bank, its first pad: the downloaded kick sounds.
    playBank(*run, "Deep Kit bank");
    auto paths = run->program().engine()->currentSoundbankFilePathsByIdx();
    EXPECT_EQ(paths[0], "Library/Caches/downloads/deep kick.wav");
    expectTheFirstPadPlays(*run, "the downloaded sample plays");
}

TEST_F(StoreScenarioTest, ARemovedPackCanBeInstalledAgainIntoItsOwnBank) {
    auto run = startWithStore(ui::GuiType::tablet);
    // The user plays the Deep Kit's bank.
    const uint64_t deep = installDeepKitAndPlayItsBank(*run);
    ui::SoundBankControl& banks = *run->screen().soundBankControl();
    ASSERT_LT(deep, banks.soundbankNames().size());

    // SORT: the pack is removed, as the browser asks.
    tap(*run, run->screen().sortBtn());
    ui::DragDropTableViewController* browser = run->screen().sortController();
    ASSERT_NE(browser, nullptr);
    const auto packs = run->program().library()->soundpacks();
    const auto pack = std::find_if(packs.begin(), packs.end(), [](const auto& p) { return p->packId() == "deepkit"; });
    ASSERT_NE(pack, packs.end());
    const int section = int(pack - packs.begin());
    ui::kit::TableView* list = browser->srcTableView();
    list->scrollToRowAtTop({section, 0});
    loop_.runPending();
    auto* cell = dynamic_cast<ui::DropTableCell*>(list->cellForRow({section, 0}));
    ASSERT_NE(cell, nullptr);
    tap(*run, cell->deleteButton);
    ASSERT_TRUE(run->alerts().press("Remove"));
    loop_.runPending();
    ASSERT_FALSE(run->program().library()->soundpackWithIdExists("deepkit"));
    tap(*run, run->screen().sortBtn());

    // SHOP at once: the store offers it again, and it installs again.
    store::StrombelStoreViewController* screen = shop(*run);
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(screen->controlTextOfItem("deepkit"), "DOWNLOAD");
    download(*run, *screen, "deepkit", "INSTALLED");
    tap(*run, screen->doneButton());
    runFor(*run, 1.0);

    // Its bank is the one it had, filled again and still the one played.
    const auto names = banks.soundbankNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "Deep Kit bank"), 1);
    EXPECT_EQ(banks.currentBank(), deep);
    EXPECT_EQ(run->program().engine()->currentSoundbankFilePathsByIdx()[0], "Library/Caches/downloads/deep kick.wav");
}

TEST_F(StoreScenarioTest, ASampleFileFetchedAgainAtTheNextStartPlaysOnItsPadOnceTheDownloadsEnd) {
    auto run = startWithStore(ui::GuiType::tablet);
    const uint64_t deep = installDeepKitAndPlayItsBank(*run);
    ASSERT_LT(deep, run->screen().soundBankControl()->soundbankNames().size());
    run.reset();

    // The kick's file is gone when the program starts again on the Deep Kit's
    // bank: the store fetches it again, and only the end of the downloads tells
    // the engine, since the library itself does not change.
    const std::filesystem::path kick = temp_ / "root" / "Library" / "Caches" / "downloads" / "deep kick.wav";
    ASSERT_TRUE(std::filesystem::remove(kick));
    run = startWithStore(ui::GuiType::tablet);
    ASSERT_EQ(run->screen().soundBankControl()->currentBank(), deep);
    ASSERT_TRUE(pumpUntil([&] { return std::filesystem::exists(kick) && server_.requestCount("deep kick.wav") == 2; }));
    ASSERT_TRUE(pumpUntil([&] {
        return run->program().library()->store()->progressOfStoreItem("deepkit").phase ==
               library::StoreItemProgress::Phase::installed;
    }));
    expectTheFirstPadPlays(*run, "the kick fetched again plays");
}

TEST_F(StoreScenarioTest, AnItemThatIsInSaysInstalledWhileAnotherStillDownloads) {
    auto run = startWithStore(ui::GuiType::tablet);
    store::StrombelStoreViewController* screen = shop(*run);
    ASSERT_NE(screen, nullptr);
    download(*run, *screen, "slowkit", "1 of 2 files");  // held by the server
    tap(*run, screen->controlOfItem("deepkit"));
    ASSERT_TRUE(pumpUntil([&] { return run->program().library()->soundpackWithIdExists("deepkit"); }));
    loop_.runPending();
    EXPECT_EQ(screen->controlTextOfItem("deepkit"), "INSTALLED") << "not its last count of files";
    EXPECT_EQ(screen->controlTextOfItem("slowkit"), "1 of 2 files");
    server_.openGate();
    EXPECT_TRUE(pumpUntil([&] { return screen->controlTextOfItem("slowkit") == "INSTALLED"; }));
}

TEST_F(StoreScenarioTest, ThePhoneLayoutShowsTheSameStates) {
    auto run = startWithStore(ui::GuiType::phoneLandscape);
    shopAndRender(*run, "store-phone.png");
    EXPECT_TRUE(run->program().library()->soundpackWithIdExists("slowkit"));
}

TEST_F(StoreScenarioTest, OnThePhoneALongFailureIsShownWholeInItsRowAndRetrySaysItTried) {
    const std::string longName = "a sample whose name goes on and on, far past the width of any row of the list.wav";
    server_.put("broken.pack", packText("broken", {"fine.wav", longName}));
    auto run = startWithStore(ui::GuiType::phoneLandscape);
    store::StrombelStoreViewController* screen = shop(*run);
    ASSERT_NE(screen, nullptr);
    const std::string reason = longName + ": the store answered with HTTP status 404";
    download(*run, *screen, "broken", "RETRY");
    EXPECT_EQ(screen->failureTextOfItem("broken"), QString::fromStdString("FAILED: " + reason));

    // Every word of the reason is drawn, in lines that wrap between words across
    // the row below its title, and its red lies wholly inside the item's row,
    // which keeps its height (a row that grew moved the buttons below it).
    ui::kit::Label* failure = screen->failureLabelOfItem("broken");
    ASSERT_NE(failure, nullptr);
    const QStringList lines = failure->wrappedLines();
    EXPECT_GE(lines.size(), 2) << lines.join('|').toStdString();
    EXPECT_EQ(lines.join(' '), failure->text()) << lines.join('|').toStdString();
    ui::kit::View* row = screen->controlOfItem("broken")->superview();
    EXPECT_EQ(row->height(), screen->list()->rowHeight());
    const double scale = 2.0;
    const QRectF rowArea = row->mapRectToScene(row->bounds());
    const QRectF shownArea = screen->mapRectToScene(screen->bounds());
    const QRectF rowInImage((rowArea.topLeft() - shownArea.topLeft()) * scale, rowArea.size() * scale);
    const QImage image = run->program().window().render(scale);
    ASSERT_FALSE(image.isNull());
    int red = 0, outside = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            if (pixel.red() < 90 || pixel.red() < 2 * pixel.green() || pixel.red() < 2 * pixel.blue()) continue;
            ++red;
            if (!rowInImage.adjusted(-0.5, -0.5, 0.5, 0.5).contains(QPointF(x + 0.5, y + 0.5))) ++outside;
        }
    }
    EXPECT_GT(red, 100) << "the reason is drawn";
    EXPECT_EQ(outside, 0) << "red pixels outside the row " << rowInImage.x() << "," << rowInImage.y() << " "
                          << rowInImage.width() << "x" << rowInImage.height();

    // RETRY fails as the first try did, and says that it tried again.
    download(*run, *screen, "broken", "RETRY");
    EXPECT_EQ(server_.requestCount(longName), 2u);
    EXPECT_EQ(screen->failureTextOfItem("broken"), QString::fromStdString("FAILED AGAIN (TRY 2): " + reason));
}

TEST_F(StoreScenarioTest, UprightTheStoreIsLaidOutAcrossTheWindowsShorterSide) {
    auto run = startWithStore(ui::GuiType::phonePortrait);
    store::StrombelStoreViewController* screen = shop(*run);
    ASSERT_NE(screen, nullptr);
    download(*run, *screen, "broken", "RETRY");
    const QRectF window = run->program().window().shownView()->mapRectToScene(
        run->program().window().shownView()->bounds());
    ASSERT_LT(window.width(), window.height());
    EXPECT_EQ(screen->mapRectToScene(screen->bounds()), window);
    for (ui::kit::View* view : std::initializer_list<ui::kit::View*>{screen->doneButton(), screen->list(),
                                                                     screen->controlOfItem("deepkit"),
                                                                     screen->failureLabelOfItem("broken")}) {
        ASSERT_NE(view, nullptr);
        EXPECT_TRUE(window.contains(view->mapRectToScene(view->bounds())))
            << view->mapRectToScene(view->bounds()).x() << "," << view->mapRectToScene(view->bounds()).y();
    }
}

TEST_F(StoreScenarioTest, UprightAFailureLeavesEveryOtherButtonWhereItWasAndItsReasonReadable) {
    const std::string longName = "a sample whose name goes on and on, far past the width of any row of the list.wav";
    server_.put("slowkit.pack", packText("slowkit", {longName}));
    auto run = startWithStore(ui::GuiType::phonePortrait);
    store::StrombelStoreViewController* screen = shop(*run);
    ASSERT_NE(screen, nullptr);
    const std::vector<std::string> items = screen->itemIdentifiers();
    std::map<std::string, QRectF> before;
    for (const std::string& id : items) before[id] = screen->controlOfItem(id)->mapRectToScene(screen->controlOfItem(id)->bounds());

    // DOWNLOAD on one item, then on the next where it stood: both fail.
    download(*run, *screen, "broken", "RETRY");
    for (const std::string& id : items)
        EXPECT_EQ(screen->controlOfItem(id)->mapRectToScene(screen->controlOfItem(id)->bounds()), before[id]) << id;
    download(*run, *screen, "slowkit", "RETRY");
    for (const std::string& id : items)
        EXPECT_EQ(screen->controlOfItem(id)->mapRectToScene(screen->controlOfItem(id)->bounds()), before[id]) << id;

    // The store's usual reason is read whole in its row; one too long for it
    // ends with "…", and the whole of it shows under the pointer.
    ui::kit::Label* broken = screen->failureLabelOfItem("broken");
    EXPECT_EQ(broken->wrappedLines().join(' ').toStdString(), "FAILED: gone.wav: the store answered with HTTP status 404");
    ui::kit::Label* slow = screen->failureLabelOfItem("slowkit");
    EXPECT_TRUE(slow->wrappedLines().last().endsWith(QChar(0x2026))) << slow->wrappedLines().join('|').toStdString();
    EXPECT_EQ(slow->toolTip(), slow->text());
    for (ui::kit::Label* failure : {broken, slow}) {
        const QRectF row = failure->superview()->mapRectToScene(failure->superview()->bounds());
        EXPECT_TRUE(row.contains(failure->mapRectToScene(failure->bounds())));
    }
}

// A store that asks for credentials none were set for: the screen names the
// settings to set, whole, in every layout, with RETRY below the last line.
TEST_F(StoreScenarioTest, AStoreAskingForCredentialsIsToldWholeWithTheSettingsToSet) {
    settings_.username.clear();
    settings_.password.clear();
    for (ui::GuiType layout : {ui::GuiType::tablet, ui::GuiType::phoneLandscape, ui::GuiType::phonePortrait}) {
        SCOPED_TRACE(int(layout));
        auto run = startWithStore(layout);
        tap(*run, buttonCaptioned(run->program().window().rootView(), "SHOP"));
        runFor(*run, 1.0);
        store::StrombelStoreViewController* screen = storeScreen(*run);
        ASSERT_NE(screen, nullptr);
        ASSERT_TRUE(pumpUntil([&] { return screen->statusText().contains("user name and password"); }));
        const QString shown = screen->statusLabel()->wrappedLines().join(' ');
        EXPECT_TRUE(shown.endsWith("(STROMBEL_STORE_USER and STROMBEL_STORE_PASSWORD)")) << shown.toStdString();
        const QRectF status = screen->statusLabel()->mapRectToScene(screen->statusLabel()->bounds());
        const QRectF retry = screen->retryButton()->mapRectToScene(screen->retryButton()->bounds());
        EXPECT_FALSE(screen->retryButton()->isHidden());
        EXPECT_GE(retry.top(), status.bottom()) << "RETRY over the reason";
        EXPECT_TRUE(screen->mapRectToScene(screen->bounds()).contains(retry));
    }
}

TEST_F(StoreScenarioTest, WithoutAServerTheScreenSaysSoAndOffersRetry) {
    server_.stop();
    auto run = startWithStore(ui::GuiType::tablet);
    ui::kit::View* shopButton = buttonCaptioned(run->program().window().rootView(), "SHOP");
    ASSERT_NE(shopButton, nullptr);
    tap(*run, shopButton);
    runFor(*run, 1.0);
    store::StrombelStoreViewController* screen = storeScreen(*run);
    ASSERT_NE(screen, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return screen->statusText().startsWith("The store cannot be reached."); }));
    // The heading once, then why.
    const QStringList lines = screen->statusText().split('\n');
    ASSERT_EQ(lines.size(), 2) << screen->statusText().toStdString();
    EXPECT_FALSE(lines[1].contains("cannot be reached")) << screen->statusText().toStdString();
    EXPECT_TRUE(lines[1].startsWith("The store's catalogue could not be fetched")) << screen->statusText().toStdString();
    EXPECT_TRUE(screen->itemIdentifiers().empty());

    // RETRY asks again, and the screen says that it did.
    screen->retryBtnPressed();
    ASSERT_TRUE(pumpUntil([&] { return screen->statusText().contains("(try 2)"); }));
    EXPECT_TRUE(screen->statusText().startsWith("The store still cannot be reached (try 2).\n"))
        << screen->statusText().toStdString();
}

}  // namespace
}  // namespace strombel::app::scenario
