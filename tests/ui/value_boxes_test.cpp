#include "ui/value_boxes.h"

#include <gtest/gtest.h>

#include <vector>

#include "ui/ui_test_support.h"

namespace strombel::ui {
namespace {

struct EffectsRecorder : DryWetEffectsControlDelegate,
                  SequencerScreenControlDelegate,
                  MidiChannelControlDelegate {
    void dryWetAmountChanged(float amount) override { amounts.push_back(amount); }
    void sequencerControlMinusPressed() override { presses.push_back(-1); }
    void sequencerControlPlusPressed() override { presses.push_back(1); }
    void midiChannelChanged(int32_t channel) override { channels.push_back(channel); }
    std::vector<float> amounts;
    std::vector<int> presses;
    std::vector<int32_t> channels;
};

class ValueBoxTest : public testing::UiTest {
  protected:
    template <typename Box>
    Box* make(GuiType guiType = GuiType::tablet) {
        Box* box = root.add(std::make_unique<Box>(guiType));
        box->setDelegate(&recorder);
        box->setX(14, 14);
        return box;
    }
    void hold(kit::Button& key) { finger.down(key, key.bounds().center()); }
    void release(kit::Button& key) { finger.up(key, key.bounds().center()); }

    kit::View root{QRectF(0, 0, 457, 79)};
    kit::TouchDispatcher touches{&root};
    testing::Finger finger{touches, 1};
    EffectsRecorder recorder;
};

TEST_F(ValueBoxTest, LayoutPlacesTheDisplayWhereAsked) {
    auto* box = make<DryWetEffectsControl>();
    EXPECT_EQ(box->leftBtnImageWidth(), 24);
    EXPECT_EQ(box->frame(), QRectF(14 - 12, 14, 128 + 24, 52));
    EXPECT_EQ(box->leftButton().frame(), QRectF(3, 3, 48, 46));
    EXPECT_EQ(box->rightButton().frame(), QRectF(128 + 24 - 3 - 48, 3, 48, 46));
    EXPECT_EQ(box->screenLabel().frame(), QRectF(12 + 32, 20, 64, 13));
    EXPECT_EQ(box->screenLabel().text(), "100%");
    auto* phone = make<SequencerScreenControl>(GuiType::phoneLandscape);
    EXPECT_EQ(phone->leftBtnImageWidth(), 10);  // an 11-point key rounds down to even
    EXPECT_EQ(phone->screenLabel().frame(), QRectF(5 + 14, 9, 31, 7));
    EXPECT_EQ(phone->screenLabel().text(), "HELLO");
}

TEST_F(ValueBoxTest, DryWetStopsAtItsLimits) {
    auto* box = make<DryWetEffectsControl>();
    box->increasePressed();
    box->btnReleased();
    EXPECT_TRUE(recorder.amounts.empty());
    box->decreasePressed();
    box->btnReleased();
    EXPECT_EQ(box->currentEffectAmount(), 95);
    EXPECT_EQ(box->screenLabel().text(), "95%");
    ASSERT_EQ(recorder.amounts.size(), 1u);
    EXPECT_FLOAT_EQ(recorder.amounts[0], 0.95f);
}

TEST_F(ValueBoxTest, HoldingDryWetMinusRunsDownToZeroInTwentyStepsAndStops) {
    auto* box = make<DryWetEffectsControl>();
    hold(box->leftButton());
    EXPECT_EQ(recorder.amounts.size(), 1u);  // the first at touch down
    advance(0.1 * 19 + 0.01);
    EXPECT_EQ(recorder.amounts.size(), 20u);
    EXPECT_EQ(box->currentEffectAmount(), 0);
    EXPECT_EQ(box->screenLabel().text(), "0%");
    advance(1.0);
    EXPECT_EQ(recorder.amounts.size(), 20u);
    EXPECT_FALSE(box->isRepeating());
    release(box->leftButton());
}

TEST_F(ValueBoxTest, SetEffectAmountClampsWhateverWasRestored) {
    auto* box = make<DryWetEffectsControl>();
    const std::pair<float, int32_t> cases[] = {
        {0.95f, 95}, {1.5f, 100}, {-3.0f, 0}, {NAN, 0}, {INFINITY, 100}};
    for (const auto& [given, stored] : cases) {
        box->setEffectAmount(given);
        EXPECT_EQ(box->currentEffectAmount(), stored) << given;
        EXPECT_FLOAT_EQ(recorder.amounts.back(), stored / 100.0f);
    }
    // The steps keep to the range too, from a value off the grid of fives.
    box->setEffectAmount(0.97f);
    box->increasePressed();
    box->btnReleased();
    EXPECT_EQ(box->currentEffectAmount(), 100);
    box->setEffectAmount(0.03f);
    box->decreasePressed();
    box->btnReleased();
    EXPECT_EQ(box->currentEffectAmount(), 0);
    EXPECT_FLOAT_EQ(recorder.amounts.back(), 0.0f);
}

TEST_F(ValueBoxTest, SequencerBoxRepeatsAfterHalfASecondThenEveryTenth) {
    auto* box = make<SequencerScreenControl>();
    hold(box->rightButton());
    EXPECT_EQ(recorder.presses.size(), 1u);
    advance(0.55);
    EXPECT_EQ(recorder.presses.size(), 2u);
    advance(0.1);
    EXPECT_EQ(recorder.presses.size(), 3u);
    release(box->rightButton());
    advance(2.0);
    EXPECT_EQ(recorder.presses, (std::vector<int>{1, 1, 1}));
}

TEST_F(ValueBoxTest, AKeyReleasedOutsideStopsTheRepeatToo) {
    auto* box = make<SequencerScreenControl>();
    hold(box->leftButton());
    finger.move(root, {400, 70});
    finger.up(root, {400, 70});
    advance(2.0);
    EXPECT_EQ(recorder.presses, (std::vector<int>{-1}));
}

TEST_F(ValueBoxTest, SequencerTextsShowInCapitals) {
    auto* box = make<SequencerScreenControl>();
    box->setAmount(120, "bpm");
    EXPECT_EQ(box->screenLabel().text(), "120 BPM");
    box->setText("swing");
    EXPECT_EQ(box->screenLabel().text(), "SWING");
}

TEST_F(ValueBoxTest, MidiChannelStepsBetweenOmniAndSixteen) {
    auto* box = make<MidiChannelControl>();
    EXPECT_EQ(box->screenLabel().text(), "MIDI");
    box->setMidiChannel(0);
    EXPECT_EQ(box->screenLabel().text(), "1");
    EXPECT_TRUE(recorder.channels.empty());  // setting tells nobody
    box->minusPressed();
    box->btnReleased();
    EXPECT_EQ(box->screenLabel().text(), "OMNI");
    box->minusPressed();
    box->btnReleased();
    box->setMidiChannel(15);
    box->plusPressed();
    box->btnReleased();
    EXPECT_EQ(box->screenLabel().text(), "16");
    EXPECT_EQ(recorder.channels, (std::vector<int32_t>{-1, -1, 15}));
    box->setMidiChannel(99);
    EXPECT_EQ(box->currentMidiChannel(), 15);
}

TEST_F(ValueBoxTest, HoldingAMidiKeyForHalfASecondAndABitGivesTwoSteps) {
    auto* box = make<MidiChannelControl>();
    box->setMidiChannel(4);
    hold(box->rightButton());
    advance(0.55);
    release(box->rightButton());
    advance(1.0);
    EXPECT_EQ(recorder.channels, (std::vector<int32_t>{5, 6}));
}

}  // namespace
}  // namespace strombel::ui
