#include "ui/light_view.h"

#include "ui/gui_factory.h"
#include "ui/kit/animator.h"

namespace strombel::ui {

using kit::Animator;

LightView::LightView(GuiType guiType) {
    const QImage on = GuiFactory::imageWithName("lightOn", guiType);
    const QImage off = GuiFactory::imageWithName("lightOff", guiType);
    setFrame(QRectF(QPointF(0, 0), kit::pointSize(on)));
    auto onView = std::make_unique<kit::ImageView>(on);
    lightOnView_ = onView.get();
    detachedLightOn_ = std::move(onView);
    lightOffView_ = add(std::make_unique<kit::ImageView>(off));
}

LightView::~LightView() {
    // The lit picture's animations die with it; none of their completions run.
    Animator::current().forgetView(lightOnView_);
}

void LightView::addLitView() {
    if (detachedLightOn_) addSubview(std::move(detachedLightOn_));
}

void LightView::removeLitView() {
    if (!detachedLightOn_) detachedLightOn_ = lightOnView_->removeFromSuperview();
}

void LightView::turnOn() {
    keepFlashing_ = false;
    if (isTurnedOn_) return;
    lightOnView_->setAlpha(0);
    addLitView();
    Animator::current().animateAlpha(*lightOnView_, 1, onTime_);
    isTurnedOn_ = true;
}

void LightView::turnOff() {
    keepFlashing_ = false;
    if (!isTurnedOn_) return;
    Animator::current().animateAlpha(*lightOnView_, 0, offTime_, [this](bool finished) {
        if (finished) removeLitView();
    });
    isTurnedOn_ = false;
}

void LightView::toggle() {
    if (isTurnedOn_) {
        turnOff();
    } else {
        turnOn();
    }
}

void LightView::flashOnce() {
    keepFlashing_ = false;
    addLitView();
    isTurnedOn_ = true;
    Animator::current().animateAlpha(*lightOnView_, 1, onTime_, [this](bool finished) {
        if (!finished || !isTurnedOn_) return;
        isTurnedOn_ = false;
        Animator::current().animateAlpha(*lightOnView_, 0, offTime_, [this](bool done) {
            if (done) removeLitView();
        });
    });
}

void LightView::flash() {
    addLitView();
    isTurnedOn_ = true;
    Animator::current().animateAlpha(*lightOnView_, 1, flashOnTime_, [this](bool finished) {
        if (!finished || !keepFlashing_) return;  // a lamp told to stop here stays lit
        isTurnedOn_ = false;
        Animator::current().animateAlpha(*lightOnView_, 0, flashOffTime_, [this](bool done) {
            if (keepFlashing_) {
                flash();
            } else if (done) {
                removeLitView();
            }
        });
    });
}

void LightView::startBlinking() {
    if (keepFlashing_) Animator::current().removeAllAnimations(*lightOnView_);
    keepFlashing_ = true;
    flash();
}

void LightView::keepFlashing() {
    flashOnTime_ = onTime_;
    flashOffTime_ = offTime_;
    startBlinking();
}

void LightView::keepFlashingSlowly() {
    flashOnTime_ = 0.5f;
    flashOffTime_ = 0.5f;
    startBlinking();
}

}  // namespace strombel::ui
