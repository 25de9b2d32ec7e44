#pragma once

#include <cstdint>

namespace strombel::midi {

/// What the MIDI hub needs of the engine: starting and stopping the sounds that
/// incoming notes play. The program hands the hub an adapter over the engine;
/// tests hand it one that records the calls.
///
/// Called on the MIDI action thread, one call at a time, in the order the notes
/// arrived. The engine hands each request to its audio thread without a lock;
/// it must not call back into the hub.
class MidiSoundEngine {
public:
    virtual ~MidiSoundEngine() = default;
    /// Starts the sample on pad `padIndex` of the current bank; `velocity` is the
    /// note's velocity / 100 (127 gives 1.27). An index without a sample, such as
    /// -1, does nothing.
    virtual void startSoundbankSample(int64_t padIndex, double velocity) = 0;
    virtual void stopSoundbankSample(int64_t padIndex) = 0;
    /// Starts the sample at `note` counted across all banks (bank index x 12 + pad).
    virtual void startTrackForMidiNote(int32_t note, double velocity) = 0;
    virtual void stopTrackForMidiNote(int32_t note) = 0;
};

}  // namespace strombel::midi
