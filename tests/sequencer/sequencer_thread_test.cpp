// The timing loop on its real "Sequencer" thread, sleeping on the system clock.
// No timing is asserted here, only the order of what reaches the engine.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "sequencer/sequencer.h"
#include "sequencer/sequencer_fakes.h"

namespace strombel::sequencer {
namespace {

using testing::addEvents;
using testing::MemoryPatternStore;
using testing::RecordingEngine;

std::string stepPath(uint64_t step) { return "Documents/step" + std::to_string(step) + ".wav"; }

struct ThreadBench {
    ThreadBench() : store(everyStepOwnSample()),
                    sequencer(SequencerServices{engine, store, &midiOut, mainLoop, platform::SystemClock::shared(),
                                                LoopDriver::thread}) {}

    static MemoryPatternStore::Contents everyStepOwnSample() {
        MemoryPatternStore::Contents contents;
        for (uint64_t step = 0; step < 16; ++step) {
            addEvents(contents, 0, stepPath(step), {step});
        }
        return contents;
    }

    /// Pumps the main loop until `count` starts reached the engine (or a generous limit).
    void waitForStarts(size_t count) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (engine.calls(RecordingEngine::Kind::start).size() < count && std::chrono::steady_clock::now() < limit) {
            mainLoop.runPending();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        mainLoop.runPending();
    }

    platform::MainLoop mainLoop{platform::SystemClock::shared()};
    RecordingEngine engine{platform::SystemClock::shared()};
    testing::RecordingMidiOut midiOut;
    MemoryPatternStore store;
    Sequencer sequencer;
};

// Every start after the first is the step after the one before, in time order.
void expectConsecutiveSteps(const std::vector<RecordingEngine::Call>& starts, size_t from) {
    for (size_t i = from + 1; i < starts.size(); ++i) {
        const auto& previous = starts[i - 1];
        const auto& call = starts[i];
        uint64_t previousStep = 0;
        for (uint64_t step = 0; step < 16; ++step) {
            if (previous.path == stepPath(step)) {
                previousStep = step;
            }
        }
        EXPECT_EQ(call.path, stepPath((previousStep + 1) % 16)) << "call " << i;
        EXPECT_GT(call.time, previous.time) << "call " << i;
    }
}

TEST(SequencerThread, PlaysStepsInOrderOnTheSequencerThread) {
    ThreadBench bench;
    bench.sequencer.setBpm(300);
    bench.sequencer.playWithPreBar(false);
    bench.waitForStarts(20);
    bench.sequencer.stop();

    const auto starts = bench.engine.calls(RecordingEngine::Kind::start);
    ASSERT_GE(starts.size(), 20u);
    EXPECT_EQ(starts[0].path, stepPath(0));
    expectConsecutiveSteps(starts, 0);
    for (size_t i = 0; i < starts.size(); ++i) {
        EXPECT_EQ(starts[i].thread, "Sequencer") << "call " << i;
    }
    std::lock_guard lock(bench.midiOut.mutex);
    EXPECT_EQ(bench.midiOut.starts, 1);
    EXPECT_EQ(bench.midiOut.stops, 1);
}

TEST(SequencerThread, AQuickStopAndStartLeavesOneLoop) {
    ThreadBench bench;
    bench.sequencer.setBpm(300);
    bench.sequencer.playWithPreBar(false);
    bench.waitForStarts(3);
    // Stop and start again before the first loop wakes up to see its stop.
    uint64_t restart = 0;
    for (int round = 0; round < 3; ++round) {
        bench.sequencer.stop();
        restart = platform::SystemClock::shared().nowNanos();
        bench.sequencer.playWithPreBar(false);
    }
    const size_t before = bench.engine.calls(RecordingEngine::Kind::start).size();
    bench.waitForStarts(before + 24);
    bench.sequencer.stop();

    // Everything queued after the last start comes from one loop that began at step 0.
    std::vector<RecordingEngine::Call> latest;
    for (const auto& call : bench.engine.calls(RecordingEngine::Kind::start)) {
        if (call.calledAt >= restart) {
            latest.push_back(call);
        }
    }
    ASSERT_GE(latest.size(), 20u);
    EXPECT_EQ(latest[0].path, stepPath(0));
    expectConsecutiveSteps(latest, 0);
}

TEST(SequencerThread, AClockStartWhileStartingLeavesOnlyTheOutsideClock) {
    ThreadBench bench;
    bench.sequencer.setBpm(300);
    bench.sequencer.playWithPreBar(false);
    bench.sequencer.midiClockStartReceived();
    const uint64_t takenOver = platform::SystemClock::shared().nowNanos();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    bench.mainLoop.runPending();
    // The own loop (which at 300 BPM queues a step every 50 ms) queued nothing after
    // the clock start; the clock start itself queued step 0 for at once.
    const auto starts = bench.engine.calls(RecordingEngine::Kind::start);
    size_t atOnce = 0;
    for (const auto& call : starts) {
        EXPECT_LE(call.calledAt, takenOver) << call.path;
        atOnce += call.time == 0 ? 1 : 0;
    }
    EXPECT_EQ(atOnce, 1u);
    EXPECT_EQ(bench.sequencer.currentState(), Sequencer::kStateMidiClock);
}

}  // namespace
}  // namespace strombel::sequencer
