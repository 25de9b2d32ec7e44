#include "app/storage_problems.h"

#include <utility>

#include "app/app_adapters.h"
#include "logging/log.h"

namespace strombel::app {

std::string noteMapProblem(const midi::MidiController& hub) {
    using Outcome = midi::NoteMapRead::Outcome;
    const std::string file = hub.noteToButtonMapFilePath().string();
    const char* usual = "The pads answer to their usual MIDI notes (60 to 71) again";
    switch (hub.noteMapReadOutcome()) {
        case Outcome::loaded:
        case Outcome::missing: return {};
        case Outcome::unreadable:
            if (auto aside = hub.setAsideNoteMapPath()) {
                return "The MIDI note map was damaged; it was set aside as " + aside->string() + ".\n" + usual +
                       ": teach them other notes with MIDI learn.";
            }
            return "The MIDI note map " + file + " is damaged and could not be set aside.\n" + usual +
                   " in this run; what MIDI learn teaches them now is not kept.";
        case Outcome::inaccessible:
            return "The MIDI note map " + file + " could not be read (" + hub.noteMapReadError() +
                   "); it is kept as it is.\n" + usual + " in this run; what MIDI learn teaches them now is not kept.";
    }
    return {};
}

StorageProblems::StorageProblems(library::SoundDataManager* library, platform::UserDefaults& defaults,
                                 platform::MainLoop& loop, ui::kit::ProblemReporter& reporter)
    : library_(library), defaults_(defaults), loop_(loop), reporter_(reporter),
      settingsFolder_(defaults.file().parent_path()) {
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
    // The library saves again: the disk has room, and the settings it refused go too.
    if (problem.empty()) defaults_.writeUnwritten();
    if (!problem.empty() && !libraryTold_) {
        libraryTold_ = true;
        const std::string folder = library_ ? library_->applicationDocumentsDirectory().string() : std::string();
        const std::string message =
            "Strombel cannot save its library: " + problem +
            ".\nWhat you record or change now plays, and is kept in memory; it is saved as soon as saving works "
            "again, and lost if Strombel quits before. Free some disk space or make " +
            folder + " writable.";
        reporter_.alert("Not saved", message);
    }
    update();
}

void StorageProblems::settingsProblemChanged(const std::string& problem) {
    settingsProblem_ = problem;
    if (!problem.empty() && !settingsTold_) {
        settingsTold_ = true;
        const std::string message =
            "Strombel cannot save its settings: " + problem +
            ".\nWhat you change now works, and is kept in memory; it is saved as soon as saving works again, "
            "and lost if Strombel quits before. Free some disk space or make " +
            settingsFolder_.string() + " writable.";
        reporter_.alert("Not saved", message);
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
        reporter_.alert("Not saved", message);
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
    reporter_.showLine(text);
}

}  // namespace strombel::app
