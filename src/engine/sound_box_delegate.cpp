#include "engine/sound_box_delegate.h"

#include "engine/sound_box.h"

namespace strombel::engine {

SoundBoxDelegate::~SoundBoxDelegate() {
    for (SoundBox* engine : std::vector(observedEngines_)) engine->removeDelegate(this);
}

void SoundBoxDelegate::trackStarted(const std::string&, bool) {}
void SoundBoxDelegate::trackFinishedPlaying(const std::string&) {}
void SoundBoxDelegate::trackStopped(const std::string& path, bool) { trackFinishedPlaying(path); }
void SoundBoxDelegate::midiNoteOn(int) {}
void SoundBoxDelegate::midiNoteOff(int) {}
void SoundBoxDelegate::soundbankTrackStarted(int) {}
void SoundBoxDelegate::soundbankTrackStopped(int) {}
void SoundBoxDelegate::audioRouteChangedStopAudio() {}
void SoundBoxDelegate::audioOutputLost(const std::string&) {}
void SoundBoxDelegate::audioOutputNotOpened(const std::string&) {}
void SoundBoxDelegate::audioOutputRestored(const std::string&) {}
void SoundBoxDelegate::sampleUnreadable(const std::string&, const std::string&) {}
void SoundBoxDelegate::sampleRecordFailed(const std::string&) {}

}  // namespace strombel::engine
