#include "ui/kit/scroll_view.h"

#include <algorithm>

#include "ui/kit/gesture_recognizer.h"

namespace strombel::ui::kit {

ScrollView::ScrollView(const QRectF& frame) : View(frame) {
    setClipsToBounds(true);
    content_ = add(std::make_unique<View>());
    for (View** indicator : {&horizontal_, &vertical_}) {
        auto bar = std::make_unique<View>();
        bar->setBackgroundColor(QColor(0, 0, 0, 90));
        bar->setCornerRadius(kIndicatorThickness / 2);
        bar->setUserInteractionEnabled(false);
        bar->setHidden(true);
        *indicator = add(std::move(bar));
    }
    auto pan = std::make_unique<PanGestureRecognizer>([this](GestureRecognizer& g) {
        auto& drag = static_cast<PanGestureRecognizer&>(g);
        switch (drag.state()) {
        case GestureRecognizer::State::began:
            dragging_ = true;
            dragStartOffset_ = offset_;
            showIndicators(0);
            break;
        case GestureRecognizer::State::changed:
            setContentOffset(dragStartOffset_ - drag.translation());
            break;
        case GestureRecognizer::State::ended:
        case GestureRecognizer::State::cancelled:
            dragging_ = false;
            showIndicators(0.5);
            break;
        default: break;
        }
    });
    pan->shouldBegin = [this](const Touch&) { return scrolls(); };
    addGestureRecognizer(std::move(pan));
}

QPointF ScrollView::largestOffset() const {
    return {std::max(0.0, contentSize_.width() - width()), std::max(0.0, contentSize_.height() - height())};
}

bool ScrollView::scrolls() const {
    const QPointF largest = largestOffset();
    return largest.x() > 0 || largest.y() > 0;
}

void ScrollView::setContentSize(const QSizeF& size) {
    contentSize_ = size;
    content_->setFrame(QRectF(-offset_, size));
    setContentOffset(offset_);
}

void ScrollView::setContentOffset(const QPointF& offset) {
    const QPointF largest = largestOffset();
    offset_ = {std::clamp(offset.x(), 0.0, largest.x()), std::clamp(offset.y(), 0.0, largest.y())};
    content_->setFrame(QRectF(-offset_, contentSize_));
    placeIndicators();
}

void ScrollView::setFrame(const QRectF& frame) {
    View::setFrame(frame);
    if (content_) setContentOffset(offset_);
}

bool ScrollView::scrollWheel(const QPointF& delta) {
    if (!scrolls() || delta.isNull()) return false;
    // As in the table view: the wheel turned toward the user shows what lies
    // further on; content that scrolls only sideways takes the turn sideways.
    setContentOffset(offset_ - QPointF(largestOffset().x() > 0 ? delta.x() + delta.y() : 0,
                                       largestOffset().y() > 0 ? delta.y() : 0));
    showIndicators(0.5);
    return true;
}

void ScrollView::flashScrollIndicators() { showIndicators(kFlashSeconds); }

bool ScrollView::indicatorsVisible() const { return !horizontal_->isHidden() || !vertical_->isHidden(); }

void ScrollView::showIndicators(double seconds) {
    const QPointF largest = largestOffset();
    horizontal_->setHidden(largest.x() <= 0);
    vertical_->setHidden(largest.y() <= 0);
    placeIndicators();
    hideIndicators_.reset();
    if (seconds <= 0) return;  // shown while dragging
    hideIndicators_ = Timer::scheduled(seconds, false, [this] {
        if (dragging_) return;
        horizontal_->setHidden(true);
        vertical_->setHidden(true);
    });
}

void ScrollView::placeIndicators() {
    // Each bar is as long, against the view's length, as the view against the content.
    const double w = width(), h = height();
    if (contentSize_.width() > w && w > 0) {
        const double room = w - 2 * kIndicatorInset;
        const double length = std::max(kIndicatorThickness * 2, room * w / contentSize_.width());
        const double along = (room - length) * offset_.x() / (contentSize_.width() - w);
        horizontal_->setFrame(QRectF(kIndicatorInset + along, h - kIndicatorInset - kIndicatorThickness, length,
                                     kIndicatorThickness));
    }
    if (contentSize_.height() > h && h > 0) {
        const double room = h - 2 * kIndicatorInset;
        const double length = std::max(kIndicatorThickness * 2, room * h / contentSize_.height());
        const double along = (room - length) * offset_.y() / (contentSize_.height() - h);
        vertical_->setFrame(QRectF(w - kIndicatorInset - kIndicatorThickness, kIndicatorInset + along,
                                   kIndicatorThickness, length));
    }
}

}  // namespace strombel::ui::kit
