#pragma once

#include <QImage>

#include "ui/kit/view.h"

namespace strombel::ui::kit {

/// The size of an image in points (its pixels over its device pixel ratio).
QSizeF pointSize(const QImage& image);

/// Shows one image. Takes no touches unless told to, like a picture on a panel.
class ImageView : public View {
  public:
    enum class ContentMode {
        scaleToFill = 0,
        aspectFit = 1,
        aspectFill = 2,
        center = 4,
        top = 5,
        bottom = 6,
        left = 7,
        right = 8
    };

    /// A view at (0, 0) with the image's size.
    explicit ImageView(const QImage& image = {});
    ImageView(const QRectF& frame, const QImage& image);

    const QImage& image() const { return image_; }
    void setImage(const QImage& image);
    ContentMode contentMode() const { return mode_; }
    void setContentMode(ContentMode mode);
    /// Sets the frame's size to the image's.
    void sizeToFit();

  protected:
    void draw(QPainter& painter) override;
    void replaceOwnImages(const ImageReplacer& replace) override { setImage(replace(image_)); }

  private:
    QImage image_;
    ContentMode mode_ = ContentMode::scaleToFill;
};

/// Draws `image` into `bounds` the way `mode` places it.
void drawImage(QPainter& painter, const QRectF& bounds, const QImage& image,
               ImageView::ContentMode mode);

}  // namespace strombel::ui::kit
