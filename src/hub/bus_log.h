#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "platform/clock.h"

namespace strombel::hub {

/// The message bus writes its own console lines ("Peer Drums (Stage) appeared")
/// through here: to the logging core as warnings, which the application's level
/// lets through. Tests install a sink to read them.
void busLogLine(std::string line);

/// Replaces where the lines go (nothing restores the logging core but passing an
/// empty function). For tests.
void setBusLogSink(std::function<void(const std::string&)> sink);

template <typename... Args>
void busLog(fmt::format_string<Args...> format, Args&&... args) {
    busLogLine(fmt::format(format, std::forward<Args>(args)...));
}

/// Lines that a peer's datagrams can cause, one for each, written at most once
/// a second per peer and kind: the next line written says how many were left
/// out since ("Invalid message from peer Drums (Desk) (9999 more since)"), so
/// that a flood of bad datagrams neither fills the log nor hides its size. Any
/// thread.
class BusLogLimiter {
public:
    explicit BusLogLimiter(const platform::Clock& clock, uint64_t intervalNanos = platform::kNanosPerSecond)
        : clock_(clock), interval_(intervalNanos) {}

    /// Writes the line `makeLine` returns, unless a line of this `kind` (a text
    /// of static storage, told apart by its address) about `peer` was written
    /// within the interval; the line is made only when it is written.
    template <typename MakeLine>
    void log(const void* peer, const char* kind, MakeLine&& makeLine) {
        uint64_t leftOut = 0;
        if (!admit(peer, kind, leftOut)) return;
        std::string line = makeLine();
        if (leftOut) line += fmt::format(" ({} more since)", leftOut);
        busLogLine(std::move(line));
    }

private:
    bool admit(const void* peer, const char* kind, uint64_t& leftOut);

    struct Entry {
        uint64_t written = 0;
        uint64_t leftOut = 0;
    };
    const platform::Clock& clock_;
    const uint64_t interval_;
    std::mutex mutex_;
    std::map<std::pair<const void*, const char*>, Entry> entries_;
};

}  // namespace strombel::hub
