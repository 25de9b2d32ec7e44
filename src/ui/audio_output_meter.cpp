#include "ui/audio_output_meter.h"

#include <cmath>

#include "ui/gui_factory.h"

namespace strombel::ui {

AudioMeterLightView::AudioMeterLightView(GuiType guiType) {
    const QImage on = GuiFactory::imageWithName("audioOutputLightOn", guiType);
    const QImage off = GuiFactory::imageWithName("audioOutputLight", guiType);
    setFrame(QRectF(QPointF(0, 0), kit::pointSize(on)));
    lightOffView_ = add(std::make_unique<kit::ImageView>(off));
    // The lit picture stays on the lamp and is only shown or hidden: switching
    // twenty times a second then costs no allocation.
    lightOnView_ = add(std::make_unique<kit::ImageView>(on));
    lightOnView_->setHidden(true);
}

void AudioMeterLightView::turnOn() {
    if (isTurnedOn_) return;
    lightOnView_->setHidden(false);
    isTurnedOn_ = true;
}

void AudioMeterLightView::turnOff() {
    if (!isTurnedOn_) return;
    lightOnView_->setHidden(true);
    isTurnedOn_ = false;
}

void AudioMeterLightView::toggle() {
    if (isTurnedOn_) {
        turnOff();
    } else {
        turnOn();
    }
}

AudioOutputMeter::AudioOutputMeter(GuiType guiType) {
    switch (guiType) {
        case GuiType::tablet:
            setFrame(QRectF(540, 165, 440, 65));
            break;
        case GuiType::phoneLandscape:
            setFrame(QRectF(250, 59, 200, 31));
            break;
        case GuiType::phonePortrait:
            setFrame(QRectF(338, 90, 290, 44));
            break;
    }
    const int pitch = static_cast<int>(width() / 10);
    for (int i = 0; i < 10; ++i) {
        auto top = std::make_unique<AudioMeterLightView>(guiType);
        top->setX(i * pitch, 0);
        left_[static_cast<size_t>(i)] = add(std::move(top));
        auto bottom = std::make_unique<AudioMeterLightView>(guiType);
        bottom->setX(i * pitch, height() - bottom->height());
        right_[static_cast<size_t>(i)] = add(std::move(bottom));
    }
}

void AudioOutputMeter::update(float& current, float value,
                              const std::array<AudioMeterLightView*, 10>& row) {
    if (!std::isfinite(value)) value = 0;  // a broken level shows as silence
    if (current < value) {
        current = value;
    } else {
        current = current - 0.1f * (current - value);
    }
    const int lit = static_cast<int>(current * 10);
    for (int i = 0; i < 10; ++i) {
        if (i < lit) {
            row[static_cast<size_t>(i)]->turnOn();
        } else {
            row[static_cast<size_t>(i)]->turnOff();
        }
    }
}

void AudioOutputMeter::setAudioOuputLeft(float left, float right) {
    update(currentLeftValue_, left, left_);
    update(currentRightValue_, right, right_);
}

int AudioOutputMeter::litCount(bool leftRow) const {
    int count = 0;
    for (const AudioMeterLightView* lamp : leftRow ? left_ : right_)
        count += lamp->isTurnedOn() ? 1 : 0;
    return count;
}

}  // namespace strombel::ui
