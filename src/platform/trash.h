#pragma once

#include <chrono>
#include <filesystem>
#include <string_view>

#include "platform/result.h"

namespace strombel::platform {

/// Why a file could not go to the trash, in words for the user.
inline constexpr std::string_view kTrashErrorDomain = "TrashErrorDomain";
inline constexpr int64_t kTrashRefused = 1;

/// The desktop's trash, where files of the user's own go instead of being
/// deleted: "files/" holds them, "info/" a ".trashinfo" for each (where it was
/// and when it went), so that the desktop's file manager can put them back.
/// Files are only renamed into it, never copied: a file on another file system
/// than the trash stays where it is.
class Trash {
public:
    explicit Trash(std::filesystem::path folder) : folder_(std::move(folder)) {}

    /// $XDG_DATA_HOME/Trash, else ~/.local/share/Trash.
    static std::filesystem::path defaultFolder();

    const std::filesystem::path& folder() const { return folder_; }

    /// Moves `file` into the trash under its own name, or, when that is taken,
    /// "name.2.ext", "name.3.ext" and on; `deletedAt` goes into its information
    /// file in local time. On failure (kTrashRefused, saying why) the file is
    /// where it was and nothing is left in the trash.
    Result<void> moveToTrash(const std::filesystem::path& file,
                             std::chrono::system_clock::time_point deletedAt) const;

private:
    std::filesystem::path folder_;
};

}  // namespace strombel::platform
