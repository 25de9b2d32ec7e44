// The sequencer's timing loop: the real-time region of the sequencer.
//
// Runs on the "Sequencer" thread (or by hand through runLoopUntil). Each pass
// plays one step: it works out the host time of the following step from the
// tempo and swing, queues that step's starts and stops on the engine, sends the
// MIDI clock ticks of the current step, and sleeps until 0.1 s before the
// following step begins. A pass runs inside a platform::RealtimeScope: it takes
// no lock, allocates nothing, touches no file and logs nothing itself; the
// patterns are read from the published plan, notices go to the main loop through
// a ring. Only the sleep between passes waits.

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "logging/log.h"
#include "logging/realtime_log.h"
#include "platform/host_time.h"
#include "platform/realtime.h"
#include "platform/thread_priority.h"
#include "sequencer/sequencer.h"

namespace strombel::sequencer {

namespace {

// Longest single sleep: a stopped loop notices its stop at least this often.
constexpr uint64_t kSleepSliceNanos = 20'000'000;

void sleepUntilMonotonic(uint64_t deadline) {
    timespec when{};
    when.tv_sec = static_cast<time_t>(deadline / platform::kNanosPerSecond);
    when.tv_nsec = static_cast<long>(deadline % platform::kNanosPerSecond);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
    }
}

}  // namespace

bool Sequencer::loopAlive(uint64_t generation) const {
    return keepSequencerLoopAlive_.load() && generation_.load() == generation;
}

template <class Work>
bool Sequencer::inPass(LoopPass& loop, uint64_t generation, Work&& work) {
    // Announce the pass, then look at the generation: whoever ends the loop bumps
    // the generation and then waits while a pass of this loop is announced.
    loop.underWay.store(true, std::memory_order_seq_cst);
    if (!loopAlive(generation)) {
        loop.underWay.store(false, std::memory_order_seq_cst);
        return false;
    }
    work();
    loop.underWay.store(false, std::memory_order_seq_cst);
    return true;
}

void Sequencer::endLoopGeneration() {
    keepSequencerLoopAlive_.store(false, std::memory_order_seq_cst);
    generation_.fetch_add(1, std::memory_order_seq_cst);
    // Only the loop of the generation just ended can be inside a pass: a loop of
    // an earlier one was waited out when its own generation ended, and sees the
    // newer generation before any pass it tries. A pass lasts microseconds: yield to it.
    if (runningLoop_) {
        if (runningLoop_->underWay.load(std::memory_order_seq_cst)) {
            passesWaitedOut_.fetch_add(1, std::memory_order_relaxed);
            while (runningLoop_->underWay.load(std::memory_order_seq_cst)) std::this_thread::yield();
        }
        runningLoop_.reset();
    }
}

void Sequencer::publishStep(int32_t step, uint64_t start, uint64_t end, uint64_t patternIdx, uint64_t numBars) {
    const uint64_t written = recentStepsWritten_.load(std::memory_order_relaxed);
    PublishedStep& slot = recentSteps_[written % recentSteps_.size()];
    recentStepsSequence_.fetch_add(1, std::memory_order_seq_cst);  // odd: a write is under way
    slot.step.store(step, std::memory_order_relaxed);
    slot.start.store(start, std::memory_order_relaxed);
    slot.end.store(end, std::memory_order_relaxed);
    slot.patternIdx.store(patternIdx, std::memory_order_relaxed);
    slot.numBars.store(numBars, std::memory_order_relaxed);
    recentStepsWritten_.store(written + 1, std::memory_order_relaxed);
    recentStepsSequence_.fetch_add(1, std::memory_order_seq_cst);
}

void Sequencer::forgetPublishedSteps() {
    recentStepsSequence_.fetch_add(1, std::memory_order_seq_cst);
    recentStepsFirst_.store(recentStepsWritten_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    recentStepsSequence_.fetch_add(1, std::memory_order_seq_cst);
}

void Sequencer::loopBegin() {
    if (midiOut_) {
        midiOut_->sendClockStart();
        midiOut_->sendClockTickAtTime(0);
    }
    const uint64_t now = clock_.nowNanos();
    nextStepHostTimeNanos_ = now;
    grid_.reset(now, bpm_.load(), swing_.load());
    forgetPublishedSteps();
    if (currentStep_.load() >= -1) {
        scheduleStep(0, now);
    }
}

uint64_t Sequencer::loopPass() {
    int32_t step = currentStep_.load() + 1;
    currentStepHostTimeNanos_ = nextStepHostTimeNanos_;
    uint64_t patternIdx = 0, bars = 1;
    {
        PlanReader plan(*this);
        patternIdx = plan->activeIdx;
        bars = plan->activeBars;
    }
    const uint64_t stepsInPattern = kStepsPerBar * bars;
    if (step >= 0 && static_cast<uint64_t>(step) >= stepsInPattern) {
        step = 0;
    }
    currentStep_.store(step);

    // Tempo and swing are read on every pass; a change starts a new grid here.
    const int32_t bpm = bpm_.load();
    const float swing = swing_.load();
    if (!grid_.matches(bpm, swing) || grid_.current() != currentStepHostTimeNanos_) {
        grid_.reset(currentStepHostTimeNanos_, bpm, swing);
    }
    nextStepHostTimeNanos_ = grid_.advance(step);
    publishStep(step, currentStepHostTimeNanos_, nextStepHostTimeNanos_, patternIdx, bars);

    int32_t nextStep = step + 1;
    if (nextStep >= 0 && static_cast<uint64_t>(nextStep) >= stepsInPattern) {
        nextStep = 0;
    }
    if ((step & 3) == 0) {
        pushLoopEvent(LoopEvent::Kind::barChanged, step);
    }
    if (scheduleStep(nextStep, nextStepHostTimeNanos_)) {
        currentStep_.store(-1);  // the next pass plays step 0 of the new pattern
    }
    sendStepTicks(currentStepHostTimeNanos_, nextStepHostTimeNanos_);
    return nextStepHostTimeNanos_ > kScheduleAheadNanos ? nextStepHostTimeNanos_ - kScheduleAheadNanos : 0;
}

void Sequencer::sendStepTicks(uint64_t start, uint64_t end) {
    if (!midiOut_) {
        return;
    }
    // Six ticks a step (24 a quarter note): the first a sixth after the step's
    // start, the sixth at the next step's start.
    const uint64_t tick = (end - start) / 6;
    for (uint64_t k = 1; k < 6; ++k) {
        midiOut_->sendClockTickAtTime(platform::nanosToHostTime(start + k * tick));
    }
    midiOut_->sendClockTickAtTime(platform::nanosToHostTime(end));
}

bool Sequencer::scheduleStep(int32_t step, uint64_t atTime) {
    bool switched = false;
    {
        PlanReader reader(*this);
        const PatternPlan* plan = &*reader;
        if ((step & 3) == 0) {
            if (step == 0) {
                // The pending pattern takes over: one exchange of the published
                // plan. When the main loop published a newer plan meanwhile, look
                // at that one (the read section keeps it alive).
                while (plan->pendingIdx != kNotFound && plan->afterSwitch) {
                    if (plan_.compare_exchange_strong(plan, plan->afterSwitch, std::memory_order_seq_cst)) {
                        plan = plan->afterSwitch;
                        switched = true;
                        break;
                    }
                }
                if (switched) {
                    // Recorded events that still wait keep the pattern they were recorded in.
                    pushLoopEvent(LoopEvent::Kind::patternChanged, 0);
                }
            }
            if (step < 0 || useMetronome_.load()) {
                const std::string& click = step % 16 == 0 ? metronomeClickOn1File_ : metronomeClickOn234File_;
                engine_.startTrack(click, atTime, false, false, true, 1.0f);
            }
        }
        if (step >= 0) {
            const auto found = plan->active->find(static_cast<uint64_t>(step));
            if (found != plan->active->end()) {
                for (const PatternEventRef& event : found->second) {
                    switch (event->eventType()) {
                        case PatternEventType::start:
                            engine_.startTrackFromSequencer(event->sampleFilePath(), atTime);
                            break;
                        case PatternEventType::stop:
                            engine_.stopTrackFromSequencer(event->sampleFilePath(), atTime);
                            break;
                        default:
                            STROMBEL_RT_LOG_ERROR("unknown patternEventType: {}",
                                                  patternEventTypeNumber(event->eventType()));
                            break;
                    }
                }
            }
        }
    }
    if (recordedWaiting_.load() > 0 && !applyWanted_.exchange(true)) {
        mainLoop_.raise(noticeSignal_);  // the main loop applies the recorded events
    }
    return switched;
}

// Drivers --------------------------------------------------------------------------------

void Sequencer::runLoopUntil(uint64_t hostNanos) {
    if (driver_ != LoopDriver::manual) {
        return;
    }
    platform::RealtimeScope realtime;
    platform::ThreadRoleScope role(platform::ThreadRole::sequencer);
    const uint64_t generation = generation_.load();
    while (state_.load() == kStateOwnClock) {
        bool due = false;
        const bool ran = inPass(*manualLoop_, generation, [&] {
            if (!manualBegun_) {
                loopBegin();
                manualBegun_ = true;
                manualWake_.store(clock_.nowNanos());
            }
            if (manualWake_.load() <= hostNanos) {
                manualWake_.store(loopPass());
                due = true;
            }
        });
        if (!ran || !due) {
            break;
        }
    }
}

uint64_t Sequencer::nextLoopWake() const {
    return state_.load() == kStateOwnClock && keepSequencerLoopAlive_.load() ? manualWake_.load() : 0;
}

void Sequencer::threadMain(uint64_t generation, std::shared_ptr<LoopPass> loop) {
    // The worker runs it at the sequencer's real-time priority where the system grants it.
    if (const std::string& error = platform::Worker::realTimeError(); !error.empty()) {
        STROMBEL_LOG_DEBUG("sequencer thread runs without real-time priority ({})", error);
    }
    platform::RealtimeScope realtime;
    platform::ThreadRoleScope role(platform::ThreadRole::sequencer);
    if (!inPass(*loop, generation, [this] { loopBegin(); })) {
        loop->finished.store(true);
        return;
    }
    while (true) {
        uint64_t deadline = 0;
        uint64_t nextStart = 0;
        const bool ran = inPass(*loop, generation, [&] {
            deadline = loopPass();
            nextStart = nextStepHostTimeNanos_;
        });
        if (!ran) {
            break;
        }
        const uint64_t now = clock_.nowNanos();
        if (nextStart > now) {
            sleepUntil(deadline, generation);
        } else {
            // Told on the main loop, with the lateness and the step's length.
            lastLateness_.store(static_cast<double>(now - nextStart) * 1e-9, std::memory_order_relaxed);
            lastLateStep_.store(StepGrid::stepSeconds(bpm_.load()), std::memory_order_relaxed);
            lateWakes_.fetch_add(1, std::memory_order_relaxed);
            mainLoop_.raise(noticeSignal_);
        }
    }
    loop->finished.store(true);
}

void Sequencer::sleepUntil(uint64_t deadline, uint64_t generation) {
    // The one wait of the timing thread, by design.
    platform::RealtimeScopeExit sleeping;
    while (loopAlive(generation)) {
        const uint64_t now = clock_.nowNanos();
        if (now >= deadline) {
            break;
        }
        const uint64_t wake = std::min(deadline, now + kSleepSliceNanos);
        sleepUntilMonotonic(wake);
        if (wake == deadline) {
            recordWake(static_cast<int64_t>(clock_.nowNanos()) - static_cast<int64_t>(deadline));
            break;
        }
    }
}

void Sequencer::recordWake(int64_t latenessNanos) {
    const uint64_t index = wakesRecorded_.load(std::memory_order_relaxed);
    wakeLateness_[index % kWakeSamples].store(latenessNanos, std::memory_order_relaxed);
    wakesRecorded_.store(index + 1, std::memory_order_release);
}

LoopWakeStatistics Sequencer::wakeStatistics() const {
    LoopWakeStatistics statistics;
    const uint64_t recorded = wakesRecorded_.load(std::memory_order_acquire);
    const uint64_t count = std::min<uint64_t>(recorded, kWakeSamples);
    statistics.latenessNanos.reserve(count);
    for (uint64_t i = recorded - count; i < recorded; ++i) {
        statistics.latenessNanos.push_back(wakeLateness_[i % kWakeSamples].load(std::memory_order_relaxed));
    }
    return statistics;
}

}  // namespace strombel::sequencer
