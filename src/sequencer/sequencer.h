#pragma once

// src/sequencer/: the pattern sequencer and its timing loop, on its own interfaces
// to the engine, the MIDI clock and the pattern store.
// May include: platform, logging.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/main_loop.h"
#include "platform/mpsc_ring.h"
#include "platform/not_found.h"
#include "platform/published.h"
#include "platform/result.h"
#include "platform/thread_role.h"
#include "platform/worker.h"
#include "sequencer/pattern_event.h"
#include "sequencer/sequencer_delegate.h"
#include "sequencer/sequencer_services.h"
#include "sequencer/step_grid.h"

namespace strombel::sequencer {

/// How the timing loop runs: on its own "Sequencer" thread sleeping on the
/// monotonic clock, or by hand through `runLoopUntil` (tests, benchmarks).
enum class LoopDriver { thread, manual };

/// What a sequencer is built on. Engine, store and main loop must outlive it.
struct SequencerServices {
    SequencerEngine& engine;
    PatternStore& store;
    SequencerMidiOut* midiOut = nullptr;  // none: no clock goes out
    platform::MainLoop& mainLoop;
    platform::Clock& clock;  // host time in nanoseconds
    LoopDriver driver = LoopDriver::thread;
};

/// Wake-up lateness of the timing thread against its deadlines, kept for the
/// benchmark: the most recent samples in nanoseconds.
struct LoopWakeStatistics {
    std::vector<int64_t> latenessNanos;
};

/// The pattern sequencer: plays the active pattern (one of twelve, 1 to 99 bars
/// of 16 steps) by scheduling each step ahead of time on the engine, sends MIDI
/// clock, or follows an outside MIDI clock. Owns tempo, swing, quantisation,
/// metronome and the switch to a pending pattern at step 0.
///
/// Threads: settings, playWithPreBar, stop, pattern changes, recording and
/// editing are called on the main loop's thread. The timing loop runs on the
/// "Sequencer" thread; the five midiClock* messages come on the MIDI action
/// thread. Observers hear everything on the main loop.
///
/// The timing loop is real-time: it takes no lock, allocates nothing, logs
/// nothing itself and never waits but in its sleep until the next pass. It reads
/// the patterns as a published plan (edits and recordings publish a new one, and
/// the switch to the pending pattern is one compare-and-swap), so no step is ever
/// skipped; it hands the main loop its notices through a ring and a main-loop
/// signal. The main loop and the MIDI action thread take over the timing state
/// from it only between two of its passes.
class Sequencer : private PatternStoreObserver {
public:
    static constexpr uint64_t kNumPatterns = 12;
    static constexpr uint64_t kStepsPerBar = 16;
    static constexpr uint64_t kMaxBars = 99;
    static constexpr uint64_t kNotFound = platform::kNotFound;
    static constexpr int32_t kStateStopped = 0;
    static constexpr int32_t kStateOwnClock = 1;
    static constexpr int32_t kStateMidiClock = 2;
    /// The loop wakes this long before a step starts to schedule the step after it.
    static constexpr uint64_t kScheduleAheadNanos = 100'000'000;

    explicit Sequencer(const SequencerServices& services);
    ~Sequencer();
    Sequencer(const Sequencer&) = delete;
    Sequencer& operator=(const Sequencer&) = delete;

    /// The program's sequencer, once installed with `setShared`.
    static Sequencer& shared();
    static void setShared(std::unique_ptr<Sequencer> sequencer);

    // Settings --------------------------------------------------------------
    int32_t bpm() const { return bpm_.load(); }
    /// Clamped to 10 ... 300.
    void setBpm(int32_t bpm);
    /// The swing amount 0.0 ... 1.0.
    float swing() const;
    /// Clamps the amount to 0.0 ... 1.0 and stores 1 + 0.4 x amount.
    void setSwing(float amount);
    /// The stored swing factor, 1.0 to 1.4.
    float swingFactor() const { return swing_.load(); }
    int32_t quantizationLevel() const { return quantizationLevel_.load(); }
    /// Levels 0 ... 4 (1, 2, 4, 8, 16 positions a bar); others are ignored.
    void setQuantizationLevel(int32_t level);
    int32_t quantizationPrecision() const { return 1 << quantizationLevel_.load(); }
    bool useMetronome() const { return useMetronome_.load(); }
    void setUseMetronome(bool use) { useMetronome_.store(use); }

    // Observers ---------------------------------------------------------------
    void addDelegate(SequencerDelegate* delegate);
    void removeDelegate(SequencerDelegate* delegate);

    // Transport -----------------------------------------------------------------
    bool isRunning() const { return state_.load() != kStateStopped; }
    int32_t currentState() const { return state_.load(); }
    /// Starts the own clock, with a bar of four count-in clicks when `preBar`.
    /// Does nothing unless stopped.
    void playWithPreBar(bool preBar);
    /// Stops; the samples already sounding are left to ring.
    void stop();
    /// The step the timing loop is on (-1 before the first; negative in the count-in).
    int32_t currentStep() const { return currentStep_.load(); }

    /// Manual driver only: runs every pass of the timing loop that is due by
    /// `hostNanos` (a pass is due 0.1 s before the step after the one it plays).
    /// The real thread runs the very same passes.
    void runLoopUntil(uint64_t hostNanos);
    /// Manual driver only: the host time at which the next pass is due, or 0 when none.
    uint64_t nextLoopWake() const;

    LoopWakeStatistics wakeStatistics() const;
    /// Passes of the timing loop that woke after the step they were to schedule
    /// ahead had begun (the lead of 0.1 s was lost), since the sequencer was made.
    uint64_t lateWakes() const { return lateWakes_.load(std::memory_order_relaxed); }
    /// Screen notices the main loop's ring could not take (should stay 0).
    uint64_t noticeOverruns() const { return noticeOverruns_.load(std::memory_order_relaxed); }
    /// Stops and takeovers that found a pass of the loop they ended under way
    /// and waited it out.
    uint64_t passesWaitedOut() const { return passesWaitedOut_.load(std::memory_order_relaxed); }

    // Patterns ------------------------------------------------------------------
    uint64_t activePatternIdx() const { return PlanReader(*this)->activeIdx; }
    uint64_t activePatternNumBars() const { return PlanReader(*this)->activeBars; }
    uint64_t pendingPatternIdx() const;
    /// Loads pattern `idx` as the one to take over at the next step 0 (kNotFound: none).
    void setPendingPatternIdx(uint64_t idx);
    /// Running: the pattern takes over at the next step 0. Stopped: at once.
    void changePatternTo(uint64_t patternIdx);
    /// A copy of the active pattern's events (for the pad screen and tests).
    PatternSteps activePatternEvents() const;

    // Recording and editing (main thread) -----------------------------------------
    /// Fills `into` with the stored events of pattern `patternIdx`, preloading their samples.
    void fetchPattern(uint64_t patternIdx, PatternSteps& into);
    /// Records a pad start (0) or stop (1) at the quantised step sounding now.
    void recordSequencerEventForSample(const std::string& path, PatternEventType type);
    /// Moves recorded events into their pattern (and the store), holding back those
    /// on the step being played and the next two.
    void addRecordedPatternStepsToPattern();
    /// How many recorded events wait to be applied.
    size_t recordedEventsWaiting() const;
    void copyPattern(uint64_t source, uint64_t toSlot);
    void erasePattern(uint64_t patternIdx);
    bool patternHasEvents(uint64_t patternIdx) const;
    /// 1 ... 99 bars for the active pattern; other values are ignored.
    void changeNumBarsTo(uint64_t numBars);
    void eraseAllEventsOfTrack(const std::string& path);
    /// Removes the given events, all of one step, from the active pattern.
    void removePatternEvents(const std::vector<PatternEventRef>& events);
    /// A sample was renamed: the events of `from` in the active and the pending
    /// pattern, and those recorded and still waiting, play `to` from now on.
    void samplePathChanged(const std::string& from, const std::string& to) override;
    /// Renders pattern `patternIdx` to a WAVE file at `toFile` on the calling thread.
    /// False when the file could not be written (writePattern says why).
    bool exportPattern(uint64_t patternIdx, const std::string& toFile, const std::function<void(float)>& progress);
    /// exportPattern saying why: the engine's Error when the file could not be
    /// written (logged here, with the pattern's number as the pads show it).
    platform::Result<void> writePattern(uint64_t patternIdx, const std::string& toFile,
                                        const std::function<void(float)>& progress);
    /// What an export of a pattern renders: its stored events as timed starts
    /// and stops (ascending by time) at the tempo and swing of now, and its length.
    struct PatternExport {
        std::vector<ExportEvent> events;
        double duration = 0;
    };
    /// The export of pattern `patternIdx`, for a renderer on another thread.
    PatternExport patternExport(uint64_t patternIdx);

    // Following an outside MIDI clock (MIDI action thread) ------------------------
    void midiClockStartReceived();
    void midiClockSongPosition(int32_t position);
    void midiClockContinueReceived();
    void midiClockStopReceived();
    void midiClockTickReceived();

    /// The bar (from 1; 0 in the count-in) and beat (1 to 4) of a step.
    static std::pair<int32_t, int32_t> barAndBeatForStep(int32_t step);

private:
    struct RecordedEvent {
        PatternEventRef event;
        uint64_t patternIdx;
    };
    // A step as it sounds: the pattern playing it, its bars, its start and end.
    struct StepStart {
        int32_t step = 0;
        uint64_t start = 0;
        uint64_t end = 0;
        uint64_t patternIdx = 0;
        uint64_t numBars = 1;
    };
    /// One loop's own pass flag. Each loop announces its passes in its own flag,
    /// so a loop of an earlier start that is still winding down cannot hide a
    /// pass of the running loop from the stop that ends it.
    struct LoopPass {
        std::atomic<bool> underWay{false};
        std::atomic<bool> finished{false};  // the loop's thread has left its loop
    };
    struct LoopThread {
        platform::Worker thread;  // woken by the end of its generation (endLoopGeneration)
        std::shared_ptr<LoopPass> loop;
    };

    /// The active and the pending pattern as the timing loop plays them. Never
    /// changed once published; a plan with a pending pattern carries the plan the
    /// loop moves to at step 0 (`afterSwitch`), so that the switch is one
    /// compare-and-swap of the published pointer.
    struct PatternPlan {
        uint64_t activeIdx = 0;
        uint64_t activeBars = 1;
        std::shared_ptr<const PatternSteps> active = std::make_shared<const PatternSteps>();
        uint64_t pendingIdx = kNotFound;
        uint64_t pendingBars = kNotFound;
        std::shared_ptr<const PatternSteps> pending;
        const PatternPlan* afterSwitch = nullptr;
    };
    /// Reads the published plan in a read section (any thread; never waits).
    class PlanReader {
    public:
        explicit PlanReader(const Sequencer& sequencer)
            : section_(sequencer.planSections_.enter()), plan_(sequencer.plan_.load(std::memory_order_seq_cst)) {}
        const PatternPlan* operator->() const { return plan_; }
        const PatternPlan& operator*() const { return *plan_; }

    private:
        platform::ReadSections::Section section_;
        const PatternPlan* plan_;
    };

    // What the timing loop and the MIDI clock tell the main loop, without
    // allocating: a ring, and a main-loop signal that wakes the loop to deliver.
    struct LoopEvent {
        enum class Kind : int32_t { barChanged, patternChanged } kind = Kind::barChanged;
        int32_t step = 0;
    };
    static constexpr size_t kLoopEvents = 1024;

    // Timing loop (sequencer_loop.cpp).
    /// Schedules everything of one step at `atTime` (host nanoseconds); true when
    /// it switched to the pending pattern.
    bool scheduleStep(int32_t step, uint64_t atTime);
    void pushLoopEvent(LoopEvent::Kind kind, int32_t step);
    void deliverLoopEvents();
    void loopBegin();
    uint64_t loopPass();
    /// Runs `work` as a pass of `loop`, the loop of `generation`; false (nothing
    /// run) when that loop has been ended or taken over.
    template <class Work>
    bool inPass(LoopPass& loop, uint64_t generation, Work&& work);
    /// Main loop and MIDI action thread: ends the running loop's generation and
    /// returns once none of its passes runs any more (holding controlMutex_).
    void endLoopGeneration();
    void threadMain(uint64_t generation, std::shared_ptr<LoopPass> loop);
    bool loopAlive(uint64_t generation) const;
    void sleepUntil(uint64_t deadline, uint64_t generation);
    void recordWake(int64_t latenessNanos);
    void sendStepTicks(uint64_t start, uint64_t end);
    void publishStep(int32_t step, uint64_t start, uint64_t end, uint64_t patternIdx, uint64_t numBars);
    void forgetPublishedSteps();

    // Main-loop delivery.
    void onMain(std::function<void()> work);
    void notifyStarted();
    void notifyStopped();
    /// After a stop: stores the events still held back (on the main loop) and tells observers.
    void finishStopping();
    void notifyActivePatternChanged();
    void deliver(const std::function<void(SequencerDelegate&)>& message);

    // Patterns (patterns.cpp).
    /// Main loop: builds a new plan from the published one with `change` (which
    /// answers whether to publish it) and publishes it; builds it again from the
    /// newer plan when the timing loop switched patterns meanwhile. Frees plans
    /// no thread can still read.
    void changePlan(const std::function<bool(PatternPlan&)>& change);
    /// A pattern as the loop plays it: its stored events (their samples preloaded)
    /// and its stored bar count, held to 1..kMaxBars.
    struct LoadedPattern {
        std::shared_ptr<const PatternSteps> steps;
        uint64_t bars = 1;
    };
    LoadedPattern loadPattern(uint64_t patternIdx);
    /// The stored bar count of a pattern, held to 1..kMaxBars.
    uint64_t storedBars(uint64_t patternIdx);
    /// Loads pattern `patternIdx` as the pending one (it takes over at step 0).
    void makePending(uint64_t patternIdx);
    void applyRecordedEvents(bool all);
    void applyRecordedEvent(const RecordedEvent& recorded);
    StepStart soundingStep(uint64_t now) const;
    void reapFinishedThreads(bool all);
    void logCountersThatChanged();

    SequencerEngine& engine_;
    PatternStore& store_;
    SequencerMidiOut* midiOut_;
    platform::MainLoop& mainLoop_;
    platform::Clock& clock_;
    const LoopDriver driver_;
    const std::string metronomeClickOn1File_;
    const std::string metronomeClickOn234File_;
    std::shared_ptr<int> lifeToken_ = std::make_shared<int>(0);

    std::vector<SequencerDelegate*> delegates_;

    // Settings, read by every thread.
    std::atomic<int32_t> state_{kStateStopped};
    std::atomic<int32_t> bpm_{128};
    std::atomic<float> swing_{1.0f};
    std::atomic<int32_t> quantizationLevel_{4};
    std::atomic<bool> useMetronome_{false};

    // The published plan; the main loop owns every plan it made until no reader
    // can hold it.
    mutable platform::ReadSections planSections_;
    std::atomic<const PatternPlan*> plan_{nullptr};
    std::vector<std::unique_ptr<PatternPlan>> plans_;

    // Main thread only.
    std::vector<RecordedEvent> recordedButNotYetAppliedPatternEvents_;
    std::map<std::string, RecordedEvent> lastRecordedStart_;  // per sample, until its release
    std::array<int64_t, kNumPatterns> numEventsPerPattern_{};
    std::atomic<size_t> recordedWaiting_{0};
    std::atomic<bool> applyWanted_{false};
    platform::MpscRing<LoopEvent> loopEvents_{kLoopEvents};  // the timing loop or the MIDI clock -> main loop
    platform::MainLoop::SignalId noticeSignal_ = 0;
    std::atomic<uint64_t> noticeOverruns_{0};
    std::atomic<uint64_t> lateWakes_{0};
    std::atomic<double> lastLateness_{0.0}, lastLateStep_{0.0};
    uint64_t loggedLateWakes_ = 0, loggedNoticeOverruns_ = 0;  // main loop

    // Timing state. The running loop owns it during its passes; the main loop
    // and the MIDI action thread change it under controlMutex_, and only after
    // `endLoopGeneration` (no pass runs) or while following MIDI clock. A loop
    // runs only while `generation_` is the one it was started with, and tells
    // its passes in its own LoopPass; `runningLoop_` (under controlMutex_) is
    // the loop of the current generation, the only one whose pass can be under
    // way, until its generation ends.
    mutable std::mutex controlMutex_;
    std::atomic<uint64_t> generation_{1};
    std::shared_ptr<LoopPass> runningLoop_;
    std::atomic<uint64_t> passesWaitedOut_{0};
    std::atomic<bool> keepSequencerLoopAlive_{false};
    std::atomic<int32_t> currentStep_{-1};
    uint64_t currentStepHostTimeNanos_ = 0;
    uint64_t nextStepHostTimeNanos_ = 0;
    StepGrid grid_;
    int32_t currentMidiStep_ = -1;
    uint64_t midiSubStepsStartHostTimeNanos_ = 0;
    uint32_t midiTicksSinceStepStart_ = 0;

    // The steps as they sound, for recording on the main loop: written by whoever
    // drives the steps, read under a sequence count (a reader retries when a write
    // came between).
    struct PublishedStep {
        std::atomic<int32_t> step{0};
        std::atomic<uint64_t> start{0}, end{0}, patternIdx{0}, numBars{1};
    };
    std::array<PublishedStep, 16> recentSteps_;
    std::atomic<uint64_t> recentStepsWritten_{0};  // steps ever published (the next slot)
    std::atomic<uint64_t> recentStepsFirst_{0};    // the first of them that still counts
    std::atomic<uint64_t> recentStepsSequence_{0}; // odd while a write is under way

    // Manual driver.
    const std::shared_ptr<LoopPass> manualLoop_ = std::make_shared<LoopPass>();
    bool manualBegun_ = false;
    std::atomic<uint64_t> manualWake_{0};

    // Threads of loops started so far (ended ones are joined at the next start).
    std::mutex threadsMutex_;
    std::vector<LoopThread> loopThreads_;

    static constexpr size_t kWakeSamples = 8192;
    std::array<std::atomic<int64_t>, kWakeSamples> wakeLateness_{};
    std::atomic<uint64_t> wakesRecorded_{0};
};

}  // namespace strombel::sequencer
