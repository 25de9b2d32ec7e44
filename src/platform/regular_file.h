#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace strombel::platform {

/// Why `file` cannot be opened as a data file of the program: nothing when it is
/// missing or a regular file (or a link to one), otherwise a sentence naming
/// what lies there ("/r/defaults.sqlite is a named pipe, not a regular file").
/// It only looks at the file, never opens it: opening a named pipe would wait
/// for a writer for ever.
std::optional<std::string> notARegularFile(const std::filesystem::path& file);

/// The same for an SQLite database and the files SQLite keeps beside it
/// ("-wal", "-shm", "-journal"), any of which SQLite opens with it.
std::optional<std::string> notRegularSqliteFiles(const std::filesystem::path& database);

}  // namespace strombel::platform
