// The view-building step: the same panels and controls for the tablet and the
// two phone layouts, placed by the metrics of the screen's GuiFactory.

#include <cmath>

#include "logging/log.h"
#include "ui/image_store.h"
#include "ui/pad/pad_panel_views.h"
#include "ui/pad/strombel_view_controller.h"

namespace strombel::ui {

namespace {

struct SliderRow {
    double x, y;               // slider at (P*i + x, y)
    double captionX, captionY; // caption at (P*i + captionX, captionY or labelY when NaN)
    bool captionAtLabelY;
    double lampX, lampY;       // lamp at (P*i + offset + lampX, lampY)
    int offsets[6];
};

struct PadLayout {
    double imageSize;
    double labelDx, labelDy, labelWidth;
    double lampDx, lampDy;
};

struct VolumeLayout {
    double captionX, captionWidth, sliderX, sliderY;
    double meterCaptionX, meterCaptionWidth, meterX, meterY;
};

const SliderRow kSliderRows[3] = {
    {16, 4, 1, 0, true, -5, -18, {0, 0, -3, -4, 0, 0}},
    {7, 2, 0, -2, false, -3, -8, {0, 0, -1, -2, 0, 0}},
    {7, 2, 0, 0, true, -3, -12, {0, 0, -2, -3, 0, 0}},
};
const PadLayout kPadLayouts[3] = {
    {97, 7, -20, 83, -18, -32},
    {44, 4, -9, 34, -8, -15},
    {64, 5, -12, 54, -12, -21},
};
const VolumeLayout kVolumeLayouts[3] = {
    {192, 72, 4, 16, 173, 108, 12, 6},
    {85, 35, 2, 7, 77, 50, 4, 2},
    {127, 45, 2, 10, 115, 69, 6, 4},
};

}  // namespace

kit::ImageView* StrombelViewController::makePanel(double x, double y, double width, double height,
                                                  const char* imageName) {
    return pad_views::addPanel(*baseContainer_, guiType_, QRectF(x, y, width, height), imageName);
}

kit::Label* StrombelViewController::makeCaption(kit::View* parent, double x, double y, double width,
                                                const QString& text) {
    return pad_views::addCaption(guiType_, *parent, x, y, width, text);
}

void StrombelViewController::loadView() {
    const GuiType type = guiType_;
    const kit::Screen device = screen();
    const double screenWidth = Util::screenWidth(device);
    const double screenHeight = Util::screenHeight(device);

    // 1-2. The root and the container of every panel, black.
    if (type == GuiType::tablet) {
        STROMBEL_LOG_DEBUG("loading StrombelViewController");
        rootView_ = std::make_unique<kit::View>(QRectF(0, 0, screenHeight, screenWidth));
        baseContainer_ = rootView_.get();
    } else if (type == GuiType::phoneLandscape) {
        rootView_ = std::make_unique<kit::View>(QRectF(0, 0, screenHeight, screenWidth));
        baseContainer_ = rootView_.get();
    } else {
        rootView_ = std::make_unique<kit::View>(QRectF(0, 0, screenWidth, screenHeight));
        rootView_->setBackgroundColor(Qt::black);
        baseContainer_ = rootView_->add(std::make_unique<kit::View>(QRectF(0, 0, 2 * screenWidth, screenHeight)));
    }
    rootViewPointer_ = rootView_.get();
    rootAlive_ = rootView_->lifetime();
    baseContainer_->setBackgroundColor(Qt::black);

    // 3. Background.
    auto background = std::make_unique<kit::ImageView>(GuiFactory::imageWithName("background", guiType_));
    background->setX(0, 0);
    backgroundView_ = background.get();
    baseContainer_->add(std::move(background));

    const GuiFactory& f = *gf_;
    const double L = f.innerControlLeftMargin(), T = f.innerControlTopMargin(), S = f.smallBtnXSpace();

    // 4. Top left: INFO, SHOP, SORT, the bank selector and its caption.
    topLeftButtonsContainer_ = makePanel(f.controlsLeftX(), f.topControlsY(), f.controlsWidth(), f.controlsHeight(),
                                         "linesSoundbankControls");
    SmallButtonControl* info = makeSmallButton(topLeftButtonsContainer_, L, T, "INFO");
    info->setImage(GuiFactory::imageWithName("infoBtn", guiType_), kit::normal);
    info->setImage(GuiFactory::imageWithName("infoBtn", guiType_), kit::highlighted);
    info->addTarget(kit::touchUpInside, [this](kit::Control&) { infoBtnPressed(); });
    SmallButtonControl* shop = makeSmallButton(topLeftButtonsContainer_, L + S, T, "SHOP");
    shop->addTarget(kit::touchUpInside, [this](kit::Control&) { shopBtnPressed(); });
    sortBtn_ = makeSmallButton(topLeftButtonsContainer_, L + 2 * S, T, "SORT");
    toggleOnRelease(sortBtn_, &StrombelViewController::sortBtnPressed);
    auto bankControl = std::make_unique<SoundBankControl>(guiType_, *services_.library);
    bankControl->setX(L + 3 * S, T);
    bankControl->setDelegate(this);
    soundBankControl_ = topLeftButtonsContainer_->add(std::move(bankControl));
    makeCaption(topLeftButtonsContainer_, soundBankControl_->x(), f.labelY(), std::trunc(soundBankControl_->width()),
                "SOUND BANKS");

    // Top right: the dry/wet box and the panel buttons.
    topRightButtonsContainer_ = makePanel(f.controlsRightX(), f.topControlsY(), f.controlsWidth(),
                                          f.controlsHeight(), "linesDryWetControls");
    auto dryWet = std::make_unique<DryWetEffectsControl>(guiType_);
    dryWet->setX(L, T);
    DryWetEffectsControl* dryWetControl = topRightButtonsContainer_->add(std::move(dryWet));
    effectsPanel_.setDryWetControl(dryWetControl);
    makeCaption(topRightButtonsContainer_, dryWetControl->x(), f.labelY(), std::trunc(dryWetControl->width()),
                "DRY/WET");
    auto panelButton = [&](double x, const char* label, void (StrombelViewController::*action)()) {
        SmallButtonControl* button = makeSmallButton(topRightButtonsContainer_, x, T, label);
        toggleOnRelease(button, action);
        return button;
    };
    inOutBtn_ = panelButton(L + 2 * S, "I/O", &StrombelViewController::inOutBtnPressed);
    sampleOptionsBtn_ = panelButton(L + 3 * S, "SMP", &StrombelViewController::sampleOptionsBtnPressed);
    sequencerBtn_ = panelButton(L + 4 * S, "SEQ", &StrombelViewController::sequencerBtnPressed);
    orientationBtn_ = panelButton(L + 5 * S, "L/R", &StrombelViewController::orientationBtnPressed);

    // 5. The six effect sliders with their captions and lamps.
    slidersContainer_ = makePanel(f.controlsRightX(), f.bottomControlY(), f.controlsWidth(),
                                  f.controlsSquareHeight(), "linesSliderControls");
    static const char* const captions[6] = {"PITCH", "DELAY", "REVERB", "CUT-OFF", "PHASE", "CRUSH"};
    static constexpr void (StrombelViewController::*actions[6])() = {
        &StrombelViewController::pitchSliderChanged,  &StrombelViewController::delaySliderChanged,
        &StrombelViewController::reverbSliderChanged, &StrombelViewController::cutoffSliderChanged,
        &StrombelViewController::phaseSliderChanged,  &StrombelViewController::crushSliderChanged};
    const SliderRow& row = kSliderRows[guiTypeNumber(type)];
    const double P = f.sliderSpace();
    for (int i = 0; i < 6; ++i) {
        std::unique_ptr<SliderControl> slider;
        if (i == 0) slider = std::make_unique<PitchSliderControl>(guiType_);
        else slider = std::make_unique<SliderControl>(guiType_);
        slider->setX(P * i + row.x, row.y);
        slider->addTarget(kit::valueChanged, [this, action = actions[i]](kit::Control&) { (this->*action)(); });
        SliderControl* placed = slidersContainer_->add(std::move(slider));
        effectsPanel_.addEffectSlider(placed);
        makeCaption(slidersContainer_, P * i + row.captionX, row.captionAtLabelY ? f.labelY() : row.captionY, P,
                    captions[i]);
        auto lamp = std::make_unique<LightView>(guiType_);
        lamp->setX(P * i + row.offsets[i] + row.lampX, row.lampY);
        placed->setLightView(slidersContainer_->add(std::move(lamp)));
    }

    // 6. The twelve pads in three rows of four, each with its number and lamp.
    tapButtonsContainer_ = makePanel(f.controlsLeftX(), f.bottomControlY(), f.controlsWidth(),
                                     f.controlsSquareHeight(), "linesTapButtons");
    tapButtons_.clear();
    tapButtonLabels_.clear();
    tapButtonLights_.clear();
    tapButtons_.reserve(12);
    tapButtonLabels_.reserve(12);
    tapButtonLights_.reserve(12);
    const PadLayout& padLayout = kPadLayouts[guiTypeNumber(type)];
    const double X = f.tapBtnXSpace(), Y = f.tapBtnYSpace();
    for (int i = 0; i < 12; ++i) {
        const int column = i % 4, row = i / 4;
        const double x = L + X * column, y = T + Y * row;
        const double s = padLayout.imageSize;
        auto pad = std::make_unique<kit::Button>(QRectF(x, y, s, s));
        pad->setImage(GuiFactory::imageWithName("tapButton", guiType_), kit::normal);
        pad->setImage(GuiFactory::imageWithName("tapButtonDown", guiType_), kit::highlighted);
        pad->setTag(i);
        pad->addTarget(kit::touchDown, [this, i](kit::Control&) { tapPadBtnPressed(i); });
        pad->addTarget(kit::touchUpInside | kit::touchDragOutside, [this, i](kit::Control& control) {
            // A drag out of the pad releases it once; later drags outside do not.
            if (releasedPads_[size_t(i)]) return;
            releasedPads_[size_t(i)] = true;
            (void)control;
            tapPadBtnReleased(i);
        });
        pad->addTarget(kit::touchDown, [this, i](kit::Control&) { releasedPads_[size_t(i)] = false; });
        const int dx = int(X - pad->width()), dy = int(Y - pad->height());
        pad->setFrame(QRectF(x - dx / 2, y - dy / 2, X, Y));
        tapButtons_.push_back(tapButtonsContainer_->add(std::move(pad)));

        auto label = GuiFactory::labelForGuiType(guiType_, QPointF(x + padLayout.labelDx, y + padLayout.labelDy),
                                                 int(padLayout.labelWidth));
        label->setText(QString("[%1]").arg(i + 1));
        // A sample's name too long for the pad is drawn smaller, or on a second line.
        label->setFitting(2, GuiFactory::kNameMinimumScale);
        tapButtonLabels_.push_back(tapButtonsContainer_->add(std::move(label)));

        auto lamp = std::make_unique<LightView>(guiType_);
        lamp->setX(x + padLayout.lampDx, y + padLayout.lampDy);
        tapButtonLights_.push_back(tapButtonsContainer_->add(std::move(lamp)));
    }

    // 7. Volume and output.
    const VolumeLayout& volume = kVolumeLayouts[guiTypeNumber(type)];
    volumeContainer_ = makePanel(f.controlsLeftX(), f.middleControlsY(), f.controlsWidth(), f.controlsHeight(),
                                 "linesVolumeControl");
    makeCaption(volumeContainer_, volume.captionX, f.labelY(), volume.captionWidth, "VOLUME");
    auto volumeSlider = std::make_unique<HorizontalSliderControl>(guiType_);
    volumeSlider->setX(volume.sliderX, volume.sliderY);
    volumeSlider->addTarget(kit::valueChanged, [this](kit::Control&) { volumeSliderChanged(); });
    effectsPanel_.setVolumeSlider(volumeContainer_->add(std::move(volumeSlider)));
    audioMeterContainer_ = makePanel(f.controlsRightX(), f.middleControlsY(), f.controlsWidth(), f.controlsHeight(),
                                     "linesAudioControl");
    makeCaption(audioMeterContainer_, volume.meterCaptionX, f.labelY(), volume.meterCaptionWidth, "AUDIO OUTPUT");
    auto meter = std::make_unique<AudioOutputMeter>(guiType_);
    meter->setX(volume.meterX, volume.meterY);
    audioOutputMeter_ = audioMeterContainer_->add(std::move(meter));

    if (type == GuiType::tablet) STROMBEL_LOG_DEBUG("Strombel view loaded");

    // 9. The library's observer from now on.
    libraryPanel_.joinLibrary();

    // 10. The shade over every panel; it never takes touches.
    currentShadeAlpha_ = 0.375f;
    auto shade = std::make_unique<kit::ImageView>(GuiFactory::imageWithName("fullscreenShade", guiType_));
    shade->setAlpha(currentShadeAlpha_);
    shade->setUserInteractionEnabled(false);
    shadeView_ = baseContainer_->add(std::move(shade));

    // 11. Portrait: the two SWITCH buttons.
    if (type == GuiType::phonePortrait) {
        const bool tall = Util::isIphone5(device);
        const double a = std::trunc(screenWidth * 0.5 - 37);
        const double y = tall ? 498 : 454, h = tall ? 66 : 22;
        for (double x : {a, std::trunc(screenWidth + a)}) {
            auto button = buildSwitchBtnWithFrame(QRectF(x, y, 75, h));
            button->addTarget(kit::touchUpInside, [this](kit::Control&) { switchVisibleSide(); });
            baseContainer_->add(std::move(button));
        }
    }
}

// ---- The portrait strip --------------------------------------------------------------

std::unique_ptr<kit::Button> StrombelViewController::buildSwitchBtnWithFrame(const QRectF& frame) {
    auto button = std::make_unique<kit::Button>(frame);
    button->setBackgroundColor(Qt::transparent);
    // These two go by their exact names: a tall phone has no art of its own for them.
    button->setImage(ImageStore::shared().image("switchBtn-phoneportrait.png"), kit::normal);
    button->setImage(ImageStore::shared().image("switchBtnDown-phoneportrait.png"),
                     kit::highlighted);
    auto label = GuiFactory::labelWithFrame(QRectF(0, 0, frame.width(), frame.height()), 8);
    label->setText("SWITCH");
    button->add(std::move(label));
    return button;
}

void StrombelViewController::switchVisibleSide() {
    if (guiType_ != GuiType::phonePortrait) return;
    slideStripTo(!stripOnRightSide_);
}

void StrombelViewController::slideStripTo(bool rightSide, double seconds, kit::View* arriving) {
    // The side is remembered, not read off the strip: during a slide the strip
    // is between its sides, and a tap then still means the other side.
    stripOnRightSide_ = rightSide;
    const double target = rightSide ? -std::trunc(Util::screenWidth(screen())) : 0;
    kit::Animator::Completion arrived;
    if (arriving) {
        arriving->setUserInteractionEnabled(false);
        arrived = [arriving, alive = arriving->lifetime()](bool) {
            if (!alive.expired()) arriving->setUserInteractionEnabled(true);
        };
    }
    kit::Context::current().animator().animatePosition(*baseContainer_, QPointF(target, baseContainer_->y()),
                                                       seconds, std::move(arrived));
}

}  // namespace strombel::ui

namespace strombel::ui {

void StrombelViewController::toggleOnRelease(SmallButtonControl* button, void (StrombelViewController::*action)()) {
    pad_views::toggleOnRelease(button, [this, action] { (this->*action)(); });
}

SmallButtonControl* StrombelViewController::makeSmallButton(kit::View* parent, double x, double y,
                                                            const QString& label, LightView** light) {
    return pad_views::addSmallButton(*gf_, *parent, x, y, label, light);
}

}  // namespace strombel::ui
