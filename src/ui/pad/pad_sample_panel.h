#pragma once

// The sample panel of the pad screen (SMP: CUT, HOLD, VOL. with a volume slider
// over each pad, MUTE, SOLO, MIC-IN) and the sample editor panel that takes the
// pads' place.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/user_defaults.h"
#include "ui/editor/edit_sample_view_controller.h"
#include "ui/pad/pad_screen_controls.h"
#include "ui/pad/pad_screen_services.h"

namespace strombel::ui {

/// What the sample panel asks of the screen it sits on. Main loop only.
class PadSamplePanelHost {
public:
    virtual ~PadSamplePanelHost() = default;
    /// VOL. went down (`on`: a pad touch plays over its volume slider) or up.
    virtual void sampleVolumesShown(bool on) = 0;
    /// MUTE (or SOLO, when `solo`) went down (`on`: the lamps show what is muted) or up.
    virtual void mutesShown(bool on, bool solo) = 0;
    /// The pads' container (the volume sliders go over the pads) and the pads.
    virtual kit::View& padsContainer() = 0;
    virtual const std::vector<kit::Button*>& pads() const = 0;
    /// The sample on `pad` of the current bank; empty when none.
    virtual std::string padPath(int pad) const = 0;
    /// MIC-IN: the editor panel opens to record.
    virtual void recordIntoEditor() = 0;
    /// The editor panel takes the pads' place, or gives it back.
    virtual void takePadsOff() = 0;
    virtual void putPadsBack() = 0;
};

/// Drives the sample panel while it is open, keeps the volumes set with VOL.
/// until they are written, and holds the sample editor panel while it shows,
/// as its delegate. Main loop only.
class PadSamplePanel final : public editor::EditSampleViewControllerDelegate {
public:
    PadSamplePanel(PadEngine& engine, PadLibrary& library, platform::UserDefaults& defaults, const GuiFactory& gf,
                   PadSamplePanelHost& host);
    PadSamplePanel(const PadSamplePanel&) = delete;
    PadSamplePanel& operator=(const PadSamplePanel&) = delete;

    bool isOpen() const { return container_ != nullptr; }
    /// Builds the panel on `base` (its toggles as stored).
    void open(kit::View& base);
    /// VOL., MUTE and SOLO go up and the panel leaves the screen.
    void close();

    /// CUT and HOLD from the settings, into the engine (and onto the buttons when open).
    void restoreCut();
    void restoreHold();

    // The buttons' actions, run when they switch.
    void cutBtnPressed();
    void holdBtnPressed();
    void sampleVolumeBtnPressed();
    void muteBtnPressed();
    void soloBtnPressed();
    /// The volume slider over `pad` moved.
    void trackVolumeChanged(int pad);
    /// Writes the volumes set with VOL. so far into the library (the mode stays on).
    void keepEditedTrackVolumes();
    /// The bank shown changed: the volume sliders show its volumes.
    void showBankVolumes();

    // --- The sample editor panel ---------------------------------------------------
    /// What the editor records, plays and edits with.
    void setEditorServices(editor::SampleEditorServices services) { editorServices_ = services; }
    const editor::SampleEditorServices& editorServices() const { return editorServices_; }
    /// Puts the editor panel on `base` at `at`, in the pads' place (nothing when one shows).
    void showEditor(kit::View& base, const QPointF& at);
    /// Takes the editor panel away, puts the pads back and forgets its sample.
    void dismissEditor();
    /// A recording under way is finished and kept (the panel stays as it is).
    void finishRecording();
    /// The editor's view no longer shows (it outlives the screen).
    void detach();
    void editSampleViewControllerWantsToClose(editor::EditSampleViewController& editor) override;
    editor::EditSampleViewController* editor() const { return editor_.get(); }

    // The panel's controls while it is open, else null (the sliders while VOL. is down).
    SmallButtonControl* holdToggleBtn() const { return holdToggleBtn_; }
    SmallButtonControl* sampleVolumeBtn() const { return sampleVolumeBtn_; }
    SmallButtonControl* sampleMuteBtn() const { return sampleMuteBtn_; }
    SmallButtonControl* sampleSoloBtn() const { return sampleSoloBtn_; }
    VolumeSliderControl* trackVolumeSlider(int pad) const {
        return size_t(pad) < trackVolumeSliders_.size() ? trackVolumeSliders_[size_t(pad)] : nullptr;
    }

private:
    PadEngine& engine_;
    PadLibrary& library_;
    platform::UserDefaults& defaults_;
    const GuiFactory& gf_;
    PadSamplePanelHost& host_;

    kit::ImageView* container_ = nullptr;
    SmallButtonControl *cutBtn_ = nullptr, *holdToggleBtn_ = nullptr, *sampleVolumeBtn_ = nullptr,
                       *sampleMuteBtn_ = nullptr, *sampleSoloBtn_ = nullptr, *micInBtn_ = nullptr;
    std::vector<VolumeSliderControl*> trackVolumeSliders_;
    /// Per-pad volumes set while VOL. was on, by sample path, on every bank shown
    /// meanwhile: all are written to the library when the mode is left.
    std::map<std::string, float> editedTrackVolumes_;

    std::unique_ptr<editor::EditSampleViewController> editor_;
    editor::SampleEditorServices editorServices_;
};

}  // namespace strombel::ui
