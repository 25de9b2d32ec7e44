#pragma once

#include <sys/types.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <thread>

#include "platform/main_loop.h"
#include "platform/service_discovery.h"

namespace strombel::platform {

/// Service discovery among the programs of one machine: every published service
/// is a file in one folder (by default "$XDG_RUNTIME_DIR/strombel-services"),
/// written atomically, holding its name, type, port, loopback addresses, TXT
/// record and the owner's process id. The folder is watched with inotify; a
/// file whose owner process is gone counts as removed. Nothing leaves the
/// machine. Events reach the main loop; owner deaths are noticed on a 1-second
/// rescan on the loop's clock.
class DirectoryServiceDiscovery final : public ServiceDiscovery {
public:
    explicit DirectoryServiceDiscovery(std::filesystem::path folder = defaultFolder(),
                                       MainLoop& loop = MainLoop::shared());
    ~DirectoryServiceDiscovery() override;

    /// "$XDG_RUNTIME_DIR/strombel-services", or a per-user folder under /tmp.
    static std::filesystem::path defaultFolder();
    const std::filesystem::path& folder() const { return folder_; }

    Id publish(const ServicePublication& publication, PublishHandler handler) override;
    bool updateTxt(Id publication, const TxtRecord& txt) override;
    void unpublish(Id publication) override;
    Id browse(const std::string& type, BrowseHandlers handlers) override;
    void stopBrowsing(Id browse) override;
    void resolve(const std::string& name, const std::string& type, uint64_t timeoutNanos,
                 ResolveHandler handler) override;
    Id watchTxt(const std::string& name, const std::string& type, TxtHandler handler) override;
    void stopWatching(Id watch) override;

    /// Reads the folder again now (the inotify watcher and the rescan timer do
    /// this on their own).
    void rescan();

    // The file format, shared with test programs that publish by hand.
    struct Entry {
        ServiceRecord record;
        pid_t owner = 0;
    };
    static std::string encode(const Entry& entry);
    static std::optional<Entry> decode(const std::string& text);
    /// The file name of a service: type and name, escaped so that it is one plain
    /// path component.
    static std::string fileName(const std::string& type, const std::string& name);
    /// Writes an entry atomically (a temporary file renamed into place). With
    /// `exclusive`, fails when a file of a live owner is already there.
    static bool writeEntry(const std::filesystem::path& folder, const Entry& entry, bool exclusive,
                           bool* collision = nullptr);
    /// The live entries of a folder; entries of dead owners are left out.
    static std::vector<Entry> readFolder(const std::filesystem::path& folder);
    static bool ownerAlive(pid_t owner);

private:
    struct Publication {
        ServicePublication publication;
        std::filesystem::path file;
    };
    struct Browse {
        std::string type;
        BrowseHandlers handlers;
        std::set<std::string> known;
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
    void startWatcher();
    void stopWatcher();
    void updateRescanTimer();
    /// Posts a rescan unless one is already waiting. Any thread.
    void rescanSoon();
    void deliverLater(std::function<void()> work);

    std::filesystem::path folder_;
    MainLoop& loop_;
    std::shared_ptr<DirectoryServiceDiscovery*> alive_;
    std::map<Id, Publication> publications_;
    std::map<Id, Browse> browses_;
    std::map<Id, Watch> watches_;
    std::map<Id, PendingResolve> resolves_;
    Id nextId_ = 1;
    MainLoop::TimerId rescanTimer_ = 0;

    int inotify_ = -1;
    int wakeup_ = -1;
    std::atomic<bool> rescanPosted_{false};
    std::thread watcher_;
};

}  // namespace strombel::platform
