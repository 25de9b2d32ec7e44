// The sequencer's timing loop: the real-time region of the sequencer.
//
// Runs on the "Sequencer" thread (or by hand through runLoopUntil). It allocates
// nothing of its own, touches no file, and only try-locks the pattern lock the
// main thread takes while it edits. Each pass plays one step: it works out the
// host time of the following step from the tempo and swing, queues that step's
// starts and stops on the engine, sends the MIDI clock ticks of the current step,
// and sleeps until 0.1 s before the following step begins.

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cerrno>

#include "logging/log.h"
#include "platform/host_time.h"
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

void tryRealTimePriority() {
    sched_param parameters{};
    const int highest = sched_get_priority_max(SCHED_FIFO);
    parameters.sched_priority = std::min(highest, 60);
    const int status = pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters);
    if (status != 0) {
        STROMBEL_LOG_DEBUG("sequencer thread runs without real-time priority (status {})", status);
    }
}

}  // namespace

bool Sequencer::loopAlive(uint64_t generation) const {
    return keepSequencerLoopAlive_.load() && generation_.load() == generation;
}

void Sequencer::publishStep(int32_t step, uint64_t start, uint64_t end) {
    recentSteps_[recentStepsNext_] =
        StepStart{step, start, end, activePatternIdx_.load(), activePatternNumBars_.load()};
    recentStepsNext_ = (recentStepsNext_ + 1) % recentSteps_.size();
    recentStepsCount_ = std::min(recentStepsCount_ + 1, recentSteps_.size());
}

void Sequencer::loopBegin() {
    if (midiOut_) {
        midiOut_->sendClockStart();
        midiOut_->sendClockTickAtTime(0);
    }
    const uint64_t now = clock_.nowNanos();
    nextStepHostTimeNanos_ = now;
    grid_.reset(now, bpm_.load(), swing_.load());
    recentStepsCount_ = 0;
    if (currentStep_.load() >= -1) {
        scheduleStep(0, now);
    }
}

uint64_t Sequencer::loopPass() {
    int32_t step = currentStep_.load() + 1;
    currentStepHostTimeNanos_ = nextStepHostTimeNanos_;
    const uint64_t stepsInPattern = kStepsPerBar * activePatternNumBars_.load();
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
    publishStep(step, currentStepHostTimeNanos_, nextStepHostTimeNanos_);

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

bool Sequencer::lockPatternsForStep(std::unique_lock<std::mutex>& lock) {
    // The main thread holds the lock only while it edits a few events: wait for it
    // in short naps, never blocking, well within the 0.1 s the step is ahead.
    for (int attempt = 0; attempt < 400; ++attempt) {
        if (lock.try_lock()) {
            return true;
        }
        timespec nap{0, 50'000};
        nanosleep(&nap, nullptr);
    }
    return false;
}

bool Sequencer::scheduleStep(int32_t step, uint64_t atTime) {
    bool switched = false;
    std::unique_lock lock(patternMutex_, std::defer_lock);
    if (!lockPatternsForStep(lock)) {
        STROMBEL_LOG_ERROR("pattern busy, step {} not played", step);
        return false;
    }
    if ((step & 3) == 0) {
        if (step == 0 && pendingPatternIdx_ != kNotFound) {
            std::swap(activePatternEvents_, pendingPatternEvents_);
            activePatternIdx_.store(pendingPatternIdx_);
            activePatternNumBars_.store(pendingPatternNumBars_);
            pendingPatternIdx_ = kNotFound;
            pendingPatternNumBars_ = kNotFound;
            // Recorded events that still wait keep the pattern they were recorded in.
            pushLoopEvent(LoopEvent::Kind::patternChanged, 0);
            switched = true;
        }
        if (step < 0 || useMetronome_.load()) {
            const std::string& click = step % 16 == 0 ? metronomeClickOn1File_ : metronomeClickOn234File_;
            engine_.startTrack(click, atTime, false, false, true, 1.0f);
        }
    }
    if (step >= 0) {
        const auto found = activePatternEvents_->find(static_cast<uint64_t>(step));
        if (found != activePatternEvents_->end()) {
            for (const PatternEventRef& event : found->second) {
                switch (event->eventType()) {
                    case PatternEvent::kStart:
                        engine_.startTrackFromSequencer(event->sampleFilePath(), atTime);
                        break;
                    case PatternEvent::kStop:
                        engine_.stopTrackFromSequencer(event->sampleFilePath(), atTime);
                        break;
                    default:
                        STROMBEL_LOG_ERROR("unknown patternEventType: {}", event->eventType());
                        break;
                }
            }
        }
    }
    lock.unlock();
    if (recordedWaiting_.load() > 0) {
        applyWanted_.store(true);  // the main loop applies the recorded events
    }
    return switched;
}

// Drivers --------------------------------------------------------------------------------

void Sequencer::runLoopUntil(uint64_t hostNanos) {
    if (driver_ != LoopDriver::manual) {
        return;
    }
    std::lock_guard lock(loopMutex_);
    const uint64_t generation = generation_.load();
    while (state_.load() == kStateOwnClock && loopAlive(generation)) {
        if (!manualBegun_) {
            loopBegin();
            manualBegun_ = true;
            manualWake_ = clock_.nowNanos();
        }
        if (manualWake_ > hostNanos) {
            break;
        }
        manualWake_ = loopPass();
    }
}

uint64_t Sequencer::nextLoopWake() const {
    std::lock_guard lock(loopMutex_);
    return state_.load() == kStateOwnClock && keepSequencerLoopAlive_.load() ? manualWake_ : 0;
}

void Sequencer::threadMain(uint64_t generation, std::shared_ptr<std::atomic<bool>> finished) {
    pthread_setname_np(pthread_self(), "Sequencer");
    tryRealTimePriority();
    {
        std::lock_guard lock(loopMutex_);
        if (!loopAlive(generation)) {
            finished->store(true);
            return;
        }
        loopBegin();
    }
    while (true) {
        uint64_t deadline = 0;
        uint64_t nextStart = 0;
        {
            std::unique_lock lock(loopMutex_, std::defer_lock);
            // Only a start, a stop or a MIDI clock message holds this lock, briefly.
            while (!lock.try_lock()) {
                if (!loopAlive(generation)) {
                    break;
                }
                timespec nap{0, 50'000};
                nanosleep(&nap, nullptr);
            }
            if (!lock.owns_lock() || !loopAlive(generation)) {
                break;
            }
            deadline = loopPass();
            nextStart = nextStepHostTimeNanos_;
        }
        const uint64_t now = clock_.nowNanos();
        if (nextStart > now) {
            sleepUntil(deadline, generation);
        } else {
            const double stepSeconds = StepGrid::stepSeconds(bpm_.load());
            STROMBEL_LOG_WARN("WARNING: sequencer loop is lagging {:.6f} sec - step: {:.6f}",
                              static_cast<double>(now - nextStart) * 1e-9, stepSeconds);
        }
    }
    finished->store(true);
}

void Sequencer::sleepUntil(uint64_t deadline, uint64_t generation) {
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
    std::unique_lock lock(wakeMutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
        return;
    }
    wakeLateness_[wakeNext_] = latenessNanos;
    wakeNext_ = (wakeNext_ + 1) % kWakeSamples;
    wakeCount_ = std::min(wakeCount_ + 1, kWakeSamples);
}

LoopWakeStatistics Sequencer::wakeStatistics() const {
    std::lock_guard lock(wakeMutex_);
    LoopWakeStatistics statistics;
    statistics.latenessNanos.reserve(wakeCount_);
    const size_t first = (wakeNext_ + kWakeSamples - wakeCount_) % kWakeSamples;
    for (size_t i = 0; i < wakeCount_; ++i) {
        statistics.latenessNanos.push_back(wakeLateness_[(first + i) % kWakeSamples]);
    }
    return statistics;
}

}  // namespace strombel::sequencer
