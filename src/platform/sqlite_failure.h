#pragma once

#include <string>

struct sqlite3;

namespace strombel::platform {

/// True when an SQLite result code (primary or extended) says the file's
/// contents are not a database we can use: damage. A full disk, an I/O error, a
/// read-only file or folder, a missing permission or a lock say nothing about
/// the file, which must then be kept as it is.
bool sqliteCodeMeansDamage(int code);

/// Opens `file` only to read it, touching nothing on disk (no journal, no
/// shared-memory file): for a file on a disk that cannot be written. Null when
/// even that fails; the caller closes what it gets.
sqlite3* openSqliteUntouched(const std::string& file);

}  // namespace strombel::platform
