#include "hub/bus_log.h"

#include <mutex>

#include "logging/log.h"

namespace strombel::hub {

namespace {
std::mutex sinkMutex;
std::function<void(const std::string&)>& sink() {
    static std::function<void(const std::string&)> installed;
    return installed;
}
}  // namespace

void busLogLine(std::string line) {
    {
        std::lock_guard lock(sinkMutex);
        if (sink()) {
            sink()(line);
            return;
        }
    }
    STROMBEL_LOG_WARN("{}", line);
}

bool BusLogLimiter::admit(const void* peer, const char* kind, uint64_t& leftOut, uint64_t& othersLeftOut) {
    const uint64_t now = clock_.nowNanos();
    std::lock_guard lock(mutex_);
    // Many peers flooding at once: what was quiet for an interval goes first.
    constexpr size_t kMostEntries = 4096;
    if (entries_.size() >= kMostEntries) {
        std::erase_if(entries_, [&](const auto& entry) { return now - entry.second.written >= interval_; });
        if (entries_.size() >= kMostEntries) entries_.clear();
    }
    auto [it, added] = entries_.try_emplace({peer, kind});
    Entry& entry = it->second;
    if (!added && now - entry.written < interval_) {
        ++entry.leftOut;
        return false;
    }
    Kind& lines = kinds_[kind];
    if (now - lines.intervalStart >= interval_) {
        lines.intervalStart = now;
        lines.written = 0;
    }
    if (lines.written >= kLinesPerKind) {
        // Counted for the line the kind writes next; this peer's next line is
        // not held back by a line it never wrote.
        ++lines.leftOut;
        if (added) entries_.erase(it);
        return false;
    }
    ++lines.written;
    leftOut = entry.leftOut;
    othersLeftOut = lines.leftOut;
    lines.leftOut = 0;
    entry = {now, 0};
    return true;
}

void setBusLogSink(std::function<void(const std::string&)> newSink) {
    std::lock_guard lock(sinkMutex);
    sink() = std::move(newSink);
}

}  // namespace strombel::hub
