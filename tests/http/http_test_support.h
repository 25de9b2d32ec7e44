#pragma once

// What every HTTP test shares: a main loop on a manual clock pumped by hand, a
// private network thread delivering to it, a loopback server, and a delegate
// that writes down what it heard.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "http/http_request.h"
#include "platform/clock.h"
#include "platform/main_loop.h"
#include "support/temp_dir.h"
#include "test_servers.h"

namespace strombel::http::testing {

/// Writes down every message, in order, as short lines ("started", "headers 200",
/// "finished", "failed 4", ...), and keeps the data pieces.
class RecordingDelegate : public HttpRequestDelegate {
public:
    std::vector<std::string> events;
    std::string data;
    int ends = 0;

    void requestStarted(HttpRequest&) override { events.push_back("started"); }
    void requestDidReceiveResponseHeaders(HttpRequest& request, const HttpHeaders&) override {
        events.push_back("headers " + std::to_string(request.responseStatusCode()));
    }
    void requestWillRedirectToURL(HttpRequest&, const std::string& url) override {
        events.push_back("will redirect " + url);
    }
    void requestRedirected(HttpRequest&) override { events.push_back("redirected"); }
    void requestDidReceiveData(HttpRequest&, std::span<const uint8_t> piece) override {
        data.append(piece.begin(), piece.end());
    }
    void authenticationNeededForRequest(HttpRequest&) override { events.push_back("authentication needed"); }
    void proxyAuthenticationNeededForRequest(HttpRequest&) override {
        events.push_back("proxy authentication needed");
    }
    void requestFinished(HttpRequest&) override {
        events.push_back("finished");
        ++ends;
    }
    void requestFailed(HttpRequest& request) override {
        events.push_back("failed " + std::to_string(request.error() ? request.error()->code : 0));
        ++ends;
    }

    bool heard(const std::string& event) const {
        return std::find(events.begin(), events.end(), event) != events.end();
    }
};

/// The code of a request's error, 0 when it has none.
inline int64_t errorCode(const HttpRequest& request) { return request.error() ? request.error()->code : 0; }
inline int64_t code(HttpErrorCode code) { return static_cast<int64_t>(code); }

/// The files in `folder`, by name.
std::vector<std::string> filesIn(const std::filesystem::path& folder);

class HttpTest : public ::testing::Test {
protected:
    HttpTest();
    ~HttpTest() override;

    /// Pumps the main loop until `done` answers true; false if it never does (the
    /// limit is only a guard against a hung test, not a measurement).
    bool pumpUntil(const std::function<bool()>& done);
    /// Pumps until `request` has ended.
    bool pumpUntilEnded(const HttpRequest& request) {
        return pumpUntil([&] { return request.isFinished(); });
    }
    /// Pumps until the network thread has ended `count` requests in all: their
    /// messages are then on the main loop (delivered or not).
    bool waitUntilEnded(uint64_t count) {
        return waitWithoutPumping([&] { return network->endedTransferCount() >= count; });
    }
    /// Waits without pumping the main loop.
    bool waitWithoutPumping(const std::function<bool()>& done);

    /// A request on this test's network thread.
    std::unique_ptr<HttpRequest> makeRequest(const std::string& url) {
        return std::make_unique<HttpRequest>(url, *network);
    }
    /// Starts `request` and pumps until it ends.
    void run(HttpRequest& request) {
        request.startAsynchronous();
        ASSERT_TRUE(pumpUntilEnded(request)) << request.url();
    }

    /// Another loopback server (HTTPS with `identity`), alive until the network thread
    /// has gone, so that no connection of ours keeps it waiting at its end.
    LoopbackServer& extraServer(const Identity* identity = nullptr) {
        extraServers_.push_back(identity ? std::make_unique<LoopbackServer>(*identity)
                                         : std::make_unique<LoopbackServer>());
        return *extraServers_.back();
    }

    strombel::testing::TempDir dir;
    LoopbackServer server;
    std::vector<std::unique_ptr<LoopbackServer>> extraServers_;
    platform::ManualClock clock;
    platform::MainLoop loop{clock};
    std::unique_ptr<NetworkThread> network;

private:
    std::mutex wakeMutex_;
    std::condition_variable woken_;
    bool posted_ = false;
};

}  // namespace strombel::http::testing
