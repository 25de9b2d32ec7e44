#include "ui/kit/scroll_view.h"

#include <QGraphicsSceneWheelEvent>

#include <algorithm>

#include "ui/kit/gesture_recognizer.h"

namespace strombel::ui::kit {

ScrollView::ScrollView(const QRectF& frame) : View(frame) {
    setClipsToBounds(true);
    content_ = add(std::make_unique<View>(QRectF(0, 0, frame.width(), 0)));
    addGestureRecognizer(std::make_unique<PanGestureRecognizer>(
        [this](GestureRecognizer& recognizer) { panned(static_cast<PanGestureRecognizer&>(recognizer)); }));
}

void ScrollView::setContentHeight(double height) {
    contentHeight_ = std::max(0.0, height);
    content_->setFrame(QRectF(0, -offset_, width(), contentHeight_));
    setContentOffset(offset_);
}

double ScrollView::maximumContentOffset() const { return std::max(0.0, contentHeight_ - height()); }

void ScrollView::setContentOffset(double offset) {
    offset_ = std::clamp(offset, 0.0, maximumContentOffset());
    content_->setY(-offset_);
}

void ScrollView::sizeChanged(const QSizeF& oldSize) {
    View::sizeChanged(oldSize);
    if (content_) {
        content_->setWidth(width());
        setContentOffset(offset_);
    }
}

void ScrollView::wheelEvent(QGraphicsSceneWheelEvent* event) {
    // One notch (120) moves the content by 40 points.
    setContentOffset(offset_ - event->delta() / 3.0);
    event->accept();
}

void ScrollView::panned(PanGestureRecognizer& pan) {
    if (pan.state() == GestureRecognizer::State::began) panStartOffset_ = offset_;
    setContentOffset(panStartOffset_ - pan.translation().y());
}

}  // namespace strombel::ui::kit
