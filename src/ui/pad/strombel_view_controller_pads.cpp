// The tap pads and the pad modes: what a touch does in each mode, the pattern
// clipboard, the confirmations, and how lamps and labels are drawn.

#include <QStringList>

#include <utility>

#include "logging/log.h"
#include "ui/kit/problem_reporter.h"
#include "ui/pad/strombel_view_controller.h"

namespace strombel::ui {

namespace {

QString patternNumber(uint64_t pattern) { return QString::asprintf("%.2d", int(pattern + 1)); }

}  // namespace

std::string StrombelViewController::padPath(int pad) const {
    auto paths = services_.engine->currentSoundbankFilePathsByIdx();
    auto found = paths.find(pad);
    return found == paths.end() ? std::string() : found->second;
}

void StrombelViewController::showAlert(const QString& title, const QString& message, const QStringList& buttons,
                                       int tag, bool answered) {
    auto alive = std::weak_ptr<void>(lifetime_);
    kit::Context::current().alerts().showAlert(title, message, buttons,
                                               [this, alive, tag, answered](const QString& button) {
                                                   if (answered && !alive.expired()) alertClicked(button, tag);
                                               });
}

void StrombelViewController::tapPadBtnPressed(int pad) {
    if (pad < 0 || pad > 11) return;
    switch (tapPadsState_) {
        case TapPadsPlay: {
            heldPadPaths_[size_t(pad)].clear();
            std::string path = padPath(pad);
            if (path.empty()) return;
            if (!services_.engine->isTrackReady(path)) {
                STROMBEL_LOG_WARN("Warn: track not ready: {}", path);
                return;
            }
            if (buttonDown(eraseBtn())) {
                services_.engine->stopTrack(path);
                services_.sequencer->eraseAllEventsOfTrack(path);
            } else {
                services_.engine->startTrack(path, 0, true, false, true, 1.0f);
                heldPadPaths_[size_t(pad)] = path;
            }
            break;
        }
        case TapPadsPattern:
            if (buttonDown(eraseBtn())) {
                showAlert("Erase", QString("Are you sure you want to erase Pattern %1?").arg(patternNumber(pad)),
                          {"No wait!", "Erase"}, pad, true);
            } else {
                services_.sequencer->changePatternTo(uint64_t(pad));
                defaults_.setInteger("ActivePattern", pad);
            }
            break;
        case TapPadsMute: {
            bool muted = services_.engine->toggleMuteForTrack(padPath(pad));
            if (muted) tapButtonLights_[size_t(pad)]->turnOff();
            else tapButtonLights_[size_t(pad)]->turnOn();
            break;
        }
        case TapPadsSolo:
            services_.engine->toggleSoloForTrack(padPath(pad));
            setTapPadLightsToMutedSamplesOfCurrentSoundbank();
            break;
        case TapPadsSampleVolume:
            break;
        case TapPadsExport:
            if (services_.sequencer->patternHasEvents(uint64_t(pad))) {
                showAlert("Export",
                          QString("Export pattern %1 with current BPM, swing and volume to ...").arg(patternNumber(pad)),
                          {"Never mind", "Documents", "AudioExchange"}, pad, true);
            } else {
                kit::Context::current().problems().alert(
                    "Export", QString("Can't export pattern %1, it is empty").arg(patternNumber(pad)).toStdString(),
                    kit::ProblemReporter::Log::notHere);
            }
            break;
        case TapPadsMidiLearn: {
            uint64_t learning = services_.midi->midiLearnBtnIdx();
            if (learning < 12) tapButtonLights_[size_t(learning)]->turnOff();
            services_.midi->startMidiLearnForBtn(uint64_t(pad));
            tapButtonLights_[size_t(pad)]->turnOn();
            break;
        }
        default:
            break;
    }
}

void StrombelViewController::tapPadBtnReleased(int pad) {
    if (tapPadsState_ != TapPadsPlay || pad < 0 || pad > 11) return;
    // Another finger may have changed the bank while this one held the pad:
    // the sample its touch started is the one to stop.
    std::string path = std::exchange(heldPadPaths_[size_t(pad)], {});
    if (path.empty()) path = padPath(pad);
    if (!path.empty()) services_.engine->stopTrack(path);
}

void StrombelViewController::alertClicked(const QString& buttonTitle, int tag) {
    if (buttonTitle == "Erase") {
        services_.sequencer->erasePattern(uint64_t(tag));
        if (tag >= 0 && tag < 12) tapButtonLights_[size_t(tag)]->turnOff();
        if (copiedPatternIdx_ == uint64_t(tag)) copiedPatternIdx_ = kNotFound;
    } else if (buttonTitle == "Paste") {
        pasteCopiedPatternToSelectedPattern();
    } else if (buttonTitle == "Documents") {
        exportPatternToItunes(tag);
    } else if (buttonTitle == "AudioExchange") {
        exportPatternToAudioExchange(tag);
    }
}

// ---- The pattern edit menu --------------------------------------------------

void StrombelViewController::tapPadLongPress(int pad) {
    if (!buttonDown(patternBtn()) || pad < 0 || pad > 11) return;
    selectedPatternIdx_ = uint64_t(pad);
    QStringList items{"Cut", "Copy"};
    if (canPaste()) items << "Paste";
    kit::Button* button = tapButtons_[size_t(pad)];
    const QRectF target = button->mapRectToScene(button->bounds());
    auto alive = std::weak_ptr<void>(lifetime_);
    kit::Context::current().editMenu().showMenu(window_, target, items, [this, alive](const QString& item) {
        if (alive.expired()) return;
        if (item == "Cut") cut();
        else if (item == "Copy") copy();
        else if (item == "Paste") paste();
    });
}

void StrombelViewController::copy() {
    copiedPatternIdx_ = selectedPatternIdx_;
    cutPattern_ = false;
}

void StrombelViewController::cut() {
    copiedPatternIdx_ = selectedPatternIdx_;
    cutPattern_ = true;
}

void StrombelViewController::paste() {
    if (selectedPatternIdx_ == kNotFound || copiedPatternIdx_ == kNotFound || selectedPatternIdx_ == copiedPatternIdx_)
        return;
    if (services_.sequencer->patternHasEvents(selectedPatternIdx_)) {
        showAlert("Paste",
                  QString("Are you sure you want to overwrite Pattern %1?").arg(patternNumber(selectedPatternIdx_)),
                  {"No wait!", "Paste"}, int(selectedPatternIdx_), true);
    } else {
        pasteCopiedPatternToSelectedPattern();
    }
}

void StrombelViewController::pasteCopiedPatternToSelectedPattern() {
    if (selectedPatternIdx_ == kNotFound || copiedPatternIdx_ == kNotFound) return;
    services_.sequencer->copyPattern(copiedPatternIdx_, selectedPatternIdx_);
    if (cutPattern_) {
        services_.sequencer->erasePattern(copiedPatternIdx_);
        copiedPatternIdx_ = selectedPatternIdx_;
        cutPattern_ = false;
    }
    if (selectedPatternIdx_ == services_.sequencer->pendingPatternIdx())
        services_.sequencer->changePatternTo(selectedPatternIdx_);
    activePatternChanged();
}

// ---- Lamps and labels -----------------------------------------------------------

void StrombelViewController::displayCurrentSoundBank() {
    if (tapButtonLabels_.size() != 12) return;
    if (tapPadsState_ == TapPadsPattern || tapPadsState_ == TapPadsExport || tapPadsState_ == TapPadsMidiLearn) return;

    std::vector<std::string> names(12);
    std::vector<bool> named(12, false);
    for (const PadAssignment& assignment :
         services_.library->soundbankSamplesOfSoundbank(services_.engine->currentSoundBankIdx())) {
        if (uint64_t(assignment.orderId) > 11) {
            STROMBEL_LOG_ERROR("unusable soundbankSample orderId: {}, sample: {}", assignment.orderId,
                               assignment.sampleName);
        } else if (!assignment.hasSample) {
            STROMBEL_LOG_ERROR("soundbankSample or sample is nil for pad: {}", assignment.orderId);
        } else {
            names[size_t(assignment.orderId)] = assignment.sampleName;
            named[size_t(assignment.orderId)] = true;
        }
    }
    for (size_t pad = 0; pad < 12; ++pad) {
        QString text = named[pad] ? QString::fromStdString(names[pad]) : QString("[ %1]").arg(pad + 1);
        tapButtonLabels_[pad]->setText(text.toUpper());
    }
    if (buttonDown(sampleSoloBtn()) || buttonDown(sampleMuteBtn())) {
        setTapPadLightsToMutedSamplesOfCurrentSoundbank();
    } else {
        setTapPadLightsToSamplesPlayingOfCurrentSoundbank();
    }
    samplePanel_.showBankVolumes();
}

void StrombelViewController::setTapPadLightsToSamplesPlayingOfCurrentSoundbank() {
    auto paths = services_.engine->currentSoundbankFilePathsByIdx();
    for (int pad = 0; pad < int(tapButtonLights_.size()); ++pad) {
        auto found = paths.find(pad);
        if (found != paths.end() && services_.engine->isPlaying(found->second)) tapButtonLights_[size_t(pad)]->turnOn();
        else tapButtonLights_[size_t(pad)]->turnOff();
    }
}

void StrombelViewController::setTapPadLightsToMutedSamplesOfCurrentSoundbank() {
    auto paths = services_.engine->currentSoundbankFilePathsByIdx();
    for (int pad = 0; pad < int(tapButtonLights_.size()); ++pad) {
        auto found = paths.find(pad);
        std::string path = found == paths.end() ? std::string() : found->second;
        if (services_.engine->trackIsMuted(path)) tapButtonLights_[size_t(pad)]->turnOff();
        else tapButtonLights_[size_t(pad)]->turnOn();
    }
}

void StrombelViewController::setTapPadLightsToPatternsIncludeActive(bool includeActive) {
    for (int pad = 0; pad < int(tapButtonLights_.size()); ++pad) {
        LightView* light = tapButtonLights_[size_t(pad)];
        if (includeActive && uint64_t(pad) == services_.sequencer->pendingPatternIdx()) {
            light->keepFlashingSlowly();
        } else if (services_.sequencer->patternHasEvents(uint64_t(pad))) {
            light->turnOn();
        } else {
            light->turnOff();
        }
    }
}

void StrombelViewController::setTapPadsLightsAndLabelsToMidiLearn() {
    auto notes = services_.midi->buttonIdxToNoteMap();
    uint64_t learning = services_.midi->midiLearnBtnIdx();
    for (int pad = 0; pad < int(tapButtonLabels_.size()); ++pad) {
        auto note = notes.find(pad);
        tapButtonLabels_[size_t(pad)]->setText(note == notes.end() ? QString("--") : QString::number(note->second));
        if (uint64_t(pad) == learning) tapButtonLights_[size_t(pad)]->turnOn();
        else tapButtonLights_[size_t(pad)]->turnOff();
    }
}

// ---- Engine and MIDI messages (on the main loop) --------------------------------

void StrombelViewController::trackStarted(const std::string& path, bool fromTapPad) {
    if (rootViewPointer_) startMeterTimer();
    if (tapPadsState_ == TapPadsPlay || tapPadsState_ == TapPadsSampleVolume) {
        for (const auto& [pad, padPath] : services_.engine->currentSoundbankFilePathsByIdx()) {
            if (padPath == path && pad >= 0 && pad < int(tapButtonLights_.size())) {
                tapButtonLights_[size_t(pad)]->turnOn();
                break;
            }
        }
    }
    if (buttonDown(recBtn()) && fromTapPad) services_.sequencer->recordSequencerEventForSample(path, 0);
}

void StrombelViewController::trackStopped(const std::string& path, bool fromTapPad) {
    if (buttonDown(recBtn()) && fromTapPad) services_.sequencer->recordSequencerEventForSample(path, 1);
    trackFinishedPlaying(path);
}

void StrombelViewController::trackFinishedPlaying(const std::string& path) {
    if (tapPadsState_ != TapPadsPlay && tapPadsState_ != TapPadsSampleVolume) return;
    for (const auto& [pad, padPath] : services_.engine->currentSoundbankFilePathsByIdx()) {
        if (padPath == path && pad >= 0 && pad < int(tapButtonLights_.size())) {
            tapButtonLights_[size_t(pad)]->turnOff();
            break;
        }
    }
}

void StrombelViewController::audioRouteChangedStopAudio() { stopPlayback(); }

void StrombelViewController::sampleUnreadable(const std::string& message) {
    // The engine logged it when the file would not read.
    kit::Context::current().problems().alert("Sample", message, kit::ProblemReporter::Log::notHere);
}

void StrombelViewController::midiLearnBtnChangedToNote(int32_t, int32_t) {
    if (tapPadsState_ == TapPadsMidiLearn) setTapPadsLightsAndLabelsToMidiLearn();
}

// ---- What the panel controllers ask of the pads ------------------------------------------

void StrombelViewController::showPatternsOnPads(bool on) {
    if (on) {
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

void StrombelViewController::PanelHost::patternModeChanged(bool on) { screen_.showPatternsOnPads(on); }

void StrombelViewController::PanelHost::patternLightsChanged() {
    screen_.setTapPadLightsToPatternsIncludeActive(true);
}

void StrombelViewController::PanelHost::flashPatternPad(uint64_t pattern) {
    if (pattern < screen_.tapButtonLights_.size()) screen_.tapButtonLights_[pattern]->flashOnce();
}

void StrombelViewController::PanelHost::playbackStateChanged(bool running) {
    screen_.playbackIsRunning_ = running;
    if (screen_.delegate_) screen_.delegate_->playbackStateChanged(running);
}

void StrombelViewController::PanelHost::showPadsPlaying() {
    screen_.tapPadsState_ = TapPadsPlay;
    screen_.displayCurrentSoundBank();
}

void StrombelViewController::PanelHost::showPatternsToExport() {
    screen_.tapPadsState_ = TapPadsExport;
    for (int pad = 0; pad < int(screen_.tapButtonLabels_.size()); ++pad)
        screen_.tapButtonLabels_[size_t(pad)]->setText(QString::asprintf("%.2d", pad + 1));
    screen_.setTapPadLightsToPatternsIncludeActive(false);
}

void StrombelViewController::PanelHost::showMidiLearn() {
    screen_.tapPadsState_ = TapPadsMidiLearn;
    screen_.setTapPadsLightsAndLabelsToMidiLearn();
}

void StrombelViewController::PanelHost::sampleVolumesShown(bool on) {
    screen_.tapPadsState_ = on ? TapPadsSampleVolume : TapPadsPlay;
}

void StrombelViewController::PanelHost::mutesShown(bool on, bool solo) {
    if (on) {
        screen_.tapPadsState_ = solo ? TapPadsSolo : TapPadsMute;
        screen_.setTapPadLightsToMutedSamplesOfCurrentSoundbank();
    } else {
        screen_.tapPadsState_ = TapPadsPlay;
        screen_.setTapPadLightsToSamplesPlayingOfCurrentSoundbank();
    }
}

}  // namespace strombel::ui
