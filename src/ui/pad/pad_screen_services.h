#pragma once

// What the main pad screen asks of the engine, the sequencer, the library and the
// MIDI hub, each as a small interface, and the messages it takes from them. The
// program hands in adapters over SoundBox, Sequencer, SoundDataManager and
// MidiController (src/app/pad_screen_adapters.h), which also bring every message
// onto the main loop before the screen hears it.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "library/sound_data_manager.h"
#include "ui/kit/device_orientation.h"
#include "ui/midi_in_out_control.h"
#include "ui/pad_engine.h"
#include "ui/sound_bank_control.h"

namespace strombel::ui {

/// Sequencer messages the screen answers. Main loop only.
class PadSequencerObserver {
public:
    virtual ~PadSequencerObserver() = default;
    virtual void sequencerStarted() = 0;
    virtual void sequencerStopped() = 0;
    virtual void activePatternChanged() = 0;
    virtual void currentBarChanged(int32_t bar, int32_t subBar) = 0;
};

/// How an export ended.
struct PadExportOutcome {
    enum class Status { written, failed, cancelled };
    Status status = Status::written;
    /// Why it failed, in words for the user.
    std::string error;
    /// The length of the file written, in seconds.
    double seconds = 0;
};

/// An export under way on a thread of its own. Going, it cancels the export and
/// waits for its thread: the half-written file goes with it, and its end is never
/// told. Main loop only.
class PadExport {
public:
    virtual ~PadExport() = default;
    /// Stops the export before its next chunk: nothing is written, and the end is
    /// told as cancelled.
    virtual void cancel() = 0;
    /// Waits until the rendering has ended; its end is then told on the main loop.
    virtual void waitUntilRendered() = 0;
};

/// The pattern sequencer as the pad screen uses it. Main loop only.
class PadSequencer {
public:
    virtual ~PadSequencer() = default;
    /// The sequencer has one delegate: the screen that took it last.
    virtual void setDelegate(PadSequencerObserver* observer) = 0;
    /// Gives the role up, only when `observer` still has it.
    virtual void removeDelegate(PadSequencerObserver* observer) = 0;

    virtual bool isRunning() const = 0;
    virtual void playWithPreBar(bool preBar) = 0;
    virtual void stop() = 0;

    virtual int32_t bpm() const = 0;
    virtual void setBpm(int32_t bpm) = 0;
    virtual float swing() const = 0;
    virtual void setSwing(float swing) = 0;
    virtual bool useMetronome() const = 0;
    virtual void setUseMetronome(bool use) = 0;
    virtual uint64_t activePatternNumBars() const = 0;
    virtual void changeNumBarsTo(int64_t bars) = 0;

    virtual uint64_t activePatternIdx() const = 0;
    virtual uint64_t pendingPatternIdx() const = 0;
    virtual void changePatternTo(uint64_t pattern) = 0;
    virtual bool patternHasEvents(uint64_t pattern) = 0;
    virtual void erasePattern(uint64_t pattern) = 0;
    virtual void copyPattern(uint64_t source, uint64_t toSlot) = 0;
    virtual void eraseAllEventsOfTrack(const std::string& path) = 0;
    /// Records a start (0) or stop (1) of a pad-played sample into the active pattern.
    virtual void recordSequencerEventForSample(const std::string& path, int32_t type) = 0;
    /// Starts rendering a pattern into a WAVE file at `toFile` on a thread of its
    /// own (what plays stops first); `progress` (0 to 1) and `done` are heard on the
    /// main loop for as long as the export lives.
    virtual std::unique_ptr<PadExport> startExport(uint64_t pattern, const std::string& toFile,
                                                   std::function<void(float)> progress,
                                                   std::function<void(const PadExportOutcome&)> done) = 0;
};

/// Library messages the screen answers. Main loop only.
class PadLibraryObserver {
public:
    virtual ~PadLibraryObserver() = default;
    virtual void samplesChanged() = 0;
    virtual void soundbanksChanged() = 0;
};

/// One pad assignment of a bank as the library stores it: its order number (the
/// pad, when 0 to 11) and its sample, which may be missing.
struct PadAssignment {
    int64_t orderId = 0;
    bool hasSample = false;
    std::string sampleName;
    std::string samplePath;
};

/// The library as the pad screen uses it (and, as a bank list, its bank
/// selector). Main loop only.
class PadLibrary : public SoundBankList {
public:
    virtual void addDelegate(PadLibraryObserver* observer) = 0;
    virtual void removeDelegate(PadLibraryObserver* observer) = 0;
    virtual std::vector<PadAssignment> soundbankSamplesOfSoundbank(uint64_t bankIndex) = 0;
    /// An identity for each bank, in the order of `soundbankNames()`, that stays
    /// with the bank when banks move; never 0.
    virtual std::vector<int64_t> soundbankIds() const = 0;
    /// Stores a sample's volume (written at the next `save`).
    virtual void setSampleVolume(const std::string& path, float volume) = 0;
    virtual void save() = 0;
    /// The documents folder, where exports go.
    virtual std::string documentsFolder() const = 0;
    /// The folder of files handed to the audio exchange.
    virtual std::string exportTempFolder() const = 0;
    /// Names the bank at `bankIndex` (as typed) and saves the banks; false when
    /// there is no such bank.
    virtual bool renameSoundbank(uint64_t bankIndex, const std::string& name) = 0;
    /// The relative path of the user sample at `index`, or empty when there is none.
    virtual std::string userSamplePath(uint64_t index) const = 0;
    /// Why a new user sample (a file put in the documents folder) could not be
    /// named `name`, in words for the user (another user sample is shown under
    /// it already), or empty when it can.
    virtual std::string userSampleNameProblem(const std::string& name) const = 0;
    /// Puts the pack sample at (`section`, `row`) of the library's pack sample
    /// results on pad `pad` of bank `bankIndex`; answers whether the library took it.
    virtual bool setPackSampleOnPad(uint64_t section, uint64_t row, uint64_t bankIndex, uint64_t pad) = 0;
};

/// The MIDI hub's learn message, on the main loop.
class PadMidiLearnObserver {
public:
    virtual ~PadMidiLearnObserver() = default;
    virtual void midiLearnBtnChangedToNote(int32_t pad, int32_t note) = 0;
};

/// The MIDI hub as the pad screen (and, for its ports, the ports panel) uses it.
/// Main loop only.
class PadMidi : public MidiPorts {
public:
    virtual void setMidiLearnDelegate(PadMidiLearnObserver* observer) = 0;
    /// Who hears learned notes now (a screen clears the role only while it holds it).
    virtual PadMidiLearnObserver* midiLearnDelegate() const = 0;
    /// The pad being learned; 12 or more when none.
    virtual uint64_t midiLearnBtnIdx() const = 0;
    virtual void startMidiLearnForBtn(uint64_t pad) = 0;
    virtual void stopMidiLearning() = 0;
    /// Pad index to learned note.
    virtual std::map<int, int> buttonIdxToNoteMap() const = 0;
    virtual int32_t channel() const = 0;
    virtual void setChannel(int32_t channel) = 0;
    virtual bool notesMapToButtons() const = 0;
    virtual void setNotesMapToButtons(bool map) = 0;
};

/// Everything the pad screen is built on.
struct PadScreenServices {
    PadEngine* engine = nullptr;
    PadSequencer* sequencer = nullptr;
    PadLibrary* library = nullptr;
    PadMidi* midi = nullptr;
    /// The library the store screen shows and installs into; null: no store.
    library::SoundDataManager* storeLibrary = nullptr;
    /// The library itself, for the library browser that SORT opens; without it
    /// SORT opens nothing.
    library::SoundDataManager* soundLibrary = nullptr;
    /// How the device is held; null (or never reported): the phone screen never turns.
    kit::DeviceOrientation* orientation = nullptr;
};

}  // namespace strombel::ui
