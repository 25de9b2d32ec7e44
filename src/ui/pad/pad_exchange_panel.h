#pragma once

// Pattern export and audio paste on the pad screen: the export on a thread of its
// own with its progress and CANCEL over the screen, the files it writes to the
// documents folder or hands to the audio exchange, and the pasted audio named
// into a user sample.

#include <QString>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "ui/editor/exchange_screens.h"
#include "ui/gui_type.h"
#include "ui/pad/pad_screen_controls.h"
#include "ui/pad/pad_screen_services.h"

namespace strombel::ui {

/// What export and paste ask of the screen they run on: its name field, its
/// alerts and the view the progress is laid over. Main loop only.
class PadExchangePanelHost {
public:
    virtual ~PadExchangePanelHost() = default;
    /// Shows the name field with `value` under `prompt` for the export of
    /// `pattern`; false (and nothing shown) while one is open.
    virtual bool askExportName(int pattern, const QString& value, const QString& prompt) = 0;
    /// Whether the name field shows for the export of `pattern`.
    virtual bool isAskingExportNameFor(int pattern) const = 0;
    /// Shows the name field for pasted audio; false while one is open.
    virtual bool askPasteName(const QString& value, const QString& prompt) = 0;
    virtual void dismissNameField() = 0;
    /// An alert under `title` with OK.
    virtual void tell(const QString& title, const QString& message) = 0;
    /// The screen's root view (the progress goes over it), or null before it is built.
    virtual kit::View* rootView() const = 0;
    /// The size the screen shows, the status bar left out.
    virtual QSizeF shownSize() const = 0;
    /// The window sheets are presented in, or null.
    virtual kit::Window* window() const = 0;
    /// Where the exchange's sheets find the audio exchange.
    virtual editor::ExchangeSettings exchangeSettings() const = 0;
};

/// Runs pattern exports and names pasted audio. An export under way when this
/// goes is cancelled and its half-written file removed. Main loop only; the
/// export's progress and end are heard on the main loop.
class PadExchangePanel {
public:
    /// `pasteDelegate` is told of pasted audio by the paste sheet (the screen,
    /// which hands it to `didPaste`).
    PadExchangePanel(PadSequencer& sequencer, PadLibrary& library, GuiType guiType, PadExchangePanelHost& host,
                     editor::ExchangePasteViewControllerDelegate& pasteDelegate);
    ~PadExchangePanel();
    PadExchangePanel(const PadExchangePanel&) = delete;
    PadExchangePanel& operator=(const PadExchangePanel&) = delete;

    /// Asks for the name of the file `pattern` is exported to (in the documents folder).
    void exportPatternToItunes(int pattern);
    /// Exports `pattern` for the audio exchange, whose sheet shows when it is written.
    void exportPatternToAudioExchange(int pattern);
    /// The name field's answer for the export of `pattern`; false keeps the field open.
    bool exportPatternNamed(int pattern, const QString& name);
    /// CANCEL: the export stops, and its half-written file goes.
    void cancelExport();
    /// The export under way, or null.
    PadExport* runningExport() const { return running_ ? running_->job.get() : nullptr; }
    kit::Label* exportProgressLabel() const { return progressLabel_; }
    kit::Button* exportCancelButton() const { return cancelButton_; }

    /// Presents the paste sheet over the window.
    void engagePaste();
    /// The paste sheet wrote `path`: ask for its name.
    void didPaste(const std::string& path);
    /// The name field's answer for pasted audio; false keeps the field open.
    bool pasteNamed(const QString& name);

    /// The screen goes: the progress leaves its view, and an export under way
    /// stops now (a quit does not wait for it), leaving no file.
    void abandon();

private:
    struct RunningExport {
        std::unique_ptr<PadExport> job;
        int pattern = 0;
        std::filesystem::path rendered;
        std::filesystem::path file;
        bool toExchange = false;
        bool cancelled = false;
    };

    /// The file of the documents folder for `name` ("name.wav", as typed), or an
    /// empty path after an alert under `title` when the name cannot be a file name there.
    std::filesystem::path documentsFileNamed(const QString& name, const QString& title);
    /// The file of the documents folder for `name` when it is free, or an empty
    /// path after an alert under `title` when the name cannot be a file name there,
    /// the file exists (`taken` tells that, with the file name) or another user
    /// sample is shown under the name.
    std::filesystem::path newDocumentsFile(const QString& name, const QString& title, const QString& taken);
    /// Why `file` of the documents folder cannot become a user sample because
    /// another one is shown under its name already; empty when none is.
    std::string nameShownByAnotherSample(const std::filesystem::path& file) const;
    /// Whether an export may not write `file`: it is there, or its name is shown by a sample.
    std::function<bool(const std::filesystem::path&)> exportFileTaken() const;
    /// Renders `pattern` on the export thread into `file` (a file of the documents
    /// folder, or the audio exchange's file when `toExchange`), showing its progress.
    void startExport(int pattern, const std::filesystem::path& file, bool toExchange);
    void exportProgressed(float share);
    void exportEnded(const PadExportOutcome& outcome);
    void showExportProgress(const QString& what);
    void hideExportProgress();

    PadSequencer& sequencer_;
    PadLibrary& library_;
    GuiType guiType_;
    PadExchangePanelHost& host_;
    editor::ExchangePasteViewControllerDelegate& pasteDelegate_;

    std::unique_ptr<RunningExport> running_;
    kit::View* progressView_ = nullptr;
    std::weak_ptr<void> progressAlive_;
    kit::Label* progressLabel_ = nullptr;
    kit::View* progressBar_ = nullptr;
    kit::Button* cancelButton_ = nullptr;
    /// The file the paste wrote, while its name is asked for.
    std::string pasteFile_;
    /// Held weakly by alerts, which may outlive this.
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

}  // namespace strombel::ui
