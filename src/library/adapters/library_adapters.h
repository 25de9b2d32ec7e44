#pragma once

// src/library/adapters/: the library as the engine and the sequencer see it:
// adapters from their small service interfaces to SoundDataManager, for the
// program to hand in. Main thread only, like the library.
// May include: library, engine, sequencer.

#include <vector>

#include "engine/sound_library.h"
#include "library/sound_data_manager.h"
#include "sequencer/sequencer_services.h"

namespace strombel::library {

/// The engine's view: samples with their volumes, each bank's pads, and the
/// library's change messages passed on to the engine's observers.
class EngineSoundLibrary final : public engine::SoundLibrary, private SoundDataManagerDelegate {
public:
    explicit EngineSoundLibrary(SoundDataManager& library);
    ~EngineSoundLibrary() override;

    std::vector<engine::LibrarySample> samples() const override;
    std::vector<engine::LibraryPadAssignment> soundbankSamplesOfSoundbank(uint64_t bankIndex) const override;
    void addDelegate(engine::SoundLibraryObserver* observer) override;
    void removeDelegate(engine::SoundLibraryObserver* observer) override;

private:
    void samplesChanged() override;
    void soundbanksChanged() override;
    void storeItemsDownloadingCompleted() override;
    template <class Message>
    void tell(Message message);

    SoundDataManager& library_;
    std::vector<engine::SoundLibraryObserver*> observers_;
};

/// The sequencer's view: the stored patterns and their events, and the
/// library's renames of samples passed on to the sequencer.
class SequencerPatternStore final : public sequencer::PatternStore, private SoundDataManagerDelegate {
public:
    /// Joins the library's observers; it leaves them as it goes (or the library
    /// first, whichever goes first).
    explicit SequencerPatternStore(SoundDataManager& library);

    void setObserver(sequencer::PatternStoreObserver* observer) override { observer_ = observer; }
    std::optional<uint64_t> patternNumBars(uint64_t patternIdx) override;
    void setPatternNumBars(uint64_t patternIdx, uint64_t numBars) override;
    std::vector<sequencer::StoredSequencerEvent> sequencerEventsForPattern(uint64_t patternIdx) override;
    bool addSequenceEventOnPattern(uint64_t patternIdx, uint64_t step, sequencer::PatternEventType type,
                                   const std::string& sampleFilepath) override;
    size_t removeSequenceEventOnPattern(uint64_t patternIdx, uint64_t step, const std::string& sampleFilepath) override;
    void copyAllSequencerEventsOfPattern(uint64_t source, uint64_t target) override;
    void removeAllSequencerEventsOfPattern(uint64_t patternIdx) override;
    void save() override;

private:
    void sampleRenamed(const std::string& from, const std::string& to) override;

    SoundDataManager& library_;
    sequencer::PatternStoreObserver* observer_ = nullptr;
};

}  // namespace strombel::library
