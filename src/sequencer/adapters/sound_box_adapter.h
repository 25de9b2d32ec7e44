#pragma once

// src/sequencer/adapters/: the real engine and MIDI hub behind the sequencer's
// interfaces. The program builds them over its SoundBox and MidiController; the
// library's side is library::SequencerPatternStore.
// May include: sequencer, engine, midi.

#include "engine/sound_box.h"
#include "midi/midi_controller.h"
#include "sequencer/sequencer.h"
#include "sequencer/sequencer_services.h"

namespace strombel::sequencer {

/// SoundBox as the sequencer's engine.
class SoundBoxSequencerEngine final : public SequencerEngine {
public:
    explicit SoundBoxSequencerEngine(engine::SoundBox& soundBox) : soundBox_(soundBox) {}

    bool startTrack(const std::string& path, uint64_t atTime, bool tapPad, bool midi, bool ignoreMute,
                    float velocity) override {
        return soundBox_.startTrack(path, atTime, tapPad, midi, ignoreMute, velocity);
    }
    bool startTrackFromSequencer(const std::string& path, uint64_t atTime) override {
        return soundBox_.startTrackFromSequencer(path, atTime);
    }
    bool stopTrackFromSequencer(const std::string& path, uint64_t atTime) override {
        return soundBox_.stopTrackFromSequencer(path, atTime);
    }
    void stopAllTracksIncludeTapPadTriggered(bool include) override {
        soundBox_.stopAllTracksIncludeTapPadTriggered(include);
    }
    void preloadTrack(const std::string& path) override { soundBox_.preloadTrack(path); }
    void trackRenamed(const std::string& from, const std::string& to) override { soundBox_.trackRenamed(from, to); }
    std::string metronomeClickOn1File() const override { return soundBox_.metronomeClickOn1File(); }
    std::string metronomeClickOn234File() const override { return soundBox_.metronomeClickOn234File(); }
    platform::Result<void> exportEvents(const std::vector<ExportEvent>& events, const std::string& toFile,
                                        double duration, const std::function<void(float)>& progress) override;

private:
    engine::SoundBox& soundBox_;
};

/// The MIDI hub's clock output.
class MidiControllerClockOut final : public SequencerMidiOut {
public:
    explicit MidiControllerClockOut(midi::MidiController& controller) : controller_(controller) {}
    void sendClockStart() override { controller_.sendClockStart(); }
    void sendClockStop() override { controller_.sendClockStop(); }
    void sendClockTickAtTime(uint64_t hostTicks) override { controller_.sendClockTickAtTime(hostTicks); }

private:
    midi::MidiController& controller_;
};

/// Hands the MIDI hub's clock messages (MIDI action thread) to the sequencer
/// while it lives: registers itself as the hub's clock delegate and clears it
/// again. Destroy it on another thread than the hub's action thread.
class MidiClockFollower final : public midi::MidiClockDelegate {
public:
    MidiClockFollower(midi::MidiController& controller, Sequencer& sequencer);
    ~MidiClockFollower() override;
    MidiClockFollower(const MidiClockFollower&) = delete;
    MidiClockFollower& operator=(const MidiClockFollower&) = delete;

    void midiClockStartReceived() override { sequencer_.midiClockStartReceived(); }
    void midiClockSongPosition(int32_t position) override { sequencer_.midiClockSongPosition(position); }
    void midiClockContinueReceived() override { sequencer_.midiClockContinueReceived(); }
    void midiClockStopReceived() override { sequencer_.midiClockStopReceived(); }
    void midiClockTickReceived() override { sequencer_.midiClockTickReceived(); }

private:
    midi::MidiController& controller_;
    Sequencer& sequencer_;
};

}  // namespace strombel::sequencer
