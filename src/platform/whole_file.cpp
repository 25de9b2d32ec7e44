#include "platform/whole_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>


namespace strombel::platform {

namespace {

constexpr std::string_view kUniqueMark = "XXXXXX";

/// Six letters and digits for a name no file has yet.
std::string uniqueLetters() {
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937_64 generator{std::random_device{}()};
    std::string letters(kUniqueMark.size(), 'x');
    for (char& letter : letters) letter = kLetters[generator() % (sizeof kLetters - 1)];
    return letters;
}

std::filesystem::path folderOf(const std::filesystem::path& target) {
    std::filesystem::path folder = target.parent_path();
    return folder.empty() ? std::filesystem::path(".") : folder;
}

}  // namespace

WholeFile::WholeFile(std::filesystem::path target, WholeFileOptions options)
    : target_(std::move(target)), synced_(options.synced), sync_(std::move(options.sync)) {
    if (!sync_) sync_ = [](int fd) { return ::fsync(fd); };
    const std::filesystem::path folder = folderOf(target_);
    std::string name = options.asideName.empty() ? "." + target_.filename().string() + ".tmp-XXXXXX"
                                                 : std::move(options.asideName);
    // The mode is settled before the file exists: a replaced file's own, or the one asked for.
    std::optional<mode_t> mode = options.mode;
    struct stat replaced {};
    if (!mode && ::stat(target_.c_str(), &replaced) == 0 && S_ISREG(replaced.st_mode)) mode = replaced.st_mode & 07777;
    const bool unique = name.size() >= kUniqueMark.size() && std::string_view(name).ends_with(kUniqueMark);
    // A fixed name may hold what a run that died left: it is made anew.
    if (!unique) ::unlink((folder / name).c_str());
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        if (unique) name.replace(name.size() - kUniqueMark.size(), kUniqueMark.size(), uniqueLetters());
        aside_ = folder / name;
        // 0644 through the creation mask, as any new file of the user's.
        fd_ = ::open(aside_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd_ < 0 && !(unique && errno == EEXIST)) break;
    }
    if (fd_ < 0) {
        fail(errno, "cannot make a file beside", target_);
        aside_.clear();
        return;
    }
    if (mode && ::fchmod(fd_, *mode) != 0) {
        fail(errno, "cannot set the mode of", aside_);
        abandon();
    }
}

WholeFile::~WholeFile() { abandon(); }

void WholeFile::fail(int code, std::string_view step, const std::filesystem::path& path) {
    if (!failure_) return;
    failure_ = posixError(code, std::string(step) + " " + path.string() + ": " + std::strerror(code));
}

bool WholeFile::write(std::span<const uint8_t> bytes) {
    if (fd_ < 0 || !failure_.ok()) return false;
    while (!bytes.empty()) {
        const ssize_t put = ::write(fd_, bytes.data(), bytes.size());
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            // A write of nothing into a file that should grow is a full disk.
            fail(put < 0 ? errno : ENOSPC, "cannot write", aside_);
            return false;
        }
        bytes = bytes.subspan(size_t(put));
        size_ += uint64_t(put);
    }
    return true;
}

bool WholeFile::write(std::string_view text) {
    return write(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

bool WholeFile::finish() {
    if (finished_) return failure_.ok();
    finished_ = true;
    if (fd_ >= 0) {
        if (failure_.ok() && synced_ && sync_(fd_) != 0) fail(errno, "cannot sync", aside_);
        // Some file systems tell a full disk only when the file closes.
        if (::close(fd_) != 0) fail(errno, "cannot close", aside_);
        fd_ = -1;
    }
    if (failure_.ok()) return true;
    abandon();
    return false;
}

Result<void> WholeFile::commit() {
    if (!finish()) return failure_;
    return renamed(::rename(aside_.c_str(), target_.c_str()) == 0 ? 0 : errno, target_);
}

Result<void> WholeFile::commitWithoutReplacing(const std::filesystem::path& name) {
    if (!finish()) return failure_;
    int error = 0;
    if (::renameat2(AT_FDCWD, aside_.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) != 0) {
        error = errno;
        // A file system without the refusing rename: a hard link refuses a taken name as well.
        if (error == EINVAL || error == ENOSYS) error = ::link(aside_.c_str(), name.c_str()) == 0 ? 0 : errno;
        if (error == 0) ::unlink(aside_.c_str());
    }
    if (error == EEXIST) return posixError(EEXIST, name.string() + " exists: " + std::strerror(EEXIST));
    return renamed(error, name);
}

Result<void> WholeFile::renamed(int error, const std::filesystem::path& name) {
    if (error != 0) {
        fail(error, "cannot rename the new file to", name);
        abandon();
        return failure_;
    }
    aside_.clear();
    target_ = name;
    syncFolder();
    return {};
}

void WholeFile::abandon() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    finished_ = true;
    if (!aside_.empty()) ::unlink(aside_.c_str());
    aside_.clear();
}

void WholeFile::syncFolder() {
    if (!synced_) return;
    // The rename is done and the bytes are on the disk; a folder that refuses to
    // be synced (some file systems do) does not undo it.
    const int folder = ::open(folderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return;
    sync_(folder);
    ::close(folder);
}

Result<void> writeFileWhole(const std::filesystem::path& target, std::span<const uint8_t> bytes,
                            WholeFileOptions options) {
    WholeFile file(target, std::move(options));
    if (!file.write(bytes)) return file.failure();
    return file.commit();
}

Result<void> writeFileWhole(const std::filesystem::path& target, std::string_view text, WholeFileOptions options) {
    return writeFileWhole(target, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
                          std::move(options));
}

}  // namespace strombel::platform
