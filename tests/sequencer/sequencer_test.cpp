#include "sequencer/sequencer.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/sequencer_fakes.h"

namespace strombel::sequencer {
namespace {

using testing::addEvents;
using testing::kHat;
using testing::kKick;
using testing::kSnare;
using testing::kStepAt120;
using testing::ManualBench;
using testing::MemoryPatternStore;
using testing::PlayingBench;
using testing::RecordingEngine;

constexpr double kRate = 44100.0;

// The frame of the output at which a start at `time` sounds, for a device that
// started at `deviceStart`.
int64_t frameOf(uint64_t time, uint64_t deviceStart) {
    return static_cast<int64_t>(std::floor(static_cast<long double>(time - deviceStart) * kRate / 1e9L));
}

// The exact start of step `k` (counted from the first played step, which is even)
// since the start, in nanoseconds.
long double idealStart(uint64_t k, int32_t bpm, float swing) {
    const long double d = 60.0L / bpm / 4.0L * 1e9L;
    const long double s = swing > 1.0f ? static_cast<long double>(swing) : 1.0L;
    return static_cast<long double>(k / 2) * 2.0L * d + ((k % 2) ? s * d : 0.0L);
}

TEST(SequencerSettings, TempoSwingAndQuantisationKeepToTheirRanges) {
    ManualBench bench;
    Sequencer& sequencer = bench.sequencer;
    struct {
        int32_t set;
        int32_t expected;
    } tempos[] = {{5, 10}, {301, 300}, {10, 10}, {300, 300}, {128, 128}, {-7, 10}};
    for (const auto& tempo : tempos) {
        sequencer.setBpm(tempo.set);
        EXPECT_EQ(sequencer.bpm(), tempo.expected) << tempo.set;
    }
    struct {
        float amount;
        float stored;
        float readBack;
    } swings[] = {{-1.0f, 1.0f, 0.0f}, {2.0f, 1.4f, 1.0f}, {0.5f, 1.2f, 0.5f}, {0.0f, 1.0f, 0.0f}};
    for (const auto& swing : swings) {
        sequencer.setSwing(swing.amount);
        EXPECT_FLOAT_EQ(sequencer.swingFactor(), swing.stored) << swing.amount;
        EXPECT_NEAR(sequencer.swing(), swing.readBack, 1e-6) << swing.amount;
    }
    sequencer.setQuantizationLevel(2);
    EXPECT_EQ(sequencer.quantizationPrecision(), 4);
    sequencer.setQuantizationLevel(5);
    sequencer.setQuantizationLevel(-1);
    EXPECT_EQ(sequencer.quantizationLevel(), 2);
    EXPECT_EQ(sequencer.quantizationPrecision(), 4);
}

TEST(SequencerSettings, StepLengthsFollowTempoAndSwing) {
    EXPECT_DOUBLE_EQ(StepGrid::stepSeconds(120), 0.125);
    EXPECT_NEAR(StepGrid::stepSeconds(120, 1.2f, 0), 0.15, 1e-7);
    EXPECT_NEAR(StepGrid::stepSeconds(120, 1.2f, 1), 0.10, 1e-7);
    EXPECT_NEAR(StepGrid::stepSeconds(120, 1.2f, -17), 0.10, 1e-7);  // count-in steps keep their parity
}

struct GridCase {
    int32_t bpm;
    float swingAmount;
};

void PrintTo(const GridCase& c, std::ostream* out) { *out << c.bpm << " bpm, swing " << c.swingAmount; }

class SwungGrid : public ::testing::TestWithParam<GridCase> {};

TEST_P(SwungGrid, EveryStepLandsOnItsIdealFrameOverAThousandSteps) {
    MemoryPatternStore::Contents contents;
    std::vector<uint64_t> everyStep;
    for (uint64_t step = 0; step < 16; ++step) {
        everyStep.push_back(step);
    }
    addEvents(contents, 0, kKick, everyStep);
    ManualBench bench(contents);
    bench.sequencer.setBpm(GetParam().bpm);
    bench.sequencer.setSwing(GetParam().swingAmount);
    const uint64_t start = bench.clock.nowNanos();

    bench.sequencer.playWithPreBar(false);
    // A thousand steps and some: 1000 x d plus the look-ahead.
    bench.runUntil(start + static_cast<uint64_t>(1010 * StepGrid::stepSeconds(GetParam().bpm) * 1e9));

    const auto starts = bench.engine.calls(RecordingEngine::Kind::start);
    ASSERT_GE(starts.size(), 1000u);
    const float swing = bench.sequencer.swingFactor();
    for (uint64_t k = 0; k < 1000; ++k) {
        const long double ideal = idealStart(k, GetParam().bpm, swing);
        const uint64_t idealTime = start + static_cast<uint64_t>(std::llround(ideal));
        ASSERT_EQ(frameOf(starts[k].time, start), frameOf(idealTime, start)) << "step " << k;
        ASSERT_LE(std::fabs(static_cast<long double>(starts[k].time - start) - ideal), 0.5L) << "step " << k;
        // Queued ahead of time, never after the step began.
        if (k > 0) {
            ASSERT_LT(starts[k].calledAt, starts[k].time) << "step " << k;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Tempi, SwungGrid,
                         ::testing::Values(GridCase{128, 0.5f}, GridCase{128, 0.0f}, GridCase{97, 0.3f},
                                           GridCase{300, 1.0f}, GridCase{10, 0.7f}),
                         [](const auto& info) {
                             return "bpm" + std::to_string(info.param.bpm) + "_swing" +
                                    std::to_string(static_cast<int>(info.param.swingAmount * 100));
                         });

TEST(SequencerTiming, CountInClicksFourBeatsThenPlaysStepZero) {
    MemoryPatternStore::Contents contents;
    addEvents(contents, 0, kKick, {0});
    ManualBench bench(contents);
    bench.sequencer.setBpm(120);  // 0.125 s a step
    const uint64_t start = bench.clock.nowNanos();
    const uint64_t d = kStepAt120;

    bench.sequencer.playWithPreBar(true);
    bench.runUntil(start + 18 * d);

    const auto clicks = bench.engine.calls(RecordingEngine::Kind::click);
    ASSERT_EQ(clicks.size(), 4u) << "metronome off: only the count-in clicks";
    const uint64_t expectedSteps[] = {1, 5, 9, 13};  // -16, -12, -8, -4 after -17 at the start
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(clicks[i].time, start + expectedSteps[i] * d);
        EXPECT_EQ(clicks[i].path, i == 0 ? "Tumblecraft.app/metronomeOn1.wav" : "Tumblecraft.app/metronomeOn234.wav");
    }
    EXPECT_EQ(bench.engine.badClicks, 0);
    const auto starts = bench.engine.calls(RecordingEngine::Kind::start);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].time, start + 17 * d);
    const std::vector<std::pair<int32_t, int32_t>> bars{{0, 1}, {0, 2}, {0, 3}, {0, 4}, {1, 1}};
    ASSERT_GE(bench.delegate.bars.size(), 5u);
    EXPECT_EQ(std::vector(bench.delegate.bars.begin(), bench.delegate.bars.begin() + 5), bars);
}

TEST(SequencerTiming, OneBarPatternWrapsAndReportsBeats) {
    MemoryPatternStore::Contents contents;
    addEvents(contents, 0, kKick, {0, 15});
    ManualBench bench(contents);
    bench.sequencer.setBpm(120);
    bench.sequencer.setUseMetronome(true);
    const uint64_t start = bench.clock.nowNanos();
    const uint64_t d = kStepAt120;

    bench.sequencer.playWithPreBar(false);
    bench.runUntil(start + 33 * d);

    const auto starts = bench.engine.calls(RecordingEngine::Kind::start);
    ASSERT_GE(starts.size(), 4u);
    EXPECT_EQ(starts[0].time, start);
    EXPECT_EQ(starts[1].time, start + 15 * d);
    EXPECT_EQ(starts[2].time, start + 16 * d) << "step 15 is followed by step 0";
    EXPECT_EQ(starts[3].time, start + 31 * d);
    const auto clicks = bench.engine.calls(RecordingEngine::Kind::click);
    ASSERT_GE(clicks.size(), 8u);
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(clicks[i].time, start + 4 * i * d);
        EXPECT_EQ(clicks[i].path, i % 4 == 0 ? "Tumblecraft.app/metronomeOn1.wav" : "Tumblecraft.app/metronomeOn234.wav");
    }
    const std::vector<std::pair<int32_t, int32_t>> bars{{1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 1}, {1, 2}};
    ASSERT_GE(bench.delegate.bars.size(), 6u);
    EXPECT_EQ(std::vector(bench.delegate.bars.begin(), bench.delegate.bars.begin() + 6), bars);
}

TEST(SequencerTiming, AStartAndAStopPlayAndAStoredTypeOfNeitherKindIsSkipped) {
    MemoryPatternStore::Contents contents;
    addEvents(contents, 0, kKick, {0});
    addEvents(contents, 0, kSnare, {0}, PatternEventType::stop);
    addEvents(contents, 0, kHat, {0}, static_cast<PatternEventType>(2));  // written by a later version
    ManualBench bench(contents);
    const uint64_t start = bench.clock.nowNanos();
    bench.sequencer.playWithPreBar(false);
    bench.runUntil(start + 100'000'000);

    const auto starts = bench.engine.calls(RecordingEngine::Kind::start);
    const auto stops = bench.engine.calls(RecordingEngine::Kind::stop);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].path, kKick);
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].path, kSnare);
}

TEST(SequencerTiming, TwoBarPatternCountsBars) {
    ManualBench bench;
    bench.sequencer.changeNumBarsTo(2);
    bench.sequencer.setBpm(120);
    const uint64_t start = bench.clock.nowNanos();
    bench.sequencer.playWithPreBar(false);
    bench.runUntil(start + 33 * kStepAt120);
    const std::vector<std::pair<int32_t, int32_t>> bars{{1, 1}, {1, 2}, {1, 3}, {1, 4},
                                                        {2, 1}, {2, 2}, {2, 3}, {2, 4}, {1, 1}};
    ASSERT_GE(bench.delegate.bars.size(), 9u);
    EXPECT_EQ(std::vector(bench.delegate.bars.begin(), bench.delegate.bars.begin() + 9), bars);
}

TEST(SequencerTiming, PatternChangeTakesOverAtStepZero) {
    MemoryPatternStore::Contents contents;
    addEvents(contents, 0, kKick, {0, 8});
    addEvents(contents, 1, kSnare, {0, 8});
    PlayingBench bench(contents);
    const uint64_t start = bench.start;
    const uint64_t d = kStepAt120;
    bench.runUntil(start + 5 * d + d / 2);  // step 5 sounds
    const size_t heardBefore = bench.delegate.count("patternChanged");

    bench.sequencer.changePatternTo(1);
    EXPECT_EQ(bench.delegate.count("patternChanged"), heardBefore + 1) << "heard at the request";
    EXPECT_EQ(bench.sequencer.activePatternIdx(), 0u);
    EXPECT_EQ(bench.sequencer.pendingPatternIdx(), 1u);
    bench.runUntil(start + 25 * d);

    const auto starts = bench.engine.calls(RecordingEngine::Kind::start);
    ASSERT_EQ(starts.size(), 4u);
    EXPECT_EQ(starts[1].path, kKick);
    EXPECT_EQ(starts[1].time, start + 8 * d);
    EXPECT_EQ(starts[2].path, kSnare) << "the new pattern begins at step 0";
    EXPECT_EQ(starts[2].time, start + 16 * d);
    EXPECT_EQ(starts[3].path, kSnare);
    EXPECT_EQ(starts[3].time, start + 24 * d);
    EXPECT_EQ(bench.sequencer.activePatternIdx(), 1u);
    EXPECT_EQ(bench.sequencer.pendingPatternIdx(), Sequencer::kNotFound);
    EXPECT_EQ(bench.delegate.count("patternChanged"), heardBefore + 2) << "and again at the switch";
}

TEST(SequencerTiming, APendingPatternSetBeforeTheStartPlaysFromStepZero) {
    MemoryPatternStore::Contents contents;
    addEvents(contents, 0, kKick, {0});
    addEvents(contents, 2, kSnare, {0, 20});
    contents.numBars[2] = 2;
    ManualBench bench(contents);
    bench.sequencer.setPendingPatternIdx(1);
    bench.sequencer.setPendingPatternIdx(Sequencer::kNotFound);
    EXPECT_EQ(bench.sequencer.pendingPatternIdx(), Sequencer::kNotFound);
    bench.sequencer.setPendingPatternIdx(2);
    bench.sequencer.setBpm(120);
    const uint64_t start = bench.clock.nowNanos();
    const uint64_t d = kStepAt120;
    bench.sequencer.playWithPreBar(false);
    bench.runUntil(start + 30 * d);
    const auto starts = bench.engine.calls(RecordingEngine::Kind::start);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[0].path, kSnare);
    EXPECT_EQ(starts[1].time, start + 20 * d);
    EXPECT_EQ(bench.sequencer.activePatternIdx(), 2u);
    EXPECT_EQ(bench.sequencer.activePatternNumBars(), 2u);
}

TEST(SequencerTiming, PatternSwitchTakesTheNewBarCount) {
    MemoryPatternStore::Contents contents;
    addEvents(contents, 0, kKick, {0});
    addEvents(contents, 1, kSnare, {0});
    contents.numBars[1] = 2;
    PlayingBench bench(contents);
    const uint64_t start = bench.start;
    const uint64_t d = kStepAt120;
    bench.runUntil(start + 2 * d);
    bench.sequencer.changePatternTo(1);
    bench.runUntil(start + 70 * d);
    const auto starts = bench.engine.calls(RecordingEngine::Kind::start);
    ASSERT_EQ(starts.size(), 3u);
    EXPECT_EQ(starts[1].time, start + 16 * d);
    EXPECT_EQ(starts[2].time, start + 48 * d) << "two bars of the new pattern";
    EXPECT_EQ(bench.sequencer.activePatternNumBars(), 2u);
}

TEST(SequencerTiming, TempoChangeAppliesFromTheNextScheduledStep) {
    MemoryPatternStore::Contents contents;
    std::vector<uint64_t> steps;
    for (uint64_t step = 0; step < 16; ++step) {
        steps.push_back(step);
    }
    addEvents(contents, 0, kHat, steps);
    PlayingBench bench(contents);
    const uint64_t start = bench.start;
    bench.runUntil(start + 4 * kStepAt120);
    const size_t before = bench.engine.calls(RecordingEngine::Kind::start).size();
    bench.sequencer.setBpm(60);
    bench.runUntil(start + 3 * platform::kNanosPerSecond);
    const auto starts = bench.engine.calls(RecordingEngine::Kind::start);
    ASSERT_GT(starts.size(), before + 3);
    for (size_t i = 1; i < before; ++i) {
        EXPECT_EQ(starts[i].time - starts[i - 1].time, 125'000'000u);
    }
    // The step already queued keeps its time; the ones after it are 0.25 s apart.
    for (size_t i = before; i < starts.size(); ++i) {
        EXPECT_EQ(starts[i].time - starts[i - 1].time, 250'000'000u) << i;
    }
}

TEST(SequencerTiming, SendsSixClockTicksAStepAndClockStartAndStop) {
    PlayingBench bench;
    const uint64_t start = bench.start;
    bench.runUntil(start + 400'000'000);
    bench.sequencer.stop();

    std::lock_guard lock(bench.midiOut.mutex);
    EXPECT_EQ(bench.midiOut.starts, 1);
    EXPECT_EQ(bench.midiOut.stops, 1);
    ASSERT_GE(bench.midiOut.ticks.size(), 13u);
    EXPECT_EQ(bench.midiOut.ticks[0], 0u) << "the first tick goes out at once";
    for (size_t i = 1; i <= 5; ++i) {
        EXPECT_EQ(bench.midiOut.ticks[i], start + i * 20'833'333);
    }
    EXPECT_EQ(bench.midiOut.ticks[6], start + 125'000'000) << "the sixth at the next step";
    EXPECT_EQ(bench.midiOut.ticks[7], start + 125'000'000 + 20'833'333);
}

TEST(SequencerTiming, StopEndsTheLoopAndAStartBeginsAgainAtStepZero) {
    MemoryPatternStore::Contents contents;
    addEvents(contents, 0, kKick, {0});
    ManualBench bench(contents);
    bench.sequencer.setBpm(120);
    bench.sequencer.playWithPreBar(false);
    bench.runUntil(bench.clock.nowNanos() + 500'000'000);
    bench.sequencer.stop();
    EXPECT_FALSE(bench.sequencer.isRunning());
    const size_t callsAtStop = bench.engine.calls().size();
    bench.runUntil(bench.clock.nowNanos() + 3 * platform::kNanosPerSecond);
    EXPECT_EQ(bench.engine.calls().size(), callsAtStop) << "nothing scheduled after the stop";

    const uint64_t restart = bench.clock.nowNanos();
    bench.sequencer.playWithPreBar(false);
    bench.sequencer.playWithPreBar(false);  // a second start while running does nothing
    bench.runUntil(restart + 10'000'000);
    const auto starts = bench.engine.calls(RecordingEngine::Kind::start);
    EXPECT_EQ(starts.back().time, restart);
    const std::vector<std::string> heard(bench.delegate.messages.begin(), bench.delegate.messages.end());
    EXPECT_EQ(bench.delegate.count("started"), 2u);
    EXPECT_EQ(bench.delegate.count("stopped"), 1u);
}

TEST(SequencerTiming, ObserverRemovedDuringDeliveryHearsNothingMore) {
    ManualBench bench;
    struct Remover : SequencerDelegate {
        Sequencer* sequencer = nullptr;
        SequencerDelegate* other = nullptr;
        void sequencerStarted() override { sequencer->removeDelegate(other); }
    } remover;
    testing::RecordingDelegate later;
    remover.sequencer = &bench.sequencer;
    remover.other = &later;
    bench.sequencer.removeDelegate(&bench.delegate);
    bench.sequencer.addDelegate(&remover);
    bench.sequencer.addDelegate(&later);
    bench.sequencer.playWithPreBar(false);
    EXPECT_TRUE(later.messages.empty());
}

}  // namespace
}  // namespace strombel::sequencer
