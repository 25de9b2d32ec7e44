#pragma once

// src/ui/: the controls the screens share, the GUI factory's layouts and the
// generated images; the screens themselves are in the folders below it.
// May include: ui/kit, library, platform, logging, Qt.

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPointF>
#include <QRectF>
#include <QString>
#include <cstdint>
#include <memory>
#include <string>

#include "ui/gui_type.h"
#include "ui/kit/context.h"
#include "ui/kit/label.h"
#include "ui/kit/text_field.h"

namespace strombel::ui {

class ImageStore;
class LightView;
class SmallButtonControl;

/// The text field of the interface, with insets for its text and a colour for
/// its placeholder.
class SSTextField : public kit::TextField {
  public:
    struct EdgeInsets {
        double top = 0, left = 0, bottom = 0, right = 0;
        bool operator==(const EdgeInsets&) const = default;
    };

    explicit SSTextField(const QRectF& frame = {});

    EdgeInsets textEdgeInsets() const { return textEdgeInsets_; }
    void setTextEdgeInsets(const EdgeInsets& insets);
    EdgeInsets clearButtonEdgeInsets() const { return clearButtonEdgeInsets_; }
    void setClearButtonEdgeInsets(const EdgeInsets& insets) { clearButtonEdgeInsets_ = insets; }
    /// The rectangle the text is drawn in for `bounds`: shrunk by the text insets.
    QRectF textRectForBounds(const QRectF& bounds) const;
    QRectF editingRectForBounds(const QRectF& bounds) const { return textRectForBounds(bounds); }
    QColor placeholderTextColor() const { return placeholderTextColor_; }
    void setPlaceholderTextColor(const QColor& color);

  private:
    EdgeInsets textEdgeInsets_;
    EdgeInsets clearButtonEdgeInsets_;
    QColor placeholderTextColor_;
};

/// The one place that knows how the three screen layouts differ. A factory
/// answers the layout metrics of its type (in points); the static operations
/// give colours, labels, text fields and images for any type.
class GuiFactory {
  public:
    /// Metrics of `guiType` on the current context's screen.
    explicit GuiFactory(GuiType guiType);
    /// Metrics of `guiType` on `screen` (16:9 phones shift some panels).
    GuiFactory(GuiType guiType, const kit::Screen& screen);

    GuiType guiType() const { return guiType_; }
    int32_t sliderSpace() const { return sliderSpace_; }
    int32_t tapBtnXSpace() const { return tapBtnXSpace_; }
    int32_t tapBtnYSpace() const { return tapBtnYSpace_; }
    int32_t smallBtnXSpace() const { return smallBtnXSpace_; }
    int32_t labelY() const { return labelY_; }
    int32_t controlsLeftX() const { return controlsLeftX_; }
    int32_t controlsRightX() const { return controlsRightX_; }
    int32_t controlsWidth() const { return controlsWidth_; }
    int32_t controlsHeight() const { return controlsHeight_; }
    int32_t controlsSquareHeight() const { return controlsSquareHeight_; }
    int32_t topControlsY() const { return topControlsY_; }
    int32_t middleControlsY() const { return middleControlsY_; }
    int32_t bottomControlY() const { return bottomControlY_; }
    int32_t innerControlLeftMargin() const { return innerControlLeftMargin_; }
    int32_t innerControlTopMargin() const { return innerControlTopMargin_; }
    /// The gap between two rows of panels.
    int32_t controlsMargin() const { return middleControlsY_ - topControlsY_ - controlsHeight_; }

    /// A small button with its lamp and caption, added to `parent` at `atPoint`;
    /// the button and lamp are written to the out places that are not null.
    void createSmallButtonInto(SmallButtonControl** button, LightView** light, kit::View& parent,
                               const QPointF& atPoint, const QString& label) const;
    void createSmallButtonInto(SmallButtonControl** button, kit::View& parent,
                               const QPointF& atPoint, const QString& label) const {
        createSmallButtonInto(button, nullptr, parent, atPoint, label);
    }

    // Class-wide operations.
    static bool isIpad();
    static bool isIOSRetina();
    static std::string getDocumentsFolder();
    static QColor rustyColor();
    static QColor darkRustyColor();
    /// The interface font at `size` points.
    static QFont interfaceFont(double size);
    /// Text size of the gui type: 12 on the tablet, 6 on the phone in landscape, 8 in portrait.
    static int32_t textSize(GuiType guiType);
    /// The smallest share of its size a name (of a pad, bank, pack or sample)
    /// is drawn at before it takes a second line or loses its last words.
    static constexpr double kNameMinimumScale = 0.75;
    static std::unique_ptr<kit::Label> labelWithFrame(const QRectF& frame, int32_t fontSize = 12);
    /// A caption of the type's text size at `position`, `width` wide.
    static std::unique_ptr<kit::Label> labelForGuiType(GuiType guiType, const QPointF& position,
                                                       int32_t width);
    /// The image `name` for the gui type from the shared store, on the current screen.
    static QImage imageWithName(const std::string& name, GuiType guiType);
    /// The same from `store` on `screen`.
    static QImage imageWithName(const std::string& name, GuiType guiType, ImageStore& store,
                                const kit::Screen& screen);
    static std::unique_ptr<SSTextField> textfieldWithValue(const QString& value,
                                                           const QString& placeholder,
                                                           GuiType guiType);

  private:
    GuiType guiType_;
    int32_t sliderSpace_ = 0;
    int32_t tapBtnXSpace_ = 0;
    int32_t tapBtnYSpace_ = 0;
    int32_t smallBtnXSpace_ = 0;
    int32_t labelY_ = 0;
    int32_t controlsLeftX_ = 0;
    int32_t controlsRightX_ = 0;
    int32_t controlsWidth_ = 0;
    int32_t controlsHeight_ = 0;
    int32_t controlsSquareHeight_ = 0;
    int32_t topControlsY_ = 0;
    int32_t middleControlsY_ = 0;
    int32_t bottomControlY_ = 0;
    int32_t innerControlLeftMargin_ = 0;
    int32_t innerControlTopMargin_ = 0;
};

/// The usable size of the application for an interface orientation.
namespace AppDimensions {
/// 1 portrait, 2 upside down, 3 and 4 landscape.
QSizeF sizeInOrientation(int orientation, const kit::Screen& screen);
QSizeF currentSize(const kit::Screen& screen);
}  // namespace AppDimensions

}  // namespace strombel::ui
