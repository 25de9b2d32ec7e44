#include "ui/hub/hub_connection_panel_views.h"

#include <QPainter>
#include <cmath>
#include <numbers>

#include "ui/kit/image_view.h"

namespace strombel::ui::hub {

kit::View* HubConnectionPanelWindow::hitTest(const QPointF& point) {
    kit::View* hit = kit::View::hitTest(point);
    if (hit != this) return hit;
    const auto views = subviews();
    if (tabDrag_ && !views.empty()) {
        const QRectF band = views.front()->frame().adjusted(-kTouchMargin, -kTouchMargin, kTouchMargin, kTouchMargin);
        if (band.contains(point)) return this;
    }
    return nullptr;
}

bool HubConnectionPanelWindow::pointInside(const QPointF& point) const {
    // The tab's band reaches beyond the window's strip.
    if (tabDrag_ && !subviews().empty()) return true;
    return kit::View::pointInside(point);
}

void HubConnectionPanelInsetView::setPosition(int32_t position) {
    position_ = position;
    setNeedsDisplay();
}

QPainterPath HubConnectionPanelInsetView::renderPath(const QRectF& rect) const {
    const double w = rect.width(), h = rect.height();
    const double r = 0.175438596 * (position_ == kPanelBottom ? h : w);
    constexpr double pointer = 6;
    // Qt's arcs count degrees counter-clockwise with y down; these run clockwise
    // on the screen, as the outline goes round.
    auto arc = [](QPainterPath& path, double cx, double cy, double radius, double fromDegrees, double sweep) {
        path.arcTo(QRectF(cx - radius, cy - radius, 2 * radius, 2 * radius), fromDegrees, sweep);
    };
    QPainterPath path;
    if (position_ == kPanelBottom) {
        path.moveTo(pointer, r);
        arc(path, r + pointer, r, r, 180, -90);
        arc(path, w - r, r, r, 90, -90);
        arc(path, w - r, h - 1 - r, r, 0, -90);
        arc(path, r + pointer, h - 1 - r, r, -90, -90);
        path.lineTo(pointer, h / 2 + pointer);
        path.lineTo(0, h / 2);
        path.lineTo(pointer, h / 2 - pointer);
    } else {
        path.moveTo(0, r + pointer);
        arc(path, r, r + pointer, r, 180, -90);
        path.lineTo(w / 2 - pointer, pointer);
        path.lineTo(w / 2, 0);
        path.lineTo(w / 2 + pointer, pointer);
        arc(path, w - r, r + pointer, r, 90, -90);
        arc(path, w - r, h - 1 - r, r, 0, -90);
        arc(path, r, h - 1 - r, r, -90, -90);
    }
    path.closeSubpath();
    return path.translated(rect.topLeft());
}

void HubConnectionPanelInsetView::draw(QPainter& painter) {
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(renderPath(bounds()), QColor::fromRgbF(0.9f, 0.9f, 0.9f, 1.0f));
}

void HubConnectionPanelHandle::setPosition(int32_t position) {
    position_ = position;
    setNeedsDisplay();
}

void HubConnectionPanelHandle::setHorizontal(bool horizontal) {
    horizontal_ = horizontal;
    setNeedsDisplay();
}

void HubConnectionPanelHandle::setChevronMode(bool chevron) {
    chevronMode_ = chevron;
    setNeedsDisplay();
}

void HubConnectionPanelHandle::draw(QPainter& painter) {
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor grey = QColor::fromRgbF(0.5f, 0.5f, 0.5f, 1.0f);
    const QPointF middle = bounds().center();
    if (!chevronMode_) {
        const QSizeF size = horizontal_ ? QSizeF(25, 8) : QSizeF(8, 25);
        QPainterPath grip;
        grip.addRoundedRect(QRectF(middle - QPointF(size.width() / 2, size.height() / 2), size), 4, 4);
        painter.fillPath(grip, grey);
        return;
    }
    const QRectF box(middle - QPointF(2.5, 12.5), QSizeF(5, 25));
    QPainterPath chevron;
    if (position_ == kPanelLeft) {
        chevron.moveTo(box.topRight());
        chevron.lineTo(box.left(), box.center().y());
        chevron.lineTo(box.bottomRight());
    } else {
        chevron.moveTo(box.topLeft());
        chevron.lineTo(box.right(), box.center().y());
        chevron.lineTo(box.bottomLeft());
    }
    painter.strokePath(chevron, QPen(grey, 8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
}

void HubButton::setTarget(Target target, std::any context) {
    target_ = std::move(target);
    context_ = std::move(context);
    if (targetId_ == 0) targetId_ = addTarget(kit::touchUpInside, [this](kit::Control&) { triggerAction(); });
}

void HubButton::triggerAction() {
    // The target may drop this button: it runs on a copy.
    if (auto target = target_) target(*this);
}

void HubButton::setBorder(double width, const QColor& color) {
    borderWidth_ = width;
    borderColor_ = color;
    setNeedsDisplay();
}

QRectF HubButton::imageRectForContentRect(const QRectF& content) const {
    const QSizeF size = kit::pointSize(currentImage());
    return QRectF(content.x() + std::round((content.width() - size.width()) / 2),
                  content.y() + std::round((content.height() - size.height()) / 2), size.width(), size.height());
}

void HubButton::draw(QPainter& painter) {
    painter.save();
    QPainterPath outline;
    outline.addRoundedRect(bounds(), cornerRadius_, cornerRadius_);
    if (cornerRadius_ > 0) painter.setClipPath(outline);
    const QImage image = currentImage();
    if (!image.isNull()) {
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(scalesImageToFill ? bounds() : imageRectForContentRect(bounds()), image);
    }
    painter.restore();
    if (borderWidth_ > 0) {
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(borderColor_, borderWidth_));
        const double inset = borderWidth_ / 2;
        painter.drawRoundedRect(bounds().adjusted(inset, inset, -inset, -inset), cornerRadius_, cornerRadius_);
    }
}

}  // namespace strombel::ui::hub
