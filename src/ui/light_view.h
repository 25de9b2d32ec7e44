#pragma once

#include <cstdint>
#include <memory>

#include "ui/gui_type.h"
#include "ui/kit/image_view.h"
#include "ui/kit/view.h"

namespace strombel::ui {

/// A small lamp that lights, fades and blinks. The lit picture lies over the
/// unlit one and is only on the lamp while it shows light.
class LightView : public kit::View {
  public:
    explicit LightView(GuiType guiType = GuiType::tablet);
    ~LightView() override;

    /// Lights it with a fade-in of onTime (stops a blink).
    void turnOn();
    /// Puts it out with a fade-out of offTime (stops a blink).
    void turnOff();
    void toggle();
    /// One fade-in followed by one fade-out (stops a blink).
    void flashOnce();
    /// One step of the repeated flash.
    void flash();
    /// Blinks with the lamp's own times until turned on, off, toggled or flashed once.
    void keepFlashing();
    /// Blinks with half a second in and half a second out.
    void keepFlashingSlowly();

    bool isTurnedOn() const { return isTurnedOn_; }
    bool keepsFlashing() const { return keepFlashing_; }
    float onTime() const { return onTime_; }
    void setOnTime(float seconds) { onTime_ = seconds; }
    float offTime() const { return offTime_; }
    void setOffTime(float seconds) { offTime_ = seconds; }

    /// Whether the lit picture is on the lamp now, and how strongly it shows.
    bool showsLitView() const { return lightOnView_->superview() == this; }
    double litAlpha() const { return lightOnView_->alpha(); }

  private:
    void addLitView();
    void removeLitView();
    void startBlinking();

    kit::ImageView* lightOnView_;
    kit::ImageView* lightOffView_;
    std::unique_ptr<kit::View> detachedLightOn_;  // the lit picture while it is off the lamp
    float onTime_ = 0;
    float offTime_ = 0.2f;
    float flashOnTime_ = 0;
    float flashOffTime_ = 0;
    bool isTurnedOn_ = false;
    bool keepFlashing_ = false;
};

}  // namespace strombel::ui
