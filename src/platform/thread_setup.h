#pragma once

#include <string>
#include <string_view>

namespace strombel::platform {

/// Names the calling thread (the kernel keeps the first 15 bytes) and returns
/// an empty string, or what went wrong.
std::string nameCurrentThread(std::string_view name);

// Real-time scheduling is the thread priority policy's (platform/thread_priority.h).

}  // namespace strombel::platform
