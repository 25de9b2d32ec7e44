// The render and microphone callbacks under the test build's real-time guard:
// every render of this binary runs marked real-time (the manual device marks
// it), so an allocation, a free, a lock, a wait, a sleep or a write there aborts
// the test with a stack trace. These tests drive the engine through everything
// a player does while it renders.

#include <sndfile.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

#include <unistd.h>

#include "engine_test_support.h"
#include "logging/log_core.h"
#include "platform/realtime.h"
#include "support/realtime_guard.h"
#include "support/recording_logger.h"

namespace strombel::engine::testing {
namespace {

using logging::testing::RecordingLogger;

TEST(RealtimeGuard, AbortsAThreadMarkedRealtimeThatAllocatesLocksSleepsOrWrites) {
    ASSERT_TRUE(strombel::testing::realtimeGuardActive());
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto allocate = [] {
        platform::RealtimeScope realtime;
        std::vector<int> grows;
        grows.push_back(1);
    };
    EXPECT_DEATH(allocate(), "real-time guard: .*malloc");
    if (strombel::testing::realtimeGuardWatchesSystemCalls()) {
        std::mutex mutex;
        auto lock = [&mutex] {
            platform::RealtimeScope realtime;
            std::lock_guard held(mutex);
        };
        EXPECT_DEATH(lock(), "real-time guard: .*pthread_mutex_lock");
        auto sleep = [] {
            platform::RealtimeScope realtime;
            std::this_thread::sleep_for(std::chrono::microseconds(1));
        };
        EXPECT_DEATH(sleep(), "real-time guard: .*nanosleep");
        auto write = [] {
            platform::RealtimeScope realtime;
            [[maybe_unused]] const ssize_t written = ::write(2, "x", 1);
        };
        EXPECT_DEATH(write(), "real-time guard: .*write");
    }
    // Unmarked, the same is allowed; the mark lifts for a planned wait.
    std::vector<int> fine(3);
    platform::RealtimeScope realtime;
    {
        platform::RealtimeScopeExit sleeping;
        std::this_thread::sleep_for(std::chrono::microseconds(1));
    }
    EXPECT_TRUE(platform::isRealtimeThread());
}

class RealtimeGuardTest : public EngineTest {
protected:
    void SetUp() override {
        logging::setLogLevel(logging::LogFlagError | logging::LogFlagWarning);
        logging::Log::addLogger(logger_);
    }
    void TearDown() override {
        logging::Log::removeAllLoggers();
        logging::Log::flushLog();
        logging::setLogLevel(0);
    }
    bool logged(const std::string& text) {
        logging::Log::flushLog();
        for (const std::string& line : logger_->lines())
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
    std::shared_ptr<RecordingLogger> logger_ = std::make_shared<RecordingLogger>();
};

TEST_F(RealtimeGuardTest, CallbacksStayRealtimeThroughEverythingAPlayerDoes) {
    std::vector<std::string> paths;
    for (int i = 0; i < 12; ++i) {
        std::vector<int16_t> left(3000 + i * 300, static_cast<int16_t>(800 + i)), right(left.size(), 700);
        paths.push_back(i % 2 ? addSample("s" + std::to_string(i), {left, right})
                              : addSample("s" + std::to_string(i), rampMono(3000 + i * 300)));
    }
    setBank(0, {paths.begin(), paths.begin() + 6});
    setBank(1, {paths.begin() + 6, paths.end()});
    SoundBox& box = makeEngine();
    box.currentSoundbankChanged(0);
    // Every effect at work on the pad-started tracks.
    box.setCrushAmount(0.5f);
    box.setCutOffAmount(0.5f);
    box.setPhaseAmount(0.5f);
    box.setDelayIntensity(0.6f);
    box.setDelayTime(0.3f);
    box.setReverbAmount(0.6f);
    box.setPitchAmount(0.7f);
    box.setHoldTapPadTracks(true);
    ASSERT_TRUE(box.startSampleRecord().path.has_value());
    const std::vector<int32_t> microphone(256, 1000 * kFixedPer16Bit);

    bool heard = false;
    for (int round = 0; round < 24; ++round) {
        // Timed requests come ahead of time, as the sequencer's do.
        const uint64_t next = device_->nextHostTime() + 20'000'000;
        for (size_t i = 0; i < paths.size(); ++i) {
            if (i % 3 == 0) box.startTrack(paths[i], 0, true, false, false, 1.0f);  // a tap, a retrigger when it plays
            if (i % 3 == 1) box.startTrackFromSequencer(paths[i], next + i * 300'000);
            if (i % 3 == 2) box.startTrack(paths[i], 0.25, 0.75);  // the editor's range
        }
        // Two retriggers of a playing track in one buffer: the first is lost, and the
        // engine says so from the audio thread.
        box.startTrack(paths[0], next + 4'000'000, false, false, false, 1.0f);
        box.startTrack(paths[0], next + 5'000'000, false, false, false, 1.0f);
        box.stopTrackFromSequencer(paths[4], next + 2'000'000);
        box.stopTrack(paths[3], next + 3'000'000);
        switch (round % 6) {
        case 0: box.currentSoundbankChanged(1); break;
        case 1: box.currentSoundbankChanged(0); break;
        case 2: box.toggleSoloForTrack(paths[0]); break;
        case 3: box.toggleSoloForTrack(paths[0]); break;
        case 4: box.loadTrackForFile(paths[3]); break;  // replaces a track that may sound
        case 5: box.reloadTracks(); break;               // replaces them all
        }
        if (round == 12) device_->postEvent({platform::AudioDeviceEvent::Type::RouteChanged, 2, {}});  // echo cleared
        for (int b = 0; b < 6; ++b) {
            device_->deliverInput(microphone);
            render();
            heard = heard || firstNonZero(device_->left()) < device_->left().size();
        }
        if (round % 4 == 3) box.stopAllTracks();
        pump();  // events reach the main loop, which frees what the audio thread let go of
    }
    box.stopSampleRecord();
    EXPECT_TRUE(heard);
    pump();
    const SoundBox::Counters counters = box.counters();
    EXPECT_EQ(counters.skippedBlocks, 0u) << "every sample was in memory when it sounded";
    EXPECT_EQ(counters.commandOverruns, 0u);
    EXPECT_EQ(counters.eventOverruns, 0u);
    EXPECT_EQ(counters.recordingOverruns, 0u);
    EXPECT_TRUE(logged("Track was already waiting for retrigger! First trigger will not play!!!"))
        << "an error of the audio thread still reaches the loggers";
}

TEST_F(RealtimeGuardTest, AReplacedTrackThatStillSoundsIsFreedOnTheMainLoop) {
    const std::string kick = addSample("kick", constantMono(2000, 1000));
    SoundBox& box = makeEngine();
    std::weak_ptr<Track> old = box.trackForFile(kick);
    ASSERT_TRUE(box.startTrack(kick, 0, false, false, false, 1.0f));
    render();
    ASSERT_TRUE(box.loadTrackForFile(kick));
    EXPECT_FALSE(old.expired()) << "the audio thread still plays it";
    EXPECT_NE(box.trackForFile(kick), old.lock());
    renderFrames(4096);  // it plays to its end: the guard aborts should it be freed here
    EXPECT_FALSE(old.expired()) << "handed back to the main loop, not freed on the audio thread";
    pump();
    EXPECT_TRUE(old.expired());
}

TEST_F(RealtimeGuardTest, CountersAreLoggedOnceWhenTheyChange) {
    addSample("kick", constantMono(100, 1000));
    SoundBox& box = makeEngine();
    device_->reportXrun();
    device_->reportXrun();
    render();
    pump();
    EXPECT_EQ(box.counters().deviceXruns, 2u);
    EXPECT_TRUE(logged("the audio device reported 2 under- or overruns (2 in all)"));
    const size_t lines = logger_->lines().size();
    render();
    pump();
    logging::Log::flushLog();
    EXPECT_EQ(logger_->lines().size(), lines) << "nothing changed, nothing told";
    device_->reportXrun();
    render();
    pump();
    // Within a second of the last line: told when the second is up.
    EXPECT_FALSE(logged("(3 in all)"));
    loop_.advance(SoundBox::kCounterLogInterval);
    EXPECT_TRUE(logged("the audio device reported 1 under- or overruns (3 in all)"));
}

TEST_F(RealtimeGuardTest, AFloodOfMishapsIsToldAtMostOnceASecondWithItsCount) {
    addSample("kick", constantMono(100, 1000));
    makeEngine();
    const auto told = [this] {
        logging::Log::flushLog();
        const auto lines = logger_->lines();
        return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
            return line.find("under- or overruns") != std::string::npos;
        });
    };
    // A mishap in each of 168 blocks, 5 ms apart: 0.84 s of them.
    for (int block = 0; block < 168; ++block) {
        device_->reportXrun();
        render();
        pump();
    }
    EXPECT_EQ(told(), 1) << "the first at once, the rest held back";
    EXPECT_TRUE(logged("the audio device reported 1 under- or overruns (1 in all)"));
    loop_.advance(SoundBox::kCounterLogInterval);
    EXPECT_EQ(told(), 2);
    EXPECT_TRUE(logged("the audio device reported 167 under- or overruns (168 in all)"));
    loop_.advance(10 * SoundBox::kCounterLogInterval);
    EXPECT_EQ(told(), 2) << "nothing new, nothing told";
}

// The sequencer's timing thread is marked real-time: refusing a path it does not
// know, and saying which request it was, allocates and waits for nothing.
TEST_F(RealtimeGuardTest, TheSequencersRequestsForAnUnknownPathAreRefusedAndToldByName) {
    addSample("kick", constantMono(100, 1000));
    SoundBox& box = makeEngine();
    const std::string missing = "Documents/none.wav";
    struct Request {
        bool (SoundBox::*send)(const std::string&, uint64_t);
        const char* line;
    };
    for (const Request& request : {Request{&SoundBox::startTrackFromSequencer, "can't play track, not in tracklist: "},
                                   Request{&SoundBox::stopTrackFromSequencer, "can't stop track, not in tracklist: "}}) {
        const uint64_t at = device_->nextHostTime();
        bool sent = true;
        {
            platform::RealtimeScope realtime;
            sent = (box.*request.send)(missing, at);
        }
        EXPECT_FALSE(sent);
        EXPECT_TRUE(logged(request.line + missing)) << request.line;
    }
}

}  // namespace
}  // namespace strombel::engine::testing
