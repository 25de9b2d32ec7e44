#include "http/pending_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "http/http_error.h"

namespace strombel::http {

namespace {

std::string reason(const std::string& what, const std::filesystem::path& path) {
    return what + " " + path.string() + ": " + std::strerror(errno);
}

}  // namespace

json::Result<std::unique_ptr<PendingFile>> PendingFile::createBeside(const std::filesystem::path& destination,
                                                                     bool synced) {
    std::filesystem::path folder = destination.parent_path();
    if (folder.empty()) folder = ".";
    std::string pattern = (folder / ("." + destination.filename().string() + ".part-XXXXXX")).string();
    int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        return httpError(HttpErrorCode::File, reason("Could not create a file beside", destination));
    }
    // mkstemp makes the file private; a finished download is an ordinary file.
    ::fchmod(fd, 0644);
    return std::unique_ptr<PendingFile>(new PendingFile(destination, pattern, fd, synced));
}

bool PendingFile::isPendingFileName(std::string_view fileName) {
    constexpr std::string_view kMark = ".part-";
    constexpr size_t kSuffix = 6;  // mkstemp's XXXXXX
    if (fileName.size() < 1 + 1 + kMark.size() + kSuffix || fileName.front() != '.') return false;
    return fileName.substr(fileName.size() - kSuffix - kMark.size(), kMark.size()) == kMark;
}

PendingFile::PendingFile(std::filesystem::path destination, std::filesystem::path temporary, int fd, bool synced)
    : destination_(std::move(destination)), temporary_(std::move(temporary)), fd_(fd), synced_(synced) {}

PendingFile::~PendingFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlink(temporary_.c_str());
}

bool PendingFile::write(std::span<const uint8_t> bytes) {
    if (fd_ < 0) return false;
    while (!bytes.empty()) {
        ssize_t written = ::write(fd_, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            failure_ = reason("Could not write", temporary_);
            return false;
        }
        bytes = bytes.subspan(static_cast<size_t>(written));
        size_ += static_cast<uint64_t>(written);
    }
    return true;
}

bool PendingFile::finishWriting() {
    if (fd_ < 0) return false;
    bool synced = !synced_ || ::fsync(fd_) == 0;
    if (!synced) failure_ = reason("Could not sync", temporary_);
    bool closed = ::close(fd_) == 0;
    fd_ = -1;
    if (synced && !closed) failure_ = reason("Could not close", temporary_);
    return synced && closed;
}

json::Result<void> PendingFile::commit() {
    if (fd_ >= 0 && !finishWriting()) return httpError(HttpErrorCode::File, failure_);
    if (::rename(temporary_.c_str(), destination_.c_str()) != 0) {
        return httpError(HttpErrorCode::File, reason("Could not move the download to", destination_));
    }
    committed_ = true;
    if (!synced_) return {};
    std::filesystem::path folder = destination_.parent_path();
    if (folder.empty()) folder = ".";
    int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return {};
}

}  // namespace strombel::http
