// The timing loop allocates nothing once running: counted by replacing the
// global allocation functions of this test program.

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "sequencer/sequencer.h"
#include "sequencer/sequencer_fakes.h"

namespace {

thread_local bool countingAllocations = false;
thread_local size_t allocations = 0;

}  // namespace

__attribute__((noinline)) void* operator new(std::size_t size) {
    if (countingAllocations) {
        ++allocations;
    }
    if (void* memory = std::malloc(size ? size : 1)) {
        return memory;
    }
    throw std::bad_alloc();
}
__attribute__((noinline)) void* operator new[](std::size_t size) { return operator new(size); }
__attribute__((noinline)) void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (countingAllocations) {
        ++allocations;
    }
    return std::malloc(size ? size : 1);
}
__attribute__((noinline)) void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
__attribute__((noinline)) void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
__attribute__((noinline)) void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
__attribute__((noinline)) void operator delete(void* memory) noexcept { std::free(memory); }
__attribute__((noinline)) void operator delete[](void* memory) noexcept { std::free(memory); }
__attribute__((noinline)) void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
__attribute__((noinline)) void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace strombel::sequencer {
namespace {

using testing::addEvents;
using testing::ManualBench;
using testing::MemoryPatternStore;

/// An engine that takes everything and keeps nothing.
class QuietEngine final : public SequencerEngine {
public:
    bool startTrack(const std::string&, uint64_t, bool, bool, bool, float) override { return ++calls > 0; }
    bool startTrackFromSequencer(const std::string&, uint64_t) override { return ++calls > 0; }
    bool stopTrackFromSequencer(const std::string&, uint64_t) override { return ++calls > 0; }
    void stopAllTracksIncludeTapPadTriggered(bool) override {}
    void preloadTrack(const std::string&) override {}
    std::string metronomeClickOn1File() const override { return "Tumblecraft.app/metronomeOn1.wav"; }
    std::string metronomeClickOn234File() const override { return "Tumblecraft.app/metronomeOn234.wav"; }
    bool exportEvents(const std::vector<ExportEvent>&, const std::string&, double,
                      const std::function<void(float)>&, std::string*) override {
        return true;
    }
    size_t calls = 0;
};

class QuietMidiOut final : public SequencerMidiOut {
public:
    void sendClockStart() override {}
    void sendClockStop() override {}
    void sendClockTickAtTime(uint64_t) override { ++ticks; }
    size_t ticks = 0;
};

TEST(SequencerLoop, PlaysAThousandStepsWithoutAllocating) {
    MemoryPatternStore::Contents contents;
    addEvents(contents, 0, "Documents/kick.wav", {0, 2, 4, 6, 8, 10, 12, 14});
    addEvents(contents, 0, "Documents/hat.wav", {1, 3, 5, 7, 9, 11, 13, 15}, PatternEvent::kStop);
    contents.numBars[0] = 2;
    platform::ManualClock clock;
    platform::MainLoop mainLoop(clock);
    QuietEngine engine;
    QuietMidiOut midiOut;
    MemoryPatternStore store(contents);
    Sequencer sequencer(SequencerServices{engine, store, &midiOut, mainLoop, clock, LoopDriver::manual});
    sequencer.setBpm(128);
    sequencer.setSwing(0.3f);
    sequencer.setUseMetronome(true);
    sequencer.playWithPreBar(true);
    sequencer.runLoopUntil(clock.nowNanos());  // the first pass

    const uint64_t end = clock.nowNanos() + 1000 * 117'187'500ull;
    countingAllocations = true;
    while (clock.nowNanos() < end) {
        clock.advance(10'000'000);
        sequencer.runLoopUntil(clock.nowNanos());
    }
    countingAllocations = false;

    EXPECT_EQ(allocations, 0u);
    // Half the 1000 steps hold an event (the second bar is empty), a quarter a click.
    EXPECT_GE(engine.calls, 740u) << "the steps were played";
    EXPECT_GT(midiOut.ticks, 6000u);
}

}  // namespace
}  // namespace strombel::sequencer
