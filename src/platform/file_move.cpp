#include "platform/file_move.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace strombel::platform {

namespace {

/// Copies `from` into a file made anew at `to` (never one that exists).
std::string copyIntoNewFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return std::strerror(errno);
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out < 0) {
        std::string error = std::strerror(errno);
        ::close(in);
        return error;
    }
    std::string error;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = std::strerror(errno);
            break;
        }
        if (got == 0) break;
        for (ssize_t written = 0; written < got;) {
            const ssize_t put = ::write(out, buffer + written, size_t(got - written));
            if (put < 0 && errno == EINTR) continue;
            if (put < 0) {
                error = std::strerror(errno);
                break;
            }
            written += put;
        }
        if (!error.empty()) break;
    }
    if (error.empty() && ::fsync(out) != 0) error = std::strerror(errno);
    if (::close(out) != 0 && error.empty()) error = std::strerror(errno);
    ::close(in);
    if (!error.empty()) ::unlink(to.c_str());
    return error;
}

}  // namespace

std::string moveFileWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
    if (errno == EEXIST) return std::strerror(EEXIST);
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS) return std::strerror(errno);
    // Another file system, or one without the refusing rename: a hard link refuses
    // an existing target as well; failing that, a copy into a new file.
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return {};
    }
    if (errno == EEXIST) return std::strerror(EEXIST);
    std::string error = copyIntoNewFile(from, to);
    if (!error.empty()) return error;
    ::unlink(from.c_str());
    return {};
}

std::string syncToDisk(const std::filesystem::path& fileOrFolder) {
    const int fd = ::open(fileOrFolder.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno);
    std::string error;
    if (::fsync(fd) != 0) error = std::strerror(errno);
    ::close(fd);
    return error;
}

}  // namespace strombel::platform
