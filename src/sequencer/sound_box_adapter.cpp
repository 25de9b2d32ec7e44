#include "sequencer/sound_box_adapter.h"

namespace strombel::sequencer {

void SoundBoxSequencerEngine::exportEvents(const std::vector<ExportEvent>& events, const std::string& toFile,
                                           double duration, const std::function<void(float)>& progress) {
    std::vector<engine::ExportEvent> converted;
    converted.reserve(events.size());
    for (const ExportEvent& event : events) {
        converted.emplace_back(event.filepath, event.eventType, event.eventTime, event.volume);
    }
    lastExportError_.clear();
    std::string error;
    if (!soundBox_.exportEvents(converted, toFile, duration, progress, &error)) {
        lastExportError_ = error.empty() ? "the export file could not be written" : error;
    }
}

}  // namespace strombel::sequencer
