#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace strombel::platform {

/// Why a folder is not one of this user's alone (kPrivateFolderErrorDomain); the
/// message is a sentence naming the folder and saying why.
inline constexpr std::string_view kPrivateFolderErrorDomain = "PrivateFolderErrorDomain";
enum PrivateFolderError : int64_t {
    /// It cannot be made or looked at (the system's error under it).
    PrivateFolderUnreachable = 1,
    /// A link, or something that is no folder.
    PrivateFolderNotAFolder = 2,
    /// Another user's, or open to other users.
    PrivateFolderNotPrivate = 3,
};

/// Makes `folder` (mode 0700) when it is missing, then checks that only this
/// user can reach what lies in it: a real directory (not a link), owned by the
/// user, with mode 0700. An error when it is not such a folder. A folder that
/// exists is never changed.
Result<void> preparePrivateFolder(const std::filesystem::path& folder);

/// The user's runtime folder ($XDG_RUNTIME_DIR), or nothing when it is not set.
std::optional<std::filesystem::path> userRuntimeFolder();

}  // namespace strombel::platform
