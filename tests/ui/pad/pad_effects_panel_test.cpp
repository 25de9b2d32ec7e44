// The effects panel on its own: each control sets its engine setting and keeps it
// under its own key, and the stored values come back into the controls.

#include "ui/pad/pad_effects_panel.h"

#include <gtest/gtest.h>

#include "support/still_pad_engine.h"
#include "support/temp_dir.h"
#include "pad_panel_test.h"

namespace strombel::ui {
namespace {

using Setting = PadEngine::Setting;

class PadEffectsPanelTest : public PadPanelTest {
protected:
    PadEffectsPanelTest() {
        panel_.setDryWetControl(root_.add(std::make_unique<DryWetEffectsControl>()));
        volume_ = root_.add(std::make_unique<HorizontalSliderControl>(GuiType::tablet));
        panel_.setVolumeSlider(volume_);
        for (int i = 0; i < 6; ++i) {
            sliders_[i] = root_.add(std::make_unique<SliderControl>(GuiType::tablet));
            sliders_[i]->setX(60 * i, 100);
            panel_.addEffectSlider(sliders_[i]);
        }
    }

    kit::View root_{QRectF(0, 0, 600, 600)};
    strombel::testing::TempDir temp_;
    platform::UserDefaults defaults_{temp_ / "defaults.sqlite"};
    strombel::testing::StillPadEngine engine_;
    PadEffectsPanel panel_{engine_, defaults_};
    HorizontalSliderControl* volume_ = nullptr;
    SliderControl* sliders_[6] = {};
};

TEST_F(PadEffectsPanelTest, EachSliderSetsItsOwnSettingAndKey) {
    const struct {
        Setting setting;
        const char* key;
    } rows[6] = {{Setting::pitchAmount, "PitchAmount"},   {Setting::delayIntensity, "DelayIntensity"},
                 {Setting::reverbAmount, "ReverbAmount"}, {Setting::cutOffAmount, "CutOffAmount"},
                 {Setting::phaseAmount, "PhaseAmount"},   {Setting::crushAmount, "CrushAmount"}};
    for (int i = 0; i < 6; ++i) sliders_[i]->setCurrentPosition(0.1f * float(i + 1));
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(rows[i].key);
        panel_.effectSliderChanged(i);
        EXPECT_FLOAT_EQ(engine_.setting(rows[i].setting), sliders_[i]->currentPosition());
        EXPECT_NEAR(defaults_.doubleForKey(rows[i].key), 0.1 * (i + 1), 0.05);
    }
    panel_.effectSliderChanged(6);  // no seventh slider: nothing changes
    EXPECT_EQ(engine_.settings.size(), 6u);

    volume_->setCurrentPosition(0.3f);
    panel_.volumeSliderChanged();
    EXPECT_NEAR(engine_.setting(Setting::volume), 0.3, 0.05);
    EXPECT_DOUBLE_EQ(defaults_.doubleForKey("Volume"), engine_.setting(Setting::volume));
}

TEST_F(PadEffectsPanelTest, StoredValuesComeBackAndMissingOnesAreStored) {
    defaults_.setDouble("Volume", 0.25);
    defaults_.setDouble("DelayIntensity", 0.75);
    defaults_.setDouble("EffectDryWet", 0.4);
    panel_.restoreDryWet();
    panel_.restoreSliders();
    // The box reports the restored amount back, which reaches the engine.
    EXPECT_FLOAT_EQ(engine_.setting(Setting::effectWetness), 0.4f);
    EXPECT_NEAR(volume_->currentPosition(), 0.25, 0.05);
    EXPECT_NEAR(sliders_[1]->currentPosition(), 0.75, 0.05);
    EXPECT_DOUBLE_EQ(defaults_.doubleForKey("PitchAmount"), 0.5);
    EXPECT_TRUE(defaults_.hasObject("CrushAmount"));

    // Once detached, the box no longer reaches the panel.
    panel_.detach();
    defaults_.setDouble("EffectDryWet", 0.9);
    panel_.restoreDryWet();
    EXPECT_FLOAT_EQ(engine_.setting(Setting::effectWetness), 0.4f);
}

}  // namespace
}  // namespace strombel::ui
