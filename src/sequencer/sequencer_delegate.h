#pragma once

#include <cstdint>

namespace strombel::sequencer {

/// What the sequencer tells its observers (the pad screen). Every message is
/// delivered on the main loop; the defaults do nothing.
class SequencerDelegate {
public:
    virtual ~SequencerDelegate() = default;
    /// Playback began, on the own clock or following an outside MIDI clock.
    virtual void sequencerStarted() {}
    virtual void sequencerStopped() {}
    /// A new active pattern was chosen (at the request) or took over (at step 0).
    virtual void activePatternChanged() {}
    /// A beat began: `bar` counts from 1 (0 during the count-in bar), `subBar` is the beat 1 to 4.
    virtual void currentBarChanged(int32_t bar, int32_t subBar) {
        (void)bar;
        (void)subBar;
    }
};

}  // namespace strombel::sequencer
