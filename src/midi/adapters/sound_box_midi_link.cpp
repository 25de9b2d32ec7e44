#include "midi/adapters/sound_box_midi_link.h"

namespace strombel::midi {

// --- SoundBoxMidiLink ---

SoundBoxMidiLink::SoundBoxMidiLink(engine::SoundBox& soundBox, MidiController& hub) : soundBox_(soundBox), hub_(hub) {
    soundBox_.addDelegate(this);
    hub_.setSoundEngine(this);
}

SoundBoxMidiLink::~SoundBoxMidiLink() {
    if (hub_.soundEngine() == this) {
        hub_.setSoundEngine(nullptr);
        hub_.waitUntilActionThreadIdle();  // no engine call of ours is under way afterwards
    }
    soundBox_.removeDelegate(this);
}

void SoundBoxMidiLink::startSoundbankSample(int64_t padIndex, double velocity) {
    soundBox_.startSoundbankSample(static_cast<int>(padIndex), static_cast<float>(velocity));
}

void SoundBoxMidiLink::stopSoundbankSample(int64_t padIndex) {
    soundBox_.stopSoundbankSample(static_cast<int>(padIndex));
}

void SoundBoxMidiLink::startTrackForMidiNote(int32_t note, double velocity) {
    soundBox_.startTrackForMidiNote(note, static_cast<float>(velocity));
}

void SoundBoxMidiLink::stopTrackForMidiNote(int32_t note) { soundBox_.stopTrackForMidiNote(note); }

void SoundBoxMidiLink::soundbankTrackStarted(int pad) { hub_.soundbankTrackStarted(pad); }
void SoundBoxMidiLink::soundbankTrackStopped(int pad) { hub_.soundbankTrackStopped(pad); }
void SoundBoxMidiLink::midiNoteOn(int note) { hub_.midiNoteOn(note); }
void SoundBoxMidiLink::midiNoteOff(int note) { hub_.midiNoteOff(note); }

}  // namespace strombel::midi
