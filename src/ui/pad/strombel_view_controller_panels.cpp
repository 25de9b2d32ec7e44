// The sequencer panel with tempo and transport, the sample panel and the
// input/output panel, and the sliders that set the engine.

#include <QStringList>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "logging/log.h"
#include "ui/editor/exchange_screens.h"
#include "ui/pad/strombel_view_controller.h"

namespace strombel::ui {

namespace {

// The sequencer's tempo limits.
constexpr int32_t kLowestTapTempo = 10, kHighestTapTempo = 300;

}  // namespace

double StrombelViewController::now() const { return double(kit::Context::current().loop().nowNanos()) / 1e9; }

// ---- Sequencer panel ------------------------------------------------------------

void StrombelViewController::buildSequencerPanel() {
    const double L = gf_->innerControlLeftMargin(), T = gf_->innerControlTopMargin(), S = gf_->smallBtnXSpace();
    sequencerLeftControlsContainer_ = makePanel(gf_->controlsLeftX(), gf_->middleControlsY(), gf_->controlsWidth(),
                                                gf_->controlsHeight(), "linesRhythmControls");
    sequencerRightControlsContainer_ = makePanel(gf_->controlsRightX(), gf_->middleControlsY(),
                                                 gf_->controlsWidth(), gf_->controlsHeight(), "linesSequencerControls");
    auto* left = sequencerLeftControlsContainer_;
    auto* right = sequencerRightControlsContainer_;

    bpmBtn_ = makeSmallButton(left, L, T, "BPM");
    toggleOnValue(bpmBtn_, &StrombelViewController::bpmBtnPressed);
    tapTimerBtn_ = makeSmallButton(left, L + S, T, "TAP", &tapTimerLight_);
    tapTimerBtn_->addTarget(kit::touchDown, [this](kit::Control&) { tapTimerBtnPressed(); });
    auto screenControl = std::make_unique<SequencerScreenControl>(guiType_);
    screenControl->setX(L + 2 * S, T);
    screenControl->setDelegate(this);
    sequencerScreen_ = left->add(std::move(screenControl));
    makeCaption(left, sequencerScreen_->x(), gf_->labelY(), std::trunc(sequencerScreen_->width()), "RHYTHM");
    barsBtn_ = makeSmallButton(left, L + 4 * S, T, "BARS");
    toggleOnValue(barsBtn_, &StrombelViewController::barsBtnPressed);
    swingBtn_ = makeSmallButton(left, L + 5 * S, T, "SWING");
    toggleOnValue(swingBtn_, &StrombelViewController::swingBtnPressed);

    playBtn_ = makeSmallButton(right, L, T, "PLAY");
    toggleOnValue(playBtn_, &StrombelViewController::playBtnPressed);
    playBtn_->setIsPressedDown(services_.sequencer->isRunning());
    recBtn_ = makeSmallButton(right, L + S, T, "REC");
    toggleOnValue(recBtn_, &StrombelViewController::recordBtnPressed);
    metronomeBtn_ = makeSmallButton(right, L + 2 * S, T, "MET.");
    toggleOnValue(metronomeBtn_, &StrombelViewController::metronomeBtnPressed);
    metronomeBtn_->setIsPressedDown(services_.sequencer->useMetronome());
    fxBtn_ = makeSmallButton(right, L + 3 * S, T, "FX");
    toggleOnValue(fxBtn_, &StrombelViewController::fxBtnPressed);
    fxBtn_->setIsPressedDown(!services_.engine->applyFxToTapPadOnly());
    patternBtn_ = makeSmallButton(right, L + 4 * S, T, "PATT.");
    toggleOnValue(patternBtn_, &StrombelViewController::patternBtnPressed);
    if (defaults_.boolForKey("PatternMode")) press(patternBtn_, true, &StrombelViewController::patternBtnPressed);
    eraseBtn_ = makeSmallButton(right, L + 5 * S, T, "ERASE");
    toggleOnValue(eraseBtn_, &StrombelViewController::eraseBtnPressed);

    press(bpmBtn_, true, &StrombelViewController::bpmBtnPressed);
}

void StrombelViewController::bpmBtnPressed() {
    if (buttonDown(bpmBtn_)) {
        if (barsBtn_) barsBtn_->setIsPressedDown(false);
        if (swingBtn_) swingBtn_->setIsPressedDown(false);
        rhythmConfigMode_ = RhythmTempo;
    } else {
        rhythmConfigMode_ = RhythmNone;
    }
    displayCurrentSequencerConfigContent();
}

void StrombelViewController::barsBtnPressed() {
    if (buttonDown(barsBtn_)) {
        if (bpmBtn_) bpmBtn_->setIsPressedDown(false);
        if (swingBtn_) swingBtn_->setIsPressedDown(false);
        rhythmConfigMode_ = RhythmBars;
    } else {
        rhythmConfigMode_ = RhythmNone;
    }
    displayCurrentSequencerConfigContent();
}

void StrombelViewController::swingBtnPressed() {
    if (buttonDown(swingBtn_)) {
        if (bpmBtn_) bpmBtn_->setIsPressedDown(false);
        if (barsBtn_) barsBtn_->setIsPressedDown(false);
        rhythmConfigMode_ = RhythmSwing;
    } else {
        rhythmConfigMode_ = RhythmNone;
    }
    displayCurrentSequencerConfigContent();
}

void StrombelViewController::displayCurrentSequencerConfigContent() {
    if (!sequencerScreen_) return;
    switch (rhythmConfigMode_) {
        case RhythmNone:
            sequencerScreen_->setText("-.-");
            sequencerScreenAvailableTime_ = 0;
            return;
        case RhythmTempo:
            sequencerScreen_->setAmount(services_.sequencer->bpm(), "BPM");
            break;
        case RhythmBars:
            sequencerScreen_->setAmount(int(services_.sequencer->activePatternNumBars()),
                                        services_.sequencer->activePatternNumBars() == 1 ? "BAR" : "BARS");
            break;
        case RhythmSwing:
            sequencerScreen_->setText(QString::asprintf("%.0f%%", double(services_.sequencer->swing()) * 100));
            break;
        default:
            STROMBEL_LOG_ERROR("invalid RCM: {}", rhythmConfigMode_);
            return;
    }
    sequencerScreenAvailableTime_ = now() + 2.0;
}

void StrombelViewController::sequencerControlMinusPressed() {
    switch (rhythmConfigMode_) {
        case RhythmNone: break;
        case RhythmTempo: changeBpmTo(services_.sequencer->bpm() - 1); break;
        case RhythmBars: services_.sequencer->changeNumBarsTo(int64_t(services_.sequencer->activePatternNumBars()) - 1); break;
        case RhythmSwing:
            services_.sequencer->setSwing(services_.sequencer->swing() - 0.1f);
            defaults_.setDouble("SwingPercentage", services_.sequencer->swing());
            break;
        default: STROMBEL_LOG_ERROR("unknown RhythmConfigMode"); break;
    }
    displayCurrentSequencerConfigContent();
}

void StrombelViewController::sequencerControlPlusPressed() {
    switch (rhythmConfigMode_) {
        case RhythmNone: break;
        case RhythmTempo: changeBpmTo(services_.sequencer->bpm() + 1); break;
        case RhythmBars: services_.sequencer->changeNumBarsTo(int64_t(services_.sequencer->activePatternNumBars()) + 1); break;
        case RhythmSwing:
            services_.sequencer->setSwing(services_.sequencer->swing() + 0.1f);
            defaults_.setDouble("SwingPercentage", services_.sequencer->swing());
            break;
        default: STROMBEL_LOG_ERROR("unknown RhythmConfigMode"); break;
    }
    displayCurrentSequencerConfigContent();
}

void StrombelViewController::changeBpmTo(int32_t bpm) {
    services_.sequencer->setBpm(bpm);
    const float beats = float(services_.sequencer->bpm());
    const float delay = (1.0f / (beats / 60.0f)) * 0.5f;
    services_.engine->setSetting(PadEngine::Setting::delayTime, delay);
    if (services_.engine->setting(PadEngine::Setting::delayTime) < 0.1f)
        services_.engine->setSetting(PadEngine::Setting::delayTime, 0.1f);
    if (services_.engine->setting(PadEngine::Setting::delayTime) >= 2.5f)
        services_.engine->setSetting(PadEngine::Setting::delayTime, 2.5f);
    defaults_.setInteger("BeatsPerMinute", services_.sequencer->bpm());
    if (!buttonDown(playBtn_)) startTapTimer();
    if (sequencerScreen_) {
        sequencerScreen_->setAmount(services_.sequencer->bpm(), "BPM");
        sequencerScreenAvailableTime_ = now() + 2.0;
    }
}

void StrombelViewController::startTapTimer() {
    if (tapLightTimer_) tapLightTimer_->invalidate();
    double beat = 2.0 * double(services_.engine->setting(PadEngine::Setting::delayTime));
    tapLightTimer_ = kit::Timer::scheduled(beat, true, [this] { tapButtonFlash(); });
}

void StrombelViewController::tapButtonFlash() {
    if (tapTimerLight_) tapTimerLight_->flashOnce();
    if (buttonDown(patternBtn_)) {
        uint64_t active = services_.sequencer->activePatternIdx();
        if (active < tapButtonLights_.size()) tapButtonLights_[active]->flashOnce();
    }
}

void StrombelViewController::tapTimerBtnPressed() {
    // TAP sets the tempo: − and + set it afterwards too, and the box shows it.
    if (rhythmConfigMode_ != RhythmTempo && bpmBtn_) press(bpmBtn_, true, &StrombelViewController::bpmBtnPressed);
    const double time = now();
    // The very first tap always starts a run, however early the clock is.
    if (numTapsSinceStart_ == 0 || time - lastTapMillis_ > 1.0) {
        STROMBEL_LOG_DEBUG("reset tap timer btn");
        startTimeMillis_ = time;
        numTapsSinceStart_ = 1;
    } else {
        ++numTapsSinceStart_;
    }
    lastTapMillis_ = time;
    if (numTapsSinceStart_ >= 2) {
        double interval = (time - startTimeMillis_) / (numTapsSinceStart_ - 1);
        // Taps at one instant give no tempo; a tempo is held to what the
        // sequencer plays before it becomes an integer.
        if (!(interval > 0)) return;
        int32_t tempo = int32_t(std::clamp(60.0 / interval + 0.5, double(kLowestTapTempo), double(kHighestTapTempo)));
        changeBpmTo(tempo);
        STROMBEL_LOG_DEBUG("bpm set to {} ({:.3f})", tempo, 60.0 / interval);
    }
}

void StrombelViewController::playBtnPressed() {
    if (buttonDown(playBtn_)) startPlayback();
    else stopPlayback();
}

void StrombelViewController::recordBtnPressed() {
    if (!buttonDown(recBtn_)) {
        eraseBtnPressed();
        return;
    }
    if (!buttonDown(playBtn_)) {
        if (playBtn_) playBtn_->setIsPressedDown(true);
        services_.sequencer->playWithPreBar(true);
        sequencerScreenAvailableTime_ = now();
        if (tapLightTimer_) tapLightTimer_->invalidate();
        tapLightTimer_.reset();
    }
    if (eraseBtn_) eraseBtn_->setIsPressedDown(false);
}

void StrombelViewController::metronomeBtnPressed() { services_.sequencer->setUseMetronome(buttonDown(metronomeBtn_)); }

void StrombelViewController::fxBtnPressed() { services_.engine->setApplyFxToTapPadOnly(!buttonDown(fxBtn_)); }

void StrombelViewController::patternBtnPressed() {
    const bool down = buttonDown(patternBtn_);
    defaults_.setBool("PatternMode", down);
    if (down) {
        tapPadsState_ = TapPadsPattern;
        for (int pad = 0; pad < int(tapButtonLabels_.size()); ++pad)
            tapButtonLabels_[size_t(pad)]->setText(QString::asprintf("%.2d", pad + 1));
        setTapPadLightsToPatternsIncludeActive(true);
        // Each pad gets its long-press recogniser the first time; later it is only
        // switched on and off, so that a long touch in play mode stays a touch.
        for (kit::Button* button : tapButtons_) {
            if (button->gestureRecognizers().empty()) {
                int pad = button->tag();
                button->addGestureRecognizer(std::make_unique<kit::LongPressGestureRecognizer>(
                    [this, pad](kit::GestureRecognizer& recognizer) {
                        if (recognizer.state() == kit::GestureRecognizer::State::began) tapPadLongPress(pad);
                    }));
            }
            for (const auto& recognizer : button->gestureRecognizers()) recognizer->setEnabled(true);
        }
    } else {
        tapPadsState_ = TapPadsPlay;
        displayCurrentSoundBank();
        for (kit::Button* button : tapButtons_)
            for (const auto& recognizer : button->gestureRecognizers()) recognizer->setEnabled(false);
    }
}

void StrombelViewController::startPlayback() { services_.sequencer->playWithPreBar(false); }

void StrombelViewController::stopPlayback() { services_.sequencer->stop(); }

// A start or stop caused by an outside MIDI clock reaches the screen later than
// one the user makes here: by then the sequencer may have changed again. The
// screen follows the sequencer as it is, and a message it has outlived changes
// nothing (a late stop must not end what the running sequencer plays).
void StrombelViewController::sequencerStarted() {
    if (!services_.sequencer->isRunning()) return;
    if (playBtn_) playBtn_->setIsPressedDown(true);
    sequencerScreenAvailableTime_ = now();
    if (tapLightTimer_) tapLightTimer_->invalidate();
    tapLightTimer_.reset();
    playbackIsRunning_ = true;
    if (delegate_) delegate_->playbackStateChanged(true);
}

void StrombelViewController::sequencerStopped() {
    if (services_.sequencer->isRunning()) return;
    services_.engine->stopAllTracksIncludeTapPadTriggered(false);
    if (playBtn_) playBtn_->setIsPressedDown(false);
    if (recBtn_) recBtn_->setIsPressedDown(false);
    displayCurrentSequencerConfigContent();
    startTapTimer();
    playbackIsRunning_ = false;
    if (delegate_) delegate_->playbackStateChanged(false);
}

void StrombelViewController::activePatternChanged() {
    if (buttonDown(patternBtn_)) setTapPadLightsToPatternsIncludeActive(true);
}

void StrombelViewController::currentBarChanged(int32_t bar, int32_t subBar) {
    if (now() > sequencerScreenAvailableTime_ && sequencerScreen_)
        sequencerScreen_->setText(QString::asprintf("%d.%d", bar, subBar));
    if (tapTimerLight_) tapTimerLight_->flashOnce();
    if (buttonDown(patternBtn_)) {
        uint64_t active = services_.sequencer->activePatternIdx();
        if (active < tapButtonLights_.size()) tapButtonLights_[active]->flashOnce();
    }
}

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

// ---- Input/output panel ----------------------------------------------------------------

void StrombelViewController::buildInOutPanel() {
    const double L = gf_->innerControlLeftMargin(), T = gf_->innerControlTopMargin(), S = gf_->smallBtnXSpace();
    inOutRightControlsContainer_ = makePanel(gf_->controlsRightX(), gf_->middleControlsY(), gf_->controlsWidth(),
                                             gf_->controlsHeight(), "linesInOutControls");
    auto* panel = inOutRightControlsContainer_;
    exportBtn_ = makeSmallButton(panel, L, T, "EXPRT");
    toggleOnValue(exportBtn_, &StrombelViewController::exportBtnPressed);
    midiLearnBtn_ = makeSmallButton(panel, L + S, T, "LEARN");
    toggleOnValue(midiLearnBtn_, &StrombelViewController::midiLearnBtnPressed);
    auto channel = std::make_unique<MidiChannelControl>(guiType_);
    channel->setX(L + 2 * S, T);
    channel->setMidiChannel(services_.midi->channel());
    channel->setDelegate(this);
    midiChannelControl_ = panel->add(std::move(channel));
    makeCaption(panel, midiChannelControl_->x(), gf_->labelY(), std::trunc(midiChannelControl_->width()),
                "MIDI CHANNEL");
    tappadsOrSoundbanksBtn_ = makeSmallButton(panel, L + 4 * S, T, "TPS/SB");
    toggleOnValue(tappadsOrSoundbanksBtn_, &StrombelViewController::tappadsOrSoundbanksBtnPressed);
    tappadsOrSoundbanksBtn_->setIsPressedDown(!services_.midi->notesMapToButtons());
    backgroundAudioBtn_ = makeSmallButton(panel, L + 5 * S, T, "BKGND");
    toggleOnValue(backgroundAudioBtn_, &StrombelViewController::backgroundAudioBtnPressed);
    backgroundAudioBtn_->setIsPressedDown(backgroundAudioEnabled_);

    auto ports = std::make_unique<MidiInOutControl>(guiType_, *services_.midi);
    ports->setX(gf_->controlsRightX(), gf_->bottomControlY());
    midiInOutControl_ = baseContainer_->add(std::move(ports));
}

void StrombelViewController::exportBtnPressed() {
    const bool down = buttonDown(exportBtn_);
    defaults_.setBool("ExportMode", down);
    if (!down) {
        tapPadsState_ = TapPadsPlay;
        displayCurrentSoundBank();
        return;
    }
    press(midiLearnBtn_, false, &StrombelViewController::midiLearnBtnPressed);
    tapPadsState_ = TapPadsExport;
    for (int pad = 0; pad < int(tapButtonLabels_.size()); ++pad)
        tapButtonLabels_[size_t(pad)]->setText(QString::asprintf("%.2d", pad + 1));
    setTapPadLightsToPatternsIncludeActive(false);
}

void StrombelViewController::midiLearnBtnPressed() {
    if (!buttonDown(midiLearnBtn_)) {
        if (services_.midi->midiLearnDelegate() == this) services_.midi->setMidiLearnDelegate(nullptr);
        midiLearnDelegateSet_ = false;
        services_.midi->stopMidiLearning();
        tapPadsState_ = TapPadsPlay;
        displayCurrentSoundBank();
        return;
    }
    press(exportBtn_, false, &StrombelViewController::exportBtnPressed);
    tapPadsState_ = TapPadsMidiLearn;
    setTapPadsLightsAndLabelsToMidiLearn();
    services_.midi->setMidiLearnDelegate(this);
    midiLearnDelegateSet_ = true;
}

void StrombelViewController::midiChannelChanged(int32_t channel) { services_.midi->setChannel(channel); }

void StrombelViewController::tappadsOrSoundbanksBtnPressed() {
    services_.midi->setNotesMapToButtons(!buttonDown(tappadsOrSoundbanksBtn_));
}

void StrombelViewController::backgroundAudioBtnPressed() { backgroundAudioEnabled_ = buttonDown(backgroundAudioBtn_); }

}  // namespace strombel::ui
