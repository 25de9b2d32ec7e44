#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <chrono>
#include <random>

#include "logging/file_logger.h"
#include "logging/log_core.h"
#include "platform/sandbox.h"

namespace strombel::logging {
namespace {

// Reports the logging framework's own trouble on the console (never through the
// logging core, which may be what is waiting).
template <typename... Args>
void consoleLog(fmt::format_string<Args...> format, Args&&... args) {
    std::string line = fmt::format(format, std::forward<Args>(args)...);
    line.push_back('\n');
    ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
}

LogDate dateFromTimespec(int64_t seconds, int64_t nanoseconds) {
    return LogDate(std::chrono::duration_cast<LogDate::duration>(std::chrono::seconds(seconds) +
                                                                 std::chrono::nanoseconds(nanoseconds)));
}

std::string folderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

// ---- LogFileInfo

LogFileInfo::LogFileInfo(std::string filePath) : filePath_(std::move(filePath)) {}

std::shared_ptr<LogFileInfo> LogFileInfo::logFileWithPath(std::string filePath) {
    return std::make_shared<LogFileInfo>(std::move(filePath));
}

const std::string& LogFileInfo::fileName() {
    if (!fileName_) {
        size_t slash = filePath_.rfind('/');
        fileName_ = slash == std::string::npos ? filePath_ : filePath_.substr(slash + 1);
    }
    return *fileName_;
}

const std::optional<struct stat>& LogFileInfo::fileAttributes() {
    if (!fileAttributes_) {
        struct stat attributes {};
        if (::stat(filePath_.c_str(), &attributes) == 0) {
            fileAttributes_.emplace(attributes);
        } else {
            fileAttributes_.emplace(std::nullopt);
        }
    }
    return *fileAttributes_;
}

std::optional<LogDate> LogFileInfo::readCreationTime() {
    struct statx attributes {};
    int result = ::statx(AT_FDCWD, filePath_.c_str(), 0, STATX_BTIME, &attributes);
    if (result != 0) {
        consoleLog("LogFileInfo: creationDate({}): getattrlist result = {}", fileName(), result);
        return std::nullopt;
    }
    if (!(attributes.stx_mask & STATX_BTIME)) return std::nullopt;
    return dateFromTimespec(attributes.stx_btime.tv_sec, attributes.stx_btime.tv_nsec);
}

std::optional<LogDate> LogFileInfo::creationDate() {
    if (!creationDate_) {
        std::optional<LogDate> date = readCreationTime();
        // A file system without birth times: the modification time stands in, so
        // that ages (and the age timer) stay meaningful.
        if (!date) date = modificationDate();
        creationDate_.emplace(date);
    }
    return *creationDate_;
}

std::optional<LogDate> LogFileInfo::modificationDate() {
    const std::optional<struct stat>& attributes = fileAttributes();
    if (!attributes) return std::nullopt;
    return dateFromTimespec(attributes->st_mtim.tv_sec, attributes->st_mtim.tv_nsec);
}

uint64_t LogFileInfo::fileSize() {
    const std::optional<struct stat>& attributes = fileAttributes();
    return attributes ? static_cast<uint64_t>(attributes->st_size) : 0;
}

double LogFileInfo::age(LogDate now) {
    std::optional<LogDate> created = creationDate();
    if (!created) return 0;
    return std::chrono::duration<double>(now - *created).count();
}

std::string LogFileInfo::sideMarkPath(const std::string& name) const {
    size_t slash = filePath_.rfind('/');
    std::string file = slash == std::string::npos ? filePath_ : filePath_.substr(slash + 1);
    return folderOf(filePath_) + "." + file + "." + name;
}

bool LogFileInfo::isArchived() { return hasExtendedAttributeWithName(kArchivedAttribute); }

void LogFileInfo::setIsArchived(bool archived) {
    if (archived) {
        addExtendedAttributeWithName(kArchivedAttribute);
    } else {
        removeExtendedAttributeWithName(kArchivedAttribute);
    }
}

int LogFileInfo::extendedAttributeCall(AttributeCall call, const std::string& name) {
    int result = 0;
    switch (call) {
        case AttributeCall::read: result = static_cast<int>(::getxattr(filePath_.c_str(), name.c_str(), nullptr, 0)); break;
        case AttributeCall::add: result = ::setxattr(filePath_.c_str(), name.c_str(), "", 0, 0); break;
        case AttributeCall::remove: result = ::removexattr(filePath_.c_str(), name.c_str()); break;
    }
    return result >= 0 ? 0 : errno;
}

bool LogFileInfo::hasExtendedAttributeWithName(const std::string& name) {
    int error = extendedAttributeCall(AttributeCall::read, name);
    if (error == 0) return true;
    if (error == ENOTSUP) return ::access(sideMarkPath(name).c_str(), F_OK) == 0;
    return false;
}

void LogFileInfo::addExtendedAttributeWithName(const std::string& name) {
    int error = extendedAttributeCall(AttributeCall::add, name);
    if (error == 0) return;
    if (error == ENOTSUP) {
        int fd = ::open(sideMarkPath(name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::close(fd);
            return;
        }
        error = errno;
    }
    consoleLog("LogFileInfo: setxattr({}, {}): error = {}", name, fileName(), error);
}

void LogFileInfo::removeExtendedAttributeWithName(const std::string& name) {
    int error = extendedAttributeCall(AttributeCall::remove, name);
    if (error == 0) return;
    if (error == ENODATA) return;  // the file simply does not carry it
    if (error == ENOTSUP) {
        if (::unlink(sideMarkPath(name).c_str()) == 0 || errno == ENOENT) return;
        error = errno;
    }
    consoleLog("LogFileInfo: removexattr({}, {}): error = {}", name, fileName(), error);
}

bool LogFileInfo::renameFile(const std::string& newName) {
    if (newName == fileName()) return true;
    std::string newPath = folderOf(filePath_) + newName;
    if (::rename(filePath_.c_str(), newPath.c_str()) != 0) {
        consoleLog("LogFileInfo: Error renaming file ({}): {}", fileName(), std::strerror(errno));
        reset();
        return false;
    }
    // An extended attribute moves with the file; a side file must be moved too,
    // or the renamed file would lose its archived mark and the mark stay behind.
    // A mark left by an earlier file of the new name is no mark of this one.
    std::string oldMark = sideMarkPath(kArchivedAttribute);
    filePath_ = std::move(newPath);
    std::string newMark = sideMarkPath(kArchivedAttribute);
    if (::rename(oldMark.c_str(), newMark.c_str()) != 0) {
        if (errno == ENOENT) {
            ::unlink(newMark.c_str());
        } else {
            consoleLog("LogFileInfo: Error renaming file ({}): {}", oldMark, std::strerror(errno));
        }
    }
    reset();
    return true;
}

void LogFileInfo::reset() {
    fileName_.reset();
    fileAttributes_.reset();
    creationDate_.reset();
}

bool LogFileInfo::reverseCompareByCreationDate(LogFileInfo& a, LogFileInfo& b) {
    return a.creationDate().value_or(LogDate()) > b.creationDate().value_or(LogDate());
}

bool LogFileInfo::reverseCompareByModificationDate(LogFileInfo& a, LogFileInfo& b) {
    return a.modificationDate().value_or(LogDate()) > b.modificationDate().value_or(LogDate());
}

std::string LogFileInfo::description() {
    auto date = [](std::optional<LogDate> value) {
        return value ? fmt::format("{}", std::chrono::duration<double>(value->time_since_epoch()).count())
                     : std::string("(none)");
    };
    return fmt::format(
        "{{filePath = \"{}\"; fileName = \"{}\"; fileAttributes = {}; creationDate = {}; modificationDate = {}; "
        "fileSize = {}; age = {}; isArchived = {};}}",
        filePath_, fileName(), fileAttributes() ? "{...}" : "(none)", date(creationDate()),
        date(modificationDate()), fileSize(), age(std::chrono::system_clock::now()), isArchived() ? 1 : 0);
}

// ---- LogFileManagerDefault

LogFileManagerDefault::LogFileManagerDefault()
    : LogFileManagerDefault((platform::Sandbox::shared().caches() / "Logs").string()) {}

LogFileManagerDefault::LogFileManagerDefault(std::string logsDirectory) : logsDirectory_(std::move(logsDirectory)) {}

std::string LogFileManagerDefault::logsDirectory() {
    std::error_code error;
    if (!std::filesystem::is_directory(logsDirectory_, error)) {
        std::filesystem::create_directories(logsDirectory_, error);
        // Told once: a folder that cannot be made would otherwise be reported with every line.
        if (error && !reportedFolderError_.exchange(true)) {
            consoleLog("FileLogManagerDefault: Error creating logsDirectory: {}", error.message());
        }
    }
    return logsDirectory_;
}

bool LogFileManagerDefault::isLogFileName(const std::string& name) {
    if (name.size() < 10 || name.compare(0, 4, "log-") != 0) return false;
    return std::all_of(name.begin() + 4, name.begin() + 10,
                       [](char c) { return std::strchr("0123456789ABCDEF", c) != nullptr && c != '\0'; });
}

std::vector<std::string> LogFileManagerDefault::unsortedLogFileNames() {
    std::vector<std::string> names;
    std::string folder = logsDirectory();
    DIR* listing = ::opendir(folder.c_str());
    if (!listing) return names;
    while (dirent* entry = ::readdir(listing)) {
        std::string name = entry->d_name;
        if (isLogFileName(name)) names.push_back(std::move(name));
    }
    ::closedir(listing);
    return names;
}

std::vector<std::string> LogFileManagerDefault::unsortedLogFilePaths() {
    std::vector<std::string> paths;
    std::string folder = logsDirectory();
    for (const std::string& name : unsortedLogFileNames()) paths.push_back(folder + "/" + name);
    return paths;
}

std::vector<std::shared_ptr<LogFileInfo>> LogFileManagerDefault::unsortedLogFileInfos() {
    std::vector<std::shared_ptr<LogFileInfo>> infos;
    for (const std::string& path : unsortedLogFilePaths()) infos.push_back(logFileInfoForPath(path));
    return infos;
}

std::vector<std::shared_ptr<LogFileInfo>> LogFileManagerDefault::sortedLogFileInfos() {
    std::vector<std::shared_ptr<LogFileInfo>> infos = unsortedLogFileInfos();
    std::stable_sort(infos.begin(), infos.end(),
                     [](const auto& a, const auto& b) { return LogFileInfo::reverseCompareByCreationDate(*a, *b); });
    return infos;
}

std::vector<std::string> LogFileManagerDefault::sortedLogFilePaths() {
    std::vector<std::string> paths;
    for (const auto& info : sortedLogFileInfos()) paths.push_back(info->filePath());
    return paths;
}

std::vector<std::string> LogFileManagerDefault::sortedLogFileNames() {
    std::vector<std::string> names;
    for (const auto& info : sortedLogFileInfos()) names.push_back(info->fileName());
    return names;
}

std::string LogFileManagerDefault::generateShortUUID() {
    thread_local std::mt19937_64 generator{std::random_device{}() ^ (static_cast<uint64_t>(::getpid()) << 32) ^
                                           static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())};
    return fmt::format("{:06X}", generator() & 0xFFFFFF);
}

std::optional<std::string> LogFileManagerDefault::createNewLogFile() {
    std::string folder = logsDirectory();
    // O_EXCL: two writers racing for one name never share a file. Only a taken
    // name is worth another try; any other failure (a folder we cannot write to)
    // gives up instead of looping.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::string path = folder + "/" + fmt::format("log-{}.txt", generateShortUUID());
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::close(fd);
            reportedFileError_ = false;
            deleteOldLogFiles();
            return path;
        }
        if (errno != EEXIST) {
            int error = errno;
            if (!reportedFileError_.exchange(true)) {
                consoleLog("FileLogManagerDefault: Error creating log file {}: {}", path, std::strerror(error));
            }
            return std::nullopt;
        }
    }
    return std::nullopt;
}

void LogFileManagerDefault::deleteOldLogFiles() {
    uint64_t keep = maximumNumberOfLogFiles();
    if (keep == 0) return;
    std::vector<std::shared_ptr<LogFileInfo>> archived;
    for (auto& info : sortedLogFileInfos()) {
        if (info->isArchived()) archived.push_back(info);
    }
    for (size_t i = keep; i < archived.size(); ++i) {
        ::unlink(archived[i]->filePath().c_str());
        std::error_code ignored;
        std::filesystem::path file(archived[i]->filePath());
        std::filesystem::remove(file.parent_path() / ("." + file.filename().string() + "." +
                                                      LogFileInfo::kArchivedAttribute),
                                ignored);
    }
}

void LogFileManagerDefault::setMaximumNumberOfLogFiles(uint64_t count) {
    uint64_t previous = maximumNumberOfLogFiles_.exchange(count);
    if (previous == count) return;
    std::weak_ptr<LogFileManagerDefault> self = weak_from_this();
    Log::loggingQueue().async([self] {
        if (auto manager = self.lock()) manager->deleteOldLogFiles();
    });
}

}  // namespace strombel::logging
