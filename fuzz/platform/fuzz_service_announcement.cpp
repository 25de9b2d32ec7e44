// Announcement files come from any process of the user: whatever bytes lie in
// the services folder are read (up to the size limit) and either decode or are
// refused. What decodes writes back to the same entry, and its file name stays
// one plain path component.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/directory_service_discovery.h"

namespace {

using strombel::platform::DirectoryServiceDiscovery;

char folderName[] = "/dev/shm/fuzz-announcement-XXXXXX";

void removeFolder() {
    std::string file = std::string(folderName) + "/entry.service";
    ::unlink(file.c_str());
    ::rmdir(folderName);
}

// A folder of its own, in memory where there is such a file system.
int folder() {
    static int fd = [] {
        if (!::mkdtemp(folderName)) {
            std::string fallback = "/tmp/fuzz-announcement-XXXXXX";
            fallback.copy(folderName, fallback.size());
            folderName[fallback.size()] = 0;
            if (!::mkdtemp(folderName)) return -1;
        }
        std::atexit(removeFolder);
        return ::open(folderName, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }();
    return fd;
}

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    // The reader hands back exactly the file, or nothing when it is too large.
    int fd = ::openat(folder(), "entry.service", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    check(fd >= 0);
    check(::write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()));
    ::close(fd);
    auto read = DirectoryServiceDiscovery::readAnnouncement(folder(), "entry.service");
    if (size <= DirectoryServiceDiscovery::kMaximumAnnouncementSize) {
        check(read && *read == bytes);
    } else {
        check(!read);
    }

    auto entry = DirectoryServiceDiscovery::decode(bytes);
    if (!entry) return 0;
    const std::string name = DirectoryServiceDiscovery::fileName(entry->record.type, entry->record.name);
    check(name.find('/') == std::string::npos && name[0] != '.' && name.size() < 256 && name.ends_with(".service"));
    const std::string text = DirectoryServiceDiscovery::encode(*entry);
    if (text.size() > DirectoryServiceDiscovery::kMaximumAnnouncementSize) return 0;
    auto again = DirectoryServiceDiscovery::decode(text);
    check(again.has_value());
    check(again->record.name == entry->record.name && again->record.type == entry->record.type);
    check(again->record.port == entry->record.port && again->owner == entry->owner);
    check(again->record.txt == entry->record.txt);
    return 0;
}
