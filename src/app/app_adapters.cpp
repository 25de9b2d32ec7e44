#include "app/app_adapters.h"

#include <algorithm>
#include <utility>

#include "library/data_migration_manager.h"
#include "logging/log.h"

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

// ---- EngineLibraryAdapter ------------------------------------------------------------

class EngineLibraryAdapter::Forwarder final : public library::SoundDataManagerDelegate {
public:
    explicit Forwarder(engine::SoundLibraryObserver* observer) : observer_(observer) {}
    void samplesChanged() override { observer_->samplesChanged(); }
    void soundbanksChanged() override { observer_->soundbanksChanged(); }
    void storeItemsDownloadingCompleted() override { observer_->storeItemsDownloadingCompleted(); }

private:
    engine::SoundLibraryObserver* observer_;
};

EngineLibraryAdapter::EngineLibraryAdapter(library::SoundDataManager& library) : library_(library) {}

EngineLibraryAdapter::~EngineLibraryAdapter() {
    for (auto& [observer, forwarder] : forwarders_) library_.removeDelegate(forwarder.get());
}

std::vector<engine::LibrarySample> EngineLibraryAdapter::samples() const {
    std::vector<engine::LibrarySample> samples;
    for (const auto& sample : library_.samples())
        samples.push_back({sample->filepath(), sample->name(), sample->volume()});
    return samples;
}

std::vector<engine::LibraryPadAssignment> EngineLibraryAdapter::soundbankSamplesOfSoundbank(uint64_t bankIndex) const {
    std::vector<engine::LibraryPadAssignment> pads;
    for (const auto& assignment : library_.soundbankSamplesOfSoundbank(bankIndex)) {
        if (!assignment) continue;
        engine::LibraryPadAssignment pad;
        pad.pad = int64_t(assignment->orderId());
        auto sample = assignment->sample();
        pad.hasSample = sample != nullptr;
        if (sample) pad.sample = {sample->filepath(), sample->name(), sample->volume()};
        pads.push_back(std::move(pad));
    }
    return pads;
}

void EngineLibraryAdapter::addDelegate(engine::SoundLibraryObserver* observer) {
    if (!observer || forwarders_.count(observer)) return;
    auto forwarder = std::make_unique<Forwarder>(observer);
    library_.addDelegate(forwarder.get());
    forwarders_[observer] = std::move(forwarder);
}

void EngineLibraryAdapter::removeDelegate(engine::SoundLibraryObserver* observer) {
    auto found = forwarders_.find(observer);
    if (found == forwarders_.end()) return;
    library_.removeDelegate(found->second.get());
    forwarders_.erase(found);
}

// ---- Sequencer adapters ------------------------------------------------------------------

void SequencerEngineAdapter::exportEvents(const std::vector<sequencer::ExportEvent>& events, const std::string& toFile,
                                          double duration, const std::function<void(float)>& progress) {
    std::vector<engine::ExportEvent> converted;
    converted.reserve(events.size());
    for (const auto& event : events)
        converted.emplace_back(event.filepath, event.eventType, event.eventTime, event.volume);
    std::string error;
    if (!engine_.exportEvents(converted, toFile, duration, progress, &error))
        STROMBEL_LOG_ERROR("The pattern could not be exported to {}: {}", toFile, error);
}

std::optional<uint64_t> PatternStoreAdapter::patternNumBars(uint64_t patternIdx) {
    auto pattern = library_.patternForIdx(patternIdx);
    if (!pattern) return std::nullopt;
    return uint64_t(std::max<int64_t>(pattern->numBars(), 1));
}

void PatternStoreAdapter::setPatternNumBars(uint64_t patternIdx, uint64_t numBars) {
    if (auto pattern = library_.patternForIdx(patternIdx)) pattern->setNumBars(int64_t(numBars));
}

std::vector<sequencer::StoredSequencerEvent> PatternStoreAdapter::sequencerEventsForPattern(uint64_t patternIdx) {
    std::vector<sequencer::StoredSequencerEvent> events;
    for (const auto& event : library_.sequencerEventsForPattern(patternIdx)) {
        auto sample = event ? event->sample() : nullptr;
        if (!sample) continue;
        events.push_back({event->step(), int32_t(event->eventType()), sample->filepath()});
    }
    return events;
}

bool PatternStoreAdapter::addSequenceEventOnPattern(uint64_t patternIdx, uint64_t step, int32_t type,
                                                    const std::string& sampleFilepath) {
    if (!library_.sampleWithFilepath(sampleFilepath)) return false;
    library_.addSequenceEventOnPattern(patternIdx, step, type, sampleFilepath);
    return true;
}

size_t PatternStoreAdapter::removeSequenceEventOnPattern(uint64_t patternIdx, uint64_t step,
                                                         const std::string& sampleFilepath) {
    auto matching = [&] {
        size_t count = 0;
        for (const auto& event : library_.sequencerEventsForPattern(patternIdx)) {
            auto sample = event ? event->sample() : nullptr;
            if (sample && event->step() == step && sample->filepath() == sampleFilepath) ++count;
        }
        return count;
    };
    size_t before = matching();
    library_.removeSequenceEventOnPattern(patternIdx, step, sampleFilepath);
    return before - std::min(before, matching());
}

void PatternStoreAdapter::copyAllSequencerEventsOfPattern(uint64_t source, uint64_t target) {
    library_.copyAllSequencerEventsOfPattern(source, target);
}

void PatternStoreAdapter::removeAllSequencerEventsOfPattern(uint64_t patternIdx) {
    library_.removeAllSequencerEventsOfPattern(patternIdx);
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

PadSequencerAdapter::PadSequencerAdapter(sequencer::Sequencer& sequencer, platform::MainLoop& loop)
    : sequencer_(sequencer), loop_(loop) {
    sequencer_.addDelegate(this);
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

void PadLibraryAdapter::setSampleVolume(const std::string& path, float volume) {
    if (auto sample = library_.sampleWithFilepath(path)) sample->setVolume(volume);
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
}

void PadMidiAdapter::setMidiLearnDelegate(ui::PadMidiLearnObserver* observer) {
    observer_ = observer;
    hub_.setMidiLearnDelegate(observer ? this : nullptr);
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
    const library::PersistentStore* store = library_.persistentStore();
    if (!store) return "the store file in the documents folder cannot be opened or made";
    if (!store->setAsidePath().empty())
        return "the store file was damaged; it was kept as " + store->setAsidePath().string() +
               " and a new library was made";
    return {};
}

}  // namespace strombel::app
