// Track control: the table of tracks (whose loads the Preloader runs), the
// current bank's pads, starts and stops from pads, MIDI and the sequencer, mute,
// solo and volume, and the events the observers hear on the main loop.
//
// Control threads (main, sequencer, MIDI) read the published tables without a
// lock and send their requests to the audio thread (the Mixer, mixer.cpp); the
// main loop alone changes the tables, and frees what the audio thread hands back.

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include <fmt/format.h>

#include "engine/sound_box.h"
#include "logging/log.h"
#include "logging/realtime_log.h"

namespace strombel::engine {

namespace {

constexpr uint64_t kUnusedCacheAge = 30 * platform::kNanosPerSecond;

bool isSounding(TrackState state) {
    return state == TrackState::Playing || state == TrackState::RetriggerPending || state == TrackState::StopPending;
}

bool isListed(TrackState state) { return state != TrackState::Unprepared && state != TrackState::Ready; }

}  // namespace

// --- Looking up and sending -------------------------------------------------------------

std::shared_ptr<Track> SoundBox::trackForFile(const std::string& path) const { return tables_.lookUp(path); }

// --- Preloads -------------------------------------------------------------------------------

void SoundBox::requestLoad(const std::shared_ptr<Track>& track, bool force) { preloader_.request(track, force); }

bool SoundBox::preloadTrack(const std::string& path) {
    auto track = tables_.lookUp(path);
    if (!track) {
        STROMBEL_LOG_ERROR("can't preload track, not loaded (nil): {}", path);
        return false;
    }
    requestLoad(track, true);
    return true;
}

void SoundBox::setPreloadGate(std::function<void()> gate) { preloader_.setGate(std::move(gate)); }

void SoundBox::waitForPreloads() { preloader_.waitUntilDone(); }

// --- Table and banks ------------------------------------------------------------

void SoundBox::reloadTracks() {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    STROMBEL_LOG_DEBUG("(re)loading SoundBox tracks");
    std::shared_ptr<const Tables> tables = editor_.rebuild(library_);
    // The audio thread lets go of what plays on the old table; the old tracks are
    // freed here, on the main loop, once it has handed them back.
    sendCommand([&](Command& command) {
        command.type = Command::Type::swapTable;
        command.tables = tables;
    });
    // Pads whose sample left the library are let go of when the banks follow.
    for (const auto& [pad, path] : currentSoundbankFilePathsByIdx()) {
        if (tables->tracksByFilePath.count(path)) preloadTrack(path);
    }
    STROMBEL_LOG_DEBUG("loading of SoundBox tracks completed");
}

std::shared_ptr<Track> SoundBox::loadTrackForFile(const std::string& path) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    return editor_.load(path);
}

void SoundBox::trackRenamed(const std::string& from, const std::string& to) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    editor_.rename(from, to);
}

void SoundBox::reloadSoundbanks() {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    editor_.setBanks(library_);
    loadCurrentSoundbank();
}

void SoundBox::currentSoundbankChanged(uint64_t index) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (index == currentSoundBankIdx_) return;
    currentSoundBankIdx_ = index;
    loadCurrentSoundbank();
}

void SoundBox::loadCurrentSoundbank() {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    const std::map<int, std::string> outgoing = currentSoundbankFilePathsByIdx();
    for (const auto& [pad, path] : outgoing) {
        auto track = tables_.lookUp(path);
        if (track && !track->isStartedByMidi() && isSounding(track->currentState())) {
            for (SoundBoxDelegate* delegate : std::vector(delegates_)) {
                if (std::find(delegates_.begin(), delegates_.end(), delegate) != delegates_.end())
                    delegate->soundbankTrackStopped(pad);
            }
        }
    }
    // A sample that left the library took its track and its cache with it.
    for (const auto& [pad, path] : outgoing) {
        if (isTrackReady(path)) cleanCacheForTrackIfUnused(path);
    }

    for (const auto& [pad, path] : editor_.setPads(library_, currentSoundBankIdx_)) preloadTrack(path);
}

std::map<int, std::string> SoundBox::currentSoundbankFilePathsByIdx() const {
    return tables_.read()->currentSoundbankFilePathsByIdx;
}

void SoundBox::cleanCacheForTrackIfUnused(const std::string& path) {
    auto track = tables_.lookUp(path);
    if (!track) {
        STROMBEL_LOG_ERROR("can't unload track, not loaded (nil): {}", path);
        return;
    }
    uint64_t now = mainLoop_.nowNanos();
    track->clearUnusedCacheIfNotUsedSince(now > kUnusedCacheAge ? now - kUnusedCacheAge : 0);
}

void SoundBox::clearUnusedCache() {
    std::shared_ptr<const Tables> tables = tables_.current();
    std::set<std::string> current;
    for (const auto& [pad, path] : tables->currentSoundbankFilePathsByIdx) current.insert(path);
    uint64_t now = mainLoop_.nowNanos();
    for (const auto& [path, track] : tables->tracksByFilePath) {
        if (current.count(track->relativeFileName())) continue;
        track->clearUnusedCacheIfNotUsedSince(now > kUnusedCacheAge ? now - kUnusedCacheAge : 0);
    }
}

std::vector<std::shared_ptr<Track>> SoundBox::playingTracks() const {
    std::vector<std::shared_ptr<Track>> playing;
    {
        auto tables = tables_.read();
        for (const auto& [path, track] : tables->tracksByFilePath) {
            if (isListed(track->currentState())) playing.push_back(track);
        }
    }
    std::sort(playing.begin(), playing.end(),
              [](const auto& a, const auto& b) { return a->playingSince() < b->playingSince(); });
    return playing;
}

// --- Starting and stopping ----------------------------------------------------------

bool SoundBox::startTrack(const std::string& path, uint64_t atTime, bool tapPad, bool midi, bool ignoreMute,
                          float velocity) {
    STROMBEL_EXPECT_THREAD(kControlThreads);
    const bool sent = sendForPath(
        path,
        [&](Command& command) {
            command.type = Command::Type::start;
            command.time = atTime;
            command.tapPad = tapPad;
            command.midi = midi;
            command.velocity = velocity;
        },
        // A touch on a pad plays a muted sample; a MIDI note, though played as a
        // pad (cut and hold apply), does not, nor does one under another's solo.
        ignoreMute || (tapPad && !midi));
    if (!sent && !isTrackReady(path)) STROMBEL_RT_LOG_ERROR("can't play track, not in tracklist: {}", path);
    return sent;
}

bool SoundBox::startTrackFromSequencer(const std::string& path, uint64_t atTime) {
    STROMBEL_EXPECT_THREAD(kControlThreads);
    return sendFromSequencer(path, atTime, Command::Type::queueStart, "play");
}

bool SoundBox::stopTrackFromSequencer(const std::string& path, uint64_t atTime) {
    STROMBEL_EXPECT_THREAD(kControlThreads);
    return sendFromSequencer(path, atTime, Command::Type::queueStop, "stop");
}

bool SoundBox::sendFromSequencer(const std::string& path, uint64_t atTime, Command::Type type, const char* action) {
    const bool sent = sendForPath(path, [&](Command& command) {
        command.type = type;
        command.time = atTime;
    });
    if (!sent && !isTrackReady(path)) STROMBEL_RT_LOG_ERROR("can't {} track, not in tracklist: {}", action, path);
    return sent;
}

// A MIDI start remembers the sample it played; its stop stops that one, though
// the bank (or the note's table) changed while the key was down.
bool SoundBox::startFromMidi(std::map<int, std::string> Tables::*paths, std::map<int, std::string>& started, int key,
                             float velocity) {
    auto path = tables_.pathFor(paths, key);
    if (!path) return false;
    {
        std::lock_guard lock(midiStartedMutex_);
        started[key] = *path;
    }
    return startTrack(*path, 0, true, true, false, velocity);
}

void SoundBox::stopFromMidi(std::map<int, std::string> Tables::*paths, std::map<int, std::string>& started, int key) {
    std::optional<std::string> path;
    {
        std::lock_guard lock(midiStartedMutex_);
        if (auto found = started.find(key); found != started.end()) {
            path = std::move(found->second);
            started.erase(found);
        }
    }
    if (!path) path = tables_.pathFor(paths, key);
    if (path) stopTrack(*path);
}

bool SoundBox::startSoundbankSample(int pad, float velocity) {
    return startFromMidi(&Tables::currentSoundbankFilePathsByIdx, midiStartedByPad_, pad, velocity);
}

void SoundBox::stopSoundbankSample(int pad) {
    stopFromMidi(&Tables::currentSoundbankFilePathsByIdx, midiStartedByPad_, pad);
}

bool SoundBox::startTrackForMidiNote(int note, float velocity) {
    return startFromMidi(&Tables::trackFilePathByMidiNote, midiStartedByNote_, note, velocity);
}

void SoundBox::stopTrackForMidiNote(int note) { stopFromMidi(&Tables::trackFilePathByMidiNote, midiStartedByNote_, note); }

bool SoundBox::startTrack(const std::string& path, double fromPoint, double toPoint) {
    STROMBEL_EXPECT_THREAD(kControlThreads);
    const bool sent = sendForPath(path, [&](Command& command) {
        command.type = Command::Type::startRange;
        command.fromPoint = fromPoint;
        command.toPoint = toPoint;
    });
    if (!sent && !isTrackReady(path)) STROMBEL_RT_LOG_ERROR("can't play track, not in tracklist: {}", path);
    return sent;
}

void SoundBox::stopTrack(const std::string& path) { stopTrack(path, 0); }

void SoundBox::stopTrack(const std::string& path, uint64_t atTime) {
    STROMBEL_EXPECT_THREAD(kControlThreads);
    auto tables = tables_.read();
    auto found = tables->tracksByFilePath.find(path);
    if (found == tables->tracksByFilePath.end()) return;
    sendCommand([&](Command& command) {
        command.type = Command::Type::stop;
        command.time = atTime;
        command.track = found->second.get();
    });
}

void SoundBox::stopAllTracks() { stopAllTracksIncludeTapPadTriggered(true); }

void SoundBox::stopAllTracksIncludeTapPadTriggered(bool include) {
    STROMBEL_EXPECT_THREAD(kControlThreads);
    sendCommand([&](Command& command) {
        command.type = Command::Type::stopAll;
        command.includeTapPad = include;
    });
}

// --- Per-track state and settings ----------------------------------------------------

bool SoundBox::isPlaying(const std::string& path) const {
    auto tables = tables_.read();
    auto found = tables->tracksByFilePath.find(path);
    if (found == tables->tracksByFilePath.end()) return false;
    TrackState state = found->second->currentState();
    return state == TrackState::Playing || state == TrackState::RetriggerPending;
}

bool SoundBox::isTrackReady(const std::string& path) const {
    auto tables = tables_.read();
    return tables->tracksByFilePath.find(path) != tables->tracksByFilePath.end();
}

bool SoundBox::isNothingPlaying() const {
    return mixer_.isNothingPlaying();
}

float SoundBox::volumeForTrack(const std::string& path) const {
    auto tables = tables_.read();
    auto found = tables->tracksByFilePath.find(path);
    return found == tables->tracksByFilePath.end() ? 0.0f : found->second->volume();
}

void SoundBox::setVolume(float volume, const std::string& path) {
    auto tables = tables_.read();
    auto found = tables->tracksByFilePath.find(path);
    if (found != tables->tracksByFilePath.end()) found->second->setVolume(volume);
}

bool SoundBox::toggleMuteForTrack(const std::string& path) {
    auto track = tables_.lookUp(path);
    if (!track) return true;
    bool muted = !track->muted();
    track->setMuted(muted);
    if (muted) stopTrack(path);
    // The silence of a solo stays, as the tracks' own mutes.
    editor_.keepSoloAsMutes();
    return muted;
}

void SoundBox::toggleSoloForTrack(const std::string& path) {
    const std::optional<std::shared_ptr<Track>> soloed = editor_.toggleSolo(path);
    if (!soloed) return;
    // The audio thread stops every other track that sounds (every one when the
    // soloed path has no track).
    sendCommand([&](Command& command) {
        command.type = Command::Type::solo;
        command.track = soloed->get();
    });
}

bool SoundBox::trackIsMuted(const std::string& path) const { return editor_.isMuted(path); }

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
    auto tables = tables_.read();
    if (auto note = tables->midiNoteByTrackFilePath.find(path); note != tables->midiNoteByTrackFilePath.end())
        found.note = note->second;
    for (const auto& [index, padPath] : tables->currentSoundbankFilePathsByIdx) {
        if (padPath == path) {
            found.pad = index;
            break;
        }
    }
    return found;
}

void SoundBox::informDelegatesOfTrackStarted(const std::string& path) {
    informDelegatesOfTrackStarted(path, tables_.lookUp(path).get());
}

namespace {

/// Whether observers hear of `track`'s playback as coming from a touch on a pad.
/// A MIDI start is played as a pad's (cut and hold apply) but is no touch: the
/// pad screen records touches only.
bool touchedOnAPad(const Track* track) { return track && track->isStartedByTapPad() && !track->isStartedByMidi(); }

}  // namespace

void SoundBox::informDelegatesOfTrackStarted(const std::string& path, const Track* track) {
    const NoteAndPad playedBy = noteAndPadOf(path);
    const std::optional<int> note = playedBy.note, pad = playedBy.pad;
    const bool tapPad = touchedOnAPad(track);
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
    informDelegatesOfTrackEnded(path, finished, tables_.lookUp(path).get());
}

void SoundBox::informDelegatesOfTrackEnded(const std::string& path, bool finished, const Track* track) {
    const NoteAndPad playedBy = noteAndPadOf(path);
    const std::optional<int> note = playedBy.note, pad = playedBy.pad;
    const bool tapPad = touchedOnAPad(track);
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

void SoundBox::informDelegatesOfUnreadableSample(const std::string& path, const std::string& message) {
    deliver(delegates_, [&](SoundBoxDelegate* delegate, auto) { delegate->sampleUnreadable(path, message); });
}

void SoundBox::informDelegatesOfSampleRecordFailed(const std::string& reason) {
    deliver(delegates_, [&](SoundBoxDelegate* delegate, auto) { delegate->sampleRecordFailed(reason); });
}

void SoundBox::informDelegatesOfOutput(bool restored, const std::string& message) {
    deliver(delegates_, [&](SoundBoxDelegate* delegate, auto) {
        if (restored) {
            delegate->audioOutputRestored(message);
        } else {
            delegate->audioOutputLost(message);
        }
    });
}

void SoundBox::informDelegatesOfOutputNotOpened(const std::string& message) {
    deliver(delegates_, [&](SoundBoxDelegate* delegate, auto) { delegate->audioOutputNotOpened(message); });
}

void SoundBox::deliverPendingEvents() {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    mixer_.drainEvents([this](PendingEvent& event) {
        // A released reference is dropped here, on the main loop, with the event.
        if (event.type == PendingEvent::Type::Release || !event.track) return;
        // The track the audio thread played tells how it was started, even when
        // a reload has put another in its place since.
        const std::string path = event.track->relativeFileName();
        const Track* track = event.track.get();
        switch (event.type) {
        case PendingEvent::Type::Started: informDelegatesOfTrackStarted(path, track); break;
        case PendingEvent::Type::Stopped: informDelegatesOfTrackEnded(path, false, track); break;
        case PendingEvent::Type::Finished: informDelegatesOfTrackEnded(path, true, track); break;
        case PendingEvent::Type::Release: break;
        }
    });
    tables_.freeRetired();
    logCountersThatChanged();
}

SoundBox::Counters SoundBox::counters() const {
    Counters now;
    now.skippedBlocks = mixer_.skippedBlocks();
    now.deviceXruns = session_.device().xruns();
    now.commandOverruns = mixer_.commandOverruns();
    now.eventOverruns = mixer_.eventOverruns();
    now.recordingOverruns = recorder_.overruns();
    now.lateBuffers = lateBuffers_.load(std::memory_order_relaxed);
    return now;
}

void SoundBox::logCountersThatChanged() {
    const Counters now = counters();
    if (now == logged_) return;
    // The audio thread only counts; changes are told here, at most once an
    // interval, each line with how many came since the last.
    const uint64_t at = mainLoop_.nowNanos();
    if (countersLoggedAt_ && at - *countersLoggedAt_ < kCounterLogInterval) {
        if (!heldCountersTimer_) {
            heldCountersTimer_ = mainLoop_.schedule(*countersLoggedAt_ + kCounterLogInterval - at, [this] {
                heldCountersTimer_ = 0;
                logCountersThatChanged();
            });
        }
        return;
    }
    countersLoggedAt_ = at;
    if (now.lateBuffers != logged_.lateBuffers) {
        STROMBEL_LOG_WARN("Warning: Soundbox lag - time needed: {:f}, available: {:f}", lastLagNeeded_.load(),
                          lastLagAvailable_.load());
    }
    if (now.skippedBlocks != logged_.skippedBlocks) {
        STROMBEL_LOG_WARN("{} audio blocks played without a sample whose frames were not loaded yet ({} in all)",
                          now.skippedBlocks - logged_.skippedBlocks, now.skippedBlocks);
    }
    if (now.deviceXruns != logged_.deviceXruns) {
        STROMBEL_LOG_WARN("the audio device reported {} under- or overruns ({} in all)",
                          now.deviceXruns - logged_.deviceXruns, now.deviceXruns);
    }
    if (now.commandOverruns != logged_.commandOverruns) {
        STROMBEL_LOG_WARN("{} requests to the audio thread were dropped: its queue was full",
                          now.commandOverruns - logged_.commandOverruns);
    }
    if (now.eventOverruns != logged_.eventOverruns) {
        STROMBEL_LOG_WARN("{} engine events were dropped", now.eventOverruns - logged_.eventOverruns);
    }
    if (now.recordingOverruns != logged_.recordingOverruns) {
        STROMBEL_LOG_WARN("the recording lost {} samples", now.recordingOverruns - logged_.recordingOverruns);
    }
    logged_ = now;
}

}  // namespace strombel::engine
