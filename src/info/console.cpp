#include "info/console.h"

#include <fmt/format.h>

#include <cstdio>
#include <mutex>

namespace strombel::info {

namespace {
std::mutex sinkMutex;
std::function<void(const std::string&)>& sink() {
    static std::function<void(const std::string&)> current;
    return current;
}
}  // namespace

void consoleLine(const std::string& line) {
    std::lock_guard lock(sinkMutex);
    if (sink()) {
        sink()(line);
    } else {
        fmt::print(stderr, "{}\n", line);
    }
}

void setConsoleSink(std::function<void(const std::string&)> newSink) {
    std::lock_guard lock(sinkMutex);
    sink() = std::move(newSink);
}

}  // namespace strombel::info
