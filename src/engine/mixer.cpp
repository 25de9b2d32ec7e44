// The mixer. Apart from the few control-side members at the top, everything
// here runs on the device's audio thread (inside a platform::RealtimeScope,
// which the test build's guard watches; the effect chain's part is
// EffectChain's). Nothing allocates (scratch is sized when the mixer is built),
// nothing locks or waits, nothing touches files, and log lines go through the
// real-time ring. References the render lets go of go back to the main loop to be
// dropped there; only when both the event ring and the stash behind it are full
// (a main loop stalled for a long time) is one dropped here, and counted, which
// frees the track or its frames on this thread if it was the last reference.

#include "engine/mixer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "logging/realtime_log.h"

namespace strombel::engine {

namespace {

/// Frames from the buffer's start to `time`, rounded to the nearest frame: host
/// times are whole nanoseconds, so a time meant for a frame may lie a fraction
/// of a nanosecond before it, and cutting it down would land on the frame before.
uint32_t framesUntil(uint64_t time, uint64_t now, double rate, uint32_t limit) {
    if (time <= now) return 0;
    double frames = std::llround(static_cast<double>(time - now) * rate * 1e-9);
    return frames >= limit ? limit : static_cast<uint32_t>(frames);
}

/// Source frames a track gives for `count` output frames at `rate`: the rate's
/// share of them, and never fewer than the last of those frames reads. Below
/// rate 1 the share alone (rate x count, truncated) can fall one short of it,
/// which left the block's last output frame without a sample: a click at every
/// block.
uint32_t sourceFramesFor(uint32_t count, float rate, const uint32_t* sourceIndex) {
    if (rate == 1.0f) return count;
    const auto share = static_cast<uint32_t>(rate * static_cast<float>(count));
    return std::max(share, sourceIndex[count - 1] + 1);
}

float pitchRate(float pitchAmount, float wetness) {
    float q = 0.5f + (pitchAmount - 0.5f) / 2.5f;
    float rate = q < 0.5f ? 2.0f * q : 1.0f + 6.0f * (q - 0.5f);
    if (std::fabs(rate) < 0.2f) rate = 0.2f;
    return 1.0f + wetness * (rate - 1.0f);
}

/// Adds source frames read at `rate` source frames per output frame (the frame
/// at the truncated position, no interpolation) into `room` window frames;
/// `sourceIndex[k]` is that position for output frame k (the block's table).
void mixResampled(const int32_t* sourceL, const int32_t* sourceR, uint32_t available, float rate,
                  const uint32_t* sourceIndex, float gain, float* windowL, float* windowR, uint32_t room) {
    if (rate == 1.0f) {
        addFrames(sourceL, sourceR, std::min(room, available), gain, windowL, windowR);
        return;
    }
    // Output frames whose source position lies inside what the track gave.
    uint32_t count = std::min<uint32_t>(room, static_cast<uint32_t>(std::ceil(available / rate)) + 1);
    while (count > 0 && sourceIndex[count - 1] >= available) --count;
    if (sourceL == sourceR) {  // mono: one read feeds both channels
        for (uint32_t k = 0; k < count; ++k) {
            const float sample = gain * static_cast<float>(sourceL[sourceIndex[k]]);
            windowL[k] += sample;
            windowR[k] += sample;
        }
        return;
    }
    for (uint32_t k = 0; k < count; ++k) {
        const uint32_t at = sourceIndex[k];
        windowL[k] += gain * static_cast<float>(sourceL[at]);
        windowR[k] += gain * static_cast<float>(sourceR[at]);
    }
}

}  // namespace

// --- Control threads -------------------------------------------------------------------

Mixer::Mixer(double sampleRate, std::function<void(const std::shared_ptr<Track>&)> requestLoad)
    : requestLoad_(std::move(requestLoad)), effects_(44100.0) {
    setSampleRate(sampleRate);
}

void Mixer::setSampleRate(double rate) {
    settings_.sampleRate.store(rate);
    effects_.sizeEchoHistories(rate);
}

bool Mixer::waitForCommandRoom() {
    constexpr size_t kShared = kCommandCapacity - kCommandCapacity / 4;
    if (commands_.approximateSize() < kShared) return true;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    while (commands_.approximateSize() >= kShared) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

bool Mixer::isNothingPlaying() const {
    // A request still on its way may be a start: until the audio thread has
    // taken it, something counts as playing.
    return playingPublished_.load(std::memory_order_seq_cst) == 0 && commands_.approximateSize() == 0 &&
           playingPublished_.load(std::memory_order_seq_cst) == 0;
}

void Mixer::resetPeaks() {
    peakLeft_.store(0.0f);
    peakRight_.store(0.0f);
}

// --- Reports and references back to the main loop ---------------------------------

void Mixer::release(std::shared_ptr<const void> reference) {
    if (!reference) return;
    const bool queued = events_.tryPush([&](Event& slot) {
        slot.type = Event::Type::Release;
        slot.released = std::move(reference);
    });
    if (queued) {
        eventsPosted_ = true;
    } else if (releaseStashCount_ < releaseStash_.size()) {
        releaseStash_[releaseStashCount_++] = std::move(reference);  // sent at the next block
    } else {
        // Both full (a main loop stalled for minutes): the reference goes here.
        eventOverruns_.fetch_add(1, std::memory_order_relaxed);
    }
}

void Mixer::postEvent(Event::Type type, const std::shared_ptr<Track>& track) {
    // Copying the pointer only counts a reference: the caller's keeps the track alive.
    const bool queued = events_.tryPush([&](Event& slot) {
        slot.type = type;
        slot.track = track;
    });
    if (queued) {
        eventsPosted_ = true;
    } else {
        eventOverruns_.fetch_add(1, std::memory_order_relaxed);
    }
}

// --- Requests of the control threads ---------------------------------------------------

bool Mixer::addPlaying(Track& track) {
    for (size_t i = 0; i < playingCount_; ++i) {
        if (playing_[i].get() == &track) return true;
    }
    if (playingCount_ == playing_.size()) return false;  // as many tracks as can sound
    track.setPlayingSince(++playingOrder_);
    playing_[playingCount_++] = track.shared_from_this();  // a reference of the list's own
    return true;
}

void Mixer::removePlayingAt(size_t index) {
    std::shared_ptr<Track> leaving = std::move(playing_[index]);
    std::move(playing_.begin() + static_cast<std::ptrdiff_t>(index) + 1,
              playing_.begin() + static_cast<std::ptrdiff_t>(playingCount_),
              playing_.begin() + static_cast<std::ptrdiff_t>(index));
    --playingCount_;
    release(leaving->takePlaybackFrames());
    release(std::move(leaving));
}

void Mixer::startTrackNow(Track& track, uint64_t atTime, bool tapPad, float velocity) {
    if (!addPlaying(track)) return;
    track.playFromStartAt(atTime, velocity);
    if (settings_.cutTapPadTracks.load(std::memory_order_relaxed) && tapPad) {
        for (size_t i = 0; i < playingCount_; ++i) {
            Track& other = *playing_[i];
            if (&other != &track && other.isStartedByTapPad() && other.relativeFileName() != track.relativeFileName())
                other.stopPlayingAt(atTime);
        }
    }
}

void Mixer::stopTrackNow(Track& track, uint64_t atTime) {
    TrackState state = track.currentState();
    if (state == TrackState::Unprepared || state == TrackState::Ready) return;
    if (track.isStartedByTapPad() && !settings_.holdTapPadTracks.load(std::memory_order_relaxed)) return;  // plays to its end
    track.stopPlayingAt(atTime);
}

void Mixer::insertQueued(Queue& queue, size_t& count, uint64_t time,
                            Track& track) {
    if (count == queue.size()) {
        STROMBEL_RT_LOG_ERROR("can't queue track, the queue is full: {}", track.relativeFileName());
        return;
    }
    // After every request of the same time: those keep the order they came in.
    size_t at = count;
    while (at > 0 && queue[at - 1].time > time) {
        queue[at] = std::move(queue[at - 1]);
        --at;
    }
    queue[at].time = time;
    queue[at].track = track.shared_from_this();
    ++count;
}

void Mixer::clearQueued(Queue& queue, size_t& count) {
    for (size_t i = 0; i < count; ++i) release(std::move(queue[i].track));
    count = 0;
}

void Mixer::applyCommand(Command& command) {
    switch (command.type) {
    case Command::Type::start:
        command.track->setIsStartedByTapPad(command.tapPad);
        command.track->setIsStartedByMidi(command.midi);
        startTrackNow(*command.track, command.time, command.tapPad, command.velocity);
        break;
    case Command::Type::startRange:
        if (addPlaying(*command.track)) command.track->playFromPoint(command.fromPoint, command.toPoint, 0, 1.0f);
        break;
    case Command::Type::stop: stopTrackNow(*command.track, command.time); break;
    case Command::Type::queueStart:
        insertQueued(queuedStarts_, queuedStartCount_, command.time, *command.track);
        break;
    case Command::Type::queueStop:
        insertQueued(queuedStops_, queuedStopCount_, command.time, *command.track);
        break;
    case Command::Type::stopAll:
        for (size_t i = 0; i < playingCount_; ++i) {
            if (command.includeTapPad || !playing_[i]->isStartedByTapPad()) playing_[i]->stopPlayingAt(0);
        }
        clearQueued(queuedStarts_, queuedStartCount_);
        clearQueued(queuedStops_, queuedStopCount_);
        break;
    case Command::Type::solo:
        for (size_t i = 0; i < playingCount_; ++i) {
            Track& other = *playing_[i];
            const bool soloed = command.track && other.relativeFileName() == command.track->relativeFileName();
            if (!soloed && other.currentState() != TrackState::Ready) other.stopPlayingAt(0);
        }
        break;
    case Command::Type::stopHeldSilent:
        for (size_t i = 0; i < playingCount_; ++i) {
            if (playing_[i]->heldSilent()) stopTrackNow(*playing_[i], 0);
        }
        break;
    case Command::Type::clearEcho: effects_.clearEcho(); break;
    case Command::Type::swapTable: {
        // What played on the old table stops, and says so (a pad's lamp goes out,
        // its note-off goes out); queued requests follow their paths.
        while (playingCount_ > 0) {
            const std::shared_ptr<Track>& leaving = playing_[playingCount_ - 1];
            if (leaving->hasBegun()) postEvent(Event::Type::Stopped, leaving);
            removePlayingAt(playingCount_ - 1);
        }
        for (auto* queue : {&queuedStarts_, &queuedStops_}) {
            size_t& count = queue == &queuedStarts_ ? queuedStartCount_ : queuedStopCount_;
            size_t kept = 0;
            for (size_t i = 0; i < count; ++i) {
                QueuedRequest& request = (*queue)[i];
                auto found = command.tables->tracksByFilePath.find(request.track->relativeFileName());
                release(std::move(request.track));
                if (found == command.tables->tracksByFilePath.end()) continue;
                (*queue)[kept].time = request.time;
                (*queue)[kept].track = found->second;
                requestLoad_(found->second);  // in memory by the time it is due
                ++kept;
            }
            count = kept;
        }
        break;
    }
    }
    // The tables a swap brought go back to the main loop.
    release(std::move(command.tables));
}

void Mixer::takeCommands() {
    // A control thread preempted while it writes its request holds back nobody:
    // its request is taken at a later block.
    commands_.drainAvailable([this](Command& slot) {
        Command command = std::move(slot);
        applyCommand(command);
    });
    // The list's new length is out before the requests stop counting as queued
    // (isNothingPlaying looks at both).
    playingPublished_.store(playingCount_, std::memory_order_seq_cst);
    commands_.finishTaking();
}

void Mixer::resolveDue(uint64_t end) {
    // Queued starts and stops that fall before the block's end, in time order.
    size_t due = 0;
    while (due < queuedStartCount_ && queuedStarts_[due].time < end) ++due;
    for (size_t i = 0; i < due; ++i) {
        QueuedRequest& request = queuedStarts_[i];
        Track& track = *request.track;
        if (!track.silenced()) {
            track.setIsStartedByTapPad(false);
            track.setIsStartedByMidi(false);
            startTrackNow(track, request.time, false, 1.0f);
        }
        release(std::move(request.track));
    }
    std::move(queuedStarts_.begin() + static_cast<std::ptrdiff_t>(due),
              queuedStarts_.begin() + static_cast<std::ptrdiff_t>(queuedStartCount_), queuedStarts_.begin());
    queuedStartCount_ -= due;

    due = 0;
    while (due < queuedStopCount_ && queuedStops_[due].time < end) ++due;
    for (size_t i = 0; i < due; ++i) {
        stopTrackNow(*queuedStops_[i].track, queuedStops_[i].time);
        release(std::move(queuedStops_[i].track));
    }
    std::move(queuedStops_.begin() + static_cast<std::ptrdiff_t>(due),
              queuedStops_.begin() + static_cast<std::ptrdiff_t>(queuedStopCount_), queuedStops_.begin());
    queuedStopCount_ -= due;
}

// --- Rendering --------------------------------------------------------------------------------

bool Mixer::render(uint32_t frames, uint64_t hostTimeNanos, int32_t* left, int32_t* right) {
    const double rate = settings_.sampleRate.load(std::memory_order_relaxed);
    // References that found no room in the ring last time go first.
    while (releaseStashCount_ > 0) {
        const bool queued = events_.tryPush([&](Event& slot) {
            slot.type = Event::Type::Release;
            slot.released = std::move(releaseStash_[releaseStashCount_ - 1]);
        });
        if (!queued) break;
        --releaseStashCount_;
        eventsPosted_ = true;
    }
    // Buffers longer than a block are rendered block by block, each at its own time.
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = std::min(kBlockFrames, frames - done);
        const uint64_t now = hostTimeNanos + static_cast<uint64_t>(static_cast<double>(done) * 1e9 / rate);
        renderBlock(n, now, left + done, right + done);
        done += n;
    }
    int64_t peakLeft = 0, peakRight = 0;
    for (uint32_t i = 0; i < frames; ++i) {
        peakLeft = std::max(peakLeft, std::abs(static_cast<int64_t>(left[i])));
        peakRight = std::max(peakRight, std::abs(static_cast<int64_t>(right[i])));
    }
    peakLeft_.store(static_cast<float>(peakLeft), std::memory_order_relaxed);
    peakRight_.store(static_cast<float>(peakRight), std::memory_order_relaxed);
    playingPublished_.store(playingCount_, std::memory_order_seq_cst);
    const bool posted = eventsPosted_;
    eventsPosted_ = false;
    return posted;
}

bool Mixer::rests() const {
    return playingCount_ == 0 && queuedStartCount_ == 0 && queuedStopCount_ == 0 && releaseStashCount_ == 0 &&
           effects_.atRest() && commands_.approximateSize() == 0;
}

void Mixer::renderBlock(uint32_t n, uint64_t now, int32_t* left, int32_t* right) {
    std::memset(left, 0, n * sizeof(int32_t));
    std::memset(right, 0, n * sizeof(int32_t));
    takeCommands();

    const double sampleRate = settings_.sampleRate.load(std::memory_order_relaxed);
    const uint64_t end = now + static_cast<uint64_t>(static_cast<double>(n) / sampleRate * 1e9);
    resolveDue(end);

    const float wetness = settings_.effectWetness.load(std::memory_order_relaxed);
    effects_.beginBlock(n);

    const float rate = pitchRate(settings_.pitchAmount.load(std::memory_order_relaxed), wetness);
    // Where each output frame reads its source at that rate, for every track of the block.
    if (rate != 1.0f) {
        for (uint32_t k = 0; k < n; ++k) sourceIndex_[k] = static_cast<uint32_t>(static_cast<float>(k) * rate);
    }
    const float master = settings_.volume.load(std::memory_order_relaxed);
    processTracks(n, now, end, rate, master, left, right);
    if (effects_.restsAfter(n)) return;

    EffectChain::Amounts amounts;
    amounts.wetness = wetness;
    amounts.crush = settings_.crushAmount.load(std::memory_order_relaxed);
    amounts.cutOff = settings_.cutOffAmount.load(std::memory_order_relaxed);
    amounts.phase = settings_.phaseAmount.load(std::memory_order_relaxed);
    amounts.delayIntensity = settings_.delayIntensity.load(std::memory_order_relaxed);
    amounts.delayTime = settings_.delayTime.load(std::memory_order_relaxed);
    amounts.reverb = settings_.reverbAmount.load(std::memory_order_relaxed);
    effects_.finishBlock(n, amounts, sampleRate, left, right);
}

void Mixer::processTracks(uint32_t n, uint64_t now, uint64_t end, float rate, float master, int32_t* left,
                             int32_t* right) {
    const double sampleRate = settings_.sampleRate.load(std::memory_order_relaxed);
    const bool fxTapPadOnly = settings_.applyFxToTapPadOnly.load(std::memory_order_relaxed);
    float* windowL = effects_.windowLeft(n);
    float* windowR = effects_.windowRight(n);

    bool skipped = false;
    for (size_t i = playingCount_; i-- > 0;) {
        uint32_t retriggerOffset = 0;
        for (int pass = 0; pass < 2; ++pass) {  // a second pass mixes a retrigger from the buffer's start
            const std::shared_ptr<Track>& handle = playing_[i];
            Track& track = *handle;
            TrackState state = track.currentState();
            // A track that is not playing leaves the list; one playing before its
            // start waits for it. Neither is logged: only this thread sets play
            // states and keeps the list, so neither should happen, and each is set
            // right here (a line for the second would come again every block).
            if (state == TrackState::Unprepared || state == TrackState::Ready) {
                removePlayingAt(i);
                break;
            }
            const uint64_t start = track.startHostTimeNanos();
            const uint64_t stop = track.stopHostTimeNanos();
            if (start > end && state == TrackState::Playing) break;
            const bool begun = state == TrackState::Playing || state == TrackState::StopPending;
            const uint64_t effectiveStart = begun ? start : std::max(start, now);
            const uint64_t effectiveStop = state == TrackState::Playing ? stop : std::max(stop, now);
            uint32_t offset = 0, count = 0;
            switch (state) {
            case TrackState::StartPending:
                if (start <= end) {
                    track.startPlayback();
                    offset = framesUntil(effectiveStart, now, sampleRate, n);
                    count = n - offset;
                    postEvent(Event::Type::Started, handle);
                }
                break;
            case TrackState::RetriggerPending:
                if (start > end) {
                    count = n;
                } else {
                    count = framesUntil(effectiveStart, now, sampleRate, n);
                    postEvent(Event::Type::Started, handle);
                }
                break;
            case TrackState::Playing:
                // After a retrigger inside this block, the new playback begins at its own frame.
                offset = retriggerOffset;
                count = n - offset;
                break;
            case TrackState::StopPending:
                if (!track.hasBegun()) {
                    // Stopped before it began: nothing of it sounds (its read
                    // position still belongs to an earlier playback).
                    if (stop <= end) postEvent(Event::Type::Stopped, handle);
                } else if (stop > end) {
                    count = n;
                } else {
                    count = effectiveStop < effectiveStart ? 0 : framesUntil(effectiveStop, now, sampleRate, n);
                    postEvent(Event::Type::Stopped, handle);
                }
                break;
            default: break;
            }
            // A stop that falls before this playback began lets nothing through.
            const float gain = master * track.playbackVolume();
            uint32_t requested = 0, got = 0;
            bool loading = false;  // the frames are on their way: nothing of this block sounds
            if (count > 0) {
                const bool effects = !fxTapPadOnly || track.isStartedByTapPad();
                requested = effects ? sourceFramesFor(count, rate, sourceIndex_.data()) : count;
                TrackFrames frames;
                got = track.allocAndLoadNextFramesInto(frames, requested);
                if (frames.status == TrackFrames::Status::NotLoaded) {
                    // The start, stop or retrigger due in this block still takes
                    // place (and is told once); only the sound is missing.
                    requestLoad_(handle);
                    skipped = true;
                    loading = true;
                } else if (frames.status == TrackFrames::Status::Unavailable) {
                    // A track that can give no frames ends instead of sounding forever.
                    track.cleanAfterPlayback();
                    postEvent(Event::Type::Finished, handle);
                    removePlayingAt(i);
                    break;
                }
                if (got > 0) {
                    const int32_t* sourceL = frames.channels[0];
                    const int32_t* sourceR = frames.numChannels > 1 ? frames.channels[1] : frames.channels[0];
                    if (effects) {
                        // Only this playback's frames: a retrigger or a stop in the block owns the rest.
                        mixResampled(sourceL, sourceR, got, rate, sourceIndex_.data(), gain, windowL + offset,
                                     windowR + offset, count);
                        effects_.touched();
                    } else {
                        for (uint32_t j = 0; j < got && offset + j < n; ++j) {
                            left[offset + j] =
                                saturatingFromFloat(static_cast<float>(left[offset + j]) + gain * sourceL[j]);
                            right[offset + j] =
                                saturatingFromFloat(static_cast<float>(right[offset + j]) + gain * sourceR[j]);
                        }
                    }
                }
                track.releaseFrames(frames);
            }
            state = track.currentState();
            if (effectiveStart < end && state == TrackState::RetriggerPending) {
                track.startPlayback();
                retriggerOffset = framesUntil(effectiveStart, now, sampleRate, n);
                continue;  // the restarted playback is mixed from the block's first frame
            }
            if (state == TrackState::StopPending && (effectiveStop < end || effectiveStop < effectiveStart)) {
                track.cleanAfterPlayback();
                removePlayingAt(i);
            } else if (got < requested && !loading) {
                postEvent(Event::Type::Finished, handle);
                if (state == TrackState::RetriggerPending) {
                    track.waitForRetrigger();
                } else {
                    track.cleanAfterPlayback();
                    removePlayingAt(i);
                }
            }
            break;
        }
    }
    if (skipped) {
        skippedBlocks_.fetch_add(1, std::memory_order_relaxed);
        eventsPosted_ = true;
    }
}

}  // namespace strombel::engine
