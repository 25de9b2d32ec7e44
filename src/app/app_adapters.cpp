#include "app/app_adapters.h"

#include <fmt/format.h>

#include <algorithm>
#include <utility>

#include "library/data_migration_manager.h"
#include "logging/log.h"
#include "platform/regular_file.h"

namespace strombel::app {

void onMain(platform::MainLoop& loop, std::weak_ptr<void> alive, std::function<void()> work) {
    if (loop.isMainThread()) {
        work();
        return;
    }
    loop.post([alive = std::move(alive), work = std::move(work)] {
        if (!alive.expired()) work();
    });
}

// ---- PadEngineAdapter --------------------------------------------------------------------

PadEngineAdapter::PadEngineAdapter(engine::SoundBox& engine, platform::MainLoop& loop) : engine_(engine), loop_(loop) {
    engine_.addDelegate(this);
}

PadEngineAdapter::~PadEngineAdapter() { engine_.removeDelegate(this); }

void PadEngineAdapter::addDelegate(ui::PadEngineObserver* observer) {
    if (observer && std::find(observers_.begin(), observers_.end(), observer) == observers_.end())
        observers_.push_back(observer);
}

void PadEngineAdapter::removeDelegate(ui::PadEngineObserver* observer) { std::erase(observers_, observer); }

void PadEngineAdapter::deliver(std::function<void(ui::PadEngineObserver&)> message) {
    onMain(loop_, alive_, [this, message = std::move(message)] {
        // A copy: an observer may leave during delivery, and one that left is not called.
        for (ui::PadEngineObserver* observer : std::vector(observers_))
            if (std::find(observers_.begin(), observers_.end(), observer) != observers_.end()) message(*observer);
    });
}

void PadEngineAdapter::trackStarted(const std::string& path, bool fromTapPad) {
    deliver([path, fromTapPad](ui::PadEngineObserver& observer) { observer.trackStarted(path, fromTapPad); });
}

void PadEngineAdapter::trackFinishedPlaying(const std::string& path) {
    deliver([path](ui::PadEngineObserver& observer) { observer.trackFinishedPlaying(path); });
}

void PadEngineAdapter::trackStopped(const std::string& path, bool fromTapPad) {
    deliver([path, fromTapPad](ui::PadEngineObserver& observer) { observer.trackStopped(path, fromTapPad); });
}

void PadEngineAdapter::audioRouteChangedStopAudio() {
    deliver([](ui::PadEngineObserver& observer) { observer.audioRouteChangedStopAudio(); });
}

void PadEngineAdapter::audioOutputLost(const std::string& message) {
    deliver([message](ui::PadEngineObserver& observer) { observer.audioOutputLost(message); });
}

void PadEngineAdapter::audioOutputRestored(const std::string& message) {
    deliver([message](ui::PadEngineObserver& observer) { observer.audioOutputRestored(message); });
}

void PadEngineAdapter::sampleUnreadable(const std::string&, const std::string& message) {
    deliver([message](ui::PadEngineObserver& observer) { observer.sampleUnreadable(message); });
}

void PadEngineAdapter::setSetting(Setting setting, float value) {
    switch (setting) {
        case Setting::volume: engine_.setVolume(value); break;
        case Setting::pitchAmount: engine_.setPitchAmount(value); break;
        case Setting::delayIntensity: engine_.setDelayIntensity(value); break;
        case Setting::reverbAmount: engine_.setReverbAmount(value); break;
        case Setting::cutOffAmount: engine_.setCutOffAmount(value); break;
        case Setting::phaseAmount: engine_.setPhaseAmount(value); break;
        case Setting::crushAmount: engine_.setCrushAmount(value); break;
        case Setting::effectWetness: engine_.setEffectWetness(value); break;
        case Setting::delayTime: engine_.setDelayTime(value); break;
    }
}

float PadEngineAdapter::setting(Setting setting) const {
    switch (setting) {
        case Setting::volume: return engine_.volume();
        case Setting::pitchAmount: return engine_.pitchAmount();
        case Setting::delayIntensity: return engine_.delayIntensity();
        case Setting::reverbAmount: return engine_.reverbAmount();
        case Setting::cutOffAmount: return engine_.cutOffAmount();
        case Setting::phaseAmount: return engine_.phaseAmount();
        case Setting::crushAmount: return engine_.crushAmount();
        case Setting::effectWetness: return engine_.effectWetness();
        case Setting::delayTime: return engine_.delayTime();
    }
    return 0;
}

// ---- PadSequencerAdapter --------------------------------------------------------------------

PadSequencerAdapter::PadSequencerAdapter(sequencer::Sequencer& sequencer, engine::SoundBox& engine,
                                         platform::MainLoop& loop)
    : sequencer_(sequencer), engine_(engine), loop_(loop) {
    sequencer_.addDelegate(this);
}

namespace {

class PadExportJob final : public ui::PadExport {
public:
    explicit PadExportJob(std::unique_ptr<engine::ExportJob> job) : job_(std::move(job)) {}
    void cancel() override { job_->cancel(); }
    void waitUntilRendered() override { job_->waitUntilRendered(); }

private:
    std::unique_ptr<engine::ExportJob> job_;
};

}  // namespace

std::unique_ptr<ui::PadExport> PadSequencerAdapter::startExport(uint64_t pattern, const std::string& toFile,
                                                                std::function<void(float)> progress,
                                                                std::function<void(const ui::PadExportOutcome&)> done) {
    sequencer::Sequencer::PatternExport rendered = sequencer_.patternExport(pattern);
    auto told = [done = std::move(done)](const engine::ExportOutcome& outcome) {
        using Status = ui::PadExportOutcome::Status;
        const Status status = outcome.status == engine::ExportOutcome::Status::written  ? Status::written
                              : outcome.status == engine::ExportOutcome::Status::failed ? Status::failed
                                                                                         : Status::cancelled;
        if (done) done(ui::PadExportOutcome{status, outcome.error, outcome.seconds});
    };
    return std::make_unique<PadExportJob>(engine_.startExport(std::move(rendered.events), toFile, rendered.duration,
                                                              std::move(progress), std::move(told)));
}

PadSequencerAdapter::~PadSequencerAdapter() { sequencer_.removeDelegate(this); }

void PadSequencerAdapter::deliver(std::function<void(ui::PadSequencerObserver&)> message) {
    // Starts and stops caused by an outside MIDI clock may come from the MIDI
    // action thread: they reach the screen on the main loop only.
    onMain(loop_, alive_, [this, message = std::move(message)] {
        if (observer_) message(*observer_);
    });
}

void PadSequencerAdapter::sequencerStarted() {
    deliver([](ui::PadSequencerObserver& observer) { observer.sequencerStarted(); });
}
void PadSequencerAdapter::sequencerStopped() {
    deliver([](ui::PadSequencerObserver& observer) { observer.sequencerStopped(); });
}
void PadSequencerAdapter::activePatternChanged() {
    deliver([](ui::PadSequencerObserver& observer) { observer.activePatternChanged(); });
}
void PadSequencerAdapter::currentBarChanged(int32_t bar, int32_t subBar) {
    deliver([bar, subBar](ui::PadSequencerObserver& observer) { observer.currentBarChanged(bar, subBar); });
}

// ---- PadLibraryAdapter ------------------------------------------------------------------------

PadLibraryAdapter::PadLibraryAdapter(library::SoundDataManager& library) : library_(library) {
    library_.addDelegate(this);
}

PadLibraryAdapter::~PadLibraryAdapter() { library_.removeDelegate(this); }

void PadLibraryAdapter::addDelegate(ui::PadLibraryObserver* observer) {
    if (observer && std::find(observers_.begin(), observers_.end(), observer) == observers_.end())
        observers_.push_back(observer);
}

void PadLibraryAdapter::removeDelegate(ui::PadLibraryObserver* observer) { std::erase(observers_, observer); }

std::vector<ui::PadAssignment> PadLibraryAdapter::soundbankSamplesOfSoundbank(uint64_t bankIndex) {
    std::vector<ui::PadAssignment> pads;
    for (const auto& assignment : library_.soundbankSamplesOfSoundbank(bankIndex)) {
        ui::PadAssignment pad;
        if (!assignment) {
            pads.push_back(pad);
            continue;
        }
        pad.orderId = int64_t(assignment->orderId());
        if (auto sample = assignment->sample()) {
            pad.hasSample = true;
            pad.sampleName = sample->name();
            pad.samplePath = sample->filepath();
        }
        pads.push_back(std::move(pad));
    }
    return pads;
}

void PadLibraryAdapter::addObserver(ui::SoundBankListObserver* observer) {
    if (observer && std::find(bankObservers_.begin(), bankObservers_.end(), observer) == bankObservers_.end())
        bankObservers_.push_back(observer);
}

void PadLibraryAdapter::removeObserver(ui::SoundBankListObserver* observer) { std::erase(bankObservers_, observer); }

std::vector<std::string> PadLibraryAdapter::soundbankNames() const {
    std::vector<std::string> names;
    for (const auto& bank : library_.soundbanks()) names.push_back(bank ? bank->name() : std::string());
    return names;
}

std::vector<int64_t> PadLibraryAdapter::soundbankIds() const {
    std::vector<int64_t> ids;
    for (const auto& bank : library_.soundbanks()) ids.push_back(bank ? bank->rowId() : 0);
    return ids;
}

void PadLibraryAdapter::setSampleVolume(const std::string& path, float volume) {
    if (auto sample = library_.sampleWithFilepath(path)) sample->setVolume(volume);
}

bool PadLibraryAdapter::renameSoundbank(uint64_t bankIndex, const std::string& name) {
    const auto banks = library_.soundbanks();
    if (bankIndex >= banks.size() || !banks[bankIndex]) return false;
    banks[bankIndex]->setName(name);
    library_.saveSoundbanks();
    return true;
}

std::string PadLibraryAdapter::userSamplePath(uint64_t index) const {
    const auto samples = library_.userSamples();
    return index < samples.size() && samples[index] ? samples[index]->filepath() : std::string();
}

bool PadLibraryAdapter::setPackSampleOnPad(uint64_t section, uint64_t row, uint64_t bankIndex, uint64_t pad) {
    auto sample = library_.soundpackSamplesResultsController().objectAtIndexPath(section, row);
    return sample && library_.setSample(sample, bankIndex, pad);
}

void PadLibraryAdapter::samplesChanged() {
    for (ui::PadLibraryObserver* observer : std::vector(observers_))
        if (std::find(observers_.begin(), observers_.end(), observer) != observers_.end()) observer->samplesChanged();
}

void PadLibraryAdapter::soundbanksChanged() {
    // The bank selector first, so that the pads are drawn for the bank it shows.
    for (ui::SoundBankListObserver* observer : std::vector(bankObservers_))
        if (std::find(bankObservers_.begin(), bankObservers_.end(), observer) != bankObservers_.end())
            observer->soundbanksChanged();
    for (ui::PadLibraryObserver* observer : std::vector(observers_))
        if (std::find(observers_.begin(), observers_.end(), observer) != observers_.end())
            observer->soundbanksChanged();
}

// ---- PadMidiAdapter ----------------------------------------------------------------------------

PadMidiAdapter::PadMidiAdapter(midi::MidiController& hub, platform::MainLoop& loop) : hub_(hub), loop_(loop) {}

PadMidiAdapter::~PadMidiAdapter() {
    if (hub_.midiLearnDelegate() == this) hub_.setMidiLearnDelegate(nullptr);
    if (hub_.midiPortsDelegate() == this) hub_.setMidiPortsDelegate(nullptr);
}

ui::MidiPortsObserver* PadMidiAdapter::midiPortsDelegate() const {
    return hub_.midiPortsDelegate() == this ? portsObserver_ : nullptr;
}

void PadMidiAdapter::setMidiPortsDelegate(ui::MidiPortsObserver* observer) {
    portsObserver_ = observer;
    if (observer) hub_.setMidiPortsDelegate(this);
    else if (hub_.midiPortsDelegate() == this) hub_.setMidiPortsDelegate(nullptr);
}

void PadMidiAdapter::sourcePortsChanged() {
    if (portsObserver_) portsObserver_->sourcePortsChanged();
}

void PadMidiAdapter::destinationPortsChanged() {
    if (portsObserver_) portsObserver_->destinationPortsChanged();
}

std::vector<ui::MidiPortRow> PadMidiAdapter::rows(const std::vector<midi::MidiPort>& ports) {
    std::vector<ui::MidiPortRow> rows;
    rows.reserve(ports.size());
    for (const midi::MidiPort& port : ports) rows.push_back({port.name, port.processNotes, port.processTempo});
    return rows;
}

void PadMidiAdapter::setMidiLearnDelegate(ui::PadMidiLearnObserver* observer) {
    observer_ = observer;
    hub_.setMidiLearnDelegate(observer ? this : nullptr);
}

ui::PadMidiLearnObserver* PadMidiAdapter::midiLearnDelegate() const {
    return hub_.midiLearnDelegate() == this ? observer_ : nullptr;
}

std::map<int, int> PadMidiAdapter::buttonIdxToNoteMap() const {
    std::map<int, int> notes;
    for (const auto& [pad, note] : hub_.buttonIdxToNoteMap()) notes[int(pad)] = note;
    return notes;
}

void PadMidiAdapter::midiLearnBtn(uint64_t pad, int32_t note) {
    // Sent on the MIDI action thread; lamps and labels belong to the main loop.
    loop_.post([this, alive = std::weak_ptr<void>(alive_), pad, note] {
        if (!alive.expired() && observer_) observer_->midiLearnBtnChangedToNote(int32_t(pad), note);
    });
}

// ---- AppLibraryAdapter -------------------------------------------------------------------------

std::string AppLibraryAdapter::makeDataUpToDate() {
    library::DataMigrationManager::makeDataUpToDate(library_);
    const std::string folder = library_.applicationDocumentsDirectory().string();
    const library::PersistentStore* store = library_.persistentStore();
    if (!store) {
        const std::string reason = library_.storeProblem().empty() ? "the store file cannot be opened or made"
                                                                    : library_.storeProblem();
        // What lies in the store's place and is not a file is left as it is: the
        // user moves it away; a folder that cannot be written needs room or rights.
        const bool inTheWay = platform::notRegularSqliteFiles(library_.applicationDocumentsDirectory() /
                                                              library::SoundDataManager::kStoreFileName)
                                  .has_value();
        const std::string remedy = inTheWay ? "Move it out of the way (Strombel leaves it as it is)"
                                            : "Check that " + folder + " can be written and has free space";
        return "The sound library could not be opened: " + reason + ".\nThe stock sounds play from memory, but " +
               "nothing you record or change can be kept in this run. " + remedy + ", then start Strombel again.";
    }
    if (!store->setAsidePath().empty()) {
        // SQLite's own words (its integrity check's page numbers) went to the log
        // when the store was opened; the user reads what happened and what is kept.
        using Reason = library::PersistentStore::SetAsideReason;
        const char* what = "The sound library file was damaged: parts of it could not be read.";
        if (store->setAsideReason() == Reason::notAStore) {
            what = "The sound library file was damaged: it is no longer a library Strombel can read.";
        } else if (store->setAsideReason() == Reason::newerSchema) {
            what = "The sound library file was written by a newer version of Strombel, which this one cannot read.";
        }
        const library::PersistentStore::CarriedOver& carried = store->carriedOver();
        const bool anyCarried = carried.soundbanks + carried.samples + carried.sequencerEvents > 0;
        std::string kept;
        if (store->setAsideReason() == Reason::newerSchema) {
            kept = "the newer version of Strombel can still read them there.";
        } else if (carried.failed) {
            kept = "what could still be read of them could not be copied into the new library, and is kept only "
                   "in the set-aside file.";
        } else if (anyCarried) {
            kept = fmt::format("what could still be read of them ({} banks, {} samples, {} recorded notes) was "
                               "carried over into the new library.",
                               carried.soundbanks, carried.samples, carried.sequencerEvents);
        } else {
            kept = "none of them could be read, so nothing was carried over.";
        }
        return std::string(what) + "\nIt was set aside as " + store->setAsidePath().string() +
               " and a new library was made from the stock packs and the sample files in " + folder +
               ", which are untouched.\nThe set-aside file holds the banks, recorded patterns and sample names "
               "you made; " +
               kept +
               (library_.writeProblem().empty() ? "" : "\nThe new library cannot be saved: " + library_.writeProblem());
    }
    if (!library_.writeProblem().empty()) {
        return "The sound library cannot be saved: " + library_.writeProblem() +
               ".\nYou can play and record, but what you record or change now is lost when Strombel quits. "
               "Make " + folder + " writable or free some disk space.";
    }
    return {};
}

}  // namespace strombel::app
