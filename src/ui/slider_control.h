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

/// What the effect faders and the master volume share: a knob travelling along
/// one axis of a track picture, a position from 0 to 1 reported with
/// value-changed, and a lamp lit while the position is above 0. A missing picture
/// leaves it without travel: then touches change nothing and setCurrentPosition
/// keeps the value it was given, so the position is always a number between 0
/// and 1.
class Fader : public kit::Control {
  public:
    /// How far inside the track picture the knob's centre stops, at the start
    /// (top or left) and at the end.
    struct Stops {
        int start, end;
    };
    /// The stops of each layout.
    struct StopsByLayout {
        Stops tablet, phoneLandscape, phonePortrait;
    };

    /// Moves the knob's centre to `along` (held inside the travel) and reports it.
    virtual void setSlider(float along);
    /// Moves to `position` (held inside 0..1) and sends value-changed.
    void setCurrentPosition(float position);

    float currentPosition() const { return currentPosition_; }
    /// The knob's centre for a position.
    float pointOf(float position) const {
        return min_ + (axis_ == Axis::vertical ? 1 - position : position) * (max_ - min_);
    }
    LightView* lightView() const;
    void setLightView(LightView* light);
    const kit::ImageView& knob() const { return *slider_; }

    bool beginTracking(const kit::Touch& touch) override;
    bool continueTracking(const kit::Touch& touch) override;
    void endTracking(const kit::Touch& touch) override;
    void cancelTracking(const kit::Touch& touch) override;

  protected:
    /// Vertical faders read 1 at the top, horizontal ones 1 at the right.
    enum class Axis { vertical, horizontal };
    Fader(Axis axis, const char* trackImage, const char* knobImage, const StopsByLayout& stops, GuiType guiType);

    bool hasTravel() const { return max_ > min_; }
    /// The position of a knob centred at `along`, which lies inside the travel.
    float positionAt(float along) const {
        const float share = (along - min_) / (max_ - min_);
        return axis_ == Axis::vertical ? 1 - share : share;
    }
    void moveKnob(float along);
    void setLamp(bool on) { lamp_.show(on); }

    const Axis axis_;
    kit::ImageView* slider_ = nullptr;
    float min_ = 0;
    float max_ = 0;
    float currentPosition_ = 0;

  private:
    float along(const kit::Touch& touch) const;

    FaderLamp lamp_;
};

/// A vertical effect fader, 0 at the bottom and 1 at the top. A double tap sends
/// it to 0.
class SliderControl : public Fader {
  public:
    explicit SliderControl(GuiType guiType = GuiType::tablet);

    virtual void doubleTapOccured();
    float minY() const { return min_; }
    float maxY() const { return max_; }
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
    float middle() const { return (min_ + max_) / 2; }
};

/// The master volume fader: 0 at the left, 1 at the right.
class HorizontalSliderControl final : public Fader {
  public:
    explicit HorizontalSliderControl(GuiType guiType = GuiType::tablet);

    float minX() const { return min_; }
    float maxX() const { return max_; }
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
