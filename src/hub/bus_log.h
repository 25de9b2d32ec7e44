#pragma once

#include <fmt/format.h>

#include <functional>
#include <string>

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

}  // namespace strombel::hub
