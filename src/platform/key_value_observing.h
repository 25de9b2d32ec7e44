#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/main_loop.h"

namespace strombel::platform {

/// Change notices by key, for objects whose properties others watch ("metadata",
/// "socketPort"). Observers run synchronously on the thread that reports the
/// change, in the order they were added; one may remove itself or another during
/// delivery, and a removed observer is not called again.
class KeyValueObservable {
public:
    using ObserverId = uint64_t;
    using Handler = std::function<void()>;

    virtual ~KeyValueObservable() = default;
    ObserverId addObserver(std::string key, Handler handler);
    void removeObserver(ObserverId observer);

protected:
    /// Tells the observers of `key` that it changed.
    void didChangeValueForKey(const std::string& key);

private:
    struct Entry {
        ObserverId id;
        std::string key;
        std::shared_ptr<Handler> handler;
    };
    std::vector<Entry> entries_;
    ObserverId nextId_ = 1;
};

/// A call on the main loop that bursts of requests coalesce into one: each
/// `schedule` cancels the pending call and schedules it again. Use and destroy
/// on the loop's thread; destruction cancels a pending call.
class DeferredCall {
public:
    DeferredCall(MainLoop& loop, std::function<void()> work) : loop_(loop), work_(std::move(work)) {}
    ~DeferredCall() { cancel(); }
    DeferredCall(const DeferredCall&) = delete;
    DeferredCall& operator=(const DeferredCall&) = delete;

    void schedule(uint64_t delayNanos);
    void cancel();
    bool pending() const { return timer_ != 0; }

private:
    MainLoop& loop_;
    std::function<void()> work_;
    MainLoop::TimerId timer_ = 0;
};

}  // namespace strombel::platform
