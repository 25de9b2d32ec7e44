// The copy and paste screens against the stand-in exchange peer (a process of
// its own on 127.0.0.1) and the in-process clipboard: SEND TO EXCHANGE comes and
// goes with the peer, the paste list, pasting through didPaste, and writing a
// paste off the main loop.

#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <chrono>
#include <fstream>
#include <optional>
#include <thread>

#include "editor/exchange_peer.h"
#include "editor/wave_files.h"
#include "http/network_thread.h"
#include "support/temp_dir.h"
#include "support/test_mounts.h"
#include "ui/editor/exchange_screens.h"
#include "ui/editor/screen_finders.h"
#include "ui/kit/label.h"
#include "ui/kit/presenters.h"
#include "ui/kit/window.h"
#include "ui/ui_test_support.h"

namespace strombel::editor {
namespace {

using strombel::testing::buttonTitled;
using strombel::testing::child;
using strombel::testing::ExchangePeer;
using strombel::testing::fileBytes;
using strombel::testing::namesIn;
using strombel::testing::TempDir;
using ui::kit::View;

void putOnClipboard(const std::vector<uint8_t>& bytes) {
    auto data = std::make_unique<QMimeData>();
    data->setData("audio/wav", QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size())));
    QGuiApplication::clipboard()->setMimeData(data.release(), QClipboard::Clipboard);
}

struct PasteRecorder final : ExchangePasteViewControllerDelegate {
    void didPaste(ExchangePasteViewController&, const std::string& path, const std::string& itemName,
                  const void* metaData) override {
        pasted.push_back({path, itemName});
        EXPECT_EQ(metaData, nullptr);
    }
    std::vector<std::pair<std::string, std::string>> pasted;
};

class ExchangeScreensTest : public strombel::testing::UiTest {
protected:
    ExchangeScreensTest() {
        window.setRootView(std::make_unique<View>(QRectF(0, 0, 1024, 768)));
        QGuiApplication::clipboard()->clear(QClipboard::Clipboard);
        std::filesystem::create_directories(temp / "peer");
        std::filesystem::create_directories(temp / "pasted");
    }
    ~ExchangeScreensTest() override { network.stop(); }

    /// Turns the main loop until `done`, while the peer's answers come in over the
    /// network thread (the clock stands still: no time-out fires).
    bool pumpUntil(const std::function<bool()>& done) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (;;) {
            pump();
            if (done()) return true;
            if (std::chrono::steady_clock::now() > limit) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    void tap(View* view) {
        ASSERT_NE(view, nullptr);
        strombel::testing::Finger(window.touches(), 1).tap(*view, view->bounds().center());
    }
    ExchangeSettings settingsFor(const ExchangePeer& peer) { return {peer.port(), &network}; }
    template <typename Sheet>
    Sheet* present(std::unique_ptr<Sheet> sheet) {
        Sheet* shown = sheet.get();
        ExchangeSheet::present(std::move(sheet), window);
        advance(0.5);
        return shown;
    }
    bool presented() { return context.modals().presented(window) != nullptr; }

    http::NetworkThread network{loop};
    ui::kit::Window window;
    TempDir temp;
};

TEST_F(ExchangeScreensTest, SendToExchangeShowsWhileThePeerAnswersAndIsAskedAgainWhileTheScreenStays) {
    const auto tone = strombel::testing::sineSamples(440, 44100, 8000, 2);
    ASSERT_TRUE(strombel::testing::writeWave(temp / "AUDIOEXCHANGE.wav", tone, 2));
    auto peer = std::make_unique<ExchangePeer>(temp / "peer");
    const int port = peer->port();
    ASSERT_NE(port, 0);

    auto* sheet = present(std::make_unique<AudioExchangeViewController>((temp / "AUDIOEXCHANGE.wav").string(),
                                                                        settingsFor(*peer)));
    View* send = buttonTitled(sheet, "SEND TO EXCHANGE");
    ASSERT_NE(send, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return sheet->canSend(); }));
    EXPECT_FALSE(send->isHidden());

    // What lands at the peer is the file as it was when sent, under its name.
    tap(send);
    ASSERT_TRUE(pumpUntil([&] { return sheet->message() != "Sending..."; }));
    EXPECT_EQ(sheet->message(), "Sent to the audio exchange.");
    EXPECT_EQ(fileBytes(temp / "peer" / "upload-1.wav"), fileBytes(temp / "AUDIOEXCHANGE.wav"));
    EXPECT_EQ(fileBytes(temp / "peer" / "upload-1.name"), "AUDIOEXCHANGE");

    // The peer goes: the button stays until the next look, which the clock brings.
    peer.reset();
    pump();
    EXPECT_TRUE(sheet->canSend()) << "nothing asks before the interval has passed";
    advance(AudioExchangeViewController::kStatusInterval);
    ASSERT_TRUE(pumpUntil([&] { return !sheet->canSend(); }));
    EXPECT_TRUE(send->isHidden());

    // It comes back where it was, and so does the button.
    peer = std::make_unique<ExchangePeer>(temp / "peer", "normal", port);
    ASSERT_EQ(peer->port(), port);
    advance(AudioExchangeViewController::kStatusInterval);
    ASSERT_TRUE(pumpUntil([&] { return sheet->canSend(); }));

    tap(buttonTitled(sheet, "DONE"));
    advance(0.5);
    EXPECT_FALSE(presented());
}

TEST_F(ExchangeScreensTest, WithoutAnExchangeTheCopyScreenNeverOffersToSend) {
    ASSERT_TRUE(strombel::testing::writeWave(temp / "AUDIOEXCHANGE.wav", strombel::testing::sineSamples(440, 44100, 800), 1));
    auto* sheet = present(std::make_unique<AudioExchangeViewController>((temp / "AUDIOEXCHANGE.wav").string()));
    advance(3 * AudioExchangeViewController::kStatusInterval);
    EXPECT_FALSE(sheet->canSend());
    EXPECT_TRUE(buttonTitled(sheet, "SEND TO EXCHANGE")->isHidden());
    EXPECT_TRUE(sheet->canCopy());
}

TEST_F(ExchangeScreensTest, ThePasteListHoldsTheClipboardAndThePeersItemsAndAPasteGoesThroughDidPaste) {
    const auto loop1 = strombel::testing::sineSamples(330, 44100, 6000, 2);
    ASSERT_TRUE(strombel::testing::writeWave(temp / "peer" / "loop1.wav", loop1, 2));
    std::ofstream(temp / "peer" / "loop1.name") << "Loop 1";
    const auto clip = strombel::testing::sineSamples(880, 44100, 3000, 1);
    putOnClipboard(strombel::testing::waveBytes(temp / "scratch.wav", clip, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    ExchangePeer peer(temp / "peer");
    ASSERT_NE(peer.port(), 0);

    PasteRecorder delegate;
    auto paste = std::make_unique<ExchangePasteViewController>((temp / "pasted").string(), settingsFor(peer));
    paste->setDelegate(&delegate);
    auto* sheet = present(std::move(paste));
    ASSERT_TRUE(pumpUntil([&] { return !sheet->isWaiting(); }));
    EXPECT_EQ(sheet->itemNames(), (std::vector<std::string>{"Clipboard", "Loop 1"}));
    ASSERT_NE(buttonTitled(sheet, "CLIPBOARD"), nullptr);

    tap(buttonTitled(sheet, "LOOP 1"));
    ASSERT_TRUE(pumpUntil([&] { return !delegate.pasted.empty(); }));
    ASSERT_EQ(delegate.pasted.size(), 1u);
    const std::filesystem::path written = delegate.pasted[0].first;
    EXPECT_EQ(delegate.pasted[0].second, "Loop 1");
    EXPECT_EQ(written.parent_path(), temp / "pasted");
    uint32_t channels = 0;
    EXPECT_EQ(strombel::testing::readWave(written, &channels), loop1);
    EXPECT_EQ(channels, 2u);
    advance(0.5);
    EXPECT_FALSE(presented()) << "the screen goes once the paste is written";

    // A second paste, from the clipboard, never takes the first one's name; float
    // samples come out as 16-bit.
    PasteRecorder second;
    auto again = std::make_unique<ExchangePasteViewController>((temp / "pasted").string(), settingsFor(peer));
    again->setDelegate(&second);
    auto* sheet2 = present(std::move(again));
    ASSERT_TRUE(pumpUntil([&] { return !sheet2->isWaiting(); }));
    tap(buttonTitled(sheet2, "CLIPBOARD"));
    ASSERT_TRUE(pumpUntil([&] { return !second.pasted.empty(); }));
    EXPECT_NE(second.pasted[0].first, written.string());
    int format = 0;
    const auto back = strombel::testing::readWave(second.pasted[0].first, nullptr, nullptr, &format);
    EXPECT_EQ(format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    ASSERT_EQ(back.size(), clip.size());
    for (size_t i = 0; i < clip.size(); i += 97) EXPECT_NEAR(back[i], clip[i], 1) << i;
}

TEST_F(ExchangeScreensTest, ThePasteListStandsOnThePanelInTheMiddleOnEveryScreen) {
    // The exchange's answer comes after the sheet is shown, and the list is drawn
    // anew then: it stays on the panel, centred, on a tablet's and a phone's screen.
    putOnClipboard(strombel::testing::waveBytes(temp / "scratch.wav", strombel::testing::sineSamples(440, 44100, 3000), 1));
    ExchangePeer peer(temp / "peer");
    ASSERT_NE(peer.port(), 0);
    for (const QRectF screen : {QRectF(0, 0, 1024, 768), QRectF(0, 0, 480, 320), QRectF(0, 0, 320, 480)}) {
        SCOPED_TRACE(::testing::Message() << screen.width() << "x" << screen.height());
        window.setRootView(std::make_unique<View>(screen));
        auto* sheet = present(std::make_unique<ExchangePasteViewController>((temp / "pasted").string(), settingsFor(peer)));
        ASSERT_TRUE(pumpUntil([&] { return !sheet->isWaiting(); }));
        View* clipboard = buttonTitled(sheet, "CLIPBOARD");
        ASSERT_NE(clipboard, nullptr);
        const View* panel = buttonTitled(sheet, "DONE")->superview();
        const QRectF shown = clipboard->mapRectToScene(clipboard->bounds());
        const QRectF onPanel = panel->mapRectToScene(panel->bounds());
        EXPECT_TRUE(onPanel.contains(shown)) << "the entry lies off the panel";
        EXPECT_NEAR(shown.center().x(), onPanel.center().x(), 0.5);
        EXPECT_NEAR(onPanel.center().x(), screen.center().x(), 0.5);
        EXPECT_TRUE(screen.contains(onPanel));
        const auto* title = child<ui::kit::Label>(sheet);
        ASSERT_NE(title, nullptr);
        EXPECT_EQ(title->text().toStdString(), "PASTE AUDIO") << "what it pastes is the clipboard's audio as much as the exchange's";
        tap(buttonTitled(sheet, "DONE"));
        advance(0.5);
        ASSERT_FALSE(presented());
    }
}

TEST_F(ExchangeScreensTest, APasteIsWrittenOffTheMainLoopAndItsOutcomeComesBackThere) {
    const auto clip = strombel::testing::sineSamples(440, 44100, 20000, 2);
    putOnClipboard(strombel::testing::waveBytes(temp / "scratch.wav", clip, 2));
    PasteRecorder delegate;
    auto paste = std::make_unique<ExchangePasteViewController>((temp / "pasted").string());
    paste->setDelegate(&delegate);
    auto* sheet = present(std::move(paste));
    ASSERT_EQ(sheet->itemNames(), std::vector<std::string>{"Clipboard"});

    tap(buttonTitled(sheet, "CLIPBOARD"));
    EXPECT_TRUE(sheet->isWaiting());
    EXPECT_EQ(sheet->message(), "Pasting...");
    tap(buttonTitled(sheet, "CLIPBOARD"));  // a second tap meanwhile pastes nothing more
    sheet->waitForWriter();
    EXPECT_TRUE(delegate.pasted.empty()) << "the outcome waits for the main loop";
    pump();
    ASSERT_EQ(delegate.pasted.size(), 1u);
    EXPECT_EQ(strombel::testing::readWave(delegate.pasted[0].first), clip);
    EXPECT_EQ(namesIn(temp / "pasted").size(), 1u);
}

TEST_F(ExchangeScreensTest, APasteDroppedByDoneLeavesNoFile) {
    putOnClipboard(strombel::testing::waveBytes(temp / "scratch.wav", strombel::testing::sineSamples(440, 44100, 20000, 2), 2));
    PasteRecorder delegate;
    auto paste = std::make_unique<ExchangePasteViewController>((temp / "pasted").string());
    paste->setDelegate(&delegate);
    auto* sheet = present(std::move(paste));
    tap(buttonTitled(sheet, "CLIPBOARD"));
    tap(buttonTitled(sheet, "DONE"));
    sheet->waitForWriter();
    pump();
    advance(0.5);
    EXPECT_FALSE(presented());
    EXPECT_TRUE(delegate.pasted.empty());
    EXPECT_TRUE(namesIn(temp / "pasted").empty());
}

TEST_F(ExchangeScreensTest, APasteThatDoesNotFitSaysSoAndLeavesNothing) {
    std::string why;
    auto disk = strombel::testing::TestMount::tmpfs(temp / "small", 128 * 1024, why);
    if (!disk) GTEST_SKIP() << "cannot mount a tmpfs: " << why;
    // 400 KB of audio for a 128 KB disk.
    putOnClipboard(strombel::testing::waveBytes(temp / "scratch.wav", strombel::testing::sineSamples(440, 44100, 100000, 2), 2));
    PasteRecorder delegate;
    // On a phone's screen, smaller than the sheet's own layout.
    const QRectF phone(0, 0, 480, 320);
    window.setRootView(std::make_unique<View>(phone));
    auto paste = std::make_unique<ExchangePasteViewController>((temp / "small").string());
    paste->setDelegate(&delegate);
    auto* sheet = present(std::move(paste));
    tap(buttonTitled(sheet, "CLIPBOARD"));
    ASSERT_TRUE(pumpUntil([&] { return !sheet->isWaiting(); }));
    EXPECT_TRUE(sheet->message().startsWith("Nothing was pasted: ")) << sheet->message().toStdString();
    EXPECT_GT(sheet->message().size(), QString("Nothing was pasted: .").size()) << "and says why";
    // The reason is shown on the screen, in lines that fit the sheet.
    ui::kit::Label* shown = nullptr;
    std::function<void(View*)> find = [&](View* view) {
        for (View* child : view->subviews()) {
            if (auto* label = dynamic_cast<ui::kit::Label*>(child); label && label->text() == sheet->message()) shown = label;
            find(child);
        }
    };
    find(sheet);
    ASSERT_NE(shown, nullptr);
    EXPECT_TRUE(phone.contains(shown->mapRectToScene(shown->bounds()))) << "the message runs off the screen";
    const QStringList lines = shown->wrappedLines();
    ASSERT_FALSE(lines.isEmpty());
    for (const QString& line : lines)
        EXPECT_LE(QFontMetricsF(shown->font()).horizontalAdvance(line), shown->width()) << line.toStdString();
    EXPECT_TRUE(lines.join(' ').startsWith("Nothing was pasted:")) << lines.join('|').toStdString();
    EXPECT_TRUE(delegate.pasted.empty());
    EXPECT_TRUE(presented()) << "the screen stays for another choice";
    EXPECT_TRUE(namesIn(temp / "small").empty());
}

}  // namespace
}  // namespace strombel::editor
