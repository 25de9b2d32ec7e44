#pragma once

#include <QImage>
#include <QString>
#include <cstdint>
#include <memory>

#include "ui/gui_type.h"
#include "ui/kit/control.h"
#include "ui/kit/image_view.h"
#include "ui/kit/label.h"

namespace strombel::ui {

class LightView;

/// The small push or toggle key of the panels, with the lamp that shows its state.
/// It sends value-changed on touch down (push and toggle) and on release inside
/// (push); screens read isPressedDown in their action.
class SmallButtonControl : public kit::Button {
  public:
    static std::unique_ptr<SmallButtonControl> buttonOnX(int32_t x, int32_t y) {
        return buttonForGuiType(GuiType::tablet, x, y);
    }
    static std::unique_ptr<SmallButtonControl> buttonForGuiType(GuiType guiType, int32_t x,
                                                                int32_t y) {
        return std::make_unique<SmallButtonControl>(guiType, x, y);
    }

    SmallButtonControl(GuiType guiType, int32_t x, int32_t y);

    void btnDown();
    void btnUp();
    void btnUpOutside();

    bool isPressedDown() const { return isPressedDown_; }
    /// A toggle in the other state flips as a press would, without the value-changed event.
    void setIsPressedDown(bool pressed);
    bool isToggle() const { return isToggle_; }
    void setIsToggle(bool toggle) { isToggle_ = toggle; }
    /// The lamp (not owned; a lamp destroyed before the button is simply forgotten).
    LightView* light() const;
    void setLight(LightView* light);

  private:
    LightView* light_ = nullptr;
    std::weak_ptr<void> lightAlive_;
    bool isToggle_ = false;
    bool dontInformDelegateOnce_ = false;
    bool isPressedDown_ = false;
};

/// A flat button with an icon at its left and a title beside it.
class QVButtonWithIcon : public kit::Button {
  public:
    explicit QVButtonWithIcon(const QRectF& frame = {});
    QVButtonWithIcon(const QRectF& frame, const QString& title, const QImage& icon,
                     GuiType guiType);

    QImage icon() const { return iconImageView_->image(); }
    void setIcon(const QImage& icon) { iconImageView_->setImage(icon); }
    QString title() const { return titleLabel_->text(); }
    void setTitle(const QString& title) { titleLabel_->setText(title); }
    double fontSize() const { return titleLabel_->font().pixelSize(); }
    void setFontSize(double size);

    kit::Label& titleLabel() const { return *titleLabel_; }
    kit::ImageView& iconImageView() const { return *iconImageView_; }

  protected:
    void sizeChanged(const QSizeF& oldSize) override;

  private:
    void setup();
    double iconWidth() const {
        return guiType_ == GuiType::phoneLandscape  ? 14
               : guiType_ == GuiType::phonePortrait ? 20
                                                    : 24;
    }

    kit::Label* titleLabel_ = nullptr;
    kit::ImageView* iconImageView_ = nullptr;
    GuiType guiType_ = GuiType::tablet;
};

}  // namespace strombel::ui
