#include "engine/track.h"

#include <sndfile.h>

#include "engine_test_support.h"
#include "logging/log.h"
#include "logging/log_core.h"
#include "support/recording_logger.h"

namespace strombel::engine::testing {
namespace {

class TrackTest : public ::testing::Test {
protected:
    TrackTest() : sandbox_(temp_ / "root", temp_ / "Tumblecraft.app") { (void)sandbox_.createFolders(); }

    std::unique_ptr<Track> prepared(const std::vector<std::vector<int16_t>>& channels, double rate = 44100.0) {
        writeWave(sandbox_.absolutePath("Documents/s.wav"), channels, rate);
        auto track = std::make_unique<Track>(44100.0, clock_);
        EXPECT_TRUE(track->prepareWithFile("Documents/s.wav", sandbox_));
        return track;
    }

    /// Moves a fresh track into `state` the way the engine would.
    void bringTo(Track& track, TrackState state) {
        switch (state) {
        case TrackState::Unprepared: return;
        case TrackState::Ready: return;
        case TrackState::StartPending: track.playFromStartAt(0, 1.0f); return;
        case TrackState::Playing:
            track.playFromStartAt(0, 1.0f);
            track.startPlayback();
            return;
        case TrackState::RetriggerPending:
            bringTo(track, TrackState::Playing);
            track.playFromStartAt(0, 1.0f);
            return;
        case TrackState::StopPending:
            bringTo(track, TrackState::Playing);
            track.stopPlayingAt(77);
            return;
        }
    }

    strombel::testing::TempDir temp_;
    platform::Sandbox sandbox_;
    platform::ManualClock clock_;
};

struct Transition {
    TrackState from;
    const char* request;
    TrackState to;
};

TEST_F(TrackTest, RequestsMoveThroughTheStateTable) {
    const Transition table[] = {
        {TrackState::Ready, "play", TrackState::StartPending},
        {TrackState::StartPending, "play", TrackState::StartPending},
        {TrackState::Playing, "play", TrackState::RetriggerPending},
        {TrackState::RetriggerPending, "play", TrackState::RetriggerPending},
        {TrackState::StopPending, "play", TrackState::StartPending},
        {TrackState::Ready, "stop", TrackState::Ready},
        {TrackState::StartPending, "stop", TrackState::StopPending},
        {TrackState::Playing, "stop", TrackState::StopPending},
        {TrackState::RetriggerPending, "stop", TrackState::StopPending},
        {TrackState::StopPending, "stop", TrackState::StopPending},
        {TrackState::StartPending, "begin", TrackState::Playing},
        {TrackState::RetriggerPending, "begin", TrackState::Playing},
        {TrackState::RetriggerPending, "wait", TrackState::StartPending},
        {TrackState::Playing, "clean", TrackState::Ready},
        {TrackState::StopPending, "clean", TrackState::Ready},
    };
    for (const Transition& row : table) {
        auto track = prepared(constantMono(100, 1));
        bringTo(*track, row.from);
        ASSERT_EQ(track->currentState(), row.from);
        std::string request = row.request;
        if (request == "play") track->playFromStartAt(5, 1.0f);
        if (request == "stop") track->stopPlayingAt(9);
        if (request == "begin") track->startPlayback();
        if (request == "wait") track->waitForRetrigger();
        if (request == "clean") track->cleanAfterPlayback();
        EXPECT_EQ(track->currentState(), row.to)
            << static_cast<int>(row.from) << " " << request;
    }
}

TEST_F(TrackTest, SecondStopKeepsTheFirstStopTimeAndReadyIgnoresStops) {
    auto track = prepared(constantMono(100, 1));
    track->stopPlayingAt(5);
    EXPECT_EQ(track->stopHostTimeNanos(), 0u);
    bringTo(*track, TrackState::StopPending);
    track->stopPlayingAt(99);
    EXPECT_EQ(track->stopHostTimeNanos(), 77u);
}

TEST_F(TrackTest, StartRequestOnAnUnpreparedTrackStillGoesPending) {
    Track track(44100.0, clock_);
    track.playFromStartAt(0, 1.0f);
    EXPECT_EQ(track.currentState(), TrackState::StartPending);
}

TEST_F(TrackTest, VelocityAndVolumeAreClamped) {
    auto track = prepared(constantMono(100, 1));
    track->playFromStartAt(0, 3.0f);
    EXPECT_FLOAT_EQ(track->nextPlaybackVelocity(), 2.0f);
    track->setVolume(-1.0f);
    EXPECT_FLOAT_EQ(track->volume(), 0.0f);
    track->setVolume(2.0f);
    EXPECT_FLOAT_EQ(track->volume(), 1.5f);
    track->startPlayback();
    EXPECT_FLOAT_EQ(track->playbackVolume(), 3.0f);
    track->cleanAfterPlayback();
    EXPECT_FLOAT_EQ(track->playbackVolume(), 1.5f);
}

TEST_F(TrackTest, HandsOutFramesInSlicesUntilTheEnd) {
    auto track = prepared(rampMono(1000));
    ASSERT_TRUE(track->preloadForPlayback());
    track->playFromStartAt(0, 1.0f);
    track->startPlayback();
    TrackFrames frames;
    frames.count = 7;
    frames.status = TrackFrames::Status::NotLoaded;
    EXPECT_EQ(track->allocAndLoadNextFramesInto(frames, 0), 0u);
    EXPECT_EQ(frames.count, 7u) << "a request for none leaves the out-list as it was";
    EXPECT_EQ(frames.status, TrackFrames::Status::NotLoaded);
    EXPECT_EQ(track->allocAndLoadNextFramesInto(frames, 600), 600u);
    EXPECT_EQ(frames.channels[0][0], 1 * kFixedPer16Bit);
    track->releaseFrames(frames);
    EXPECT_EQ(track->allocAndLoadNextFramesInto(frames, 600), 400u);
    EXPECT_EQ(frames.channels[0][399], 1000 * kFixedPer16Bit);
    track->releaseFrames(frames);
    EXPECT_EQ(track->allocAndLoadNextFramesInto(frames, 600), 0u);
    EXPECT_EQ(frames.status, TrackFrames::Status::Ended);
}

TEST_F(TrackTest, BackwardRangePlaysNothingAndRangesCutTheFile) {
    auto track = prepared(rampMono(1000));
    track->preloadForPlayback();
    track->playFromPoint(0.2, 0.1, 0, 1.0f);
    track->startPlayback();
    TrackFrames frames;
    EXPECT_EQ(track->allocAndLoadNextFramesInto(frames, 10), 0u);
    track->cleanAfterPlayback();
    track->playFromPoint(0.5, 0.6, 0, 1.0f);
    track->startPlayback();
    EXPECT_EQ(track->allocAndLoadNextFramesInto(frames, 1000), 100u);
    EXPECT_EQ(frames.channels[0][0], 501 * kFixedPer16Bit);
    track->releaseFrames(frames);
}

TEST_F(TrackTest, HandOutPicksUpTheLoadedCacheAndNeverReadsTheFile) {
    auto track = prepared(rampMono(1000));
    track->playFromStartAt(0, 1.0f);
    track->startPlayback();
    TrackFrames frames;
    EXPECT_EQ(track->allocAndLoadNextFramesInto(frames, 10), 0u);
    EXPECT_EQ(frames.status, TrackFrames::Status::NotLoaded);  // not cached: the audio thread waits for the loader
    ASSERT_TRUE(track->preloadForPlayback());                 // the engine's preload thread, here in turn
    std::filesystem::remove(sandbox_.absolutePath("Documents/s.wav"));
    ASSERT_EQ(track->allocAndLoadNextFramesInto(frames, 10), 10u);
    EXPECT_EQ(frames.channels[0][0], 1 * kFixedPer16Bit);
    track->releaseFrames(frames);
}

TEST_F(TrackTest, APlaybackKeepsItsFramesWhenTheCacheIsFreedAndTheNextOneLoadsAgain) {
    auto track = prepared(rampMono(1000));
    ASSERT_TRUE(track->preloadForPlayback());
    track->playFromStartAt(0, 1.0f);
    track->startPlayback();
    TrackFrames frames;
    ASSERT_EQ(track->allocAndLoadNextFramesInto(frames, 10), 10u);
    track->releaseFrames(frames);
    track->cleanAfterPlayback();
    ASSERT_TRUE(track->clearUnusedCacheIfNotUsedSince(clock_.nowNanos() + 1));
    EXPECT_EQ(track->numFramesInCache(), 0u);
    // The frames the playback picked up stay with it until the engine takes them
    // away (to free them on the main loop).
    auto held = track->takePlaybackFrames();
    ASSERT_TRUE(held);
    EXPECT_EQ(held->frames(), 1000u);
    track->playFromStartAt(0, 1.0f);
    track->startPlayback();
    EXPECT_EQ(track->allocAndLoadNextFramesInto(frames, 10), 0u);
    EXPECT_EQ(frames.status, TrackFrames::Status::NotLoaded);
}

TEST_F(TrackTest, CacheSurvivesCleaningAndIsFreedOnlyWhenUnusedAndReady) {
    auto track = prepared(rampMono(1000));
    track->preloadForPlayback();
    track->playFromStartAt(0, 1.0f);
    track->startPlayback();  // dated now
    track->clearUnusedCacheIfNotUsedSince(clock_.nowNanos() + 1);
    EXPECT_EQ(track->numFramesInCache(), 1000u);  // playing: untouched
    track->cleanAfterPlayback();
    EXPECT_EQ(track->numFramesInCache(), 1000u);
    track->clearUnusedCacheIfNotUsedSince(clock_.nowNanos());  // played at that very time
    EXPECT_EQ(track->numFramesInCache(), 1000u);
    track->clearUnusedCacheIfNotUsedSince(clock_.nowNanos() + 1);
    EXPECT_EQ(track->numFramesInCache(), 0u);
}

// A file of more than two channels is refused when it is prepared, not made
// ready to play nothing: it stays out of the engine's table, so a touch on its
// pad says at once that the track is not ready instead of staying silent at
// every touch.
TEST_F(TrackTest, PreparationRefusesMissingAndMultichannelFilesAndCannotRepeat) {
    Track missing(44100.0, clock_);
    EXPECT_FALSE(missing.prepareWithFile("Documents/none.wav", sandbox_));
    EXPECT_EQ(missing.currentState(), TrackState::Unprepared);

    std::filesystem::path path = sandbox_.absolutePath("Documents/quad.wav");
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 4;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    std::vector<short> zeros(400, 0);
    sf_writef_short(file, zeros.data(), 100);
    sf_close(file);
    Track quad(44100.0, clock_);
    EXPECT_FALSE(quad.prepareWithFile("Documents/quad.wav", sandbox_));

    auto track = prepared(constantMono(10, 1));
    EXPECT_FALSE(track->prepareWithFile("Documents/s.wav", sandbox_));
}

TEST_F(TrackTest, BundlePathsResolveToTheBundle) {
    writeWave(sandbox_.bundle() / "click.wav", constantMono(10, 1));
    Track track(44100.0, clock_);
    EXPECT_TRUE(track.prepareWithFile("Tumblecraft.app/Sounds/Kit/click.wav", sandbox_));
    EXPECT_EQ(track.fileName(), (sandbox_.bundle() / "click.wav").string());
}

TEST_F(TrackTest, CacheIsSizedFromTheDecodedDataNotTheHeader) {
    auto track = prepared(rampMono(1000));
    // Cut the file short: the header still claims 1000 frames.
    std::filesystem::path path = sandbox_.absolutePath("Documents/s.wav");
    std::filesystem::resize_file(path, std::filesystem::file_size(path) - 1200);
    ASSERT_TRUE(track->preloadForPlayback());
    EXPECT_EQ(track->numFramesInCache(), 400u);
    track->playFromStartAt(0, 1.0f);
    track->startPlayback();
    TrackFrames frames;
    EXPECT_EQ(track->allocAndLoadNextFramesInto(frames, 1000), 400u);
    track->releaseFrames(frames);
}

TEST_F(TrackTest, PreloadingAndFreeingTheCacheNameTheFile) {
    auto track = prepared(rampMono(1000));
    auto logger = std::make_shared<logging::testing::RecordingLogger>();
    logging::Log::addLogger(logger);
    logging::setLogLevel(logging::LogFlagDebug);
    ASSERT_TRUE(track->preloadForPlayback());
    track->clearUnusedCacheIfNotUsedSince(clock_.nowNanos() + 1);
    logging::Log::flushLog();
    const std::vector<std::string> lines = logger->lines();
    logging::testing::resetLogging();
    EXPECT_EQ(lines, (std::vector<std::string>{"preloading 1000 frames from s.wav", "clean cache: s"}));
}

TEST_F(TrackTest, FilesAtOtherRatesAreResampledToTheEngineRate) {
    auto track = prepared(constantMono(22050, 1000), 22050.0);
    ASSERT_TRUE(track->preloadForPlayback());
    EXPECT_NEAR(static_cast<double>(track->numFramesInCache()), 44100.0, 64.0);
}

}  // namespace
}  // namespace strombel::engine::testing
