#include "ui/pad/pad_effects_panel.h"

namespace strombel::ui {

namespace {

constexpr const char* kEffectDryWet = "EffectDryWet";
constexpr const char* kVolume = "Volume";

constexpr PadEngine::Setting kSliderSettings[6] = {
    PadEngine::Setting::pitchAmount, PadEngine::Setting::delayIntensity, PadEngine::Setting::reverbAmount,
    PadEngine::Setting::cutOffAmount, PadEngine::Setting::phaseAmount, PadEngine::Setting::crushAmount};

}  // namespace

PadEffectsPanel::PadEffectsPanel(PadEngine& engine, platform::UserDefaults& defaults)
    : engine_(engine), defaults_(defaults) {
    sliders_.reserve(6);
}

void PadEffectsPanel::setDryWetControl(DryWetEffectsControl* control) {
    dryWet_ = control;
    if (dryWet_) dryWet_->setDelegate(this);
}

void PadEffectsPanel::detach() {
    if (dryWet_) dryWet_->setDelegate(nullptr);
}

void PadEffectsPanel::restoreDryWet() {
    if (!defaults_.hasObject(kEffectDryWet)) defaults_.setDouble(kEffectDryWet, 1.0);
    if (dryWet_) dryWet_->setEffectAmount(float(defaults_.doubleForKey(kEffectDryWet)));
}

void PadEffectsPanel::restoreSliders() {
    auto storeDefault = [&](const char* key, double fallback) {
        if (!defaults_.hasObject(key)) defaults_.setDouble(key, fallback);
    };
    storeDefault(kVolume, 1.0);
    storeDefault(kSliderKeys[0], 0.5);
    for (int i = 1; i < 6; ++i) storeDefault(kSliderKeys[i], 0.0);
    if (volumeSlider_) volumeSlider_->setCurrentPosition(float(defaults_.doubleForKey(kVolume)));
    for (size_t i = 0; i < sliders_.size() && i < 6; ++i)
        sliders_[i]->setCurrentPosition(float(defaults_.doubleForKey(kSliderKeys[i])));
}

void PadEffectsPanel::volumeSliderChanged() {
    if (!volumeSlider_) return;
    engine_.setSetting(PadEngine::Setting::volume, volumeSlider_->currentPosition());
    defaults_.setDouble(kVolume, engine_.setting(PadEngine::Setting::volume));
}

void PadEffectsPanel::effectSliderChanged(int index) {
    if (index < 0 || index >= int(sliders_.size())) return;
    engine_.setSetting(kSliderSettings[index], sliders_[size_t(index)]->currentPosition());
    defaults_.setDouble(kSliderKeys[index], engine_.setting(kSliderSettings[index]));
}

void PadEffectsPanel::dryWetAmountChanged(float amount) {
    engine_.setSetting(PadEngine::Setting::effectWetness, amount);
    defaults_.setDouble(kEffectDryWet, amount);
}

}  // namespace strombel::ui
