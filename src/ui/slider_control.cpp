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

std::unique_ptr<GestureRecognizer> doubleTap(std::function<void()> action) {
    return std::make_unique<TapGestureRecognizer>([action](GestureRecognizer&) { action(); }, 2);
}

}  // namespace

// Vertical effect fader.

SliderControl::SliderControl(GuiType guiType) {
    const QImage base = GuiFactory::imageWithName("sliderBase", guiType);
    const QImage knobImage = GuiFactory::imageWithName("slider", guiType);
    const QSizeF b = pointSize(base);
    const QSizeF k = pointSize(knobImage);
    setFrame(QRectF(0, 0, b.width(), b.height() + k.height()));
    const double halfKnob = std::floor(k.height() / 2);
    add(std::make_unique<ImageView>(QRectF(QPointF(0, halfKnob), b), base));
    int a = 0, bottom = 0;
    switch (guiType) {
        case GuiType::tablet:
            a = 2, bottom = 1;
            break;
        case GuiType::phoneLandscape:
            a = 1, bottom = 0;
            break;
        case GuiType::phonePortrait:
            a = 2, bottom = 2;
            break;
    }
    if (!base.isNull() && !knobImage.isNull()) {
        minY_ = static_cast<float>(halfKnob + a);
        maxY_ = static_cast<float>(b.height() + halfKnob - bottom);
    }
    auto knobView = std::make_unique<ImageView>(
        QRectF(QPointF(std::floor(width() / 2 - k.width() / 2), maxY_ - halfKnob), k), knobImage);
    slider_ = add(std::move(knobView));
    addGestureRecognizer(doubleTap([this] { doubleTapOccured(); }));
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

LightView* SliderControl::lightView() const {
    return lamp_.get();
}

void SliderControl::setLightView(LightView* light) {
    lamp_.set(light);
}

void SliderControl::moveKnob(float y) {
    slider_->setY(trunc(y - slider_->height() / 2));
}

void SliderControl::setSlider(float y) {
    if (hasTravel()) {
        const float held = clampTo(y, minY_, maxY_);
        moveKnob(held);
        currentPosition_ = 1 - (held - minY_) / (maxY_ - minY_);
    }
    setLamp(currentPosition_ > 0);
    sendActions(valueChanged);
}

void SliderControl::setCurrentPosition(float position) {
    const float held = clamp01(position);
    if (!hasTravel()) currentPosition_ = held;  // nowhere to put the knob; keep the value
    setSlider(pointOf(held));
}

void SliderControl::doubleTapOccured() {
    setSlider(maxY_);
}

bool SliderControl::beginTracking(const Touch& touch) {
    setSlider(static_cast<float>(touch.locationIn(*this).y()));
    return true;
}

bool SliderControl::continueTracking(const Touch& touch) {
    return beginTracking(touch);
}

void SliderControl::endTracking(const Touch& touch) {
    setSlider(static_cast<float>(touch.locationIn(*this).y()));
}

void SliderControl::cancelTracking(const Touch&) {
    STROMBEL_LOG_DEBUG("slider tracking cancelled");
}

// Pitch.

PitchSliderControl::PitchSliderControl(GuiType guiType) : SliderControl(guiType) {
    slider_->setY(trunc(minY_ + (maxY_ - minY_) / 2 - slider_->height() / 2));
}

void PitchSliderControl::setSlider(float y) {
    if (hasTravel()) {
        const float held = clampTo(y, minY_, maxY_);
        float position = 1 - (held - minY_) / (maxY_ - minY_);
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

HorizontalSliderControl::HorizontalSliderControl(GuiType guiType) {
    const QImage base = GuiFactory::imageWithName("horizontalSliderBase", guiType);
    const QImage knobImage = GuiFactory::imageWithName("horizontalSlider", guiType);
    const QSizeF b = pointSize(base);
    const QSizeF k = pointSize(knobImage);
    setFrame(QRectF(0, 0, b.width() + k.width(), b.height()));
    const double halfKnob = std::floor(k.width() / 2);
    add(std::make_unique<ImageView>(QRectF(QPointF(halfKnob, 0), b), base));
    int a = 0, right = 0;
    switch (guiType) {
        case GuiType::tablet:
            a = 2, right = 1;
            break;
        case GuiType::phoneLandscape:
            a = 1, right = 0;
            break;
        case GuiType::phonePortrait:
            a = 1, right = 1;
            break;
    }
    if (!base.isNull() && !knobImage.isNull()) {
        minX_ = static_cast<float>(halfKnob + a);
        maxX_ = static_cast<float>(b.width() + halfKnob - right);
    }
    slider_ = add(std::make_unique<ImageView>(
        QRectF(QPointF(maxX_ - halfKnob, std::floor(height() / 2 - k.height() / 2)), k),
        knobImage));
}

LightView* HorizontalSliderControl::lightView() const {
    return lamp_.get();
}

void HorizontalSliderControl::setLightView(LightView* light) {
    lamp_.set(light);
}

void HorizontalSliderControl::setSlider(float x) {
    if (maxX_ > minX_) {
        const float held = clampTo(x, minX_, maxX_);
        slider_->setX(trunc(held - slider_->width() / 2));
        currentPosition_ = (held - minX_) / (maxX_ - minX_);
    }
    lamp_.show(currentPosition_ > 0);
    sendActions(valueChanged);
}

void HorizontalSliderControl::setCurrentPosition(float position) {
    const float held = clamp01(position);
    if (!(maxX_ > minX_)) currentPosition_ = held;
    setSlider(pointOf(held));
}

bool HorizontalSliderControl::beginTracking(const Touch& touch) {
    setSlider(static_cast<float>(touch.locationIn(*this).x()));
    return true;
}

bool HorizontalSliderControl::continueTracking(const Touch& touch) {
    return beginTracking(touch);
}

void HorizontalSliderControl::endTracking(const Touch& touch) {
    setSlider(static_cast<float>(touch.locationIn(*this).x()));
}

void HorizontalSliderControl::cancelTracking(const Touch&) {
    STROMBEL_LOG_DEBUG("slider tracking cancelled");
}

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
