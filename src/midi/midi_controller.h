#pragma once

// src/midi/: MIDI: the system's sources and destinations (MidiSystem), the hub
// (MidiController), the parser and the note maps.
// May include: platform, platform/devices, logging.

// The MIDI hub: incoming notes play pads (through a learnable note map, or by
// note number across banks), pads that start and stop send notes, one chosen
// source's clock drives the sequencer, and the sequencer's clock goes out.
// The user's port choices are kept as whitelists of names in the user defaults.
//
// Threads:
// - MIDI read thread (the backend's; under JACK, JACK's real-time process
//   thread): copies each packet's bytes into a ring and wakes the action thread.
//   Nothing else happens there: no parsing, no lock, no allocation.
// - MIDI action thread (ours): parses the bytes and carries the messages out,
//   one at a time, in order; the engine calls, learning and the clock delegate
//   happen there. It also sends the clock that the sequencer asks for.
// - Main loop: port changes, the ports panel, settings and the engine's
//   notifications of pads that started or stopped (notes out).
// - Any thread (the sequencer's real-time one too): clock out, which only
//   queues the request for the action thread.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "midi/midi_message.h"
#include "midi/midi_parser.h"
#include "midi/midi_sound_engine.h"
#include "midi/midi_system.h"
#include "midi/note_map_file.h"
#include "platform/mpsc_ring.h"
#include "platform/not_found.h"
#include "platform/thread_role.h"
#include "platform/wakeup.h"
#include "platform/worker.h"

namespace strombel::midi {

/// The pad index that means "no pad is being learned".
using platform::kNotFound;

inline constexpr const char* kClockInWhitelistKey = "CLOCK_IN_WHITELIST";
inline constexpr const char* kNotesInWhitelistKey = "NOTES_IN_WHITELIST";
inline constexpr const char* kClockOutWhitelistKey = "CLOCK_OUT_WHITELIST";
inline constexpr const char* kNotesOutWhitelistKey = "NOTES_OUT_WHITELIST";

/// Receives the followed clock (the sequencer). Called on the MIDI action thread.
class MidiClockDelegate {
public:
    virtual ~MidiClockDelegate() = default;
    virtual void midiClockStartReceived() {}
    /// `position` in sixteenth notes (data1 + data2 x 128).
    virtual void midiClockSongPosition(int32_t) {}
    virtual void midiClockContinueReceived() {}
    virtual void midiClockStopReceived() {}
    virtual void midiClockTickReceived() {}
};

/// Told of each learned note (the pad screen). Called on the MIDI action thread.
class MidiLearnDelegate {
public:
    virtual ~MidiLearnDelegate() = default;
    virtual void midiLearnBtn(uint64_t, int32_t /*changedToNote*/) {}
};

/// Told when the port lists change (the MIDI ports panel). Called on the main loop.
class MidiPortsDelegate {
public:
    virtual ~MidiPortsDelegate() = default;
    virtual void sourcePortsChanged() {}
    virtual void destinationPortsChanged() {}
};

/// One row of the MIDI ports panel.
struct MidiPort {
    bool processNotes = false;
    bool processTempo = false;
    std::string name;
};

class MidiController final : public MidiDelegate, public MidiSourceDelegate {
public:
    /// Everything the hub stands on; tests build their own.
    struct Setup {
        platform::MidiBackend& backend;
        platform::MainLoop& mainLoop;
        platform::NotificationCenter& notificationCenter;
        platform::UserDefaults& defaults;
        std::filesystem::path documentsFolder;  // where ".noteToButtonMap.dict" lives
        std::string bundleName = "Tumblecraft";  // names the virtual endpoints
        MidiSoundEngine* engine = nullptr;       // may be set later with setSoundEngine
    };

    /// How long the MIDI system must stay away before its absence is told (a
    /// warning; its return is told as loudly): a JACK server that refused one
    /// opening is taken up again within it.
    static constexpr uint64_t kAbsenceGrace = 3 * platform::kNanosPerSecond;

    /// Starts the hub: the wrapper with its virtual endpoints, the note map, the
    /// whitelists, the action thread, and the whitelisted ports attached.
    explicit MidiController(Setup setup);
    /// Stops the action thread after the messages already handed over.
    ~MidiController() override;
    MidiController(const MidiController&) = delete;
    MidiController& operator=(const MidiController&) = delete;

    /// The program's hub, made on first use over the real MIDI backend, the
    /// shared main loop, defaults and sandbox.
    static MidiController& shared();
    /// Ends the program's hub (tests, shutdown); the next `shared()` makes a new one.
    static void resetShared();

    /// The engine that notes play; the program wires it at start-up.
    void setSoundEngine(MidiSoundEngine* engine) { engine_.store(engine); }
    MidiSoundEngine* soundEngine() const { return engine_.load(); }

    // --- Settings (pad screen) ---
    bool notesMapToButtons() const { return notesMapToButtons_.load(); }
    void setNotesMapToButtons(bool value) { notesMapToButtons_.store(value); }
    /// -1 for omni, else 0 to 15; other values are taken as omni.
    int32_t channel() const { return channel_.load(); }
    void setChannel(int32_t channel);
    MidiClockDelegate* midiClockDelegate() const { return clockDelegate_.load(); }
    void setMidiClockDelegate(MidiClockDelegate* delegate) { clockDelegate_.store(delegate); }
    MidiPortsDelegate* midiPortsDelegate() const { return portsDelegate_; }
    void setMidiPortsDelegate(MidiPortsDelegate* delegate) { portsDelegate_ = delegate; }
    MidiLearnDelegate* midiLearnDelegate() const { return learnDelegate_.load(); }
    void setMidiLearnDelegate(MidiLearnDelegate* delegate) { learnDelegate_.store(delegate); }

    // --- Learning ---
    void startMidiLearnForBtn(uint64_t padIndex);
    /// Ends learning and saves the map when learning changed it. Notes learned
    /// while learning is still on are saved when the program quits too.
    void stopMidiLearning();
    uint64_t midiLearnBtnIdx() const { return midiLearnBtnIdx_.load(); }
    /// Pad index to note, the inverse of the note map (the last note met wins).
    std::map<int64_t, int32_t> buttonIdxToNoteMap() const;
    NoteToButtonMap noteToButtonMap() const;
    /// Pad i to note 60 + i, for outgoing notes.
    static int32_t buttonToNote(int64_t padIndex);

    // --- Ports panel ---
    std::vector<MidiPort> sources() const;
    std::vector<MidiPort> destinations() const;
    void receiveNotesFrom(const std::string& name, bool enabled);
    void receiveClockFrom(const std::string& name, bool enabled);
    void sendNotesTo(const std::string& name, bool enabled);
    void sendClockTo(const std::string& name, bool enabled);
    /// False while there is no MIDI system to have ports on.
    bool midiSystemAvailable() const { return midi_->backend().available(); }

    // --- Clock out (any thread, real-time ones included) ---
    // Each queues the message for the action thread, which sends it to the clock
    // destinations in the order asked: never a lock, a wait or an allocation.
    void sendClockStart();
    void sendClockStop();
    /// A clock tick at host time `hostTime` (host ticks; 0 is now).
    void sendClockTickAtTime(uint64_t hostTime);
    void cancelScheduledMidiMessages();

    // --- Notes out ---
    void sendNoteOn(int32_t note);
    void sendNoteOff(int32_t note);

    // --- The engine's notifications (main loop) ---
    void soundbankTrackStarted(int64_t padIndex);
    void soundbankTrackStopped(int64_t padIndex);
    void midiNoteOn(int32_t note);
    void midiNoteOff(int32_t note);

    // --- MidiDelegate (main loop) and MidiSourceDelegate (MIDI read thread) ---
    void sourceAdded(MidiSystem& midi, const std::shared_ptr<MidiSource>& source) override;
    void sourceRemoved(MidiSystem& midi, const std::shared_ptr<MidiSource>& source) override;
    void destinationAdded(MidiSystem& midi, const std::shared_ptr<MidiDestination>& destination) override;
    void destinationRemoved(MidiSystem& midi, const std::shared_ptr<MidiDestination>& destination) override;
    void systemAvailabilityChanged(MidiSystem& midi, bool available) override;
    /// Called on the MIDI read thread (real-time under JACK): copies the packets'
    /// bytes into the action thread's ring and wakes it. Never parses, allocates,
    /// locks or waits; packets the ring cannot take are counted and dropped.
    void midiReceived(MidiSource& source, MidiPacketList packets) override;

    /// Carries out one message (on the action thread).
    void handleMidiMessage(const MidiMessage& message);
    /// Returns once every packet handed over and every clock message asked for so
    /// far has been carried out.
    void waitUntilActionThreadIdle();
    /// Input packets (or pieces of long ones) dropped because the action thread's
    /// ring was full, and clock messages dropped for the same reason.
    uint64_t droppedMessages() const { return dropped_.load(); }
    uint64_t droppedClockMessages() const { return droppedClock_.load(); }

    MidiSystem& midi() const { return *midi_; }
    std::filesystem::path noteToButtonMapFilePath() const;
    /// Saves the note map; false (and an error in the log) when it cannot.
    bool persistMidiMaps();
    /// Why the note map could not be written the last time it was; empty while
    /// it is kept.
    std::string noteMapWriteProblem() const;
    /// Told (on the thread that tried to write) whenever that reason changes,
    /// with the new one; empty once the map is written again.
    void setNoteMapProblemHandler(std::function<void(const std::string&)> handler);
    /// Where an unreadable note map was set aside at start, if it was.
    std::optional<std::filesystem::path> setAsideNoteMapPath() const { return setAsideNoteMap_; }
    /// How reading the note map went at start (`loaded` and `missing` are fine),
    /// and why it failed when it did.
    NoteMapRead::Outcome noteMapReadOutcome() const { return noteMapRead_; }
    const std::string& noteMapReadError() const { return noteMapReadError_; }

private:
    // The user's port choices, replaced as a whole on the main loop and read
    // anywhere through a snapshot.
    struct PortChoice {
        std::optional<std::string> clockInSourceName;
        std::set<std::string> notesInSourceNames;
        std::set<std::string> clockOutDestinationNames;
        std::set<std::string> notesOutDestinationNames;
        MidiSystem::Destinations notesOutDestinations;
        MidiSystem::Destinations clockOutDestinations;
    };

    /// A piece of a packet on its way from a read thread to the action thread:
    /// the bytes are copied; the source's shared name identifies the source and
    /// names the messages. A record without bytes and `forget` set tells the
    /// action thread that the source is gone. A packet longer than a record goes
    /// in several, each but the last marked `more`; the action thread puts them
    /// together again before it parses.
    struct InputRecord {
        static constexpr size_t kBytes = 120;
        std::shared_ptr<const std::string> source;
        uint64_t timeStamp = 0;
        uint16_t length = 0;
        bool forget = false;
        bool more = false;
        std::array<uint8_t, kBytes> bytes{};
    };
    /// One kind of output, notes or clock: where a port choice keeps its
    /// destinations' names and the destinations, and the defaults key that
    /// remembers the names.
    struct Output {
        std::set<std::string> PortChoice::*names;
        MidiSystem::Destinations PortChoice::*destinations;
        const char* whitelistKey;
    };
    static const Output kNotesOut;
    static const Output kClockOut;

    /// A clock message the sequencer asked for, or a cancel of the scheduled
    /// ones. `cancels` counts the cancels asked for before it.
    struct ClockRequest {
        enum class Kind : uint8_t { start, stop, tick, cancel } kind = Kind::tick;
        uint64_t hostTime = 0;
        uint64_t cancels = 0;
    };

    void initMidiMaps();
    void initPortConnections();
    void attachToAllWhitelistedSourcesAndDestinations();
    void threadMain();
    /// Action thread: parses and carries out what the ring holds; sends the clock.
    void takeInput();
    void takeClockRequests();
    /// Action thread: drops what is scheduled once for every cancel not yet carried out.
    void carryOutCancels();
    /// Saves the note map if learning changed it since it was last written.
    void persistLearnedNotes();
    void noteOn(const MidiMessage& message);
    std::shared_ptr<const PortChoice> portChoice() const;
    void setPortChoice(std::shared_ptr<const PortChoice> choice);
    static std::vector<std::string> arrayOf(const std::set<std::string>& names);
    /// Sends `output` to the destination called `name`, or stops, and remembers the choice.
    void sendTo(const Output& output, const std::string& name, bool enabled);
    void sendToNotesOut(const uint8_t* bytes, uint32_t size);
    void queueClock(ClockRequest::Kind kind, uint64_t hostTime);
    void handedOver();

    platform::MainLoop& mainLoop_;
    platform::UserDefaults& defaults_;
    platform::NotificationCenter& notificationCenter_;
    platform::NotificationCenter::ObserverId terminateObserver_ = 0;
    const std::filesystem::path documentsFolder_;
    std::unique_ptr<MidiSystem> midi_;
    std::atomic<MidiSoundEngine*> engine_{nullptr};

    std::atomic<bool> notesMapToButtons_{true};
    std::atomic<int32_t> channel_{-1};
    std::atomic<MidiClockDelegate*> clockDelegate_{nullptr};
    MidiPortsDelegate* portsDelegate_ = nullptr;
    std::atomic<MidiLearnDelegate*> learnDelegate_{nullptr};
    std::atomic<uint64_t> midiLearnBtnIdx_{kNotFound};

    void tellAbsenceIfItLasts(const char* told);
    // Main loop only: whether the system's absence was told, and the look that
    // tells it once it has lasted (cancelled when the system comes back).
    bool toldSystemMissing_ = false;
    platform::MainLoop::TimerId absenceCheck_ = 0;

    mutable std::mutex mapMutex_;
    NoteToButtonMap noteToButtonMap_;
    std::optional<std::filesystem::path> setAsideNoteMap_;
    NoteMapRead::Outcome noteMapRead_ = NoteMapRead::Outcome::missing;
    std::string noteMapReadError_;
    bool mayPersistMap_ = true;  // false while an unreadable map could not be set aside
    bool mapChanged_ = false;    // learned since the map was last written
    std::string mapWriteProblem_;
    std::function<void(const std::string&)> mapProblemHandler_;

    mutable std::mutex portsMutex_;  // the main loop and the action thread; never a read thread
    std::shared_ptr<const PortChoice> ports_ = std::make_shared<const PortChoice>();

    // Read threads and the sequencer -> the action thread.
    static constexpr size_t kQueueCapacity = 1024;
    platform::MpscRing<InputRecord> input_{kQueueCapacity};
    platform::MpscRing<ClockRequest> clockRequests_{kQueueCapacity};
    platform::Wakeup wakeup_;
    std::atomic<uint64_t> handedOver_{0};  // records and clock requests queued
    std::atomic<uint64_t> carriedOut_{0};  // ... and carried out
    std::atomic<uint64_t> dropped_{0};
    std::atomic<uint64_t> droppedClock_{0};
    std::atomic<uint64_t> cancelsAsked_{0};
    uint64_t cancelsCarriedOut_ = 0;  // the action thread's own
    std::atomic<bool> keepActionThreadAlive_{true};
    std::mutex idleMutex_;  // waiters for carriedOut_ only; the producers never take it
    std::condition_variable idle_;
    // The action thread's own: one parser per source, keyed by its shared name,
    // with the pieces of a long packet read so far.
    struct SourceInput {
        std::shared_ptr<const std::string> name;
        std::unique_ptr<MidiParser> parser;
        std::vector<uint8_t> pieces;
    };
    std::map<const std::string*, SourceInput> parsers_;
    platform::Worker actionThread_;
};

}  // namespace strombel::midi
