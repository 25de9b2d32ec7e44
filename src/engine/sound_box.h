#pragma once

// The real-time audio engine: one per process. Track control (start, stop, mute,
// solo, volume, banks) is called from the main, sequencer and MIDI threads; the
// render and microphone callbacks run on the device's audio thread; observers
// hear about starts, stops and ends on the main loop.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/effects.h"
#include "engine/export_event.h"
#include "engine/sound_box_delegate.h"
#include "engine/sound_library.h"
#include "engine/track.h"
#include "platform/audio_device.h"
#include "platform/audio_file.h"
#include "platform/main_loop.h"
#include "platform/sandbox.h"
#include "platform/serial_queue.h"
#include "platform/spsc_ring.h"

namespace strombel::engine {

class SoundBox final : public SoundLibraryObserver {
public:
    /// "Not found": the current bank index before any bank is chosen.
    static constexpr uint64_t kNotFound = static_cast<uint64_t>(INT64_MAX);
    /// The most tracks that can sound at once, and queued starts or stops.
    static constexpr size_t kMaxPlayingTracks = 256;
    static constexpr size_t kMaxQueuedRequests = 1024;

    /// The program's engine, made on first use with the shared sandbox and main
    /// loop, the best device of the machine (`makeAudioDevice`) and no library
    /// (`setLibrary` wires it in).
    static SoundBox& shared();
    /// Replaces (or, with null, forgets) the program's engine.
    static void setShared(std::unique_ptr<SoundBox> engine);

    /// An engine of its own (tests, tools): sets the device up output-only,
    /// builds the track table from `library` (may be null), starts the device and
    /// schedules the cache sweep on `mainLoop`.
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
    const std::string& metronomeClickOn1File() const { return metronomeClickOn1File_; }
    const std::string& metronomeClickOn234File() const { return metronomeClickOn234File_; }
    double sampleRate() const { return sampleRate_.load(); }
    int32_t audioUnitErrorState() const { return audioUnitErrorState_; }
    platform::AudioDevice& audioUnit() { return *device_; }
    /// The preferred I/O buffer duration chosen for a machine identifier.
    static double preferredBufferDuration(const std::string& machineIdentifier);

    // --- Parameters (any thread; clamped to their ranges, NaN ignored) -----------
    float volume() const { return volume_.load(); }
    void setVolume(float value);
    float effectWetness() const { return effectWetness_.load(); }
    void setEffectWetness(float value);
    float pitchAmount() const { return pitchAmount_.load(); }
    void setPitchAmount(float value);
    float delayIntensity() const { return delayIntensity_.load(); }
    void setDelayIntensity(float value);
    /// The echo delay in seconds (0.1 to 2.5 from the pad screen; kept within 0 to 2.9).
    float delayTime() const { return delayTime_.load(); }
    void setDelayTime(float value);
    float reverbAmount() const { return reverbAmount_.load(); }
    void setReverbAmount(float value);
    float cutOffAmount() const { return cutOffAmount_.load(); }
    void setCutOffAmount(float value);
    float phaseAmount() const { return phaseAmount_.load(); }
    void setPhaseAmount(float value);
    float crushAmount() const { return crushAmount_.load(); }
    void setCrushAmount(float value);
    bool applyFxToTapPadOnly() const { return applyFxToTapPadOnly_.load(); }
    void setApplyFxToTapPadOnly(bool value) { applyFxToTapPadOnly_.store(value); }
    bool cutTapPadTracks() const { return cutTapPadTracks_.load(); }
    void setCutTapPadTracks(bool value) { cutTapPadTracks_.store(value); }
    bool holdTapPadTracks() const { return holdTapPadTracks_.load(); }
    void setHoldTapPadTracks(bool value) { holdTapPadTracks_.store(value); }
    /// The largest absolute output sample of the last buffer, per channel (8.24).
    float currentVolumeLeftChannel() const { return currentVolumeLeftChannel_.load(); }
    float currentVolumeRightChannel() const { return currentVolumeRightChannel_.load(); }
    /// Clears both channels' echo histories.
    void clearEchoBuffer();

    // --- Real-time callbacks (audio thread) -------------------------------------
    /// Fills one buffer: resolves queued starts and stops that fall inside it to
    /// their exact frames, mixes the playing tracks, applies pitch and effects,
    /// meters. Allocates nothing; only tries the engine mutex (silence if busy).
    void soundBoxRenderCallback(uint32_t frames, uint64_t hostTimeNanos, int32_t* left, int32_t* right);
    /// Passes microphone samples to the recording (a ring the writer thread empties).
    void recordingInputCallback(uint32_t frames, uint64_t hostTimeNanos, const int32_t* mono);

    // --- Microphone recording (main thread) -------------------------------------
    /// Starts recording into "micinput.wav" in the caches folder, at the rate the
    /// device captures; the path, or nothing when a recording runs or the
    /// microphone or the file cannot be opened.
    std::optional<std::string> startSampleRecord();
    void stopSampleRecord();
    bool isRecording() const { return recordRunning_.load(); }

    // --- Track table and banks (main thread) -----------------------------------
    void reloadTracks();
    std::shared_ptr<Track> loadTrackForFile(const std::string& path);
    void reloadSoundbanks();
    void currentSoundbankChanged(uint64_t index);
    void loadCurrentSoundbank();
    /// Loads the track's frames on the preload thread; false for an unknown path.
    bool preloadTrack(const std::string& path);
    void cleanCacheForTrackIfUnused(const std::string& path);
    void clearUnusedCache();
    uint64_t currentSoundBankIdx() const { return currentSoundBankIdx_; }
    std::map<int, std::string> currentSoundbankFilePathsByIdx() const;
    std::vector<std::shared_ptr<Track>> playingTracks() const;
    std::shared_ptr<Track> trackForFile(const std::string& path) const;
    /// Waits until every preload queued so far has finished (tests, tools).
    void waitForPreloads();

    // --- Starting and stopping (any thread but the audio thread) ----------------
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
    /// Delivers what the audio thread reported since the last call (the engine's
    /// main-loop timer calls this every 5 ms).
    void deliverPendingEvents();

    // --- Offline export ----------------------------------------------------
    /// Renders `events` (ascending by time) for `duration` seconds into a 16-bit
    /// stereo 44100 Hz WAVE file at `path`, on the calling thread. Stops what
    /// plays live first, then reads the tracks' frames with positions of its own.
    /// `progress` gets 0.0, the fraction after each chunk, then 1.0. False (with
    /// `error` set when given) when the file cannot be written.
    bool exportEvents(const std::vector<ExportEvent>& events, const std::string& path, double duration,
                      const std::function<void(float)>& progress = {}, std::string* error = nullptr);

    // SoundLibraryObserver
    void samplesChanged() override { reloadTracks(); }
    void soundbanksChanged() override { reloadSoundbanks(); }
    void storeItemsDownloadingCompleted() override { reloadTracks(); }

private:
    struct QueuedRequest {
        uint64_t time = 0;
        std::shared_ptr<Track> track;
    };
    struct PendingEvent {
        enum class Type { Started, Stopped, Finished, LoadWanted } type = Type::Started;
        std::shared_ptr<Track> track;
    };

    // Under the engine mutex.
    void startTrackLocked(const std::shared_ptr<Track>& track, uint64_t atTime, bool tapPad, float velocity);
    void stopTrackLocked(Track& track, uint64_t atTime);
    void addPlayingLocked(const std::shared_ptr<Track>& track);
    void removePlayingAtLocked(size_t index);
    /// Queues a request in time order under the engine lock; false (and a log line) when full.
    bool enqueue(std::vector<QueuedRequest>& queue, uint64_t time, const std::shared_ptr<Track>& track);
    void requestLoadIfNeeded(const std::shared_ptr<Track>& track);
    std::shared_ptr<Track> lookUp(const std::string& path) const;
    /// The path kept under `key` (a pad or a MIDI note), read under the engine lock.
    std::optional<std::string> pathFor(const std::map<int, std::string>& paths, int key) const;
    /// The MIDI note and the pad of the current bank that play `path`, when any.
    struct NoteAndPad {
        std::optional<int> note;
        std::optional<int> pad;
    };
    NoteAndPad noteAndPadOf(const std::string& path) const;

    // Audio thread.
    void renderBlock(uint32_t frames, uint64_t now, int32_t* left, int32_t* right);
    void processTracks(uint32_t n, uint64_t now, uint64_t end, float rate, float master, int32_t* left,
                       int32_t* right);
    /// Crush, cut-off and phase over the windows into the block's integer scratch.
    void applyWindowEffects(uint32_t n, float wetness, double sampleRate);
    void postEvent(PendingEvent::Type type, const std::shared_ptr<Track>& track);
    void takeDueLocked(std::vector<QueuedRequest>& queue, uint64_t end, std::vector<QueuedRequest>& due);

    void applyDeviceEvent(const platform::AudioDeviceEvent& event);
    void recordWriterLoop();

    std::unique_ptr<platform::AudioDevice> device_;
    const platform::Sandbox& sandbox_;
    platform::MainLoop& mainLoop_;
    SoundLibrary* library_ = nullptr;

    std::vector<SoundBoxDelegate*> delegates_;
    std::string metronomeClickOn1File_;
    std::string metronomeClickOn234File_;

    // The engine mutex guards the playing list, both queues and the table's swap.
    mutable std::mutex engineMutex_;
    std::map<std::string, std::shared_ptr<Track>> tracksByFilePath_;
    std::map<int, std::string> trackFilePathByMidiNote_;
    std::map<std::string, int> midiNoteByTrackFilePath_;
    std::vector<QueuedRequest> queuedTracksByStartHostTimeNanos_;
    std::vector<QueuedRequest> queuedTracksByStopHostTimeNanos_;
    std::vector<std::shared_ptr<Track>> playingTracks_;
    std::optional<std::string> soloSampleFilePath_;
    uint64_t currentSoundBankIdx_ = kNotFound;
    std::map<int, std::string> currentSoundbankFilePathsByIdx_;

    // Real-time scratch, sized at set-up.
    std::vector<QueuedRequest> dueScratch_;
    std::vector<float> effectBufferL_, effectBufferR_;
    std::vector<float> scratchA_, scratchB_, scratchC_, scratchD_;
    std::vector<int32_t> outL_, outR_;
    EchoBuffer echoBufferLeft_, echoBufferRight_;
    bool windowTouched_ = false;                        // effect frames went into the windows this block
    uint32_t framesSinceWindowInput_ = kEffectWindowFrames;  // the windows hold only zeros from this many on

    // Events from the audio thread to the main loop.
    platform::SpscRing<PendingEvent> events_{1024};
    std::atomic<uint64_t> droppedEvents_{0};
    std::atomic<uint64_t> lagWarnings_{0};
    std::atomic<double> lastLagNeeded_{0.0}, lastLagAvailable_{0.0};
    std::shared_ptr<int> lifeToken_ = std::make_shared<int>(0);

    std::atomic<float> volume_{1.0f}, effectWetness_{1.0f}, pitchAmount_{0.5f}, delayIntensity_{0.0f},
        delayTime_{0.5f}, reverbAmount_{0.0f}, cutOffAmount_{0.0f}, phaseAmount_{0.0f}, crushAmount_{0.0f};
    std::atomic<bool> applyFxToTapPadOnly_{true}, cutTapPadTracks_{false}, holdTapPadTracks_{false};
    std::atomic<float> currentVolumeLeftChannel_{0.0f}, currentVolumeRightChannel_{0.0f};
    std::atomic<double> sampleRate_{44100.0};
    double preferredBufferDuration_ = 0.005;
    bool sessionOk_ = true;
    int32_t audioUnitErrorState_ = 0;
    bool observingDevice_ = false;

    // Recording: the input callback fills a ring; a writer thread empties it into the file.
    std::atomic<bool> recordRunning_{false};
    std::vector<int32_t> recordRing_;
    std::atomic<size_t> recordHead_{0}, recordTail_{0};
    std::atomic<uint64_t> recordOverruns_{0};
    std::thread recordWriter_;
    std::atomic<bool> recordWriterStop_{false};
    platform::WaveWriter recordFile_;

    platform::SerialQueue preloadQueue_;
    platform::MainLoop::TimerId sweepTimer_ = 0, eventTimer_ = 0;
};

}  // namespace strombel::engine
