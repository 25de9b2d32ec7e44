// Track control: the table of tracks, the current bank's pads, starts and stops
// from pads, MIDI and the sequencer, mute, solo and volume, and the events the
// observers hear on the main loop.

#include <algorithm>
#include <set>

#include "engine/sound_box.h"
#include "logging/log.h"

namespace strombel::engine {

namespace {

constexpr uint64_t kUnusedCacheAge = 30 * platform::kNanosPerSecond;

bool isSounding(TrackState state) {
    return state == TrackState::Playing || state == TrackState::RetriggerPending || state == TrackState::StopPending;
}

}  // namespace

std::shared_ptr<Track> SoundBox::lookUp(const std::string& path) const {
    std::lock_guard lock(engineMutex_);
    auto found = tracksByFilePath_.find(path);
    return found == tracksByFilePath_.end() ? nullptr : found->second;
}

std::shared_ptr<Track> SoundBox::trackForFile(const std::string& path) const { return lookUp(path); }

// --- Table and banks ------------------------------------------------------------

void SoundBox::reloadTracks() {
    STROMBEL_LOG_DEBUG("(re)loading SoundBox tracks");
    // Files are opened here, before the engine mutex is taken for the swap.
    std::map<std::string, std::shared_ptr<Track>> table;
    auto load = [&](const std::string& path) -> std::shared_ptr<Track> {
        auto track = std::make_shared<Track>(sampleRate_.load(), mainLoop_.clock());
        if (!track->prepareWithFile(path, sandbox_)) {
            STROMBEL_LOG_ERROR("track not loaded: {}", path);
            return nullptr;
        }
        table[path] = track;
        return track;
    };
    if (library_) {
        for (const LibrarySample& sample : library_->samples()) {
            if (auto track = load(sample.filePath)) track->setVolume(sample.volume);
        }
    }
    load(metronomeClickOn1File_);
    load(metronomeClickOn234File_);

    std::map<std::string, std::shared_ptr<Track>> old;
    std::vector<std::shared_ptr<Track>> oldPlaying;
    {
        std::lock_guard lock(engineMutex_);
        // Swaps, not copies: the render thread skips a buffer while this is held.
        old.swap(tracksByFilePath_);
        tracksByFilePath_.swap(table);
        oldPlaying.assign(playingTracks_.begin(), playingTracks_.end());
        playingTracks_.clear();
        // Queued requests follow their paths to the new tracks.
        for (auto* queue : {&queuedTracksByStartHostTimeNanos_, &queuedTracksByStopHostTimeNanos_}) {
            std::vector<QueuedRequest> kept;
            kept.reserve(kMaxQueuedRequests);
            for (auto& request : *queue) {
                auto found = tracksByFilePath_.find(request.track->relativeFileName());
                if (found != tracksByFilePath_.end()) kept.push_back({request.time, found->second});
            }
            queue->swap(kept);
        }
    }
    // The old tracks go here, on this thread; a preload still running keeps its own.
    old.clear();
    oldPlaying.clear();
    for (const auto& [pad, path] : currentSoundbankFilePathsByIdx()) preloadTrack(path);
    STROMBEL_LOG_DEBUG("loading of SoundBox tracks completed");
}

std::shared_ptr<Track> SoundBox::loadTrackForFile(const std::string& path) {
    auto track = std::make_shared<Track>(sampleRate_.load(), mainLoop_.clock());
    if (!track->prepareWithFile(path, sandbox_)) {
        STROMBEL_LOG_ERROR("track not loaded: {}", path);
        return nullptr;
    }
    std::lock_guard lock(engineMutex_);
    tracksByFilePath_[path] = track;
    return track;
}

void SoundBox::reloadSoundbanks() {
    std::map<int, std::string> pathByNote;
    std::map<std::string, int> noteByPath;
    if (library_) {
        for (uint64_t bank = 0; bank < 10; ++bank) {
            for (const LibraryPadAssignment& assignment : library_->soundbankSamplesOfSoundbank(bank)) {
                if (!assignment.hasSample || assignment.pad < 0 || assignment.pad >= 12) continue;
                int note = static_cast<int>(bank * 12 + static_cast<uint64_t>(assignment.pad));
                pathByNote[note] = assignment.sample.filePath;
                noteByPath[assignment.sample.filePath] = note;
            }
        }
    }
    {
        std::lock_guard lock(engineMutex_);
        trackFilePathByMidiNote_.swap(pathByNote);
        midiNoteByTrackFilePath_.swap(noteByPath);
    }
    loadCurrentSoundbank();
}

void SoundBox::currentSoundbankChanged(uint64_t index) {
    if (index == currentSoundBankIdx_) return;
    currentSoundBankIdx_ = index;
    loadCurrentSoundbank();
}

void SoundBox::loadCurrentSoundbank() {
    const std::map<int, std::string> outgoing = currentSoundbankFilePathsByIdx();
    for (const auto& [pad, path] : outgoing) {
        auto track = lookUp(path);
        if (track && !track->isStartedByMidi() && isSounding(track->currentState())) {
            for (SoundBoxDelegate* delegate : std::vector(delegates_)) {
                if (std::find(delegates_.begin(), delegates_.end(), delegate) != delegates_.end())
                    delegate->soundbankTrackStopped(pad);
            }
        }
    }
    for (const auto& [pad, path] : outgoing) cleanCacheForTrackIfUnused(path);

    std::map<int, std::string> pads;
    if (library_ && currentSoundBankIdx_ != kNotFound) {
        for (const LibraryPadAssignment& assignment : library_->soundbankSamplesOfSoundbank(currentSoundBankIdx_)) {
            if (static_cast<uint64_t>(assignment.pad) >= 12) {
                STROMBEL_LOG_ERROR("unusable soundbankSample orderId: {}, sample: {}", assignment.pad,
                                   assignment.sample.name);
            } else if (!assignment.hasSample) {
                STROMBEL_LOG_ERROR("soundbankSample or sample is nil for pad: {}", assignment.pad);
            } else {
                pads[static_cast<int>(assignment.pad)] = assignment.sample.filePath;
            }
        }
    }
    {
        std::lock_guard lock(engineMutex_);
        currentSoundbankFilePathsByIdx_ = pads;
    }
    for (const auto& [pad, path] : pads) preloadTrack(path);
}

std::map<int, std::string> SoundBox::currentSoundbankFilePathsByIdx() const {
    std::lock_guard lock(engineMutex_);
    return currentSoundbankFilePathsByIdx_;
}

bool SoundBox::preloadTrack(const std::string& path) {
    auto track = lookUp(path);
    if (!track) {
        STROMBEL_LOG_ERROR("can't preload track, not loaded (nil): {}", path);
        return false;
    }
    preloadQueue_.async([track] { track->preloadForPlayback(); });
    return true;
}

void SoundBox::requestLoadIfNeeded(const std::shared_ptr<Track>& track) {
    if (track->loadState() == TrackLoadState::NotLoaded) preloadQueue_.async([track] { track->preloadForPlayback(); });
}

void SoundBox::waitForPreloads() { preloadQueue_.sync([] {}); }

void SoundBox::cleanCacheForTrackIfUnused(const std::string& path) {
    auto track = lookUp(path);
    if (!track) {
        STROMBEL_LOG_ERROR("can't unload track, not loaded (nil): {}", path);
        return;
    }
    uint64_t now = mainLoop_.nowNanos();
    track->clearUnusedCacheIfNotUsedSince(now > kUnusedCacheAge ? now - kUnusedCacheAge : 0);
}

void SoundBox::clearUnusedCache() {
    std::set<std::string> current;
    for (const auto& [pad, path] : currentSoundbankFilePathsByIdx()) current.insert(path);
    std::vector<std::shared_ptr<Track>> tracks;
    {
        std::lock_guard lock(engineMutex_);
        for (const auto& [path, track] : tracksByFilePath_) tracks.push_back(track);
    }
    uint64_t now = mainLoop_.nowNanos();
    for (const auto& track : tracks) {
        if (current.count(track->relativeFileName())) continue;
        track->clearUnusedCacheIfNotUsedSince(now > kUnusedCacheAge ? now - kUnusedCacheAge : 0);
    }
}

std::vector<std::shared_ptr<Track>> SoundBox::playingTracks() const {
    std::lock_guard lock(engineMutex_);
    return playingTracks_;
}

// --- Starting and stopping ----------------------------------------------------------

void SoundBox::addPlayingLocked(const std::shared_ptr<Track>& track) {
    if (std::find(playingTracks_.begin(), playingTracks_.end(), track) == playingTracks_.end())
        playingTracks_.push_back(track);  // capacity reserved: kMaxPlayingTracks
}

void SoundBox::removePlayingAtLocked(size_t index) { playingTracks_.erase(playingTracks_.begin() + index); }

void SoundBox::startTrackLocked(const std::shared_ptr<Track>& track, uint64_t atTime, bool tapPad, float velocity) {
    const bool listed = std::find(playingTracks_.begin(), playingTracks_.end(), track) != playingTracks_.end();
    if (!listed && playingTracks_.size() >= kMaxPlayingTracks) return;  // as many tracks as can sound
    addPlayingLocked(track);
    track->playFromStartAt(atTime, velocity);
    if (cutTapPadTracks_.load() && tapPad) {
        for (const auto& other : playingTracks_) {
            if (other != track && other->isStartedByTapPad() && other->relativeFileName() != track->relativeFileName())
                other->stopPlayingAt(atTime);
        }
    }
}

bool SoundBox::startTrack(const std::string& path, uint64_t atTime, bool tapPad, bool midi, bool ignoreMute,
                          float velocity) {
    auto track = lookUp(path);
    if (!track) {
        STROMBEL_LOG_ERROR("can't play track, not in tracklist: {}", path);
        return false;
    }
    if (!ignoreMute && !tapPad && track->muted()) return false;
    track->setIsStartedByTapPad(tapPad);
    track->setIsStartedByMidi(midi);
    requestLoadIfNeeded(track);
    std::lock_guard lock(engineMutex_);
    startTrackLocked(track, atTime, tapPad, velocity);
    return true;
}

bool SoundBox::enqueue(std::vector<QueuedRequest>& queue, uint64_t time, const std::shared_ptr<Track>& track) {
    bool queued = false;
    {
        std::lock_guard lock(engineMutex_);
        if (queue.size() < kMaxQueuedRequests) {
            auto at = std::upper_bound(queue.begin(), queue.end(), time,
                                       [](uint64_t value, const QueuedRequest& request) { return value < request.time; });
            queue.insert(at, QueuedRequest{time, track});
            queued = true;
        }
    }
    if (!queued) STROMBEL_LOG_ERROR("can't queue track, the queue is full: {}", track->relativeFileName());
    return queued;
}

bool SoundBox::startTrackFromSequencer(const std::string& path, uint64_t atTime) {
    auto track = lookUp(path);
    if (!track) {
        STROMBEL_LOG_ERROR("can't play track, not in tracklist: {}", path);
        return false;
    }
    requestLoadIfNeeded(track);
    return enqueue(queuedTracksByStartHostTimeNanos_, atTime, track);
}

bool SoundBox::stopTrackFromSequencer(const std::string& path, uint64_t atTime) {
    auto track = lookUp(path);
    if (!track) {
        STROMBEL_LOG_ERROR("can't stop track, not in tracklist: {}", path);
        return false;
    }
    return enqueue(queuedTracksByStopHostTimeNanos_, atTime, track);
}

std::optional<std::string> SoundBox::pathFor(const std::map<int, std::string>& paths, int key) const {
    std::lock_guard lock(engineMutex_);
    auto found = paths.find(key);
    if (found == paths.end()) return std::nullopt;
    return found->second;
}

bool SoundBox::startSoundbankSample(int pad, float velocity) {
    auto path = pathFor(currentSoundbankFilePathsByIdx_, pad);
    return path && startTrack(*path, 0, true, true, false, velocity);
}

void SoundBox::stopSoundbankSample(int pad) {
    if (auto path = pathFor(currentSoundbankFilePathsByIdx_, pad)) stopTrack(*path);
}

bool SoundBox::startTrackForMidiNote(int note, float velocity) {
    auto path = pathFor(trackFilePathByMidiNote_, note);
    return path && startTrack(*path, 0, true, true, false, velocity);
}

void SoundBox::stopTrackForMidiNote(int note) {
    if (auto path = pathFor(trackFilePathByMidiNote_, note)) stopTrack(*path);
}

bool SoundBox::startTrack(const std::string& path, double fromPoint, double toPoint) {
    auto track = lookUp(path);
    if (!track) {
        STROMBEL_LOG_ERROR("can't play track, not in tracklist: {}", path);
        return false;
    }
    requestLoadIfNeeded(track);
    std::lock_guard lock(engineMutex_);
    if (std::find(playingTracks_.begin(), playingTracks_.end(), track) == playingTracks_.end() &&
        playingTracks_.size() >= kMaxPlayingTracks)
        return false;
    addPlayingLocked(track);
    track->playFromPoint(fromPoint, toPoint, 0, 1.0f);
    return true;
}

void SoundBox::stopTrack(const std::string& path) { stopTrack(path, 0); }

void SoundBox::stopTrackLocked(Track& track, uint64_t atTime) {
    TrackState state = track.currentState();
    if (state == TrackState::Unprepared || state == TrackState::Ready) return;
    if (track.isStartedByTapPad() && !holdTapPadTracks_.load()) return;  // plays to its end
    track.stopPlayingAt(atTime);
}

void SoundBox::stopTrack(const std::string& path, uint64_t atTime) {
    std::lock_guard lock(engineMutex_);
    auto found = tracksByFilePath_.find(path);
    if (found != tracksByFilePath_.end()) stopTrackLocked(*found->second, atTime);
}

void SoundBox::stopAllTracks() { stopAllTracksIncludeTapPadTriggered(true); }

void SoundBox::stopAllTracksIncludeTapPadTriggered(bool include) {
    std::vector<QueuedRequest> starts, stops;
    {
        std::lock_guard lock(engineMutex_);
        for (const auto& track : playingTracks_) {
            if (include || !track->isStartedByTapPad()) track->stopPlayingAt(0);
        }
        starts.swap(queuedTracksByStartHostTimeNanos_);
        stops.swap(queuedTracksByStopHostTimeNanos_);
        queuedTracksByStartHostTimeNanos_.reserve(kMaxQueuedRequests);
        queuedTracksByStopHostTimeNanos_.reserve(kMaxQueuedRequests);
    }
}

// --- Per-track state and settings ----------------------------------------------------

bool SoundBox::isPlaying(const std::string& path) const {
    auto track = lookUp(path);
    if (!track) return false;
    TrackState state = track->currentState();
    return state == TrackState::Playing || state == TrackState::RetriggerPending;
}

bool SoundBox::isTrackReady(const std::string& path) const { return lookUp(path) != nullptr; }

bool SoundBox::isNothingPlaying() const {
    std::lock_guard lock(engineMutex_);
    return playingTracks_.empty();
}

float SoundBox::volumeForTrack(const std::string& path) const {
    auto track = lookUp(path);
    return track ? track->volume() : 0.0f;
}

void SoundBox::setVolume(float volume, const std::string& path) {
    if (auto track = lookUp(path)) track->setVolume(volume);
}

bool SoundBox::toggleMuteForTrack(const std::string& path) {
    auto track = lookUp(path);
    if (!track) return true;
    bool muted = !track->muted();
    track->setMuted(muted);
    if (muted) stopTrack(path);
    soloSampleFilePath_.reset();
    return muted;
}

void SoundBox::toggleSoloForTrack(const std::string& path) {
    if (soloSampleFilePath_ && *soloSampleFilePath_ == path) {
        soloSampleFilePath_.reset();
        std::lock_guard lock(engineMutex_);
        for (const auto& [key, track] : tracksByFilePath_) track->setMuted(false);
        return;
    }
    soloSampleFilePath_ = path;
    std::lock_guard lock(engineMutex_);
    for (const auto& [key, track] : tracksByFilePath_) {
        if (track->relativeFileName() != path) {
            track->setMuted(true);
            if (track->currentState() != TrackState::Ready) track->stopPlayingAt(0);
        } else {
            track->setMuted(false);
        }
    }
}

bool SoundBox::trackIsMuted(const std::string& path) const {
    if (soloSampleFilePath_) return *soloSampleFilePath_ != path;
    auto track = lookUp(path);
    return track ? track->muted() : false;
}

// --- Events --------------------------------------------------------------------------

namespace {

/// Calls `send(delegate, observing)` for each observer of a snapshot that is still
/// in the live list; `observing()` tells whether it still is (observers may leave
/// during delivery and then hear nothing more).
template <typename Send>
void deliver(const std::vector<SoundBoxDelegate*>& delegates, Send send) {
    for (SoundBoxDelegate* delegate : std::vector(delegates)) {
        auto observing = [&] { return std::find(delegates.begin(), delegates.end(), delegate) != delegates.end(); };
        if (observing()) send(delegate, observing);
    }
}

}  // namespace

SoundBox::NoteAndPad SoundBox::noteAndPadOf(const std::string& path) const {
    NoteAndPad found;
    std::lock_guard lock(engineMutex_);
    if (auto note = midiNoteByTrackFilePath_.find(path); note != midiNoteByTrackFilePath_.end())
        found.note = note->second;
    for (const auto& [index, padPath] : currentSoundbankFilePathsByIdx_) {
        if (padPath == path) {
            found.pad = index;
            break;
        }
    }
    return found;
}

void SoundBox::informDelegatesOfTrackStarted(const std::string& path) {
    auto track = lookUp(path);
    const NoteAndPad playedBy = noteAndPadOf(path);
    const std::optional<int> note = playedBy.note, pad = playedBy.pad;
    const bool tapPad = track && track->isStartedByTapPad();
    const bool midi = track && track->isStartedByMidi();
    deliver(delegates_, [&](SoundBoxDelegate* delegate, auto observing) {
        delegate->trackStarted(path, tapPad);
        if (!midi && note && observing()) delegate->midiNoteOn(*note);
        if (!midi && pad && observing()) delegate->soundbankTrackStarted(*pad);
    });
}

void SoundBox::informDelegatesOfTrackFinished(const std::string& path) { informDelegatesOfTrackEnded(path, true); }

void SoundBox::informDelegatesOfTrackStopped(const std::string& path) { informDelegatesOfTrackEnded(path, false); }

void SoundBox::informDelegatesOfTrackEnded(const std::string& path, bool finished) {
    auto track = lookUp(path);
    const NoteAndPad playedBy = noteAndPadOf(path);
    const std::optional<int> note = playedBy.note, pad = playedBy.pad;
    const bool tapPad = track && track->isStartedByTapPad();
    const bool midi = track && track->isStartedByMidi();
    deliver(delegates_, [&](SoundBoxDelegate* delegate, auto observing) {
        if (finished) {
            delegate->trackFinishedPlaying(path);
        } else {
            delegate->trackStopped(path, tapPad);
        }
        if (!midi && note && observing()) delegate->midiNoteOff(*note);
        if (!midi && pad && observing()) delegate->soundbankTrackStopped(*pad);
    });
}

void SoundBox::informDelegatesOfAudioRouteChanged() {
    deliver(delegates_, [](SoundBoxDelegate* delegate, auto) { delegate->audioRouteChangedStopAudio(); });
}

void SoundBox::deliverPendingEvents() {
    events_.drain([this](PendingEvent event) {
        if (!event.track) return;
        const std::string path = event.track->relativeFileName();
        switch (event.type) {
        case PendingEvent::Type::Started: informDelegatesOfTrackStarted(path); break;
        case PendingEvent::Type::Stopped: informDelegatesOfTrackStopped(path); break;
        case PendingEvent::Type::Finished: informDelegatesOfTrackFinished(path); break;
        case PendingEvent::Type::LoadWanted: requestLoadIfNeeded(event.track); break;
        }
    });
    // The audio thread only counts late buffers; the last one is told here.
    if (lagWarnings_.exchange(0) > 0) {
        STROMBEL_LOG_WARN("Warning: Soundbox lag - time needed: {:f}, available: {:f}", lastLagNeeded_.load(),
                          lastLagAvailable_.load());
    }
    if (uint64_t dropped = droppedEvents_.exchange(0)) {
        STROMBEL_LOG_WARN("{} engine events were dropped", dropped);
    }
}

}  // namespace strombel::engine
