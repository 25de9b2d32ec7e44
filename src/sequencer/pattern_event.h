#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace strombel::sequencer {

/// What an event does to its sample when its step plays. The store keeps the
/// number (0 start, 1 stop); a stored number that is neither stays as it is and
/// is logged and skipped when its step plays.
enum class PatternEventType : int32_t { start = 0, stop = 1 };

/// The number the store keeps for `type`.
constexpr int32_t patternEventTypeNumber(PatternEventType type) { return static_cast<int32_t>(type); }

/// One start or stop of a sample at a step of a pattern, as the sequencer plays
/// it. Immutable. Two events are different even when their fields are equal:
/// lists remove an event by identity (the pointer), never by value.
class PatternEvent {
public:
    PatternEvent(std::string filepath, PatternEventType eventType, uint64_t step);

    const std::string& sampleFilePath() const { return sampleFilePath_; }
    PatternEventType eventType() const { return eventType_; }
    uint64_t step() const { return step_; }

private:
    PatternEventType eventType_;
    std::string sampleFilePath_;
    uint64_t step_;
};

using PatternEventRef = std::shared_ptr<const PatternEvent>;

/// An in-memory pattern: step -> the events of that step, in the order they were added.
using PatternSteps = std::map<uint64_t, std::vector<PatternEventRef>>;

/// A new event; the one way the sequencer makes them.
PatternEventRef makePatternEvent(std::string filepath, PatternEventType eventType, uint64_t step);

}  // namespace strombel::sequencer
