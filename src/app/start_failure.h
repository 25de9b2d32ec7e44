#pragma once

#include <string>

namespace strombel::app {

/// Whether the program shows windows a user sees: not on Qt's offscreen or
/// minimal platforms. Call once the QApplication is made.
bool showsWindows();

/// Ends a start that cannot go on: writes "strombel: `reason`" to standard error
/// and, where the program shows windows, tells it in a message box the user
/// closes first. Answers the exit status, 1. Call once the QApplication is made.
int endStart(const std::string& reason);

}  // namespace strombel::app
