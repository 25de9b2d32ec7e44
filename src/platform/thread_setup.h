#pragma once

#include <string>
#include <string_view>

namespace strombel::platform {

/// Names the calling thread (the kernel keeps the first 15 bytes) and returns
/// an empty string, or what went wrong.
std::string nameCurrentThread(std::string_view name);

/// Asks first-in-first-out real-time scheduling at the system's highest priority
/// for the calling thread. Returns an empty string, or what went wrong (an
/// unprivileged user without an rtprio limit gets EPERM).
std::string makeCurrentThreadRealTime();

}  // namespace strombel::platform
