#include "ui/pad/pad_sequencer_panel.h"

#include <algorithm>
#include <cmath>

#include "logging/log.h"
#include "ui/pad/pad_panel_views.h"

namespace strombel::ui {

namespace {

// The tempo limits of TAP.
constexpr int32_t kLowestTapTempo = 10, kHighestTapTempo = 300;
// How long the value box shows a value before the bar count may take it again.
constexpr double kValueShownSeconds = 2.0;

using pad_views::isDown;
using pad_views::nowSeconds;

}  // namespace

PadSequencerPanel::PadSequencerPanel(PadSequencer& sequencer, PadEngine& engine, platform::UserDefaults& defaults,
                                     const GuiFactory& gf, PadSequencerPanelHost& host)
    : sequencer_(sequencer), engine_(engine), defaults_(defaults), gf_(gf), host_(host) {}

PadSequencerPanel::~PadSequencerPanel() { stopTapTimer(); }

void PadSequencerPanel::open(kit::View& base) {
    if (isOpen()) return;
    const GuiType type = gf_.guiType();
    const double L = gf_.innerControlLeftMargin(), T = gf_.innerControlTopMargin(), S = gf_.smallBtnXSpace();
    leftContainer_ = pad_views::addPanel(
        base, type, QRectF(gf_.controlsLeftX(), gf_.middleControlsY(), gf_.controlsWidth(), gf_.controlsHeight()),
        "linesRhythmControls");
    rightContainer_ = pad_views::addPanel(
        base, type, QRectF(gf_.controlsRightX(), gf_.middleControlsY(), gf_.controlsWidth(), gf_.controlsHeight()),
        "linesSequencerControls");
    auto& left = *leftContainer_;
    auto& right = *rightContainer_;
    auto button = [&](kit::View& panel, int column, const char* label, void (PadSequencerPanel::*action)()) {
        SmallButtonControl* made = pad_views::addSmallButton(gf_, panel, L + column * S, T, label);
        pad_views::toggleOnValue(made, [this, action] { (this->*action)(); });
        return made;
    };

    bpmBtn_ = button(left, 0, "BPM", &PadSequencerPanel::bpmBtnPressed);
    tapTimerBtn_ = pad_views::addSmallButton(gf_, left, L + S, T, "TAP", &tapTimerLight_);
    tapTimerBtn_->addTarget(kit::touchDown, [this](kit::Control&) { tapTimerBtnPressed(); });
    auto screenControl = std::make_unique<SequencerScreenControl>(type);
    screenControl->setX(L + 2 * S, T);
    screenControl->setDelegate(this);
    sequencerScreen_ = left.add(std::move(screenControl));
    pad_views::addCaption(type, left, sequencerScreen_->x(), gf_.labelY(), std::trunc(sequencerScreen_->width()),
                          "RHYTHM");
    barsBtn_ = button(left, 4, "BARS", &PadSequencerPanel::barsBtnPressed);
    swingBtn_ = button(left, 5, "SWING", &PadSequencerPanel::swingBtnPressed);

    playBtn_ = button(right, 0, "PLAY", &PadSequencerPanel::playBtnPressed);
    playBtn_->setIsPressedDown(sequencer_.isRunning());
    recBtn_ = button(right, 1, "REC", &PadSequencerPanel::recordBtnPressed);
    metronomeBtn_ = button(right, 2, "MET.", &PadSequencerPanel::metronomeBtnPressed);
    metronomeBtn_->setIsPressedDown(sequencer_.useMetronome());
    fxBtn_ = button(right, 3, "FX", &PadSequencerPanel::fxBtnPressed);
    fxBtn_->setIsPressedDown(!engine_.applyFxToTapPadOnly());
    patternBtn_ = button(right, 4, "PATT.", &PadSequencerPanel::patternBtnPressed);
    if (defaults_.boolForKey("PatternMode")) pad_views::press(patternBtn_, true, [this] { patternBtnPressed(); });
    eraseBtn_ = button(right, 5, "ERASE", &PadSequencerPanel::eraseBtnPressed);

    pad_views::press(bpmBtn_, true, [this] { bpmBtnPressed(); });
}

void PadSequencerPanel::close() {
    if (!isOpen()) return;
    if (isDown(patternBtn_)) pad_views::press(patternBtn_, false, [this] { patternBtnPressed(); });
    detach();
    leftContainer_->removeFromSuperview();
    rightContainer_->removeFromSuperview();
    leftContainer_ = rightContainer_ = nullptr;
    sequencerScreen_ = nullptr;
    tapTimerLight_ = nullptr;
    bpmBtn_ = tapTimerBtn_ = barsBtn_ = swingBtn_ = nullptr;
    playBtn_ = recBtn_ = metronomeBtn_ = fxBtn_ = patternBtn_ = eraseBtn_ = nullptr;
}

void PadSequencerPanel::detach() {
    if (sequencerScreen_) sequencerScreen_->setDelegate(nullptr);
}

void PadSequencerPanel::stopTapTimer() {
    if (tapLightTimer_) tapLightTimer_->invalidate();
    tapLightTimer_.reset();
}

// ---- The value box ------------------------------------------------------------------

void PadSequencerPanel::rhythmBtnPressed(SmallButtonControl* button, RhythmConfigMode mode) {
    if (isDown(button)) {
        for (SmallButtonControl* other : {bpmBtn_, barsBtn_, swingBtn_})
            if (other && other != button) other->setIsPressedDown(false);
        rhythmConfigMode_ = mode;
    } else {
        rhythmConfigMode_ = RhythmNone;
    }
    displayCurrentSequencerConfigContent();
}

void PadSequencerPanel::bpmBtnPressed() { rhythmBtnPressed(bpmBtn_, RhythmTempo); }
void PadSequencerPanel::barsBtnPressed() { rhythmBtnPressed(barsBtn_, RhythmBars); }
void PadSequencerPanel::swingBtnPressed() { rhythmBtnPressed(swingBtn_, RhythmSwing); }

void PadSequencerPanel::displayCurrentSequencerConfigContent() {
    if (!sequencerScreen_) return;
    switch (rhythmConfigMode_) {
        case RhythmNone:
            sequencerScreen_->setText("-.-");
            sequencerScreenAvailableTime_ = 0;
            return;
        case RhythmTempo:
            sequencerScreen_->setAmount(sequencer_.bpm(), "BPM");
            break;
        case RhythmBars:
            sequencerScreen_->setAmount(int(sequencer_.activePatternNumBars()),
                                        sequencer_.activePatternNumBars() == 1 ? "BAR" : "BARS");
            break;
        case RhythmSwing:
            sequencerScreen_->setText(QString::asprintf("%.0f%%", double(sequencer_.swing()) * 100));
            break;
        default:
            STROMBEL_LOG_ERROR("invalid RCM: {}", rhythmConfigMode_);
            return;
    }
    sequencerScreenAvailableTime_ = nowSeconds() + kValueShownSeconds;
}

void PadSequencerPanel::stepRhythmValue(int step) {
    switch (rhythmConfigMode_) {
        case RhythmNone: break;
        case RhythmTempo: changeBpmTo(sequencer_.bpm() + step); break;
        case RhythmBars: sequencer_.changeNumBarsTo(int64_t(sequencer_.activePatternNumBars()) + step); break;
        case RhythmSwing:
            sequencer_.setSwing(step < 0 ? sequencer_.swing() - 0.1f : sequencer_.swing() + 0.1f);
            defaults_.setDouble("SwingPercentage", sequencer_.swing());
            break;
        default: STROMBEL_LOG_ERROR("unknown RhythmConfigMode"); break;
    }
    displayCurrentSequencerConfigContent();
}

void PadSequencerPanel::sequencerControlMinusPressed() { stepRhythmValue(-1); }
void PadSequencerPanel::sequencerControlPlusPressed() { stepRhythmValue(+1); }

// ---- Tempo ---------------------------------------------------------------------------

void PadSequencerPanel::changeBpmTo(int32_t bpm) {
    sequencer_.setBpm(bpm);
    const float beats = float(sequencer_.bpm());
    const float delay = (1.0f / (beats / 60.0f)) * 0.5f;
    engine_.setSetting(PadEngine::Setting::delayTime, delay);
    if (engine_.setting(PadEngine::Setting::delayTime) < 0.1f) engine_.setSetting(PadEngine::Setting::delayTime, 0.1f);
    if (engine_.setting(PadEngine::Setting::delayTime) >= 2.5f) engine_.setSetting(PadEngine::Setting::delayTime, 2.5f);
    defaults_.setInteger("BeatsPerMinute", sequencer_.bpm());
    if (!isDown(playBtn_)) startTapTimer();
    if (sequencerScreen_) {
        sequencerScreen_->setAmount(sequencer_.bpm(), "BPM");
        sequencerScreenAvailableTime_ = nowSeconds() + kValueShownSeconds;
    }
}

void PadSequencerPanel::startTapTimer() {
    if (tapLightTimer_) tapLightTimer_->invalidate();
    double beat = 2.0 * double(engine_.setting(PadEngine::Setting::delayTime));
    tapLightTimer_ = kit::Timer::scheduled(beat, true, [this] { tapButtonFlash(); });
}

void PadSequencerPanel::tapButtonFlash() {
    if (tapTimerLight_) tapTimerLight_->flashOnce();
    if (isDown(patternBtn_)) host_.flashPatternPad(sequencer_.activePatternIdx());
}

void PadSequencerPanel::tapTimerBtnPressed() {
    // TAP sets the tempo: − and + set it afterwards too, and the box shows it.
    if (rhythmConfigMode_ != RhythmTempo && bpmBtn_) pad_views::press(bpmBtn_, true, [this] { bpmBtnPressed(); });
    const double time = nowSeconds();
    // The very first tap always starts a run, however early the clock is.
    if (numTapsSinceStart_ == 0 || time - lastTapTime_ > 1.0) {
        STROMBEL_LOG_DEBUG("reset tap timer btn");
        startTime_ = time;
        numTapsSinceStart_ = 1;
    } else {
        ++numTapsSinceStart_;
    }
    lastTapTime_ = time;
    if (numTapsSinceStart_ >= 2) {
        double interval = (time - startTime_) / (numTapsSinceStart_ - 1);
        // Taps at one instant give no tempo; a tempo is held to what the
        // sequencer plays before it becomes an integer.
        if (!(interval > 0)) return;
        int32_t tempo = int32_t(std::clamp(60.0 / interval + 0.5, double(kLowestTapTempo), double(kHighestTapTempo)));
        changeBpmTo(tempo);
        STROMBEL_LOG_DEBUG("bpm set to {} ({:.3f})", tempo, 60.0 / interval);
    }
}

// ---- Transport -----------------------------------------------------------------------

void PadSequencerPanel::playBtnPressed() {
    if (isDown(playBtn_)) startPlayback();
    else stopPlayback();
}

void PadSequencerPanel::recordBtnPressed() {
    if (!isDown(recBtn_)) {
        eraseBtnPressed();
        return;
    }
    if (!isDown(playBtn_)) {
        if (playBtn_) playBtn_->setIsPressedDown(true);
        sequencer_.playWithPreBar(true);
        sequencerScreenAvailableTime_ = nowSeconds();
        stopTapTimer();
    }
    if (eraseBtn_) eraseBtn_->setIsPressedDown(false);
}

void PadSequencerPanel::metronomeBtnPressed() { sequencer_.setUseMetronome(isDown(metronomeBtn_)); }

void PadSequencerPanel::fxBtnPressed() { engine_.setApplyFxToTapPadOnly(!isDown(fxBtn_)); }

void PadSequencerPanel::patternBtnPressed() {
    const bool down = isDown(patternBtn_);
    defaults_.setBool("PatternMode", down);
    host_.patternModeChanged(down);
}

void PadSequencerPanel::startPlayback() { sequencer_.playWithPreBar(false); }

void PadSequencerPanel::stopPlayback() { sequencer_.stop(); }

// A start or stop caused by an outside MIDI clock reaches the screen later than
// one the user makes here: by then the sequencer may have changed again. The
// panel follows the sequencer as it is, and a message it has outlived changes
// nothing (a late stop must not end what the running sequencer plays).
void PadSequencerPanel::sequencerStarted() {
    if (!sequencer_.isRunning()) return;
    if (playBtn_) playBtn_->setIsPressedDown(true);
    sequencerScreenAvailableTime_ = nowSeconds();
    stopTapTimer();
    host_.playbackStateChanged(true);
}

void PadSequencerPanel::sequencerStopped() {
    if (sequencer_.isRunning()) return;
    engine_.stopAllTracksIncludeTapPadTriggered(false);
    if (playBtn_) playBtn_->setIsPressedDown(false);
    if (recBtn_) recBtn_->setIsPressedDown(false);
    displayCurrentSequencerConfigContent();
    startTapTimer();
    host_.playbackStateChanged(false);
}

void PadSequencerPanel::activePatternChanged() {
    if (isDown(patternBtn_)) host_.patternLightsChanged();
}

void PadSequencerPanel::currentBarChanged(int32_t bar, int32_t subBar) {
    if (nowSeconds() > sequencerScreenAvailableTime_ && sequencerScreen_)
        sequencerScreen_->setText(QString::asprintf("%d.%d", bar, subBar));
    if (tapTimerLight_) tapTimerLight_->flashOnce();
    if (isDown(patternBtn_)) host_.flashPatternPad(sequencer_.activePatternIdx());
}

}  // namespace strombel::ui
