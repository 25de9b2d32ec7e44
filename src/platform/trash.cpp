#include "platform/trash.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/whole_file.h"

namespace strombel::platform {
namespace {

/// A path as a trash information file writes it: every byte but the unreserved
/// ones and "/" percent-encoded.
std::string escapedPath(const std::string& path) {
    std::string out;
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
            out += char(c);
        } else {
            char code[4];
            std::snprintf(code, sizeof code, "%%%02X", c);
            out += code;
        }
    }
    return out;
}

std::string localDate(std::chrono::system_clock::time_point at) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

/// Makes `folder` unless it is one already; false with errno set otherwise.
bool makeFolder(const std::filesystem::path& folder) {
    if (::mkdir(folder.c_str(), 0700) == 0) return true;
    if (errno != EEXIST) return false;
    struct stat facts {};
    if (::stat(folder.c_str(), &facts) == 0 && S_ISDIR(facts.st_mode)) return true;
    errno = ENOTDIR;
    return false;
}

}  // namespace

std::filesystem::path Trash::defaultFolder() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data) return std::filesystem::path(data) / "Trash";
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : "/") / ".local" / "share" / "Trash";
}

Result<void> Trash::moveToTrash(const std::filesystem::path& file,
                                std::chrono::system_clock::time_point deletedAt) const {
    const auto refused = [](const std::string& why) { return Error::make(kTrashErrorDomain, kTrashRefused, why); };
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(file, error);
    if (error) return refused("its place could not be told: " + error.message());
    struct stat facts {};
    if (::lstat(absolute.c_str(), &facts) != 0) return refused(std::strerror(errno));
    if (S_ISDIR(facts.st_mode)) return refused("it is a folder, not a file");
    const std::filesystem::path files = folder_ / "files", info = folder_ / "info";
    std::filesystem::create_directories(folder_.parent_path(), error);
    if (!makeFolder(folder_) || !makeFolder(files) || !makeFolder(info))
        return refused("the trash folder " + folder_.string() + " cannot be made: " + std::strerror(errno));

    // The information file is made first, whole, under a name no file has: its
    // name reserves the name in "files" against every other program putting
    // things in the trash.
    const std::string text =
        "[Trash Info]\nPath=" + escapedPath(absolute.string()) + "\nDeletionDate=" + localDate(deletedAt) + "\n";
    const std::string stem = absolute.stem().string(), extension = absolute.extension().string();
    for (int number = 1; number < 10000; ++number) {
        const std::string name =
            number == 1 ? absolute.filename().string() : stem + "." + std::to_string(number) + extension;
        const std::filesystem::path infoFile = info / (name + ".trashinfo");
        WholeFile reservation(infoFile, WholeFileOptions().withMode(0600));
        const Result<void> reserved =
            reservation.write(text) ? reservation.commitWithoutReplacing(infoFile) : reservation.failure();
        if (!reserved && reserved.error().code == EEXIST) continue;
        if (!reserved)
            return refused("the trash folder " + folder_.string() +
                           " cannot be written: " + systemReason(reserved.error()));
        // A rename that never replaces: whatever lies in "files" under that name
        // without its information (a leftover, even a link to nothing) is kept.
        const std::filesystem::path target = files / name;
        int renameErrno =
            ::renameat2(AT_FDCWD, absolute.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0 ? 0 : errno;
        if (renameErrno == EINVAL || renameErrno == ENOSYS) {
            // A file system without the refusing rename: a hard link refuses a taken name as well.
            renameErrno = ::link(absolute.c_str(), target.c_str()) == 0 ? 0 : errno;
            if (renameErrno == 0) ::unlink(absolute.c_str());
        }
        if (renameErrno == EEXIST) {
            ::unlink(infoFile.c_str());
            continue;
        }
        if (renameErrno != 0) {
            ::unlink(infoFile.c_str());
            if (renameErrno == EXDEV)
                return refused("it lies on another file system than the trash (" + folder_.string() + ")");
            return refused(std::strerror(renameErrno));
        }
        return {};
    }
    return refused("the trash has no free name for it");
}

}  // namespace strombel::platform
