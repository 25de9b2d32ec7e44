#include "crash/crash_file_io.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/posix_error.h"
#include "platform/whole_file.h"

namespace strombel::crash::detail {

namespace {

platform::Error fileError(int error, const std::string& description) {
    return platform::posixError(error, description + ": " + std::strerror(error));
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

platform::Result<std::vector<uint8_t>> readFileUpTo(const std::filesystem::path& path, uint64_t limit) {
    Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (file.get() < 0) return fileError(errno, "Cannot open " + path.string());
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) return fileError(errno, "Cannot read " + path.string());
    if (!S_ISREG(info.st_mode)) return fileError(EINVAL, path.string() + " is not a regular file");
    if (static_cast<uint64_t>(info.st_size) > limit) return fileError(EFBIG, path.string() + " is too large");
    std::vector<uint8_t> bytes(static_cast<size_t>(info.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t got = ::read(file.get(), bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return fileError(errno, "Cannot read " + path.string());
        if (got == 0) break;  // it became shorter meanwhile
        done += static_cast<size_t>(got);
    }
    bytes.resize(done);
    // It grew meanwhile: what is read must still be within the limit.
    char probe;
    if (::read(file.get(), &probe, 1) > 0) return fileError(EFBIG, path.string() + " grew while it was read");
    return bytes;
}

platform::Result<void> writeFileAtomically(const std::filesystem::path& path, std::span<const uint8_t> bytes, bool replace) {
    platform::WholeFile file(path);
    const platform::Result<void> written = !file.write(bytes) ? file.failure()
                                           : replace          ? file.commit()
                                                              : file.commitWithoutReplacing(path);
    if (written.ok()) return {};
    return fileError(static_cast<int>(written.error().code), "Cannot write " + path.string());
}

platform::Result<platform::PropertyValue::Dictionary> readPropertyList(const std::filesystem::path& path, uint64_t limit) {
    platform::Result<std::vector<uint8_t>> bytes = readFileUpTo(path, limit);
    if (!bytes.ok()) return bytes.error();
    platform::Result<platform::PropertyValue> list = platform::PropertyList::read(bytes.value().data(), bytes.value().size());
    const std::string why = list ? "" : list.error().message();
    const auto* dictionary = list ? list->get<platform::PropertyValue::Dictionary>() : nullptr;
    if (!dictionary) {
        return platform::Error::make(platform::kPropertyListErrorDomain, platform::PropertyListNotRead,
                                     path.string() + " holds no property list dictionary" + (why.empty() ? "" : ": " + why));
    }
    return *dictionary;
}

platform::Result<void> writePropertyList(const std::filesystem::path& path, platform::PropertyValue::Dictionary dictionary) {
    std::optional<std::vector<uint8_t>> bytes = platform::PropertyList::toBinary(platform::PropertyValue(std::move(dictionary)));
    if (!bytes) return platform::Error::make(platform::kPropertyListErrorDomain, platform::PropertyListNotWritten, "The property list for " + path.string() + " could not be written");
    return writeFileAtomically(path, *bytes);
}

}  // namespace strombel::crash::detail
