#pragma once

// The offline export: timed starts and stops of samples mixed chunk by chunk into
// a 16-bit stereo WAVE file, faster than real time, on the calling thread or on a
// thread of its own (an ExportJob). It reads the tracks' decoded frames with read
// positions of its own, so it never moves a track's live position or state; the
// engine stops what plays live and picks the tracks before it is asked.

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "engine/export_job.h"
#include "engine/track.h"
#include "platform/export_event.h"
#include "platform/main_loop.h"

namespace strombel::engine {

class Exporter {
public:
    /// The tracks an export's events name, by their sample paths.
    using Tracks = std::map<std::string, std::shared_ptr<Track>, std::less<>>;

    /// `sampleRate` is the rate the tracks' frames are decoded at, read as an
    /// export begins; `volume` the master volume, read at each start. Both are
    /// the engine's and outlive the exporter.
    Exporter(platform::MainLoop& mainLoop, const std::atomic<double>& sampleRate, const std::atomic<float>& volume)
        : mainLoop_(mainLoop), sampleRate_(sampleRate), volume_(volume) {}

    /// Renders `events` (ascending by time) for `duration` seconds into the file
    /// at `path` on the calling thread (any thread), stopping before the next
    /// chunk once `stop` is asked, without a file. `progress` gets the fraction
    /// after each chunk, then 1.0.
    ExportOutcome render(const std::vector<platform::ExportEvent>& events, const Tracks& tracks,
                         const std::string& path, double duration, const std::function<void(float)>& progress,
                         std::stop_token stop) const;
    /// The same render on a thread of its own; answers at once. `progress` hears
    /// the share rendered at each whole percent, and `done` the outcome, both on
    /// the main loop and only while the job lives. Main loop only.
    std::unique_ptr<ExportJob> start(std::vector<platform::ExportEvent> events, Tracks tracks, std::string path,
                                     double duration, std::function<void(float)> progress,
                                     std::function<void(const ExportOutcome&)> done) const;

private:
    platform::MainLoop& mainLoop_;
    const std::atomic<double>& sampleRate_;
    const std::atomic<float>& volume_;
};

}  // namespace strombel::engine
