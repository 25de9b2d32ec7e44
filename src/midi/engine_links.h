#pragma once

// The wiring between the MIDI hub and the engine and sequencer the program runs:
// the hub plays pads through the engine and hears of pads that start and stop;
// the sequencer sends its clock through the hub and follows the clock the hub
// receives. The program makes one of each at start-up, after the three parts.

#include <atomic>

#include "engine/sound_box.h"
#include "midi/midi_controller.h"
#include "sequencer/sequencer.h"

namespace strombel::midi {

/// Plays the hub's notes on the engine and sends the engine's pad starts and
/// stops out as notes. Made and destroyed on the main thread; it unhooks itself
/// from both when it goes. Both must outlive it.
class SoundBoxMidiLink final : public MidiSoundEngine, public engine::SoundBoxDelegate {
public:
    SoundBoxMidiLink(engine::SoundBox& soundBox, MidiController& hub);
    ~SoundBoxMidiLink() override;

    // MidiSoundEngine (MIDI action thread)
    void startSoundbankSample(int64_t padIndex, double velocity) override;
    void stopSoundbankSample(int64_t padIndex) override;
    void startTrackForMidiNote(int32_t note, double velocity) override;
    void stopTrackForMidiNote(int32_t note) override;

    // SoundBoxDelegate (main thread)
    void soundbankTrackStarted(int pad) override;
    void soundbankTrackStopped(int pad) override;
    void midiNoteOn(int note) override;
    void midiNoteOff(int note) override;

private:
    engine::SoundBox& soundBox_;
    MidiController& hub_;
};

/// The sequencer's MIDI side: its clock goes out through the hub, and the clock
/// the hub follows drives it. Make it before the sequencer (which takes it as
/// its MIDI out), then `attach` the sequencer; detach before the sequencer goes.
class SequencerMidiLink final : public sequencer::SequencerMidiOut, public MidiClockDelegate {
public:
    explicit SequencerMidiLink(MidiController& hub);
    ~SequencerMidiLink() override;

    /// Makes `sequencer` follow the hub's clock (none stops following).
    void attach(sequencer::Sequencer* sequencer);

    // SequencerMidiOut (sequencer thread)
    void sendClockStart() override { hub_.sendClockStart(); }
    void sendClockStop() override { hub_.sendClockStop(); }
    void sendClockTickAtTime(uint64_t hostTicks) override { hub_.sendClockTickAtTime(hostTicks); }

    // MidiClockDelegate (MIDI action thread)
    void midiClockStartReceived() override;
    void midiClockSongPosition(int32_t position) override;
    void midiClockContinueReceived() override;
    void midiClockStopReceived() override;
    void midiClockTickReceived() override;

private:
    MidiController& hub_;
    std::atomic<sequencer::Sequencer*> sequencer_{nullptr};
};

}  // namespace strombel::midi
