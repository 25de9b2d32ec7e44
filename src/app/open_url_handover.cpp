#include "app/open_url_handover.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fcntl.h>

#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fmt/format.h>
#include <thread>

#include "app/start_failure.h"
#include "app/tumblecraft_app_delegate.h"
#include "info/social_client.h"
#include "logging/log.h"
#include "platform/required.h"
#include "platform/runtime_folder.h"
#include "platform/termination_signals.h"

namespace strombel::app {

namespace {

// The longest one try waits for the answer once it has sent the address.
constexpr uint64_t kAnswerMillis = 5000;

/// The owner's answer to an address.
struct Answer {
    bool opened = false;
    std::string refusal;
};

/// Why `url` cannot be handed over at all; empty when it can.
std::string addressProblem(const std::string& url) {
    if (url.size() > OpenUrlServer::kMaximumURLSize)
        return fmt::format("the address is longer than {} KiB", OpenUrlServer::kMaximumURLSize / 1024);
    if (url.find('\n') != std::string::npos) return "the address holds a line break";
    return {};
}

struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

/// The user of the process at the other end of the connection `fd`; -1 when unknown.
uid_t peerUser(int fd) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return uid_t(-1);
    return credentials.uid;
}

/// Connects `fd` (non-blocking, refused for a full queue) once the listener's
/// queue has room, before `end`; false at the end of the time, on a signal or
/// on any other refusal. `fd` is non-blocking again afterwards.
bool connectWhenThereIsRoom(int fd, const sockaddr_un& address, std::chrono::steady_clock::time_point end) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return false;
    bool connected = false;
    for (;;) {
        // In slices, so that a termination signal is heard between them.
        const auto left = std::chrono::ceil<std::chrono::microseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || platform::terminationRequested()) break;
        const auto slice = std::min<int64_t>(left.count(), 100'000);
        const timeval limit{time_t(slice / 1'000'000), suseconds_t(slice % 1'000'000)};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            connected = true;
            break;
        }
        if (errno != EAGAIN && errno != EINTR) break;
    }
    return ::fcntl(fd, F_SETFL, flags) == 0 && connected;
}

/// One try at the socket `path`: connects (waiting for room in a full queue),
/// sends `url` and waits up to `millis` for the whole exchange, less when a
/// termination signal comes. Nothing when the address was not taken:
/// no socket, nobody listening, a connection turned away or closed unanswered.
std::optional<Answer> tryHandOver(const std::filesystem::path& path, const std::string& url, uint64_t millis) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = path.string();
    if (name.size() >= sizeof address.sun_path) return std::nullopt;
    std::memcpy(address.sun_path, name.c_str(), name.size() + 1);
    const Descriptor socket{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)};
    const int fd = socket.fd;
    if (fd < 0) return std::nullopt;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(millis);
    // Until `events` come on the socket; false at the end of the time or on a signal.
    const auto await = [&](short events) {
        const int pending = platform::terminationSignalDescriptor();
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd both[2] = {{fd, events, 0}, {pending, POLLIN, 0}};
            const int ready = ::poll(both, pending >= 0 ? 2 : 1, int(left.count()));
            if (ready < 0 && errno == EINTR) continue;
            return ready > 0 && both[0].revents != 0 && !(pending >= 0 && both[1].revents != 0);
        }
    };
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (errno == EAGAIN) {
            // The owner's queue of connections is full (another process may be
            // flooding it): the try waits in the kernel's queue for room, woken
            // as the owner takes connections, instead of counting as failed.
            if (!connectWhenThereIsRoom(fd, address, end)) return std::nullopt;
        } else {
            if (errno != EINPROGRESS || !await(POLLOUT)) return std::nullopt;
            int error = 0;
            socklen_t length = sizeof error;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return std::nullopt;
        }
    }
    // Only a program of this user's is handed the address.
    if (peerUser(fd) != ::geteuid()) return std::nullopt;
    const std::string line = url + "\n";
    for (size_t sent = 0; sent < line.size();) {
        const ssize_t n = ::send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += size_t(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!await(POLLOUT)) return std::nullopt;
        } else {
            return std::nullopt;
        }
    }
    std::string answer;
    char piece[64];
    while (answer.find('\n') == std::string::npos) {
        const ssize_t n = ::recv(fd, piece, sizeof piece, 0);
        if (n > 0) {
            answer.append(piece, size_t(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!await(POLLIN)) return std::nullopt;
        } else {
            return std::nullopt;  // closed without an answer: turned away
        }
    }
    const size_t lineEnd = answer.find('\n');
    if (answer.rfind("YES", 0) == 0) return Answer{true, {}};
    return Answer{false, answer.rfind("NO ", 0) == 0 ? answer.substr(3, lineEnd - 3) : std::string()};
}

SecondStart endsWith(int status) { return {status, {}, {}}; }

/// The pause between tries; false when a termination signal came.
bool waitUnlessEnded(uint64_t nanos) {
    pollfd signal{platform::terminationSignalDescriptor(), POLLIN, 0};
    if (signal.fd < 0) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(nanos));
        return true;
    }
    return ::poll(&signal, 1, int(std::max<uint64_t>(nanos / platform::kNanosPerMillisecond, 1))) == 0;
}

// 64-bit FNV-1a of the folder's name: one socket per data folder.
uint64_t folderHash(const std::string& text) {
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

}  // namespace

platform::Result<std::filesystem::path> OpenUrlServer::socketPathFor(const std::filesystem::path& root) {
    std::filesystem::path runtime;
    if (auto folder = platform::userRuntimeFolder()) {
        runtime = *folder;
    } else {
        // Another user may have made this folder first: it is used only when it
        // is ours alone.
        std::error_code ignored;
        runtime = std::filesystem::temp_directory_path(ignored) / fmt::format("strombel-{}", ::geteuid());
        if (platform::Result<void> prepared = platform::preparePrivateFolder(runtime); !prepared)
            return std::move(prepared).error();
    }
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::weakly_canonical(root, error);
    const std::string name = (error ? root : absolute).lexically_normal().string();
    return runtime / fmt::format("strombel-{:016x}.socket", folderHash(name));
}

platform::Result<std::filesystem::path> OpenUrlServer::ownerSocketFor(const std::filesystem::path& root) {
    // The owner's own word first: its runtime folder may not be this start's.
    std::error_code error;
    const std::filesystem::path announced = std::filesystem::read_symlink(root / kAnnouncementName, error);
    if (!error && announced.is_absolute()) return announced;
    return socketPathFor(root);
}

struct OpenUrlServer::Held {
    std::unique_ptr<QSocketNotifier> readable;
    std::string buffer;
    platform::MainLoop::TimerId deadline = 0;
};

OpenUrlServer::OpenUrlServer(std::filesystem::path path, Handler handler, platform::MainLoop& loop)
    : OpenUrlServer(
          std::move(path),
          ExplainingHandler([handler = std::move(handler)](const std::string& url) -> platform::Result<void> {
              if (handler && handler(url)) return {};
              return platform::Error::make(kOpenUrlErrorDomain, kOpenUrlRefused, "");  // no reason given
          }),
          loop) {}

OpenUrlServer::OpenUrlServer(std::filesystem::path path, ExplainingHandler handler, platform::MainLoop& loop)
    : path_(std::move(path)), handler_(std::move(handler)), loop_(loop), alive_(std::make_shared<OpenUrlServer*>(this)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = path_.string();
    if (name.size() >= sizeof address.sun_path) {
        error_ = "the socket's path " + name + " is too long";
    } else {
        std::memcpy(address.sun_path, name.c_str(), name.size() + 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        auto bound = [&] { return ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0; };
        // Only the folder's owner listens here: what lies at the path was left
        // by a program that ended without removing it.
        bool ok = fd >= 0 && (bound() || (errno == EADDRINUSE && ::unlink(name.c_str()) == 0 && bound()));
        ok = ok && ::chmod(name.c_str(), S_IRUSR | S_IWUSR) == 0 && ::listen(fd, int(kMaximumConnections)) == 0;
        if (ok) {
            listener_ = fd;
        } else {
            error_ = fmt::format("the socket {} cannot be made: {}", name, std::strerror(errno));
            if (fd >= 0) ::close(fd);
        }
    }
    if (listener_ < 0) {
        STROMBEL_LOG_WARN("Addresses opened by the desktop cannot reach Strombel: {}", error_);
        return;
    }
    listening_ = std::make_unique<QSocketNotifier>(listener_, QSocketNotifier::Read);
    QObject::connect(listening_.get(), &QSocketNotifier::activated, listening_.get(), [this] { takeConnections(); });
}

OpenUrlServer::~OpenUrlServer() {
    alive_.reset();
    if (restTimer_) loop_.cancel(restTimer_);
    // No notifier delivers now: each goes at once.
    for (auto& [fd, held] : held_) {
        if (held->deadline) loop_.cancel(held->deadline);
        held->readable.reset();
        ::close(fd);
    }
    held_.clear();
    listening_.reset();
    if (listener_ >= 0) {
        ::close(listener_);
        ::unlink(path_.c_str());
    }
    // The link goes only while it still names this socket (a later owner's stays).
    std::error_code error;
    if (!announcement_.empty() && std::filesystem::read_symlink(announcement_, error) == path_ && !error)
        std::filesystem::remove(announcement_, error);
}

bool OpenUrlServer::announceIn(const std::filesystem::path& root) {
    if (!isListening()) return false;
    // Made aside and renamed over whatever an earlier owner left.
    const std::filesystem::path link = root / kAnnouncementName;
    const std::filesystem::path aside = root / (std::string(kAnnouncementName) + ".new");
    std::error_code error;
    std::filesystem::remove(aside, error);
    std::filesystem::create_symlink(path_, aside, error);
    if (!error) std::filesystem::rename(aside, link, error);
    if (error) {
        error_ = "the link " + link.string() + " cannot be made: " + error.message();
        std::filesystem::remove(aside, error);
        return false;
    }
    announcement_ = link;
    return true;
}

void OpenUrlServer::takeConnections() {
    // At most kConnectionsPerTurn in each stretch of kRestAfterFullTurn.
    const uint64_t now = loop_.clock().nowNanos();
    if (now - turnBegan_ >= kRestAfterFullTurn) {
        turnBegan_ = now;
        takenThisTurn_ = 0;
    }
    while (takenThisTurn_ < kConnectionsPerTurn) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        ++takenThisTurn_;
        ++taken_;
        take(fd);
    }
    // So many: someone floods the socket. The listener rests for the rest of the
    // stretch; the kernel's short queue keeps what comes meanwhile, a real
    // address among it.
    listening_->setEnabled(false);
    std::weak_ptr<OpenUrlServer*> alive = alive_;
    restTimer_ = loop_.schedule(turnBegan_ + kRestAfterFullTurn - now, [this, alive] {
        if (!alive.lock()) return;
        restTimer_ = 0;
        listening_->setEnabled(true);
    });
}

void OpenUrlServer::take(int fd) {
    if (peerUser(fd) != ::geteuid()) {
        ++droppedUnread_;
        ::close(fd);
        return;
    }
    // A client sends its address as it connects: most are answered here at
    // once, and a connection already gone costs nothing more.
    std::string buffer;
    if (readAndAnswer(fd, buffer)) {
        if (buffer.empty()) ++droppedUnread_;
        ::close(fd);
        return;
    }
    if (held_.size() >= kMaximumConnections) {
        ++droppedUnread_;
        ::close(fd);
        return;
    }
    // Held until its address comes whole, for 2 s at most.
    auto held = std::make_unique<Held>();
    held->buffer = std::move(buffer);
    held->readable = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    std::weak_ptr<OpenUrlServer*> alive = alive_;
    QObject::connect(held->readable.get(), &QSocketNotifier::activated, held->readable.get(), [this, alive, fd] {
        if (alive.lock()) readHeld(fd);
    });
    held->deadline = loop_.schedule(kAddressTimeLimit, [this, alive, fd] {
        if (!alive.lock()) return;
        if (auto it = held_.find(fd); it != held_.end()) it->second->deadline = 0;
        drop(fd);
    });
    held_[fd] = std::move(held);
}

void OpenUrlServer::readHeld(int fd) {
    auto it = held_.find(fd);
    if (it == held_.end()) return;
    if (!readAndAnswer(fd, it->second->buffer)) return;
    if (it->second->buffer.empty()) ++droppedUnread_;
    drop(fd);
}

void OpenUrlServer::drop(int fd) {
    auto it = held_.find(fd);
    if (it == held_.end()) return;
    if (it->second->deadline) loop_.cancel(it->second->deadline);
    it->second->readable->setEnabled(false);
    // Its notifier may be the one delivering now: it goes on the next turn.
    it->second->readable.release()->deleteLater();
    held_.erase(it);
    ::close(fd);
}

bool OpenUrlServer::readAndAnswer(int fd, std::string& buffer) {
    char piece[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, piece, sizeof piece, MSG_DONTWAIT);
        if (n == 0) return true;  // gone without an address
        if (n < 0) return !(errno == EAGAIN || errno == EINTR);
        buffer.append(piece, size_t(n));
        const size_t end = buffer.find('\n');
        if (end == std::string::npos) {
            if (buffer.size() > kMaximumURLSize) return true;
            continue;
        }
        if (end > kMaximumURLSize) return true;
        const std::string url = buffer.substr(0, end);
        // An empty line only asks whether anyone listens.
        const platform::Result<void> taken = url.empty() || !handler_
                                                 ? platform::Error::make(kOpenUrlErrorDomain, kOpenUrlRefused, "")
                                                 : handler_(url);
        const bool opened = taken.ok();
        std::string refusal = opened ? std::string() : taken.error().message();
        std::replace_if(refusal.begin(), refusal.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
        const std::string answer = opened ? "YES\n" : refusal.empty() ? "NO\n" : "NO " + refusal + "\n";
        // A fresh connection's buffer takes a short answer whole.
        (void)::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        return true;
    }
}

std::optional<bool> handOverOpenURL(const std::filesystem::path& path, const std::string& url) {
    if (!addressProblem(url).empty()) return false;
    const std::optional<Answer> answer = tryHandOver(path, url, kAnswerMillis);
    if (!answer) return std::nullopt;
    return answer->opened;
}

SecondStart startOnOwnedFolder(platform::DataFolderLock& folder, const std::filesystem::path& root,
                               const std::optional<std::string>& url, const HandOverTries& tries) {
    const std::string runs = "another Strombel already runs on the folder " + root.string();
    if (!url) return {std::nullopt, runs, "Use the Strombel that runs, or start this one with --root and another folder."};
    if (std::string why = addressProblem(*url); !why.empty()) return endsWith(addressRefused(why));
    if (const auto socket = OpenUrlServer::ownerSocketFor(root); !socket)
        return {std::nullopt, runs + ", and the address cannot reach it: " + socket.error().message(), kFolderAdvice};

    const platform::Clock& clock = platform::required(tries.clock, "HandOverTries::clock");
    const auto wait = tries.wait ? tries.wait : waitUnlessEnded;
    const uint64_t end = clock.nowNanos() + tries.timeAllowed;
    for (;;) {
        const uint64_t now = clock.nowNanos();
        const uint64_t left = end > now ? end - now : 0;
        // A try that got the address through waits for the answer as long as there is time.
        const uint64_t millis = std::max<uint64_t>(left / platform::kNanosPerMillisecond, 1);
        // Looked up at each try: an owner still starting announces its socket later.
        const platform::Result<std::filesystem::path> socket = OpenUrlServer::ownerSocketFor(root);
        if (const std::optional<Answer> answer = socket ? tryHandOver(*socket, *url, millis) : std::nullopt) {
            if (answer->opened) return endsWith(0);
            return endsWith(
                addressRefused(answer->refusal.empty() ? "the running Strombel gave no reason" : answer->refusal));
        }
        if (platform::terminationRequested()) return endsWith(0);
        if (folder.tryAgain()) return SecondStart{std::nullopt, {}, {}};  // the owner has ended
        if (clock.nowNanos() >= end) break;
        if (!wait(tries.pause)) return endsWith(0);
    }
    return {std::nullopt,
            fmt::format("{} and did not take the address within {} s", runs,
                        (tries.timeAllowed + platform::kNanosPerSecond / 2) / platform::kNanosPerSecond),
            "Open the address again once that Strombel answers, or quit it first."};
}

int addressRefused(const std::string& refusal) {
    std::fprintf(stderr, "strombel: the address was not opened: %s\n", refusal.c_str());
    return 1;
}

int refuseWithNoOwner(const std::string& url, const std::filesystem::path& root) {
    // The answer of a social network client as the program's launch makes it:
    // nothing is under way yet.
    info::SocialClient fresh(AppConfiguration{}.socialAppId, nullptr);
    platform::Result<void> taken = fresh.handleLoginRedirect(url);
    if (taken) return 0;
    return addressRefused("no Strombel runs on the folder " + root.string() + " to take it, and one started for it " +
                          "would refuse it: " + taken.error().message());
}

}  // namespace strombel::app
