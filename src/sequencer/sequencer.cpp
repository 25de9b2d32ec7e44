#include "sequencer/sequencer.h"

#include <algorithm>
#include <utility>

#include "logging/log.h"

namespace strombel::sequencer {

namespace {

std::unique_ptr<Sequencer>& sharedSlot() {
    static std::unique_ptr<Sequencer> slot;
    return slot;
}

}  // namespace

Sequencer::Sequencer(const SequencerServices& services)
    : engine_(services.engine),
      store_(services.store),
      midiOut_(services.midiOut),
      mainLoop_(services.mainLoop),
      clock_(services.clock),
      driver_(services.driver),
      metronomeClickOn1File_(services.engine.metronomeClickOn1File()),
      metronomeClickOn234File_(services.engine.metronomeClickOn234File()) {
    recordedButNotYetAppliedPatternEvents_.reserve(5);
    delegates_.reserve(2);
    auto first = std::make_unique<PatternPlan>();
    LoadedPattern pattern = loadPattern(0);
    first->active = std::move(pattern.steps);
    first->activeBars = pattern.bars;
    plan_.store(first.get());
    plans_.push_back(std::move(first));
    for (uint64_t pattern = 1; pattern < kNumPatterns; ++pattern) {
        numEventsPerPattern_[pattern] =
            static_cast<int64_t>(store_.sequencerEventsForPattern(pattern).size());
    }
    noticeSignal_ = mainLoop_.addSignal([this] { deliverLoopEvents(); });
    store_.setObserver(this);
}

Sequencer::~Sequencer() {
    store_.setObserver(nullptr);
    {
        std::lock_guard lock(controlMutex_);
        endLoopGeneration();
        state_.store(kStateStopped);
    }
    reapFinishedThreads(true);
    mainLoop_.removeSignal(noticeSignal_);
}

Sequencer& Sequencer::shared() {
    auto& slot = sharedSlot();
    if (!slot) {
        STROMBEL_LOG_ERROR("the sequencer was used before the program installed it");
        std::abort();
    }
    return *slot;
}

void Sequencer::setShared(std::unique_ptr<Sequencer> sequencer) { sharedSlot() = std::move(sequencer); }

// Settings -------------------------------------------------------------------------

void Sequencer::setBpm(int32_t bpm) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    bpm_.store(std::clamp(bpm, 10, 300));
}

float Sequencer::swing() const { return (swing_.load() - 1.0f) / 0.4f; }

void Sequencer::setSwing(float amount) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (!(amount >= 0.0f)) {  // also NaN
        amount = 0.0f;
    }
    amount = std::min(amount, 1.0f);
    swing_.store(1.0f + 0.4f * amount);
}

void Sequencer::setQuantizationLevel(int32_t level) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (static_cast<uint32_t>(level) > 4) {
        return;
    }
    quantizationLevel_.store(level);
}

// Observers -------------------------------------------------------------------------

void Sequencer::addDelegate(SequencerDelegate* delegate) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (delegate && std::find(delegates_.begin(), delegates_.end(), delegate) == delegates_.end()) {
        delegates_.push_back(delegate);
    }
}

void Sequencer::removeDelegate(SequencerDelegate* delegate) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    delegates_.erase(std::remove(delegates_.begin(), delegates_.end(), delegate), delegates_.end());
}

void Sequencer::deliver(const std::function<void(SequencerDelegate&)>& message) {
    const std::vector<SequencerDelegate*> snapshot = delegates_;
    for (SequencerDelegate* delegate : snapshot) {
        // An observer removed by an earlier one in this round hears nothing more.
        if (std::find(delegates_.begin(), delegates_.end(), delegate) != delegates_.end()) {
            message(*delegate);
        }
    }
}

void Sequencer::onMain(std::function<void()> work) {
    std::weak_ptr<int> alive = lifeToken_;
    mainLoop_.post([alive = std::move(alive), work = std::move(work)] {
        if (alive.lock()) {
            work();
        }
    });
}

void Sequencer::notifyStarted() {
    if (mainLoop_.isMainThread()) {
        deliver([](SequencerDelegate& delegate) { delegate.sequencerStarted(); });
    } else {
        onMain([this] { deliver([](SequencerDelegate& delegate) { delegate.sequencerStarted(); }); });
    }
}

void Sequencer::notifyStopped() {
    if (mainLoop_.isMainThread()) {
        deliver([](SequencerDelegate& delegate) { delegate.sequencerStopped(); });
    } else {
        onMain([this] { deliver([](SequencerDelegate& delegate) { delegate.sequencerStopped(); }); });
    }
}

void Sequencer::notifyActivePatternChanged() {
    if (mainLoop_.isMainThread()) {
        deliver([](SequencerDelegate& delegate) { delegate.activePatternChanged(); });
    } else {
        onMain([this] { deliver([](SequencerDelegate& delegate) { delegate.activePatternChanged(); }); });
    }
}

void Sequencer::pushLoopEvent(LoopEvent::Kind kind, int32_t step) {
    // The ring holds minutes of notices: only a main loop stalled that long loses
    // one (counted), and the music never waits for it.
    if (!loopEvents_.push(LoopEvent{kind, step})) {
        noticeOverruns_.fetch_add(1, std::memory_order_relaxed);
    }
    mainLoop_.raise(noticeSignal_);
}

void Sequencer::deliverLoopEvents() {
    loopEvents_.drain([this](LoopEvent event) {
        if (event.kind == LoopEvent::Kind::patternChanged) {
            deliver([](SequencerDelegate& delegate) { delegate.activePatternChanged(); });
        } else {
            const auto [bar, beat] = barAndBeatForStep(event.step);
            deliver([bar = bar, beat = beat](SequencerDelegate& delegate) { delegate.currentBarChanged(bar, beat); });
        }
    });
    if (applyWanted_.exchange(false)) {
        addRecordedPatternStepsToPattern();
    }
    logCountersThatChanged();
}

void Sequencer::logCountersThatChanged() {
    // The timing loop only counts; each change is told once, here.
    if (const uint64_t late = lateWakes_.load(); late != loggedLateWakes_) {
        STROMBEL_LOG_WARN("WARNING: sequencer loop is lagging {:.6f} sec - step: {:.6f}", lastLateness_.load(),
                          lastLateStep_.load());
        loggedLateWakes_ = late;
    }
    if (const uint64_t lost = noticeOverruns_.load(); lost != loggedNoticeOverruns_) {
        STROMBEL_LOG_WARN("{} sequencer notices for the screen were lost: the main loop did not take them",
                          lost - loggedNoticeOverruns_);
        loggedNoticeOverruns_ = lost;
    }
}

std::pair<int32_t, int32_t> Sequencer::barAndBeatForStep(int32_t step) {
    if (step >= 0) {
        return {step / 16 + 1, (step % 16) / 4 + 1};
    }
    return {0, (step + 16) / 4 + 1};
}

// Transport --------------------------------------------------------------------------

void Sequencer::playWithPreBar(bool preBar) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    uint64_t generation = 0;
    std::shared_ptr<LoopPass> loop;
    {
        std::lock_guard lock(controlMutex_);
        if (state_.load() != kStateStopped) {
            return;
        }
        // A loop of an earlier start that has not yet seen its stop ends here:
        // only the loop of the newest generation runs.
        endLoopGeneration();
        currentStep_.store(preBar ? -18 : -1);
        state_.store(kStateOwnClock);
        generation = generation_.load();
        manualBegun_ = false;
        manualWake_.store(clock_.nowNanos());  // the loop's first pass is due at once
        // The new loop is the one the next stop waits for, from before its
        // first pass can begin.
        runningLoop_ = driver_ == LoopDriver::thread ? std::make_shared<LoopPass>() : manualLoop_;
        loop = runningLoop_;
        keepSequencerLoopAlive_.store(true);
    }
    lastRecordedStart_.clear();
    if (driver_ == LoopDriver::thread) {
        reapFinishedThreads(false);
        std::lock_guard lock(threadsMutex_);
        // Under the audio thread, above MIDI and the hub (the program's one policy).
        loopThreads_.push_back(LoopThread{
            platform::Worker(
                "Sequencer", [this, generation, loop] { threadMain(generation, loop); }, {},
                platform::RealTimeRole::Sequencer),
            loop});
    }
    notifyStarted();
}

void Sequencer::stop() {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    int32_t previous = kStateStopped;
    {
        std::lock_guard lock(controlMutex_);
        previous = state_.load();
        if (previous == kStateStopped) {
            return;
        }
        state_.store(kStateStopped);
        // The loop plays no step after this returns.
        endLoopGeneration();
    }
    if (previous == kStateOwnClock && midiOut_) {
        midiOut_->sendClockStop();
    }
    finishStopping();
}

void Sequencer::finishStopping() {
    // Events still held back belong to the pattern just played: store them now.
    auto finish = [this] {
        applyRecordedEvents(true);
        store_.save();
    };
    if (mainLoop_.isMainThread()) {
        finish();
    } else {
        onMain(finish);
    }
    notifyStopped();
}

void Sequencer::reapFinishedThreads(bool all) {
    std::vector<LoopThread> ending;
    {
        std::lock_guard lock(threadsMutex_);
        auto keep = loopThreads_.begin();
        for (auto& entry : loopThreads_) {
            if (all || entry.loop->finished.load()) {
                ending.push_back(std::move(entry));
            } else {
                if (&*keep != &entry) {
                    *keep = std::move(entry);
                }
                ++keep;
            }
        }
        loopThreads_.erase(keep, loopThreads_.end());
    }
    for (auto& entry : ending) {
        entry.thread.join();
    }
}

// Patterns ------------------------------------------------------------------------------

uint64_t Sequencer::pendingPatternIdx() const { return PlanReader(*this)->pendingIdx; }

void Sequencer::setPendingPatternIdx(uint64_t idx) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    // A pending pattern always comes with its events and bars: a bare index would
    // switch to whatever the pending slot last held, with no bar count.
    if (idx >= kNumPatterns) {
        changePlan([](PatternPlan& plan) {
            plan.pendingIdx = kNotFound;
            plan.pendingBars = kNotFound;
            plan.pending.reset();
            return true;
        });
        return;
    }
    makePending(idx);
}

void Sequencer::makePending(uint64_t patternIdx) {
    const LoadedPattern pending = loadPattern(patternIdx);
    changePlan([&](PatternPlan& plan) {
        plan.pending = pending.steps;
        plan.pendingBars = pending.bars;
        plan.pendingIdx = patternIdx;
        return true;
    });
}

PatternSteps Sequencer::activePatternEvents() const { return *PlanReader(*this)->active; }

void Sequencer::changePatternTo(uint64_t patternIdx) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (patternIdx >= kNumPatterns) {
        STROMBEL_LOG_ERROR("no such pattern: {}", patternIdx);
        return;
    }
    if (isRunning()) {
        makePending(patternIdx);
        notifyActivePatternChanged();
        return;
    }
    // Recorded events still waiting go into the pattern they were recorded in.
    applyRecordedEvents(true);
    const LoadedPattern active = loadPattern(patternIdx);
    changePlan([&](PatternPlan& plan) {
        plan.active = active.steps;
        plan.activeBars = active.bars;
        plan.activeIdx = patternIdx;
        return true;
    });
    notifyActivePatternChanged();
}

// Following an outside MIDI clock ----------------------------------------------------------

void Sequencer::midiClockStartReceived() {
    STROMBEL_EXPECT_THREAD(kMidiActionThread);
    {
        std::lock_guard lock(controlMutex_);
        // Ends an own-clock loop, also one whose thread is only starting, and
        // waits out a pass of it under way before taking over the timing state.
        endLoopGeneration();
        state_.store(kStateMidiClock);
        currentStep_.store(-1);
        currentMidiStep_ = -1;
        midiSubStepsStartHostTimeNanos_ = 0;
        midiTicksSinceStepStart_ = 0;
        forgetPublishedSteps();
        scheduleStep(0, 0);
    }
    notifyStarted();
}

void Sequencer::midiClockSongPosition(int32_t position) {
    STROMBEL_EXPECT_THREAD(kMidiActionThread);
    std::lock_guard lock(controlMutex_);
    if (state_.load() != kStateStopped) {
        return;
    }
    const int64_t ticks = static_cast<int64_t>(kStepsPerBar) * 6 * static_cast<int64_t>(activePatternNumBars());
    int64_t tick = (static_cast<int64_t>(position) * 6) % ticks;
    if (tick < 0) {
        tick += ticks;
    }
    currentMidiStep_ = static_cast<int32_t>(tick);
    currentStep_.store(static_cast<int32_t>(tick / 6));
}

void Sequencer::midiClockContinueReceived() {
    STROMBEL_EXPECT_THREAD(kMidiActionThread);
    {
        std::lock_guard lock(controlMutex_);
        if (state_.load() != kStateStopped) {
            return;
        }
        endLoopGeneration();
        state_.store(kStateMidiClock);
        const uint64_t now = clock_.nowNanos();
        if (currentMidiStep_ < 0) {
            currentStep_.store(0);  // never positioned: continue from the top
        }
        // The continue itself is the time base until the next step start, so the
        // first step scheduled after it is one tick ahead, not far in the future.
        midiSubStepsStartHostTimeNanos_ = now;
        midiTicksSinceStepStart_ = 0;
        currentStepHostTimeNanos_ = now;
        forgetPublishedSteps();
        const int32_t step = currentStep_.load();
        {
            PlanReader plan(*this);
            publishStep(step, now, now + static_cast<uint64_t>(StepGrid::stepSeconds(bpm_.load()) * 1e9),
                        plan->activeIdx, plan->activeBars);
        }
        scheduleStep(step, 0);
    }
    notifyStarted();
}

void Sequencer::midiClockStopReceived() {
    STROMBEL_EXPECT_THREAD(kMidiActionThread);
    {
        std::lock_guard lock(controlMutex_);
        if (state_.load() != kStateMidiClock) {
            return;
        }
        state_.store(kStateStopped);
    }
    engine_.stopAllTracksIncludeTapPadTriggered(false);
    finishStopping();
}

void Sequencer::midiClockTickReceived() {
    STROMBEL_EXPECT_THREAD(kMidiActionThread);
    std::lock_guard lock(controlMutex_);
    if (state_.load() != kStateMidiClock) {
        return;
    }
    {
        const uint64_t now = clock_.nowNanos();
        uint64_t patternIdx = 0, bars = 1;
        {
            PlanReader plan(*this);
            patternIdx = plan->activeIdx;
            bars = plan->activeBars;
        }
        const int64_t ticksPerPattern = static_cast<int64_t>(kStepsPerBar * 6 * bars);
        int64_t tick = static_cast<int64_t>(currentMidiStep_) + 1;
        ++midiTicksSinceStepStart_;
        if (tick >= ticksPerPattern) {
            tick = 0;
        }
        currentMidiStep_ = static_cast<int32_t>(tick);
        if (tick % 6 == 0) {
            const int32_t step = static_cast<int32_t>(tick / 6);
            currentStep_.store(step);
            const uint64_t previous = midiSubStepsStartHostTimeNanos_;
            const uint64_t estimate = previous != 0 && now > previous
                                          ? now - previous
                                          : static_cast<uint64_t>(StepGrid::stepSeconds(bpm_.load()) * 1e9);
            midiSubStepsStartHostTimeNanos_ = now;
            midiTicksSinceStepStart_ = 0;
            currentStepHostTimeNanos_ = now;
            nextStepHostTimeNanos_ = now + estimate;
            publishStep(step, now, now + estimate, patternIdx, bars);
            if ((step & 3) == 0) {
                pushLoopEvent(LoopEvent::Kind::barChanged, step);
            }
        }
        if (tick % 6 == 5) {
            int32_t next = static_cast<int32_t>((tick + 1) / 6);
            if (static_cast<uint64_t>(next) >= kStepsPerBar * bars) {
                next = 0;
            }
            const uint64_t base = midiSubStepsStartHostTimeNanos_;
            uint64_t time = now;
            if (base != 0 && now > base && midiTicksSinceStepStart_ > 0) {
                time = now + (now - base) / midiTicksSinceStepStart_;
                const float swing = swing_.load();
                if (swing > 1.0f && currentStep_.load() % 2 == 0) {
                    time = base + static_cast<uint64_t>(static_cast<double>(swing) * static_cast<double>(time - base));
                }
            }
            if (scheduleStep(next, time)) {
                currentMidiStep_ = -1;
            }
        }
    }
}

}  // namespace strombel::sequencer
