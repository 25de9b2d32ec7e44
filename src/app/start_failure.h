#pragma once

#include <string>

namespace strombel::app {

/// Whether the program shows windows a user sees: not on Qt's offscreen or
/// minimal platforms. Call once the QApplication is made.
bool showsWindows();

/// What a user whose data folder cannot be used can do.
inline constexpr const char* kFolderAdvice =
    "Start it with --root and a folder it may write, or make this one writable.";

/// Ends a start that cannot go on: writes "strombel: `reason`" to standard error
/// and, where the program shows windows, tells it with `advice` in a message box
/// the user closes first (or a termination signal closes). Answers the exit
/// status, 1. Call once the QApplication is made.
int endStart(const std::string& reason, const std::string& advice = kFolderAdvice);

}  // namespace strombel::app
