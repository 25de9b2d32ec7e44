#pragma once

// The loopback servers the HTTP tests talk to. Every one listens on 127.0.0.1 at
// a port the system picks; nothing leaves the machine.
//
// LoopbackServer: cpp-httplib, over HTTP or HTTPS, with the routes the tests use
// (below). It records every request it is sent and counts how many are in its
// handlers at once.
// RawServer: a plain socket that answers each connection with a script, for
// answers no proper server would give.

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tls_material.h"

namespace strombel::http::testing {

/// Bytes 0..255 in a pattern that repeats every 256 bytes with a stride, so that
/// a shifted or dropped byte shows.
std::string patternBytes(size_t size);

/// `text` compressed as gzip, as zlib-wrapped deflate, or as raw deflate.
enum class Compression { Gzip, Zlib, RawDeflate };
std::string compress(const std::string& text, Compression compression);

struct RecordedRequest {
    std::string method;
    std::string path;
    std::string host;  // the Host header
    std::string body;
    httplib::Headers headers;
    std::string header(const std::string& name) const;
    bool hasHeader(const std::string& name) const { return headers.count(name) > 0; }
};

/// The compressed text of /gzip, /deflate and /raw-deflate.
std::string compressibleText();

// Routes:
//   GET  /bytes/N            N pattern bytes
//   any  /echo               the request's body; X-Method and X-Custom say what came
//   GET  /status/N           status N with the body "status N"
//   GET  /auth               "welcome" for Basic user:secret, else 401
//   GET  /proxy-auth         407
//   any  /redirect/N?to=URL  status N to URL (default /echo)
//   GET  /loop               302 to itself
//   GET  /cookie/set         Set-Cookie: session=abc; /cookie/show answers the Cookie header
//   GET  /gzip /deflate /raw-deflate   compressibleText(), compressed so
//   GET  /cached /cached-gzip          ETag "v1"; If-None-Match "v1" gets 304
//   GET  /modified           Last-Modified; If-Modified-Since gets 304
//   GET  /nostore            Cache-Control: no-store
//   GET  /gate               waits until the gate opens, then answers "gate"
//   GET  /partial/N          Content-Length 2N: N bytes, then waits for the gate, then N more
class LoopbackServer {
public:
    /// Plain HTTP.
    LoopbackServer();
    /// HTTPS with `identity`'s certificate.
    explicit LoopbackServer(const Identity& identity);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return port_; }
    /// "http://127.0.0.1:PORT/path" (https for an HTTPS server); `host` replaces 127.0.0.1.
    std::string url(const std::string& path, const std::string& host = "127.0.0.1") const;

    std::vector<RecordedRequest> requests() const;
    size_t requestCount(const std::string& path) const;

    /// Lets every handler waiting at the gate go on, now and from now on.
    void openGate();
    int inFlightAtGate() const { return inFlight_.load(); }
    int mostAtGate() const { return most_.load(); }

private:
    void installRoutes();
    void record(const httplib::Request& request);
    bool waitForGate();
    void start();

    std::unique_ptr<httplib::Server> server_;
    bool secure_ = false;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable gateChanged_;
    bool gateOpen_ = false;
    bool stopping_ = false;
    std::vector<RecordedRequest> requests_;
    std::atomic<int> inFlight_{0};
    std::atomic<int> most_{0};
};

class RawServer;

/// One accepted connection of a RawServer, handed to its script.
class RawConnection {
public:
    /// Reads up to the end of the request's headers; "" when the client closed.
    std::string readRequest();
    /// Sends everything; false when the client went away.
    bool send(const std::string& bytes);
    /// Waits until the server is released or stops.
    void hold();

private:
    friend class RawServer;
    RawConnection(RawServer& server, int fd) : server_(server), fd_(fd) {}
    RawServer& server_;
    int fd_;
};

class RawServer {
public:
    using Script = std::function<void(RawConnection&)>;
    /// Each connection runs `script` on a thread of its own, then is closed.
    explicit RawServer(Script script);
    ~RawServer();
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& path) const;
    /// Connections whose request the script has read.
    int requestsRead() const { return requestsRead_.load(); }
    /// Ends every hold.
    void release();

private:
    friend class RawConnection;
    void acceptLoop();

    Script script_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> requestsRead_{0};
    std::mutex mutex_;
    std::condition_variable released_;
    bool isReleased_ = false;
    std::vector<std::thread> connections_;
    std::thread acceptor_;
};

}  // namespace strombel::http::testing
