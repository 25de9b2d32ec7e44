#include "ui/light_view.h"

#include <gtest/gtest.h>

#include "ui/kit/animator.h"
#include "ui/ui_test_support.h"

namespace strombel::ui {
namespace {

class LightViewTest : public testing::UiTest {
  protected:
    /// Lit as the user sees it: the lit picture on the lamp and fully shown.
    bool looksLit() const { return lamp.showsLitView() && lamp.litAlpha() > 0.99; }
    bool looksUnlit() const { return !lamp.showsLitView(); }

    LightView lamp{GuiType::tablet};
};

TEST_F(LightViewTest, TurnOnIsImmediateAndTurnOffFadesOverAFifthOfASecond) {
    lamp.turnOn();
    EXPECT_TRUE(lamp.isTurnedOn());
    EXPECT_TRUE(looksLit());
    lamp.turnOff();
    EXPECT_FALSE(lamp.isTurnedOn());
    advance(0.1);
    EXPECT_TRUE(lamp.showsLitView());
    EXPECT_LT(lamp.litAlpha(), 0.9);
    advance(0.15);
    EXPECT_TRUE(looksUnlit());
}

TEST_F(LightViewTest, AFadeCutShortByTurnOnKeepsTheLampLit) {
    lamp.turnOn();
    pump();
    lamp.turnOff();
    advance(0.1);  // half way out
    lamp.turnOn();
    advance(1.0);
    EXPECT_TRUE(lamp.isTurnedOn());
    EXPECT_TRUE(looksLit());
}

TEST_F(LightViewTest, TurnOnDuringABlinkEndsLit) {
    lamp.keepFlashing();
    EXPECT_TRUE(lamp.keepsFlashing());
    // In the unlit half of a cycle and in the lit half.
    for (double at : {0.1, 0.0}) {
        SCOPED_TRACE(at);
        lamp.keepFlashing();
        advance(at);
        lamp.turnOn();
        EXPECT_FALSE(lamp.keepsFlashing());
        advance(2.0);
        EXPECT_TRUE(lamp.isTurnedOn());
        EXPECT_TRUE(looksLit());
    }
}

TEST_F(LightViewTest, TurnOffDuringABlinkEndsUnlitAndTheBlinkingStops) {
    lamp.keepFlashing();
    advance(0.05);
    lamp.turnOff();
    advance(2.0);
    EXPECT_FALSE(lamp.isTurnedOn());
    EXPECT_TRUE(looksUnlit());
    EXPECT_FALSE(lamp.keepsFlashing());
}

TEST_F(LightViewTest, KeepFlashingSlowlyTakesASecondACycle) {
    lamp.keepFlashingSlowly();
    advance(0.45);
    EXPECT_TRUE(lamp.isTurnedOn());  // fading in
    advance(0.2);
    EXPECT_FALSE(lamp.isTurnedOn());  // fading out
    advance(0.5);
    EXPECT_TRUE(lamp.isTurnedOn());  // the next cycle
    EXPECT_TRUE(lamp.keepsFlashing());
}

TEST_F(LightViewTest, FlashOnceLightsThenGoesOut) {
    lamp.flashOnce();
    EXPECT_TRUE(lamp.isTurnedOn());
    pump();
    EXPECT_FALSE(lamp.isTurnedOn());
    advance(0.3);
    EXPECT_TRUE(looksUnlit());
}

TEST_F(LightViewTest, ToggleAndRepeatedCallsChangeNothingMore) {
    lamp.toggle();
    EXPECT_TRUE(lamp.isTurnedOn());
    lamp.turnOn();
    EXPECT_TRUE(looksLit());
    lamp.toggle();
    advance(0.3);
    EXPECT_TRUE(looksUnlit());
    lamp.turnOff();
    EXPECT_TRUE(looksUnlit());
}

TEST_F(LightViewTest, ALampDestroyedMidFadeLeavesNothingBehind) {
    {
        LightView doomed(GuiType::phoneLandscape);
        doomed.turnOn();
        doomed.turnOff();
        doomed.keepFlashing();
    }
    advance(1.0);
    EXPECT_EQ(context.animator().runningCount(), 0u);
}

}  // namespace
}  // namespace strombel::ui
