#pragma once

// src/ui/editor/: the sample editor panel and the audio exchange sheets.
// May include: ui, ui/kit, platform, Qt.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/user_defaults.h"
#include "ui/gui_type.h"
#include "ui/kit/view.h"

namespace strombel::editor {

class EditSampleViewController;

/// Asked to close the editor panel (the editor's close button, no recording running).
class EditSampleViewControllerDelegate {
public:
    virtual ~EditSampleViewControllerDelegate() = default;
    virtual void editSampleViewControllerWantsToClose(EditSampleViewController& editor) = 0;
};

/// The sample editor panel, placed by the pad screen in the pads' place. Today it
/// shows the name of the sample it opened and a CLOSE button; recording, the
/// waveform and trimming come with the editor subsystem.
class EditSampleViewController {
public:
    EditSampleViewController(ui::GuiType guiType, platform::UserDefaults& defaults);

    /// The panel's view (the pad screen adds it; it is handed over once).
    ui::kit::View* view() const { return viewPointer_; }
    std::unique_ptr<ui::kit::View> takeView() { return std::move(view_); }

    /// Opens a user sample by its relative path and remembers it under
    /// "SampleEditor-relativeSoundPath"; does nothing while a recording runs.
    void openSample(const std::string& relativePath);
    const std::string& openedSample() const { return openedSample_; }
    /// Ends a running recording before the panel goes.
    void prepareForDismissal();
    bool isRecording() const { return recording_; }

    void setDelegate(EditSampleViewControllerDelegate* delegate) { delegate_ = delegate; }
    /// The CLOSE button.
    void closeBtnPressed();

    static constexpr const char* kOpenedSampleKey = "SampleEditor-relativeSoundPath";

private:
    ui::GuiType guiType_;
    platform::UserDefaults& defaults_;
    std::unique_ptr<ui::kit::View> view_;
    ui::kit::View* viewPointer_ = nullptr;
    ui::kit::View* nameLabel_ = nullptr;
    EditSampleViewControllerDelegate* delegate_ = nullptr;
    std::string openedSample_;
    bool recording_ = false;
};

}  // namespace strombel::editor
