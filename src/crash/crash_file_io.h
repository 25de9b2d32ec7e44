#pragma once

// Inside src/crash: stored reports and the upload client's files are read
// (never mapped) only up to a limit, and written whole or not at all.

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "json/result.h"

namespace strombel::crash::detail {

/// The file's bytes. A file larger than `limit` is an error and is not read; so
/// is anything but a regular file.
json::Result<std::vector<uint8_t>> readFileUpTo(const std::filesystem::path& path, uint64_t limit);

/// Writes a temporary file beside `path`, then renames it over `path`: the file
/// holds either its old bytes or all the new ones. `replace` false refuses to
/// replace an existing file (the temporary file is then removed).
json::Result<void> writeFileAtomically(const std::filesystem::path& path, std::span<const uint8_t> bytes,
                                       bool replace = true);

}  // namespace strombel::crash::detail
