#include "app/storage_problems.h"

#include <utility>

#include "app/app_adapters.h"
#include "logging/log.h"

namespace strombel::app {

StorageProblems::StorageProblems(library::SoundDataManager* library, platform::UserDefaults& defaults,
                                 platform::MainLoop& loop, Alert alert, Line line)
    : library_(library), defaults_(defaults), loop_(loop), alert_(std::move(alert)), showLine_(std::move(line)) {
    if (library_) {
        library_->addDelegate(this);
        libraryProblem_ = library_->writeProblem();
        libraryTold_ = !libraryProblem_.empty();
    }
    settingsProblem_ = defaults_.writeProblem();
    settingsTold_ = !settingsProblem_.empty();
    defaults_.setProblemHandler([this, alive = std::weak_ptr<void>(alive_)](const std::string& problem) {
        onMain(loop_, alive, [this, problem] { settingsProblemChanged(problem); });
    });
    update();
}

StorageProblems::~StorageProblems() {
    if (noteMapHub_) noteMapHub_->setNoteMapProblemHandler({});
    defaults_.setProblemHandler({});
    if (library_) library_->removeDelegate(this);
}

void StorageProblems::libraryWriteProblemChanged(const std::string& problem) {
    libraryProblem_ = problem;
    if (!problem.empty() && !libraryTold_) {
        libraryTold_ = true;
        const std::string folder = library_ ? library_->applicationDocumentsDirectory().string() : std::string();
        const std::string message =
            "Strombel cannot save its library: " + problem +
            ".\nWhat you record or change now plays, and is kept in memory; it is saved as soon as saving works "
            "again, and lost if Strombel quits before. Free some disk space or make " +
            folder + " writable.";
        STROMBEL_LOG_ERROR("{}", message);
        if (alert_) alert_("Not saved", message);
    }
    update();
}

void StorageProblems::settingsProblemChanged(const std::string& problem) {
    settingsProblem_ = problem;
    if (!problem.empty() && !settingsTold_) {
        settingsTold_ = true;
        const std::string message = "Strombel cannot save its settings: " + problem +
                                    ".\nThey work until Strombel quits; changes made now are not kept.";
        STROMBEL_LOG_ERROR("{}", message);
        if (alert_) alert_("Not saved", message);
    }
    update();
}

void StorageProblems::watchNoteMap(midi::MidiController& hub) {
    noteMapHub_ = &hub;
    hub.setNoteMapProblemHandler([this, alive = std::weak_ptr<void>(alive_)](const std::string& problem) {
        onMain(loop_, alive, [this, problem] { noteMapProblemChanged(problem); });
    });
    // A map that could not be written at start goes with the start's problems:
    // on the line at once, without an alert of its own.
    noteMapProblem_ = hub.noteMapWriteProblem();
    noteMapTold_ = !noteMapProblem_.empty();
    update();
}

void StorageProblems::noteMapProblemChanged(const std::string& problem) {
    noteMapProblem_ = problem;
    if (!problem.empty() && !noteMapTold_) {
        noteMapTold_ = true;
        const std::string message = "Strombel cannot save the notes MIDI learn gave the pads: " + problem +
                                    ".\nThey work until Strombel quits; they are saved when LEARN is next turned "
                                    "off and saving works again.";
        STROMBEL_LOG_ERROR("{}", message);
        if (alert_) alert_("Not saved", message);
    }
    update();
}

void StorageProblems::update() {
    std::string text;
    if (!libraryProblem_.empty() && !settingsProblem_.empty()) {
        text = "NOT SAVED: library and settings (" + libraryProblem_ + ")";
    } else if (!libraryProblem_.empty()) {
        text = "NOT SAVED: recordings and library changes (" + libraryProblem_ + ")";
    } else if (!settingsProblem_.empty()) {
        text = "NOT SAVED: settings (" + settingsProblem_ + ")";
    }
    if (!noteMapProblem_.empty()) {
        text = text.empty() ? "NOT SAVED: MIDI note map (" + noteMapProblem_ + ")" : text + "; MIDI note map";
    }
    if (text == shownLine_) return;
    if (!shownLine_.empty() && text.empty()) STROMBEL_LOG_WARN("Everything is saved again");
    shownLine_ = text;
    if (showLine_) showLine_(text);
}

}  // namespace strombel::app
