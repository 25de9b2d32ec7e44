#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/data_folder_lock.h"
#include "platform/main_loop.h"
#include "platform/result.h"

class QSocketNotifier;

namespace strombel::app {

/// An address the program was handed and did not open; the message says why,
/// or is empty when no reason was given.
inline constexpr std::string_view kOpenUrlErrorDomain = "OpenURLErrorDomain";
inline constexpr int64_t kOpenUrlRefused = 1;

/// Addresses the desktop opens with the program (the browser's way back from
/// the social network's login) reach the running program through a local socket
/// of the user's: `strombel --open-url URL` hands the address over and ends.
///
/// The socket lies in the user's runtime folder (mode 0700), one per data
/// folder, and only the folder's owner (the program holding its
/// `platform::DataFolderLock`) makes it; only the same user may speak to it,
/// and a start whose runtime folder is another finds it through the link the
/// owner leaves in the data folder (`kAnnouncementName`). One address per
/// connection, ending in a line feed, at most 64 KiB; the answer is "YES\n", or
/// "NO" with the reason after a space when there is one ("NO no login is under
/// way\n"). A connection whose address has come whole is answered at once; one
/// that has not sent it yet is held, for 2 s at most and at most 16 at once
/// (more are closed as they come). At most `kConnectionsPerTurn` connections
/// are taken in each `kRestAfterFullTurn`, the rest waiting in the kernel's
/// queue of 16: a process that floods the socket costs the program little, and
/// an address that got into the queue waits a turn or two.
class OpenUrlServer {
public:
    static constexpr size_t kMaximumURLSize = 64 * 1024;
    static constexpr uint64_t kAddressTimeLimit = 2 * platform::kNanosPerSecond;
    static constexpr size_t kMaximumConnections = 16;
    static constexpr int kConnectionsPerTurn = 64;
    static constexpr uint64_t kRestAfterFullTurn = 10 * platform::kNanosPerMillisecond;
    /// The link in the data folder to the socket of the program that owns it.
    static constexpr const char* kAnnouncementName = ".running.socket";
    using Handler = std::function<bool(const std::string& url)>;
    /// Opens `url`, or fails saying why not.
    using ExplainingHandler = std::function<platform::Result<void>(const std::string& url)>;

    /// The socket for the data folder `root` in the user's runtime folder
    /// ($XDG_RUNTIME_DIR, else "strombel-<uid>" in the system's temporary
    /// folder, used only when it is a real folder of the user's with mode
    /// 0700). Fails, saying why, when the folder is refused.
    static platform::Result<std::filesystem::path> socketPathFor(const std::filesystem::path& root);
    /// The socket the owner of `root` announced there, else `socketPathFor(root)`.
    static platform::Result<std::filesystem::path> ownerSocketFor(const std::filesystem::path& root);

    /// Listens at `path` and hands every address to `handler`, on the Qt event
    /// loop; the time limits run on `loop`'s clock. For the data folder's owner
    /// only: a file already at `path` can only be a leftover (of a program that
    /// ended without removing it) and is replaced.
    OpenUrlServer(std::filesystem::path path, Handler handler,
                  platform::MainLoop& loop);
    /// The same, passing a refusal's reason on to the one who handed the address over.
    OpenUrlServer(std::filesystem::path path, ExplainingHandler handler,
                  platform::MainLoop& loop);
    ~OpenUrlServer();
    OpenUrlServer(const OpenUrlServer&) = delete;
    OpenUrlServer& operator=(const OpenUrlServer&) = delete;

    /// Leaves the link to the socket in the data folder `root` (taken away
    /// again with the server); false, with `error()` saying why, when it cannot.
    bool announceIn(const std::filesystem::path& root);

    /// Whether it listens; `error()` says why not.
    bool isListening() const { return listener_ >= 0; }
    std::string error() const { return error_; }
    /// The connections held now.
    size_t connections() const { return held_.size(); }
    /// Whether the listener rests after a full turn.
    bool resting() const { return restTimer_ != 0; }
    /// Connections taken so far, and of those the ones that had gone or were
    /// turned away before anything was read from them (a flood's).
    uint64_t taken() const { return taken_; }
    uint64_t droppedUnread() const { return droppedUnread_; }

private:
    struct Held;
    void takeConnections();
    void take(int fd);
    void readHeld(int fd);
    void drop(int fd);
    /// Reads what `fd` has; true when the connection is done with (answered or closed).
    bool readAndAnswer(int fd, std::string& buffer);

    std::filesystem::path path_;
    std::filesystem::path announcement_;
    ExplainingHandler handler_;
    platform::MainLoop& loop_;
    int listener_ = -1;
    std::unique_ptr<QSocketNotifier> listening_;
    std::string error_;
    std::map<int, std::unique_ptr<Held>> held_;  // by descriptor
    platform::MainLoop::TimerId restTimer_ = 0;
    uint64_t turnBegan_ = 0;  // on the loop's clock
    int takenThisTurn_ = 0;
    uint64_t taken_ = 0, droppedUnread_ = 0;
    std::shared_ptr<OpenUrlServer*> alive_;
};

/// Hands `url` to the program listening at `path` in one try: its answer (true
/// for YES), or nothing when no program took it (none listens, or it turned the
/// connection away). Never waits to connect; waits at most a few seconds for
/// the answer.
std::optional<bool> handOverOpenURL(const std::filesystem::path& path, const std::string& url);

/// How a start keeps trying to hand its address to the folder's owner: for
/// `timeAllowed` on `clock` (required), waiting `pause` between tries
/// with `wait`, which answers false when the start is to end instead. Null
/// `wait`: a termination signal cuts the wait short and ends the trying.
struct HandOverTries {
    static constexpr uint64_t kTimeAllowed = 10 * platform::kNanosPerSecond;
    uint64_t timeAllowed = kTimeAllowed;
    uint64_t pause = 100 * platform::kNanosPerMillisecond;
    const platform::Clock* clock = nullptr;
    std::function<bool(uint64_t nanos)> wait;
};

/// How a start on a folder that another program owns ends.
struct SecondStart {
    /// It ends now with this status: 0 when the owner opened the address (or a
    /// termination signal came), 1 when the owner refused it (the reason is on
    /// standard error).
    std::optional<int> status;
    /// Otherwise, when set, why the start cannot go on, told as a start that
    /// fails (status 1), with the advice for it. Neither: the owner ended
    /// meanwhile and the folder is this start's now.
    std::string reason;
    std::string advice;
};

/// A start on the data folder `root` that `folder` found owned by another
/// program. With `url` (--open-url) the address goes to the owner through the
/// folder's socket, tried again while the owner turns it away (it holds every
/// connection it takes), has no socket yet (it is still starting) or has not
/// answered, until the time allowed is over; the folder is tried again between
/// tries, since the owner may end. A busy socket is never taken for a folder
/// nobody runs on. Without `url`, or when the owner never takes it: Strombel
/// already runs on that folder.
SecondStart startOnOwnedFolder(platform::DataFolderLock& folder, const std::filesystem::path& root,
                               const std::optional<std::string>& url, const HandOverTries& tries);

/// Says on standard error that an address given with `--open-url` was not
/// opened, and why; answers the exit status that ends the start (1).
int addressRefused(const std::string& refusal);

/// An address given with `--open-url` while no Strombel runs on the data
/// folder `root`: a Strombel started for it would have no login under way and
/// refuse it, so it is refused at once, with that Strombel's reason, before
/// anything starts. Answers the exit status (1).
int refuseWithNoOwner(const std::string& url, const std::filesystem::path& root);

}  // namespace strombel::app
