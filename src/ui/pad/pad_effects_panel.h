#pragma once

// The effects of the pad screen: the dry/wet box, the master volume and the six
// effect sliders. Each hands its value to the engine and keeps the engine's
// value in the settings.

#include <vector>

#include "platform/user_defaults.h"
#include "ui/pad_engine.h"
#include "ui/slider_control.h"
#include "ui/value_boxes.h"

namespace strombel::ui {

/// Sets the engine from the effect controls the screen lays out, and restores
/// them from the settings. It is the dry/wet box's delegate. Main loop only; the
/// controls belong to their panels, which outlive this or are told to forget it
/// with `detach`.
class PadEffectsPanel final : public DryWetEffectsControlDelegate {
public:
    /// The settings keys of the six effect sliders, left to right.
    static constexpr const char* kSliderKeys[6] = {"PitchAmount", "DelayIntensity", "ReverbAmount",
                                                   "CutOffAmount", "PhaseAmount", "CrushAmount"};

    PadEffectsPanel(PadEngine& engine, platform::UserDefaults& defaults);
    PadEffectsPanel(const PadEffectsPanel&) = delete;
    PadEffectsPanel& operator=(const PadEffectsPanel&) = delete;

    /// The controls, as the screen's layout makes them: this becomes the dry/wet
    /// box's delegate; the sliders are added left to right.
    void setDryWetControl(DryWetEffectsControl* control);
    void setVolumeSlider(HorizontalSliderControl* slider) { volumeSlider_ = slider; }
    void addEffectSlider(SliderControl* slider) { sliders_.push_back(slider); }
    /// The dry/wet box no longer calls this (its view outlives the screen).
    void detach();

    /// The dry/wet amount from the settings (1 when none is stored): the box
    /// reports it back, which sets the engine.
    void restoreDryWet();
    /// The volume and the effect sliders from the settings (defaults stored
    /// when missing); each slider sends its action.
    void restoreSliders();

    void volumeSliderChanged();
    /// The effect slider `index` (0 to 5, left to right) moved.
    void effectSliderChanged(int index);
    void dryWetAmountChanged(float amount) override;

private:
    PadEngine& engine_;
    platform::UserDefaults& defaults_;
    DryWetEffectsControl* dryWet_ = nullptr;
    HorizontalSliderControl* volumeSlider_ = nullptr;
    std::vector<SliderControl*> sliders_;
};

}  // namespace strombel::ui
