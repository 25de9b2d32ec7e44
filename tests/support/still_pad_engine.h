#pragma once

// An engine for screens that are looked at rather than played: nothing sounds,
// nothing it is told changes what it answers, but the settings it is given.

#include <cstdint>
#include <map>
#include <string>

#include "ui/pad_engine.h"

namespace strombel::testing {

/// Stands still: no bank, no track playing, every track as ready as `tracksReady`
/// says, the level meters at fixed values, and the settings it is given kept.
struct StillPadEngine : ui::PadEngine {
    bool tracksReady = false;
    bool fxOnTapPadOnly = false;
    float leftVolume = 0;
    float rightVolume = 0;
    std::map<Setting, float> settings;

    void addDelegate(ui::PadEngineObserver*) override {}
    void removeDelegate(ui::PadEngineObserver*) override {}
    std::map<int, std::string> currentSoundbankFilePathsByIdx() const override { return {}; }
    uint64_t currentSoundBankIdx() const override { return 0; }
    void currentSoundbankChanged(uint64_t) override {}
    bool isTrackReady(const std::string&) const override { return tracksReady; }
    bool startTrack(const std::string&, uint64_t, bool, bool, bool, float) override { return tracksReady; }
    void stopTrack(const std::string&) override {}
    void stopAllTracksIncludeTapPadTriggered(bool) override {}
    bool isPlaying(const std::string&) const override { return false; }
    bool toggleMuteForTrack(const std::string&) override { return true; }
    void toggleSoloForTrack(const std::string&) override {}
    bool trackIsMuted(const std::string&) const override { return false; }
    float volumeForTrack(const std::string&) const override { return 1; }
    void setVolumeForTrack(float, const std::string&) override {}
    void setCutTapPadTracks(bool) override {}
    void setHoldTapPadTracks(bool) override {}
    bool applyFxToTapPadOnly() const override { return fxOnTapPadOnly; }
    void setApplyFxToTapPadOnly(bool) override {}
    float currentVolumeLeftChannel() const override { return leftVolume; }
    float currentVolumeRightChannel() const override { return rightVolume; }
    void setSetting(Setting setting, float value) override { settings[setting] = value; }
    float setting(Setting setting) const override {
        auto found = settings.find(setting);
        return found == settings.end() ? 0 : found->second;
    }
};

}  // namespace strombel::testing
