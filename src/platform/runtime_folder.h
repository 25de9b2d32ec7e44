#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace strombel::platform {

/// Makes `folder` (mode 0700) when it is missing, then checks that only this
/// user can reach what lies in it: a real directory (not a link), owned by the
/// user, with mode 0700. Returns nothing when it is such a folder, otherwise a
/// sentence saying why it is refused. A folder that exists is never changed.
std::optional<std::string> preparePrivateFolder(const std::filesystem::path& folder);

/// The user's runtime folder ($XDG_RUNTIME_DIR), or nothing when it is not set.
std::optional<std::filesystem::path> userRuntimeFolder();

}  // namespace strombel::platform
