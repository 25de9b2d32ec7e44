#pragma once

// What the sequencer needs of the engine, the MIDI hub and the library, each as
// a small interface. The program hands in adapters over SoundBox, MidiController
// and SoundDataManager; tests hand in their own in-memory versions.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/export_event.h"
#include "platform/result.h"
#include "sequencer/pattern_event.h"

namespace strombel::sequencer {

/// One timed start or stop of a sample for the engine's offline renderer.
using platform::ExportEvent;

/// The sound engine as the sequencer uses it.
class SequencerEngine {
public:
    virtual ~SequencerEngine() = default;

    /// Starts a sample at `atTime` (host nanoseconds; 0 means at once). The
    /// sequencer calls this for the metronome clicks, from its timing thread,
    /// which is real-time: must not allocate, lock, wait or log there.
    virtual bool startTrack(const std::string& path, uint64_t atTime, bool tapPad, bool midi,
                            bool ignoreMute, float velocity) = 0;
    /// Queues a start / stop of a pattern event at `atTime` (host nanoseconds).
    /// Called from the timing thread (real-time: no allocation, lock, wait or log
    /// line) or the MIDI action thread; must not call back into the sequencer.
    virtual bool startTrackFromSequencer(const std::string& path, uint64_t atTime) = 0;
    virtual bool stopTrackFromSequencer(const std::string& path, uint64_t atTime) = 0;
    /// Stops every playing track (except tap-pad ones unless `include`) and empties the queues.
    virtual void stopAllTracksIncludeTapPadTriggered(bool include) = 0;
    /// Loads a sample's frames ahead of use. Returns at once; the loading runs off
    /// the calling thread.
    virtual void preloadTrack(const std::string& path) = 0;
    /// The sample at `from` is now the file `to`: the engine plays it under both
    /// paths from now on, the new one without a load where it can (and at least
    /// loads it). Main loop.
    virtual void trackRenamed(const std::string& from, const std::string& to) {
        (void)from;
        preloadTrack(to);
    }
    /// Relative paths of the metronome clicks (first beat; beats 2 to 4).
    virtual std::string metronomeClickOn1File() const = 0;
    virtual std::string metronomeClickOn234File() const = 0;
    /// Renders `events` (ascending by time) to a WAVE file of `duration` seconds at
    /// `toFile`, on the calling thread; `progress` (may be empty) hears 0.0 to 1.0.
    /// An Error saying why when the file cannot be written.
    virtual platform::Result<void> exportEvents(const std::vector<ExportEvent>& events, const std::string& toFile,
                                                double duration, const std::function<void(float)>& progress) = 0;
};

/// The MIDI hub's clock output.
class SequencerMidiOut {
public:
    virtual ~SequencerMidiOut() = default;
    /// Clock start (from the timing thread too) and stop (from the main loop).
    virtual void sendClockStart() = 0;
    virtual void sendClockStop() = 0;
    /// One clock tick at `hostTicks` (0 sends at once). Called from the timing
    /// thread, which is real-time: must not allocate, lock, wait or log.
    virtual void sendClockTickAtTime(uint64_t hostTicks) = 0;
};

/// A stored sequencer event of a pattern.
struct StoredSequencerEvent {
    uint64_t step = 0;
    PatternEventType eventType = PatternEventType::start;
    std::string sampleFilePath;
};

/// What the pattern storage tells the sequencer. Main thread only.
class PatternStoreObserver {
public:
    virtual ~PatternStoreObserver() = default;
    /// A sample's file took a new name: the events that played `from` play `to`
    /// (the stored ones follow on their own).
    virtual void samplePathChanged(const std::string& from, const std::string& to) = 0;
};

/// The library's pattern storage. Main thread only.
class PatternStore {
public:
    virtual ~PatternStore() = default;
    /// Who hears of the store's changes to sample paths (null: nobody); one at a time.
    virtual void setObserver(PatternStoreObserver* observer) { (void)observer; }
    /// The bar count of pattern `patternIdx`, creating the pattern with 1 bar when
    /// it does not exist yet; nothing when the store cannot answer.
    virtual std::optional<uint64_t> patternNumBars(uint64_t patternIdx) = 0;
    /// Sets the stored bar count (creating the pattern if needed). Does not save.
    virtual void setPatternNumBars(uint64_t patternIdx, uint64_t numBars) = 0;
    /// The stored events of a pattern, by step ascending (empty on failure).
    virtual std::vector<StoredSequencerEvent> sequencerEventsForPattern(uint64_t patternIdx) = 0;
    /// Adds one event; false when no sample has that path (nothing stored). Does not save.
    virtual bool addSequenceEventOnPattern(uint64_t patternIdx, uint64_t step, PatternEventType type,
                                           const std::string& sampleFilepath) = 0;
    /// Deletes every stored event of that sample at that step; answers how many. Does not save.
    virtual size_t removeSequenceEventOnPattern(uint64_t patternIdx, uint64_t step,
                                                const std::string& sampleFilepath) = 0;
    /// Gives `target` the bar count and a copy of every event of `source`; saves.
    virtual void copyAllSequencerEventsOfPattern(uint64_t source, uint64_t target) = 0;
    /// Deletes every stored event of a pattern; saves.
    virtual void removeAllSequencerEventsOfPattern(uint64_t patternIdx) = 0;
    /// Writes pending changes to disk.
    virtual void save() = 0;
};

}  // namespace strombel::sequencer
