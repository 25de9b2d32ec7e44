#pragma once

// Helpers the loggers share for turning text into bytes on a file descriptor.

#include <sys/uio.h>

#include <span>
#include <string>
#include <string_view>

namespace strombel::logging {

/// True when `text` is well-formed UTF-8.
bool isValidUtf8(std::string_view text);

/// `text` with every ill-formed UTF-8 sequence replaced by U+FFFD.
std::string withReplacementCharacters(std::string_view text);

/// Writes every byte of `pieces` to `fd`: continues after short writes and
/// interruptions. Gives up (returning false) on any other error, or when a
/// non-blocking descriptor stays full for a second.
bool writeAll(int fd, std::span<iovec> pieces);

}  // namespace strombel::logging
