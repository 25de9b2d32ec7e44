#include "platform/file_move.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <span>

#include "platform/whole_file.h"

namespace strombel::platform {

namespace {

/// The system's error `code` in its own words.
Error systemError(int code) { return posixError(code, std::strerror(code)); }

/// Copies `from` whole into a file that takes the name `to` only when no file
/// has it, and only once all of it is on the disk.
Result<void> copyIntoNewFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return systemError(errno);
    WholeFile out(to);
    int readError = 0;
    char buffer[1 << 16];
    while (out.isOpen()) {
        const ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) readError = errno;
        if (got <= 0 || !out.write(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(buffer), size_t(got))))
            break;
    }
    ::close(in);
    if (readError != 0) return systemError(readError);
    const Result<void> moved = out.commitWithoutReplacing(to);
    if (!moved) return posixError(int(moved.error().code), systemReason(moved.error()));
    return {};
}

}  // namespace

Result<void> moveFileWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS) return systemError(errno);
    // Another file system, or one without the refusing rename: a hard link refuses
    // an existing target as well; failing that, a copy into a new file.
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return {};
    }
    if (errno == EEXIST) return systemError(EEXIST);
    if (Result<void> copied = copyIntoNewFile(from, to); !copied) return copied;
    ::unlink(from.c_str());
    return {};
}

Result<void> syncToDisk(const std::filesystem::path& fileOrFolder) {
    const int fd = ::open(fileOrFolder.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return systemError(errno);
    Result<void> synced;
    if (::fsync(fd) != 0) synced = systemError(errno);
    ::close(fd);
    return synced;
}

}  // namespace strombel::platform
