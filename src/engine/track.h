#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/audio_file.h"
#include "platform/clock.h"
#include "platform/published.h"
#include "platform/result.h"
#include "platform/sandbox.h"

namespace strombel::engine {

/// The domain of a sample file that could not be read (code 1).
inline constexpr std::string_view kTrackErrorDomain = "TrackErrorDomain";

/// The six play states of a track.
enum class TrackState : int32_t {
    Unprepared = 0,
    Ready = 1,
    StartPending = 2,
    Playing = 3,
    RetriggerPending = 4,
    StopPending = 5,
};

/// Whether a track's frames are in memory. `Requested`: a load is queued.
enum class TrackLoadState : int32_t { NotLoaded, Requested, Loading, Loaded, Failed };

/// Frames handed out by a track: pointers into the frames its playback holds,
/// valid until `Track::releaseFrames`.
struct TrackFrames {
    enum class Status { Frames, Ended, NotLoaded, Unavailable };
    const int32_t* channels[2] = {nullptr, nullptr};
    uint32_t numChannels = 0;
    uint32_t count = 0;
    Status status = Status::Ended;
};

/// One sample file made ready for playback: its state, its requested start and
/// stop host times, its gain and its frame cache (the whole file decoded into the
/// engine's format).
///
/// Threads: the play state, times, positions and the frames of the playback
/// under way belong to the audio thread (the engine hands it every request); the
/// frame cache is loaded and freed off the audio thread and published, so that a
/// playback picks it up without a lock and keeps it to its end, whatever happens
/// to the cache meanwhile. The volume, mute and origin flags may be set anywhere.
class Track : public std::enable_shared_from_this<Track> {
public:
    /// A track for an engine running at `sampleRate`; `clock` dates playbacks.
    Track(double sampleRate, const platform::Clock& clock);
    Track(const Track&) = delete;
    Track& operator=(const Track&) = delete;

    /// Resolves `relativePath` in `sandbox`, checks the file (exists, readable,
    /// one or two channels) and moves to Ready. Opens the file only to read its header.
    bool prepareWithFile(const std::string& relativePath, const platform::Sandbox& sandbox);
    /// Decodes the whole file into the frame cache (does nothing when cached) and
    /// publishes it for the audio thread. Never on the audio thread: it reads the
    /// file and waits for a hand-out under way to finish looking at the cache.
    /// False when the file cannot be read (preloadFrames says why).
    bool preloadForPlayback();
    /// preloadForPlayback saying why: true once the frames are cached; false, with
    /// nothing new to tell, for a track not prepared or whose unchanged file failed
    /// a moment ago; an Error of kTrackErrorDomain, with the decoder's reason as its
    /// message, when the file could not be read now.
    platform::Result<bool> preloadFrames();

    // Playback: called by the audio thread (the engine), or by a test that
    // plays the audio thread's part. Allocate nothing, lock nothing.
    void playFromStartAt(uint64_t hostTimeNanos, float velocity);
    void playFromPoint(double from, double to, uint64_t atTime, float velocity);
    /// The playback begins now.
    void startPlayback();
    void waitForRetrigger();
    void stopPlayingAt(uint64_t hostTimeNanos);
    void cleanAfterPlayback();

    /// Audio thread: hands out up to `numFrames` next frames from the frames this
    /// playback holds, picking up the published cache first when it holds none.
    /// Never reads the file, locks, waits or allocates. Returns the count; a
    /// request for none answers 0 and leaves `frames` as it was.
    uint32_t allocAndLoadNextFramesInto(TrackFrames& frames, uint32_t numFrames);
    /// Gives handed-out frames back.
    void releaseFrames(TrackFrames& frames);
    /// Audio thread: lets go of the frames the playback held (the caller frees
    /// them off the audio thread); the next playback picks up the cache again.
    std::shared_ptr<const platform::DecodedAudio> takePlaybackFrames() { return std::move(playbackFrames_); }

    /// Frees the cache of a ready track that has not begun playing since
    /// `monotonicNanos` (host time); a playback under way keeps its own frames.
    /// True when it freed it. Main thread.
    bool clearUnusedCacheIfNotUsedSince(uint64_t monotonicNanos);

    /// Main thread, before this track is published: takes the decoded frames of
    /// `previous`, the track it replaces, when they were decoded at this track's
    /// rate from the file as it is now (same file, size and change times), so
    /// that a rebuilt table plays at once. False when it did not (nothing loaded,
    /// a load under way, another rate, or the file changed since). `renamed`: the
    /// previous track's file became this one's by a rename, which changes nothing
    /// of it but its change time.
    bool adoptFramesOf(Track& previous, bool renamed = false);

    /// The decoded frames, loading them when needed (off the audio thread). The
    /// export renderer reads these with read positions of its own.
    std::shared_ptr<const platform::DecodedAudio> cachedAudio();

    /// Any thread: moves a load request on from NotLoaded to Requested; false
    /// when the frames are loaded, being loaded or already asked for.
    bool markLoadRequested();
    /// Undoes `markLoadRequested` when the request could not be queued.
    void unmarkLoadRequested();
    /// A load that failed is tried again at a later start: at once when the file
    /// changed since (it came back, or was mended), else at most once every
    /// `kLoadRetryInterval` of the clock (a sequencer starting an unreadable
    /// sample at every step does not read it at every step).
    static constexpr uint64_t kLoadRetryInterval = platform::kNanosPerSecond;
    /// Any thread: moves a failed load on to Requested (the load looks at the
    /// file before it reads it again); false when it is not failed or already asked.
    bool markLoadRetry();

    TrackState currentState() const { return state_.load(std::memory_order_acquire); }
    /// Moves to `state`, logging a change the state table does not allow.
    void setCurrentState(TrackState state);
    /// The order in which tracks joined the engine's playing list (audio thread).
    uint64_t playingSince() const { return playingSince_.load(std::memory_order_relaxed); }
    void setPlayingSince(uint64_t order) { playingSince_.store(order, std::memory_order_relaxed); }

    float volume() const { return volume_.load(); }
    void setVolume(float volume);
    float playbackVolume() const { return volume_.load() * currentVelocity_; }
    bool isStartedByTapPad() const { return startedByTapPad_.load(); }
    void setIsStartedByTapPad(bool value) { startedByTapPad_.store(value); }
    bool isStartedByMidi() const { return startedByMidi_.load(); }
    void setIsStartedByMidi(bool value) { startedByMidi_.store(value); }
    bool muted() const { return muted_.load(); }
    void setMuted(bool value) { muted_.store(value); }
    /// Held silent by the engine without a mute of its own: a sample no pad of
    /// the current bank shows, while every pad is muted or a solo is on.
    bool heldSilent() const { return heldSilent_.load(); }
    void setHeldSilent(bool value) { heldSilent_.store(value); }
    /// Muted, or held silent: what the sequencer and MIDI do not start.
    bool silenced() const { return muted() || heldSilent(); }

    /// Whether the requested playback has begun (startPlayback) and not ended since.
    bool hasBegun() const { return begun_; }
    uint64_t startHostTimeNanos() const { return startHostTimeNanos_; }
    uint64_t stopHostTimeNanos() const { return stopHostTimeNanos_; }
    const std::string& relativeFileName() const { return relativeFileName_; }
    const std::string& fileName() const { return fileName_; }
    uint32_t numChannels() const { return numChannels_; }
    uint64_t numFramesInFile() const { return numFramesInFile_; }
    /// Frames in the cache (0 when not cached).
    uint32_t numFramesInCache() const { return numFramesInCache_.load(); }
    uint32_t startFrameIdx() const { return startFrameIdx_; }
    uint32_t stopFrameIdx() const { return stopFrameIdx_; }
    uint32_t currentFrameIdx() const { return currentFrameIdx_; }
    uint64_t lastPlayedNanos() const { return lastPlayedNanos_.load(); }
    TrackLoadState loadState() const { return loadState_.load(); }
    float nextPlaybackVelocity() const { return nextPlaybackVelocity_; }

private:
    /// What tells one state of a file from another without reading it.
    struct FileStamp {
        uint64_t device = 0, inode = 0;
        int64_t size = -1, modified = 0, changed = 0;  // no file: size -1
        bool operator==(const FileStamp&) const = default;
    };
    static FileStamp stampOf(const std::string& path);

    const double sampleRate_;
    const platform::Clock& clock_;
    std::atomic<TrackState> state_{TrackState::Unprepared};
    std::string fileName_;
    std::string relativeFileName_;
    uint64_t numFramesInFile_ = 0;
    double fileSampleRate_ = 0;
    uint32_t numChannels_ = 0;
    std::atomic<uint64_t> lastPlayedNanos_{0};

    using Frames = std::shared_ptr<const platform::DecodedAudio>;
    std::mutex loadMutex_;  // one load or sweep at a time; never taken on the audio thread
    platform::Published<Frames> frameCache_{std::make_shared<const Frames>()};
    std::atomic<uint32_t> numFramesInCache_{0};
    std::atomic<TrackLoadState> loadState_{TrackLoadState::NotLoaded};
    std::atomic<uint64_t> loadFailedAt_{0};
    FileStamp preparedStamp_;  // the file when it was prepared
    FileStamp decodedStamp_;   // the file its frames were decoded from (under loadMutex_)
    std::optional<FileStamp> failedStamp_;  // the file as it was when its last load failed (under loadMutex_)
    std::atomic<uint64_t> playingSince_{0};

    // The audio thread's own.
    Frames playbackFrames_;

    double requestFrom_ = 0.0, requestTo_ = 1.0;
    uint32_t startFrameIdx_ = 0, stopFrameIdx_ = 0, currentFrameIdx_ = 0;
    std::atomic<float> volume_{1.0f};
    float currentVelocity_ = 1.0f;
    float nextPlaybackVelocity_ = 1.0f;
    std::atomic<bool> startedByTapPad_{false}, startedByMidi_{false}, muted_{false}, heldSilent_{false};
    uint64_t startHostTimeNanos_ = 0, stopHostTimeNanos_ = 0;
    bool begun_ = false;
};

}  // namespace strombel::engine
