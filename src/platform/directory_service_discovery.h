#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "platform/main_loop.h"
#include "platform/service_discovery.h"

namespace strombel::platform {

/// Service discovery among the programs of one machine: every published service
/// is a file in one folder (by default "$XDG_RUNTIME_DIR/strombel-services"),
/// written atomically, holding its name, type, port, loopback addresses, TXT
/// record and the owner's process id. A file whose owner process is gone counts
/// as removed. Nothing leaves the machine.
///
/// Other processes of the user may put anything in the folder, so the folder is
/// read on a thread of its own: it wakes on inotify, looks only at the entries
/// inotify names (at everything, in slices, when events were lost), never
/// follows a link, reads only regular files of the user of at most
/// kMaximumAnnouncementSize bytes (without ever blocking), and keeps at most
/// kMaximumEntries announcements; other files never take their place. The main
/// loop gets only what changed, and hands the events to the handlers a few at
/// a time. Owner deaths are noticed on a 1-second check on the loop's clock.
class DirectoryServiceDiscovery final : public ServiceDiscovery {
public:
    /// The largest announcement file read; larger ones are not announcements.
    static constexpr size_t kMaximumAnnouncementSize = 64 * 1024;
    /// The most announcements kept; more are ignored.
    static constexpr size_t kMaximumEntries = 4096;
    /// The most files that are no announcement remembered as they are, so as
    /// not to read them again; others are read again when they are named or
    /// met in a look at everything.
    static constexpr size_t kMaximumJunk = 4096;
    /// The least time between the end of a look at every file, which a flood
    /// of changes calls for, and the start of the next; longer after a longer look.
    static constexpr uint64_t kLookPause = kNanosPerSecond;
    /// The most handler calls the main loop makes in one turn.
    static constexpr size_t kEventsPerTurn = 32;

    /// Uses `folder` (made when missing) when it is a real folder of the user's
    /// with mode 0700; otherwise `refusal()` says why, and nothing is published
    /// or found.
    DirectoryServiceDiscovery(std::filesystem::path folder, MainLoop& loop);
    ~DirectoryServiceDiscovery() override;

    /// "$XDG_RUNTIME_DIR/strombel-services", or "strombel-services-<uid>" in the
    /// system's temporary folder.
    static std::filesystem::path defaultFolder();
    const std::filesystem::path& folder() const { return folder_; }
    /// Why the folder is not used; empty when it is.
    const std::string& refusal() const { return refusal_; }

    Id publish(const ServicePublication& publication, PublishHandler handler) override;
    bool updateTxt(Id publication, const TxtRecord& txt) override;
    void unpublish(Id publication) override;
    Id browse(const std::string& type, BrowseHandlers handlers) override;
    void stopBrowsing(Id browse) override;
    void resolve(const std::string& name, const std::string& type, uint64_t timeoutNanos,
                 ResolveHandler handler) override;
    Id watchTxt(const std::string& name, const std::string& type, TxtHandler handler) override;
    void stopWatching(Id watch) override;

    /// Drops the entries of owners that are gone now (and tells the handlers at
    /// once), and asks the folder's thread to look at every entry again.
    void rescan();

    // The file format, shared with test programs that publish by hand.
    struct Entry {
        ServiceRecord record;
        pid_t owner = 0;
    };
    static std::string encode(const Entry& entry);
    static std::optional<Entry> decode(std::string_view text);
    /// The file name of a service: type and name, escaped so that it is one plain
    /// path component.
    static std::string fileName(const std::string& type, const std::string& name);
    /// Writes an entry atomically (a temporary file renamed into place). With
    /// `exclusive`, fails when a file of a live owner is already there. An entry
    /// that would not fit in kMaximumAnnouncementSize is not written.
    static bool writeEntry(const std::filesystem::path& folder, const Entry& entry, bool exclusive,
                           bool* collision = nullptr);
    /// The live entries of a folder; entries of dead owners are left out. Reads
    /// as the folder's thread does.
    static std::vector<Entry> readFolder(const std::filesystem::path& folder);
    /// The bytes of announcement file `name` in the open folder `folderFd`: only
    /// of a regular file of this user of at most kMaximumAnnouncementSize bytes,
    /// opened without following a link and without blocking.
    static std::optional<std::string> readAnnouncement(int folderFd, const char* name);
    /// The entry of announcement file `name`, when it reads, decodes and is
    /// filed under its own name.
    static std::optional<Entry> readEntry(int folderFd, const char* name);
    static bool ownerAlive(pid_t owner);

private:
    class FolderReader;
    using Key = std::pair<std::string, std::string>;  // type, name
    using EntryPointer = std::shared_ptr<const Entry>;
    /// By file name: the announcement the file holds now, or null.
    using Changes = std::map<std::string, EntryPointer>;

    struct Publication {
        ServicePublication publication;
        std::filesystem::path file;
    };
    /// Where a service found was, and who announced it: an entry written anew
    /// with another of these (a program that came back under its name) is a
    /// service found again, to be resolved anew.
    struct Whereabouts {
        pid_t owner = 0;
        uint16_t port = 0;
        std::vector<SocketAddress> addresses;
        bool operator==(const Whereabouts&) const = default;
        static Whereabouts of(const Entry& entry) {
            return {entry.owner, entry.record.port, entry.record.addresses};
        }
    };
    struct Browse {
        std::string type;
        BrowseHandlers handlers;
        std::map<std::string, Whereabouts> known;
        std::set<std::string> dirty;  // names that changed since they were told
    };
    struct Watch {
        std::string name, type;
        TxtHandler handler;
        std::optional<TxtRecord> last;
    };
    struct PendingResolve {
        std::string name, type;
        ResolveHandler handler;
        MainLoop::TimerId timer;
    };

    Entry entryFor(const ServicePublication& publication) const;
    void updateCheckTimer();
    /// Takes what the folder's thread found changed (main loop).
    void take();
    /// Marks `key` for the browses of its type and the watches.
    void changed(const Key& key);
    /// Forgets the entries whose owners are gone; true when there were any.
    bool dropDeadOwners();
    /// Posts a delivery unless one is waiting.
    void deliverSoon();
    /// Calls at most kEventsPerTurn handlers; posts itself again for the rest.
    void deliver();
    void deliverLater(std::function<void()> work);

    std::filesystem::path folder_;
    MainLoop& loop_;
    std::string refusal_;
    std::shared_ptr<DirectoryServiceDiscovery*> alive_;
    std::map<Id, Publication> publications_;
    std::map<Id, Browse> browses_;
    std::map<Id, Watch> watches_;
    std::map<Id, PendingResolve> resolves_;
    Id nextId_ = 1;
    MainLoop::TimerId checkTimer_ = 0;
    bool deliveryPosted_ = false;

    std::map<std::string, Key> files_;  // the announcements read, by file
    std::map<Key, EntryPointer> live_;  // those of them whose owners live
    std::set<Key> txtChanged_;          // entries the watches have not compared yet
    std::multimap<Key, Id> watchKeys_;  // the watches of each entry
    std::unique_ptr<FolderReader> reader_;
};

}  // namespace strombel::platform
