#include "platform/data_folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/regular_file.h"

namespace strombel::platform {

DataFolderLock::DataFolderLock(const std::filesystem::path& root) : root_(root) {
    std::error_code error;
    std::filesystem::create_directories(root_, error);
    if (error) {
        problem_ = "the folder " + root_.string() + " cannot be made: " + error.message();
        return;
    }
    const std::filesystem::path file = root_ / kFileName;
    // Never waits on the open: a named pipe in the file's place is refused below.
    // Never follows a link in the file's place either: a link to nothing would
    // have the file made wherever it points, and one to a file another program
    // holds would take that program for another Strombel.
    fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW, 0600);
    bool wholeFolder = false;
    if (fd_ < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        fd_ = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
        // No file, and none can be made: the folder stands for itself.
        if (fd_ < 0 && errno == ENOENT) {
            fd_ = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            wholeFolder = true;
        }
    }
    if (fd_ < 0) {
        const int cause = errno;
        struct stat link {};
        if (cause == ELOOP && ::lstat(file.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
            problem_ = file.string() + " is a symbolic link, not the lock file Strombel keeps there: remove it and "
                                       "start again";
        } else if (auto why = notARegularFile(file)) {
            problem_ = *why;
        } else {
            problem_ = "the lock file " + file.string() + " cannot be opened: " + std::strerror(cause);
        }
        return;
    }
    struct stat info {};
    if (::fstat(fd_, &info) != 0 || !(wholeFolder ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode))) {
        problem_ = notARegularFile(file).value_or(file.string() + " is not a regular file");
        ::close(fd_);
        fd_ = -1;
        return;
    }
    take();
}

DataFolderLock::~DataFolderLock() {
    if (fd_ >= 0) ::close(fd_);
}

bool DataFolderLock::tryAgain() {
    if (state_ == State::ownedElsewhere) take();
    return owned();
}

void DataFolderLock::take() {
    int result;
    do result = ::flock(fd_, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    if (result == 0) {
        state_ = State::owned;
    } else if (errno == EWOULDBLOCK) {
        state_ = State::ownedElsewhere;
    } else {
        state_ = State::refused;
        problem_ = "the folder " + root_.string() + " cannot be locked for one Strombel: " + std::strerror(errno);
    }
}

}  // namespace strombel::platform
