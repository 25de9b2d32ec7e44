#include "ui/pad/strombel_view_controller.h"

#include <QStringList>

#include <utility>

#include "logging/log.h"
#include "ui/info/strombel_information_view_controller.h"
#include "ui/store/strombel_store_view_controller.h"

namespace strombel::ui {

namespace {

// The user-defaults keys of the pad screen.
constexpr const char* kCurrentSoundBank = "CurrentSoundBank";
constexpr const char* kBeatsPerMinute = "BeatsPerMinute";
constexpr const char* kActivePattern = "ActivePattern";
constexpr const char* kFlipOrientation = "FlipOrientation";
constexpr const char* kSequencer = "Sequencer";
constexpr const char* kSampleOptions = "SampleOptions";
constexpr const char* kSoundbankManagement = "SoundbankManagement";
constexpr const char* kSampleEditorPath = editor::EditSampleViewController::kOpenedSampleKey;
constexpr const char* kInOutMode = "InOutMode";
constexpr const char* kSwingPercentage = "SwingPercentage";

}  // namespace

StrombelViewController::StrombelViewController(PadScreenServices services, platform::UserDefaults& defaults)
    : StrombelViewController(services, defaults, GuiType::tablet) {}

StrombelViewController::StrombelViewController(PadScreenServices services, platform::UserDefaults& defaults,
                                               GuiType guiType)
    : services_(services), defaults_(defaults), guiType_(guiType),
      gf_(std::make_unique<GuiFactory>(guiType)),
      effectsPanel_(*services.engine, defaults),
      sequencerPanel_(*services.sequencer, *services.engine, defaults, *gf_, panelHost_),
      inOutPanel_(services.midi, defaults, *gf_, panelHost_, *this),
      samplePanel_(*services.engine, *services.library, defaults, *gf_, panelHost_),
      exchangePanel_(*services.sequencer, *services.library, guiType, panelHost_, *this),
      libraryPanel_(*services.library, *services.engine, services.soundLibrary, *gf_, panelHost_) {
    services_.engine->addDelegate(this);
    services_.sequencer->setDelegate(this);
}

StrombelViewController::~StrombelViewController() {
    // A screen that goes leaves every list it joined and stops its timers, so that
    // no message or timer reaches it afterwards.
    viewDidUnload();
    // An export under way stops now (a quit does not wait for it) and leaves no file.
    // Its progress leaves the screen's view while that lives.
    exchangePanel_.abandon();
    services_.engine->removeDelegate(this);
    services_.sequencer->removeDelegate(this);
    if (services_.midi && services_.midi->midiLearnDelegate() == this) services_.midi->setMidiLearnDelegate(nullptr);
    // The views belong to the window; while they live, those that would call the
    // screen are told it has gone.
    if (!rootAlive_.expired()) {
        if (blackOverlay_) blackOverlay_->removeFromSuperview();
        for (kit::View* view : nameFieldViews()) view->removeFromSuperview();
        samplePanel_.detach();
        if (soundBankControl_) soundBankControl_->setDelegate(nullptr);
        effectsPanel_.detach();
        sequencerPanel_.detach();
        inOutPanel_.detach();
    }
}

kit::View* StrombelViewController::view() {
    if (!rootViewPointer_) {
        loadView();
        viewDidLoad();
    }
    return rootViewPointer_;
}

void StrombelViewController::setStorageWarning(const QString& text) {
    kit::View* root = view();
    if (text.isEmpty()) {
        if (storageWarning_) storageWarning_->removeFromSuperview();
        storageWarning_ = nullptr;
        return;
    }
    if (!storageWarning_) {
        // Over everything, across the top edge, where every layout has its margin.
        auto line = GuiFactory::labelWithFrame(QRectF(0, 0, root->width(), 12), 9);
        line->setAlignment(kit::Label::Alignment::center);
        line->setTextColor(QColor(255, 120, 80));
        line->setBackgroundColor(QColor(40, 0, 0, 220));
        storageWarning_ = root->add(std::move(line));
    }
    storageWarning_->setText(text);
    root->bringSubviewToFront(storageWarning_);
}

void StrombelViewController::setOutputNotice(const QString& text) {
    if (outputNoticeTimer_) outputNoticeTimer_->invalidate();
    outputNoticeTimer_.reset();
    kit::View* root = view();
    if (text.isEmpty()) {
        if (outputNotice_) outputNotice_->removeFromSuperview();
        outputNotice_ = nullptr;
        return;
    }
    if (!outputNotice_) {
        // Over everything, across the bottom edge, where every layout has its margin.
        auto line = GuiFactory::labelWithFrame(QRectF(0, root->height() - 12, root->width(), 12), 9);
        line->setAlignment(kit::Label::Alignment::center);
        outputNotice_ = root->add(std::move(line));
    }
    outputNotice_->setText(text);
    root->bringSubviewToFront(outputNotice_);
}

void StrombelViewController::audioOutputLost(const std::string& message) {
    setOutputNotice(QString::fromStdString(message));
    outputNotice_->setTextColor(QColor(255, 120, 80));
    outputNotice_->setBackgroundColor(QColor(40, 0, 0, 220));
}

void StrombelViewController::audioOutputRestored(const std::string& message) {
    setOutputNotice(QString::fromStdString(message));
    outputNotice_->setTextColor(QColor(140, 255, 140));
    outputNotice_->setBackgroundColor(QColor(0, 40, 0, 220));
    outputNoticeTimer_ = kit::Timer::scheduled(kOutputBackNoticeSeconds, false, [this] { setOutputNotice({}); });
}

std::unique_ptr<kit::View> StrombelViewController::takeView() {
    view();
    return std::move(rootView_);
}

kit::Screen StrombelViewController::screen() const { return kit::Context::current().screen(); }

QSizeF StrombelViewController::shownSize() const {
    kit::Screen shown = screen();
    if (guiType_ == GuiType::phonePortrait) shown.statusBarOrientation = int(kit::DeviceOrientation::portrait);
    return AppDimensions::currentSize(shown);
}

void StrombelViewController::viewDidLoad() { startMeterTimer(); }

void StrombelViewController::startMeterTimer() {
    if (!audioOutputUpdateTimer_) audioOutputUpdateTimer_ = kit::Timer::scheduled(0.05, true, [this] { onTimer(); });
}

void StrombelViewController::viewDidUnload() {
    if (libraryPanel_.joinedLibrary()) STROMBEL_LOG_DEBUG("StrombelViewController unloaded!");
    libraryPanel_.leaveLibrary();
    if (audioOutputUpdateTimer_) audioOutputUpdateTimer_->invalidate();
    audioOutputUpdateTimer_.reset();
    sequencerPanel_.stopTapTimer();
}

void StrombelViewController::onTimer() {
    if (audioOutputMeter_) {
        audioOutputMeter_->setAudioOuputLeft(services_.engine->currentVolumeLeftChannel() / 16384000.0,
                                             services_.engine->currentVolumeRightChannel() / 16384000.0);
    }
    // Every lamp off and the engine silent: the meter rests until a track starts.
    const bool atRest =
        !audioOutputMeter_ || (audioOutputMeter_->litCount(true) == 0 && audioOutputMeter_->litCount(false) == 0);
    if (atRest && services_.engine->isSilent()) audioOutputUpdateTimer_.reset();
}

void StrombelViewController::press(SmallButtonControl* button, bool down, void (StrombelViewController::*action)()) {
    if (button) button->setIsPressedDown(down);
    (this->*action)();
}

// ---- Appearance: the settings come back in their fixed order ----------------

void StrombelViewController::viewWillAppear() {
    view();
    auto integerWithDefault = [&](const char* key, int64_t fallback) {
        if (!defaults_.hasObject(key)) defaults_.setInteger(key, fallback);
        return defaults_.integerForKey(key);
    };

    // 1. The bank, limited by the selector to the banks that exist.
    int64_t bank = integerWithDefault(kCurrentSoundBank, 0);
    soundBankControl_->setCurrentBank(uint64_t(std::max<int64_t>(bank, 0)));
    services_.engine->currentSoundbankChanged(soundBankControl_->currentBank());
    rememberCurrentSoundbank();
    displayCurrentSoundBank();

    // 2. Dry/wet; the box reports its amount back, which sets the engine.
    effectsPanel_.restoreDryWet();

    // 3. Tempo.
    changeBpmTo(int32_t(integerWithDefault(kBeatsPerMinute, 125)));
    displayCurrentSequencerConfigContent();

    // 4. Pattern.
    services_.sequencer->changePatternTo(uint64_t(std::max<int64_t>(integerWithDefault(kActivePattern, 0), 0)));

    // 5. Side.
    press(orientationBtn_, defaults_.boolForKey(kFlipOrientation), &StrombelViewController::orientationBtnPressed);

    // 6. The SEQ panel is always closed and, when stored open, opened afresh.
    bool sequencerOpen = defaults_.boolForKey(kSequencer);
    sequencerBtn_->setIsPressedDown(false);
    if (sequencerOpen) {
        sequencerBtnPressed();
        sequencerBtn_->setIsPressedDown(true);
    }
    sequencerBtnPressed();

    // 7-8. SMP and the library browser.
    press(sampleOptionsBtn_, defaults_.boolForKey(kSampleOptions), &StrombelViewController::sampleOptionsBtnPressed);
    press(sortBtn_, defaults_.boolForKey(kSoundbankManagement), &StrombelViewController::sortBtnPressed);

    // 9. The sample editor panel, on the sample it had open.
    if (defaults_.hasObject(kSampleEditorPath)) {
        showEditSampleControl();
        editSampleViewController()->openSample(defaults_.stringForKey(kSampleEditorPath));
    }

    // 10. I/O. A ports panel and a MIDI learn left on while another screen was
    // shown take the hub's roles back.
    press(inOutBtn_, defaults_.boolForKey(kInOutMode), &StrombelViewController::inOutBtnPressed);
    inOutPanel_.retakeHubRoles();

    // 11. Cut.
    samplePanel_.restoreCut();

    // 12. Swing, only when stored.
    if (defaults_.hasObject(kSwingPercentage))
        services_.sequencer->setSwing(float(defaults_.doubleForKey(kSwingPercentage)));

    // 13. Hold.
    samplePanel_.restoreHold();

    // 14-15. Volume and effects; each slider sends its action, which sets the
    // engine and stores the value again.
    effectsPanel_.restoreSliders();
}

// ---- Panels -------------------------------------------------------------------

void StrombelViewController::takeOff(kit::View* panel) {
    if (!panel || !panel->superview()) return;
    offScreenPanels_[panel] = panel->removeFromSuperview();
}

void StrombelViewController::putBack(kit::View* panel, kit::View* sibling) {
    auto held = offScreenPanels_.find(panel);
    if (held == offScreenPanels_.end()) return;
    baseContainer_->insertSubviewBelow(std::move(held->second), sibling);
    offScreenPanels_.erase(held);
}

// ---- The sample editor panel ----------------------------------------------------

void StrombelViewController::showEditSampleControl() {
    samplePanel_.showEditor(*baseContainer_, QPointF(gf_->controlsLeftX(), gf_->bottomControlY()));
}

void StrombelViewController::PanelHost::takePadsOff() { screen_.takeOff(screen_.tapButtonsContainer_); }

void StrombelViewController::PanelHost::putPadsBack() {
    // The pads go back just below the library browser, or the sliders.
    screen_.putBack(screen_.tapButtonsContainer_,
                    screen_.sortController() ? screen_.sortController()->view() : screen_.slidersContainer_);
}

void StrombelViewController::inOutBtnPressed() {
    const bool down = buttonDown(inOutBtn_);
    defaults_.setBool(kInOutMode, down);
    const bool open = inOutPanel_.isOpen();
    if (down && !open) {
        if (buttonDown(sequencerBtn_)) press(sequencerBtn_, false, &StrombelViewController::sequencerBtnPressed);
        if (buttonDown(sampleOptionsBtn_))
            press(sampleOptionsBtn_, false, &StrombelViewController::sampleOptionsBtnPressed);
        tapButtonsContainer_->setX(gf_->controlsLeftX());
        takeOff(audioMeterContainer_);
        takeOff(slidersContainer_);
        inOutPanel_.open(*baseContainer_);
        orientationBtnPressed();
    } else if (!down && open) {
        inOutPanel_.close();
        putBack(audioMeterContainer_);
        putBack(slidersContainer_);
        // L/R shows the side it keeps again, and applies it.
        orientationBtn_->setIsPressedDown(defaults_.boolForKey(kFlipOrientation));
        orientationBtnPressed();
    }
}

void StrombelViewController::sampleOptionsBtnPressed() {
    const bool down = buttonDown(sampleOptionsBtn_);
    defaults_.setBool(kSampleOptions, down);
    const bool open = samplePanel_.isOpen();
    if (down && !open) {
        if (buttonDown(sequencerBtn_)) press(sequencerBtn_, false, &StrombelViewController::sequencerBtnPressed);
        if (buttonDown(inOutBtn_)) press(inOutBtn_, false, &StrombelViewController::inOutBtnPressed);
        takeOff(audioMeterContainer_);
        samplePanel_.open(*baseContainer_);
    } else if (!down && open) {
        samplePanel_.close();
        putBack(audioMeterContainer_);
    }
}

void StrombelViewController::sequencerBtnPressed() {
    const bool down = buttonDown(sequencerBtn_);
    defaults_.setBool(kSequencer, down);
    const bool open = sequencerPanel_.isOpen();
    if (down && !open) {
        if (buttonDown(sampleOptionsBtn_))
            press(sampleOptionsBtn_, false, &StrombelViewController::sampleOptionsBtnPressed);
        if (buttonDown(inOutBtn_)) press(inOutBtn_, false, &StrombelViewController::inOutBtnPressed);
        takeOff(volumeContainer_);
        takeOff(audioMeterContainer_);
        sequencerPanel_.open(*baseContainer_);
    } else if (!down && open) {
        sequencerPanel_.close();
        putBack(volumeContainer_);
        putBack(audioMeterContainer_);
    }
}

void StrombelViewController::orientationBtnPressed() {
    if (inOutPanel_.isOpen()) {
        // The I/O panel holds the pads on the left: L/R shows that side and
        // cannot be pressed; the side it keeps comes back with the panel's closing.
        orientationBtn_->setIsPressedDown(false);
        orientationBtn_->setEnabled(false);
        return;
    }
    orientationBtn_->setEnabled(true);
    if (buttonDown(orientationBtn_)) {
        tapButtonsContainer_->setX(gf_->controlsRightX());
        slidersContainer_->setX(gf_->controlsLeftX());
    } else {
        tapButtonsContainer_->setX(gf_->controlsLeftX());
        slidersContainer_->setX(gf_->controlsRightX());
    }
    defaults_.setBool(kFlipOrientation, buttonDown(orientationBtn_));
}

void StrombelViewController::infoBtnPressed() {
    if (!window_) return;
    std::unique_ptr<info::StrombelInformationViewController> information;
    if (GuiFactory::isIpad()) information = std::make_unique<info::StrombelInformationViewController>();
    else
        information =
            std::make_unique<info::StrombelIphoneInformationViewController>(guiType_ == GuiType::phonePortrait);
    information->setModalTransitionStyle(1);
    std::weak_ptr<void> alive = lifetime_;
    info::StrombelInformationViewController::present(std::move(information), *window_, [this, alive] {
        if (!alive.expired()) viewWillAppear();
    });
}

void StrombelViewController::shopBtnPressed() {
    if (!window_) return;
    std::unique_ptr<store::StrombelStoreViewController> shop;
    if (GuiFactory::isIpad()) shop = std::make_unique<store::StrombelStoreViewController>(services_.storeLibrary);
    else
        shop = std::make_unique<store::StrombelIphoneStoreViewController>(services_.storeLibrary,
                                                                          guiType_ == GuiType::phonePortrait);
    shop->setModalTransitionStyle(1);
    std::weak_ptr<void> alive = lifetime_;
    store::StrombelStoreViewController::present(std::move(shop), *window_, [this, alive] {
        if (!alive.expired()) viewWillAppear();
    });
}

}  // namespace strombel::ui
