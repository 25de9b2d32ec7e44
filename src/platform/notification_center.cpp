#include "platform/notification_center.h"

#include <algorithm>
#include <memory>
#include <utility>

namespace strombel::platform {

NotificationCenter& NotificationCenter::shared() {
    static NotificationCenter center;
    return center;
}

NotificationCenter::ObserverId NotificationCenter::addObserver(std::string name, const void* sender,
                                                               Handler handler) {
    std::lock_guard lock(mutex_);
    ObserverId id = nextId_++;
    entries_.push_back({id, std::move(name), sender, std::make_shared<Handler>(std::move(handler))});
    return id;
}

void NotificationCenter::removeObserver(ObserverId observer) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const Entry& entry) { return entry.id == observer; });
}

void NotificationCenter::post(const std::string& name, const void* sender, std::any userInfo) {
    Notification notification{name, sender, std::move(userInfo)};
    std::vector<ObserverId> targets;
    {
        std::lock_guard lock(mutex_);
        for (const Entry& entry : entries_) {
            if ((entry.name.empty() || entry.name == name) &&
                (entry.sender == nullptr || entry.sender == sender)) {
                targets.push_back(entry.id);
            }
        }
    }
    for (ObserverId id : targets) {
        std::shared_ptr<Handler> handler;
        {
            // Look the observer up again: an earlier one may have removed it.
            std::lock_guard lock(mutex_);
            auto found = std::find_if(entries_.begin(), entries_.end(),
                                      [&](const Entry& entry) { return entry.id == id; });
            if (found == entries_.end()) continue;
            handler = found->handler;
        }
        (*handler)(notification);
    }
}

}  // namespace strombel::platform
