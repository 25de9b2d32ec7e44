#pragma once

// What the desktop session tells the rest of the program about the program's
// life-cycle, beside the application delegate's own hooks.

namespace strombel::platform {

/// Posted on the program's NotificationCenter each time the program becomes
/// active (its window shown or restored), after the application delegate heard it.
inline constexpr const char* kApplicationDidBecomeActiveNotification = "ApplicationDidBecomeActiveNotification";
/// The other steps of the life-cycle, posted the same way after the delegate's
/// hook, under the tablet platform's names (the log flushes on the terminate one).
inline constexpr const char* kApplicationWillResignActiveNotification =
    "UIApplicationWillResignActiveNotification";
inline constexpr const char* kApplicationDidEnterBackgroundNotification =
    "UIApplicationDidEnterBackgroundNotification";
inline constexpr const char* kApplicationWillEnterForegroundNotification =
    "UIApplicationWillEnterForegroundNotification";
inline constexpr const char* kApplicationWillTerminateNotification =
    "UIApplicationWillTerminateNotification";
/// The system is short of memory: drop what can be made again.
inline constexpr const char* kApplicationDidReceiveMemoryWarningNotification =
    "UIApplicationDidReceiveMemoryWarningNotification";

}  // namespace strombel::platform
