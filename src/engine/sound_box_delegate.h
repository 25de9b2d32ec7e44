#pragma once

#include <string>
#include <vector>

namespace strombel::engine {

class SoundBox;

/// What the engine tells its observers. Every message is delivered on the main
/// loop's thread, in the order the observers were added; each defaults to doing
/// nothing. An observer removes itself from every engine it observes when it goes.
class SoundBoxDelegate {
public:
    SoundBoxDelegate() = default;
    SoundBoxDelegate(const SoundBoxDelegate&) = delete;
    SoundBoxDelegate& operator=(const SoundBoxDelegate&) = delete;
    virtual ~SoundBoxDelegate();

    /// A track's playback began.
    virtual void trackStarted(const std::string& path, bool fromTapPad);
    /// A track reached its end.
    virtual void trackFinishedPlaying(const std::string& path);
    /// A track's stop time was reached. By default this is reported as
    /// `trackFinishedPlaying`, as to an observer that does not listen for stops.
    virtual void trackStopped(const std::string& path, bool fromTapPad);
    /// A track with a note number began or ended (not when MIDI started it).
    virtual void midiNoteOn(int note);
    virtual void midiNoteOff(int note);
    /// A track on a pad of the current bank began or ended (not when MIDI started
    /// it); on a bank change, for each old pad whose track still sounds.
    virtual void soundbankTrackStarted(int pad);
    virtual void soundbankTrackStopped(int pad);
    /// The output device disappeared; playback was stopped.
    virtual void audioRouteChangedStopAudio();
    /// The sound output was lost (its server went away, its card failed); the
    /// engine plays on to no output. `message` tells the user so, and why.
    virtual void audioOutputLost(const std::string& message);
    /// The sound output could not be opened (no sound device was found, or
    /// none opened); the engine plays to no output and looks for one. `message`
    /// tells the user so, and why.
    virtual void audioOutputNotOpened(const std::string& message);
    /// The sound output is back (after a loss, or one that could not be opened);
    /// `message` tells the user so.
    virtual void audioOutputRestored(const std::string& message);
    /// The file of the sample at `path` could not be read, so it plays nothing;
    /// `message` tells the user so, and why. Told once, until it reads again.
    virtual void sampleUnreadable(const std::string& path, const std::string& message);
    /// The take under way stopped being written (its disk is full, or failed):
    /// what it recorded is lost, though the recording runs until it is stopped.
    /// `reason` is the file system's own words.
    virtual void sampleRecordFailed(const std::string& reason);

private:
    friend class SoundBox;
    std::vector<SoundBox*> observedEngines_;
};

}  // namespace strombel::engine
