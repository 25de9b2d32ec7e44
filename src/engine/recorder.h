#pragma once

// The microphone's take: the input callback copies what the device captures into
// a ring, a writer thread empties the ring into the take's file, and the take's
// clock turns input that did not come (a device lost and back) into silence, so
// that the take keeps its timeline. The engine switches the device to duplex and
// back around it; the take itself needs only its file and the main loop.

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio_file.h"
#include "platform/main_loop.h"
#include "platform/result.h"
#include "platform/worker.h"

namespace strombel::engine {

/// A take's file that could not be opened (code 1; the message is the writer's).
inline constexpr std::string_view kRecorderErrorDomain = "RecorderErrorDomain";

class Recorder {
public:
    /// How a take ended.
    struct Ending {
        /// The take lies whole in its file; else `error` says why it does not.
        bool written = false;
        std::string error;
        /// Seconds of input that did not come, kept in the take as silence.
        double silencedSeconds = 0;
    };

    /// `inputOverran` runs on the audio thread when the ring could not take
    /// everything (it must neither allocate nor wait); `writeFailed` on the main
    /// loop, once, when the take's file could not be written while it ran.
    Recorder(platform::MainLoop& mainLoop, std::function<void()> inputOverran,
             std::function<void(const std::string&)> writeFailed);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    /// Main loop: opens the take's file at `rate` (the rate the device captures)
    /// and starts its writer; the input counts from now on. An error of
    /// kRecorderErrorDomain when the file cannot be opened.
    platform::Result<void> begin(const std::filesystem::path& path, double rate);
    /// Main loop: the input no longer counts (the device is switched back next).
    void stopInput() { running_.store(false); }
    /// Main loop, after `stopInput`: writes what is left and closes the file.
    Ending finish();
    /// Main loop: stops the take begun and leaves no file under `path`.
    void abandon(const std::filesystem::path& path);
    bool running() const { return running_.load(); }
    /// Microphone samples the ring could not take, since the recorder was made (any thread).
    uint64_t overruns() const { return overruns_.load(std::memory_order_relaxed); }

    /// Audio thread: `frames` samples whose first was captured at `hostTimeNanos`.
    /// Allocates nothing, takes no lock, touches no file.
    void input(uint32_t frames, uint64_t hostTimeNanos, const int32_t* mono);

private:
    /// Input that did not come, as silence owed before the sample at `position`
    /// of the ring's stream.
    struct Gap {
        size_t position = 0;
        uint64_t frames = 0;
    };
    /// The writer thread of take number `take`.
    void writerLoop(uint64_t take);

    platform::MainLoop& mainLoop_;
    std::function<void()> inputOverran_;
    std::function<void(const std::string&)> writeFailed_;

    std::atomic<bool> running_{false};
    std::vector<int32_t> ring_;
    std::atomic<size_t> head_{0}, tail_{0};
    std::array<Gap, 64> gaps_{};
    std::atomic<size_t> gapHead_{0}, gapTail_{0};
    std::atomic<uint64_t> silencedFrames_{0};
    uint64_t nextInputTime_ = 0;  // the audio thread's: when the next input frame is due
    double rate_ = 44100.0;
    std::atomic<uint64_t> overruns_{0};
    uint64_t take_ = 0;  // main loop: the takes begun so far
    std::atomic<bool> writerStop_{false};
    platform::WaveWriter file_;
    std::shared_ptr<int> lifeToken_ = std::make_shared<int>(0);
    platform::Worker writer_;  // last: stopped first, while the rest still lives
};

}  // namespace strombel::engine
