#pragma once

#include <filesystem>
#include <string>

namespace strombel::platform {

/// Moves `from` to `to` without ever replacing a file already at `to`: a rename
/// that refuses an existing target, or, across file systems, a copy into a new
/// file followed by removing `from`. Answers an empty text on success, else what
/// went wrong; on failure `from` is where it was and nothing is left at `to`.
std::string moveFileWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to);

/// Forces a file's bytes, or a folder's list of entries (the renames into it),
/// to the disk. Answers an empty text on success, else what went wrong.
std::string syncToDisk(const std::filesystem::path& fileOrFolder);

}  // namespace strombel::platform
