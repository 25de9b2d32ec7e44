#include <gtest/gtest.h>

#include "sequencer/sequencer.h"
#include "support/sequencer_fakes.h"

namespace strombel::sequencer {
namespace {

using testing::addEvents;
using testing::kHat;
using testing::kKick;
using testing::ManualBench;
using testing::MemoryPatternStore;
using testing::RecordingEngine;

// An outside clock at 120 BPM: 24 ticks a quarter note, one every 20.833 ms.
constexpr uint64_t kTick = 20'833'333;

MemoryPatternStore::Contents everyStep(const std::string& path) {
    MemoryPatternStore::Contents contents;
    std::vector<uint64_t> steps;
    for (uint64_t step = 0; step < 16; ++step) {
        steps.push_back(step);
    }
    addEvents(contents, 0, path, steps);
    return contents;
}

void tick(ManualBench& bench, int count = 1) {
    for (int i = 0; i < count; ++i) {
        bench.clock.advance(kTick);
        bench.sequencer.midiClockTickReceived();
    }
    bench.mainLoop.runPending();
}

TEST(MidiClockIn, StartPlaysStepZeroAtOnceAndTicksDriveTheSteps) {
    ManualBench bench(everyStep(kKick));
    bench.sequencer.midiClockStartReceived();
    EXPECT_EQ(bench.sequencer.currentState(), Sequencer::kStateMidiClock);
    EXPECT_EQ(bench.delegate.count("started"), 1u);
    auto starts = bench.engine.calls(RecordingEngine::Kind::start);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].time, 0u) << "step 0 due at once";

    tick(bench);  // tick 0: step 0 begins
    EXPECT_EQ(bench.sequencer.currentStep(), 0);
    const uint64_t stepStart = bench.clock.nowNanos();
    tick(bench, 5);  // tick 5 schedules step 1 one tick ahead
    starts = bench.engine.calls(RecordingEngine::Kind::start);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[1].time, stepStart + 6 * kTick);
    tick(bench);
    EXPECT_EQ(bench.sequencer.currentStep(), 1);
    tick(bench, 6 * 3);
    EXPECT_EQ(bench.sequencer.currentStep(), 4);
    const std::vector<std::pair<int32_t, int32_t>> bars{{1, 1}, {1, 2}};
    EXPECT_EQ(bench.delegate.bars, bars);
}

TEST(MidiClockIn, SwingDelaysTheOddStepsUnderAnOutsideClock) {
    ManualBench bench(everyStep(kKick));
    bench.sequencer.setSwing(0.5f);
    bench.sequencer.midiClockStartReceived();
    tick(bench);
    const uint64_t stepStart = bench.clock.nowNanos();
    tick(bench, 5);
    const auto starts = bench.engine.calls(RecordingEngine::Kind::start);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_NEAR(static_cast<double>(starts[1].time - stepStart), 1.2 * 6 * kTick, 10.0);  // the stored swing is a float
}

TEST(MidiClockIn, TickNinetySixWrapsToStepZeroOfAOneBarPattern) {
    ManualBench bench(everyStep(kHat));
    bench.sequencer.midiClockStartReceived();
    tick(bench, 96);  // ticks 0 ... 95
    EXPECT_EQ(bench.sequencer.currentStep(), 15);
    tick(bench);  // tick 96 is tick 0 again
    EXPECT_EQ(bench.sequencer.currentStep(), 0);
    EXPECT_EQ(bench.delegate.bars.back(), (std::pair<int32_t, int32_t>{1, 1}));
    // Step 0 of the second round was queued at tick 95, one tick ahead.
    const auto starts = bench.engine.calls(RecordingEngine::Kind::start);
    ASSERT_EQ(starts.size(), 17u);
    EXPECT_EQ(starts[16].time, bench.clock.nowNanos());
}

TEST(MidiClockIn, SongPositionAndContinueResumeWithAValidTimeBase) {
    ManualBench bench(everyStep(kHat));
    bench.sequencer.midiClockSongPosition(20);  // 20 sixteenths: tick 24, step 4 of a one-bar pattern
    EXPECT_EQ(bench.sequencer.currentStep(), 4);
    bench.sequencer.midiClockContinueReceived();
    EXPECT_EQ(bench.sequencer.currentState(), Sequencer::kStateMidiClock);
    auto starts = bench.engine.calls(RecordingEngine::Kind::start);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].time, 0u) << "step 4 at once";

    tick(bench, 5);  // ticks 25 ... 29: the last one queues step 5
    starts = bench.engine.calls(RecordingEngine::Kind::start);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[1].time, bench.clock.nowNanos() + kTick) << "one tick ahead, not far in the future";
    tick(bench);
    EXPECT_EQ(bench.sequencer.currentStep(), 5);
}

TEST(MidiClockIn, SongPositionActsOnlyWhileStoppedAndTicksOnlyWhileFollowing) {
    ManualBench bench(everyStep(kHat));
    tick(bench, 12);
    EXPECT_TRUE(bench.engine.calls().empty()) << "ticks while stopped do nothing";
    bench.sequencer.midiClockStartReceived();
    tick(bench, 7);
    bench.sequencer.midiClockSongPosition(12);
    EXPECT_EQ(bench.sequencer.currentStep(), 1);
    bench.sequencer.midiClockContinueReceived();  // ignored while running
    EXPECT_EQ(bench.delegate.count("started"), 1u);
}

TEST(MidiClockIn, ClockStopStopsEverySequencedTrack) {
    ManualBench bench(everyStep(kHat));
    bench.sequencer.midiClockStartReceived();
    tick(bench, 10);
    bench.sequencer.midiClockStopReceived();
    EXPECT_FALSE(bench.sequencer.isRunning());
    EXPECT_EQ(bench.engine.stopAllCalls, std::vector<bool>{false});
    EXPECT_EQ(bench.delegate.count("stopped"), 1u);
    const size_t calls = bench.engine.calls().size();
    tick(bench, 12);
    EXPECT_EQ(bench.engine.calls().size(), calls) << "ticks after the stop are ignored";
    bench.sequencer.midiClockStopReceived();
    EXPECT_EQ(bench.delegate.count("stopped"), 1u);
}

TEST(MidiClockIn, OwnStopWhileFollowingSendsNoClockStop) {
    ManualBench bench(everyStep(kHat));
    bench.sequencer.midiClockStartReceived();
    tick(bench, 3);
    bench.sequencer.stop();
    EXPECT_EQ(bench.sequencer.currentState(), Sequencer::kStateStopped);
    std::lock_guard lock(bench.midiOut.mutex);
    EXPECT_EQ(bench.midiOut.stops, 0);
    EXPECT_EQ(bench.midiOut.starts, 0);
}

TEST(MidiClockIn, ClockStartTakesOverFromTheOwnClock) {
    MemoryPatternStore::Contents contents = everyStep(kKick);
    ManualBench bench(contents);
    bench.sequencer.setBpm(120);
    bench.sequencer.playWithPreBar(false);
    bench.runUntil(bench.clock.nowNanos() + 300'000'000);
    bench.sequencer.midiClockStartReceived();
    const size_t calls = bench.engine.calls().size();
    // The own loop is over: running it by hand schedules nothing more.
    bench.runUntil(bench.clock.nowNanos() + 2 * platform::kNanosPerSecond);
    EXPECT_EQ(bench.engine.calls().size(), calls);
    EXPECT_EQ(bench.sequencer.currentState(), Sequencer::kStateMidiClock);
    tick(bench, 6);
    EXPECT_EQ(bench.engine.calls().size(), calls + 1) << "the outside clock drives the steps now";
}

}  // namespace
}  // namespace strombel::sequencer
