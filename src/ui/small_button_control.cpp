#include "ui/small_button_control.h"

#include "ui/gui_factory.h"
#include "ui/light_view.h"

namespace strombel::ui {

using namespace kit;

SmallButtonControl::SmallButtonControl(GuiType guiType, int32_t x, int32_t y) {
    const QImage normalImage = GuiFactory::imageWithName("buttonSmall", guiType);
    const QImage down = GuiFactory::imageWithName("buttonSmallDown", guiType);
    setFrame(QRectF(QPointF(x, y), pointSize(normalImage)));
    setImage(normalImage, normal);
    setImage(down, highlighted);
    setImage(down, selected);
    addTarget(touchDown, [this](Control&) { btnDown(); });
    addTarget(touchUpInside, [this](Control&) { btnUp(); });
    addTarget(touchUpOutside, [this](Control&) { btnUpOutside(); });
}

LightView* SmallButtonControl::light() const {
    return lightAlive_.expired() ? nullptr : light_;
}

void SmallButtonControl::setLight(LightView* light) {
    light_ = light;
    lightAlive_ = light ? light->lifetime() : std::weak_ptr<void>();
}

void SmallButtonControl::btnDown() {
    LightView* lamp = light();
    if (isToggle_) {
        if (isPressedDown_) {
            setSelected(false);
            if (lamp) lamp->turnOff();
            isPressedDown_ = false;
        } else {
            setSelected(true);
            if (lamp) lamp->turnOn();
            isPressedDown_ = true;
        }
    } else {
        isPressedDown_ = true;
        if (lamp) lamp->turnOn();
    }
    const bool inform = !dontInformDelegateOnce_;
    dontInformDelegateOnce_ = false;
    if (inform) sendActions(valueChanged);
}

void SmallButtonControl::btnUp() {
    if (isToggle_) return;
    isPressedDown_ = false;
    if (LightView* lamp = light()) lamp->turnOff();
    sendActions(valueChanged);
}

void SmallButtonControl::btnUpOutside() {
    if (isToggle_) return;
    isPressedDown_ = false;
    if (LightView* lamp = light()) lamp->turnOff();
}

void SmallButtonControl::setIsPressedDown(bool pressed) {
    if (!isToggle_ || pressed == isPressedDown_) return;
    dontInformDelegateOnce_ = true;
    btnDown();
}

QVButtonWithIcon::QVButtonWithIcon(const QRectF& frame) : Button(frame) {
    setup();
}

QVButtonWithIcon::QVButtonWithIcon(const QRectF& frame, const QString& title, const QImage& icon,
                                   GuiType guiType)
    : Button(frame), guiType_(guiType) {
    setup();
    setIcon(icon);
    setTitle(title);
}

void QVButtonWithIcon::setup() {
    const double i = iconWidth();
    auto iconView = std::make_unique<ImageView>(QRectF(0, 0, i, height()), QImage());
    iconView->setContentMode(ImageView::ContentMode::left);
    iconImageView_ = add(std::move(iconView));
    auto label = std::make_unique<Label>(QRectF(i, 0, width() - i, height()));
    label->setTextColor(GuiFactory::rustyColor());
    label->setAlignment(Label::Alignment::left);
    label->setFont(GuiFactory::interfaceFont(10));
    titleLabel_ = add(std::move(label));
}

void QVButtonWithIcon::setFontSize(double size) {
    QFont font = titleLabel_->font();
    font.setPixelSize(std::max(1, static_cast<int>(size)));
    titleLabel_->setFont(font);
}

void QVButtonWithIcon::sizeChanged(const QSizeF&) {
    // The icon keeps its width and follows the height; the title takes the rest.
    if (!iconImageView_) return;
    const double i = iconWidth();
    iconImageView_->setFrame(QRectF(0, 0, i, height()));
    titleLabel_->setFrame(QRectF(i, 0, std::max(0.0, width() - i), height()));
}

}  // namespace strombel::ui
