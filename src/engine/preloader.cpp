// The preload thread and what it tells.

#include "engine/preloader.h"

#include <filesystem>

#include <fmt/format.h>

namespace strombel::engine {

Preloader::Preloader(platform::MainLoop& mainLoop,
                     std::function<void(const std::string& path, const std::string& message)> unreadable)
    : mainLoop_(mainLoop), unreadable_(std::move(unreadable)) {
    thread_ = platform::Worker("sound preloader", [this] { run(); }, [this] {
        stopping_.store(true);
        wakeup_.signal();
    });
}

void Preloader::request(const std::shared_ptr<Track>& track, bool force) {
    if (!force && !track->markLoadRequested()) return;
    if (!requests_.push(track)) {
        track->unmarkLoadRequested();
        return;
    }
    queued_.fetch_add(1, std::memory_order_acq_rel);
    wakeup_.signal();
}

void Preloader::run() {
    for (;;) {
        wakeup_.wait();
        std::shared_ptr<Track> track;
        while (requests_.pop(track)) {
            std::function<void()> gate;
            {
                std::lock_guard lock(mutex_);
                gate = gate_;
            }
            if (gate) gate();
            const platform::Result<bool> loaded = track->preloadFrames();
            // False: nothing was read (not prepared, or failed a moment ago).
            if (!loaded || loaded.value()) noteOutcome(*track, loaded);
            track.reset();
            {
                std::lock_guard lock(mutex_);
                done_.fetch_add(1, std::memory_order_acq_rel);
            }
            changed_.notify_all();
        }
        if (stopping_.load()) return;
    }
}

void Preloader::noteOutcome(const Track& track, const platform::Result<bool>& loaded) {
    const std::string& path = track.relativeFileName();
    {
        std::lock_guard lock(mutex_);
        if (loaded) {
            unreadableTold_.erase(path);
            return;
        }
        if (!unreadableTold_.insert(path).second) return;
    }
    const std::string message =
        fmt::format("The sample '{}' cannot be played: {} could not be read ({}).",
                    std::filesystem::path(path).stem().string(), path, loaded.error().message());
    std::weak_ptr<int> alive = lifeToken_;
    mainLoop_.post([this, alive, path, message] {
        if (alive.lock() && unreadable_) unreadable_(path, message);
    });
}

void Preloader::setGate(std::function<void()> gate) {
    std::lock_guard lock(mutex_);
    gate_ = std::move(gate);
}

void Preloader::waitUntilDone() {
    const uint64_t queued = queued_.load(std::memory_order_acquire);
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return done_.load(std::memory_order_acquire) >= queued; });
}

}  // namespace strombel::engine
