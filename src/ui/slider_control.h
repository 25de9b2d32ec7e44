#pragma once

#include <cstdint>
#include <memory>

#include "ui/gui_type.h"
#include "ui/kit/control.h"
#include "ui/kit/image_view.h"

namespace strombel::ui {

class LightView;

/// A fader's lamp, held without owning it: once the lamp is gone it is forgotten.
class FaderLamp {
  public:
    LightView* get() const { return alive_.expired() ? nullptr : light_; }
    void set(LightView* light);
    /// Turns the lamp, when there still is one, on or off.
    void show(bool on) const;

  private:
    LightView* light_ = nullptr;
    std::weak_ptr<void> alive_;
};

/// A vertical effect fader reporting a position from 0 (bottom) to 1 (top) with
/// value-changed; its lamp is lit while the position is above 0. A double tap
/// sends it to 0. A missing picture or an unknown gui type leaves it without
/// travel: then touches change nothing and setCurrentPosition keeps the value
/// it was given, so the position is always a number between 0 and 1.
class SliderControl : public kit::Control {
  public:
    explicit SliderControl(GuiType guiType = GuiType::tablet);

    /// Moves the knob's centre to `y` (held inside the travel) and reports it.
    virtual void setSlider(float y);
    /// Moves to `position` (held inside 0..1) and sends value-changed.
    void setCurrentPosition(float position);
    virtual void doubleTapOccured();

    float currentPosition() const { return currentPosition_; }
    float minY() const { return minY_; }
    float maxY() const { return maxY_; }
    /// The knob's centre for a position.
    float pointOf(float position) const { return minY_ + (1 - position) * (maxY_ - minY_); }
    LightView* lightView() const;
    void setLightView(LightView* light);
    const kit::ImageView& knob() const { return *slider_; }

    bool beginTracking(const kit::Touch& touch) override;
    bool continueTracking(const kit::Touch& touch) override;
    void endTracking(const kit::Touch& touch) override;
    void cancelTracking(const kit::Touch& touch) override;

  protected:
    bool hasTravel() const { return maxY_ > minY_; }
    void moveKnob(float y);
    void setLamp(bool on) { lamp_.show(on); }

    kit::ImageView* slider_ = nullptr;
    float minY_ = 0;
    float maxY_ = 0;
    float currentPosition_ = 0;

  private:
    FaderLamp lamp_;
};

/// The pitch fader: springs back to the middle (0.5) when let go, snaps to 0.5
/// near the middle, and lights its lamp only away from the middle.
class PitchSliderControl final : public SliderControl {
  public:
    explicit PitchSliderControl(GuiType guiType = GuiType::tablet);
    void setSlider(float y) override;
    void doubleTapOccured() override;
    void endTracking(const kit::Touch& touch) override;
    void cancelTracking(const kit::Touch& touch) override;

  private:
    float middle() const { return (minY_ + maxY_) / 2; }
};

/// The master volume fader: 0 at the left, 1 at the right.
class HorizontalSliderControl final : public kit::Control {
  public:
    explicit HorizontalSliderControl(GuiType guiType = GuiType::tablet);

    void setSlider(float x);
    void setCurrentPosition(float position);
    float currentPosition() const { return currentPosition_; }
    float minX() const { return minX_; }
    float maxX() const { return maxX_; }
    float pointOf(float position) const { return minX_ + position * (maxX_ - minX_); }
    LightView* lightView() const;
    void setLightView(LightView* light);
    const kit::ImageView& knob() const { return *slider_; }

    bool beginTracking(const kit::Touch& touch) override;
    bool continueTracking(const kit::Touch& touch) override;
    void endTracking(const kit::Touch& touch) override;
    void cancelTracking(const kit::Touch& touch) override;

  private:
    kit::ImageView* slider_ = nullptr;
    float minX_ = 0;
    float maxX_ = 0;
    float currentPosition_ = 0;
    FaderLamp lamp_;
};

/// A pad's sample volume: a track with a fill that grows with the thumb.
/// setCurrentPosition is silent; touches and double taps send value-changed.
class VolumeSliderControl final : public kit::Control {
  public:
    explicit VolumeSliderControl(GuiType guiType = GuiType::tablet);

    void setSlider(float y) { setSlider(y, true); }
    void setSlider(float y, bool sendAction);
    void setCurrentPosition(float position);
    void doubleTapOccured();

    float currentPosition() const { return currentPosition_; }
    float defaultPosition() const { return defaultPosition_; }
    void setDefaultPosition(float position);
    float minY() const { return minY_; }
    float maxY() const { return maxY_; }
    float pointOf(float position) const { return minY_ + (1 - position) * (maxY_ - minY_); }
    const kit::ImageView& thumb() const { return *slider_; }
    const kit::ImageView& fill() const { return *fillView_; }

    bool beginTracking(const kit::Touch& touch) override;
    bool continueTracking(const kit::Touch& touch) override;
    void endTracking(const kit::Touch& touch) override;
    void cancelTracking(const kit::Touch& touch) override;

  private:
    kit::ImageView* baseView_ = nullptr;
    kit::ImageView* fillView_ = nullptr;
    kit::ImageView* slider_ = nullptr;
    float minY_ = 0;
    float maxY_ = 0;
    float fillBottomMargin_ = 0;
    float fillImageHeight_ = 0;
    float currentPosition_ = 1;
    float defaultPosition_ = 1;
};

}  // namespace strombel::ui
