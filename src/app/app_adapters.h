#pragma once

// The adapters that show the engine, the library, the sequencer and the MIDI hub
// to the pad screen and the application delegate, over the seams they declare.
// (The subsystems wire themselves to each other with their own links: the
// library's EngineSoundLibrary and SequencerPatternStore, the sequencer's
// SoundBoxSequencerEngine, MidiControllerClockOut and MidiClockFollower, and the
// MIDI hub's SoundBoxMidiLink.)
// Every message that reaches the pad screen or the application delegate passes
// through `onMain`, so it runs on the main loop whatever thread sent it.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/app_services.h"
#include "engine/sound_box.h"
#include "engine/sound_library.h"
#include "library/sound_data_manager.h"
#include "midi/midi_controller.h"
#include "platform/main_loop.h"
#include "sequencer/sequencer.h"
#include "sequencer/sequencer_services.h"
#include "ui/pad/pad_screen_services.h"

namespace strombel::app {

/// Runs `work` now when on the main loop's thread, else posts it there; posted
/// work is dropped when `alive` has expired by then.
void onMain(platform::MainLoop& loop, std::weak_ptr<void> alive, std::function<void()> work);

// ---- The pad screen's view of each -------------------------------------------------

class PadEngineAdapter final : public ui::PadEngine, private engine::SoundBoxDelegate {
public:
    PadEngineAdapter(engine::SoundBox& engine, platform::MainLoop& loop);
    ~PadEngineAdapter() override;

    void addDelegate(ui::PadEngineObserver* observer) override;
    void removeDelegate(ui::PadEngineObserver* observer) override;
    size_t observerCount() const { return observers_.size(); }
    std::map<int, std::string> currentSoundbankFilePathsByIdx() const override {
        return engine_.currentSoundbankFilePathsByIdx();
    }
    uint64_t currentSoundBankIdx() const override { return engine_.currentSoundBankIdx(); }
    void currentSoundbankChanged(uint64_t bankIndex) override { engine_.currentSoundbankChanged(bankIndex); }
    bool isTrackReady(const std::string& path) const override { return engine_.isTrackReady(path); }
    bool startTrack(const std::string& path, uint64_t atTime, bool tapPad, bool midi, bool ignoreMute,
                    float velocity) override {
        return engine_.startTrack(path, atTime, tapPad, midi, ignoreMute, velocity);
    }
    void stopTrack(const std::string& path) override { engine_.stopTrack(path); }
    void stopAllTracksIncludeTapPadTriggered(bool include) override {
        engine_.stopAllTracksIncludeTapPadTriggered(include);
    }
    bool isPlaying(const std::string& path) const override { return engine_.isPlaying(path); }
    bool toggleMuteForTrack(const std::string& path) override { return engine_.toggleMuteForTrack(path); }
    void toggleSoloForTrack(const std::string& path) override { engine_.toggleSoloForTrack(path); }
    bool trackIsMuted(const std::string& path) const override { return engine_.trackIsMuted(path); }
    float volumeForTrack(const std::string& path) const override { return engine_.volumeForTrack(path); }
    void setVolumeForTrack(float volume, const std::string& path) override { engine_.setVolume(volume, path); }
    void setCutTapPadTracks(bool cut) override { engine_.setCutTapPadTracks(cut); }
    void setHoldTapPadTracks(bool hold) override { engine_.setHoldTapPadTracks(hold); }
    bool applyFxToTapPadOnly() const override { return engine_.applyFxToTapPadOnly(); }
    void setApplyFxToTapPadOnly(bool only) override { engine_.setApplyFxToTapPadOnly(only); }
    float currentVolumeLeftChannel() const override { return engine_.currentVolumeLeftChannel(); }
    float currentVolumeRightChannel() const override { return engine_.currentVolumeRightChannel(); }
    bool isSilent() const override { return engine_.isSilent(); }
    void setSetting(Setting setting, float value) override;
    float setting(Setting setting) const override;

private:
    void trackStarted(const std::string& path, bool fromTapPad) override;
    void trackFinishedPlaying(const std::string& path) override;
    void trackStopped(const std::string& path, bool fromTapPad) override;
    void audioRouteChangedStopAudio() override;
    void audioOutputLost(const std::string& message) override;
    void audioOutputRestored(const std::string& message) override;
    void sampleUnreadable(const std::string& path, const std::string& message) override;
    void deliver(std::function<void(ui::PadEngineObserver&)> message);

    engine::SoundBox& engine_;
    platform::MainLoop& loop_;
    std::vector<ui::PadEngineObserver*> observers_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

class PadSequencerAdapter final : public ui::PadSequencer, private sequencer::SequencerDelegate {
public:
    PadSequencerAdapter(sequencer::Sequencer& sequencer, engine::SoundBox& engine, platform::MainLoop& loop);
    ~PadSequencerAdapter() override;

    void setDelegate(ui::PadSequencerObserver* observer) override { observer_ = observer; }
    void removeDelegate(ui::PadSequencerObserver* observer) override {
        if (observer_ == observer) observer_ = nullptr;
    }
    bool hasDelegate() const { return observer_ != nullptr; }
    bool isRunning() const override { return sequencer_.isRunning(); }
    void playWithPreBar(bool preBar) override { sequencer_.playWithPreBar(preBar); }
    void stop() override { sequencer_.stop(); }
    int32_t bpm() const override { return sequencer_.bpm(); }
    void setBpm(int32_t bpm) override { sequencer_.setBpm(bpm); }
    float swing() const override { return sequencer_.swing(); }
    void setSwing(float swing) override { sequencer_.setSwing(swing); }
    bool useMetronome() const override { return sequencer_.useMetronome(); }
    void setUseMetronome(bool use) override { sequencer_.setUseMetronome(use); }
    uint64_t activePatternNumBars() const override { return sequencer_.activePatternNumBars(); }
    void changeNumBarsTo(int64_t bars) override {
        if (bars >= 1) sequencer_.changeNumBarsTo(uint64_t(bars));
    }
    uint64_t activePatternIdx() const override { return sequencer_.activePatternIdx(); }
    uint64_t pendingPatternIdx() const override { return sequencer_.pendingPatternIdx(); }
    void changePatternTo(uint64_t pattern) override { sequencer_.changePatternTo(pattern); }
    bool patternHasEvents(uint64_t pattern) override { return sequencer_.patternHasEvents(pattern); }
    void erasePattern(uint64_t pattern) override { sequencer_.erasePattern(pattern); }
    void copyPattern(uint64_t source, uint64_t toSlot) override { sequencer_.copyPattern(source, toSlot); }
    void eraseAllEventsOfTrack(const std::string& path) override { sequencer_.eraseAllEventsOfTrack(path); }
    void recordSequencerEventForSample(const std::string& path, int32_t type) override {
        sequencer_.recordSequencerEventForSample(path, static_cast<sequencer::PatternEventType>(type));
    }
    /// The pattern's events are read now; the engine renders them on its export thread.
    std::unique_ptr<ui::PadExport> startExport(uint64_t pattern, const std::string& toFile,
                                               std::function<void(float)> progress,
                                               std::function<void(const ui::PadExportOutcome&)> done) override;

private:
    void sequencerStarted() override;
    void sequencerStopped() override;
    void activePatternChanged() override;
    void currentBarChanged(int32_t bar, int32_t subBar) override;
    void deliver(std::function<void(ui::PadSequencerObserver&)> message);

    sequencer::Sequencer& sequencer_;
    engine::SoundBox& engine_;
    platform::MainLoop& loop_;
    ui::PadSequencerObserver* observer_ = nullptr;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

class PadLibraryAdapter final : public ui::PadLibrary, private library::SoundDataManagerDelegate {
public:
    explicit PadLibraryAdapter(library::SoundDataManager& library);
    ~PadLibraryAdapter() override;

    void addDelegate(ui::PadLibraryObserver* observer) override;
    void removeDelegate(ui::PadLibraryObserver* observer) override;
    size_t observerCount() const { return observers_.size(); }
    std::vector<ui::PadAssignment> soundbankSamplesOfSoundbank(uint64_t bankIndex) override;
    std::vector<std::string> soundbankNames() const override;
    std::vector<int64_t> soundbankIds() const override;
    void addObserver(ui::SoundBankListObserver* observer) override;
    void removeObserver(ui::SoundBankListObserver* observer) override;
    void setSampleVolume(const std::string& path, float volume) override;
    void save() override { library_.save(); }
    std::string documentsFolder() const override { return library_.applicationDocumentsDirectory().string(); }
    std::string exportTempFolder() const override { return library_.exportTempFolder().string(); }
    bool renameSoundbank(uint64_t bankIndex, const std::string& name) override;
    std::string userSamplePath(uint64_t index) const override;
    std::string userSampleNameProblem(const std::string& name) const override {
        return library_.userSampleNameProblem({}, name);
    }
    bool setPackSampleOnPad(uint64_t section, uint64_t row, uint64_t bankIndex, uint64_t pad) override;

private:
    void samplesChanged() override;
    void soundbanksChanged() override;

    library::SoundDataManager& library_;
    std::vector<ui::PadLibraryObserver*> observers_;
    std::vector<ui::SoundBankListObserver*> bankObservers_;
};

class PadMidiAdapter final : public ui::PadMidi, private midi::MidiLearnDelegate, private midi::MidiPortsDelegate {
public:
    PadMidiAdapter(midi::MidiController& hub, platform::MainLoop& loop);
    ~PadMidiAdapter() override;

    void setMidiLearnDelegate(ui::PadMidiLearnObserver* observer) override;
    ui::PadMidiLearnObserver* midiLearnDelegate() const override;
    uint64_t midiLearnBtnIdx() const override { return hub_.midiLearnBtnIdx(); }
    void startMidiLearnForBtn(uint64_t pad) override { hub_.startMidiLearnForBtn(pad); }
    void stopMidiLearning() override { hub_.stopMidiLearning(); }
    std::map<int, int> buttonIdxToNoteMap() const override;
    int32_t channel() const override { return hub_.channel(); }
    void setChannel(int32_t channel) override { hub_.setChannel(channel); }
    bool notesMapToButtons() const override { return hub_.notesMapToButtons(); }
    void setNotesMapToButtons(bool map) override { hub_.setNotesMapToButtons(map); }

    std::vector<ui::MidiPortRow> sources() const override { return rows(hub_.sources()); }
    std::vector<ui::MidiPortRow> destinations() const override { return rows(hub_.destinations()); }
    void receiveNotesFrom(const std::string& name, bool enabled) override { hub_.receiveNotesFrom(name, enabled); }
    void receiveClockFrom(const std::string& name, bool enabled) override { hub_.receiveClockFrom(name, enabled); }
    void sendNotesTo(const std::string& name, bool enabled) override { hub_.sendNotesTo(name, enabled); }
    void sendClockTo(const std::string& name, bool enabled) override { hub_.sendClockTo(name, enabled); }
    bool midiSystemAvailable() const override { return hub_.midiSystemAvailable(); }
    ui::MidiPortsObserver* midiPortsDelegate() const override;
    void setMidiPortsDelegate(ui::MidiPortsObserver* observer) override;

private:
    void midiLearnBtn(uint64_t pad, int32_t note) override;
    // The hub reports port changes on the main loop.
    void sourcePortsChanged() override;
    void destinationPortsChanged() override;
    static std::vector<ui::MidiPortRow> rows(const std::vector<midi::MidiPort>& ports);

    midi::MidiController& hub_;
    platform::MainLoop& loop_;
    ui::PadMidiLearnObserver* observer_ = nullptr;
    ui::MidiPortsObserver* portsObserver_ = nullptr;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

// ---- The application delegate's view --------------------------------------------------

class AppEngineAdapter final : public AppEngine {
public:
    explicit AppEngineAdapter(engine::SoundBox& engine) : engine_(engine) {}
    bool start() override { return engine_.start(); }
    void startOverrideIsPlayingCheck(bool overrideCheck) override { engine_.startOverrideIsPlayingCheck(overrideCheck); }
    void stop() override { engine_.stop(); }
    bool isRecording() const override { return engine_.isRecording(); }
    void clearUnusedCache() override { engine_.clearUnusedCache(); }
    hub::AudioUnitHandle audioUnit() const override { return &engine_.audioUnit(); }
    std::string lastError() const override { return engine_.audioUnit().lastError(); }

private:
    engine::SoundBox& engine_;
};

class AppSequencerAdapter final : public AppSequencer {
public:
    explicit AppSequencerAdapter(sequencer::Sequencer& sequencer) : sequencer_(sequencer) {}
    bool isRunning() const override { return sequencer_.isRunning(); }

private:
    sequencer::Sequencer& sequencer_;
};

/// Brings the stored library up to date; a store that cannot be opened, or one
/// that was damaged and set aside, is reported.
class AppLibraryAdapter final : public AppLibrary {
public:
    explicit AppLibraryAdapter(library::SoundDataManager& library) : library_(library) {}
    std::string makeDataUpToDate() override;
    void save() override { library_.save(); }

private:
    library::SoundDataManager& library_;
};

}  // namespace strombel::app
