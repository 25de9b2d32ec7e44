#pragma once

#include <cstdint>

namespace strombel::platform {

/// The index that means "none": no pattern pending or selected, no bank, no pad
/// being learned. The largest signed 64-bit value, the same in every part, so an
/// index one part hands another compares equal to "none" on both sides.
inline constexpr uint64_t kNotFound = static_cast<uint64_t>(INT64_MAX);

}  // namespace strombel::platform
