#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "ui/kit/problem_reporter.h"
#include "library/sound_data_manager.h"
#include "midi/midi_controller.h"
#include "platform/main_loop.h"
#include "platform/user_defaults.h"

namespace strombel::app {

/// What the user is told about the MIDI note map `hub` read at start: empty when
/// it loaded or there was none yet.
std::string noteMapProblem(const midi::MidiController& hub);

/// Tells the user when what they make cannot be kept: saves of the library (its
/// samples, banks and recorded patterns) or of the settings that fail. The first
/// failure of each is told in an alert, once per run (one already told at start
/// is not told again); the red line on the pad screen then says it for as long
/// as it lasts. All of it goes through the program's problem reporter, which
/// logs the alerts. Main loop only; the settings' notices may come from any
/// thread and are carried over to the main loop.
class StorageProblems final : private library::SoundDataManagerDelegate {
public:
    /// `library` may be null (none was made). Problems already present (told at
    /// start) show in the line at once, without an alert. `reporter` must
    /// outlive this.
    StorageProblems(library::SoundDataManager* library, platform::UserDefaults& defaults, platform::MainLoop& loop,
                    ui::kit::ProblemReporter& reporter);
    ~StorageProblems() override;
    StorageProblems(const StorageProblems&) = delete;
    StorageProblems& operator=(const StorageProblems&) = delete;

    /// The line shown now; empty when all is kept.
    const std::string& line() const { return shownLine_; }
    /// Tells failed writes of the MIDI note map as well (one that failed
    /// already shows in the line, as problems at start do). `hub` must outlive
    /// this.
    void watchNoteMap(midi::MidiController& hub);

private:
    void libraryWriteProblemChanged(const std::string& problem) override;
    void settingsProblemChanged(const std::string& problem);
    void noteMapProblemChanged(const std::string& problem);
    void update();

    library::SoundDataManager* library_;
    platform::UserDefaults& defaults_;
    platform::MainLoop& loop_;
    ui::kit::ProblemReporter& reporter_;
    std::filesystem::path settingsFolder_;
    std::string libraryProblem_, settingsProblem_, noteMapProblem_;
    bool libraryTold_ = false, settingsTold_ = false, noteMapTold_ = false;
    midi::MidiController* noteMapHub_ = nullptr;
    std::string shownLine_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace strombel::app
