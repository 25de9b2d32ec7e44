#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace strombel::platform {

/// Keeps a damaged or unreadable file for inspection instead of overwriting it:
/// renames it to "<file>.<reason>-YYYYMMDD-HHMMSS" (UTC; "-2", "-3", ... added
/// when that name is taken) and takes its SQLite companions ("-wal", "-shm",
/// "-journal") along. Answers the new path, or nothing when the file could not be
/// renamed (it then stays where it was).
std::optional<std::filesystem::path> setFileAside(const std::filesystem::path& file, const std::string& reason);

}  // namespace strombel::platform
