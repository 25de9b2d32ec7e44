#pragma once

// Inside src/crash: stored reports and the upload client's files are read
// (never mapped) only up to a limit, and written whole or not at all.

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "platform/property_list.h"
#include "platform/result.h"

namespace strombel::crash::detail {

/// The file's bytes. A file larger than `limit` is an error and is not read; so
/// is anything but a regular file.
platform::Result<std::vector<uint8_t>> readFileUpTo(const std::filesystem::path& path, uint64_t limit);

/// Replaces `path` whole (platform::WholeFile): the file holds either its old
/// bytes or all the new ones. `replace` false refuses to replace an existing
/// file (an error of code EEXIST; nothing is left aside).
platform::Result<void> writeFileAtomically(const std::filesystem::path& path, std::span<const uint8_t> bytes,
                                           bool replace = true);

/// The dictionary of a property list file of at most `limit` bytes; an error
/// when the file cannot be read or holds no dictionary.
platform::Result<platform::PropertyValue::Dictionary> readPropertyList(const std::filesystem::path& path, uint64_t limit);

/// Writes `dictionary` as a binary property list, whole or not at all.
platform::Result<void> writePropertyList(const std::filesystem::path& path, platform::PropertyValue::Dictionary dictionary);

}  // namespace strombel::crash::detail
