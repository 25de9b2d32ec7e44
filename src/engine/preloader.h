#pragma once

// The preload thread: decodes tracks' frames into memory ahead of their starts.
// Requests come from any thread, the audio thread's too (a push into a lock-free
// ring that allocates nothing); a sample whose file cannot be read is told once,
// on the main loop, until it has loaded again.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "engine/track.h"
#include "platform/main_loop.h"
#include "platform/mpsc_ring.h"
#include "platform/wakeup.h"
#include "platform/worker.h"

namespace strombel::engine {

class Preloader {
public:
    /// `unreadable` hears, on `mainLoop`, a sample's path and the words for the
    /// user when its file could not be read.
    Preloader(platform::MainLoop& mainLoop,
              std::function<void(const std::string& path, const std::string& message)> unreadable);
    ~Preloader() { stop(); }
    Preloader(const Preloader&) = delete;
    Preloader& operator=(const Preloader&) = delete;

    /// Queues a load of the track's frames (`force`: even when marked loaded);
    /// a full queue drops it, leaving the track unmarked. Any thread.
    void request(const std::shared_ptr<Track>& track, bool force);
    /// Waits until every load queued so far has finished (tests, tools).
    void waitUntilDone();
    /// Tests: `gate` runs on the preload thread before each load.
    void setGate(std::function<void()> gate);
    /// Ends the thread once the loads queued have run.
    void stop() { thread_.stop(); }

private:
    void run();
    /// Notes a load that ended: frames read (true), or why not (told once a path).
    void noteOutcome(const Track& track, const platform::Result<bool>& loaded);

    platform::MainLoop& mainLoop_;
    std::function<void(const std::string&, const std::string&)> unreadable_;
    platform::MpscRing<std::shared_ptr<Track>> requests_{1024};
    platform::Wakeup wakeup_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> queued_{0};
    std::atomic<uint64_t> done_{0};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::function<void()> gate_;         // under mutex_
    std::set<std::string> unreadableTold_;  // under mutex_: paths told unreadable since they last loaded
    std::shared_ptr<int> lifeToken_ = std::make_shared<int>(0);
    platform::Worker thread_;  // last: made once the rest is, stopped first
};

}  // namespace strombel::engine
