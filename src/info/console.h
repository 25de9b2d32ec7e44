#pragma once

#include <functional>
#include <string>

namespace strombel::info {

/// Writes one line to the program's console (standard error), or to the sink a
/// test set. Any thread.
void consoleLine(const std::string& line);

/// Sends console lines to `sink` instead; an empty sink restores standard error.
void setConsoleSink(std::function<void(const std::string&)> sink);

}  // namespace strombel::info
