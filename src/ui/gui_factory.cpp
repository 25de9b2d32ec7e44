#include "ui/gui_factory.h"

#include <QFontDatabase>
#include <algorithm>
#include <cmath>
#include <mutex>

#include "logging/log.h"
#include "platform/sandbox.h"
#include "ui/image_store.h"
#include "ui/light_view.h"
#include "ui/small_button_control.h"
#include "ui/util.h"

namespace strombel::ui {

namespace {

struct Metrics {
    int32_t sliderSpace, tapBtnXSpace, tapBtnYSpace, smallBtnXSpace, labelY, controlsLeftX,
        controlsRightX, controlsWidth, controlsHeight, controlsSquareHeight, topControlsY,
        middleControlsY, bottomControlY, innerControlLeftMargin, innerControlTopMargin;
};

constexpr Metrics kTablet{76, 111, 165, 76, -6, 40, 527, 457, 79, 456, 65, 159, 255, 14, 14};
constexpr Metrics kPhone{34, 50, 74, 34, -2, 27, 246, 206, 36, 206, 14, 57, 100, 7, 7};
constexpr Metrics kPhoneTall{34, 50, 74, 34, -2, 71, 290, 206, 36, 206, 14, 57, 100, 7, 7};
constexpr Metrics kPortrait{50, 73, 108, 50, -3, 9, 330, 301, 52, 301, 24, 86, 149, 9, 9};
constexpr Metrics kPortraitTall{50, 73, 108, 50, -3, 9, 330, 301, 52, 301, 68, 130, 193, 9, 9};
// A number that names no layout places nothing.
constexpr Metrics kNoLayout{};

const char* const kInterfaceFontFile = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";

struct InterfaceFace {
    QString family;
    bool inBundle = false;
};

const InterfaceFace& interfaceFace() {
    static InterfaceFace face;
    static std::once_flag once;
    std::call_once(once, [] {
        // A font file in the bundle would win; DejaVu Sans Bold stands in for it.
        std::string file = kInterfaceFontFile;
        std::error_code error;
        const auto& bundle = ImageStore::shared().bundle();
        bool own = false;
        if (!bundle.empty() && std::filesystem::is_regular_file(bundle / "Nuri-Bold.ttf", error)) {
            file = (bundle / "Nuri-Bold.ttf").string();
            own = true;
        }
        const int id = QFontDatabase::addApplicationFont(QString::fromStdString(file));
        const QStringList families =
            id >= 0 ? QFontDatabase::applicationFontFamilies(id) : QStringList();
        face.family = families.isEmpty() ? QString("DejaVu Sans") : families.first();
        face.inBundle = own && !families.isEmpty();
    });
    return face;
}

QString interfaceFamily() { return interfaceFace().family; }

bool interfaceFaceInBundle() { return interfaceFace().inBundle; }

}  // namespace

SSTextField::SSTextField(const QRectF& frame) : kit::TextField(frame) {}

void SSTextField::setTextEdgeInsets(const EdgeInsets& insets) {
    textEdgeInsets_ = insets;
    setTextInsets(insets.top, insets.left, insets.bottom, insets.right);
}

QRectF SSTextField::textRectForBounds(const QRectF& bounds) const {
    const auto& i = textEdgeInsets_;
    return QRectF(bounds.x() + i.left, bounds.y() + i.top, bounds.width() - i.left - i.right,
                  bounds.height() - i.top - i.bottom);
}

void SSTextField::setPlaceholderTextColor(const QColor& color) {
    placeholderTextColor_ = color;
    if (color.isValid()) setPlaceholderColor(color);
}

GuiFactory::GuiFactory(GuiType guiType) : GuiFactory(guiType, kit::Context::current().screen()) {}

GuiFactory::GuiFactory(GuiType guiType, const kit::Screen& screen) : guiType_(guiType) {
    const Metrics* metrics = &kNoLayout;
    switch (guiType) {
        case GuiType::tablet:
            metrics = &kTablet;
            break;
        case GuiType::phoneLandscape:
            metrics = Util::isIphone5(screen) ? &kPhoneTall : &kPhone;
            break;
        case GuiType::phonePortrait:
            metrics = Util::isIphone5(screen) ? &kPortraitTall : &kPortrait;
            break;
    }
    sliderSpace_ = metrics->sliderSpace;
    tapBtnXSpace_ = metrics->tapBtnXSpace;
    tapBtnYSpace_ = metrics->tapBtnYSpace;
    smallBtnXSpace_ = metrics->smallBtnXSpace;
    labelY_ = metrics->labelY;
    controlsLeftX_ = metrics->controlsLeftX;
    controlsRightX_ = metrics->controlsRightX;
    controlsWidth_ = metrics->controlsWidth;
    controlsHeight_ = metrics->controlsHeight;
    controlsSquareHeight_ = metrics->controlsSquareHeight;
    topControlsY_ = metrics->topControlsY;
    middleControlsY_ = metrics->middleControlsY;
    bottomControlY_ = metrics->bottomControlY;
    innerControlLeftMargin_ = metrics->innerControlLeftMargin;
    innerControlTopMargin_ = metrics->innerControlTopMargin;
}

void GuiFactory::createSmallButtonInto(SmallButtonControl** button, LightView** light,
                                       kit::View& parent, const QPointF& atPoint,
                                       const QString& label) const {
    const GuiType g = guiType_;
    const int32_t side = smallBtnXSpace_;
    const auto x = static_cast<int32_t>(atPoint.x());
    const auto y = static_cast<int32_t>(atPoint.y());
    auto made = SmallButtonControl::buttonForGuiType(g, x, y);
    // The touch square is the button pitch, centred on the image.
    const int32_t d = static_cast<int32_t>(side - made->width()) / 2;
    made->setFrame(QRectF(atPoint.x() - d, atPoint.y() - d, side, side));
    SmallButtonControl* madeButton = parent.add(std::move(made));

    int32_t dy = -20, width = 50, lx = -18, ly = -32;
    if (g == GuiType::phoneLandscape) {
        dy = -9, width = 23, lx = -8, ly = -15;
    } else if (g == GuiType::phonePortrait) {
        dy = -12, width = 33, lx = -12, ly = -21;
    }
    if (auto caption = labelForGuiType(g, QPointF(atPoint.x(), atPoint.y() + dy), width)) {
        caption->setText(label);
        parent.add(std::move(caption));
    }
    auto lamp = std::make_unique<LightView>(g);
    lamp->setX(atPoint.x() + lx, atPoint.y() + ly);
    LightView* madeLight = parent.add(std::move(lamp));
    madeButton->setLight(madeLight);
    if (button) *button = madeButton;
    if (light) *light = madeLight;
}

bool GuiFactory::isIpad() {
    return Util::isIpad(kit::Context::current().screen());
}

bool GuiFactory::isIOSRetina() {
    return Util::isRetinaDisplay(kit::Context::current().screen());
}

std::string GuiFactory::getDocumentsFolder() {
    return platform::Sandbox::shared().documents().string();
}

QColor GuiFactory::rustyColor() {
    return Util::toQColor(library::Util::colorForHex("c3b086"));
}

QColor GuiFactory::darkRustyColor() {
    return Util::toQColor(library::Util::colorForHex("918263"));
}

QFont GuiFactory::interfaceFont(double size) {
    QFont font(interfaceFamily());
    font.setBold(true);
    font.setPixelSize(std::max(1, static_cast<int>(std::lround(size))));
    font.setHintingPreference(QFont::PreferNoHinting);
    // DejaVu Sans Bold runs wider than the interface's own face: narrowed, the
    // layouts' captions ("ADD NEW SOUND BANK", "BKGND") fit the frames made for
    // them at every gui type's size.
    if (!interfaceFaceInBundle()) font.setStretch(QFont::SemiCondensed);
    return font;
}

int32_t GuiFactory::textSize(GuiType guiType) {
    switch (guiType) {
        case GuiType::tablet:
            return 12;
        case GuiType::phoneLandscape:
            return 6;
        case GuiType::phonePortrait:
            return 8;
    }
    return 12;
}

std::unique_ptr<kit::Label> GuiFactory::labelWithFrame(const QRectF& frame, int32_t fontSize) {
    auto label = std::make_unique<kit::Label>(frame);
    label->setFont(interfaceFont(fontSize));
    label->setBackgroundColor(Qt::transparent);
    label->setTextColor(Qt::white);
    label->setAlignment(kit::Label::Alignment::center);
    label->setLineBreakMode(kit::Label::LineBreak::clip);
    return label;
}

std::unique_ptr<kit::Label> GuiFactory::labelForGuiType(GuiType guiType, const QPointF& position,
                                                        int32_t width) {
    if (!guiTypeFromNumber(guiTypeNumber(guiType))) return nullptr;  // no layout: no caption
    const int32_t size = textSize(guiType);
    return labelWithFrame(QRectF(position.x(), position.y(), width, size), size);
}

QImage GuiFactory::imageWithName(const std::string& name, GuiType guiType) {
    return imageWithName(name, guiType, ImageStore::shared(), kit::Context::current().screen());
}

QImage GuiFactory::imageWithName(const std::string& name, GuiType guiType, ImageStore& store,
                                 const kit::Screen& screen) {
    switch (guiType) {
        case GuiType::tablet:
            return store.image(name + ".png");
        case GuiType::phoneLandscape:
            if (Util::isIphone5(screen)) {
                QImage tall = store.image(name + "-phone568h.png");
                if (!tall.isNull()) return tall;
            }
            return store.image(name + "-phone.png");
        case GuiType::phonePortrait:
            if (Util::isIphone5(screen)) {
                QImage tall = store.image(name + "-phoneportrait568h.png");
                if (!tall.isNull()) return tall;
            }
            return store.image(name + "-phoneportrait.png");
    }
    STROMBEL_LOG_ERROR("image not found: {}", name);
    return QImage();
}

std::unique_ptr<SSTextField> GuiFactory::textfieldWithValue(const QString& value,
                                                            const QString& placeholder,
                                                            GuiType guiType) {
    const int32_t s = textSize(guiType);
    auto field = std::make_unique<SSTextField>(QRectF(0, 0, 18 * s, 2.5 * s));
    field->setBackgroundColor(Qt::black);
    field->setBorder(darkRustyColor(), 1.0);
    // Shown in capitals, kept as given: a name typed here is stored as typed.
    field->setText(value);
    field->setPlaceholder(placeholder.toUpper());
    field->setTextColor(Qt::white);
    field->lineEdit().setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    field->setFont(interfaceFont(s));
    field->setAllCapitals(true);
    SSTextField::EdgeInsets insets{0, 10, 0, 0};
    if (guiType == GuiType::phoneLandscape) insets.left = 4;
    if (guiType == GuiType::phonePortrait) insets.left = 5;
    field->setTextEdgeInsets(insets);
    return field;
}

QSizeF AppDimensions::sizeInOrientation(int orientation, const kit::Screen& screen) {
    const double w = screen.bounds.width();
    const double h = screen.bounds.height();
    QSizeF size = (orientation == 3 || orientation == 4) ? QSizeF(std::max(w, h), std::min(w, h))
                                                         : QSizeF(w, h);
    if (!screen.statusBarHidden) size.setHeight(size.height() - screen.statusBarHeight);
    return size;
}

QSizeF AppDimensions::currentSize(const kit::Screen& screen) {
    return sizeInOrientation(screen.statusBarOrientation, screen);
}

}  // namespace strombel::ui
