#pragma once

// The engine as the screens use it (the pad screen and the library browser), and
// the engine messages they answer. The program hands in an adapter over SoundBox
// (src/app/app_adapters.h) that brings every message onto the main loop.

#include <cstdint>
#include <map>
#include <string>

namespace strombel::ui {

/// Engine messages the screen answers. Main loop only.
class PadEngineObserver {
public:
    virtual ~PadEngineObserver() = default;
    virtual void trackStarted(const std::string& path, bool fromTapPad) = 0;
    virtual void trackStopped(const std::string& path, bool fromTapPad) = 0;
    virtual void trackFinishedPlaying(const std::string& path) = 0;
    virtual void audioRouteChangedStopAudio() = 0;
    /// The sound output was lost, or is back; `message` tells the user, in plain words.
    virtual void audioOutputLost(const std::string& message) { static_cast<void>(message); }
    virtual void audioOutputRestored(const std::string& message) { static_cast<void>(message); }
    /// A sample's file could not be read, so it plays nothing; `message` tells
    /// the user, in plain words. Sent once, until the sample reads again.
    virtual void sampleUnreadable(const std::string& message) { static_cast<void>(message); }
};

/// The engine as the pad screen uses it. Main loop only.
class PadEngine {
public:
    virtual ~PadEngine() = default;
    virtual void addDelegate(PadEngineObserver* observer) = 0;
    virtual void removeDelegate(PadEngineObserver* observer) = 0;

    /// Pad index to the relative path of the sample on that pad of the current bank.
    virtual std::map<int, std::string> currentSoundbankFilePathsByIdx() const = 0;
    virtual uint64_t currentSoundBankIdx() const = 0;
    virtual void currentSoundbankChanged(uint64_t bankIndex) = 0;

    virtual bool isTrackReady(const std::string& path) const = 0;
    virtual bool startTrack(const std::string& path, uint64_t atTime, bool tapPad, bool midi, bool ignoreMute,
                            float velocity) = 0;
    virtual void stopTrack(const std::string& path) = 0;
    virtual void stopAllTracksIncludeTapPadTriggered(bool include) = 0;
    virtual bool isPlaying(const std::string& path) const = 0;
    /// Answers the new mute state; a path without a track answers true.
    virtual bool toggleMuteForTrack(const std::string& path) = 0;
    virtual void toggleSoloForTrack(const std::string& path) = 0;
    virtual bool trackIsMuted(const std::string& path) const = 0;
    virtual float volumeForTrack(const std::string& path) const = 0;
    virtual void setVolumeForTrack(float volume, const std::string& path) = 0;

    virtual void setCutTapPadTracks(bool cut) = 0;
    virtual void setHoldTapPadTracks(bool hold) = 0;
    virtual bool applyFxToTapPadOnly() const = 0;
    virtual void setApplyFxToTapPadOnly(bool only) = 0;

    /// Output levels for the meter (full scale 16384000).
    virtual float currentVolumeLeftChannel() const = 0;
    virtual float currentVolumeRightChannel() const = 0;
    /// Nothing sounds and nothing will until a track starts (no effect tail is
    /// left): the meter may rest. An engine that cannot tell answers false.
    virtual bool isSilent() const { return false; }

    /// The master volume, the effect amounts and the dry/wet balance; each getter
    /// answers what the engine took.
    enum class Setting { volume, pitchAmount, delayIntensity, reverbAmount, cutOffAmount, phaseAmount, crushAmount,
                         effectWetness, delayTime };
    virtual void setSetting(Setting setting, float value) = 0;
    virtual float setting(Setting setting) const = 0;
};

}  // namespace strombel::ui
