#pragma once

// Services for pad screens that are looked at rather than played.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ui/pad/pad_screen_services.h"

namespace strombel::ui {

// The layout does not depend on what plays: these stand still, with one bank of
// twelve named samples.
struct StillSequencer : PadSequencer {
    void setDelegate(PadSequencerObserver*) override {}
    void removeDelegate(PadSequencerObserver*) override {}
    bool isRunning() const override { return false; }
    void playWithPreBar(bool) override {}
    void stop() override {}
    int32_t bpm() const override { return bpm_; }
    void setBpm(int32_t bpm) override { bpm_ = bpm; }
    float swing() const override { return 0; }
    void setSwing(float) override {}
    bool useMetronome() const override { return false; }
    void setUseMetronome(bool) override {}
    uint64_t activePatternNumBars() const override { return 1; }
    void changeNumBarsTo(int64_t) override {}
    uint64_t activePatternIdx() const override { return 0; }
    uint64_t pendingPatternIdx() const override { return 0; }
    void changePatternTo(uint64_t) override {}
    bool patternHasEvents(uint64_t) override { return false; }
    void erasePattern(uint64_t) override {}
    void copyPattern(uint64_t, uint64_t) override {}
    void eraseAllEventsOfTrack(const std::string&) override {}
    void recordSequencerEventForSample(const std::string&, int32_t) override {}
    std::unique_ptr<PadExport> startExport(uint64_t, const std::string&, std::function<void(float)>,
                                           std::function<void(const PadExportOutcome&)>) override {
        return nullptr;
    }
    int32_t bpm_ = 125;
};

struct StillLibrary : PadLibrary {
    std::vector<std::string> soundbankNames() const override { return {"Groove Kit", "Tamboro"}; }
    std::vector<int64_t> soundbankIds() const override { return {1, 2}; }
    void addObserver(SoundBankListObserver*) override {}
    void removeObserver(SoundBankListObserver*) override {}
    void addDelegate(PadLibraryObserver*) override {}
    void removeDelegate(PadLibraryObserver*) override {}
    std::vector<PadAssignment> soundbankSamplesOfSoundbank(uint64_t) override {
        static const char* names[12] = {"Kick", "Snare", "Hat", "Open Hat", "Clap", "Tom Lo",
                                        "Tom Hi", "Rim", "Shaker", "Cowbell", "Crash", "Ride"};
        std::vector<PadAssignment> pads;
        for (int pad = 0; pad < 12; ++pad) pads.push_back({pad, true, names[pad], "Documents/x.wav"});
        return pads;
    }
    void setSampleVolume(const std::string&, float) override {}
    void save() override {}
    std::string documentsFolder() const override { return {}; }
    std::string exportTempFolder() const override { return {}; }
    bool renameSoundbank(uint64_t, const std::string&) override { return false; }
    std::string userSamplePath(uint64_t) const override { return {}; }
    std::string userSampleNameProblem(const std::string&) const override { return {}; }
    bool setPackSampleOnPad(uint64_t, uint64_t, uint64_t, uint64_t) override { return false; }
};

struct StillMidi : PadMidi {
    void setMidiLearnDelegate(PadMidiLearnObserver*) override {}
    PadMidiLearnObserver* midiLearnDelegate() const override { return nullptr; }
    uint64_t midiLearnBtnIdx() const override { return 99; }
    void startMidiLearnForBtn(uint64_t) override {}
    void stopMidiLearning() override {}
    std::map<int, int> buttonIdxToNoteMap() const override { return {}; }
    int32_t channel() const override { return -1; }
    void setChannel(int32_t) override {}
    bool notesMapToButtons() const override { return true; }
    void setNotesMapToButtons(bool) override {}
    std::vector<MidiPortRow> sources() const override { return {{"Keys", true, false}}; }
    std::vector<MidiPortRow> destinations() const override { return {}; }
    void receiveNotesFrom(const std::string&, bool) override {}
    void receiveClockFrom(const std::string&, bool) override {}
    void sendNotesTo(const std::string&, bool) override {}
    void sendClockTo(const std::string&, bool) override {}
    MidiPortsObserver* midiPortsDelegate() const override { return portsDelegate; }
    void setMidiPortsDelegate(MidiPortsObserver* observer) override { portsDelegate = observer; }
    MidiPortsObserver* portsDelegate = nullptr;
};

}  // namespace strombel::ui
