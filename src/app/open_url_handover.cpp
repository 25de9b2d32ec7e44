#include "app/open_url_handover.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QLocalSocket>
#include <QPointer>
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

/// One try at the socket `path`: connects without waiting (a full queue is a
/// try that failed), sends `url` and waits up to `millis` for the answer, less
/// when a termination signal comes. Nothing when the address was not taken:
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
        if (errno != EINPROGRESS || !await(POLLOUT)) return std::nullopt;
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return std::nullopt;
    }
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

bool sameUser(const QLocalSocket& socket) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        return false;
    }
    return credentials.uid == ::geteuid();
}

}  // namespace

std::optional<std::filesystem::path> OpenUrlServer::socketPathFor(const std::filesystem::path& root,
                                                                   std::string* refusal) {
    std::filesystem::path runtime;
    if (auto folder = platform::userRuntimeFolder()) {
        runtime = *folder;
    } else {
        // Another user may have made this folder first: it is used only when it
        // is ours alone.
        std::error_code ignored;
        runtime = std::filesystem::temp_directory_path(ignored) / fmt::format("strombel-{}", ::geteuid());
        if (auto why = platform::preparePrivateFolder(runtime)) {
            if (refusal) *refusal = *why;
            return std::nullopt;
        }
    }
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::weakly_canonical(root, error);
    const std::string name = (error ? root : absolute).lexically_normal().string();
    return runtime / fmt::format("strombel-{:016x}.socket", folderHash(name));
}

OpenUrlServer::OpenUrlServer(std::filesystem::path path, Handler handler, platform::MainLoop& loop)
    : OpenUrlServer(
          std::move(path),
          ExplainingHandler([handler = std::move(handler)](const std::string& url, std::string&) {
              return handler && handler(url);
          }),
          loop) {}

OpenUrlServer::OpenUrlServer(std::filesystem::path path, ExplainingHandler handler, platform::MainLoop& loop)
    : server_(std::make_unique<QLocalServer>()),
      path_(std::move(path)),
      handler_(std::move(handler)),
      loop_(loop),
      alive_(std::make_shared<OpenUrlServer*>(this)) {
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    const QString name = QString::fromStdString(path_.string());
    if (!server_->listen(name)) {
        // Only the folder's owner listens here: what lies at the path was left
        // by a program that ended without removing it.
        QLocalServer::removeServer(name);
        server_->listen(name);
    }
    if (!server_->isListening()) {
        STROMBEL_LOG_WARN("Addresses opened by the desktop cannot reach Strombel: {}",
                          server_->errorString().toStdString());
        return;
    }
    QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [this] { accept(); });
}

OpenUrlServer::~OpenUrlServer() {
    alive_.reset();
    for (auto& [socket, timer] : deadlines_) loop_.cancel(timer);
    deadlines_.clear();
    if (server_->isListening()) server_->close();
}

bool OpenUrlServer::isListening() const { return server_->isListening(); }
std::string OpenUrlServer::error() const { return server_->errorString().toStdString(); }

void OpenUrlServer::accept() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (!sameUser(*socket) || deadlines_.size() >= kMaximumConnections) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        // Held until it goes, and for 2 s at most unless its address came whole.
        std::weak_ptr<OpenUrlServer*> alive = alive_;
        QPointer<QLocalSocket> guarded(socket);
        deadlines_[socket] = loop_.schedule(kAddressTimeLimit, [this, alive, guarded] {
            if (!alive.lock() || !guarded) return;
            deadlines_.erase(guarded.data());
            guarded->abort();
            guarded->deleteLater();
        });
        QObject::connect(socket, &QObject::destroyed, server_.get(), [this, alive, socket] {
            if (!alive.lock()) return;
            auto it = deadlines_.find(socket);
            if (it == deadlines_.end()) return;
            loop_.cancel(it->second);
            deadlines_.erase(it);
        });
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket, buffer] {
            buffer->append(socket->readAll());
            const qsizetype end = buffer->indexOf('\n');
            if (end < 0) {
                if (size_t(buffer->size()) > kMaximumURLSize) socket->abort();
                return;
            }
            if (size_t(end) > kMaximumURLSize) {
                socket->abort();
                return;
            }
            const std::string url = buffer->left(end).toStdString();
            // An empty line only asks whether anyone listens.
            std::string refusal;
            const bool opened = !url.empty() && handler_ && handler_(url, refusal);
            std::replace_if(refusal.begin(), refusal.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
            const std::string answer = opened ? "YES\n" : refusal.empty() ? "NO\n" : "NO " + refusal + "\n";
            socket->write(answer.data(), qint64(answer.size()));
            socket->flush();
            socket->disconnectFromServer();
        });
    }
}

std::optional<bool> handOverOpenURL(const std::filesystem::path& path, const std::string& url,
                                    std::string* refusal) {
    if (std::string why = addressProblem(url); !why.empty()) {
        if (refusal) *refusal = why;
        return false;
    }
    const std::optional<Answer> answer = tryHandOver(path, url, kAnswerMillis);
    if (!answer) return std::nullopt;
    if (refusal) *refusal = answer->refusal;
    return answer->opened;
}

SecondStart startOnOwnedFolder(platform::DataFolderLock& folder, const std::filesystem::path& root,
                               const std::optional<std::string>& url, const HandOverTries& tries) {
    const std::string runs = "another Strombel already runs on the folder " + root.string();
    if (!url) return {std::nullopt, runs, "Use the Strombel that runs, or start this one with --root and another folder."};
    if (std::string why = addressProblem(*url); !why.empty()) return endsWith(addressRefused(why));
    std::string noSocket;
    const std::optional<std::filesystem::path> socket = OpenUrlServer::socketPathFor(root, &noSocket);
    if (!socket) return {std::nullopt, runs + ", and the address cannot reach it: " + noSocket, kFolderAdvice};

    const platform::Clock& clock = tries.clock ? *tries.clock : platform::SystemClock::shared();
    const auto wait = tries.wait ? tries.wait : waitUnlessEnded;
    const uint64_t end = clock.nowNanos() + tries.timeAllowed;
    for (;;) {
        const uint64_t now = clock.nowNanos();
        const uint64_t left = end > now ? end - now : 0;
        // A try that got the address through waits for the answer as long as there is time.
        const uint64_t millis = std::max<uint64_t>(left / platform::kNanosPerMillisecond, 1);
        if (const std::optional<Answer> answer = tryHandOver(*socket, *url, millis)) {
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
    std::string refusal;
    if (fresh.handleOpenURL(url, &refusal)) return 0;
    return addressRefused("no Strombel runs on the folder " + root.string() + " to take it, and one started for it " +
                          "would refuse it: " + refusal);
}

}  // namespace strombel::app
