#pragma once

#include <QLocalServer>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/main_loop.h"

class QLocalSocket;

namespace strombel::app {

/// Addresses the desktop opens with the program (the browser's way back from
/// the social network's login) reach the running program through a local socket
/// of the user's: `strombel --open-url URL` hands the address over and ends, or,
/// with no program running, starts one that opens it after its launch.
///
/// The socket lies in the user's runtime folder (mode 0700), one per data
/// folder; only the same user may speak to it. One address per connection,
/// ending in a line feed, at most 64 KiB; the answer is "YES\n", or "NO" with
/// the reason after a space when there is one ("NO no login is under way\n").
/// A connection that has not sent its whole address within 2 s is closed, and
/// at most 16 are held at once (more are closed as they come).
class OpenUrlServer {
public:
    static constexpr size_t kMaximumURLSize = 64 * 1024;
    static constexpr uint64_t kAddressTimeLimit = 2 * platform::kNanosPerSecond;
    static constexpr size_t kMaximumConnections = 16;
    using Handler = std::function<bool(const std::string& url)>;
    /// Opens `url`, or sets `refusal` to why not and answers false.
    using ExplainingHandler = std::function<bool(const std::string& url, std::string& refusal)>;

    /// The socket for the data folder `root` in the user's runtime folder
    /// ($XDG_RUNTIME_DIR, else "strombel-<uid>" in the system's temporary
    /// folder, used only when it is a real folder of the user's with mode
    /// 0700). Nothing when the folder is refused; `refusal` then says why.
    static std::optional<std::filesystem::path> socketPathFor(const std::filesystem::path& root,
                                                              std::string* refusal = nullptr);

    /// Listens at `path` (replacing a socket nobody answers at any more) and
    /// hands every address to `handler`, on the Qt event loop; the time limit
    /// of each connection runs on `loop`'s clock.
    OpenUrlServer(std::filesystem::path path, Handler handler,
                  platform::MainLoop& loop = platform::MainLoop::shared());
    /// The same, passing a refusal's reason on to the one who handed the address over.
    OpenUrlServer(std::filesystem::path path, ExplainingHandler handler,
                  platform::MainLoop& loop = platform::MainLoop::shared());
    ~OpenUrlServer();
    OpenUrlServer(const OpenUrlServer&) = delete;
    OpenUrlServer& operator=(const OpenUrlServer&) = delete;

    /// Whether it listens; `error()` says why not.
    bool isListening() const;
    std::string error() const;
    /// The connections held now.
    size_t connections() const { return deadlines_.size(); }

private:
    void accept();
    std::unique_ptr<QLocalServer> server_;
    std::filesystem::path path_;
    ExplainingHandler handler_;
    platform::MainLoop& loop_;
    std::map<QLocalSocket*, platform::MainLoop::TimerId> deadlines_;  // the connections held
    std::shared_ptr<OpenUrlServer*> alive_;
};

/// Hands `url` to the program listening at `path`: its answer (true for YES),
/// or nothing when no program listens there. Blocks for at most a few seconds.
/// `refusal`, when given, is set to why the address was not opened.
std::optional<bool> handOverOpenURL(const std::filesystem::path& path, const std::string& url,
                                    std::string* refusal = nullptr);

/// `strombel --open-url URL` on the data folder `root`: hands `url` to the
/// program running there and answers the exit status, 0 when it opened the
/// address and 1 when it refused it (the reason then goes to standard error);
/// nothing when no program runs there (this one then starts and opens it).
std::optional<int> handOverFromCommandLine(const std::filesystem::path& root, const std::string& url);

}  // namespace strombel::app
