#pragma once

// What the analytics tests share: a sandbox of their own, a main loop on a
// manual clock pumped by hand, a private network thread, the client's services
// over them, the console lines the client wrote, and a cpp-httplib server on
// 127.0.0.1 standing for the analytics server.

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "analytics/analytics.h"
#include "http/network_thread.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/keychain.h"
#include "platform/main_bundle.h"
#include "platform/main_loop.h"
#include "platform/notification_center.h"
#include "platform/platform_version.h"
#include "platform/sandbox.h"
#include "platform/user_defaults.h"
#include "support/temp_dir.h"
#include "usage_test_services.h"

namespace strombel::analytics::testing {

/// The analytics server: records every post to "/aas.do" and answers with the
/// status and body the test sets. While held, answers wait until released one
/// by one (or all at once).
class AnalyticsServer {
public:
    AnalyticsServer() {
        // Enough threads to hold nine uploads and still answer a tenth.
        server_.new_task_queue = [] { return new httplib::ThreadPool(16); };
        // One request per connection: stopping never waits for an idle keep-alive.
        server_.set_keep_alive_max_count(1);
        server_.Post("/aas.do", [this](const httplib::Request& request, httplib::Response& response) {
            std::unique_lock lock(mutex_);
            bodies_.push_back(request.body);
            ++arrived_;
            changed_.notify_all();
            changed_.wait(lock, [&] { return !held_ || releases_ > 0 || stopping_; });
            if (held_ && releases_ > 0) --releases_;
            response.status = status_;
            response.set_content(answer_, "application/octet-stream");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        // Stopping a server that is not listening yet does nothing, and the
        // thread would then listen for good: a test that ends at once waits here.
        while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~AnalyticsServer() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        server_.stop();
        thread_.join();
    }

    std::string url(const std::string& path = "/aas.do") const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    void answer(int status, std::string body = {}) {
        std::lock_guard lock(mutex_);
        status_ = status;
        answer_ = std::move(body);
    }
    void hold() {
        std::lock_guard lock(mutex_);
        held_ = true;
    }
    void release(int count) {
        {
            std::lock_guard lock(mutex_);
            releases_ += count;
        }
        changed_.notify_all();
    }
    void releaseAll() {
        {
            std::lock_guard lock(mutex_);
            held_ = false;
        }
        changed_.notify_all();
    }
    /// Posts that reached a handler so far.
    int arrived() const {
        std::lock_guard lock(mutex_);
        return arrived_;
    }
    std::vector<std::string> bodies() const {
        std::lock_guard lock(mutex_);
        return bodies_;
    }

private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> bodies_;
    int arrived_ = 0;
    int status_ = 200;
    std::string answer_;
    bool held_ = false;
    int releases_ = 0;
    bool stopping_ = false;
};

/// A whole environment for the client in a temporary sandbox. The test's thread
/// owns the main loop.
class AnalyticsTest : public ::testing::Test {
protected:
    AnalyticsTest() {
        UsageUtil::setConsoleSink([this](const std::string& line) {
            std::lock_guard lock(linesMutex_);
            lines_.push_back(line);
        });
        UsageUtil::setLogLevel(2);
    }

    ~AnalyticsTest() override {
        if (::testing::Test::HasFailure()) {
            for (const auto& line : lines()) std::fprintf(stderr, "  console: %s\n", line.c_str());
        }
        if (UsageSession::currentSession()) {
            Usage::setSendUsageInfoEnabled(true);
            Usage::shutdown();
        }
        UsageGlobalVariableStorage::cleanup();
        UsageNetworkUtil::stopNetworkReachability();
        if (UsageHeartBeater* beater = UsageHeartBeater::instance()) beater->stop();
        network->stop();
        loop.runPending();
        UsageUtil::setConsoleSink({});
    }

    /// Pumps the main loop until `done` holds; false when it never does (the limit
    /// only guards against a hung test, it measures nothing).
    bool pumpUntil(const std::function<bool()>& done) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            loop.runPending();
            if (auto session = UsageSession::currentSession()) session->drain();
            loop.runPending();
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    /// True when no upload runs (asked on the analytics queue).
    bool uploadsIdle() {
        bool idle = true;
        if (auto session = UsageSession::currentSession()) {
            session->withSession([&](UsageSession*) {
                if (auto sender = UsageDataSender::instance()) idle = sender->runningTaskCount() == 0;
            });
        }
        return idle;
    }
    bool waitForUploadsToEnd() {
        return pumpUntil([&] { return uploadsIdle(); });
    }

    /// Waits for the analytics queue and runs what it posted to the main loop.
    void settle() {
        for (int round = 0; round < 3; ++round) {
            if (auto session = UsageSession::currentSession()) session->drain();
            loop.runPending();
        }
    }

    std::vector<std::string> lines() {
        std::lock_guard lock(linesMutex_);
        return lines_;
    }
    bool logged(const std::string& line) {
        auto all = lines();
        return std::find(all.begin(), all.end(), line) != all.end();
    }
    bool loggedStartingWith(const std::string& prefix) {
        for (const auto& line : lines()) {
            if (line.rfind(prefix, 0) == 0) return true;
        }
        return false;
    }
    void clearLines() {
        std::lock_guard lock(linesMutex_);
        lines_.clear();
    }

    std::filesystem::path usageFiles() const { return UsageTestServices::usageFiles(root_); }
    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path bundleFolder() const { return dir_ / "bundle"; }

    strombel::testing::TempDir dir_;
    std::filesystem::path root_ = dir_ / "root";
    UsageTestServices services_{root_, bundleFolder()};
    platform::ManualClock& clock = services_.clock;
    platform::MainLoop& loop = services_.loop;
    platform::NotificationCenter& center = services_.center;
    platform::Application& application = services_.application;
    std::unique_ptr<http::NetworkThread>& network = services_.network;
    std::unique_ptr<platform::MainBundle>& bundle = services_.bundle;
    UsageEnvironment& environment = services_.environment;

private:
    std::mutex linesMutex_;
    std::vector<std::string> lines_;
};

}  // namespace strombel::analytics::testing
