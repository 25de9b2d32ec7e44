#include "platform/runtime_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace strombel::platform {

std::optional<std::string> preparePrivateFolder(const std::filesystem::path& folder) {
    const std::string name = folder.string();
    if (::mkdir(name.c_str(), 0700) != 0 && errno != EEXIST) {
        return "the folder " + name + " cannot be made: " + std::strerror(errno);
    }
    // lstat: a link named like the folder is refused, wherever it points.
    struct stat info {};
    if (::lstat(name.c_str(), &info) != 0) return "the folder " + name + " cannot be read: " + std::strerror(errno);
    if (S_ISLNK(info.st_mode)) return "the folder " + name + " is a symbolic link, not a folder of its own";
    if (!S_ISDIR(info.st_mode)) return name + " is not a folder";
    if (info.st_uid != ::geteuid()) {
        return "the folder " + name + " belongs to another user (uid " + std::to_string(info.st_uid) + ")";
    }
    if ((info.st_mode & 07777) != 0700) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(info.st_mode & 07777));
        return "the folder " + name + " has mode " + mode + ", where only 0700 keeps other users out";
    }
    return std::nullopt;
}

std::optional<std::filesystem::path> userRuntimeFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime) return std::nullopt;
    return std::filesystem::path(runtime);
}

}  // namespace strombel::platform
