#include "platform/directory_folder_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/clock.h"

namespace strombel::platform {

bool DirectoryServiceDiscovery::FolderReader::Seen::same(const struct stat& info) const {
    return device == info.st_dev && inode == info.st_ino && size == info.st_size &&
           modified.tv_sec == info.st_mtim.tv_sec && modified.tv_nsec == info.st_mtim.tv_nsec &&
           changed.tv_sec == info.st_ctim.tv_sec && changed.tv_nsec == info.st_ctim.tv_nsec;
}

DirectoryServiceDiscovery::FolderReader::FolderReader(const std::filesystem::path& folder, Handover handover)
    : handover_(std::move(handover)) {
    folder_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    wakeup_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (folder_ < 0 || wakeup_ < 0) return;
    if (inotify_ >= 0 && ::inotify_add_watch(inotify_, folder.c_str(),
                                             IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CREATE |
                                                 IN_ATTRIB | IN_ONLYDIR | IN_DONT_FOLLOW) < 0) {
        ::close(inotify_);
        inotify_ = -1;
    }
    thread_ = Worker("service folder", [this] { run(); }, [this] {
        stopping_.store(true);
        wake();
    });
}

DirectoryServiceDiscovery::FolderReader::~FolderReader() {
    thread_.stop();
    if (listing_) ::closedir(listing_);
    for (int fd : {folder_, inotify_, wakeup_}) {
        if (fd >= 0) ::close(fd);
    }
}

void DirectoryServiceDiscovery::FolderReader::lookAgain() {
    everything_.store(true);
    wake();
}

DirectoryServiceDiscovery::Changes DirectoryServiceDiscovery::FolderReader::takeChanges() {
    handedOver_.store(false);
    std::lock_guard lock(mutex_);
    return std::exchange(pending_, {});
}

void DirectoryServiceDiscovery::FolderReader::wake() {
    uint64_t one = 1;
    (void)!::write(wakeup_, &one, sizeof one);
}

int DirectoryServiceDiscovery::FolderReader::waitMilliseconds() const {
    if (listing_ || everything_.load()) return 0;
    if (!lookOwed_) return -1;
    // A flood that keeps the folder changing is looked at whole at most every
    // so often, however long the listing: the pause is at least as long as the
    // last look took.
    const uint64_t due = lookEnded_ + std::max<uint64_t>(kLookPause, lastLookLength_);
    const uint64_t now = monotonicNanos();
    return now >= due ? 0 : int((due - now) / kNanosPerMillisecond) + 1;
}

void DirectoryServiceDiscovery::FolderReader::run() {
    std::set<std::string> named;
    pollfd fds[2] = {{wakeup_, POLLIN, 0}, {inotify_, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, inotify_ >= 0 ? 2 : 1, waitMilliseconds()) < 0 && errno != EINTR) return;
        if (stopping_.load()) return;
        uint64_t count;
        (void)!::read(wakeup_, &count, sizeof count);
        readNames(named);
        for (const std::string& name : named) lookAt(name, true);
        named.clear();
        if (!listing_ && (everything_.exchange(false) || (lookOwed_ && waitMilliseconds() == 0))) startLook();
        if (listing_) lookAtSlice();
        if (!changes_.empty()) handOver();
    }
}

void DirectoryServiceDiscovery::FolderReader::readNames(std::set<std::string>& named) {
    if (inotify_ < 0) return;
    alignas(inotify_event) char buffer[16 * 1024];
    ssize_t n;
    int reads = 0;
    while (reads++ < 16 && (n = ::read(inotify_, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < n;) {
            auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) lookOwed_ = true;
            if (event->len == 0 || !directory_files::isAnnouncementName(event->name)) continue;
            // Only so many names a round: the rest is met by a look at everything.
            if (named.size() < kMaximumEntries) {
                named.insert(event->name);
            } else {
                lookOwed_ = true;
            }
        }
    }
}

void DirectoryServiceDiscovery::FolderReader::startLook() {
    lookOwed_ = false;
    listing_ = ::fdopendir(::dup(folder_));
    if (!listing_) return;
    ::rewinddir(listing_);  // the duplicate shares the last listing's position
    ++generation_;
    lookStarted_ = monotonicNanos();
}

void DirectoryServiceDiscovery::FolderReader::lookAtSlice() {
    for (size_t looked = 0; looked < kSlice;) {
        const dirent* item = ::readdir(listing_);
        if (!item) {
            finishLook();
            return;
        }
        if (!directory_files::isAnnouncementName(item->d_name)) continue;
        lookAt(item->d_name, false);
        ++looked;
    }
}

void DirectoryServiceDiscovery::FolderReader::finishLook() {
    ::closedir(listing_);
    listing_ = nullptr;
    // What the listing did not meet is gone (a file that stayed in the folder
    // throughout is always listed).
    for (auto it = seen_.begin(); it != seen_.end();) {
        auto next = std::next(it);
        if (it->second.generation != generation_) forget(it);
        it = next;
    }
    lookEnded_ = monotonicNanos();
    lastLookLength_ = lookEnded_ - lookStarted_;
}

void DirectoryServiceDiscovery::FolderReader::forget(std::map<std::string, Seen>::iterator seen) {
    if (seen->second.entry) {
        changes_[seen->first] = nullptr;
        --entries_;
    } else {
        --junk_;
    }
    seen_.erase(seen);
}

void DirectoryServiceDiscovery::FolderReader::lookAt(const std::string& name, bool named) {
    struct stat info {};
    auto known = seen_.find(name);
    if (::fstatat(folder_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (known != seen_.end()) forget(known);
        return;
    }
    if (known != seen_.end() && !named && known->second.same(info)) {
        known->second.generation = generation_;
        return;
    }
    // Links, FIFOs, other users' files and big files are not even opened.
    std::optional<Entry> read = directory_files::mayBeAnnouncement(info) ? readEntry(folder_, name.c_str()) : std::nullopt;
    if (known != seen_.end() && bool(read) != bool(known->second.entry)) {
        forget(known);  // changed its kind: kept again below if there is room for its new kind
        known = seen_.end();
    }
    if (known == seen_.end()) {
        size_t& kept = read ? entries_ : junk_;
        if (kept >= (read ? kMaximumEntries : kMaximumJunk)) return;
        ++kept;
        known = seen_.emplace(name, Seen{}).first;
    }
    Seen& seen = known->second;
    seen.device = info.st_dev;
    seen.inode = info.st_ino;
    seen.size = info.st_size;
    seen.modified = info.st_mtim;
    seen.changed = info.st_ctim;
    seen.generation = generation_;
    if (read) {
        seen.entry = std::make_shared<const Entry>(std::move(*read));
        changes_[name] = seen.entry;
    }
}

// Hands the changes to the main loop, which takes them whenever it gets to
// them: one hand-over waits there at most, and later changes of a file
// replace earlier ones not yet taken.
void DirectoryServiceDiscovery::FolderReader::handOver() {
    {
        std::lock_guard lock(mutex_);
        for (auto& [name, entry] : changes_) pending_[name] = std::move(entry);
    }
    changes_.clear();
    if (!handedOver_.exchange(true)) handover_();
}

}  // namespace strombel::platform
