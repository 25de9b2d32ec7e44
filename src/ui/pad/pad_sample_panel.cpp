#include "ui/pad/pad_sample_panel.h"

#include <cmath>

#include "ui/pad/pad_panel_views.h"

namespace strombel::ui {

namespace {

constexpr const char* kCutKey = "CutSamples";
constexpr const char* kHoldKey = "HoldToggle";
constexpr const char* kEditorSampleKey = editor::EditSampleViewController::kOpenedSampleKey;
// A pad's volume slider spans the engine's volumes 0 to 1.5.
constexpr float kTrackVolumeRange = 1.5f;

using pad_views::isDown;

}  // namespace

PadSamplePanel::PadSamplePanel(PadEngine& engine, PadLibrary& library, platform::UserDefaults& defaults,
                               const GuiFactory& gf, PadSamplePanelHost& host)
    : engine_(engine), library_(library), defaults_(defaults), gf_(gf), host_(host) {}

void PadSamplePanel::open(kit::View& base) {
    if (isOpen()) return;
    const double L = gf_.innerControlLeftMargin(), T = gf_.innerControlTopMargin(), S = gf_.smallBtnXSpace();
    container_ = pad_views::addPanel(
        base, gf_.guiType(),
        QRectF(gf_.controlsRightX(), gf_.middleControlsY(), gf_.controlsWidth(), gf_.controlsHeight()),
        "linesSequencerControls");
    kit::View& panel = *container_;
    auto button = [&](int column, const char* label) {
        return pad_views::addSmallButton(gf_, panel, L + column * S, T, label);
    };
    cutBtn_ = button(0, "CUT");
    pad_views::toggleOnRelease(cutBtn_, [this] { cutBtnPressed(); });
    cutBtn_->setIsPressedDown(defaults_.boolForKey(kCutKey));
    holdToggleBtn_ = button(1, "HOLD");
    pad_views::toggleOnRelease(holdToggleBtn_, [this] { holdBtnPressed(); });
    holdToggleBtn_->setIsPressedDown(defaults_.boolForKey(kHoldKey));
    sampleVolumeBtn_ = button(2, "VOL.");
    pad_views::toggleOnValue(sampleVolumeBtn_, [this] { sampleVolumeBtnPressed(); });
    sampleMuteBtn_ = button(3, "MUTE");
    pad_views::toggleOnValue(sampleMuteBtn_, [this] { muteBtnPressed(); });
    sampleSoloBtn_ = button(4, "SOLO");
    pad_views::toggleOnValue(sampleSoloBtn_, [this] { soloBtnPressed(); });
    micInBtn_ = button(5, "MIC-IN");
    micInBtn_->addTarget(kit::valueChanged, [this](kit::Control&) { host_.recordIntoEditor(); });

    pad_views::press(sampleVolumeBtn_, defaults_.boolForKey("SampleVolume"), [this] { sampleVolumeBtnPressed(); });
    if (defaults_.boolForKey("SampleMute")) pad_views::press(sampleMuteBtn_, true, [this] { muteBtnPressed(); });
    if (defaults_.boolForKey("SampleSolo")) pad_views::press(sampleSoloBtn_, true, [this] { soloBtnPressed(); });
}

void PadSamplePanel::close() {
    if (!isOpen()) return;
    if (isDown(sampleVolumeBtn_)) pad_views::press(sampleVolumeBtn_, false, [this] { sampleVolumeBtnPressed(); });
    pad_views::press(sampleMuteBtn_, false, [this] { muteBtnPressed(); });
    pad_views::press(sampleSoloBtn_, false, [this] { soloBtnPressed(); });
    container_->removeFromSuperview();
    container_ = nullptr;
    cutBtn_ = holdToggleBtn_ = sampleVolumeBtn_ = sampleMuteBtn_ = sampleSoloBtn_ = micInBtn_ = nullptr;
}

void PadSamplePanel::restoreCut() {
    const bool cut = defaults_.boolForKey(kCutKey);
    if (cutBtn_) cutBtn_->setIsPressedDown(cut);
    engine_.setCutTapPadTracks(cut);
}

void PadSamplePanel::restoreHold() {
    const bool hold = defaults_.boolForKey(kHoldKey);
    if (holdToggleBtn_) holdToggleBtn_->setIsPressedDown(hold);
    engine_.setHoldTapPadTracks(hold);
}

void PadSamplePanel::cutBtnPressed() {
    defaults_.setBool(kCutKey, isDown(cutBtn_));
    engine_.setCutTapPadTracks(isDown(cutBtn_));
}

void PadSamplePanel::holdBtnPressed() {
    defaults_.setBool(kHoldKey, isDown(holdToggleBtn_));
    engine_.setHoldTapPadTracks(isDown(holdToggleBtn_));
}

void PadSamplePanel::sampleVolumeBtnPressed() {
    const bool down = isDown(sampleVolumeBtn_);
    defaults_.setBool("SampleVolume", down);
    if (down) {
        pad_views::press(sampleMuteBtn_, false, [this] { muteBtnPressed(); });
        pad_views::press(sampleSoloBtn_, false, [this] { soloBtnPressed(); });
        host_.sampleVolumesShown(true);
        trackVolumeSliders_.clear();
        editedTrackVolumes_.clear();
        for (kit::Button* pad : host_.pads()) {
            auto slider = std::make_unique<VolumeSliderControl>(gf_.guiType());
            double x = std::trunc(pad->x() + pad->width() * 0.5 - slider->width() * 0.5);
            double y = std::trunc(pad->y() + pad->height() * 0.5 - slider->height() * 0.5);
            int tag = pad->tag();
            slider->setTag(tag);
            slider->setX(x, y);
            slider->setDefaultPosition(0.6666667f);
            slider->addTarget(kit::valueChanged, [this, tag](kit::Control&) { trackVolumeChanged(tag); });
            slider->setCurrentPosition(engine_.volumeForTrack(host_.padPath(tag)) / kTrackVolumeRange);
            trackVolumeSliders_.push_back(host_.padsContainer().add(std::move(slider)));
        }
    } else {
        keepEditedTrackVolumes();
        editedTrackVolumes_.clear();
        for (VolumeSliderControl* slider : trackVolumeSliders_) slider->removeFromSuperview();
        trackVolumeSliders_.clear();
        host_.sampleVolumesShown(false);
    }
}

void PadSamplePanel::keepEditedTrackVolumes() {
    // Those of the bank shown, and those set on other banks shown meanwhile.
    if (trackVolumeSliders_.empty()) return;
    for (const auto& [pad, path] : engine_.currentSoundbankFilePathsByIdx())
        editedTrackVolumes_[path] = engine_.volumeForTrack(path);
    for (const auto& [path, volume] : editedTrackVolumes_) library_.setSampleVolume(path, volume);
    library_.save();
}

void PadSamplePanel::trackVolumeChanged(int pad) {
    for (VolumeSliderControl* slider : trackVolumeSliders_) {
        if (slider->tag() == pad) {
            std::string path = host_.padPath(pad);
            if (path.empty()) continue;
            engine_.setVolumeForTrack(slider->currentPosition() * kTrackVolumeRange, path);
            editedTrackVolumes_[path] = engine_.volumeForTrack(path);
        }
    }
}

void PadSamplePanel::showBankVolumes() {
    if (!isDown(sampleVolumeBtn_)) return;
    for (size_t pad = 0; pad < trackVolumeSliders_.size(); ++pad)
        trackVolumeSliders_[pad]->setCurrentPosition(engine_.volumeForTrack(host_.padPath(int(pad))) /
                                                     kTrackVolumeRange);
}

void PadSamplePanel::muteBtnPressed() {
    const bool down = isDown(sampleMuteBtn_);
    defaults_.setBool("SampleMute", down);
    if (down) {
        pad_views::press(sampleVolumeBtn_, false, [this] { sampleVolumeBtnPressed(); });
        pad_views::press(sampleSoloBtn_, false, [this] { soloBtnPressed(); });
    }
    host_.mutesShown(down, false);
}

void PadSamplePanel::soloBtnPressed() {
    const bool down = isDown(sampleSoloBtn_);
    defaults_.setBool("SampleSolo", down);
    if (down) {
        pad_views::press(sampleVolumeBtn_, false, [this] { sampleVolumeBtnPressed(); });
        pad_views::press(sampleMuteBtn_, false, [this] { muteBtnPressed(); });
    }
    host_.mutesShown(down, true);
}

// ---- The sample editor panel ------------------------------------------------------------

void PadSamplePanel::showEditor(kit::View& base, const QPointF& at) {
    if (editor_) return;
    host_.takePadsOff();
    editor_ = std::make_unique<editor::EditSampleViewController>(gf_.guiType(), defaults_, editorServices_);
    editor_->setDelegate(this);
    auto panel = editor_->takeView();
    panel->setX(at.x(), at.y());
    base.addSubview(std::move(panel));
}

void PadSamplePanel::dismissEditor() {
    if (!editor_) return;
    host_.putPadsBack();
    editor_->prepareForDismissal();
    editor_->view()->removeFromSuperview();
    editor_.reset();
    defaults_.removeObject(kEditorSampleKey);
}

void PadSamplePanel::finishRecording() {
    if (editor_) editor_->prepareForDismissal();
}

void PadSamplePanel::detach() {
    // The editor's view calls the editor, which goes with the screen.
    if (editor_) editor_->view()->removeFromSuperview();
}

void PadSamplePanel::editSampleViewControllerWantsToClose(editor::EditSampleViewController&) { dismissEditor(); }

}  // namespace strombel::ui
