#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace strombel::platform {

/// One posted notification: its name, the object that posted it (compared by
/// identity, never dereferenced) and a free-form user-info value.
struct Notification {
    std::string name;
    const void* sender = nullptr;
    std::any userInfo;
};

/// Notifications by name. Observers run synchronously on the posting thread, in
/// the order they were added; an observer may remove itself or any other observer
/// during delivery, and a removed observer is never called afterwards.
class NotificationCenter {
public:
    using ObserverId = uint64_t;
    using Handler = std::function<void(const Notification&)>;

    static NotificationCenter& shared();

    /// Observes `name` (every name when empty), from `sender` only when not null.
    ObserverId addObserver(std::string name, const void* sender, Handler handler);
    void removeObserver(ObserverId observer);

    void post(const std::string& name, const void* sender = nullptr, std::any userInfo = {});

private:
    struct Entry {
        ObserverId id;
        std::string name;
        const void* sender;
        std::shared_ptr<Handler> handler;
    };

    std::mutex mutex_;
    std::vector<Entry> entries_;
    ObserverId nextId_ = 1;
};

}  // namespace strombel::platform
