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

/// Lines that peers can cause, one for each datagram or announcement, written
/// at most once an interval per peer and kind, and at most
/// kLinesPerKind of a kind an interval whatever the number of peers. A line
/// written says how many of its peer were left out since ("Invalid message
/// from peer Drums (Desk) (9999 more since)") and how many of other peers the
/// kind's limit left out ("(and 1990 more of this kind)"), so that a flood neither
/// fills the log nor hides its size. Any thread.
class BusLogLimiter {
public:
    /// Lines of one kind an interval, of all peers together.
    static constexpr uint64_t kLinesPerKind = 10;

    explicit BusLogLimiter(const platform::Clock& clock, uint64_t intervalNanos = platform::kNanosPerSecond)
        : clock_(clock), interval_(intervalNanos) {}

    /// Writes the line `makeLine` returns, unless a line of this `kind` (a text
    /// of static storage, told apart by its address) about `peer` was written
    /// within the interval, or the kind's lines of the interval are spent; the
    /// line is made only when it is written.
    template <typename MakeLine>
    void log(const void* peer, const char* kind, MakeLine&& makeLine) {
        uint64_t leftOut = 0, othersLeftOut = 0;
        if (!admit(peer, kind, leftOut, othersLeftOut)) return;
        std::string line = makeLine();
        if (leftOut) line += fmt::format(" ({} more since)", leftOut);
        if (othersLeftOut) line += fmt::format(" (and {} more of this kind)", othersLeftOut);
        busLogLine(std::move(line));
    }

private:
    bool admit(const void* peer, const char* kind, uint64_t& leftOut, uint64_t& othersLeftOut);

    struct Entry {
        uint64_t written = 0;
        uint64_t leftOut = 0;
    };
    struct Kind {
        uint64_t intervalStart = 0;
        uint64_t written = 0;   // in the interval that started then
        uint64_t leftOut = 0;   // by the kind's limit, not yet told
    };
    const platform::Clock& clock_;
    const uint64_t interval_;
    std::mutex mutex_;
    std::map<std::pair<const void*, const char*>, Entry> entries_;
    std::map<const char*, Kind> kinds_;
};

}  // namespace strombel::hub
