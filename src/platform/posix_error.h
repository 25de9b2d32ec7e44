#pragma once

// The system's error numbers as the platform's Error: the domain is
// kPosixErrorDomain and the code the errno.
//
//   if (::rename(from, to) != 0) return posixError(errno, "cannot rename " + from);
//   if (isDiskFull(error)) offerToMakeRoom();

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace strombel::platform {

inline constexpr std::string_view kPosixErrorDomain = "POSIXErrorDomain";

/// An error of kPosixErrorDomain whose code is `code` (an errno) and whose
/// message is `message`, a sentence naming the step that failed and its file
/// ("cannot write /a/.b.tmp-x1Y2z3: No space left on device").
inline Error posixError(int code, std::string_view message) { return Error::make(kPosixErrorDomain, code, message); }

/// Whether `error` says the disk or the user's quota is full: making room may
/// help, as it does not for a folder that cannot be written.
inline bool isDiskFull(const Error& error) {
    return error.domain == kPosixErrorDomain && (error.code == ENOSPC || error.code == EDQUOT);
}

/// The system's words for a POSIX error alone ("No space left on device"); the
/// message of any other.
inline std::string systemReason(const Error& error) {
    return error.domain == kPosixErrorDomain ? std::strerror(static_cast<int>(error.code)) : error.message();
}

}  // namespace strombel::platform
