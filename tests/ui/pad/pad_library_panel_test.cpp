// The library hooks on their own, on a library whose banks the test moves: the
// bank being played stays current wherever it goes, and the browser's requests
// reach the library or the screen.

#include "ui/pad/pad_library_panel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "still_pad_services.h"
#include "support/still_pad_engine.h"
#include "pad_panel_test.h"

namespace strombel::ui {
namespace {

struct BankEngine final : strombel::testing::StillPadEngine {
    uint64_t currentSoundBankIdx() const override { return current; }
    uint64_t current = 0;
};

struct MovingLibrary final : StillLibrary {
    std::vector<int64_t> soundbankIds() const override { return ids; }
    void addDelegate(PadLibraryObserver* observer) override { observers.push_back(observer); }
    void removeDelegate(PadLibraryObserver* observer) override { std::erase(observers, observer); }
    std::string userSamplePath(uint64_t index) const override { return index == 4 ? "Documents/take.wav" : ""; }
    bool setPackSampleOnPad(uint64_t section, uint64_t row, uint64_t bank, uint64_t pad) override {
        placed.push_back({section, row, bank, pad});
        return true;
    }
    std::vector<int64_t> ids{1, 2, 3};
    std::vector<PadLibraryObserver*> observers;
    std::vector<std::vector<uint64_t>> placed;
};

struct LibraryHostRecorder final : PadLibraryPanelHost {
    explicit LibraryHostRecorder(BankEngine& engine) : engine_(engine) {}
    uint64_t shownBank() const override { return engine_.current; }
    void showBank(uint64_t bank) override {
        said.push_back("bank " + std::to_string(bank));
        engine_.current = bank;
    }
    void showCurrentBank() override { said.push_back("pads"); }
    int padAt(const QPointF& inBase) const override { return inBase.y() > 500 ? 5 : -1; }
    void askBankName(uint64_t bank, const QString& value, const QString& prompt) override {
        said.push_back(QString("name %1 %2: %3").arg(bank).arg(value, prompt).toStdString());
    }
    void editSample(const std::string& path) override { said.push_back("edit " + path); }
    void toggleSampleRecording() override { said.push_back("record"); }
    void engagePaste() override { said.push_back("paste"); }
    std::vector<std::string> said;

private:
    BankEngine& engine_;
};

class PadLibraryPanelTest : public PadPanelTest {
protected:
    BankEngine engine_;
    MovingLibrary library_;
    GuiFactory gf_{GuiType::tablet};
    LibraryHostRecorder host_{engine_};
    PadLibraryPanel panel_{library_, engine_, nullptr, gf_, host_};
};

TEST_F(PadLibraryPanelTest, TheBankBeingPlayedStaysCurrentWhereverItMoves) {
    const struct {
        const char* what;
        std::vector<int64_t> after;
        uint64_t current;
        std::vector<std::string> said;
    } rows[] = {
        {"it moved", {3, 1, 2}, 1, {"bank 2"}},
        {"one was added after it", {1, 2, 3, 4}, 1, {"pads"}},
        {"one before it went", {2, 3}, 1, {"bank 0"}},
        {"it went and was last", {1, 2}, 2, {"bank 1"}},
        {"it went, not last", {1, 3}, 1, {"pads"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        library_.ids = {1, 2, 3};
        engine_.current = row.current;
        panel_.rememberCurrentBank();
        host_.said.clear();
        library_.ids = row.after;
        panel_.soundbanksChanged();
        EXPECT_EQ(host_.said, row.said);
    }
    host_.said.clear();
    engine_.current = 0;
    panel_.soundbankSelected(0);  // already current
    panel_.soundbankSelected(1);
    EXPECT_EQ(host_.said, std::vector<std::string>{"bank 1"});
}

TEST_F(PadLibraryPanelTest, TheBrowsersRequestsReachTheLibraryOrTheScreen) {
    panel_.joinLibrary();
    EXPECT_EQ(library_.observers, std::vector<PadLibraryObserver*>{&panel_});
    EXPECT_FALSE(panel_.canBrowse());  // no library to browse: no browser
    engine_.current = 1;
    panel_.soundpackSampleWithIndexPath({2, 7}, QPointF(10, 600));  // over pad 5
    panel_.soundpackSampleWithIndexPath({2, 7}, QPointF(10, 10));   // over no pad
    panel_.soundpackSampleWithIndexPath({-1, 7}, QPointF(10, 600));
    EXPECT_EQ(library_.placed, (std::vector<std::vector<uint64_t>>{{2, 7, 1, 5}}));
    panel_.renameSoundbank(1);
    panel_.renameSoundbank(9);  // no such bank
    panel_.editUserSample(4);
    panel_.editUserSample(5);  // no such sample
    panel_.samplesChanged();
    EXPECT_EQ(host_.said, (std::vector<std::string>{"name 1 Tamboro: NEW NAME FOR THE SOUND BANK 'TAMBORO'",
                                                    "edit Documents/take.wav", "pads"}));
    panel_.leaveLibrary();
    EXPECT_TRUE(library_.observers.empty());
}

}  // namespace
}  // namespace strombel::ui
