#include "platform/key_value_observing.h"

#include <algorithm>

namespace strombel::platform {

KeyValueObservable::ObserverId KeyValueObservable::addObserver(std::string key, Handler handler) {
    ObserverId id = nextId_++;
    entries_.push_back({id, std::move(key), std::make_shared<Handler>(std::move(handler))});
    return id;
}

void KeyValueObservable::removeObserver(ObserverId observer) {
    for (auto& entry : entries_) {
        if (entry.id == observer) *entry.handler = nullptr;
    }
    std::erase_if(entries_, [observer](const Entry& entry) { return entry.id == observer; });
}

void KeyValueObservable::didChangeValueForKey(const std::string& key) {
    std::vector<std::shared_ptr<Handler>> handlers;
    for (auto& entry : entries_) {
        if (entry.key == key) handlers.push_back(entry.handler);
    }
    for (auto& handler : handlers) {
        if (*handler) (*handler)();
    }
}

void DeferredCall::schedule(uint64_t delayNanos) {
    cancel();
    timer_ = loop_.schedule(delayNanos, [this] {
        timer_ = 0;
        work_();
    });
}

void DeferredCall::cancel() {
    if (timer_) loop_.cancel(timer_);
    timer_ = 0;
}

}  // namespace strombel::platform
