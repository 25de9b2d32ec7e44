// The sequencer's patterns and their events, as the library stores them.

#include "library/sound_data_manager.h"

#include <algorithm>

#include "logging/log.h"

namespace strombel::library {

std::shared_ptr<Pattern> SoundDataManager::patternForIdx(uint64_t patternIdx) {
    for (const auto& [id, pattern] : context_->patterns()) {
        if (pattern->patternId() == patternIdx) return pattern;
    }
    auto pattern = context_->insertPattern();
    pattern->setPatternId(patternIdx);
    pattern->setNumBars(1);
    STROMBEL_LOG_DEBUG("creating entity for pattern {}", patternIdx);
    save();
    return pattern;
}

std::vector<std::shared_ptr<SequencerEvent>> SoundDataManager::sequencerEventsForPattern(uint64_t patternIdx) const {
    std::vector<std::shared_ptr<SequencerEvent>> events;
    for (const auto& [id, event] : context_->sequencerEvents()) {
        Pattern* pattern = event->patternPointer();
        if (pattern && pattern->patternId() == patternIdx) events.push_back(event);
    }
    std::stable_sort(events.begin(), events.end(), [](const auto& a, const auto& b) { return a->step() < b->step(); });
    return events;
}

bool SoundDataManager::addSequenceEventOnPattern(uint64_t patternIdx, uint64_t step, int32_t type,
                                                 const std::string& filepath) {
    auto sample = sampleWithFilepath(filepath);
    if (!sample) {
        STROMBEL_LOG_ERROR("cant create seqEvent for sample, not found: '{}'", filepath);
        return false;
    }
    auto pattern = patternForIdx(patternIdx);
    auto event = context_->insertSequencerEvent();
    event->setStep(step);
    event->setEventType(static_cast<uint32_t>(type));
    event->setPattern(pattern);
    event->setSample(sample);
    return true;
}

size_t SoundDataManager::removeSequenceEventOnPattern(uint64_t patternIdx, uint64_t step,
                                                     const std::string& filepath) {
    size_t removed = 0;
    for (const auto& event : sequencerEventsForPattern(patternIdx)) {
        Sample* sample = event->samplePointer();
        if (event->step() != step || !sample || sample->filepath() != filepath) continue;
        const std::string name = std::filesystem::path(filepath).filename().string();
        if (event->eventType() == 0) {
            STROMBEL_LOG_DEBUG("removed seqEvent: ({}) -start- '{}'", step, name);
        } else if (event->eventType() == 1) {
            STROMBEL_LOG_DEBUG("removed seqEvent: ({}) -stop- '{}'", step, name);
        } else {
            STROMBEL_LOG_DEBUG("removed seqEvent: ({}) -{}- '{}'", step, event->eventType(), name);
        }
        context_->deleteObject(*event);
        ++removed;
    }
    return removed;
}

void SoundDataManager::copyAllSequencerEventsOfPattern(uint64_t fromPatternIdx, uint64_t toPatternIdx) {
    auto source = patternForIdx(fromPatternIdx);
    auto target = patternForIdx(toPatternIdx);
    target->setNumBars(source->numBars());
    for (const auto& event : sequencerEventsForPattern(fromPatternIdx)) {
        auto copy = context_->insertSequencerEvent();
        copy->setStep(event->step());
        copy->setEventType(event->eventType());
        copy->setSample(event->sample());
        copy->setPattern(target);
    }
    save();
}

void SoundDataManager::removeAllSequencerEventsOfPattern(uint64_t patternIdx) {
    for (const auto& event : sequencerEventsForPattern(patternIdx)) context_->deleteObject(*event);
    save();
}

}  // namespace strombel::library
