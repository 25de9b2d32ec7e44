#include "ui/slider_control.h"

#include <algorithm>
#include <cmath>

#include "logging/log.h"
#include "ui/gui_factory.h"
#include "ui/kit/gesture_recognizer.h"
#include "ui/light_view.h"

namespace strombel::ui {

using namespace kit;

namespace {

float clamp01(float value) {
    if (std::isnan(value)) return 0;
    return std::clamp(value, 0.0f, 1.0f);
}

float clampTo(float value, float low, float high) {
    if (std::isnan(value)) return high;
    return std::max(low, std::min(value, high));
}

int32_t trunc(double value) {
    return static_cast<int32_t>(value);
}

const Fader::Stops& stopsFor(const Fader::StopsByLayout& stops, GuiType guiType) {
    switch (guiType) {
        case GuiType::phoneLandscape:
            return stops.phoneLandscape;
        case GuiType::phonePortrait:
            return stops.phonePortrait;
        case GuiType::tablet:
            break;
    }
    return stops.tablet;
}

std::unique_ptr<GestureRecognizer> doubleTap(std::function<void()> action) {
    return std::make_unique<TapGestureRecognizer>([action](GestureRecognizer&) { action(); }, 2);
}

}  // namespace

// What the faders share.

Fader::Fader(Axis axis, const char* trackImage, const char* knobImage, const StopsByLayout& stops,
             GuiType guiType)
    : axis_(axis) {
    const bool vertical = axis == Axis::vertical;
    const QImage base = GuiFactory::imageWithName(trackImage, guiType);
    const QImage knobPicture = GuiFactory::imageWithName(knobImage, guiType);
    const QSizeF b = pointSize(base);
    const QSizeF k = pointSize(knobPicture);
    // The track with half a knob's room at each end, the knob centred across it.
    const double trackLength = vertical ? b.height() : b.width();
    const double halfKnob = std::floor((vertical ? k.height() : k.width()) / 2);
    setFrame(vertical ? QRectF(0, 0, b.width(), b.height() + k.height())
                      : QRectF(0, 0, b.width() + k.width(), b.height()));
    add(std::make_unique<ImageView>(QRectF(vertical ? QPointF(0, halfKnob) : QPointF(halfKnob, 0), b), base));
    if (!base.isNull() && !knobPicture.isNull()) {
        const Stops& stop = stopsFor(stops, guiType);
        min_ = static_cast<float>(halfKnob + stop.start);
        max_ = static_cast<float>(trackLength + halfKnob - stop.end);
    }
    // The knob starts at the far end of its travel (the bottom, or the right).
    const double rest = max_ - halfKnob;
    const QPointF knobOrigin = vertical ? QPointF(std::floor(width() / 2 - k.width() / 2), rest)
                                        : QPointF(rest, std::floor(height() / 2 - k.height() / 2));
    slider_ = add(std::make_unique<ImageView>(QRectF(knobOrigin, k), knobPicture));
}

void FaderLamp::set(LightView* light) {
    light_ = light;
    alive_ = light ? light->lifetime() : std::weak_ptr<void>();
}

void FaderLamp::show(bool on) const {
    if (LightView* lamp = get()) {
        if (on) {
            lamp->turnOn();
        } else {
            lamp->turnOff();
        }
    }
}

LightView* Fader::lightView() const {
    return lamp_.get();
}

void Fader::setLightView(LightView* light) {
    lamp_.set(light);
}

void Fader::moveKnob(float along) {
    if (axis_ == Axis::vertical) {
        slider_->setY(trunc(along - slider_->height() / 2));
    } else {
        slider_->setX(trunc(along - slider_->width() / 2));
    }
}

void Fader::setSlider(float along) {
    if (hasTravel()) {
        const float held = clampTo(along, min_, max_);
        moveKnob(held);
        currentPosition_ = positionAt(held);
    }
    setLamp(currentPosition_ > 0);
    sendActions(valueChanged);
}

void Fader::setCurrentPosition(float position) {
    const float held = clamp01(position);
    if (!hasTravel()) currentPosition_ = held;  // nowhere to put the knob; keep the value
    setSlider(pointOf(held));
}

float Fader::along(const Touch& touch) const {
    const QPointF at = touch.locationIn(*this);
    return static_cast<float>(axis_ == Axis::vertical ? at.y() : at.x());
}

bool Fader::beginTracking(const Touch& touch) {
    setSlider(along(touch));
    return true;
}

bool Fader::continueTracking(const Touch& touch) {
    return beginTracking(touch);
}

void Fader::endTracking(const Touch& touch) {
    setSlider(along(touch));
}

void Fader::cancelTracking(const Touch&) {
    STROMBEL_LOG_DEBUG("slider tracking cancelled");
}

// Vertical effect fader.

SliderControl::SliderControl(GuiType guiType)
    : Fader(Axis::vertical, "sliderBase", "slider", {{2, 1}, {1, 0}, {2, 2}}, guiType) {
    addGestureRecognizer(doubleTap([this] { doubleTapOccured(); }));
}

void SliderControl::doubleTapOccured() {
    setSlider(max_);
}

// Pitch.

PitchSliderControl::PitchSliderControl(GuiType guiType) : SliderControl(guiType) {
    slider_->setY(trunc(min_ + (max_ - min_) / 2 - slider_->height() / 2));
}

void PitchSliderControl::setSlider(float y) {
    if (hasTravel()) {
        const float held = clampTo(y, min_, max_);
        float position = positionAt(held);
        const bool snapped = position > 0.49f && position < 0.51f;
        if (snapped) position = 0.5f;
        currentPosition_ = position;
        moveKnob(held);
    }
    setLamp(!(currentPosition_ > 0.49f && currentPosition_ < 0.51f));
    sendActions(valueChanged);
}

void PitchSliderControl::doubleTapOccured() {
    setSlider(middle());
}
void PitchSliderControl::endTracking(const Touch&) {
    setSlider(middle());
}
void PitchSliderControl::cancelTracking(const Touch&) {
    setSlider(middle());
}

// Horizontal master volume.

HorizontalSliderControl::HorizontalSliderControl(GuiType guiType)
    : Fader(Axis::horizontal, "horizontalSliderBase", "horizontalSlider", {{2, 1}, {1, 0}, {1, 1}}, guiType) {}

// A pad's volume.

VolumeSliderControl::VolumeSliderControl(GuiType guiType) {
    const QImage base = GuiFactory::imageWithName("sampleVolumeSlider", guiType);
    const QImage fillImage = GuiFactory::imageWithName("sampleVolumeSliderFill", guiType);
    const QImage thumbImage = GuiFactory::imageWithName("sampleVolumeSliderThumb", guiType);
    const QSizeF b = pointSize(base);
    const QSizeF f = pointSize(fillImage);
    const QSizeF k = pointSize(thumbImage);
    setFrame(QRectF(0, 0, 2 * b.width(), b.height()));
    baseView_ = add(std::make_unique<ImageView>(QRectF(QPointF(b.width() / 2, 0), b), base));
    auto fill = std::make_unique<ImageView>(QRectF(b.width() / 2, 0, f.width(), 0), fillImage);
    fill->setContentMode(ImageView::ContentMode::bottom);
    fill->setClipsToBounds(true);
    fillView_ = add(std::move(fill));
    fillImageHeight_ = static_cast<float>(f.height());
    float margin = 0, bottom = 0;
    switch (guiType) {
        case GuiType::tablet:
            margin = 17, bottom = 12;
            break;
        case GuiType::phoneLandscape:
            margin = 8, bottom = 5;
            break;
        case GuiType::phonePortrait:
            margin = 12, bottom = 8;
            break;
    }
    if (!base.isNull() && !thumbImage.isNull()) {
        minY_ = margin;
        maxY_ = static_cast<float>(b.height()) - margin;
        fillBottomMargin_ = bottom;
    }
    slider_ = add(std::make_unique<ImageView>(
        QRectF(QPointF(std::floor(width() / 2 - k.width() / 2), maxY_ - std::floor(k.height() / 2)),
               k),
        thumbImage));
    addGestureRecognizer(doubleTap([this] { doubleTapOccured(); }));
}

void VolumeSliderControl::setSlider(float y, bool sendAction) {
    if (maxY_ > minY_) {
        const float held = clampTo(y, minY_, maxY_);
        slider_->setY(trunc(held - slider_->height() / 2));
        currentPosition_ = 1 - (held - minY_) / (maxY_ - minY_);
        const double fillHeight = currentPosition_ * fillImageHeight_;
        fillView_->setFrame(QRectF(fillView_->x(),
                                   baseView_->height() - fillBottomMargin_ - fillHeight,
                                   fillView_->width(), fillHeight));
    }
    if (sendAction) sendActions(valueChanged);
}

void VolumeSliderControl::setCurrentPosition(float position) {
    const float held = clamp01(position);
    if (!(maxY_ > minY_)) currentPosition_ = held;
    setSlider(pointOf(held), false);
}

void VolumeSliderControl::setDefaultPosition(float position) {
    defaultPosition_ = clamp01(position);
}

void VolumeSliderControl::doubleTapOccured() {
    setSlider(pointOf(defaultPosition_), true);
}

bool VolumeSliderControl::beginTracking(const Touch& touch) {
    setSlider(static_cast<float>(touch.locationIn(*this).y()), true);
    return true;
}

bool VolumeSliderControl::continueTracking(const Touch& touch) {
    return beginTracking(touch);
}

void VolumeSliderControl::endTracking(const Touch& touch) {
    setSlider(static_cast<float>(touch.locationIn(*this).y()), true);
}

void VolumeSliderControl::cancelTracking(const Touch&) {
    STROMBEL_LOG_DEBUG("volume slider tracking cancelled");
}

}  // namespace strombel::ui
