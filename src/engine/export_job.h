#pragma once

// An export of timed sample starts and stops into a WAVE file, rendered on a
// thread of its own so that the main loop goes on answering while it runs: its
// progress and its end are told on the main loop, and it can be cancelled at any
// moment, leaving no file behind.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <stop_token>
#include <string_view>

#include "platform/worker.h"

namespace strombel::engine {

/// The domain of an export whose file could not be written (code 1; the message
/// is the writer's reason).
inline constexpr std::string_view kSoundBoxExportErrorDomain = "SoundBoxExportErrorDomain";

/// What an export came to.
struct ExportOutcome {
    enum class Status { written, failed, cancelled };
    Status status = Status::written;
    /// Why it failed, in words for the user; empty otherwise.
    std::string error;
    /// The length of the file written, in seconds (0 unless written).
    double seconds = 0;
};

/// An export under way (made by `SoundBox::startExport`, through its Exporter).
/// Main loop only, but for `cancel`. Going, it cancels the export and waits for
/// its thread: once it is gone, so is the half-written file, and its end is
/// never told.
class ExportJob {
public:
    ~ExportJob();
    ExportJob(const ExportJob&) = delete;
    ExportJob& operator=(const ExportJob&) = delete;

    /// Asks the export to stop before its next chunk (any thread): the file is
    /// not written and the end is told as cancelled.
    void cancel();
    /// Waits until the rendering thread has ended; its end then waits on the
    /// main loop (tests and tools).
    void waitUntilRendered();
    /// The share rendered so far, 0 to 1 (any thread).
    float progress() const { return progress_.load(std::memory_order_relaxed); }

private:
    friend class Exporter;
    ExportJob() = default;

    std::stop_source stop_;
    platform::Worker thread_;  // woken by `cancel`
    std::atomic<float> progress_{0.0f};
    /// Held by what the thread posts to the main loop: dropped, it tells nothing more.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace strombel::engine
