#pragma once

#include <QLocalServer>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace strombel::app {

/// Addresses the desktop opens with the program (the browser's way back from
/// the social network's login) reach the running program through a local socket
/// of the user's: `strombel --open-url URL` hands the address over and ends, or,
/// with no program running, starts one that opens it after its launch.
///
/// The socket lies in the user's runtime folder (mode 0700), one per data
/// folder; only the same user may speak to it. One address per connection,
/// ending in a line feed, at most 64 KiB; the answer is "YES\n" or "NO\n".
class OpenUrlServer {
public:
    static constexpr size_t kMaximumURLSize = 64 * 1024;
    using Handler = std::function<bool(const std::string& url)>;

    /// The socket for the data folder `root` in the user's runtime folder
    /// ($XDG_RUNTIME_DIR, else a folder of the user's under /tmp).
    static std::filesystem::path socketPathFor(const std::filesystem::path& root);

    /// Listens at `path` (replacing a socket nobody answers at any more) and
    /// hands every address to `handler`, on the Qt event loop.
    OpenUrlServer(std::filesystem::path path, Handler handler);
    ~OpenUrlServer();
    OpenUrlServer(const OpenUrlServer&) = delete;
    OpenUrlServer& operator=(const OpenUrlServer&) = delete;

    /// Whether it listens; `error()` says why not.
    bool isListening() const;
    std::string error() const;

private:
    void accept();
    std::unique_ptr<QLocalServer> server_;
    std::filesystem::path path_;
    Handler handler_;
};

/// Hands `url` to the program listening at `path`: its answer (true for YES),
/// or nothing when no program listens there. Blocks for at most a few seconds.
std::optional<bool> handOverOpenURL(const std::filesystem::path& path, const std::string& url);

}  // namespace strombel::app
