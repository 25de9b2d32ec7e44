// Patterns: loading, recording pad hits with quantisation, editing, export.
// Everything here runs on the main thread. Edits build a new plan and publish it
// (changePlan); the timing loop reads plans without a lock.

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <thread>

#include "logging/log.h"
#include "sequencer/sequencer.h"

namespace strombel::sequencer {

namespace {

bool samePath(const PatternEventRef& event, const std::string& path) { return event->sampleFilePath() == path; }

}  // namespace

void Sequencer::changePlan(const std::function<bool(PatternPlan&)>& change) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    for (;;) {
        const PatternPlan* seen = plan_.load(std::memory_order_seq_cst);
        auto next = std::make_unique<PatternPlan>(*seen);
        next->afterSwitch = nullptr;
        if (!change(*next)) {
            return;
        }
        std::unique_ptr<PatternPlan> after;
        if (next->pendingIdx != kNotFound) {
            after = std::make_unique<PatternPlan>();
            after->activeIdx = next->pendingIdx;
            after->activeBars = next->pendingBars;
            after->active = next->pending ? next->pending : std::make_shared<const PatternSteps>();
            next->afterSwitch = after.get();
        }
        // Fails only when the timing loop switched to the pending pattern meanwhile:
        // the change is then made again to what it switched to.
        if (plan_.compare_exchange_strong(seen, next.get(), std::memory_order_seq_cst)) {
            plans_.push_back(std::move(next));
            if (after) {
                plans_.push_back(std::move(after));
            }
            break;
        }
    }
    // Plans no thread can still read go. A reader that begins from now on finds
    // the plan published now or, once the timing loop has switched, its
    // `afterSwitch`; every reader that may hold an older plan has left once
    // synchronize returns.
    const PatternPlan* published = plan_.load(std::memory_order_seq_cst);
    planSections_.synchronize();
    std::erase_if(plans_, [published](const std::unique_ptr<PatternPlan>& plan) {
        return plan.get() != published && plan.get() != published->afterSwitch;
    });
}

void Sequencer::fetchPattern(uint64_t patternIdx, PatternSteps& into) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    into.clear();
    const std::vector<StoredSequencerEvent> stored = store_.sequencerEventsForPattern(patternIdx);
    std::set<std::string> paths;
    for (const StoredSequencerEvent& event : stored) {
        auto& events = into[event.step];
        if (events.empty()) {
            events.reserve(5);
        }
        events.push_back(makePatternEvent(event.sampleFilePath, event.eventType, event.step));
        paths.insert(event.sampleFilePath);
    }
    if (patternIdx < kNumPatterns) {
        numEventsPerPattern_[patternIdx] = static_cast<int64_t>(stored.size());
    }
    for (const std::string& path : paths) {
        engine_.preloadTrack(path);
    }
}

Sequencer::LoadedPattern Sequencer::loadPattern(uint64_t patternIdx) {
    auto steps = std::make_shared<PatternSteps>();
    fetchPattern(patternIdx, *steps);
    return {std::move(steps), storedBars(patternIdx)};
}

uint64_t Sequencer::storedBars(uint64_t patternIdx) {
    return std::clamp<uint64_t>(store_.patternNumBars(patternIdx).value_or(1), 1, kMaxBars);
}

Sequencer::StepStart Sequencer::soundingStep(uint64_t now) const {
    // The loop runs up to a step and 0.1 s ahead of what sounds: a hit belongs to
    // the step whose time it falls in, the latest published one that has begun.
    for (;;) {
        const uint64_t sequence = recentStepsSequence_.load(std::memory_order_seq_cst);
        if (sequence & 1) {
            std::this_thread::yield();  // a step is being published: look again
            continue;
        }
        const uint64_t written = recentStepsWritten_.load(std::memory_order_relaxed);
        const uint64_t first = std::max(recentStepsFirst_.load(std::memory_order_relaxed),
                                        written > recentSteps_.size() ? written - recentSteps_.size() : 0);
        StepStart found{currentStep_.load(), now, now, 0, 1};
        bool any = false;
        {
            PlanReader plan(*this);
            found.patternIdx = plan->activeIdx;
            found.numBars = plan->activeBars;
        }
        for (uint64_t index = written; index-- > first;) {
            const PublishedStep& entry = recentSteps_[index % recentSteps_.size()];
            found = StepStart{entry.step.load(std::memory_order_relaxed), entry.start.load(std::memory_order_relaxed),
                              entry.end.load(std::memory_order_relaxed),
                              entry.patternIdx.load(std::memory_order_relaxed),
                              entry.numBars.load(std::memory_order_relaxed)};
            any = true;
            if (found.start <= now) {
                break;
            }
        }
        if (recentStepsSequence_.load(std::memory_order_seq_cst) != sequence) {
            continue;  // the loop published meanwhile
        }
        if (!any) {
            found.step = currentStep_.load();
        }
        return found;
    }
}

void Sequencer::recordSequencerEventForSample(const std::string& path, PatternEventType type) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (state_.load() == kStateStopped) {
        return;
    }
    const uint64_t now = clock_.nowNanos();
    const StepStart sounding = soundingStep(now);
    const int32_t current = sounding.step;
    const uint64_t start = sounding.start;
    const uint64_t end = sounding.end;
    if (current < -1) {
        return;  // the count-in bar
    }
    const int32_t precision = quantizationPrecision();
    int64_t quantized = current;
    if (precision == 16) {
        const uint64_t left = end > now ? end - now : 0;
        const uint64_t since = now > start ? now - start : 0;
        if (left < since) {
            quantized = current + 1;
        }
    } else {
        const int32_t grid = 16 / precision;
        const int32_t base = (current / grid) * grid;
        quantized = current - base >= grid / 2 ? base + grid : base;
    }
    // The pattern the hit was heard in, which near a switch is not yet (or no
    // longer) the one the loop is scheduling.
    const uint64_t activeIdx = sounding.patternIdx;
    // Steps past the pattern's end wrap once (and before its start, to 0).
    const int64_t stepsInPattern = static_cast<int64_t>(kStepsPerBar * sounding.numBars);
    auto wrapped = [stepsInPattern](int64_t step) {
        if (step < 0 || step >= stepsInPattern) step = std::max<int64_t>(step - stepsInPattern, 0);
        return step;
    };
    if (type == PatternEventType::stop) {
        const bool startWaiting = std::any_of(
            recordedButNotYetAppliedPatternEvents_.begin(), recordedButNotYetAppliedPatternEvents_.end(),
            [&](const RecordedEvent& recorded) {
                return recorded.patternIdx == activeIdx && recorded.event->eventType() == PatternEventType::start &&
                       samePath(recorded.event, path);
            });
        // The pad's own start, recorded a moment ago at the same step, may already
        // be in the pattern (the loop applies hits quickly): the release still
        // goes one step later rather than being swallowed by that start. The
        // start was stored wrapped: a hit in the last half step is at step 0.
        bool startInPattern = false;
        const auto last = lastRecordedStart_.find(path);
        const uint64_t at = static_cast<uint64_t>(wrapped(quantized));
        if (!startWaiting && last != lastRecordedStart_.end() && last->second.event->step() == at &&
            last->second.patternIdx == activeIdx) {
            PlanReader plan(*this);
            const auto found = plan->active->find(at);
            startInPattern = plan->activeIdx == activeIdx && found != plan->active->end() &&
                             std::find(found->second.begin(), found->second.end(), last->second.event) !=
                                 found->second.end();
        }
        if (startWaiting || startInPattern) {
            fmt::print(stderr, "increased STOP event step {} -> {}\n", quantized, quantized + 1);
            quantized += 1;
        }
    }
    quantized = wrapped(quantized);
    const std::string fileName = path.substr(path.find_last_of('/') + 1);
    if (type == PatternEventType::start) {
        STROMBEL_LOG_DEBUG("record: ({}) -start- '{}'", quantized, fileName);
    } else if (type == PatternEventType::stop) {
        STROMBEL_LOG_DEBUG("record: ({}) -stop - '{}'", quantized, fileName);
    } else {
        STROMBEL_LOG_DEBUG("record: ({}) -{}- '{}'", quantized, patternEventTypeNumber(type), fileName);
    }
    const RecordedEvent recorded{makePatternEvent(path, type, static_cast<uint64_t>(quantized)), activeIdx};
    if (type == PatternEventType::start) {
        lastRecordedStart_[path] = recorded;
    } else {
        lastRecordedStart_.erase(path);
    }
    recordedButNotYetAppliedPatternEvents_.push_back(recorded);
    recordedWaiting_.store(recordedButNotYetAppliedPatternEvents_.size());
}

size_t Sequencer::recordedEventsWaiting() const {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    return recordedButNotYetAppliedPatternEvents_.size();
}

void Sequencer::addRecordedPatternStepsToPattern() {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    applyRecordedEvents(false);
}

void Sequencer::applyRecordedEvents(bool all) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    auto& recorded = recordedButNotYetAppliedPatternEvents_;
    if (recorded.empty()) {
        return;
    }
    const uint64_t current = static_cast<uint64_t>(static_cast<int64_t>(currentStep_.load()));
    const uint64_t activeIdx = activePatternIdx();
    bool applied = false;
    for (size_t i = recorded.size(); i-- > 0;) {
        const RecordedEvent entry = recorded[i];
        if (!all && entry.patternIdx == activeIdx) {
            // Held back while its step is the one being played or one of the next
            // two, so that the loop does not play it right after the live hit.
            const uint64_t step = entry.event->step();
            if (step >= current && current >= step - 2) {
                continue;
            }
        }
        applyRecordedEvent(entry);
        recorded.erase(recorded.begin() + static_cast<std::ptrdiff_t>(i));
        applied = true;
    }
    recordedWaiting_.store(recorded.size());
    if (applied) {
        // A recorded pattern is on disk once its events are in it, not only at the stop.
        store_.save();
    }
}

void Sequencer::applyRecordedEvent(const RecordedEvent& recorded) {
    const PatternEventRef& event = recorded.event;
    const uint64_t step = event->step();
    const uint64_t patternIdx = recorded.patternIdx;
    const std::string& path = event->sampleFilePath();
    bool dropped = false;
    bool replaced = false;
    bool inMemory = false;
    changePlan([&](PatternPlan& plan) {
        dropped = replaced = inMemory = false;
        std::shared_ptr<const PatternSteps>* steps = nullptr;
        if (patternIdx == plan.activeIdx) {
            steps = &plan.active;
        } else if (patternIdx == plan.pendingIdx) {
            steps = &plan.pending;
        }
        if (!steps) {
            return false;
        }
        inMemory = true;
        auto pattern = std::make_shared<PatternSteps>(*steps ? **steps : PatternSteps{});
        auto& events = (*pattern)[step];
        if (events.capacity() == 0) {
            events.reserve(5);
        }
        const auto old = std::find_if(events.begin(), events.end(),
                                      [&](const PatternEventRef& candidate) { return samePath(candidate, path); });
        if (old != events.end()) {
            if ((*old)->eventType() == PatternEventType::start && event->eventType() == PatternEventType::stop) {
                dropped = true;
            } else {
                events.erase(old);
                replaced = true;
            }
        }
        if (dropped) {
            return false;
        }
        events.push_back(event);
        *steps = std::move(pattern);
        return true;
    });
    int64_t& count = numEventsPerPattern_[patternIdx];
    if (inMemory) {
        if (replaced) {
            store_.removeSequenceEventOnPattern(patternIdx, step, path);
        }
        if (!dropped) {
            store_.addSequenceEventOnPattern(patternIdx, step, event->eventType(), path);
            count += replaced ? 0 : 1;
        }
        return;
    }
    // The pattern was switched away from while the event waited: it goes to the store.
    const std::vector<StoredSequencerEvent> stored = store_.sequencerEventsForPattern(patternIdx);
    const auto old = std::find_if(stored.begin(), stored.end(), [&](const StoredSequencerEvent& candidate) {
        return candidate.step == step && candidate.sampleFilePath == path;
    });
    if (old != stored.end()) {
        if (old->eventType == PatternEventType::start && event->eventType() == PatternEventType::stop) {
            return;
        }
        count -= static_cast<int64_t>(store_.removeSequenceEventOnPattern(patternIdx, step, path));
    }
    if (store_.addSequenceEventOnPattern(patternIdx, step, event->eventType(), path)) {
        count += 1;
    }
    count = std::max<int64_t>(count, 0);
}

void Sequencer::copyPattern(uint64_t source, uint64_t toSlot) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (source >= kNumPatterns || toSlot >= kNumPatterns || source == toSlot) {
        return;  // onto itself: erasing the target would lose the source, so it stays as it is
    }
    erasePattern(toSlot);
    store_.copyAllSequencerEventsOfPattern(source, toSlot);
    numEventsPerPattern_[toSlot] = numEventsPerPattern_[source];
    if (toSlot != activePatternIdx() && toSlot != pendingPatternIdx()) {
        return;
    }
    const LoadedPattern copied = loadPattern(toSlot);
    changePlan([&](PatternPlan& plan) {
        if (toSlot == plan.activeIdx) {
            plan.active = copied.steps;
            plan.activeBars = copied.bars;
        } else if (toSlot == plan.pendingIdx) {
            plan.pending = copied.steps;
            plan.pendingBars = copied.bars;
        } else {
            return false;
        }
        return true;
    });
}

void Sequencer::erasePattern(uint64_t patternIdx) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (patternIdx >= kNumPatterns) {
        return;
    }
    store_.removeAllSequencerEventsOfPattern(patternIdx);
    numEventsPerPattern_[patternIdx] = 0;
    changePlan([patternIdx](PatternPlan& plan) {
        const bool active = patternIdx == plan.activeIdx;
        // A pending copy would bring the erased events back at the switch.
        const bool pending = patternIdx == plan.pendingIdx;
        if (active) {
            plan.active = std::make_shared<const PatternSteps>();
        }
        if (pending) {
            plan.pending = std::make_shared<const PatternSteps>();
        }
        return active || pending;
    });
    auto& recorded = recordedButNotYetAppliedPatternEvents_;
    recorded.erase(std::remove_if(recorded.begin(), recorded.end(),
                                  [&](const RecordedEvent& entry) { return entry.patternIdx == patternIdx; }),
                   recorded.end());
    recordedWaiting_.store(recorded.size());
}

bool Sequencer::patternHasEvents(uint64_t patternIdx) const {
    if (patternIdx >= kNumPatterns) {
        return false;
    }
    if (numEventsPerPattern_[patternIdx] > 0) {
        return true;
    }
    return std::any_of(recordedButNotYetAppliedPatternEvents_.begin(), recordedButNotYetAppliedPatternEvents_.end(),
                       [&](const RecordedEvent& entry) { return entry.patternIdx == patternIdx; });
}

void Sequencer::changeNumBarsTo(uint64_t numBars) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (numBars < 1 || numBars > kMaxBars) {
        return;
    }
    uint64_t activeIdx = 0;
    changePlan([&](PatternPlan& plan) {
        plan.activeBars = numBars;
        activeIdx = plan.activeIdx;
        return true;
    });
    store_.setPatternNumBars(activeIdx, numBars);
    store_.save();
}

void Sequencer::eraseAllEventsOfTrack(const std::string& path) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    std::vector<PatternEventRef> removed;
    uint64_t activeIdx = 0;
    changePlan([&](PatternPlan& plan) {
        removed.clear();
        activeIdx = plan.activeIdx;
        auto pattern = std::make_shared<PatternSteps>(*plan.active);
        for (auto& [step, events] : *pattern) {
            for (size_t i = events.size(); i-- > 0;) {
                if (samePath(events[i], path)) {
                    removed.push_back(events[i]);
                    events.erase(events.begin() + static_cast<std::ptrdiff_t>(i));
                }
            }
        }
        plan.active = std::move(pattern);
        return !removed.empty();
    });
    for (const PatternEventRef& event : removed) {
        store_.removeSequenceEventOnPattern(activeIdx, event->step(), path);
    }
    numEventsPerPattern_[activeIdx] =
        std::max<int64_t>(numEventsPerPattern_[activeIdx] - static_cast<int64_t>(removed.size()), 0);
    // Hits of that sample still waiting would bring it back.
    auto& recorded = recordedButNotYetAppliedPatternEvents_;
    recorded.erase(std::remove_if(recorded.begin(), recorded.end(),
                                  [&](const RecordedEvent& entry) {
                                      return entry.patternIdx == activeIdx && samePath(entry.event, path);
                                  }),
                   recorded.end());
    recordedWaiting_.store(recorded.size());
    store_.save();
}

void Sequencer::removePatternEvents(const std::vector<PatternEventRef>& events) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (events.empty()) {
        return;
    }
    const uint64_t step = events.front()->step();
    size_t removed = 0;
    uint64_t activeIdx = 0;
    changePlan([&](PatternPlan& plan) {
        removed = 0;
        activeIdx = plan.activeIdx;
        auto pattern = std::make_shared<PatternSteps>(*plan.active);
        const auto found = pattern->find(step);
        if (found != pattern->end()) {
            for (const PatternEventRef& event : events) {
                auto& stepEvents = found->second;
                const auto at = std::find(stepEvents.begin(), stepEvents.end(), event);
                if (at != stepEvents.end()) {
                    stepEvents.erase(at);
                    ++removed;
                }
            }
        }
        plan.active = std::move(pattern);
        return removed > 0;
    });
    numEventsPerPattern_[activeIdx] =
        std::max<int64_t>(numEventsPerPattern_[activeIdx] - static_cast<int64_t>(removed), 0);
    for (const PatternEventRef& event : events) {
        store_.removeSequenceEventOnPattern(activeIdx, step, event->sampleFilePath());
    }
    // Saved at once, as erasing, recording and a change of bars are: what is
    // removed stays removed on disk, and a later start does not bring it back.
    store_.save();
}

void Sequencer::samplePathChanged(const std::string& from, const std::string& to) {
    STROMBEL_EXPECT_THREAD(kMainLoopThread);
    if (from == to) {
        return;
    }
    // The engine first: the timing thread may play either path while the plan changes.
    engine_.trackRenamed(from, to);
    // Each event of the sample is replaced by one new event, wherever it is held:
    // a recorded start is found in the pattern by identity.
    std::map<const PatternEvent*, PatternEventRef> renamed;
    auto renamedEvent = [&](const PatternEventRef& event) {
        if (!samePath(event, from)) {
            return event;
        }
        auto& replacement = renamed[event.get()];
        if (!replacement) {
            replacement = makePatternEvent(to, event->eventType(), event->step());
        }
        return replacement;
    };
    auto renamedSteps = [&](const std::shared_ptr<const PatternSteps>& steps) {
        std::shared_ptr<PatternSteps> copy;
        for (const auto& [step, events] : steps ? *steps : PatternSteps{}) {
            for (size_t i = 0; i < events.size(); ++i) {
                if (samePath(events[i], from)) {
                    if (!copy) {
                        copy = std::make_shared<PatternSteps>(*steps);
                    }
                    (*copy)[step][i] = renamedEvent(events[i]);
                }
            }
        }
        return copy ? std::shared_ptr<const PatternSteps>(std::move(copy)) : steps;
    };
    changePlan([&](PatternPlan& plan) {
        const auto active = renamedSteps(plan.active);
        const auto pending = renamedSteps(plan.pending);
        const bool changed = active != plan.active || pending != plan.pending;
        plan.active = active;
        plan.pending = pending;
        return changed;
    });
    for (RecordedEvent& recorded : recordedButNotYetAppliedPatternEvents_) {
        recorded.event = renamedEvent(recorded.event);
    }
    if (const auto last = lastRecordedStart_.find(from); last != lastRecordedStart_.end()) {
        RecordedEvent start{renamedEvent(last->second.event), last->second.patternIdx};
        lastRecordedStart_.erase(last);
        lastRecordedStart_[to] = start;
    }
}

Sequencer::PatternExport Sequencer::patternExport(uint64_t patternIdx) {
    const double stepSeconds = StepGrid::stepSeconds(bpm_.load());
    const float swing = swing_.load();
    const uint64_t bars = storedBars(patternIdx);
    const uint64_t stepsInPattern = kStepsPerBar * bars;
    PatternExport pattern;
    for (const StoredSequencerEvent& stored : store_.sequencerEventsForPattern(patternIdx)) {
        if (stored.step >= stepsInPattern) {
            continue;  // beyond the bar count: not played, so not exported
        }
        double time = static_cast<double>(stored.step) * stepSeconds;
        if (stored.step % 2 == 1 && swing > 1.0f) {
            time = static_cast<double>(stored.step - 1) * stepSeconds + static_cast<double>(swing) * stepSeconds;
        }
        pattern.events.push_back(
            ExportEvent{stored.sampleFilePath, patternEventTypeNumber(stored.eventType), time, 1.0f});
    }
    std::stable_sort(pattern.events.begin(), pattern.events.end(),
                     [](const ExportEvent& a, const ExportEvent& b) { return a.eventTime() < b.eventTime(); });
    pattern.duration = stepSeconds * static_cast<double>(stepsInPattern);
    return pattern;
}

bool Sequencer::exportPattern(uint64_t patternIdx, const std::string& toFile,
                              const std::function<void(float)>& progress) {
    return writePattern(patternIdx, toFile, progress).ok();
}

platform::Result<void> Sequencer::writePattern(uint64_t patternIdx, const std::string& toFile,
                                               const std::function<void(float)>& progress) {
    const PatternExport pattern = patternExport(patternIdx);
    platform::Result<void> written = engine_.exportEvents(pattern.events, toFile, pattern.duration, progress);
    if (written) return written;
    platform::Error error = std::move(written).error();
    if (error.message().empty()) error.userInfo.set(platform::kLocalizedDescriptionKey, "the file could not be written");
    // Named as the pads show it: pattern 1 is the first.
    STROMBEL_LOG_ERROR("could not export pattern {} to {}: {}", patternIdx + 1, toFile, error.message());
    return error;
}

}  // namespace strombel::sequencer
