#pragma once

// A loopback social network for the information screen's tests: cpp-httplib on
// 127.0.0.1 at a port the system picks, serving the login and feed dialog pages,
// graph and method answers the test sets, and the rating prompt's check address.
// Nothing leaves the machine.

#include <httplib.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/network_thread.h"
#include "info/social_client.h"
#include "platform/main_loop.h"

namespace strombel::info::test_support {

struct SeenRequest {
    std::string method;
    std::string path;
    std::string query;  // as sent, escapes and all
    std::string body;
    httplib::Headers headers;
    std::string header(const std::string& name) const;
};

class LoopbackSocialNetwork {
public:
    /// Listens on `address`, a loopback one (another host of the machine's own: 127.0.0.2).
    explicit LoopbackSocialNetwork(std::string address = "127.0.0.1");
    ~LoopbackSocialNetwork();

    int port() const { return port_; }
    /// "http://ADDRESS:PORT" followed by `path`.
    std::string url(const std::string& path) const;
    /// The client's hosts, all on this server.
    SocialHosts hosts() const;

    /// The answer of GET or POST "/graph/<path>" and "/method/<name>": body and status.
    void answer(const std::string& path, std::string body, int status = 200);
    /// The token the login page hands out, and its "expires_in" (empty: none).
    std::string token = "T0KEN%2Fx";
    std::string expiresIn = "3600";
    /// Added to the feed dialog's page, at the end of its body.
    std::string feedPageExtra;

    std::vector<SeenRequest> requests() const;
    size_t count(const std::string& path) const;

private:
    httplib::Server server_;
    std::thread thread_;
    std::string address_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::vector<SeenRequest> seen_;
    std::map<std::string, std::pair<std::string, int>> answers_;
};

/// A main loop on a manual clock, pumped by hand, and a network thread of its own.
class NetworkLoop {
public:
    NetworkLoop();
    ~NetworkLoop();
    /// Pumps until `done` answers true; false after a generous guard.
    bool pumpUntil(const std::function<bool()>& done);

    platform::ManualClock clock;
    platform::MainLoop loop{clock};
    std::unique_ptr<http::NetworkThread> network;

private:
    std::mutex mutex_;
    std::condition_variable woken_;
    bool posted_ = false;
};

}  // namespace strombel::info::test_support
