#include "test_servers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <stdexcept>

namespace strombel::http::testing {

std::string patternBytes(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + 7) % 256);
    return bytes;
}

std::string compress(const std::string& text, Compression compression) {
    z_stream stream{};
    int windowBits = compression == Compression::Gzip ? 15 + 16 : compression == Compression::Zlib ? 15 : -15;
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, text.size()) + 64, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

std::string compressibleText() {
    std::string text;
    for (int i = 0; i < 2000; ++i) text += "line " + std::to_string(i) + ": twelve pads, one bank\n";
    return text;
}

std::string RecordedRequest::header(const std::string& name) const {
    auto found = headers.find(name);
    return found == headers.end() ? std::string() : found->second;
}

LoopbackServer::LoopbackServer() : server_(std::make_unique<httplib::Server>()) { start(); }

LoopbackServer::LoopbackServer(const Identity& identity)
    : server_(std::make_unique<httplib::SSLServer>(identity.certificate.get(), identity.key.get())), secure_(true) {
    start();
}

void LoopbackServer::start() {
    installRoutes();
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("the loopback server could not bind");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // httplib's stop() does nothing to a server whose accept loop has not begun.
    while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

LoopbackServer::~LoopbackServer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    gateChanged_.notify_all();
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

std::string LoopbackServer::url(const std::string& path, const std::string& host) const {
    return std::string(secure_ ? "https" : "http") + "://" + host + ":" + std::to_string(port_) + path;
}

std::vector<RecordedRequest> LoopbackServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

size_t LoopbackServer::requestCount(const std::string& path) const {
    std::lock_guard lock(mutex_);
    size_t count = 0;
    for (const auto& request : requests_) count += request.path == path;
    return count;
}

void LoopbackServer::record(const httplib::Request& request) {
    RecordedRequest recorded{request.method, request.path, request.get_header_value("Host"), request.body,
                             request.headers};
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(recorded));
}

void LoopbackServer::openGate() {
    {
        std::lock_guard lock(mutex_);
        gateOpen_ = true;
    }
    gateChanged_.notify_all();
}

bool LoopbackServer::waitForGate() {
    std::unique_lock lock(mutex_);
    gateChanged_.wait(lock, [this] { return gateOpen_ || stopping_; });
    return gateOpen_;
}

void LoopbackServer::installRoutes() {
    httplib::Server& server = *server_;
    server.set_keep_alive_max_count(1000);
    server.set_tcp_nodelay(true);
    server.set_payload_max_length(size_t{256} << 20);

    server.Get(R"(/bytes/(\d+))", [this](const httplib::Request& request, httplib::Response& response) {
        record(request);
        response.set_content(patternBytes(std::stoul(request.matches[1])), "application/octet-stream");
    });
    auto echo = [this](const httplib::Request& request, httplib::Response& response) {
        record(request);
        response.set_header("X-Method", request.method);
        response.set_header("X-Custom", request.get_header_value("X-Custom"));
        response.set_content(request.body, "application/octet-stream");
    };
    server.Get("/echo", echo);
    server.Post("/echo", echo);
    server.Put("/echo", echo);
    server.Delete("/echo", echo);

    server.Get(R"(/status/(\d+))", [this](const httplib::Request& request, httplib::Response& response) {
        record(request);
        response.status = std::stoi(request.matches[1]);
        response.set_content("status " + std::string(request.matches[1]), "text/plain");
    });
    server.Get("/auth", [this](const httplib::Request& request, httplib::Response& response) {
        record(request);
        // "user:secret" in base 64.
        if (request.get_header_value("Authorization") == "Basic dXNlcjpzZWNyZXQ=") {
            response.set_content("welcome", "text/plain");
        } else {
            response.status = 401;
            response.set_header("WWW-Authenticate", "Basic realm=\"store\"");
            response.set_content("who are you", "text/plain");
        }
    });
    server.Get("/proxy-auth", [this](const httplib::Request& request, httplib::Response& response) {
        record(request);
        response.status = 407;
        response.set_header("Proxy-Authenticate", "Basic realm=\"proxy\"");
    });
    auto redirect = [this](const httplib::Request& request, httplib::Response& response) {
        record(request);
        response.status = std::stoi(request.matches[1]);
        response.set_header("Location", request.has_param("to") ? request.get_param_value("to") : "/echo");
        response.set_content("moved", "text/plain");
    };
    server.Get(R"(/redirect/(\d+))", redirect);
    server.Post(R"(/redirect/(\d+))", redirect);
    server.Put(R"(/redirect/(\d+))", redirect);
    server.Get("/loop", [this](const httplib::Request& request, httplib::Response& response) {
        record(request);
        response.status = 302;
        response.set_header("Location", "/loop");
    });

    server.Get("/cookie/set", [this](const httplib::Request& request, httplib::Response& response) {
        record(request);
        response.set_header("Set-Cookie", "session=abc; Path=/");
        response.set_content("set", "text/plain");
    });
    server.Get("/cookie/show", [this](const httplib::Request& request, httplib::Response& response) {
        record(request);
        response.set_content(request.get_header_value("Cookie"), "text/plain");
    });

    auto compressed = [this](Compression compression, const char* encoding) {
        return [this, compression, encoding](const httplib::Request& request, httplib::Response& response) {
            record(request);
            // Bytes httplib would not compress again (it does text when the client accepts gzip).
            response.set_header("Content-Encoding", encoding);
            response.set_content(compress(compressibleText(), compression), "application/octet-stream");
        };
    };
    server.Get("/gzip", compressed(Compression::Gzip, "gzip"));
    server.Get("/deflate", compressed(Compression::Zlib, "deflate"));
    server.Get("/raw-deflate", compressed(Compression::RawDeflate, "deflate"));

    auto cached = [this](bool gzip) {
        return [this, gzip](const httplib::Request& request, httplib::Response& response) {
            record(request);
            response.set_header("ETag", "\"v1\"");
            if (request.get_header_value("If-None-Match") == "\"v1\"") {
                response.status = 304;
                return;
            }
            if (gzip) {
                response.set_header("Content-Encoding", "gzip");
                response.set_content(compress(compressibleText(), Compression::Gzip), "application/octet-stream");
            } else {
                response.set_content("cached body", "text/plain");
            }
        };
    };
    server.Get("/cached", cached(false));
    server.Get("/cached-gzip", cached(true));
    server.Get("/modified", [this](const httplib::Request& request, httplib::Response& response) {
        record(request);
        const char* stamp = "Wed, 01 Jan 2025 10:00:00 GMT";
        response.set_header("Last-Modified", stamp);
        if (request.get_header_value("If-Modified-Since") == stamp) {
            response.status = 304;
            return;
        }
        response.set_content("modified body", "text/plain");
    });
    server.Get("/nostore", [this](const httplib::Request& request, httplib::Response& response) {
        record(request);
        response.set_header("ETag", "\"v1\"");
        response.set_header("Cache-Control", "private, no-store");
        response.set_content("not for keeping", "text/plain");
    });

    server.Get("/gate", [this](const httplib::Request& request, httplib::Response& response) {
        record(request);
        int now = ++inFlight_;
        int most = most_.load();
        while (now > most && !most_.compare_exchange_weak(most, now)) {
        }
        waitForGate();
        --inFlight_;
        response.set_content("gate", "text/plain");
    });
    server.Get(R"(/partial/(\d+))", [this](const httplib::Request& request, httplib::Response& response) {
        record(request);
        size_t half = std::stoul(request.matches[1]);
        response.set_content_provider(2 * half, "application/octet-stream",
                                      [this, half](size_t offset, size_t, httplib::DataSink& sink) {
                                          if (offset >= half && !waitForGate()) return false;
                                          std::string piece = patternBytes(half);
                                          return sink.write(piece.data(), piece.size());
                                      });
    });
}

// ---- RawServer

RawServer::RawServer(Script script) : script_(std::move(script)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 16) != 0) {
        throw std::runtime_error("the raw server could not listen");
    }
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

RawServer::~RawServer() {
    stopping_ = true;
    release();
    if (acceptor_.joinable()) acceptor_.join();
    for (auto& connection : connections_) connection.join();
    ::close(listener_);
}

std::string RawServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void RawServer::release() {
    {
        std::lock_guard lock(mutex_);
        isReleased_ = true;
    }
    released_.notify_all();
}

void RawServer::acceptLoop() {
    while (!stopping_) {
        pollfd waiting{listener_, POLLIN, 0};
        if (::poll(&waiting, 1, 20) <= 0) continue;
        int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        connections_.emplace_back([this, fd] {
            RawConnection connection(*this, fd);
            script_(connection);
            ::shutdown(fd, SHUT_RDWR);
            ::close(fd);
        });
    }
}

std::string RawConnection::readRequest() {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        pollfd waiting{fd_, POLLIN, 0};
        if (::poll(&waiting, 1, 20) <= 0) {
            if (server_.stopping_) return "";
            continue;
        }
        ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
        if (got <= 0) return "";
        request.append(buffer, static_cast<size_t>(got));
    }
    ++server_.requestsRead_;
    return request;
}

bool RawConnection::send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t wrote = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (wrote <= 0) return false;
        sent += static_cast<size_t>(wrote);
    }
    return true;
}

void RawConnection::hold() {
    std::unique_lock lock(server_.mutex_);
    server_.released_.wait(lock, [this] { return server_.isReleased_ || server_.stopping_; });
}

}  // namespace strombel::http::testing
