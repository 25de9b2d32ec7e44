#pragma once

// The engine as the sample editor panel sees it.

#include "engine/sound_box.h"
#include "ui/editor/edit_sample_view_controller.h"

namespace strombel::app {

class SampleEditorEngineAdapter final : public editor::SampleEditorEngine {
public:
    explicit SampleEditorEngineAdapter(engine::SoundBox& engine) : engine_(engine) {}
    std::optional<std::string> startSampleRecord() override { return engine_.startSampleRecord(); }
    void stopSampleRecord() override { engine_.stopSampleRecord(); }
    bool startTrack(const std::string& path, double fromPoint, double toPoint) override {
        return engine_.startTrack(path, fromPoint, toPoint);
    }
    void stopTrack(const std::string& path) override { engine_.stopTrack(path); }

private:
    engine::SoundBox& engine_;
};

}  // namespace strombel::app
