#include "ui/sound_bank_control.h"

#include <gtest/gtest.h>

#include <QFontMetricsF>

#include <vector>

#include "ui/ui_test_support.h"

namespace strombel::ui {
namespace {

struct Recorder : SoundBankControlDelegate {
    void activeSoundbankChanged(uint64_t index) override { changes.push_back(index); }
    std::vector<uint64_t> changes;
};

class SoundBankTest : public testing::UiTest {
  protected:
    SoundBankControl& make(std::vector<std::string> names) {
        banks.setNames(std::move(names));
        selector = std::make_unique<SoundBankControl>(GuiType::tablet, banks);
        selector->setDelegate(&recorder);
        return *selector;
    }
    QString shown() const { return selector->screenLabel().text(); }

    InMemorySoundBankList banks;
    Recorder recorder;
    std::unique_ptr<SoundBankControl> selector;
};

TEST_F(SoundBankTest, WrapsBothWays) {
    auto& control = make({"Acoustic", "Electro", "Hip hop", "Latin", "Noise"});
    EXPECT_EQ(shown(), "ACOUSTIC");
    control.previousSoundbank();
    EXPECT_EQ(shown(), "NOISE");
    EXPECT_EQ(control.currentBank(), 4u);
    control.nextSoundbank();
    EXPECT_EQ(shown(), "ACOUSTIC");
    EXPECT_EQ(recorder.changes, (std::vector<uint64_t>{4, 0}));
}

TEST_F(SoundBankTest, KeysStepOncePerTouch) {
    auto& control = make({"one", "two", "three"});
    kit::View root(QRectF(0, 0, 457, 79));
    kit::TouchDispatcher touches(&root);
    auto owned = std::move(selector);
    SoundBankControl* placed = root.add(std::move(owned));
    placed->setX(242, 14);
    testing::Finger finger(touches, 1);
    finger.down(placed->rightButton(), placed->rightButton().bounds().center());
    advance(2.0);  // held: no repeat
    finger.up(placed->rightButton(), placed->rightButton().bounds().center());
    EXPECT_EQ(recorder.changes, (std::vector<uint64_t>{1}));
    EXPECT_EQ(placed->screenLabel().text(), "TWO");
    (void)control;
}

TEST_F(SoundBankTest, ALongNameIsShownSmallerOrLosesWholeWords) {
    auto& control = make({"Calderwick Short Vocals", "A bank whose name goes on far past the display"});
    const kit::Label& label = control.screenLabel();
    for (const char* name : {"CALDERWICK SHORT VOCALS", "A BANK WHOSE NAME GOES ON FAR PAST THE DISPLAY"}) {
        SCOPED_TRACE(name);
        const QString shown = label.fitted().lines.join(' ');
        const bool wordsLost = shown.endsWith(QChar(0x2026)) && QString(name).startsWith(shown.chopped(1) + ' ');
        EXPECT_TRUE(shown == name || wordsLost) << shown.toStdString();
        EXPECT_LE(QFontMetricsF(label.fitted().font).horizontalAdvance(shown), label.width());
        control.nextSoundbank();
    }
    EXPECT_EQ(label.fitted().lines, QStringList{"CALDERWICK SHORT VOCALS"}) << "a smaller size fits it whole";
}

TEST_F(SoundBankTest, SetCurrentBankCutsToTheLastBankSilently) {
    auto& control = make({"a", "b", "c"});
    control.setCurrentBank(9);
    EXPECT_EQ(control.currentBank(), 2u);
    EXPECT_EQ(shown(), "C");
    EXPECT_TRUE(recorder.changes.empty());
}

TEST_F(SoundBankTest, FollowsTheLibrarysChanges) {
    auto& control = make({"a", "b", "c"});
    control.setCurrentBank(1);
    banks.setNames({"a", "Renamed", "c"});
    EXPECT_EQ(shown(), "RENAMED");
    banks.setNames({"a", "Renamed"});  // another bank removed: nothing to tell
    EXPECT_TRUE(recorder.changes.empty());
    control.setCurrentBank(1);
    banks.setNames({"a"});  // the shown bank, the last, removed
    EXPECT_EQ(recorder.changes, (std::vector<uint64_t>{0}));
    EXPECT_EQ(shown(), "A");
}

TEST_F(SoundBankTest, AnEmptyBankListShowsNothingAndSendsNothing) {
    auto& control = make({});
    EXPECT_EQ(shown(), "");
    control.previousSoundbank();
    control.nextSoundbank();
    control.setCurrentBank(5);
    EXPECT_EQ(control.currentBank(), 0u);
    EXPECT_TRUE(recorder.changes.empty());
    banks.setNames({"first"});
    EXPECT_EQ(shown(), "FIRST");
    banks.setNames({});
    EXPECT_EQ(shown(), "");
    EXPECT_EQ(control.currentBank(), 0u);
}

TEST_F(SoundBankTest, StopsListeningWhenDestroyed) {
    make({"a"});
    EXPECT_EQ(banks.observerCount(), 1u);
    selector.reset();
    EXPECT_EQ(banks.observerCount(), 0u);
    banks.setNames({"b"});  // nobody left to tell; nothing breaks
}

TEST_F(SoundBankTest, LayoutFitsTheTopLeftPanel) {
    auto& control = make({"a"});
    control.setX(242, 14);
    EXPECT_EQ(control.frame(), QRectF(242 - 12, 14, 202 + 24, 52));
    EXPECT_LE(control.rightX(), 457);
    EXPECT_EQ(control.screenLabel().frame(), QRectF(12 + 31, 20, 140, 13));
    // Made without a layout, it is the tablet's.
    SoundBankControl plain(banks);
    EXPECT_EQ(plain.frame().size(), control.frame().size());
    EXPECT_EQ(plain.screenLabel().frame(), control.screenLabel().frame());
}

}  // namespace
}  // namespace strombel::ui
