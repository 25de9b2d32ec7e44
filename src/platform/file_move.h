#pragma once

#include <filesystem>

#include "platform/result.h"

namespace strombel::platform {

/// Moves `from` to `to` without ever replacing a file already at `to`: a rename
/// that refuses an existing target, or, across file systems, a copy into a new
/// file followed by removing `from`. On failure (a POSIX error whose message is
/// the system's words) `from` is where it was and nothing is left at `to`.
Result<void> moveFileWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to);

/// Forces a file's bytes, or a folder's list of entries (the renames into it),
/// to the disk; a POSIX error with the system's words when it cannot.
Result<void> syncToDisk(const std::filesystem::path& fileOrFolder);

}  // namespace strombel::platform
