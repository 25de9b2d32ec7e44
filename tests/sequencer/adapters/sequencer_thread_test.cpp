// The timing loop on its real "Sequencer" thread, sleeping on the system clock.
// No timing is asserted here, only the order of what reaches the engine.

#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string_view>
#include <thread>

#include "engine/engine_test_support.h"
#include "engine/in_memory_sound_library.h"
#include "engine/sound_box.h"
#include "logging/log_core.h"
#include "platform/devices/null_audio_device.h"
#include "platform/sandbox.h"
#include "sequencer/adapters/sound_box_adapter.h"
#include "sequencer/sequencer.h"
#include "support/sequencer_fakes.h"
#include "support/temp_dir.h"

namespace strombel::sequencer {
namespace {

using testing::addEvents;
using testing::MemoryPatternStore;
using testing::RecordingEngine;

std::string stepPath(uint64_t step) { return "Documents/step" + std::to_string(step) + ".wav"; }

/// Pumps `mainLoop` on this thread until `done()` answers true, or a generous
/// limit passes; the caller's assertions tell what did not happen.
void pumpUntil(platform::MainLoop& mainLoop, const std::function<bool()>& done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done() && std::chrono::steady_clock::now() < limit) {
        mainLoop.runPending();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    mainLoop.runPending();
}

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
        pumpUntil(mainLoop, [&] { return engine.calls(RecordingEngine::Kind::start).size() >= count; });
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

/// Threads of this process named "Sequencer" (the timing loops still running).
size_t loopThreadsRunning() {
    size_t count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string name;
        std::ifstream(task.path() / "comm") >> name;
        count += name == "Sequencer" ? 1 : 0;
    }
    return count;
}

bool onLoopThread() {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return std::string_view(name) == "Sequencer";
}

/// A clock standing still, which can hold the next timing loop that reads it
/// until the test lets it go.
class HoldingClock final : public platform::Clock {
public:
    uint64_t nowNanos() const override {
        if (onLoopThread()) {
            std::unique_lock lock(mutex_);
            if (armed_) {
                armed_ = false;
                held_ = true;
                changed_.notify_all();
                changed_.wait(lock, [&] { return !held_; });
            }
        }
        return kNow;
    }
    void holdNextLoop() {
        std::lock_guard lock(mutex_);
        armed_ = true;
    }
    void waitUntilHeld() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return held_; });
    }
    void letGo() {
        std::lock_guard lock(mutex_);
        held_ = false;
        changed_.notify_all();
    }

private:
    static constexpr uint64_t kNow = 1'000'000'000;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    mutable bool armed_ = false, held_ = false;
};

/// MIDI out that holds the next loop to send a clock start (the first thing of
/// its first pass) inside that pass until `letGo` answers true, and counts the
/// clock starts of other loops that arrive meanwhile.
class HoldingMidiOut final : public SequencerMidiOut {
public:
    void sendClockStart() override {
        std::unique_lock lock(mutex_);
        starts_ += 1;
        if (holding_) {
            startsWhileHolding_ += 1;
        } else if (letGo_) {
            holding_ = true;
            changed_.notify_all();
            const std::function<bool()> letGo = letGo_;
            lock.unlock();
            while (!letGo()) std::this_thread::yield();
            lock.lock();
            letGo_ = nullptr;
            holding_ = false;
        }
        changed_.notify_all();
    }
    void sendClockStop() override {}
    void sendClockTickAtTime(uint64_t) override {}

    void holdNextStart(std::function<bool()> letGo) {
        std::lock_guard lock(mutex_);
        letGo_ = std::move(letGo);
    }
    void waitForStarts(int count) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return starts_ >= count && (holding_ || !letGo_); });
    }
    int startsWhileHolding() {
        std::lock_guard lock(mutex_);
        return startsWhileHolding_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::function<bool()> letGo_;
    bool holding_ = false;
    int starts_ = 0, startsWhileHolding_ = 0;
};

// A loop of an earlier start that sees its stop only after the next loop has
// begun a pass must not hide that pass from the stop that ends the new loop:
// the stop waits it out, and the start after it begins no loop beside it.
TEST(SequencerThread, AStopWaitsOutThePassOfTheLoopItEndsWhileAnOlderLoopWindsDown) {
    HoldingClock clock;
    platform::ManualClock engineClock;
    platform::MainLoop mainLoop(platform::SystemClock::shared());
    RecordingEngine engine(engineClock);
    HoldingMidiOut midiOut;
    MemoryPatternStore store(ThreadBench::everyStepOwnSample());
    Sequencer sequencer(SequencerServices{engine, store, &midiOut, mainLoop, clock, LoopDriver::thread});
    sequencer.setBpm(60);

    sequencer.playWithPreBar(false);
    pumpUntil(mainLoop, [&] { return engine.calls(RecordingEngine::Kind::start).size() >= 2; });
    ASSERT_GE(engine.calls(RecordingEngine::Kind::start).size(), 2u) << "the first loop played its first pass";
    clock.holdNextLoop();  // the first loop, between two passes
    clock.waitUntilHeld();
    sequencer.stop();

    midiOut.holdNextStart([&] { return sequencer.passesWaitedOut() > 0 || midiOut.startsWhileHolding() > 0; });
    sequencer.playWithPreBar(false);
    midiOut.waitForStarts(2);  // the second loop is inside its first pass
    clock.letGo();             // the first loop sees its stop and ends
    pumpUntil(mainLoop, [] { return loopThreadsRunning() == 1; });
    ASSERT_EQ(loopThreadsRunning(), 1u);

    sequencer.stop();
    EXPECT_EQ(sequencer.passesWaitedOut(), 1u) << "the stop waited out the second loop's pass";
    sequencer.playWithPreBar(false);
    midiOut.waitForStarts(3);
    sequencer.stop();
    EXPECT_EQ(midiOut.startsWhileHolding(), 0) << "a loop began while the one before it was inside a pass";
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

/// What the pad screen does when the sequencer stops: it stops the sequencer's
/// tracks in the engine, which also drops the steps queued ahead.
class PadScreenStop final : public SequencerDelegate {
public:
    explicit PadScreenStop(engine::SoundBox& soundBox) : soundBox_(soundBox) {}
    void sequencerStopped() override { soundBox_.stopAllTracksIncludeTapPadTriggered(false); }

private:
    engine::SoundBox& soundBox_;
};

// The program's wiring on a machine without a sound card: the engine plays to the
// null device, whose own thread asks for buffers at real-time pace; the sequencer
// queues its steps on the engine through the engine adapter; the engine's
// messages come on the main loop, pumped here on the system clock.
struct NullDeviceBench {
    /// Each pattern sample sounds far longer than the test plays, so that at the
    /// stop every one of them is still sounding.
    static constexpr size_t kLongFrames = 8 * 44100;
    static constexpr const char* kLater = "Documents/later.wav";

    explicit NullDeviceBench(MemoryPatternStore::Contents contents) : store(std::move(contents)) {
        std::vector<engine::LibrarySample> samples;
        for (const char* path : {testing::kKick, testing::kSnare, testing::kHat, kLater}) {
            engine::testing::writeWave(sandbox.absolutePath(path), engine::testing::constantMono(kLongFrames, 1000));
            samples.push_back(engine::LibrarySample{path, path, 1.0f});
        }
        library.setSamples(samples);
        soundBox = std::make_unique<engine::SoundBox>(std::make_unique<platform::NullAudioDevice>(), sandbox,
                                                      mainLoop, &library);
        soundBox->addDelegate(&heard);
        adapter = std::make_unique<SoundBoxSequencerEngine>(*soundBox);
        padScreen = std::make_unique<PadScreenStop>(*soundBox);
        sequencer = std::make_unique<Sequencer>(SequencerServices{*adapter, store, nullptr, mainLoop,
                                                                  platform::SystemClock::shared(), LoopDriver::thread});
        sequencer->addDelegate(padScreen.get());
        soundBox->preloadTrack(kLater);
        soundBox->waitForPreloads();  // also the pattern's, which the sequencer preloaded as it fetched it
    }

    size_t heardCount(const std::string& prefix) const {
        return static_cast<size_t>(std::count_if(heard.log.begin(), heard.log.end(),
                                                 [&](const std::string& entry) { return entry.starts_with(prefix); }));
    }

    ::strombel::testing::TempDir dir;
    platform::Sandbox sandbox{dir.path(), dir.path() / "Tumblecraft.app"};
    platform::MainLoop mainLoop{platform::SystemClock::shared()};
    engine::InMemorySoundLibrary library;
    std::unique_ptr<engine::SoundBox> soundBox;
    std::unique_ptr<SoundBoxSequencerEngine> adapter;
    std::unique_ptr<PadScreenStop> padScreen;
    MemoryPatternStore store;
    std::unique_ptr<Sequencer> sequencer;
    engine::testing::RecordingDelegate heard;  // what the engine told its observers
};

TEST(SequencerThread, TheEngineOnTheNullDeviceStartsThePatternInStepOrderAndStopEndsIt) {
    using testing::kHat;
    using testing::kKick;
    using testing::kSnare;
    // Two events are never closer than two steps: only a stall of the timing thread
    // longer than the 0.1 s it queues ahead plus three steps (0.29 s in all) could
    // put two of them into one buffer, whose starts the engine reports in an order
    // of its own.
    MemoryPatternStore::Contents contents;
    addEvents(contents, 0, kKick, {0, 8});
    addEvents(contents, 0, kSnare, {4});
    addEvents(contents, 0, kHat, {6, 12});
    const std::vector<std::string> bar{kKick, kSnare, kHat, kKick, kHat};  // steps 0, 4, 6, 8, 12
    NullDeviceBench bench(contents);
    bench.sequencer->setBpm(240);
    bench.sequencer->playWithPreBar(false);
    // Into the third bar: the pattern wraps around twice.
    const size_t played = 2 * bar.size() + 2;
    pumpUntil(bench.mainLoop, [&] { return bench.heardCount("started ") >= played; });
    bench.sequencer->stop();
    // Every pattern sample still sounds; each is told stopped once the engine has stopped it.
    pumpUntil(bench.mainLoop, [&] { return bench.heardCount("stopped ") >= 3; });
    EXPECT_TRUE(bench.soundBox->isNothingPlaying());
    // A start queued further ahead than the timing loop ever queues (0.1 s and a
    // step): every step the loop queued before the stop would come before it.
    ASSERT_TRUE(bench.adapter->startTrackFromSequencer(
        NullDeviceBench::kLater, platform::SystemClock::shared().nowNanos() + platform::kNanosPerSecond / 2));
    pumpUntil(bench.mainLoop, [&] { return bench.heardCount("started " + std::string(NullDeviceBench::kLater)) > 0; });

    // Heard: the pattern's starts in step order from step 0, then the three stops,
    // then the later start, and nothing else.
    const std::vector<std::string> log = bench.heard.log;
    const auto firstStop =
        std::find_if(log.begin(), log.end(), [](const std::string& entry) { return entry.starts_with("stopped "); });
    const size_t starts = static_cast<size_t>(firstStop - log.begin());
    ASSERT_GE(starts, played);
    for (size_t i = 0; i < starts; ++i) {
        EXPECT_EQ(log[i], "started " + bar[i % bar.size()]) << "message " << i;
    }
    std::vector<std::string> afterStop(firstStop, log.end());
    ASSERT_FALSE(afterStop.empty());
    std::sort(afterStop.begin(), afterStop.end() - 1);
    EXPECT_EQ(afterStop, (std::vector<std::string>{"stopped " + std::string(kHat), "stopped " + std::string(kKick),
                                                   "stopped " + std::string(kSnare),
                                                   "started " + std::string(NullDeviceBench::kLater)}));
}

}  // namespace
}  // namespace strombel::sequencer

namespace strombel::sequencer {
namespace {

// A stand-in logger that keeps the lines it is given.
class LineLogger : public logging::AbstractLogger {
public:
    LineLogger() : AbstractLogger("test.lines") {}
    void logMessage(const logging::LogMessage& message) override {
        std::lock_guard lock(mutex_);
        lines_.push_back(message.logMsg());
    }
    size_t count(const std::string& part) const {
        std::lock_guard lock(mutex_);
        return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& line) {
            return line.find(part) != std::string::npos;
        }));
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

TEST(SequencerThread, WakesAfterTheLeadAreCountedAndToldOnceFromTheMainLoop) {
    // The timing thread on a clock the test moves: a jump of two seconds leaves
    // it behind its steps, as a machine that stalled it would.
    platform::ManualClock clock(5'000'000'000);
    platform::MainLoop mainLoop(clock);
    RecordingEngine engine(clock);
    MemoryPatternStore store(ThreadBench::everyStepOwnSample());
    auto logger = std::make_shared<LineLogger>();
    logging::setLogLevel(logging::LogFlagError | logging::LogFlagWarning);
    logging::Log::addLogger(logger);
    {
        Sequencer sequencer(SequencerServices{engine, store, nullptr, mainLoop, clock, LoopDriver::thread});
        sequencer.setBpm(120);
        sequencer.playWithPreBar(false);
        pumpUntil(mainLoop, [&] { return !engine.calls(RecordingEngine::Kind::start).empty(); });
        EXPECT_EQ(sequencer.lateWakes(), 0u);
        clock.advance(2'000'000'000);
        pumpUntil(mainLoop, [&] { return sequencer.lateWakes() > 0; });
        sequencer.stop();
        pumpUntil(mainLoop, [] { return true; });
        EXPECT_GT(sequencer.lateWakes(), 0u);
        EXPECT_EQ(sequencer.noticeOverruns(), 0u);
        logging::Log::flushLog();
        const size_t told = logger->count("WARNING: sequencer loop is lagging");
        EXPECT_GE(told, 1u);
        EXPECT_LE(told, sequencer.lateWakes()) << "told at most once per change";
        mainLoop.raise(0);  // the main loop delivers again with nothing new: nothing more is told
        pumpUntil(mainLoop, [] { return true; });
        logging::Log::flushLog();
        EXPECT_EQ(logger->count("WARNING: sequencer loop is lagging"), told);
    }
    logging::Log::removeAllLoggers();
    logging::Log::flushLog();
    logging::setLogLevel(0);
}

}  // namespace
}  // namespace strombel::sequencer
