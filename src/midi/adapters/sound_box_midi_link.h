#pragma once

// src/midi/adapters/: the wiring between the MIDI hub and the engine the program
// runs: the hub plays pads through the engine and hears of pads that start and
// stop. The program makes one at start-up, after both. (The sequencer's side of
// the hub, clock out and clock following, is wired by the sequencer's adapters.)
// May include: midi, engine.

#include "engine/sound_box.h"
#include "midi/midi_controller.h"

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

}  // namespace strombel::midi
