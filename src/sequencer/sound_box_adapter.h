#pragma once

// The real engine behind the sequencer's engine interface. The program builds it
// over SoundBox::shared(); the MIDI hub's side is midi::SequencerMidiLink and the
// library's is library::SequencerPatternStore.

#include "engine/sound_box.h"
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
    std::string metronomeClickOn1File() const override { return soundBox_.metronomeClickOn1File(); }
    std::string metronomeClickOn234File() const override { return soundBox_.metronomeClickOn234File(); }
    bool exportEvents(const std::vector<ExportEvent>& events, const std::string& toFile, double duration,
                      const std::function<void(float)>& progress, std::string* error) override;

private:
    engine::SoundBox& soundBox_;
};

}  // namespace strombel::sequencer
