#pragma once

// src/ui/editor/: the sample editor panel and the audio exchange sheets.
// May include: editor, ui, ui/kit, library, platform, logging, Qt.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "editor/audio_exchange_client.h"
#include "editor/audio_files.h"
#include "library/sound_data_manager.h"
#include "platform/user_defaults.h"
#include "platform/worker.h"
#include "ui/gui_type.h"
#include "ui/kit/view.h"

namespace strombel::ui {
class LightView;
class SSTextField;
namespace kit {
class Button;
class Label;
class Timer;
}  // namespace kit
}  // namespace strombel::ui

namespace strombel::editor {

class EditSampleViewController;
class WaveformView;

/// Asked to close the editor panel (the editor's close button, no recording running).
class EditSampleViewControllerDelegate {
public:
    virtual ~EditSampleViewControllerDelegate() = default;
    virtual void editSampleViewControllerWantsToClose(EditSampleViewController& editor) = 0;
};

/// How a recording began: the take's file, or why there is none (the device's
/// or the file system's own words in `reason`).
struct RecordingStart {
    enum class Problem { none, alreadyRecording, noSoundDevice, microphone, file };
    std::optional<std::string> take;
    Problem problem = Problem::none;
    std::string reason;
};

/// How a recording ended.
struct RecordingEnd {
    /// The take lies whole in its file; else `error` says why it does not.
    bool written = false;
    std::string error;
    /// Seconds in the middle of the take without input, kept as silence.
    double silencedSeconds = 0;
    /// The input was gone when the recording stopped.
    bool inputLostAtEnd = false;
};

/// The engine as the sample editor uses it (the program hands in one over
/// SoundBox). Main loop only.
class SampleEditorEngine {
public:
    virtual ~SampleEditorEngine() = default;
    /// Starts recording the microphone.
    virtual RecordingStart startSampleRecord() = 0;
    virtual RecordingEnd stopSampleRecord() = 0;
    /// `told` hears, with the file system's words, that the take under way
    /// stopped being written (its disk is full); an empty one stops listening.
    virtual void setRecordFailureHandler(std::function<void(const std::string&)> told) { static_cast<void>(told); }
    /// Plays the part of a sample between two fractions of its length.
    virtual bool startTrack(const std::string& path, double fromPoint, double toPoint) = 0;
    virtual void stopTrack(const std::string& path) = 0;
};

/// What the editor works on. Without a library the panel can only show names.
struct SampleEditorServices {
    SampleEditorEngine* engine = nullptr;
    library::SoundDataManager* library = nullptr;
    /// Where the copy and paste screens find the audio exchange (none by default).
    ExchangeSettings exchange;
};

/// The sample editor panel, placed by the pad screen in the pads' place: the
/// sample's name and waveform, a selection on it, PLAY, TRIM and NAME for user
/// samples, REC with its lamp and running time, and CLOSE.
class EditSampleViewController : private library::SoundDataManagerDelegate {
public:
    EditSampleViewController(ui::GuiType guiType, platform::UserDefaults& defaults, SampleEditorServices services = {});
    ~EditSampleViewController() override;

    /// The panel's view (the pad screen adds it; it is handed over once).
    ui::kit::View* view() const { return viewPointer_; }
    std::unique_ptr<ui::kit::View> takeView() { return std::move(view_); }

    /// Opens a sample of the library by its relative path and remembers it under
    /// "SampleEditor-relativeSoundPath"; does nothing while a recording runs. A
    /// path the library does not know opens nothing and is forgotten.
    void openSample(const std::string& relativePath);
    const std::string& openedSample() const { return openedSample_; }
    /// Ends a running recording (keeping the take) before the panel goes.
    void prepareForDismissal();
    bool isRecording() const { return recording_; }

    void setDelegate(EditSampleViewControllerDelegate* delegate) { delegate_ = delegate; }

    // The buttons.
    void closeBtnPressed();
    void recordBtnPressed();
    void playBtnPressed();
    void trimBtnPressed();
    /// NAME: opens the name field over the name, with what it asks below it and
    /// OK and CANCEL beside (Return is OK).
    void nameBtnPressed();
    /// Closes the name field; with `rename`, the open sample takes its text.
    void closeNameField(bool rename);
    ui::kit::Button* nameOkButton() const { return nameOkButton_; }
    ui::kit::Button* nameCancelButton() const { return nameCancelButton_; }
    /// Renames the open user sample through the library; false (with the message
    /// set) when the library refuses the name.
    bool renameSample(const std::string& newName);

    /// The selection as fractions of the sample (0 to 1, from < to); none selects all.
    void setSelection(double from, double to);
    void clearSelection();
    std::pair<double, double> selection() const;

    /// The peaks shown, once read (the waveform's points).
    const WaveformPeaks& peaks() const { return peaks_; }
    /// True while the waveform is being read.
    bool isLoading() const { return loading_; }
    /// Waits for the worker that reads the waveform (tests); its result still
    /// comes through the main loop.
    void waitForWaveform();
    QString nameText() const;
    QString statusText() const;
    QString timeText() const;
    ui::LightView* recordLamp() const { return recordLamp_; }
    bool openedIsUserSample() const;

    static constexpr const char* kOpenedSampleKey = "SampleEditor-relativeSoundPath";

private:
    void sampleRemoved(const std::string& filepath) override;
    void showNothing();
    void setStatus(const QString& text);
    void readWaveform(const std::filesystem::path& file);
    void stopRecordingAndKeepTake();
    /// What the user is told when a recording could not begin.
    static QString whyNoRecording(const RecordingStart& started);
    void updateButtons();
    void alert(const QString& title, const QString& message);

    ui::GuiType guiType_;
    platform::UserDefaults& defaults_;
    SampleEditorServices services_;
    std::unique_ptr<ui::kit::View> view_;
    ui::kit::View* viewPointer_ = nullptr;
    ui::kit::Label* nameLabel_ = nullptr;
    ui::kit::Label* statusLabel_ = nullptr;
    ui::kit::Label* timeLabel_ = nullptr;
    WaveformView* waveform_ = nullptr;
    ui::LightView* recordLamp_ = nullptr;
    ui::kit::Button* playButton_ = nullptr;
    ui::kit::Button* trimButton_ = nullptr;
    ui::kit::Button* nameButton_ = nullptr;
    ui::SSTextField* nameField_ = nullptr;
    ui::kit::Button* nameOkButton_ = nullptr;
    ui::kit::Button* nameCancelButton_ = nullptr;
    EditSampleViewControllerDelegate* delegate_ = nullptr;
    std::string openedSample_;
    bool recording_ = false;
    uint64_t recordStartedNanos_ = 0;
    std::string takePath_;
    std::unique_ptr<ui::kit::Timer> recordTimer_;
    WaveformPeaks peaks_;
    bool loading_ = false;
    /// Which waveform read is wanted: a reader whose number is no longer this one
    /// stops at its next block, so opening another sample or closing the editor
    /// never waits for a long file to be read through.
    std::atomic<uint64_t> readGeneration_ = 0;
    platform::Worker reader_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace strombel::editor
