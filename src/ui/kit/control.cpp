#include "ui/kit/control.h"

#include <QPainter>

#include "ui/kit/image_view.h"

namespace strombel::ui::kit {

Control::Control(const QRectF& frame) : View(frame) {}

Control::TargetId Control::addTarget(uint32_t events, Action action) {
    const TargetId id = nextTarget_++;
    targets_.push_back({id, events, std::move(action)});
    return id;
}

void Control::removeTarget(TargetId id) {
    std::erase_if(targets_, [id](const Target& target) { return target.id == id; });
}

void Control::sendActions(ControlEvent event) {
    // A target may add or remove targets, or take the control off its screen.
    const std::vector<Target> snapshot = targets_;
    const auto alive = lifetime();
    for (const Target& target : snapshot) {
        if (alive.expired()) return;
        if ((target.events & event) && target.action) target.action(*this);
    }
}

void Control::setEnabled(bool enabled) {
    enabled_ = enabled;
    setUserInteractionEnabled(enabled);
    update();
}

void Control::setSelected(bool selected) {
    selected_ = selected;
    update();
}

void Control::setHighlighted(bool highlighted) {
    highlighted_ = highlighted;
    update();
}

uint32_t Control::state() const {
    uint32_t state = normal;
    if (highlighted_) state |= highlighted;
    if (selected_) state |= ControlState::selected;
    if (!enabled_) state |= disabled;
    return state;
}

bool Control::beginTracking(const Touch&) {
    return true;
}
bool Control::continueTracking(const Touch&) {
    return true;
}
void Control::endTracking(const Touch&) {}
void Control::cancelTracking(const Touch&) {}

void Control::touchBegan(const Touch& touch) {
    if (trackingTouch_ || !enabled_) return;
    trackingTouch_ = touch.id;
    touchInside_ = true;
    const auto alive = lifetime();
    setHighlighted(true);
    sendActions(touchDown);
    if (alive.expired()) return;
    continueTracking_ = beginTracking(touch);
}

void Control::touchMoved(const Touch& touch) {
    if (trackingTouch_ != touch.id) return;
    const bool inside = pointInside(touch.locationIn(*this));
    const bool wasInside = touchInside_;
    touchInside_ = inside;
    setHighlighted(inside);
    const auto alive = lifetime();
    if (inside != wasInside) sendActions(inside ? touchDragEnter : touchDragExit);
    if (alive.expired()) return;
    sendActions(inside ? touchDragInside : touchDragOutside);
    if (alive.expired()) return;
    if (continueTracking_) continueTracking_ = continueTracking(touch);
}

void Control::touchEnded(const Touch& touch) {
    if (trackingTouch_ != touch.id) return;
    const bool inside = pointInside(touch.locationIn(*this));
    trackingTouch_.reset();
    touchInside_ = inside;
    setHighlighted(false);
    const auto alive = lifetime();
    if (continueTracking_) endTracking(touch);
    if (alive.expired()) return;
    sendActions(inside ? touchUpInside : touchUpOutside);
}

void Control::touchCancelled(const Touch& touch) {
    if (trackingTouch_ != touch.id) return;
    trackingTouch_.reset();
    setHighlighted(false);
    const auto alive = lifetime();
    cancelTracking(touch);
    if (alive.expired()) return;
    sendActions(touchCancel);
}

Button::Button(const QRectF& frame) : Control(frame) {
    titleFont_.setPixelSize(12);
}

void Button::setImage(const QImage& image, uint32_t state) {
    images_[state] = image;
    update();
}

QImage Button::image(uint32_t state) const {
    return pick(images_, state);
}

QImage Button::currentImage() const {
    return pick(images_, state() & ~uint32_t{disabled});
}

void Button::replaceOwnImages(const ImageReplacer& replace) {
    for (auto* images : {&images_, &backgrounds_})
        for (auto& [state, image] : *images) image = replace(image);
    update();
}

void Button::setBackgroundImage(const QImage& image, uint32_t state) {
    backgrounds_[state] = image;
    update();
}

void Button::setTitle(const QString& title) {
    title_ = title;
    update();
}

void Button::setTitleFont(const QFont& font) {
    titleFont_ = font;
    update();
}

void Button::setTitleColor(const QColor& color, uint32_t state) {
    titleColors_[state] = color;
    update();
}

QColor Button::titleColor(uint32_t state) const {
    for (uint32_t candidate :
         {state, state & uint32_t{highlighted}, state & uint32_t{selected}, uint32_t{normal}}) {
        auto it = titleColors_.find(candidate);
        if (it != titleColors_.end()) return it->second;
    }
    return Qt::white;
}

void Button::setShowsTouchWhenHighlighted(bool shows) {
    showsTouch_ = shows;
    update();
}

void Button::setHighlighted(bool highlighted) {
    Control::setHighlighted(highlighted);
}
void Button::setSelected(bool selected) {
    Control::setSelected(selected);
}

QImage Button::pick(const std::map<uint32_t, QImage>& images, uint32_t state) {
    // Exact state first, then highlighted, then selected, then normal.
    for (uint32_t candidate :
         {state, state & uint32_t{highlighted}, state & uint32_t{selected}, uint32_t{normal}}) {
        auto it = images.find(candidate);
        if (it != images.end() && !it->second.isNull()) return it->second;
    }
    return {};
}

void Button::draw(QPainter& painter) {
    const uint32_t shown = state() & ~uint32_t{disabled};
    const QImage background = pick(backgrounds_, shown);
    if (!background.isNull())
        drawImage(painter, bounds(), background, ImageView::ContentMode::scaleToFill);
    const QImage image = pick(images_, shown);
    if (!image.isNull()) drawImage(painter, bounds(), image, ImageView::ContentMode::center);
    if (!title_.isEmpty()) {
        painter.save();
        painter.setFont(titleFont_);
        painter.setPen(titleColor(shown));
        painter.drawText(bounds(), Qt::AlignCenter, title_);
        painter.restore();
    }
    if (showsTouch_ && isHighlighted()) {
        // The glow: a soft white disc of 20 points about the centre.
        painter.save();
        painter.setRenderHint(QPainter::Antialiasing);
        QRadialGradient glow(bounds().center(), 20);
        glow.setColorAt(0, QColor(255, 255, 255, 200));
        glow.setColorAt(1, QColor(255, 255, 255, 0));
        painter.setPen(Qt::NoPen);
        painter.setBrush(glow);
        painter.drawEllipse(bounds().center(), 20, 20);
        painter.restore();
    }
    if (!isEnabled()) painter.fillRect(bounds(), QColor(0, 0, 0, 110));
}

}  // namespace strombel::ui::kit
