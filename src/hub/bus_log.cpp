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

void setBusLogSink(std::function<void(const std::string&)> newSink) {
    std::lock_guard lock(sinkMutex);
    sink() = std::move(newSink);
}

}  // namespace strombel::hub
