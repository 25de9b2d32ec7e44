#pragma once

// What the desktop session tells the rest of the program about the program's
// life-cycle, beside the application delegate's own hooks.

namespace strombel::platform {

/// Posted on the program's NotificationCenter each time the program becomes
/// active (its window shown or restored), after the application delegate heard it.
inline constexpr const char* kApplicationDidBecomeActiveNotification = "ApplicationDidBecomeActiveNotification";

}  // namespace strombel::platform
