#include "ui/util.h"

#include "ui/image_store.h"

#include <QPainter>
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace strombel::ui {

bool Util::isIpad(const kit::Screen& screen) {
    return screen.idiom == kit::Screen::Idiom::pad;
}

bool Util::isRetinaDisplay(const kit::Screen& screen) {
    return screen.scale == 2.0;
}

double Util::screenWidth(const kit::Screen& screen) {
    return std::min(screen.bounds.width(), screen.bounds.height());
}

double Util::screenHeight(const kit::Screen& screen) {
    return std::max(screen.bounds.width(), screen.bounds.height());
}

bool Util::isIphone5(const kit::Screen& screen) {
    if (screen.idiom != kit::Screen::Idiom::phone) return false;
    const auto longer = static_cast<int64_t>(screenHeight(screen) * 0.0625);
    const auto shorter = static_cast<int64_t>(screenWidth(screen) / 9);
    return longer == shorter;
}

QColor Util::toQColor(const library::Color& color) {
    return QColor::fromRgbF(color.red, color.green, color.blue, color.alpha);
}

QImage Util::coloredImageFromMask(const QImage& mask, const QColor& color) {
    if (mask.isNull()) return {};
    QImage result = mask.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&result);
    painter.setCompositionMode(QPainter::CompositionMode_SourceAtop);
    painter.fillRect(result.rect(), color);
    painter.end();
    result.setDevicePixelRatio(mask.devicePixelRatio());
    return result;
}

QImage Util::coloredImageFromMaskNamed(const std::string& name, const QColor& color) {
    return coloredImageFromMask(ImageStore::shared().image(name), color);
}

QImage Util::resizeImage(const QImage& image, const QSizeF& bounds, double scale) {
    if (image.isNull() || image.width() == 0 || image.height() == 0) return {};
    if (!(scale > 0)) scale = 1.0;
    const double side = std::max(bounds.width() * scale, bounds.height() * scale);
    const double ratio = std::max(side / image.width(), side / image.height());
    const QSize size(static_cast<int>(std::ceil(image.width() * ratio)),
                     static_cast<int>(std::ceil(image.height() * ratio)));
    if (size.isEmpty()) return {};
    QImage result = image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    result.setDevicePixelRatio(scale);
    return result;
}

QImage Util::resizeImage(const QImage& image, const QSizeF& bounds, int64_t contentMode,
                                     int32_t interpolationQuality) {
    const double w = bounds.width();
    const double h = bounds.height();
    if (image.isNull()) return {};
    const double fit = std::min(w / image.width(), h / image.height());
    const double fill = std::max(w / image.width(), h / image.height());
    const QSizeF fillSize(image.width() * fill, image.height() * fill);
    QSizeF drawn(w, h);
    QPointF origin;
    switch (contentMode) {
        case aspectFit:
            drawn = QSizeF(image.width() * fit, image.height() * fit);
            origin = {(w - fillSize.width()) / 2, (h - fillSize.height()) / 2};
            break;
        case aspectFill:
            drawn = fillSize;
            break;
        case top:
            origin = {(w - fillSize.width()) / 2, 0};
            break;
        case bottom:
            origin = {(w - fillSize.width()) / 2, h - fillSize.height()};
            break;
        case left:
            origin = {0, (h - fillSize.height()) / 2};
            break;
        case right:
            origin = {w - fillSize.width(), (h - fillSize.height()) / 2};
            break;
        case topLeft:
            break;
        case topRight:
            origin = {w - fillSize.width(), 0};
            break;
        case bottomLeft:
            origin = {0, h - fillSize.height()};
            break;
        case bottomRight:
            origin = {w - fillSize.width(), h - fillSize.height()};
            break;
        default:
            throw std::invalid_argument("Unsupported content mode: " + std::to_string(contentMode));
    }
    // Made integral: the smallest whole rectangle holding it.
    const double left = std::floor(origin.x());
    const double topEdge = std::floor(origin.y());
    const QRectF rect(left, topEdge, std::ceil(origin.x() + drawn.width()) - left,
                      std::ceil(origin.y() + drawn.height()) - topEdge);
    const QSize size(static_cast<int>(rect.width()), static_cast<int>(rect.height()));
    if (size.isEmpty()) return {};
    QImage result(size, QImage::Format_ARGB32_Premultiplied);
    result.fill(Qt::transparent);
    QPainter painter(&result);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, interpolationQuality != 1);
    painter.drawImage(rect, image);
    return result;
}

kit::TableViewCell* Util::findParentTableViewCellFor(kit::View* view) {
    for (; view; view = view->superview())
        if (auto* cell = dynamic_cast<kit::TableViewCell*>(view)) return cell;
    return nullptr;
}

}  // namespace strombel::ui
