#include "ui/audio_output_meter.h"

#include <gtest/gtest.h>

#include <cmath>

#include "ui/ui_test_support.h"

namespace strombel::ui {
namespace {

class MeterTest : public testing::UiTest {};

TEST_F(MeterTest, FramesAndLampPitchPerGuiType) {
    const std::tuple<GuiType, QRectF, double> cases[] = {{GuiType::tablet, QRectF(540, 165, 440, 65), 44},
                                                         {GuiType::phoneLandscape, QRectF(250, 59, 200, 31), 20},
                                                         {GuiType::phonePortrait, QRectF(338, 90, 290, 44), 29}};
    for (const auto& [type, frame, pitch] : cases) {
        AudioOutputMeter meter(type);
        EXPECT_EQ(meter.frame(), frame);
        EXPECT_EQ(meter.leftChannelLights()[3]->x(), 3 * pitch);
        EXPECT_EQ(meter.leftChannelLights()[3]->y(), 0);
        EXPECT_EQ(meter.rightChannelLights()[9]->bottomY(), frame.height());
    }
}

TEST_F(MeterTest, LevelRisesAtOnceAndFallsATenthOfTheWayPerUpdate) {
    AudioOutputMeter meter(GuiType::tablet);
    meter.setAudioOuputLeft(0.8f, 0.0f);
    EXPECT_FLOAT_EQ(meter.currentLeftValue(), 0.8f);
    EXPECT_EQ(meter.litCount(true), 8);
    EXPECT_EQ(meter.litCount(false), 0);
    meter.setAudioOuputLeft(0.0f, 0.0f);
    EXPECT_NEAR(meter.currentLeftValue(), 0.72, 1e-6);
    EXPECT_EQ(meter.litCount(true), 7);
    meter.setAudioOuputLeft(0.0f, 0.0f);
    EXPECT_NEAR(meter.currentLeftValue(), 0.648, 1e-6);
    EXPECT_EQ(meter.litCount(true), 6);
    meter.setAudioOuputLeft(0.95f, 1.4f);
    EXPECT_FLOAT_EQ(meter.currentLeftValue(), 0.95f);
    EXPECT_EQ(meter.litCount(true), 9);
    EXPECT_EQ(meter.litCount(false), 10);  // over full scale: every lamp
    // Lamps light from the left.
    EXPECT_TRUE(meter.leftChannelLights()[0]->isTurnedOn());
    EXPECT_FALSE(meter.leftChannelLights()[9]->isTurnedOn());
}

TEST_F(MeterTest, ABrokenLevelShowsAsSilenceNotAsGarbage) {
    AudioOutputMeter meter(GuiType::phoneLandscape);
    meter.setAudioOuputLeft(NAN, INFINITY);
    EXPECT_FLOAT_EQ(meter.currentLeftValue(), 0.0f);
    EXPECT_FLOAT_EQ(meter.currentRightValue(), 0.0f);
    EXPECT_EQ(meter.litCount(false), 0);
}

}  // namespace
}  // namespace strombel::ui
