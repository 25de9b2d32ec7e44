#pragma once

// The engine as the sample editor panel sees it.

#include "engine/sound_box.h"
#include "ui/editor/edit_sample_view_controller.h"

namespace strombel::app {

class SampleEditorEngineAdapter final : public editor::SampleEditorEngine {
public:
    explicit SampleEditorEngineAdapter(engine::SoundBox& engine) : engine_(engine) {}
    editor::RecordingStart startSampleRecord() override {
        const engine::SoundBox::SampleRecordStart started = engine_.startSampleRecord();
        using Problem = editor::RecordingStart::Problem;
        using Engine = engine::SoundBox::SampleRecordStart::Problem;
        Problem problem = Problem::none;
        switch (started.problem) {
            case Engine::none: problem = Problem::none; break;
            case Engine::alreadyRecording: problem = Problem::alreadyRecording; break;
            case Engine::noSoundDevice: problem = Problem::noSoundDevice; break;
            case Engine::microphone: problem = Problem::microphone; break;
            case Engine::file: problem = Problem::file; break;
        }
        return {started.path, problem, started.reason};
    }
    editor::RecordingEnd stopSampleRecord() override {
        const engine::SoundBox::SampleRecordEnd ended = engine_.stopSampleRecord();
        return {ended.written, ended.error, ended.silencedSeconds, ended.inputLostAtEnd};
    }
    bool startTrack(const std::string& path, double fromPoint, double toPoint) override {
        return engine_.startTrack(path, fromPoint, toPoint);
    }
    void stopTrack(const std::string& path) override { engine_.stopTrack(path); }

private:
    engine::SoundBox& engine_;
};

}  // namespace strombel::app
