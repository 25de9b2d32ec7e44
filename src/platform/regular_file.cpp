#include "platform/regular_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace strombel::platform {

std::optional<std::string> notARegularFile(const std::filesystem::path& file) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) {
        // Missing (or a link to nothing) is no obstacle; what cannot be looked at
        // is told by whoever opens it.
        return std::nullopt;
    }
    const char* kind = nullptr;
    if (S_ISREG(info.st_mode)) return std::nullopt;
    if (S_ISFIFO(info.st_mode)) kind = "a named pipe";
    else if (S_ISDIR(info.st_mode)) kind = "a folder";
    else if (S_ISSOCK(info.st_mode)) kind = "a socket";
    else if (S_ISCHR(info.st_mode)) kind = "a character device";
    else if (S_ISBLK(info.st_mode)) kind = "a block device";
    else kind = "something other than a file";
    return file.string() + " is " + kind + ", not a regular file";
}

std::optional<std::string> notRegularSqliteFiles(const std::filesystem::path& database) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        if (auto why = notARegularFile(database.string() + suffix)) return why;
    }
    return std::nullopt;
}

}  // namespace strombel::platform
