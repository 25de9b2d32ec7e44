#pragma once

#include <array>
#include <cstdint>

#include "ui/gui_type.h"
#include "ui/kit/image_view.h"
#include "ui/kit/view.h"

namespace strombel::ui {

/// One segment of the output meter: on or off at once, no fading.
class AudioMeterLightView : public kit::View {
  public:
    explicit AudioMeterLightView(GuiType guiType = GuiType::tablet);
    void turnOn();
    void turnOff();
    void toggle();
    bool isTurnedOn() const { return isTurnedOn_; }

  private:
    kit::ImageView* lightOnView_;
    kit::ImageView* lightOffView_;
    bool isTurnedOn_ = false;
};

/// Two rows of ten segments showing the stereo output level: a level rises at
/// once and falls a tenth of the way toward the new value per update.
class AudioOutputMeter : public kit::View {
  public:
    explicit AudioOutputMeter(GuiType guiType = GuiType::tablet);

    /// Levels of the two channels, 1.0 being full scale (the spelling is the meter's own).
    void setAudioOuputLeft(float left, float right);

    float currentLeftValue() const { return currentLeftValue_; }
    float currentRightValue() const { return currentRightValue_; }
    const std::array<AudioMeterLightView*, 10>& leftChannelLights() const { return left_; }
    const std::array<AudioMeterLightView*, 10>& rightChannelLights() const { return right_; }
    /// How many lamps of a row are lit.
    int litCount(bool leftRow) const;

  private:
    static void update(float& current, float value,
                       const std::array<AudioMeterLightView*, 10>& row);

    std::array<AudioMeterLightView*, 10> left_{};
    std::array<AudioMeterLightView*, 10> right_{};
    float currentLeftValue_ = 0;
    float currentRightValue_ = 0;
};

}  // namespace strombel::ui
