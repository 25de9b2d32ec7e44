#pragma once

// src/engine/: the sound engine: SoundBox, its tracks, the effect chain and the
// export renderer.
// May include: platform, platform/devices, logging.

// The real-time audio engine: one per process. Track control (start, stop, mute,
// solo, volume, banks) is called from the main, sequencer and MIDI threads; the
// render and microphone callbacks run on the device's audio thread; observers
// hear about starts, stops and ends on the main loop.
//
// How the threads meet, without a lock between the audio thread and the others:
// - Control threads read the track table and the banks' maps as a published
//   snapshot (platform::Published) that the main loop replaces as a whole.
// - Every request that changes what sounds (a start, at once or at a host time,
//   a stop, stop-all, solo, a table swap, clearing the echo) goes to the audio
//   thread as a command through a lock-free queue, which the render drains at the
//   start of each block; timed requests still land on their exact frames.
// - The audio thread reports starts, stops and ends, and hands back every track
//   or frame cache it lets go of, through a ring to the main loop, which it wakes
//   with a main-loop signal. Nothing the audio thread touches is freed there.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "engine/device_session.h"
#include "engine/effect_chain.h"
#include "engine/effects.h"
#include "engine/export_job.h"
#include "engine/exporter.h"
#include "engine/mixer.h"
#include "engine/preloader.h"
#include "engine/recorder.h"
#include "engine/sound_box_delegate.h"
#include "engine/sound_library.h"
#include "engine/track.h"
#include "engine/track_table_editor.h"
#include "engine/track_tables.h"
#include "platform/audio_file.h"
#include "platform/devices/audio_device.h"
#include "platform/devices/failover_audio_device.h"
#include "platform/export_event.h"
#include "platform/main_loop.h"
#include "platform/mpsc_ring.h"
#include "platform/not_found.h"
#include "platform/published.h"
#include "platform/realtime.h"
#include "platform/result.h"
#include "platform/sandbox.h"
#include "platform/spsc_ring.h"
#include "platform/thread_role.h"
#include "platform/wakeup.h"
#include "platform/worker.h"

namespace strombel::engine {

using platform::ExportEvent;

class SoundBox final : public SoundLibraryObserver, private DeviceSession::Listener {
public:
    /// "Not found": the current bank index before any bank is chosen.
    static constexpr uint64_t kNotFound = platform::kNotFound;
    /// The most tracks that can sound at once, and queued starts or stops.
    static constexpr size_t kMaxPlayingTracks = Mixer::kMaxPlayingTracks;
    static constexpr size_t kMaxQueuedRequests = Mixer::kMaxQueuedRequests;
    /// Requests on their way to the audio thread, and reports on their way back.
    static constexpr size_t kCommandCapacity = Mixer::kCommandCapacity;
    static constexpr size_t kEventCapacity = Mixer::kEventCapacity;
    /// The echo history of each channel, in seconds of the device's rate.
    static constexpr double kEchoHistorySeconds = EffectChain::kEchoHistorySeconds;

    /// What went wrong so far, counted since the engine was made. The main loop
    /// logs each counter once when it changes; tests and benchmarks read them.
    struct Counters {
        /// Blocks in which a sounding track could not be mixed because its frames
        /// were not in memory yet (should stay 0 once a bank is preloaded).
        uint64_t skippedBlocks = 0;
        /// Under- and overruns the device reported.
        uint64_t deviceXruns = 0;
        /// Requests the audio thread's queue could not take.
        uint64_t commandOverruns = 0;
        /// Reports of the audio thread the main loop's ring could not take.
        uint64_t eventOverruns = 0;
        /// Microphone samples the recording's ring could not take.
        uint64_t recordingOverruns = 0;
        /// Buffers that took longer to render than they last.
        uint64_t lateBuffers = 0;
        bool operator==(const Counters&) const = default;
    };
    /// Counters that change are logged at most this often; a change in between
    /// is held back and told, with what came after it, when the interval is up.
    static constexpr uint64_t kCounterLogInterval = platform::kNanosPerSecond;

    /// The program's engine, made on first use with the shared sandbox and main
    /// loop, the best device of the machine (`makeAudioDevice`) and no library
    /// (`setLibrary` wires it in).
    static SoundBox& shared();
    /// Replaces (or, with null, forgets) the program's engine.
    static void setShared(std::unique_ptr<SoundBox> engine);

    /// An engine of its own (tests, tools): sets the device up output-only,
    /// builds the track table from `library` (may be null), starts the device and
    /// schedules the cache sweep on `mainLoop`. A device that opens afresh comes
    /// as a `FailoverAudioDevice` with its JACK opener; any other gets a stand-in here.
    SoundBox(std::unique_ptr<platform::AudioDevice> device, const platform::Sandbox& sandbox,
             platform::MainLoop& mainLoop, SoundLibrary* library = nullptr);
    ~SoundBox() override;
    SoundBox(const SoundBox&) = delete;
    SoundBox& operator=(const SoundBox&) = delete;

    /// Observes `library` (leaving the previous one) and reloads tracks and banks.
    void setLibrary(SoundLibrary* library);

    // --- Set-up, start and stop (main thread) -------------------------------------
    void setup(bool recording);
    void teardown();
    /// Chooses rate 44100 and the buffer duration (0.01 s on old machines, else 0.005 s).
    void setupAudioSession(bool recording);
    /// Opens the device's stream, with the microphone when recording.
    void setupAudioUnit(bool recording);
    bool start();
    bool startOverrideIsPlayingCheck(bool overrideCheck);
    bool stop();
    bool running() const;
    /// Handles a device route change; reason 2 (device lost) stops all playback.
    void audioRouteChanged(int reason);
    /// Handles an interruption: began stops, ended starts again (rebuilding once).
    void audioInterruption(bool began);
    /// Handles the loss of the output (`reason` in plain words): the null device
    /// renders in its place at the same rate, so that the clock, the sequencer and
    /// the observers go on; observers hear `audioOutputLost` once; every
    /// `kOutputWatchInterval` of the main loop's clock the output is tried again,
    /// and once it opens observers hear `audioOutputRestored`. An output that
    /// could not be opened at all is told as `audioOutputNotOpened` and looked
    /// for the same way.
    void audioOutputLost(const std::string& reason);
    /// Whether the output is lost and the null device renders in its place.
    bool outputLost() const;
    static constexpr uint64_t kOutputWatchInterval = DeviceSession::kWatchInterval;
    /// A device that paces itself and renders nothing for two checks in a row
    /// while it runs has stopped answering (a server whose notice of its end
    /// never came): it is taken as lost.
    static constexpr uint64_t kOutputAnswerCheckInterval = DeviceSession::kAnswerCheckInterval;
    /// What went wrong so far (any thread).
    Counters counters() const;
    /// Blocks the effect chain worked on since the engine was made; once the
    /// effects' tails have died away, silence adds none.
    uint64_t effectBlocks() const { return mixer_.effects().blocks(); }
    /// Nothing plays or is about to, and the effects' tails have died away: the
    /// output stays silent until a track starts.
    bool isSilent() const { return mixer_.effects().atRest() && isNothingPlaying(); }
    const std::string& metronomeClickOn1File() const { return metronomeClickOn1File_; }
    const std::string& metronomeClickOn234File() const { return metronomeClickOn234File_; }
    double sampleRate() const { return settings().sampleRate.load(); }
    int32_t audioUnitErrorState() const { return session_.errorState(); }
    /// The output: the device the engine was given, with the null device behind
    /// it for when it is lost.
    platform::AudioDevice& audioUnit() { return session_.device(); }
    /// The preferred I/O buffer duration chosen for a machine identifier.
    static double preferredBufferDuration(const std::string& machineIdentifier);

    // --- Parameters (any thread; clamped to their ranges, NaN ignored) -----------
    float volume() const { return settings().volume.load(); }
    void setVolume(float value);
    float effectWetness() const { return settings().effectWetness.load(); }
    void setEffectWetness(float value);
    float pitchAmount() const { return settings().pitchAmount.load(); }
    void setPitchAmount(float value);
    float delayIntensity() const { return settings().delayIntensity.load(); }
    void setDelayIntensity(float value);
    /// The echo delay in seconds (0.1 to 2.5 from the pad screen; kept within 0 to 2.9).
    float delayTime() const { return settings().delayTime.load(); }
    void setDelayTime(float value);
    float reverbAmount() const { return settings().reverbAmount.load(); }
    void setReverbAmount(float value);
    float cutOffAmount() const { return settings().cutOffAmount.load(); }
    void setCutOffAmount(float value);
    float phaseAmount() const { return settings().phaseAmount.load(); }
    void setPhaseAmount(float value);
    float crushAmount() const { return settings().crushAmount.load(); }
    void setCrushAmount(float value);
    bool applyFxToTapPadOnly() const { return settings().applyFxToTapPadOnly.load(); }
    void setApplyFxToTapPadOnly(bool value) { mixer_.settings().applyFxToTapPadOnly.store(value); }
    bool cutTapPadTracks() const { return settings().cutTapPadTracks.load(); }
    void setCutTapPadTracks(bool value) { mixer_.settings().cutTapPadTracks.store(value); }
    bool holdTapPadTracks() const { return settings().holdTapPadTracks.load(); }
    void setHoldTapPadTracks(bool value) { mixer_.settings().holdTapPadTracks.store(value); }
    /// The largest absolute output sample of the last buffer, per channel (8.24).
    float currentVolumeLeftChannel() const { return mixer_.peakLeft(); }
    float currentVolumeRightChannel() const { return mixer_.peakRight(); }
    /// Clears both channels' echo histories (at the audio thread's next block).
    void clearEchoBuffer();

    // --- Real-time callbacks (audio thread) -------------------------------------
    /// Called by the device on its audio thread for every buffer. Fills `left` and
    /// `right` with exactly `frames` frames whose first plays at `hostTimeNanos`:
    /// takes in the requests of the control threads, resolves starts and stops
    /// that fall inside the buffer to their exact frames, mixes the playing
    /// tracks, applies pitch and the effects, meters. Never allocates, frees,
    /// locks, waits, logs or touches a file. The buffers are valid only until the
    /// call returns.
    void soundBoxRenderCallback(uint32_t frames, uint64_t hostTimeNanos, int32_t* left, int32_t* right);
    /// Called by the device on its audio thread with `frames` microphone samples
    /// while recording: copies them into the recording's ring, which the writer
    /// thread empties into the file. Same rules as the render callback.
    void recordingInputCallback(uint32_t frames, uint64_t hostTimeNanos, const int32_t* mono);

    // --- Microphone recording (main thread) -------------------------------------
    /// The take's file in the caches folder. A take that was never kept (the
    /// program ended first) lies there under this name, or half-written aside of
    /// it (platform::WaveWriter), until the next start keeps it.
    static constexpr const char* kSampleRecordFileName = "micinput.wav";

    /// How a recording began: the take's file, or why there is none.
    struct SampleRecordStart {
        enum class Problem { none, alreadyRecording, noSoundDevice, microphone, file };
        std::optional<std::string> path;
        Problem problem = Problem::none;
        /// The device's or the file system's own words for it.
        std::string reason;
    };
    /// How a recording ended.
    struct SampleRecordEnd {
        /// The take lies whole under its path; else `error` says why it does not.
        bool written = false;
        std::string error;
        /// Seconds without input in the middle of the take (the sound device was
        /// lost and came back), kept in the take as silence.
        double silencedSeconds = 0;
        /// The input was gone when the recording stopped: the take ends where it went.
        bool inputLostAtEnd = false;
    };

    /// Starts recording into `kSampleRecordFileName` in the caches folder, at the
    /// rate the device captures; the take replaces an older file there only
    /// once it is whole (see `SampleRecordEnd::written`). Without a
    /// sound device (the null device plays, or the stand-in for a lost one)
    /// there is no microphone, and nothing is tried.
    SampleRecordStart startSampleRecord();
    SampleRecordEnd stopSampleRecord();
    bool isRecording() const { return recorder_.running(); }

    // --- Track table and banks (main thread) -----------------------------------
    /// Builds a new table of every sample of the library and swaps it in; what
    /// plays stops, queued requests follow their paths to the new tracks.
    void reloadTracks();
    /// Makes a new track for `path` and puts it in the table in place of the one
    /// there (which plays on to its end if it sounds, and is freed on the main loop).
    std::shared_ptr<Track> loadTrackForFile(const std::string& path);
    /// The sample at `from` was renamed to the file `to`: until the next table
    /// built from the library leaves `from` out, it plays under either path, under
    /// `to` with the frames already decoded, and with its mute and volume. Main loop.
    void trackRenamed(const std::string& from, const std::string& to);
    void reloadSoundbanks();
    void currentSoundbankChanged(uint64_t index);
    void loadCurrentSoundbank();
    /// Queues a load of the track's frames for the preload thread; false for an unknown path.
    bool preloadTrack(const std::string& path);
    void cleanCacheForTrackIfUnused(const std::string& path);
    void clearUnusedCache();
    uint64_t currentSoundBankIdx() const { return currentSoundBankIdx_; }
    /// The current bank's pads (any thread).
    std::map<int, std::string> currentSoundbankFilePathsByIdx() const;
    /// The tracks that are starting, sounding or stopping, in the order they
    /// began (any thread; what the audio thread did up to its last block).
    std::vector<std::shared_ptr<Track>> playingTracks() const;
    std::shared_ptr<Track> trackForFile(const std::string& path) const;
    /// Waits until every preload queued so far has finished (tests, tools).
    void waitForPreloads();
    /// Tests: `gate` runs on the preload thread before each load, so that a test
    /// can hold a sample's frames back as a slow disk would.
    void setPreloadGate(std::function<void()> gate);

    // --- Starting and stopping (any control thread: main, sequencer, MIDI) ------
    // Each looks the path up in the published table and hands the request to the
    // audio thread, which carries it out at its next block: never a lock, a wait
    // or an allocation, so the sequencer's timing thread may call them. A false
    // answer means the path is not in the table (or the request queue was full).
    /// Starts `path` at host time `atTime` (0 = now).
    bool startTrack(const std::string& path, uint64_t atTime, bool tapPad, bool midi, bool ignoreMute,
                    float velocity);
    bool startTrackFromSequencer(const std::string& path, uint64_t atTime);
    bool stopTrackFromSequencer(const std::string& path, uint64_t atTime);
    bool startSoundbankSample(int pad, float velocity);
    void stopSoundbankSample(int pad);
    bool startTrackForMidiNote(int note, float velocity);
    void stopTrackForMidiNote(int note);
    bool startTrack(const std::string& path, double fromPoint, double toPoint);
    void stopTrack(const std::string& path);
    void stopTrack(const std::string& path, uint64_t atTime);
    void stopAllTracks();
    void stopAllTracksIncludeTapPadTriggered(bool include);

    bool isPlaying(const std::string& path) const;
    bool isTrackReady(const std::string& path) const;
    /// True when no track is starting, sounding or stopping and no request waits
    /// for the audio thread (as of its last block).
    bool isNothingPlaying() const;
    float volumeForTrack(const std::string& path) const;
    void setVolume(float volume, const std::string& path);
    bool toggleMuteForTrack(const std::string& path);
    void toggleSoloForTrack(const std::string& path);
    bool trackIsMuted(const std::string& path) const;

    // --- Observers (main thread) ---------------------------------------------
    void addDelegate(SoundBoxDelegate* delegate);
    void removeDelegate(SoundBoxDelegate* delegate);
    void informDelegatesOfTrackStarted(const std::string& path);
    void informDelegatesOfTrackFinished(const std::string& path);
    void informDelegatesOfTrackStopped(const std::string& path);
    /// Finished playing (`finished`) or stopped: the message, then the note-off and pad-stop echoes.
    void informDelegatesOfTrackEnded(const std::string& path, bool finished);
    void informDelegatesOfAudioRouteChanged();
    void informDelegatesOfUnreadableSample(const std::string& path, const std::string& message);
    void informDelegatesOfSampleRecordFailed(const std::string& reason);
    /// Delivers what the audio thread reported since the last call, frees what
    /// it let go of and logs counters that changed (run by the main loop when the
    /// audio thread raises the engine's signal).
    void deliverPendingEvents();

    // --- Offline export ----------------------------------------------------
    /// Renders `events` (ascending by time) for `duration` seconds into a 16-bit
    /// stereo 44100 Hz WAVE file at `path`, on the calling thread. Stops what
    /// plays live first, then reads the tracks' frames with positions of its own.
    /// `progress` gets 0.0, the fraction after each chunk, then 1.0. False when the
    /// file cannot be written (writeExport says why).
    bool exportEvents(const std::vector<ExportEvent>& events, const std::string& path, double duration,
                      const std::function<void(float)>& progress = {});
    /// exportEvents saying why: an Error of kSoundBoxExportErrorDomain, with the
    /// writer's reason as its message, when the file cannot be written.
    platform::Result<void> writeExport(const std::vector<ExportEvent>& events, const std::string& path,
                                       double duration, const std::function<void(float)>& progress = {});
    /// The same export on a thread of its own; answers at once. What plays live
    /// stops now, and the tracks are the ones the table holds now. `progress`
    /// hears 0.0 at once, then the share rendered at each whole percent, and
    /// `done` the outcome, both on the main loop and only while the job lives.
    /// The job must go before the engine does. Main loop only.
    std::unique_ptr<ExportJob> startExport(std::vector<ExportEvent> events, std::string path, double duration,
                                           std::function<void(float)> progress,
                                           std::function<void(const ExportOutcome&)> done);

    // SoundLibraryObserver
    void samplesChanged() override { reloadTracks(); }
    void soundbanksChanged() override { reloadSoundbanks(); }
    void storeItemsDownloadingCompleted() override { reloadTracks(); }

private:
    using TrackTable = TrackTables::TrackTable;
    using Tables = TrackTables::Tables;

    using Command = Mixer::Command;
    using PendingEvent = Mixer::Event;
    const Mixer::Settings& settings() const { return mixer_.settings(); }

    /// The tracks the events name, as the table holds them now.
    Exporter::Tracks exportTracks(const std::vector<ExportEvent>& events) const;

    // Control side (sound_box_tracks.cpp).
    /// Hands a request to the audio thread; false (counted) when its queue is full.
    template <class Fill>
    bool sendCommand(Fill&& fill);
    /// Looks `path` up and sends the request made by `fill` with its track, in
    /// one read section; false when the path is unknown or the queue full.
    template <class Fill>
    bool sendForPath(const std::string& path, Fill&& fill, bool ignoreMute = true);
    /// The sequencer's start or stop (`type`) of `path`, carried out by the audio
    /// thread at `atTime`; `action` ("play", "stop") names it in the line an
    /// unknown path writes. Allocates nothing and waits for nothing.
    bool sendFromSequencer(const std::string& path, uint64_t atTime, Command::Type type, const char* action);
    /// Queues a load of the track's frames (`force`: even when marked loaded).
    void requestLoad(const std::shared_ptr<Track>& track, bool force);
    /// The MIDI note and the pad of the current bank that play `path`, when any.
    struct NoteAndPad {
        std::optional<int> note;
        std::optional<int> pad;
    };
    NoteAndPad noteAndPadOf(const std::string& path) const;
    /// The events of `track` (null: one no longer known) as played under `path`.
    void informDelegatesOfTrackStarted(const std::string& path, const Track* track);
    void informDelegatesOfTrackEnded(const std::string& path, bool finished, const Track* track);
    void logCountersThatChanged();

    /// Audio thread: the session's xruns as of the last buffer.
    uint64_t xrunsSeen_ = 0;

    // DeviceSession::Listener
    void sessionOutputOpened() override { followOutputRate(); }
    void sessionOutputLost(const std::string& message) override { informDelegatesOfOutput(false, message); }
    void sessionOutputRestored(const std::string& message) override { informDelegatesOfOutput(true, message); }
    void sessionOutputNotOpened(const std::string& message) override { informDelegatesOfOutputNotOpened(message); }
    void sessionInterruption(bool began) override { audioInterruption(began); }
    void sessionRouteChanged(int reason) override { audioRouteChanged(reason); }
    /// Main loop: the engine takes the output's rate, remaking what depends on it.
    void followOutputRate();
    void informDelegatesOfOutput(bool restored, const std::string& message);
    void informDelegatesOfOutputNotOpened(const std::string& message);

    /// The output, its set-up, its loss and return (first made, last gone).
    DeviceSession session_;
    const platform::Sandbox& sandbox_;
    platform::MainLoop& mainLoop_;
    SoundLibrary* library_ = nullptr;

    std::vector<SoundBoxDelegate*> delegates_;
    std::string metronomeClickOn1File_ = std::string(platform::Sandbox::kBundleFolderName) + "/metronomeOn1.wav";
    std::string metronomeClickOn234File_ = std::string(platform::Sandbox::kBundleFolderName) + "/metronomeOn234.wav";

    // The audio thread's mixer, and the queues to and from it. Made before the
    // tables, which count the requests it has taken.
    Mixer mixer_{44100.0, [this](const std::shared_ptr<Track>& track) { requestLoad(track, false); }};

    // Control side: the published tables; the rest belongs to the main loop.
    TrackTables tables_{[this] { return mixer_.commandsClaimed(); }, [this] { return mixer_.commandsTaken(); }};
    // What builds and changes them, with the mute and solo bookkeeping.
    TrackTableEditor editor_{tables_,
                             sandbox_,
                             mainLoop_.clock(),
                             mixer_.settings().sampleRate,
                             {metronomeClickOn1File_, metronomeClickOn234File_},
                             [this] { sendCommand([](Command& command) { command.type = Command::Type::stopHeldSilent; }); },
                             [this](const std::shared_ptr<Track>& track, bool force) { requestLoad(track, force); }};
    uint64_t currentSoundBankIdx_ = kNotFound;

    // The sample each pad's and each note's last MIDI start played (control
    // threads): a note-off stops that one, though the bank or the note's table
    // changed while the key was down.
    std::mutex midiStartedMutex_;
    std::map<int, std::string> midiStartedByPad_, midiStartedByNote_;
    bool startFromMidi(std::map<int, std::string> Tables::*paths, std::map<int, std::string>& started, int key,
                       float velocity);
    void stopFromMidi(std::map<int, std::string> Tables::*paths, std::map<int, std::string>& started, int key);

    // Audio thread -> main loop.
    platform::MainLoop::SignalId eventSignal_ = 0;
    std::atomic<uint64_t> lateBuffers_{0};
    std::atomic<double> lastLagNeeded_{0.0}, lastLagAvailable_{0.0};
    Counters logged_;  // main loop: the counters as last logged
    std::optional<uint64_t> countersLoggedAt_;             // main loop: when they were
    platform::MainLoop::TimerId heldCountersTimer_ = 0;   // main loop: tells what was held back
    std::shared_ptr<int> lifeToken_ = std::make_shared<int>(0);

    Exporter exporter_{mainLoop_, mixer_.settings().sampleRate, mixer_.settings().volume};

    // Microphone recording: the take, its file and its clock.
    Recorder recorder_{mainLoop_, [this] { mainLoop_.raise(eventSignal_); },
                       [this](const std::string& reason) { informDelegatesOfSampleRecordFailed(reason); }};

    // Preloads: requests from any thread (the audio thread's too) to the preload thread.
    Preloader preloader_{mainLoop_, [this](const std::string& path, const std::string& message) {
                             informDelegatesOfUnreadableSample(path, message);
                         }};

    platform::MainLoop::TimerId sweepTimer_ = 0;
};

template <class Fill>
bool SoundBox::sendCommand(Fill&& fill) {
    if (!mixer_.send(std::forward<Fill>(fill))) return false;
    // A device that rests while all is silent renders again for the request.
    session_.device().wake();
    return true;
}

template <class Fill>
bool SoundBox::sendForPath(const std::string& path, Fill&& fill, bool ignoreMute) {
    // Sent inside the read section: once a publish has waited out the section,
    // the request has its slot, and the old tables are kept until it is taken.
    auto tables = tables_.read();
    auto found = tables->tracksByFilePath.find(path);
    if (found == tables->tracksByFilePath.end()) return false;
    const std::shared_ptr<Track>& track = found->second;
    if (!ignoreMute && track->silenced()) return false;
    // A sample that could not be read is tried again at a later start.
    if (const TrackLoadState load = track->loadState(); load == TrackLoadState::NotLoaded) {
        requestLoad(track, false);
    } else if (load == TrackLoadState::Failed && track->markLoadRetry()) {
        requestLoad(track, true);
    }
    return sendCommand([&](Command& command) {
        fill(command);
        command.track = track.get();
    });
}

}  // namespace strombel::engine
