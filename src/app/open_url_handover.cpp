#include "app/open_url_handover.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QLocalSocket>
#include <QPointer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fmt/format.h>

#include "logging/log.h"
#include "platform/runtime_folder.h"

namespace strombel::app {

namespace {

constexpr int kHandOverMillis = 5000;

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
        // A socket left by a program that ended without closing it answers nobody.
        if (!handOverOpenURL(path_, "")) {
            QLocalServer::removeServer(name);
            server_->listen(name);
        }
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
    if (url.size() > OpenUrlServer::kMaximumURLSize) {
        if (refusal) *refusal = fmt::format("the address is longer than {} KiB", OpenUrlServer::kMaximumURLSize / 1024);
        return false;
    }
    if (url.find('\n') != std::string::npos) {
        if (refusal) *refusal = "the address holds a line break";
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = path.string();
    if (name.size() >= sizeof address.sun_path) return std::nullopt;
    std::memcpy(address.sun_path, name.c_str(), name.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return std::nullopt;
    }
    const std::string line = url + "\n";
    size_t sent = 0;
    while (sent < line.size()) {
        const ssize_t n = ::send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            ::close(fd);
            return std::nullopt;
        }
        sent += size_t(n);
    }
    std::string answer;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHandOverMillis);
    char piece[16];
    while (answer.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd waiting{fd, POLLIN, 0};
        if (::poll(&waiting, 1, int(left.count())) <= 0) break;
        const ssize_t n = ::recv(fd, piece, sizeof piece, 0);
        if (n <= 0) break;
        answer.append(piece, size_t(n));
    }
    ::close(fd);
    const size_t lineEnd = answer.find('\n');
    if (lineEnd == std::string::npos) return std::nullopt;
    if (answer.rfind("YES", 0) == 0) return true;
    if (refusal) *refusal = answer.rfind("NO ", 0) == 0 ? answer.substr(3, lineEnd - 3) : std::string();
    return false;
}

std::optional<int> handOverFromCommandLine(const std::filesystem::path& root, const std::string& url) {
    const auto socket = OpenUrlServer::socketPathFor(root);
    if (!socket) return std::nullopt;
    std::string refusal;
    const std::optional<bool> opened = handOverOpenURL(*socket, url, &refusal);
    if (!opened) return std::nullopt;
    if (*opened) return 0;
    std::fprintf(stderr, "strombel: the address was not opened: %s\n",
                 refusal.empty() ? "the running Strombel gave no reason" : refusal.c_str());
    return 1;
}

}  // namespace strombel::app
