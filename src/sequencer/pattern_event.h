#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace strombel::sequencer {

/// One start or stop of a sample at a step of a pattern, as the sequencer plays
/// it. Immutable. Two events are different even when their fields are equal:
/// lists remove an event by identity (the pointer), never by value.
class PatternEvent {
public:
    static constexpr int32_t kStart = 0;
    static constexpr int32_t kStop = 1;

    PatternEvent(std::string filepath, int32_t eventType, uint64_t step);

    const std::string& sampleFilePath() const { return sampleFilePath_; }
    int32_t eventType() const { return eventType_; }
    uint64_t step() const { return step_; }

private:
    int32_t eventType_;
    std::string sampleFilePath_;
    uint64_t step_;
};

using PatternEventRef = std::shared_ptr<const PatternEvent>;

/// An in-memory pattern: step -> the events of that step, in the order they were added.
using PatternSteps = std::map<uint64_t, std::vector<PatternEventRef>>;

/// A new event; the one way the sequencer makes them.
PatternEventRef makePatternEvent(std::string filepath, int32_t eventType, uint64_t step);

}  // namespace strombel::sequencer
