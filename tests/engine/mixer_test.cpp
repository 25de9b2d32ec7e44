// The mixer driven block by block on its own: no device, no engine around it.

#include "engine/mixer.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "engine_test_support.h"
#include "platform/realtime.h"

namespace strombel::engine::testing {
namespace {

constexpr double kMixRate = 44100.0;
constexpr uint32_t kMixBlock = 256;
constexpr uint64_t kMixNow = 1'000'000'000;
constexpr int16_t kMixLevel = 1000;

uint64_t mixFramesToNanos(uint32_t frames) {
    return static_cast<uint64_t>(static_cast<double>(frames) * 1e9 / kMixRate);
}

class MixerTest : public EngineTest {
protected:
    MixerTest() : mixer_(kMixRate, [this](const std::shared_ptr<Track>& track) { loadsAsked_.push_back(track); }) {
        loadsAsked_.reserve(4);  // the render asks on the audio thread, which must not allocate
    }

    /// A track of `frames` frames at kMixLevel, its frames in memory.
    std::shared_ptr<Track> loadedTrack(size_t frames, bool load = true) {
        const std::string path = "Documents/tone.wav";
        writeWave(sandbox_.absolutePath(path), constantMono(frames, kMixLevel));
        auto track = std::make_shared<Track>(kMixRate, clock_);
        EXPECT_TRUE(track->prepareWithFile(path, sandbox_));
        if (load) {
            EXPECT_TRUE(track->preloadForPlayback());
        }
        return track;
    }

    bool send(Mixer::Command::Type type, Track* track, uint64_t time) {
        return mixer_.send([&](Mixer::Command& command) {
            command.type = type;
            command.track = track;
            command.time = time;
        });
    }

    /// Renders one block at `time` as the audio thread would, under the real-time guard.
    void render(uint64_t time) {
        left_.assign(kMixBlock, -1);
        right_.assign(kMixBlock, -1);
        platform::RealtimeScope realtime;
        mixer_.render(kMixBlock, time, left_.data(), right_.data());
    }

    std::vector<Mixer::Event::Type> events() {
        std::vector<Mixer::Event::Type> told;
        mixer_.drainEvents([&](Mixer::Event& event) {
            if (event.type != Mixer::Event::Type::Release) told.push_back(event.type);
        });
        return told;
    }

    Mixer mixer_;
    std::vector<std::shared_ptr<Track>> loadsAsked_;
    std::vector<int32_t> left_, right_;
};

TEST_F(MixerTest, AStartLandsOnItsFrameAtTheMixVolume) {
    struct Case {
        uint32_t offset;
        float volume;
    };
    for (const Case c : {Case{0, 1.0f}, Case{1, 0.5f}, Case{100, 1.0f}, Case{kMixBlock - 1, 0.25f}}) {
        SCOPED_TRACE(c.offset);
        auto track = loadedTrack(4 * kMixBlock);
        mixer_.settings().volume.store(c.volume);
        ASSERT_TRUE(send(Mixer::Command::Type::start, track.get(), kMixNow + mixFramesToNanos(c.offset)));
        render(kMixNow);
        const int32_t expected = static_cast<int32_t>(c.volume * kMixLevel * kFixedPer16Bit);
        EXPECT_EQ(firstNonZero(left_), c.offset);
        EXPECT_EQ(left_[kMixBlock - 1], expected);
        EXPECT_EQ(right_[kMixBlock - 1], expected);
        EXPECT_EQ(mixer_.peakLeft(), static_cast<float>(expected));
        EXPECT_EQ(events(), std::vector{Mixer::Event::Type::Started});
        EXPECT_FALSE(mixer_.isNothingPlaying());
        send(Mixer::Command::Type::stopAll, nullptr, 0);
        render(kMixNow + mixFramesToNanos(kMixBlock));
        events();
    }
}

TEST_F(MixerTest, AStopEndsATrackOnItsFrameAndATrackThatRunsOutFinishes) {
    struct Case {
        const char* name;
        size_t trackFrames;
        std::optional<uint32_t> stopAt;  // frame of the second block
        uint32_t silentFrom;             // first silent frame of the second block
        Mixer::Event::Type told;
    };
    for (const Case c : {Case{"stopped", 8 * kMixBlock, 40, 40, Mixer::Event::Type::Stopped},
                         Case{"stopped at once", 8 * kMixBlock, 0, 0, Mixer::Event::Type::Stopped},
                         Case{"runs out", kMixBlock + 10, std::nullopt, 10, Mixer::Event::Type::Finished}}) {
        SCOPED_TRACE(c.name);
        auto track = loadedTrack(c.trackFrames);
        ASSERT_TRUE(send(Mixer::Command::Type::start, track.get(), 0));
        render(kMixNow);
        ASSERT_EQ(events(), std::vector{Mixer::Event::Type::Started});
        const uint64_t second = kMixNow + mixFramesToNanos(kMixBlock);
        if (c.stopAt) {
            ASSERT_TRUE(send(Mixer::Command::Type::stop, track.get(), second + mixFramesToNanos(*c.stopAt)));
        }
        render(second);
        EXPECT_EQ(firstNonZero(left_), c.silentFrom == 0 ? kMixBlock : 0u);
        for (uint32_t k = c.silentFrom; k < kMixBlock; ++k) ASSERT_EQ(left_[k], 0) << k;
        EXPECT_EQ(events(), std::vector{c.told});
        EXPECT_TRUE(mixer_.isNothingPlaying());
        EXPECT_TRUE(mixer_.rests());
        EXPECT_EQ(track->currentState(), TrackState::Ready);
    }
}

TEST_F(MixerTest, ATrackWithoutItsFramesAsksForThemAndCountsTheBlockSkipped) {
    auto track = loadedTrack(4 * kMixBlock, false);
    ASSERT_TRUE(send(Mixer::Command::Type::start, track.get(), 0));
    render(kMixNow);
    EXPECT_EQ(firstNonZero(left_), kMixBlock);
    EXPECT_EQ(mixer_.skippedBlocks(), 1u);
    ASSERT_EQ(loadsAsked_.size(), 1u);
    EXPECT_EQ(loadsAsked_[0], track);
    EXPECT_EQ(events(), std::vector{Mixer::Event::Type::Started});
}

TEST_F(MixerTest, AFullCommandQueueCountsAnOverrunUntilABlockTakesItsRequests) {
    size_t taken = 0;
    {
        platform::RealtimeScope realtime;  // a real-time sender never waits for room
        while (taken <= Mixer::kCommandCapacity && send(Mixer::Command::Type::clearEcho, nullptr, 0)) ++taken;
    }
    EXPECT_EQ(taken, Mixer::kCommandCapacity);
    EXPECT_EQ(mixer_.commandOverruns(), 1u);
    EXPECT_FALSE(mixer_.isNothingPlaying());  // requests still on their way
    render(kMixNow);
    EXPECT_EQ(mixer_.commandsTaken(), mixer_.commandsClaimed());
    EXPECT_TRUE(send(Mixer::Command::Type::clearEcho, nullptr, 0));
    EXPECT_EQ(mixer_.commandOverruns(), 1u);
}

}  // namespace
}  // namespace strombel::engine::testing
