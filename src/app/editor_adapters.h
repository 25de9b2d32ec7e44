#pragma once

// The engine as the sample editor panel sees it.

#include "engine/sound_box.h"
#include "ui/editor/edit_sample_view_controller.h"

namespace strombel::app {

class SampleEditorEngineAdapter final : public editor::SampleEditorEngine, private engine::SoundBoxDelegate {
public:
    explicit SampleEditorEngineAdapter(engine::SoundBox& engine) : engine_(engine) { engine_.addDelegate(this); }
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
    void setRecordFailureHandler(std::function<void(const std::string&)> told) override {
        recordFailed_ = std::move(told);
    }

private:
    void sampleRecordFailed(const std::string& reason) override {
        // Called through a copy: the handler may let go of itself.
        if (auto told = recordFailed_) told(reason);
    }

    engine::SoundBox& engine_;
    std::function<void(const std::string&)> recordFailed_;
};

}  // namespace strombel::app
