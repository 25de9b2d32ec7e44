#include "platform/runtime_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix_error.h"

namespace strombel::platform {

namespace {

Error refused(PrivateFolderError code, const std::string& why) {
    return Error::make(kPrivateFolderErrorDomain, code, why);
}

/// The folder cannot be made or looked at: the system's error `code` goes under the sentence.
Error unreachable(int code, const std::string& why) {
    return Error::causedBy(kPrivateFolderErrorDomain, PrivateFolderUnreachable, why + ": " + std::strerror(code),
                           posixError(code, std::strerror(code)));
}

}  // namespace

Result<void> preparePrivateFolder(const std::filesystem::path& folder) {
    const std::string name = folder.string();
    if (::mkdir(name.c_str(), 0700) != 0 && errno != EEXIST) {
        const int code = errno;
        return unreachable(code, "the folder " + name + " cannot be made");
    }
    // lstat: a link named like the folder is refused, wherever it points.
    struct stat info {};
    if (::lstat(name.c_str(), &info) != 0) {
        const int code = errno;
        return unreachable(code, "the folder " + name + " cannot be read");
    }
    if (S_ISLNK(info.st_mode))
        return refused(PrivateFolderNotAFolder, "the folder " + name + " is a symbolic link, not a folder of its own");
    if (!S_ISDIR(info.st_mode)) return refused(PrivateFolderNotAFolder, name + " is not a folder");
    if (info.st_uid != ::geteuid()) {
        return refused(PrivateFolderNotPrivate,
                       "the folder " + name + " belongs to another user (uid " + std::to_string(info.st_uid) + ")");
    }
    if ((info.st_mode & 07777) != 0700) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(info.st_mode & 07777));
        return refused(PrivateFolderNotPrivate,
                       "the folder " + name + " has mode " + mode + ", where only 0700 keeps other users out");
    }
    return {};
}

std::optional<std::filesystem::path> userRuntimeFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime) return std::nullopt;
    return std::filesystem::path(runtime);
}

}  // namespace strombel::platform
