#include "ui/kit/image_view.h"

#include <QPainter>
#include <algorithm>

namespace strombel::ui::kit {

QSizeF pointSize(const QImage& image) {
    if (image.isNull()) return {0, 0};
    return image.deviceIndependentSize();
}

ImageView::ImageView(const QImage& image)
    : ImageView(QRectF(QPointF(0, 0), pointSize(image)), image) {}

ImageView::ImageView(const QRectF& frame, const QImage& image) : View(frame), image_(image) {
    setUserInteractionEnabled(false);
}

void ImageView::setImage(const QImage& image) {
    image_ = image;
    update();
}

void ImageView::setContentMode(ContentMode mode) {
    mode_ = mode;
    update();
}

void ImageView::sizeToFit() {
    setFrame(QRectF(pos(), pointSize(image_)));
}

void ImageView::draw(QPainter& painter) {
    drawImage(painter, bounds(), image_, mode_);
}

void drawImage(QPainter& painter, const QRectF& bounds, const QImage& image,
               ImageView::ContentMode mode) {
    if (image.isNull() || bounds.isEmpty()) return;
    const QSizeF size = pointSize(image);
    QRectF target;
    using Mode = ImageView::ContentMode;
    switch (mode) {
        case Mode::scaleToFill:
            target = bounds;
            break;
        case Mode::aspectFit:
        case Mode::aspectFill: {
            const double sx = bounds.width() / size.width();
            const double sy = bounds.height() / size.height();
            const double s = mode == Mode::aspectFit ? std::min(sx, sy) : std::max(sx, sy);
            const QSizeF drawn = size * s;
            target =
                QRectF(bounds.center() - QPointF(drawn.width() / 2, drawn.height() / 2), drawn);
            break;
        }
        case Mode::center:
            target = QRectF(bounds.center() - QPointF(size.width() / 2, size.height() / 2), size);
            break;
        case Mode::top:
            target = QRectF(QPointF((bounds.width() - size.width()) / 2, 0), size);
            break;
        case Mode::bottom:
            target = QRectF(
                QPointF((bounds.width() - size.width()) / 2, bounds.height() - size.height()),
                size);
            break;
        case Mode::left:
            target = QRectF(QPointF(0, (bounds.height() - size.height()) / 2), size);
            break;
        case Mode::right:
            target = QRectF(
                QPointF(bounds.width() - size.width(), (bounds.height() - size.height()) / 2),
                size);
            break;
    }
    painter.save();
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    if (mode != Mode::scaleToFill && mode != Mode::aspectFit)
        painter.setClipRect(bounds, Qt::IntersectClip);
    painter.drawImage(target, image);
    painter.restore();
}

}  // namespace strombel::ui::kit
