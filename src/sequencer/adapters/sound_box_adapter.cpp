#include "sequencer/adapters/sound_box_adapter.h"

namespace strombel::sequencer {

platform::Result<void> SoundBoxSequencerEngine::exportEvents(const std::vector<ExportEvent>& events,
                                                             const std::string& toFile, double duration,
                                                             const std::function<void(float)>& progress) {
    return soundBox_.writeExport(events, toFile, duration, progress);
}

MidiClockFollower::MidiClockFollower(midi::MidiController& controller, Sequencer& sequencer)
    : controller_(controller), sequencer_(sequencer) {
    controller_.setMidiClockDelegate(this);
}

MidiClockFollower::~MidiClockFollower() {
    if (controller_.midiClockDelegate() == this) {
        controller_.setMidiClockDelegate(nullptr);
    }
    // A clock message the action thread took before the delegate was cleared may
    // still be on its way to the sequencer: let it arrive while the sequencer lives.
    controller_.waitUntilActionThreadIdle();
}

}  // namespace strombel::sequencer
