#include "engine/track.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

#include <sys/stat.h>

#include "logging/log.h"
#include "logging/realtime_log.h"

namespace strombel::engine {

namespace {

bool legalChange(TrackState from, TrackState to) {
    auto in = [from](std::initializer_list<TrackState> states) {
        return std::find(states.begin(), states.end(), from) != states.end();
    };
    switch (to) {
    case TrackState::Unprepared: return false;
    case TrackState::Ready:
        return in({TrackState::Unprepared, TrackState::StartPending, TrackState::Playing, TrackState::StopPending});
    case TrackState::StartPending:
        return in({TrackState::Ready, TrackState::StartPending, TrackState::RetriggerPending, TrackState::StopPending});
    case TrackState::Playing: return in({TrackState::StartPending, TrackState::RetriggerPending});
    case TrackState::RetriggerPending: return in({TrackState::Playing});
    case TrackState::StopPending:
        return in({TrackState::StartPending, TrackState::Playing, TrackState::RetriggerPending, TrackState::StopPending});
    }
    return true;  // values outside the table are stored without a check
}

std::string baseName(const std::string& path) { return std::filesystem::path(path).stem().string(); }

}  // namespace

Track::Track(double sampleRate, const platform::Clock& clock) : sampleRate_(sampleRate), clock_(clock) {}

void Track::setCurrentState(TrackState state) {
    TrackState old = state_.load(std::memory_order_acquire);
    if (!legalChange(old, state)) {
        STROMBEL_RT_LOG_ERROR("** illegal Track state change!! {} -> {}", static_cast<int>(old),
                              static_cast<int>(state));
    }
    state_.store(state, std::memory_order_release);
}

void Track::setVolume(float volume) {
    if (!(volume == volume)) return;
    volume_.store(std::clamp(volume, 0.0f, 1.5f));
}

bool Track::prepareWithFile(const std::string& relativePath, const platform::Sandbox& sandbox) {
    if (!fileName_.empty()) {
        STROMBEL_LOG_WARN("track already loaded something, can't prepare again");
        return false;
    }
    std::filesystem::path path = sandbox.absolutePath(relativePath);
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(path, ignored)) {
        STROMBEL_LOG_ERROR("cant load file, not found: {}", path.string());
        return false;
    }
    fileName_ = path.string();
    relativeFileName_ = relativePath;
    const platform::Result<platform::AudioFileInfo> read = platform::readAudioFileInfo(path);
    if (!read) {
        STROMBEL_LOG_ERROR("Error: can't open sound file with url '{}', error: {}", fileName_, read.error().message());
        return false;
    }
    const platform::AudioFileInfo& info = read.value();
    if (info.channels < 1 || info.channels > 2) {
        STROMBEL_LOG_ERROR("Error while loading file: format not supported - wrong number of channels. file: {}",
                           fileName_);
        return false;
    }
    preparedStamp_ = stampOf(fileName_);
    numFramesInFile_ = info.frames;
    fileSampleRate_ = info.sampleRate;
    numChannels_ = info.channels;
    setCurrentState(TrackState::Ready);
    return true;
}

bool Track::preloadForPlayback() { return preloadFrames().valueOr(false); }

platform::Result<bool> Track::preloadFrames() {
    if (currentState() == TrackState::Unprepared) return false;
    std::lock_guard loading(loadMutex_);
    if (loadState_.load() == TrackLoadState::Loaded) return true;
    const FileStamp stamp = stampOf(fileName_);
    if (failedStamp_ && *failedStamp_ == stamp && clock_.nowNanos() - loadFailedAt_.load() < kLoadRetryInterval) {
        loadState_.store(TrackLoadState::Failed);  // the same file failed a moment ago
        return false;
    }
    loadState_.store(TrackLoadState::Loading);
    platform::Result<platform::DecodedAudio> read = platform::decodeAudioFile(fileName_, sampleRate_);
    if (!read) {
        const std::string why = read.error().message();
        STROMBEL_LOG_ERROR("error reading frames from file {}, error: {}", fileName_, why);
        failedStamp_ = stamp;
        loadFailedAt_.store(clock_.nowNanos());
        loadState_.store(TrackLoadState::Failed);
        return platform::Error::make(kTrackErrorDomain, 1, why);
    }
    auto decoded = std::make_shared<platform::DecodedAudio>(std::move(read).value());
    failedStamp_.reset();
    STROMBEL_LOG_DEBUG("preloading {} frames from {}", decoded->frames(),
                       std::filesystem::path(fileName_).filename().string());
    numFramesInCache_.store(decoded->frames());
    decodedStamp_ = stamp;
    // A request made before the frames were known is measured again by startPlayback.
    frameCache_.publish(std::make_shared<const Frames>(std::move(decoded)));
    loadState_.store(TrackLoadState::Loaded);
    return true;
}

Track::FileStamp Track::stampOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return {};
    return {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino), static_cast<int64_t>(info.st_size),
            info.st_mtim.tv_sec * 1'000'000'000LL + info.st_mtim.tv_nsec,
            info.st_ctim.tv_sec * 1'000'000'000LL + info.st_ctim.tv_nsec};
}

bool Track::adoptFramesOf(Track& previous, bool renamed) {
    if (&previous == this || previous.sampleRate_ != sampleRate_ || preparedStamp_.size < 0) return false;
    // A load or sweep of the old track under way: this one loads its own frames.
    std::unique_lock loading(previous.loadMutex_, std::try_to_lock);
    if (!loading.owns_lock() || previous.loadState_.load() != TrackLoadState::Loaded) return false;
    FileStamp decoded = previous.decodedStamp_;
    if (renamed) decoded.changed = preparedStamp_.changed;
    if (!(decoded == preparedStamp_)) return false;
    Frames frames = *previous.frameCache_.current();
    if (!frames) return false;
    numFramesInCache_.store(frames->frames());
    decodedStamp_ = preparedStamp_;
    frameCache_.publish(std::make_shared<const Frames>(std::move(frames)));
    loadState_.store(TrackLoadState::Loaded);
    lastPlayedNanos_.store(previous.lastPlayedNanos_.load());
    return true;
}

std::shared_ptr<const platform::DecodedAudio> Track::cachedAudio() {
    if (loadState_.load() != TrackLoadState::Loaded) preloadForPlayback();
    return *frameCache_.read();
}

bool Track::markLoadRequested() {
    // Loaded is the usual answer: a plain load costs less than a failed exchange.
    if (loadState_.load(std::memory_order_relaxed) != TrackLoadState::NotLoaded) return false;
    TrackLoadState expected = TrackLoadState::NotLoaded;
    return loadState_.compare_exchange_strong(expected, TrackLoadState::Requested);
}

bool Track::markLoadRetry() {
    if (loadState_.load(std::memory_order_relaxed) != TrackLoadState::Failed) return false;
    TrackLoadState expected = TrackLoadState::Failed;
    return loadState_.compare_exchange_strong(expected, TrackLoadState::Requested);
}

void Track::unmarkLoadRequested() {
    TrackLoadState expected = TrackLoadState::Requested;
    loadState_.compare_exchange_strong(expected, TrackLoadState::NotLoaded);
}

void Track::playFromStartAt(uint64_t hostTimeNanos, float velocity) { playFromPoint(0.0, 1.0, hostTimeNanos, velocity); }

void Track::playFromPoint(double from, double to, uint64_t atTime, float velocity) {
    if (!(velocity == velocity)) velocity = 1.0f;
    nextPlaybackVelocity_ = std::clamp(velocity, 0.0f, 2.0f);
    if (!(from == from)) from = 0.0;
    if (!(to == to)) to = 1.0;
    requestFrom_ = std::clamp(from, 0.0, 1.0);
    requestTo_ = std::clamp(to, requestFrom_, 1.0);
    startHostTimeNanos_ = atTime;
    stopHostTimeNanos_ = 0;
    uint32_t total = playbackFrames_ ? playbackFrames_->frames() : numFramesInCache_.load();
    if (total == 0 && fileSampleRate_ > 0)
        total = static_cast<uint32_t>(std::min<double>(numFramesInFile_ * sampleRate_ / fileSampleRate_, UINT32_MAX));
    startFrameIdx_ = static_cast<uint32_t>(requestFrom_ * total);
    stopFrameIdx_ = static_cast<uint32_t>(requestTo_ * total);
    TrackState state = currentState();
    if (state == TrackState::RetriggerPending) {
        STROMBEL_RT_LOG_ERROR("Track was already waiting for retrigger! First trigger will not play!!!");
    } else if (state == TrackState::Playing) {
        setCurrentState(TrackState::RetriggerPending);
    } else {
        setCurrentState(TrackState::StartPending);
        begun_ = false;
    }
}

void Track::startPlayback() {
    setCurrentState(TrackState::Playing);
    // Measured against the decoded frames, which may differ from the header's claim.
    if (!playbackFrames_) playbackFrames_ = *frameCache_.read();
    const uint32_t total = playbackFrames_ ? playbackFrames_->frames() : 0;
    if (total > 0) {
        startFrameIdx_ = static_cast<uint32_t>(requestFrom_ * total);
        stopFrameIdx_ = static_cast<uint32_t>(requestTo_ * total);
    }
    currentFrameIdx_ = startFrameIdx_;
    begun_ = true;
    currentVelocity_ = nextPlaybackVelocity_;
    lastPlayedNanos_.store(clock_.nowNanos());
}

void Track::waitForRetrigger() {
    setCurrentState(TrackState::StartPending);
    begun_ = false;  // the old playback ran out
}

void Track::stopPlayingAt(uint64_t hostTimeNanos) {
    TrackState state = currentState();
    if (state == TrackState::StartPending || state == TrackState::Playing || state == TrackState::RetriggerPending) {
        stopHostTimeNanos_ = hostTimeNanos;
        setCurrentState(TrackState::StopPending);
    }
}

void Track::cleanAfterPlayback() {
    setCurrentState(TrackState::Ready);
    begun_ = false;
    currentVelocity_ = 1.0f;
}

uint32_t Track::allocAndLoadNextFramesInto(TrackFrames& frames, uint32_t numFrames) {
    if (numFrames == 0) return 0;  // the out-list stays as it was
    frames.count = 0;
    if (!playbackFrames_) playbackFrames_ = *frameCache_.read();
    const platform::DecodedAudio* cache = playbackFrames_.get();
    if (!cache) {
        frames.status = loadState_.load() == TrackLoadState::Failed ? TrackFrames::Status::Unavailable
                                                                    : TrackFrames::Status::NotLoaded;
        return 0;
    }
    uint32_t stop = std::min(stopFrameIdx_, cache->frames());
    uint32_t available = stop > currentFrameIdx_ ? stop - currentFrameIdx_ : 0;
    uint32_t count = std::min(numFrames, available);
    if (count == 0) {
        frames.status = TrackFrames::Status::Ended;
        return 0;
    }
    frames.numChannels = cache->numChannels;
    for (uint32_t c = 0; c < cache->numChannels; ++c) frames.channels[c] = cache->channels[c].data() + currentFrameIdx_;
    frames.count = count;
    frames.status = TrackFrames::Status::Frames;
    currentFrameIdx_ += count;
    return count;
}

void Track::releaseFrames(TrackFrames& frames) {
    frames.channels[0] = frames.channels[1] = nullptr;
    frames.count = 0;
}

bool Track::clearUnusedCacheIfNotUsedSince(uint64_t monotonicNanos) {
    std::lock_guard loading(loadMutex_);
    if (currentState() != TrackState::Ready || lastPlayedNanos_.load() >= monotonicNanos ||
        loadState_.load() != TrackLoadState::Loaded)
        return false;
    STROMBEL_LOG_DEBUG("clean cache: {}", baseName(fileName_));
    numFramesInCache_.store(0);
    loadState_.store(TrackLoadState::NotLoaded);
    // Freed here once no hand-out looks at it; a playback that picked it up keeps it.
    frameCache_.publish(std::make_shared<const Frames>());
    return true;
}

}  // namespace strombel::engine
