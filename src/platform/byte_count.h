#pragma once

#include <cstdint>
#include <string>

namespace strombel::platform {

/// A size as people read it: "300 bytes", "1.5 KB", "64 MB", "2 GB" (units of
/// 1024, one decimal where it is not zero).
std::string byteCountText(uint64_t bytes);

}  // namespace strombel::platform
