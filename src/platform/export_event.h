#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace strombel::platform {

/// One timed start (type 0) or stop (type 1) of a sample for the engine's offline
/// renderer. The sequencer makes them and the engine reads them, neither knowing
/// the other, so the type lives here below both.
class ExportEvent {
public:
    static constexpr int32_t kStart = 0;
    static constexpr int32_t kStop = 1;

    ExportEvent(std::string filepath, int32_t eventType, double eventTime, float volume)
        : sampleFilePath_(std::move(filepath)), eventType_(eventType), eventTime_(eventTime), volume_(volume) {}

    const std::string& sampleFilePath() const { return sampleFilePath_; }
    int32_t eventType() const { return eventType_; }
    /// Seconds from the beginning of the export.
    double eventTime() const { return eventTime_; }
    float volume() const { return volume_; }

private:
    std::string sampleFilePath_;
    int32_t eventType_;
    double eventTime_;
    float volume_;
};

}  // namespace strombel::platform
