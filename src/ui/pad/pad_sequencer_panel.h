#pragma once

// The sequencer panel of the pad screen: tempo, bars and swing in the value box,
// TAP, the count-in and metronome, PLAY, REC, PATT., ERASE and FX, and the lamps
// that follow the beat.

#include <memory>

#include "platform/user_defaults.h"
#include "ui/pad/pad_screen_controls.h"
#include "ui/pad/pad_screen_services.h"

namespace strombel::ui {

/// What the sequencer panel asks of the screen it sits on. Main loop only.
class PadSequencerPanelHost {
public:
    virtual ~PadSequencerPanelHost() = default;
    /// PATT. went down (`on`) or up: the pads show and choose patterns, or play again.
    virtual void patternModeChanged(bool on) = 0;
    /// The active pattern changed while the pads show patterns: their lamps follow.
    virtual void patternLightsChanged() = 0;
    /// The pad of `pattern` flashes its lamp once (the pattern that plays, on the beat).
    virtual void flashPatternPad(uint64_t pattern) = 0;
    /// The sequencer started (`running`) or stopped, as the panel shows it now.
    virtual void playbackStateChanged(bool running) = 0;
};

/// What the sequencer value box edits.
enum RhythmConfigMode : int32_t { RhythmNone = 0, RhythmTempo = 1, RhythmBars = 2, RhythmSwing = 3 };

/// Drives the sequencer panel's controls while it is open, and the tempo lamp's
/// timer whether it is open or not; it is the value box's delegate. Main loop
/// only: the time is the main loop's clock, and so are the timers.
class PadSequencerPanel final : public SequencerScreenControlDelegate {
public:
    PadSequencerPanel(PadSequencer& sequencer, PadEngine& engine, platform::UserDefaults& defaults,
                      const GuiFactory& gf, PadSequencerPanelHost& host);
    ~PadSequencerPanel() override;
    PadSequencerPanel(const PadSequencerPanel&) = delete;
    PadSequencerPanel& operator=(const PadSequencerPanel&) = delete;

    bool isOpen() const { return leftContainer_ != nullptr; }
    /// Builds the panel's two halves on `base` (PATT. as stored, BPM down).
    void open(kit::View& base);
    /// PATT. is let go and the panel's views leave the screen.
    void close();
    /// The value box no longer calls this (its view outlives the screen).
    void detach();
    /// Stops the tempo lamp's timer (the screen's view goes).
    void stopTapTimer();

    // The buttons' actions, run when they switch.
    void bpmBtnPressed();
    void barsBtnPressed();
    void swingBtnPressed();
    void tapTimerBtnPressed();
    void playBtnPressed();
    void recordBtnPressed();
    void metronomeBtnPressed();
    void fxBtnPressed();
    void patternBtnPressed();
    void eraseBtnPressed() {}

    /// Sets the tempo (held by the sequencer to its limits), the delay to half a
    /// beat, stores it and shows it for two seconds.
    void changeBpmTo(int32_t bpm);
    void displayCurrentSequencerConfigContent();
    /// The tempo lamp flashes on every beat while nothing plays.
    void startTapTimer();
    void tapButtonFlash();
    void startPlayback();
    void stopPlayback();

    void sequencerControlMinusPressed() override;
    void sequencerControlPlusPressed() override;

    // The sequencer's messages, as the screen hears them.
    void sequencerStarted();
    void sequencerStopped();
    void activePatternChanged();
    void currentBarChanged(int32_t bar, int32_t subBar);

    int32_t rhythmConfigMode() const { return rhythmConfigMode_; }
    bool hasTapTimer() const { return tapLightTimer_ != nullptr; }
    // The panel's controls while it is open, else null.
    SmallButtonControl* bpmBtn() const { return bpmBtn_; }
    SmallButtonControl* tapTimerBtn() const { return tapTimerBtn_; }
    SmallButtonControl* barsBtn() const { return barsBtn_; }
    SmallButtonControl* swingBtn() const { return swingBtn_; }
    SmallButtonControl* playBtn() const { return playBtn_; }
    SmallButtonControl* recBtn() const { return recBtn_; }
    SmallButtonControl* metronomeBtn() const { return metronomeBtn_; }
    SmallButtonControl* fxBtn() const { return fxBtn_; }
    SmallButtonControl* patternBtn() const { return patternBtn_; }
    SmallButtonControl* eraseBtn() const { return eraseBtn_; }
    LightView* tapTimerLight() const { return tapTimerLight_; }
    SequencerScreenControl* sequencerScreen() const { return sequencerScreen_; }

private:
    /// One of BPM, BARS and SWING went down (the others go up) or up.
    void rhythmBtnPressed(SmallButtonControl* button, RhythmConfigMode mode);
    /// − (-1) or + (+1) on the value box.
    void stepRhythmValue(int step);

    PadSequencer& sequencer_;
    PadEngine& engine_;
    platform::UserDefaults& defaults_;
    const GuiFactory& gf_;
    PadSequencerPanelHost& host_;

    int32_t rhythmConfigMode_ = RhythmNone;
    double sequencerScreenAvailableTime_ = 0;
    double startTime_ = 0, lastTapTime_ = 0;
    int32_t numTapsSinceStart_ = 0;
    std::unique_ptr<kit::Timer> tapLightTimer_;

    kit::ImageView *leftContainer_ = nullptr, *rightContainer_ = nullptr;
    LightView* tapTimerLight_ = nullptr;
    SmallButtonControl *bpmBtn_ = nullptr, *tapTimerBtn_ = nullptr, *barsBtn_ = nullptr, *swingBtn_ = nullptr;
    SequencerScreenControl* sequencerScreen_ = nullptr;
    SmallButtonControl *playBtn_ = nullptr, *recBtn_ = nullptr, *metronomeBtn_ = nullptr, *fxBtn_ = nullptr,
                       *patternBtn_ = nullptr, *eraseBtn_ = nullptr;
};

}  // namespace strombel::ui
