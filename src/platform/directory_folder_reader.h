#pragma once

// The folder's thread of DirectoryServiceDiscovery, and the file checks it
// shares with the discovery. Nothing else includes this.

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <dirent.h>
#include <functional>
#include <map>
#include <set>
#include <mutex>
#include <string>

#include "platform/directory_service_discovery.h"
#include "platform/worker.h"

namespace strombel::platform {

namespace directory_files {
/// A name an announcement may have: "*.service", not hidden.
bool isAnnouncementName(const char* name);
/// A regular file of this user, small enough to be an announcement.
bool mayBeAnnouncement(const struct stat& info);
}  // namespace directory_files

/// Watches the folder on a thread of its own and tells what changed: inotify
/// names the files to look at; a lost event or a flood of names means looking
/// at every file, in slices, so that named files keep being looked at while a
/// long listing is read, and not again sooner than a pause after the last
/// look ended. It keeps at most kMaximumEntries announcements and remembers at
/// most kMaximumJunk other files (so as not to read them again while they stay
/// as they are): files that are no announcement never take an announcement's
/// place, and those beyond the bound are read again when they are named or met.
class DirectoryServiceDiscovery::FolderReader {
public:
    /// Told (on the folder's thread) that changes wait in `takeChanges()`.
    using Handover = std::function<void()>;
    /// Files looked at per slice of a look at everything.
    static constexpr size_t kSlice = 256;

    FolderReader(const std::filesystem::path& folder, Handover handover);
    ~FolderReader();

    /// Without inotify, changes are found only by looking at everything again.
    bool watching() const { return inotify_ >= 0; }

    /// Asks for every file to be looked at again, at once. Any thread.
    void lookAgain();

    /// What changed since the last call, by file name: the announcement it
    /// holds now, or null when it holds none any more. Taking lets the next
    /// change be handed over again. Any thread.
    Changes takeChanges();

private:
    struct Seen {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec modified{}, changed{};
        EntryPointer entry;       // null: no announcement
        uint64_t generation = 0;  // the look at everything that last met it
        bool same(const struct stat& info) const;
    };

    void wake();
    void run();
    /// Milliseconds to wait for the folder: none while a look is under way or
    /// due, until it is due when one is owed, else for ever.
    int waitMilliseconds() const;
    void readNames(std::set<std::string>& named);
    void startLook();
    void lookAtSlice();
    void finishLook();
    /// `named`: inotify named it, so it is read again even when it looks the same.
    void lookAt(const std::string& name, bool named);
    void forget(std::map<std::string, Seen>::iterator seen);
    void handOver();

    Handover handover_;
    int folder_ = -1;
    int inotify_ = -1;
    int wakeup_ = -1;
    std::atomic<bool> everything_{true};  // asked for, or the first look
    std::atomic<bool> stopping_{false};
    bool lookOwed_ = false;               // a lost event or a flood of names
    DIR* listing_ = nullptr;              // the look at everything under way
    uint64_t generation_ = 0;
    uint64_t lookStarted_ = 0, lookEnded_ = 0, lastLookLength_ = 0;
    std::map<std::string, Seen> seen_;
    size_t entries_ = 0, junk_ = 0;       // of seen_, with and without an announcement
    Changes changes_;                     // found since the last hand-over
    std::mutex mutex_;
    Changes pending_;                     // handed over, not yet taken; under mutex_
    std::atomic<bool> handedOver_{false};
    Worker thread_;
};

}  // namespace strombel::platform
