// The sequencer's calls kept for one thread abort on another (in builds with the
// thread checks).

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "platform/thread_role.h"
#include "sequencer/sequencer.h"
#include "support/sequencer_fakes.h"

#if defined(STROMBEL_THREAD_CHECKS)

namespace strombel::sequencer {
namespace {

using testing::addEvents;
using testing::kKick;
using testing::ManualBench;
using testing::MemoryPatternStore;
using testing::RecordingEngine;

class SequencerThreadRoleTest : public ::testing::Test {
protected:
    SequencerThreadRoleTest() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(SequencerThreadRoleTest, TheOutsideClockComesOnTheMidiActionThreadOnly) {
    ManualBench bench;
    bench.mainLoop.bindToCurrentThread();
    EXPECT_DEATH(bench.sequencer.midiClockStartReceived(),
                 R"(wrong thread: void strombel::sequencer::Sequencer::midiClockStartReceived\(\) called on a )"
                 R"(thread of role "main loop", expected "MIDI action")");

    std::thread midiAction([&] {
        platform::setThreadRole(platform::ThreadRole::midiAction);
        bench.sequencer.midiClockStartReceived();
    });
    midiAction.join();
    EXPECT_EQ(bench.sequencer.currentState(), Sequencer::kStateMidiClock);
    bench.mainLoop.runPending();
    EXPECT_EQ(bench.delegate.count("started"), 1u);
}

// The engine as the sequencer sees it, calling `onStart` from inside each
// pattern-event start the timing loop asks of it.
class CallingBackEngine final : public SequencerEngine {
public:
    explicit CallingBackEngine(const platform::Clock& clock) : recorded(clock) {}
    bool startTrack(const std::string& path, uint64_t atTime, bool tapPad, bool midi, bool ignoreMute,
                    float velocity) override {
        return recorded.startTrack(path, atTime, tapPad, midi, ignoreMute, velocity);
    }
    bool startTrackFromSequencer(const std::string& path, uint64_t atTime) override {
        if (onStart) onStart();
        return recorded.startTrackFromSequencer(path, atTime);
    }
    bool stopTrackFromSequencer(const std::string& path, uint64_t atTime) override {
        return recorded.stopTrackFromSequencer(path, atTime);
    }
    void stopAllTracksIncludeTapPadTriggered(bool include) override {
        recorded.stopAllTracksIncludeTapPadTriggered(include);
    }
    void preloadTrack(const std::string& path) override { recorded.preloadTrack(path); }
    std::string metronomeClickOn1File() const override { return recorded.metronomeClickOn1File(); }
    std::string metronomeClickOn234File() const override { return recorded.metronomeClickOn234File(); }
    platform::Result<void> exportEvents(const std::vector<ExportEvent>& events, const std::string& toFile,
                                        double duration, const std::function<void(float)>& progress) override {
        return recorded.exportEvents(events, toFile, duration, progress);
    }

    RecordingEngine recorded;
    std::function<void()> onStart;
};

TEST_F(SequencerThreadRoleTest, AnEngineThatCallsBackIntoTheSequencerFromTheTimingLoopAborts) {
    platform::ManualClock clock{5'000'000'000};
    platform::MainLoop mainLoop{clock};
    mainLoop.bindToCurrentThread();
    CallingBackEngine engine(clock);
    MemoryPatternStore::Contents contents;
    addEvents(contents, 0, kKick, {0, 4, 8, 12});
    MemoryPatternStore store(contents);
    Sequencer sequencer(SequencerServices{engine, store, nullptr, mainLoop, clock, LoopDriver::manual});
    sequencer.changePatternTo(0);
    int starts = 0;
    engine.onStart = [&] { ++starts; };
    sequencer.playWithPreBar(false);
    ManualBench::driveLoop(sequencer, clock, mainLoop, clock.nowNanos() + 1'000'000'000);
    EXPECT_GT(starts, 0) << "the timing loop started the pattern's steps";
    sequencer.stop();

    engine.onStart = [&] { sequencer.changePatternTo(1); };
    sequencer.playWithPreBar(false);
    EXPECT_DEATH(ManualBench::driveLoop(sequencer, clock, mainLoop, clock.nowNanos() + 1'000'000'000),
                 R"(Sequencer::changePatternTo\(uint64_t\) called on a thread of role "sequencer", )"
                 R"(expected "main loop")");
    sequencer.stop();
}

}  // namespace
}  // namespace strombel::sequencer

#endif
