// The sample panel.

#include <QStringList>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "logging/log.h"
#include "ui/editor/exchange_screens.h"
#include "ui/pad/strombel_view_controller.h"

namespace strombel::ui {

namespace {


}  // namespace

// ---- Sample panel -------------------------------------------------------------------

void StrombelViewController::buildSampleOptionsPanel() {
    const double L = gf_->innerControlLeftMargin(), T = gf_->innerControlTopMargin(), S = gf_->smallBtnXSpace();
    sampleOptionsRightControlsContainer_ = makePanel(gf_->controlsRightX(), gf_->middleControlsY(),
                                                     gf_->controlsWidth(), gf_->controlsHeight(),
                                                     "linesSequencerControls");
    auto* panel = sampleOptionsRightControlsContainer_;
    cutBtn_ = makeSmallButton(panel, L, T, "CUT");
    toggleOnRelease(cutBtn_, &StrombelViewController::cutBtnPressed);
    cutBtn_->setIsPressedDown(defaults_.boolForKey("CutSamples"));
    holdToggleBtn_ = makeSmallButton(panel, L + S, T, "HOLD");
    toggleOnRelease(holdToggleBtn_, &StrombelViewController::holdBtnPressed);
    holdToggleBtn_->setIsPressedDown(defaults_.boolForKey("HoldToggle"));
    sampleVolumeBtn_ = makeSmallButton(panel, L + 2 * S, T, "VOL.");
    toggleOnValue(sampleVolumeBtn_, &StrombelViewController::sampleVolumeBtnPressed);
    sampleMuteBtn_ = makeSmallButton(panel, L + 3 * S, T, "MUTE");
    toggleOnValue(sampleMuteBtn_, &StrombelViewController::muteBtnPressed);
    sampleSoloBtn_ = makeSmallButton(panel, L + 4 * S, T, "SOLO");
    toggleOnValue(sampleSoloBtn_, &StrombelViewController::soloBtnPressed);
    micInBtn_ = makeSmallButton(panel, L + 5 * S, T, "MIC-IN");
    micInBtn_->addTarget(kit::valueChanged, [this](kit::Control&) { micInBtnPressed(); });

    press(sampleVolumeBtn_, defaults_.boolForKey("SampleVolume"), &StrombelViewController::sampleVolumeBtnPressed);
    if (defaults_.boolForKey("SampleMute")) press(sampleMuteBtn_, true, &StrombelViewController::muteBtnPressed);
    if (defaults_.boolForKey("SampleSolo")) press(sampleSoloBtn_, true, &StrombelViewController::soloBtnPressed);
}

void StrombelViewController::cutBtnPressed() {
    defaults_.setBool("CutSamples", buttonDown(cutBtn_));
    services_.engine->setCutTapPadTracks(buttonDown(cutBtn_));
}

void StrombelViewController::holdBtnPressed() {
    defaults_.setBool("HoldToggle", buttonDown(holdToggleBtn_));
    services_.engine->setHoldTapPadTracks(buttonDown(holdToggleBtn_));
}

void StrombelViewController::sampleVolumeBtnPressed() {
    const bool down = buttonDown(sampleVolumeBtn_);
    defaults_.setBool("SampleVolume", down);
    if (down) {
        press(sampleMuteBtn_, false, &StrombelViewController::muteBtnPressed);
        press(sampleSoloBtn_, false, &StrombelViewController::soloBtnPressed);
        tapPadsState_ = TapPadsSampleVolume;
        trackVolumeSliderControls_.clear();
        editedTrackVolumes_.clear();
        for (kit::Button* pad : tapButtons_) {
            auto slider = std::make_unique<VolumeSliderControl>(guiType_);
            double x = std::trunc(pad->x() + pad->width() * 0.5 - slider->width() * 0.5);
            double y = std::trunc(pad->y() + pad->height() * 0.5 - slider->height() * 0.5);
            int tag = pad->tag();
            slider->setTag(tag);
            slider->setX(x, y);
            slider->setDefaultPosition(0.6666667f);
            slider->addTarget(kit::valueChanged, [this, tag](kit::Control&) { trackVolumeChanged(tag); });
            slider->setCurrentPosition(services_.engine->volumeForTrack(padPath(tag)) / 1.5f);
            trackVolumeSliderControls_.push_back(tapButtonsContainer_->add(std::move(slider)));
        }
    } else {
        keepEditedTrackVolumes();
        editedTrackVolumes_.clear();
        for (VolumeSliderControl* slider : trackVolumeSliderControls_) slider->removeFromSuperview();
        trackVolumeSliderControls_.clear();
        tapPadsState_ = TapPadsPlay;
    }
}

void StrombelViewController::keepEditedTrackVolumes() {
    // Those of the bank shown, and those set on other banks shown meanwhile.
    if (trackVolumeSliderControls_.empty()) return;
    for (const auto& [pad, path] : services_.engine->currentSoundbankFilePathsByIdx())
        editedTrackVolumes_[path] = services_.engine->volumeForTrack(path);
    for (const auto& [path, volume] : editedTrackVolumes_) services_.library->setSampleVolume(path, volume);
    services_.library->save();
}

void StrombelViewController::trackVolumeChanged(int pad) {
    for (VolumeSliderControl* slider : trackVolumeSliderControls_) {
        if (slider->tag() == pad) {
            std::string path = padPath(pad);
            if (path.empty()) continue;
            services_.engine->setVolumeForTrack(slider->currentPosition() * 1.5f, path);
            editedTrackVolumes_[path] = services_.engine->volumeForTrack(path);
        }
    }
}

void StrombelViewController::muteBtnPressed() {
    const bool down = buttonDown(sampleMuteBtn_);
    defaults_.setBool("SampleMute", down);
    if (down) {
        press(sampleVolumeBtn_, false, &StrombelViewController::sampleVolumeBtnPressed);
        press(sampleSoloBtn_, false, &StrombelViewController::soloBtnPressed);
        tapPadsState_ = TapPadsMute;
        setTapPadLightsToMutedSamplesOfCurrentSoundbank();
    } else {
        tapPadsState_ = TapPadsPlay;
        setTapPadLightsToSamplesPlayingOfCurrentSoundbank();
    }
}

void StrombelViewController::soloBtnPressed() {
    const bool down = buttonDown(sampleSoloBtn_);
    defaults_.setBool("SampleSolo", down);
    if (down) {
        press(sampleVolumeBtn_, false, &StrombelViewController::sampleVolumeBtnPressed);
        press(sampleMuteBtn_, false, &StrombelViewController::muteBtnPressed);
        tapPadsState_ = TapPadsSolo;
        setTapPadLightsToMutedSamplesOfCurrentSoundbank();
    } else {
        tapPadsState_ = TapPadsPlay;
        setTapPadLightsToSamplesPlayingOfCurrentSoundbank();
    }
}

}  // namespace strombel::ui
