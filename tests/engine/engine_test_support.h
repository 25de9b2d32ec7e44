#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/in_memory_sound_library.h"
#include "engine/sound_box.h"
#include "platform/audio_file.h"
#include "platform/main_loop.h"
#include "platform/devices/manual_audio_device.h"
#include "platform/sandbox.h"
#include "support/temp_dir.h"

namespace strombel::engine::testing {

/// 16-bit sample values become these 8.24 values when read back.
constexpr int32_t kFixedPer16Bit = 512;

/// Writes a 16-bit WAVE file with the given channels (all the same length).
inline void writeWave(const std::filesystem::path& path, const std::vector<std::vector<int16_t>>& channels,
                      double rate = 44100.0) {
    std::filesystem::create_directories(path.parent_path());
    platform::WaveWriter writer;
    ASSERT_TRUE(writer.open(path, static_cast<uint32_t>(channels.size()), rate, rate)) << writer.error();
    std::vector<std::vector<int32_t>> fixed;
    for (const auto& channel : channels) {
        std::vector<int32_t> values;
        for (int16_t v : channel) values.push_back(v * kFixedPer16Bit);
        fixed.push_back(values);
    }
    const int32_t* pointers[2] = {fixed[0].data(), fixed.size() > 1 ? fixed[1].data() : nullptr};
    ASSERT_TRUE(writer.write(pointers, static_cast<uint32_t>(channels[0].size())));
    ASSERT_TRUE(writer.close());
}

/// A mono sample of `frames` frames all at `value`.
inline std::vector<std::vector<int16_t>> constantMono(size_t frames, int16_t value) {
    return {std::vector<int16_t>(frames, value)};
}

/// A mono sample counting 1, 2, 3, ... (so every frame says where it came from).
inline std::vector<std::vector<int16_t>> rampMono(size_t frames) {
    std::vector<int16_t> ramp(frames);
    for (size_t i = 0; i < frames; ++i) ramp[i] = static_cast<int16_t>(i + 1);
    return {ramp};
}

/// An engine on a manual device and a manual clock, over an in-memory library,
/// in a sandbox of its own.
class EngineTest : public ::testing::Test {
protected:
    EngineTest()
        : sandbox_(temp_ / "root", temp_ / "bundle"), clock_(5'000'000'000), loop_(clock_) {
        loop_.bindToCurrentThread();
        (void)sandbox_.createFolders();
    }

    /// Adds a sample file to the library under "Documents/<name>.wav".
    std::string addSample(const std::string& name, const std::vector<std::vector<int16_t>>& channels,
                          float volume = 1.0f, double rate = 44100.0) {
        std::string path = "Documents/" + name + ".wav";
        writeWave(sandbox_.absolutePath(path), channels, rate);
        samples_.push_back({path, name, volume});
        return path;
    }

    /// Puts samples on the pads of bank `bank` (pad = position in the list).
    void setBank(uint64_t bank, const std::vector<std::string>& paths) {
        std::vector<LibraryPadAssignment> pads;
        for (size_t i = 0; i < paths.size(); ++i) {
            LibraryPadAssignment assignment;
            assignment.pad = static_cast<int64_t>(i);
            assignment.sample = {paths[i], paths[i], 1.0f};
            pads.push_back(assignment);
        }
        banks_[bank] = pads;
    }

    /// Builds the engine with the samples and banks so far.
    SoundBox& makeEngine(uint32_t bufferFrames = 256, double sampleRate = 44100.0) {
        library_.setSamples(samples_);
        for (auto& [bank, pads] : banks_) library_.setBank(bank, pads);
        auto device = std::make_unique<platform::ManualAudioDevice>(sampleRate, bufferFrames, 1'000'000'000);
        device_ = device.get();
        box_ = std::make_unique<SoundBox>(std::move(device), sandbox_, loop_, &library_);
        box_->waitForPreloads();
        return *box_;
    }

    /// Renders one buffer and returns its host time.
    uint64_t render(uint32_t frames = 0) {
        box_->waitForPreloads();
        return device_->renderBuffer(frames);
    }

    /// Lets the main loop deliver what the audio thread reported.
    void pump() { loop_.advance(5 * platform::kNanosPerMillisecond); }

    /// Renders until `frames` frames are out, concatenating the left channel (and right).
    std::vector<int32_t> renderFrames(size_t frames, std::vector<int32_t>* right = nullptr) {
        std::vector<int32_t> left;
        while (left.size() < frames) {
            render();
            left.insert(left.end(), device_->left().begin(), device_->left().end());
            if (right) right->insert(right->end(), device_->right().begin(), device_->right().end());
        }
        return left;
    }

    static size_t firstNonZero(const std::vector<int32_t>& samples) {
        for (size_t i = 0; i < samples.size(); ++i)
            if (samples[i] != 0) return i;
        return samples.size();
    }

    strombel::testing::TempDir temp_;
    platform::Sandbox sandbox_;
    platform::ManualClock clock_;
    platform::MainLoop loop_{platform::SystemClock::shared()};
    InMemorySoundLibrary library_;
    std::vector<LibrarySample> samples_;
    std::map<uint64_t, std::vector<LibraryPadAssignment>> banks_;
    platform::ManualAudioDevice* device_ = nullptr;
    std::unique_ptr<SoundBox> box_;
};

/// Remembers everything the engine told it.
class RecordingDelegate : public SoundBoxDelegate {
public:
    std::vector<std::string> log;
    void trackStarted(const std::string& path, bool fromTapPad) override {
        log.push_back("started " + path + (fromTapPad ? " tap" : ""));
    }
    void trackFinishedPlaying(const std::string& path) override { log.push_back("finished " + path); }
    void trackStopped(const std::string& path, bool) override { log.push_back("stopped " + path); }
    void midiNoteOn(int note) override { log.push_back("noteOn " + std::to_string(note)); }
    void midiNoteOff(int note) override { log.push_back("noteOff " + std::to_string(note)); }
    void soundbankTrackStarted(int pad) override { log.push_back("padOn " + std::to_string(pad)); }
    void soundbankTrackStopped(int pad) override { log.push_back("padOff " + std::to_string(pad)); }
    void audioRouteChangedStopAudio() override { log.push_back("routeLost"); }
    void audioOutputLost(const std::string& message) override { log.push_back("outputLost " + message); }
    void audioOutputRestored(const std::string& message) override { log.push_back("outputBack " + message); }
    void audioOutputNotOpened(const std::string& message) override { log.push_back("notOpened " + message); }
    size_t count(const std::string& prefix) const {
        return size_t(std::count_if(log.begin(), log.end(), [&](const std::string& entry) {
            return entry.rfind(prefix, 0) == 0;
        }));
    }
    bool saw(const std::string& entry) const { return std::find(log.begin(), log.end(), entry) != log.end(); }
};

/// On a device that runs in real time: pumps `loop` until `observer` hears that
/// `path` finished (five seconds at most) and answers the loudest left-channel
/// level the meter showed meanwhile.
inline float loudestUntilFinished(SoundBox& box, platform::MainLoop& loop, const RecordingDelegate& observer,
                                  const std::string& path) {
    float loudest = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!observer.saw("finished " + path) && std::chrono::steady_clock::now() < deadline) {
        loop.runPending();
        loudest = std::max(loudest, box.currentVolumeLeftChannel());
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return loudest;
}

}  // namespace strombel::engine::testing
