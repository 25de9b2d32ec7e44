#pragma once

// The input/output panel of the pad screen: EXPRT and LEARN (what a pad touch
// does there), the MIDI channel, whether notes play pads or choose banks, play
// in the background, and the MIDI ports panel beside it.

#include "platform/user_defaults.h"
#include "ui/pad/pad_screen_controls.h"
#include "ui/pad/pad_screen_services.h"

namespace strombel::ui {

/// What the input/output panel asks of the screen it sits on. Main loop only.
class PadInOutPanelHost {
public:
    virtual ~PadInOutPanelHost() = default;
    /// A pad touch plays again: the pads show the current bank.
    virtual void showPadsPlaying() = 0;
    /// EXPRT down: the pads show the patterns to export.
    virtual void showPatternsToExport() = 0;
    /// LEARN down: the pads show what they learned, and a touch picks one to learn.
    virtual void showMidiLearn() = 0;
};

/// Drives the input/output panel while it is open; it is the MIDI channel box's
/// delegate, and hands the hub's learn role to `learnObserver` (the screen, which
/// shows learned notes on the pads) while LEARN is down. Main loop only.
class PadInOutPanel final : public MidiChannelControlDelegate {
public:
    /// `midi` may be null on a screen without a hub, whose panel never opens.
    PadInOutPanel(PadMidi* midi, platform::UserDefaults& defaults, const GuiFactory& gf, PadInOutPanelHost& host,
                  PadMidiLearnObserver& learnObserver);
    PadInOutPanel(const PadInOutPanel&) = delete;
    PadInOutPanel& operator=(const PadInOutPanel&) = delete;

    bool isOpen() const { return container_ != nullptr; }
    /// Builds the panel on `base` at the right of the middle row, the ports panel below it.
    void open(kit::View& base);
    /// EXPRT and LEARN go up and the panel's views (the ports panel too) leave the screen.
    void close();
    /// The views no longer call this, and the ports panel leaves the hub (the
    /// views outlive the screen).
    void detach();
    /// A ports panel and a MIDI learn left on while another screen was shown
    /// take the hub's roles back.
    void retakeHubRoles();

    // The buttons' actions, run when they switch.
    void exportBtnPressed();
    void midiLearnBtnPressed();
    void tappadsOrSoundbanksBtnPressed();
    void backgroundAudioBtnPressed();
    void midiChannelChanged(int32_t channel) override;

    /// Not stored: off at every start.
    bool backgroundAudioEnabled() const { return backgroundAudioEnabled_; }
    void setBackgroundAudioEnabled(bool enabled) { backgroundAudioEnabled_ = enabled; }

    // The panel's controls while it is open, else null.
    SmallButtonControl* exportBtn() const { return exportBtn_; }
    SmallButtonControl* midiLearnBtn() const { return midiLearnBtn_; }
    SmallButtonControl* tappadsOrSoundbanksBtn() const { return tappadsOrSoundbanksBtn_; }
    SmallButtonControl* backgroundAudioBtn() const { return backgroundAudioBtn_; }
    MidiChannelControl* midiChannelControl() const { return midiChannelControl_; }
    MidiInOutControl* midiInOutControl() const { return midiInOutControl_; }

private:
    PadMidi* midi_;
    platform::UserDefaults& defaults_;
    const GuiFactory& gf_;
    PadInOutPanelHost& host_;
    PadMidiLearnObserver& learnObserver_;

    /// LEARN gave the hub's learn role to the screen (given back on its return).
    bool learnRoleGiven_ = false;
    bool backgroundAudioEnabled_ = false;
    kit::ImageView* container_ = nullptr;
    SmallButtonControl *exportBtn_ = nullptr, *midiLearnBtn_ = nullptr, *tappadsOrSoundbanksBtn_ = nullptr,
                       *backgroundAudioBtn_ = nullptr;
    MidiChannelControl* midiChannelControl_ = nullptr;
    MidiInOutControl* midiInOutControl_ = nullptr;
};

}  // namespace strombel::ui
