#include "sequencer/pattern_event.h"

#include <utility>

namespace strombel::sequencer {

PatternEvent::PatternEvent(std::string filepath, PatternEventType eventType, uint64_t step)
    : eventType_(eventType), sampleFilePath_(std::move(filepath)), step_(step) {}

PatternEventRef makePatternEvent(std::string filepath, PatternEventType eventType, uint64_t step) {
    return std::make_shared<const PatternEvent>(std::move(filepath), eventType, step);
}

}  // namespace strombel::sequencer
