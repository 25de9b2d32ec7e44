#include <gtest/gtest.h>

#include "sequencer/sequencer.h"
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

// A sequencer playing at 120 BPM, to record into.
struct Recording : PlayingBench {
    using PlayingBench::PlayingBench;
    /// Lets time run to `fraction` of the way through `step` (counted since the start) and hits a pad.
    void hit(uint64_t step, double fraction, const std::string& path, PatternEventType type = PatternEventType::start) {
        runUntil(start + step * kStepAt120 + static_cast<uint64_t>(fraction * kStepAt120));
        sequencer.recordSequencerEventForSample(path, type);
    }
    std::vector<StoredSequencerEvent> stored(uint64_t pattern = 0) { return store.sequencerEventsForPattern(pattern); }
};

struct QuantisationCase {
    int32_t level;
    uint64_t step;
    double fraction;
    uint64_t expected;
};

void PrintTo(const QuantisationCase& c, std::ostream* out) {
    *out << "level " << c.level << ", step " << c.step << " + " << c.fraction << " -> " << c.expected;
}

class Quantisation : public ::testing::TestWithParam<QuantisationCase> {};

TEST_P(Quantisation, AHitLandsOnTheNearestGridPosition) {
    Recording recording;
    recording.sequencer.setQuantizationLevel(GetParam().level);
    recording.hit(GetParam().step, GetParam().fraction, kKick);
    recording.sequencer.stop();
    const auto stored = recording.stored();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].step, GetParam().expected);
    EXPECT_EQ(stored[0].eventType, PatternEventType::start);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Quantisation,
    ::testing::Values(QuantisationCase{4, 5, 0.75, 6},   // second half of step 5
                      QuantisationCase{4, 5, 0.25, 5},   // first half
                      QuantisationCase{2, 6, 0.10, 8},   // a beat: step 6 goes to 8
                      QuantisationCase{2, 5, 0.10, 4},   // and step 5 to 4
                      QuantisationCase{0, 8, 0.10, 0},   // a bar: step 8 goes to 16, which wraps to 0
                      QuantisationCase{0, 7, 0.90, 0},   // a bar: step 7 stays at 0
                      QuantisationCase{4, 15, 0.75, 0},  // the last half step of the bar is step 0
                      QuantisationCase{3, 3, 0.10, 4},   // eighths: step 3 goes to 4
                      QuantisationCase{1, 11, 0.10, 8},  // half bars: step 11 goes to 8
                      QuantisationCase{1, 12, 0.10, 0}   // and step 12 to 16, which wraps
                      ),
    [](const auto& info) {
        return "level" + std::to_string(info.param.level) + "_step" + std::to_string(info.param.step) + "_at" +
               std::to_string(static_cast<int>(info.param.fraction * 100)) + "pct";
    });

TEST(Recording, HitsFollowWhatSoundsNotHowFarAheadTheLoopRuns) {
    // At 300 BPM a step lasts 50 ms; the loop runs two steps and more ahead.
    ManualBench bench;
    bench.sequencer.setBpm(300);
    const uint64_t start = bench.clock.nowNanos();
    bench.sequencer.playWithPreBar(false);
    bench.runUntil(start + 7 * 50'000'000 + 10'000'000);
    EXPECT_GE(bench.sequencer.currentStep(), 9);
    bench.sequencer.recordSequencerEventForSample(kKick, PatternEventType::start);
    bench.sequencer.stop();
    const auto stored = bench.store.sequencerEventsForPattern(0);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].step, 7u);
}

TEST(Recording, APadPressedAndReleasedWithinAStepRecordsAStartAndAStopAfterIt) {
    Recording recording;
    recording.hit(3, 0.10, kSnare, PatternEventType::start);
    recording.hit(3, 0.30, kSnare, PatternEventType::stop);  // the loop has moved on in between
    recording.hit(8, 0.25, kHat, PatternEventType::start);
    recording.hit(8, 0.45, kHat, PatternEventType::stop);  // the start still waits
    recording.sequencer.stop();
    const auto stored = recording.stored();
    ASSERT_EQ(stored.size(), 4u);
    EXPECT_EQ(stored[0].step, 3u);
    EXPECT_EQ(stored[0].eventType, PatternEventType::start);
    EXPECT_EQ(stored[1].step, 4u);
    EXPECT_EQ(stored[1].eventType, PatternEventType::stop);
    EXPECT_EQ(stored[2].step, 8u);
    EXPECT_EQ(stored[2].eventType, PatternEventType::start);
    EXPECT_EQ(stored[3].step, 9u);
    EXPECT_EQ(stored[3].eventType, PatternEventType::stop);
}

TEST(Recording, AHitInTheLastHalfStepKeepsItsReleaseAtEveryTempo) {
    // Pressed in the last half step of a one-bar pattern (recorded at step 0) and
    // released before step 0 comes round: a start on 0 and a stop on 1, however
    // far the loop has gone in between.
    for (double bpm : {60.0, 180.0, 200.0}) {
        const uint64_t step = static_cast<uint64_t>(60e9 / bpm / 4);
        for (double press : {15.55, 15.75, 15.95}) {
            for (double hold : {0.02, 0.2, 0.5}) {
                if (press + hold >= 16.5) continue;
                SCOPED_TRACE(::testing::Message() << bpm << " BPM, pressed at " << press << ", held " << hold);
                ManualBench bench;
                bench.sequencer.setBpm(bpm);
                const uint64_t start = bench.clock.nowNanos();
                bench.sequencer.playWithPreBar(false);
                bench.runUntil(start + static_cast<uint64_t>(press * double(step)));
                bench.sequencer.recordSequencerEventForSample(kKick, PatternEventType::start);
                bench.runUntil(start + static_cast<uint64_t>((press + hold) * double(step)));
                bench.sequencer.recordSequencerEventForSample(kKick, PatternEventType::stop);
                bench.sequencer.stop();
                const auto stored = bench.store.sequencerEventsForPattern(0);
                EXPECT_EQ(stored.size(), 2u);
                if (stored.size() != 2) continue;
                EXPECT_EQ(stored[0].step, 0u);
                EXPECT_EQ(stored[0].eventType, PatternEventType::start);
                EXPECT_EQ(stored[1].step, 1u);
                EXPECT_EQ(stored[1].eventType, PatternEventType::stop);
            }
        }
    }
}

TEST(Recording, ASecondStartReplacesTheFirstAndAStopOnAStartIsDropped) {
    MemoryPatternStore::Contents contents;
    addEvents(contents, 0, kKick, {2});
    Recording recording(contents);
    recording.hit(2, 0.1, kKick, PatternEventType::start);     // same sample, same step: replaces
    recording.hit(20, 0.1, kKick, PatternEventType::stop);     // step 4 of the second round ... 
    recording.hit(34, 0.1, kKick, PatternEventType::stop);     // step 2 again: a stop on a start is dropped
    recording.runUntil(recording.start + 40 * kStepAt120);

    const PatternSteps active = recording.sequencer.activePatternEvents();
    ASSERT_EQ(active.at(2).size(), 1u);
    EXPECT_EQ(active.at(2)[0]->eventType(), PatternEventType::start);
    EXPECT_EQ(recording.stored().size(), 2u);  // the start on 2 and the stop on 4
    const auto stored = recording.stored();
    EXPECT_EQ(stored[0].step, 2u);
    EXPECT_EQ(stored[1].step, 4u);
    EXPECT_EQ(stored[1].eventType, PatternEventType::stop);
}

TEST(Recording, AnEventAheadOfTheLoopWaitsUntilTheLoopHasPassedIt) {
    Recording recording;
    recording.hit(5, 0.75, kHat);  // recorded at step 6
    EXPECT_EQ(recording.sequencer.recordedEventsWaiting(), 1u);
    recording.sequencer.addRecordedPatternStepsToPattern();
    EXPECT_EQ(recording.sequencer.recordedEventsWaiting(), 1u) << "held back near the step being played";
    EXPECT_TRUE(recording.sequencer.activePatternEvents().empty());
    EXPECT_TRUE(recording.sequencer.patternHasEvents(0));

    recording.runUntil(recording.start + 9 * kStepAt120);
    EXPECT_EQ(recording.sequencer.recordedEventsWaiting(), 0u);
    EXPECT_EQ(recording.sequencer.activePatternEvents().at(6).size(), 1u);
    // Not played in the round it was recorded in (the pad sounded live), but in the next.
    const auto starts = recording.engine.calls(RecordingEngine::Kind::start);
    EXPECT_TRUE(starts.empty());
    recording.runUntil(recording.start + 23 * kStepAt120);
    const auto later = recording.engine.calls(RecordingEngine::Kind::start);
    ASSERT_EQ(later.size(), 1u);
    EXPECT_EQ(later[0].time, recording.start + 22 * kStepAt120);
}

TEST(Recording, RecordedEventsReachTheStoreWithoutAStop) {
    Recording recording;
    recording.hit(1, 0.1, kKick);
    recording.hit(9, 0.1, kSnare);
    recording.runUntil(recording.start + 14 * kStepAt120);
    ASSERT_TRUE(recording.sequencer.isRunning());
    // The program dies here: what the next start finds is what was saved.
    MemoryPatternStore::Contents afterCrash = recording.store.afterCrash();
    ASSERT_EQ(afterCrash.events[0].size(), 2u);

    ManualBench restarted(afterCrash);
    const PatternSteps events = restarted.sequencer.activePatternEvents();
    EXPECT_EQ(events.at(1)[0]->sampleFilePath(), kKick);
    EXPECT_EQ(events.at(9)[0]->sampleFilePath(), kSnare);
    EXPECT_TRUE(restarted.sequencer.patternHasEvents(0));
    EXPECT_TRUE(restarted.engine.preloaded.count(kKick));
}

TEST(Recording, ARecordedPatternPlaysBackInTimeAfterARestart) {
    MemoryPatternStore::Contents saved;
    {
        Recording recording;
        recording.hit(0, 0.1, kKick);
        recording.hit(4, 0.1, kSnare);
        recording.hit(10, 0.4, kHat);
        recording.sequencer.stop();
        saved = recording.store.afterCrash();
    }
    PlayingBench bench(saved);
    const uint64_t start = bench.start;
    bench.runUntil(start + 14 * kStepAt120);
    const auto starts = bench.engine.calls(RecordingEngine::Kind::start);
    ASSERT_EQ(starts.size(), 3u);
    EXPECT_EQ(starts[0].path, kKick);
    EXPECT_EQ(starts[0].time, start);
    EXPECT_EQ(starts[1].path, kSnare);
    EXPECT_EQ(starts[1].time, start + 4 * kStepAt120);
    EXPECT_EQ(starts[2].path, kHat);
    EXPECT_EQ(starts[2].time, start + 10 * kStepAt120);
}

TEST(Recording, HitsDuringTheCountInOrWhileStoppedAreIgnored) {
    ManualBench bench;
    bench.sequencer.recordSequencerEventForSample(kKick, PatternEventType::start);
    EXPECT_EQ(bench.sequencer.recordedEventsWaiting(), 0u);
    bench.sequencer.setBpm(120);
    const uint64_t start = bench.clock.nowNanos();
    bench.sequencer.playWithPreBar(true);
    bench.runUntil(start + 6 * kStepAt120);
    bench.sequencer.recordSequencerEventForSample(kKick, PatternEventType::start);
    EXPECT_EQ(bench.sequencer.recordedEventsWaiting(), 0u);
    bench.sequencer.stop();
    EXPECT_FALSE(bench.sequencer.patternHasEvents(0));
}

TEST(Recording, AnUnknownSampleStaysInMemoryButIsNotStored) {
    Recording recording;
    recording.hit(2, 0.1, "Documents/gone.wav");
    recording.sequencer.stop();
    EXPECT_TRUE(recording.stored().empty());
    EXPECT_EQ(recording.sequencer.activePatternEvents().at(2).size(), 1u);
    EXPECT_TRUE(recording.sequencer.patternHasEvents(0));
}

TEST(Recording, EventsHeldBackAtAPatternSwitchStayInThePatternTheyWereRecordedIn) {
    MemoryPatternStore::Contents contents;
    addEvents(contents, 1, kSnare, {0});
    Recording recording(contents);
    recording.runUntil(recording.start + 10 * kStepAt120);
    recording.sequencer.changePatternTo(1);
    recording.hit(14, 0.1, kHat);  // held back: step 14 is the one the loop is on
    ASSERT_EQ(recording.sequencer.recordedEventsWaiting(), 1u);
    recording.runUntil(recording.start + 18 * kStepAt120);
    ASSERT_EQ(recording.sequencer.activePatternIdx(), 1u);

    EXPECT_EQ(recording.sequencer.recordedEventsWaiting(), 0u);
    const auto stored = recording.stored(0);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].step, 14u);
    EXPECT_EQ(recording.stored(1).size(), 1u) << "the new pattern is untouched";
    EXPECT_TRUE(recording.sequencer.patternHasEvents(0));
}

TEST(Recording, AHitHeardInTheLastStepBeforeASwitchBelongsToTheOldPattern) {
    MemoryPatternStore::Contents contents;
    addEvents(contents, 1, kSnare, {0});
    Recording recording(contents);
    recording.runUntil(recording.start + 10 * kStepAt120);
    recording.sequencer.changePatternTo(1);
    // By now the loop has already switched to pattern 1 (it runs ahead), but step 15 of pattern 0 sounds.
    recording.hit(15, 0.3, kHat);
    recording.sequencer.stop();
    ASSERT_EQ(recording.stored(0).size(), 1u);
    EXPECT_EQ(recording.stored(0)[0].step, 15u);
    EXPECT_EQ(recording.stored(1).size(), 1u);
}

// Copying onto itself would first erase the target, which is the source: the
// user's pattern would be lost for a copy that changes nothing. It is kept.
TEST(Editing, CopyingAPatternOntoItselfKeepsIt) {
    MemoryPatternStore::Contents contents;
    addEvents(contents, 2, kKick, {0, 4, 8});
    ManualBench bench(contents);
    bench.sequencer.copyPattern(2, 2);
    EXPECT_EQ(bench.store.storedCount(2), 3u);
    EXPECT_TRUE(bench.sequencer.patternHasEvents(2));
}

TEST(Editing, ARenamedSamplePlaysUnderItsNewNameInThePendingPatternAndFromWaitingHits) {
    const std::string renamed = "Documents/boom.wav";
    MemoryPatternStore::Contents contents;
    addEvents(contents, 1, kKick, {0});
    Recording recording(contents);
    recording.store.samples.insert(renamed);
    recording.hit(5, 0.75, kKick);  // recorded at step 6, waiting while step 5 plays
    recording.sequencer.changePatternTo(1);
    ASSERT_EQ(recording.sequencer.recordedEventsWaiting(), 1u);

    recording.store.samples.erase(kKick);  // the library knows the sample by its new name only
    recording.sequencer.samplePathChanged(kKick, renamed);
    recording.engine.clear();
    recording.runUntil(recording.start + 17 * kStepAt120);
    recording.sequencer.stop();

    const auto stored = recording.stored(0);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].sampleFilePath, renamed) << "the waiting hit is stored under the new name";
    const auto starts = recording.engine.calls(RecordingEngine::Kind::start);
    ASSERT_FALSE(starts.empty());
    for (const auto& call : starts) EXPECT_EQ(call.path, renamed);
    EXPECT_EQ(recording.sequencer.activePatternIdx(), 1u);
    EXPECT_TRUE(recording.engine.preloaded.count(renamed));
}

TEST(Editing, CopyReplacesTheTargetAndReloadsItWhenActive) {
    MemoryPatternStore::Contents contents;
    addEvents(contents, 3, kKick, {0, 4});
    contents.numBars[3] = 2;
    addEvents(contents, 0, kSnare, {1});
    ManualBench bench(contents);
    bench.sequencer.copyPattern(3, 0);
    EXPECT_EQ(bench.store.storedCount(0), 2u);
    EXPECT_EQ(bench.sequencer.activePatternNumBars(), 2u);
    const PatternSteps active = bench.sequencer.activePatternEvents();
    EXPECT_EQ(active.count(1), 0u);
    EXPECT_EQ(active.at(4)[0]->sampleFilePath(), kKick);
    EXPECT_TRUE(bench.sequencer.patternHasEvents(0));
    EXPECT_EQ(bench.store.afterCrash().events[0].size(), 2u) << "saved";
}

TEST(Editing, EventCountsStayTrueAfterErasing) {
    MemoryPatternStore::Contents contents;
    addEvents(contents, 0, kKick, {0, 8});
    addEvents(contents, 5, kHat, {3});
    ManualBench bench(contents);
    EXPECT_TRUE(bench.sequencer.patternHasEvents(0));
    EXPECT_TRUE(bench.sequencer.patternHasEvents(5));
    EXPECT_FALSE(bench.sequencer.patternHasEvents(4));

    bench.sequencer.eraseAllEventsOfTrack(kKick);
    EXPECT_FALSE(bench.sequencer.patternHasEvents(0)) << "no events left";
    EXPECT_EQ(bench.store.afterCrash().events[0].size(), 0u) << "the erase reached the store";

    bench.sequencer.erasePattern(5);
    EXPECT_FALSE(bench.sequencer.patternHasEvents(5));
    EXPECT_EQ(bench.store.storedCount(5), 0u);
}

TEST(Editing, RemovingEventsByIdentityLowersTheCount) {
    MemoryPatternStore::Contents contents;
    addEvents(contents, 0, kKick, {6});
    addEvents(contents, 0, kSnare, {6});
    ManualBench bench(contents);
    const PatternSteps active = bench.sequencer.activePatternEvents();
    const PatternEventRef kick = active.at(6)[0];
    // Equal, not the same:
    bench.sequencer.removePatternEvents({makePatternEvent(kick->sampleFilePath(), PatternEventType::start, 6)});
    EXPECT_EQ(bench.sequencer.activePatternEvents().at(6).size(), 2u);
    bench.sequencer.removePatternEvents({kick});
    EXPECT_EQ(bench.sequencer.activePatternEvents().at(6).size(), 1u);
    EXPECT_TRUE(bench.sequencer.patternHasEvents(0));
    bench.sequencer.removePatternEvents({bench.sequencer.activePatternEvents().at(6)[0]});
    EXPECT_FALSE(bench.sequencer.patternHasEvents(0));
    EXPECT_EQ(bench.store.afterCrash().events[0].size(), 0u);
}

TEST(Editing, ErasingTheActiveOrPendingPatternSilencesIt) {
    MemoryPatternStore::Contents contents;
    addEvents(contents, 0, kKick, {0});
    addEvents(contents, 1, kSnare, {0});
    PlayingBench bench(contents);
    const uint64_t start = bench.start;
    bench.runUntil(start + 3 * kStepAt120);
    bench.sequencer.changePatternTo(1);
    bench.sequencer.erasePattern(1);
    bench.runUntil(start + 20 * kStepAt120);
    const auto starts = bench.engine.calls(RecordingEngine::Kind::start);
    ASSERT_EQ(starts.size(), 1u) << "the erased pending pattern plays nothing at the switch";
    EXPECT_EQ(bench.sequencer.activePatternIdx(), 1u);
}

TEST(Editing, BarCountsOutsideOneToNinetyNineAreIgnored) {
    MemoryPatternStore::Contents contents;
    addEvents(contents, 0, kKick, {0, 20});
    ManualBench bench(contents);
    bench.sequencer.changeNumBarsTo(0);
    bench.sequencer.changeNumBarsTo(100);
    EXPECT_EQ(bench.sequencer.activePatternNumBars(), 1u);
    bench.sequencer.changeNumBarsTo(99);
    EXPECT_EQ(bench.sequencer.activePatternNumBars(), 99u);
    bench.sequencer.changeNumBarsTo(2);
    EXPECT_EQ(bench.store.afterCrash().numBars[0], 2u);

    // The event at step 20 plays in the second bar, and stays stored when the pattern shrinks.
    bench.sequencer.setBpm(120);
    const uint64_t start = bench.clock.nowNanos();
    bench.sequencer.playWithPreBar(false);
    bench.runUntil(start + 30 * kStepAt120);
    ASSERT_EQ(bench.engine.calls(RecordingEngine::Kind::start).size(), 2u);
    bench.sequencer.stop();
    bench.sequencer.changeNumBarsTo(1);
    EXPECT_EQ(bench.store.storedCount(0), 2u);
}

TEST(Editing, ChangingPatternWhileStoppedLoadsItAtOnce) {
    MemoryPatternStore::Contents contents;
    addEvents(contents, 7, kHat, {2, 3});
    ManualBench bench(contents);
    bench.sequencer.changePatternTo(7);
    EXPECT_EQ(bench.sequencer.activePatternIdx(), 7u);
    EXPECT_EQ(bench.sequencer.activePatternEvents().size(), 2u);
    EXPECT_EQ(bench.delegate.count("patternChanged"), 1u);
    bench.sequencer.changePatternTo(12);
    EXPECT_EQ(bench.sequencer.activePatternIdx(), 7u) << "there are twelve patterns";
}

TEST(Export, EventTimesFollowTempoAndSwing) {
    MemoryPatternStore::Contents contents;
    addEvents(contents, 4, kKick, {1, 2});
    addEvents(contents, 4, kKick, {3}, PatternEventType::stop);
    addEvents(contents, 4, kSnare, {17});  // beyond the one bar: not played, not exported
    ManualBench bench(contents);
    bench.sequencer.setBpm(120);
    bench.sequencer.setSwing(0.5f);
    std::vector<float> progress;
    bench.sequencer.exportPattern(4, "/tmp/out.wav", [&](float fraction) { progress.push_back(fraction); });

    EXPECT_EQ(bench.engine.exportedFile, "/tmp/out.wav");
    EXPECT_DOUBLE_EQ(bench.engine.exportedDuration, 2.0);
    ASSERT_EQ(bench.engine.exported.size(), 3u);
    EXPECT_NEAR(bench.engine.exported[0].eventTime(), 0.15, 1e-7);
    EXPECT_NEAR(bench.engine.exported[1].eventTime(), 0.25, 1e-7);
    EXPECT_NEAR(bench.engine.exported[2].eventTime(), 0.40, 1e-7);
    EXPECT_EQ(bench.engine.exported[2].eventType(), ExportEvent::kStop);
    EXPECT_EQ(progress, (std::vector<float>{0.0f, 1.0f}));
}

}  // namespace
}  // namespace strombel::sequencer
