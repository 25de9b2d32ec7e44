#pragma once

// src/ui/pad/: the pad screen, which presents the editor, information and store
// screens.
// May include: ui/editor, ui/info, ui/store, ui, ui/kit, platform, logging, Qt.

#include <QString>

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/not_found.h"
#include "platform/user_defaults.h"
#include "ui/editor/edit_sample_view_controller.h"
#include "ui/editor/exchange_screens.h"
#include "ui/gui_type.h"
#include "ui/pad/pad_effects_panel.h"
#include "ui/pad/pad_exchange_panel.h"
#include "ui/pad/pad_in_out_panel.h"
#include "ui/pad/pad_library_panel.h"
#include "ui/pad/pad_sample_panel.h"
#include "ui/pad/pad_screen_controls.h"
#include "ui/pad/pad_screen_services.h"
#include "ui/pad/pad_sequencer_panel.h"
#include "ui/pad/strombel_view_controller_delegate.h"

namespace strombel::ui {

/// The pad screen's mode: what a touch on a pad does.
enum TapPadsState : int32_t {
    TapPadsPlay = 0,
    TapPadsPattern = 1,
    TapPadsMute = 2,
    TapPadsSolo = 3,
    TapPadsSampleVolume = 4,
    TapPadsExport = 5,
    TapPadsMidiLearn = 6,
};

/// The application's main screen: twelve tap pads, the effect sliders, the output
/// meter, the bank selector and the panels that open over them. It observes the
/// engine, the sequencer, the library and the MIDI learn, and hears all of them
/// on the main loop only. When it goes it leaves every observer list it joined and
/// stops its timers. It lays the screen out and switches its panels; each panel's
/// work is done by a controller of its own (the effects, sequencer, sample, I/O,
/// export-and-paste and library panels, src/ui/pad/pad_*_panel.h), to which its
/// methods below forward.
class StrombelViewController : public PadEngineObserver,
                               public PadSequencerObserver,
                               public PadMidiLearnObserver,
                               public SoundBankControlDelegate,
                               public editor::ExchangePasteViewControllerDelegate {
public:
    static constexpr uint64_t kNotFound = platform::kNotFound;

    /// The tablet screen (gui type 0) on `services`, storing its settings in `defaults`.
    StrombelViewController(PadScreenServices services, platform::UserDefaults& defaults);
    ~StrombelViewController() override;
    StrombelViewController(const StrombelViewController&) = delete;
    StrombelViewController& operator=(const StrombelViewController&) = delete;

    // --- Life cycle ----------------------------------------------------------
    /// The root view, built on first use (`loadView` then `viewDidLoad`).
    kit::View* view();
    /// Hands the root view to its window (once the screen is shown there). The
    /// screen keeps a pointer to it; the window owns it.
    std::unique_ptr<kit::View> takeView();
    /// Restores every setting from the user defaults; runs each time the screen
    /// comes on screen.
    virtual void viewWillAppear();
    /// The screen's view goes: leaves the library, stops both timers.
    void viewDidUnload();
    /// Writes the per-pad volumes set with VOL. down so far into the library
    /// (the mode stays on); the program calls it when it ends.
    void keepEditedTrackVolumes() { samplePanel_.keepEditedTrackVolumes(); }
    /// The program ends: a recording under way in the sample editor is finished
    /// and kept (the panel stays as it is).
    void finishSampleRecording() { samplePanel_.finishRecording(); }

    /// A line across the top of the screen saying what cannot be kept (a store
    /// or settings that cannot be saved); an empty text takes it away.
    void setStorageWarning(const QString& text);
    kit::Label* storageWarning() const { return storageWarning_; }
    /// The line that tells the user the sound output was lost, or is back (for
    /// a few seconds); null while there is nothing to tell.
    kit::Label* outputNotice() const { return outputNotice_; }
    static constexpr double kOutputBackNoticeSeconds = 6.0;

    GuiType guiType() const { return guiType_; }
    const GuiFactory& gf() const { return *gf_; }
    int32_t tapPadsState() const { return tapPadsState_; }

    void setDelegate(StrombelViewControllerDelegate* delegate) { delegate_ = delegate; }
    /// The window the screen is shown in (for menus and screens presented over it).
    void setWindow(kit::Window* window) { window_ = window; }
    StrombelViewControllerDelegate* delegate() const { return delegate_; }
    bool playbackIsRunning() const { return playbackIsRunning_; }
    void setPlaybackIsRunning(bool running) { playbackIsRunning_ = running; }
    bool backgroundAudioEnabled() const { return inOutPanel_.backgroundAudioEnabled(); }
    /// Not stored: off at every start.
    void setBackgroundAudioEnabled(bool enabled) { inOutPanel_.setBackgroundAudioEnabled(enabled); }
    kit::ImageView* backgroundView() const { return backgroundView_; }

    // --- Panel buttons (actions) --------------------------------------------
    void infoBtnPressed();
    void shopBtnPressed();
    virtual void sortBtnPressed();
    void inOutBtnPressed();
    void sampleOptionsBtnPressed();
    void sequencerBtnPressed();
    void orientationBtnPressed();
    void onTimer();
    /// The meter's twenty updates a second, while anything sounds.
    void startMeterTimer();

    // --- Pads -----------------------------------------------------------------
    void tapPadBtnPressed(int pad);
    void tapPadBtnReleased(int pad);
    void tapPadLongPress(int pad);
    void copy();
    void cut();
    void paste();
    bool canPaste() const { return copiedPatternIdx_ != kNotFound; }
    void pasteCopiedPatternToSelectedPattern();
    void alertClicked(const QString& buttonTitle, int tag);
    void displayCurrentSoundBank();
    /// Notes which bank is current, so that it stays current when banks move.
    void rememberCurrentSoundbank() { libraryPanel_.rememberCurrentBank(); }
    void setTapPadLightsToSamplesPlayingOfCurrentSoundbank();
    void setTapPadLightsToMutedSamplesOfCurrentSoundbank();
    void setTapPadLightsToPatternsIncludeActive(bool includeActive);
    void setTapPadsLightsAndLabelsToMidiLearn();

    // --- Sequencer panel (its controller does the work) ------------------------
    void bpmBtnPressed() { sequencerPanel_.bpmBtnPressed(); }
    void barsBtnPressed() { sequencerPanel_.barsBtnPressed(); }
    void swingBtnPressed() { sequencerPanel_.swingBtnPressed(); }
    void tapTimerBtnPressed() { sequencerPanel_.tapTimerBtnPressed(); }
    void playBtnPressed() { sequencerPanel_.playBtnPressed(); }
    void recordBtnPressed() { sequencerPanel_.recordBtnPressed(); }
    void metronomeBtnPressed() { sequencerPanel_.metronomeBtnPressed(); }
    void fxBtnPressed() { sequencerPanel_.fxBtnPressed(); }
    void patternBtnPressed() { sequencerPanel_.patternBtnPressed(); }
    void eraseBtnPressed() { sequencerPanel_.eraseBtnPressed(); }
    void changeBpmTo(int32_t bpm) { sequencerPanel_.changeBpmTo(bpm); }
    void displayCurrentSequencerConfigContent() { sequencerPanel_.displayCurrentSequencerConfigContent(); }
    void startTapTimer() { sequencerPanel_.startTapTimer(); }
    void tapButtonFlash() { sequencerPanel_.tapButtonFlash(); }
    void startPlayback() { sequencerPanel_.startPlayback(); }
    void stopPlayback() { sequencerPanel_.stopPlayback(); }
    /// The value box's − and + (the box tells the sequencer panel itself).
    void sequencerControlMinusPressed() { sequencerPanel_.sequencerControlMinusPressed(); }
    void sequencerControlPlusPressed() { sequencerPanel_.sequencerControlPlusPressed(); }

    // --- Effects, sample and I/O panels ----------------------------------------
    void volumeSliderChanged() { effectsPanel_.volumeSliderChanged(); }
    // The six effect sliders, left to right; each hands its position to the
    // engine and stores the engine's value.
    void pitchSliderChanged() { effectSliderChanged(0); }
    void delaySliderChanged() { effectSliderChanged(1); }
    void reverbSliderChanged() { effectSliderChanged(2); }
    void cutoffSliderChanged() { effectSliderChanged(3); }
    void phaseSliderChanged() { effectSliderChanged(4); }
    void crushSliderChanged() { effectSliderChanged(5); }
    // The sample panel's buttons and volume sliders (its controller does the work).
    void cutBtnPressed() { samplePanel_.cutBtnPressed(); }
    void holdBtnPressed() { samplePanel_.holdBtnPressed(); }
    void sampleVolumeBtnPressed() { samplePanel_.sampleVolumeBtnPressed(); }
    void muteBtnPressed() { samplePanel_.muteBtnPressed(); }
    void soloBtnPressed() { samplePanel_.soloBtnPressed(); }
    void trackVolumeChanged(int pad) { samplePanel_.trackVolumeChanged(pad); }
    // The I/O panel's buttons (its controller does the work).
    void exportBtnPressed() { inOutPanel_.exportBtnPressed(); }
    void midiLearnBtnPressed() { inOutPanel_.midiLearnBtnPressed(); }
    void tappadsOrSoundbanksBtnPressed() { inOutPanel_.tappadsOrSoundbanksBtnPressed(); }
    void backgroundAudioBtnPressed() { inOutPanel_.backgroundAudioBtnPressed(); }
    /// The portrait strip slides to its other side (the SWITCH buttons): the
    /// other side of the one it shows or is on its way to, however quick the taps.
    void switchVisibleSide();
    void exportPatternToItunes(int pattern) { exchangePanel_.exportPatternToItunes(pattern); }
    void exportPatternToAudioExchange(int pattern) { exchangePanel_.exportPatternToAudioExchange(pattern); }
    void micInBtnPressed();
    MidiInOutControl* midiInOutControl() const { return inOutPanel_.midiInOutControl(); }

    // --- The name field (bank names, export names, pasted samples) ------------
    /// Shows the field with a proposed value under `prompt` (what is asked), with
    /// OK and CANCEL below it; false (and nothing shown) while one is open.
    bool editNameAppearWithValue(const QString& value, const QString& prompt);
    void dismissEditNameTextField();
    /// The typing rule: 22 characters at most, though a shorter or equal change is always allowed.
    bool shouldChangeCharacters(const kit::TextField& field, int start, int length, const QString& replacement);
    /// Applies the name; false keeps the field open.
    bool textFieldShouldReturn();
    /// OK under the field: as Return.
    void confirmEditName() { textFieldShouldReturn(); }
    kit::TextField* editNameTextfield() const { return editNameTextfield_; }
    /// The name field's question and its OK and CANCEL, while it shows.
    kit::Label* editNamePrompt() const { return editNamePrompt_; }
    kit::Button* editNameOkButton() const { return editNameOkButton_; }
    kit::Button* editNameCancelButton() const { return editNameCancelButton_; }
    uint64_t editSoundboxIdx() const { return editSoundboxIdx_; }
    uint64_t editPatternNameIdx() const { return editPatternNameIdx_; }
    bool editExchangePasteSampleName() const { return editExchangePasteSampleName_; }

    // --- Exports --------------------------------------------------------------
    /// The export under way (rendered on a thread of its own), or null.
    PadExport* runningExport() const { return exchangePanel_.runningExport(); }
    /// While an export runs: what it writes, how far it got, and its CANCEL.
    kit::Label* exportProgressLabel() const { return exchangePanel_.exportProgressLabel(); }
    kit::Button* exportCancelButton() const { return exchangePanel_.exportCancelButton(); }
    /// CANCEL: the export stops, and its half-written file goes.
    void cancelExport() { exchangePanel_.cancelExport(); }

    // --- The library browser's requests (the library panel, its delegate, hears them) ---
    void soundpackSampleWithIndexPath(const kit::IndexPath& indexPath, const QPointF& droppedAt) {
        libraryPanel_.soundpackSampleWithIndexPath(indexPath, droppedAt);
    }
    void renameSoundbank(uint64_t bankIndex) { libraryPanel_.renameSoundbank(bankIndex); }
    void editUserSample(uint64_t userSampleIndex) { libraryPanel_.editUserSample(userSampleIndex); }
    void soundbankSelected(uint64_t bankIndex) { libraryPanel_.soundbankSelected(bankIndex); }
    void engageExchangePaste() { exchangePanel_.engagePaste(); }
    /// Opens the sample editor panel, or closes it.
    void toggleSampleRecording();
    /// The paste sheet wrote a file: ask for its name.
    void didPaste(editor::ExchangePasteViewController&, const std::string& path, const std::string&,
                  const void*) override {
        exchangePanel_.didPaste(path);
    }

    // --- Sample editor panel ----------------------------------------------------
    /// Puts the sample editor panel in the pads' place (nothing when one is open).
    virtual void showEditSampleControl();
    /// Takes the editor panel away, puts the pads back and forgets its sample.
    void dismissEditSampleControl() { samplePanel_.dismissEditor(); }
    /// The editor asks to close (the sample panel, its delegate, closes it itself).
    void editSampleViewControllerWantsToClose(editor::EditSampleViewController& editor) {
        samplePanel_.editSampleViewControllerWantsToClose(editor);
    }
    editor::EditSampleViewController* editSampleViewController() const { return samplePanel_.editor(); }
    /// What the sample editor panel records, plays and edits with (given by the program).
    void setSampleEditorServices(editor::SampleEditorServices services) { samplePanel_.setEditorServices(services); }
    const editor::SampleEditorServices& sampleEditorServices() const { return samplePanel_.editorServices(); }

    // --- Observers -------------------------------------------------------------
    void trackStarted(const std::string& path, bool fromTapPad) override;
    void trackStopped(const std::string& path, bool fromTapPad) override;
    void trackFinishedPlaying(const std::string& path) override;
    void audioRouteChangedStopAudio() override;
    void audioOutputLost(const std::string& message) override;
    void audioOutputRestored(const std::string& message) override;
    void sampleUnreadable(const std::string& message) override;
    void setOutputNotice(const QString& text);
    void sequencerStarted() override { sequencerPanel_.sequencerStarted(); }
    void sequencerStopped() override { sequencerPanel_.sequencerStopped(); }
    void activePatternChanged() override { sequencerPanel_.activePatternChanged(); }
    void currentBarChanged(int32_t bar, int32_t subBar) override { sequencerPanel_.currentBarChanged(bar, subBar); }
    // The library's messages (the library panel, its observer, hears them).
    void samplesChanged() { libraryPanel_.samplesChanged(); }
    void soundbanksChanged() { libraryPanel_.soundbanksChanged(); }
    void midiLearnBtnChangedToNote(int32_t pad, int32_t note) override;
    void activeSoundbankChanged(uint64_t bankIndex) override;
    /// The dry/wet box's amount (the box tells the effects panel itself).
    void dryWetAmountChanged(float amount) { effectsPanel_.dryWetAmountChanged(amount); }
    /// The MIDI channel box's channel (the box tells the I/O panel itself).
    void midiChannelChanged(int32_t channel) { inOutPanel_.midiChannelChanged(channel); }

    // --- What tests and the window look at -----------------------------------
    kit::View* baseContainer() const { return baseContainer_; }
    kit::Button* tapButton(int pad) const { return tapButtons_.at(size_t(pad)); }
    LightView* tapButtonLight(int pad) const { return tapButtonLights_.at(size_t(pad)); }
    kit::Label* tapButtonLabel(int pad) const { return tapButtonLabels_.at(size_t(pad)); }
    SmallButtonControl* sortBtn() const { return sortBtn_; }
    SmallButtonControl* inOutBtn() const { return inOutBtn_; }
    SmallButtonControl* sampleOptionsBtn() const { return sampleOptionsBtn_; }
    SmallButtonControl* sequencerBtn() const { return sequencerBtn_; }
    SmallButtonControl* orientationBtn() const { return orientationBtn_; }
    SmallButtonControl* playBtn() const { return sequencerPanel_.playBtn(); }
    SmallButtonControl* recBtn() const { return sequencerPanel_.recBtn(); }
    SmallButtonControl* bpmBtn() const { return sequencerPanel_.bpmBtn(); }
    SmallButtonControl* tapTimerBtn() const { return sequencerPanel_.tapTimerBtn(); }
    SmallButtonControl* barsBtn() const { return sequencerPanel_.barsBtn(); }
    SmallButtonControl* patternBtn() const { return sequencerPanel_.patternBtn(); }
    SmallButtonControl* eraseBtn() const { return sequencerPanel_.eraseBtn(); }
    SmallButtonControl* swingBtn() const { return sequencerPanel_.swingBtn(); }
    SmallButtonControl* metronomeBtn() const { return sequencerPanel_.metronomeBtn(); }
    SmallButtonControl* fxBtn() const { return sequencerPanel_.fxBtn(); }
    LightView* tapTimerLight() const { return sequencerPanel_.tapTimerLight(); }
    SmallButtonControl* holdToggleBtn() const { return samplePanel_.holdToggleBtn(); }
    SmallButtonControl* sampleMuteBtn() const { return samplePanel_.sampleMuteBtn(); }
    SmallButtonControl* sampleSoloBtn() const { return samplePanel_.sampleSoloBtn(); }
    SmallButtonControl* sampleVolumeBtn() const { return samplePanel_.sampleVolumeBtn(); }
    SmallButtonControl* exportBtn() const { return inOutPanel_.exportBtn(); }
    SmallButtonControl* midiLearnBtn() const { return inOutPanel_.midiLearnBtn(); }
    SoundBankControl* soundBankControl() const { return soundBankControl_; }
    /// The library browser while SORT is down, else null.
    DragDropTableViewController* sortController() const { return libraryPanel_.browser(); }
    VolumeSliderControl* trackVolumeSlider(int pad) const { return samplePanel_.trackVolumeSlider(pad); }
    kit::View* tapButtonsContainer() const { return tapButtonsContainer_; }
    kit::View* slidersContainer() const { return slidersContainer_; }
    AudioOutputMeter* audioOutputMeter() const { return audioOutputMeter_; }
    SequencerScreenControl* sequencerScreen() const { return sequencerPanel_.sequencerScreen(); }
    bool hasEngineTimer() const { return audioOutputUpdateTimer_ != nullptr; }
    uint64_t copiedPatternIdx() const { return copiedPatternIdx_; }

protected:
    /// What the six effect sliders share (`index` 0 to 5, left to right).
    void effectSliderChanged(int index) { effectsPanel_.effectSliderChanged(index); }
    /// For the phone screens: a screen of another gui type.
    StrombelViewController(PadScreenServices services, platform::UserDefaults& defaults, GuiType guiType);

    /// Builds the whole control surface (the layouts of the three gui types).
    virtual void loadView();
    virtual void viewDidLoad();

    kit::Screen screen() const;
    /// The size the screen shows in points, the status bar left out: the name
    /// field and the export's progress are laid over it. The portrait screen is
    /// upright whatever the status bar was last told.
    QSizeF shownSize() const;
    /// A SWITCH button of the portrait strip, and the slide to the other side.
    std::unique_ptr<kit::Button> buildSwitchBtnWithFrame(const QRectF& frame);
    // The base panels' pictures, buttons and captions (see pad_panel_views.h).
    kit::ImageView* makePanel(double x, double y, double width, double height, const char* imageName);
    SmallButtonControl* makeSmallButton(kit::View* parent, double x, double y, const QString& label,
                                        LightView** light = nullptr);
    kit::Label* makeCaption(kit::View* parent, double x, double y, double width, const QString& text);
    /// Makes `button` a toggle whose `action` runs when a touch is let go on it
    /// (pad_views::toggleOnRelease).
    void toggleOnRelease(SmallButtonControl* button, void (StrombelViewController::*action)());
    bool buttonDown(const SmallButtonControl* button) const { return button && button->isPressedDown(); }
    /// The name field's question, OK and CANCEL, made with the field.
    void addNameFieldControls(const QString& prompt);
    /// The field with its question and buttons (whichever show).
    std::vector<kit::View*> nameFieldViews() const;
    /// Sets a toggle's state without an event, then runs `action` as a touch would.
    void press(SmallButtonControl* button, bool down, void (StrombelViewController::*action)());
    std::string padPath(int pad) const;
    void showAlert(const QString& title, const QString& message, const QStringList& buttons, int tag,
                   bool answered);

    PadScreenServices services_;
    platform::UserDefaults& defaults_;
    StrombelViewControllerDelegate* delegate_ = nullptr;
    GuiType guiType_ = GuiType::tablet;
    int32_t tapPadsState_ = TapPadsPlay;
    std::unique_ptr<GuiFactory> gf_;

    /// What the panel controllers ask of the screen, each through its own narrow interface.
    class PanelHost final : public PadSequencerPanelHost,
                            public PadInOutPanelHost,
                            public PadSamplePanelHost,
                            public PadExchangePanelHost,
                            public PadLibraryPanelHost {
    public:
        explicit PanelHost(StrombelViewController& screen) : screen_(screen) {}
        void patternModeChanged(bool on) override;
        void patternLightsChanged() override;
        void flashPatternPad(uint64_t pattern) override;
        void playbackStateChanged(bool running) override;
        void showPadsPlaying() override;
        void showPatternsToExport() override;
        void showMidiLearn() override;
        void sampleVolumesShown(bool on) override;
        void mutesShown(bool on, bool solo) override;
        kit::View& padsContainer() override { return *screen_.tapButtonsContainer_; }
        const std::vector<kit::Button*>& pads() const override { return screen_.tapButtons_; }
        std::string padPath(int pad) const override { return screen_.padPath(pad); }
        void recordIntoEditor() override { screen_.micInBtnPressed(); }
        void takePadsOff() override;
        void putPadsBack() override;
        bool askExportName(int pattern, const QString& value, const QString& prompt) override;
        bool isAskingExportNameFor(int pattern) const override {
            return screen_.editPatternNameIdx_ == uint64_t(pattern);
        }
        bool askPasteName(const QString& value, const QString& prompt) override;
        void dismissNameField() override { screen_.dismissEditNameTextField(); }
        void tell(const QString& title, const QString& message) override;
        kit::View* rootView() const override { return screen_.rootViewPointer_; }
        QSizeF shownSize() const override { return screen_.shownSize(); }
        kit::Window* window() const override { return screen_.window_; }
        editor::ExchangeSettings exchangeSettings() const override { return screen_.sampleEditorServices().exchange; }
        uint64_t shownBank() const override { return screen_.soundBankControl_->currentBank(); }
        void showBank(uint64_t bank) override;
        void showCurrentBank() override { screen_.displayCurrentSoundBank(); }
        int padAt(const QPointF& inBase) const override;
        void askBankName(uint64_t bank, const QString& value, const QString& prompt) override;
        void editSample(const std::string& path) override;
        void toggleSampleRecording() override { screen_.toggleSampleRecording(); }
        void engagePaste() override { screen_.exchangePanel_.engagePaste(); }

    private:
        StrombelViewController& screen_;
    };
    PanelHost panelHost_{*this};
    /// The dry/wet box, the volume and the effect sliders.
    PadEffectsPanel effectsPanel_;
    /// The sequencer panel and the tempo lamp.
    PadSequencerPanel sequencerPanel_;
    /// The input/output panel and the MIDI ports panel beside it.
    PadInOutPanel inOutPanel_;
    /// The sample panel and the sample editor panel.
    PadSamplePanel samplePanel_;
    /// Pattern export and audio paste.
    PadExchangePanel exchangePanel_;
    /// The library browser and the library's messages.
    PadLibraryPanel libraryPanel_;
    /// PATT. down: the pads show the patterns, and a long touch edits one; up: they play again.
    void showPatternsOnPads(bool on);

    // The views: owned by their superviews once added; the screen keeps its own
    // hold on each base panel, so that one taken off the screen survives.
    std::unique_ptr<kit::View> rootView_;
    kit::View* rootViewPointer_ = nullptr;
    std::weak_ptr<void> rootAlive_;
    kit::View* baseContainer_ = nullptr;
    /// The portrait strip slides to its right side (or left) in `seconds`.
    /// `arriving`, a panel just put on the strip, takes no touch until the slide
    /// ends: a quick second click on the button that brought it would otherwise
    /// land on whatever of it slides in under the pointer.
    void slideStripTo(bool rightSide, double seconds = 0.2, kit::View* arriving = nullptr);
    /// The side of the portrait strip shown, or shown once its slide ends.
    bool stripOnRightSide_ = false;
    kit::ImageView* backgroundView_ = nullptr;
    /// Takes a base panel off the screen (kept by the screen) or puts it back, on
    /// top or just below `sibling` when that is on the screen.
    void takeOff(kit::View* panel);
    void putBack(kit::View* panel, kit::View* sibling = nullptr);
    std::map<kit::View*, std::unique_ptr<kit::View>> offScreenPanels_;
    kit::Label* storageWarning_ = nullptr;
    kit::Label* outputNotice_ = nullptr;
    std::unique_ptr<kit::Timer> outputNoticeTimer_;
    kit::ImageView *topLeftButtonsContainer_ = nullptr, *topRightButtonsContainer_ = nullptr,
                   *volumeContainer_ = nullptr, *audioMeterContainer_ = nullptr, *slidersContainer_ = nullptr,
                   *tapButtonsContainer_ = nullptr;
    kit::ImageView* shadeView_ = nullptr;
    float currentShadeAlpha_ = 0.375f;

    std::unique_ptr<kit::Timer> audioOutputUpdateTimer_;

    SmallButtonControl *sortBtn_ = nullptr, *inOutBtn_ = nullptr, *sampleOptionsBtn_ = nullptr,
                       *orientationBtn_ = nullptr, *sequencerBtn_ = nullptr;
    AudioOutputMeter* audioOutputMeter_ = nullptr;
    SoundBankControl* soundBankControl_ = nullptr;

    std::vector<kit::Button*> tapButtons_;
    std::vector<LightView*> tapButtonLights_;
    std::vector<kit::Label*> tapButtonLabels_;
    std::array<bool, 12> releasedPads_{};
    // The sample each held pad's touch started: its release stops that one,
    // though another finger changed the bank meanwhile.
    std::array<std::string, 12> heldPadPaths_{};






    uint64_t editPatternNameIdx_ = kNotFound;
    uint64_t editSoundboxIdx_ = kNotFound;
    bool editExchangePasteSampleName_ = false;
    kit::View* blackOverlay_ = nullptr;
    kit::TextField* editNameTextfield_ = nullptr;
    kit::Label* editNamePrompt_ = nullptr;
    QString editNamePromptText_;  // what the prompt asks, shown again after a refused edit
    kit::Button *editNameOkButton_ = nullptr, *editNameCancelButton_ = nullptr;
    uint64_t selectedPatternIdx_ = kNotFound;
    uint64_t copiedPatternIdx_ = kNotFound;
    bool cutPattern_ = false;
    bool playbackIsRunning_ = false;
    kit::Window* window_ = nullptr;
    /// Held weakly by callbacks that may outlive the screen (alerts, menus).
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

}  // namespace strombel::ui
