#include "library/adapters/library_adapters.h"

#include <algorithm>

#include "platform/thread_role.h"

namespace strombel::library {
namespace {

engine::LibrarySample engineSample(const Sample& sample) {
    return engine::LibrarySample{sample.filepath(), sample.name(), sample.volume()};
}

}  // namespace

EngineSoundLibrary::EngineSoundLibrary(SoundDataManager& library) : library_(library) { library_.addDelegate(this); }

EngineSoundLibrary::~EngineSoundLibrary() { library_.removeDelegate(this); }

std::vector<engine::LibrarySample> EngineSoundLibrary::samples() const {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    std::vector<engine::LibrarySample> result;
    for (const auto& sample : library_.samples()) result.push_back(engineSample(*sample));
    return result;
}

std::vector<engine::LibraryPadAssignment> EngineSoundLibrary::soundbankSamplesOfSoundbank(uint64_t bankIndex) const {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    std::vector<engine::LibraryPadAssignment> result;
    for (const auto& assignment : library_.soundbankSamplesOfSoundbank(bankIndex)) {
        engine::LibraryPadAssignment pad;
        pad.pad = static_cast<int64_t>(assignment->orderId());
        if (const Sample* sample = assignment->samplePointer()) {
            pad.sample = engineSample(*sample);
        } else {
            pad.hasSample = false;
        }
        result.push_back(std::move(pad));
    }
    return result;
}

void EngineSoundLibrary::addDelegate(engine::SoundLibraryObserver* observer) {
    if (observer && std::find(observers_.begin(), observers_.end(), observer) == observers_.end()) {
        observers_.push_back(observer);
    }
}

void EngineSoundLibrary::removeDelegate(engine::SoundLibraryObserver* observer) { std::erase(observers_, observer); }

template <class Message>
void EngineSoundLibrary::tell(Message message) {
    auto snapshot = observers_;
    for (auto* observer : snapshot) {
        if (std::find(observers_.begin(), observers_.end(), observer) != observers_.end()) message(*observer);
    }
}

void EngineSoundLibrary::samplesChanged() {
    tell([](engine::SoundLibraryObserver& observer) { observer.samplesChanged(); });
}
void EngineSoundLibrary::soundbanksChanged() {
    tell([](engine::SoundLibraryObserver& observer) { observer.soundbanksChanged(); });
}
void EngineSoundLibrary::storeItemsDownloadingCompleted() {
    tell([](engine::SoundLibraryObserver& observer) { observer.storeItemsDownloadingCompleted(); });
}

SequencerPatternStore::SequencerPatternStore(SoundDataManager& library) : library_(library) {
    library_.addDelegate(this);
}

void SequencerPatternStore::sampleRenamed(const std::string& from, const std::string& to) {
    if (observer_) observer_->samplePathChanged(from, to);
}

std::optional<uint64_t> SequencerPatternStore::patternNumBars(uint64_t patternIdx) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    auto pattern = library_.patternForIdx(patternIdx);
    if (!pattern) return std::nullopt;
    return static_cast<uint64_t>(std::max<int64_t>(pattern->numBars(), 1));
}

void SequencerPatternStore::setPatternNumBars(uint64_t patternIdx, uint64_t numBars) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (auto pattern = library_.patternForIdx(patternIdx)) pattern->setNumBars(static_cast<int64_t>(numBars));
}

std::vector<sequencer::StoredSequencerEvent> SequencerPatternStore::sequencerEventsForPattern(uint64_t patternIdx) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    std::vector<sequencer::StoredSequencerEvent> result;
    for (const auto& event : library_.sequencerEventsForPattern(patternIdx)) {
        const Sample* sample = event->samplePointer();
        if (!sample) continue;
        // A stored type other than start and stop is kept, for the loop to log.
        const auto type = static_cast<sequencer::PatternEventType>(static_cast<int32_t>(event->eventType()));
        result.push_back({event->step(), type, sample->filepath()});
    }
    return result;
}

bool SequencerPatternStore::addSequenceEventOnPattern(uint64_t patternIdx, uint64_t step,
                                                      sequencer::PatternEventType type,
                                                      const std::string& sampleFilepath) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    return library_.addSequenceEventOnPattern(patternIdx, step, sequencer::patternEventTypeNumber(type),
                                              sampleFilepath);
}

size_t SequencerPatternStore::removeSequenceEventOnPattern(uint64_t patternIdx, uint64_t step,
                                                           const std::string& sampleFilepath) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    return library_.removeSequenceEventOnPattern(patternIdx, step, sampleFilepath);
}

void SequencerPatternStore::copyAllSequencerEventsOfPattern(uint64_t source, uint64_t target) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    library_.copyAllSequencerEventsOfPattern(source, target);
}

void SequencerPatternStore::removeAllSequencerEventsOfPattern(uint64_t patternIdx) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    library_.removeAllSequencerEventsOfPattern(patternIdx);
}

void SequencerPatternStore::save() {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    library_.save();
}

}  // namespace strombel::library
