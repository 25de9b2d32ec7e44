#pragma once

#include <QColor>
#include <QImage>
#include <QSizeF>
#include <string>

#include "library/util.h"
#include "ui/kit/context.h"
#include "ui/kit/table_view.h"

namespace strombel::ui {

/// Small operations on the screen, colours and images. Numbers and colours read
/// from text are library::Util's; this side only hands them to Qt.
namespace Util {

/// A phone whose screen's longer side / 16 and shorter side / 9 (each truncated) are equal.
bool isIphone5(const kit::Screen& screen);
bool isIpad(const kit::Screen& screen);
bool isRetinaDisplay(const kit::Screen& screen);
/// The shorter and the longer side of the screen, in points.
double screenWidth(const kit::Screen& screen);
double screenHeight(const kit::Screen& screen);

/// The library's colour as Qt's.
QColor toQColor(const library::Color& color);

/// The image painted in `color` wherever it is not transparent, keeping its alpha.
QImage coloredImageFromMask(const QImage& mask, const QColor& color);
/// The same for an image of the shared image store, by file name.
QImage coloredImageFromMaskNamed(const std::string& name, const QColor& color);

/// The image scaled (keeping its shape) to cover a square of the longer side of
/// `bounds`, in pixels of the screen's `scale`.
QImage resizeImage(const QImage& image, const QSizeF& bounds, double scale);

/// Content modes of the image helpers (the platform's numbering).
enum ContentMode : int64_t {
    scaleToFill = 0,
    aspectFit = 1,
    aspectFill = 2,
    redraw = 3,
    center = 4,
    top = 5,
    bottom = 6,
    left = 7,
    right = 8,
    topLeft = 9,
    topRight = 10,
    bottomLeft = 11,
    bottomRight = 12
};

/// The image drawn into a new picture of `bounds` the way `contentMode` places
/// it; `interpolationQuality` 0 (default), 1 (none) to 4 (high).
/// Throws std::invalid_argument ("Unsupported content mode: N") for scale-to-fill,
/// redraw, centre and numbers outside 0..12.
QImage resizeImage(const QImage& image, const QSizeF& bounds, int64_t contentMode,
                               int32_t interpolationQuality);

/// The view itself when it is a table cell, else the nearest table cell among
/// its superviews; null when there is none.
kit::TableViewCell* findParentTableViewCellFor(kit::View* view);

}  // namespace Util

}  // namespace strombel::ui
