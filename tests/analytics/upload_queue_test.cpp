// The persistent upload queue against a loopback server that can hold answers.

#include "analytics_test_support.h"

namespace strombel::analytics::testing {
namespace {

class UploadQueueTest : public AnalyticsTest {
protected:
    AnalyticsServer server;

    // A started client whose own first upload has ended.
    void start() {
        Usage::setServerURL(server.url());
        Usage::startSession("key");
        ASSERT_TRUE(pumpUntil([&] { return server.arrived() >= 1; }));
        ASSERT_TRUE(waitForUploadsToEnd());
    }
    std::shared_ptr<UsageDataSender> sender() { return UsageDataSender::instance(); }
    // Runs `work` on the analytics queue.
    void onQueue(const std::function<void()>& work) {
        UsageSession::currentSession()->withSession([&](UsageSession*) { work(); });
    }
    std::vector<UsageDataSenderBlockInfo> blocks() {
        std::vector<UsageDataSenderBlockInfo> stored;
        onQueue([&] { stored = sender()->notSentBlocksForDataKey(UsageDataSender::currentDataKey()); });
        return stored;
    }
    void send(const std::string& text) {
        onQueue([&] { sender()->sendSessionsData(Bytes(text.begin(), text.end())); });
    }
};

TEST_F(UploadQueueTest, TenEnvelopesGiveNinePostsAndTheTenthFollowsASuccess) {
    start();
    server.hold();
    for (int i = 0; i < 10; ++i) send("envelope " + std::to_string(i));
    ASSERT_TRUE(pumpUntil([&] { return server.arrived() == 10; }));
    settle();
    EXPECT_EQ(server.arrived(), 10) << "nine at once, the tenth waits on disk";
    EXPECT_EQ(blocks().size(), 10u);
    server.release(1);
    ASSERT_TRUE(pumpUntil([&] { return server.arrived() == 11; }));
    std::vector<std::string> bodies = server.bodies();
    EXPECT_EQ(bodies.back(), "envelope 9");
    server.releaseAll();
    ASSERT_TRUE(waitForUploadsToEnd());
    EXPECT_TRUE(blocks().empty());
}

TEST_F(UploadQueueTest, AFailedBlockStaysAndGoesAgainWhenTheNetworkComesBackUnlessInTheBackground) {
    start();
    server.answer(500);
    send("kept");
    ASSERT_TRUE(pumpUntil([&] { return server.arrived() == 2; }));
    ASSERT_TRUE(waitForUploadsToEnd());
    ASSERT_EQ(blocks().size(), 1u);
    EXPECT_TRUE(UsageNetworkUtil::lastNetworkOperationError().has_value());

    server.answer(200);
    application.setApplicationState(platform::Application::kBackground);
    UsageNetworkUtil::updateNetworkStatus(1);
    settle();
    EXPECT_EQ(server.arrived(), 2) << "nothing is sent in the background";
    EXPECT_TRUE(loggedStartingWith("Usage: application is in background, skipping sending data."));

    application.setApplicationState(platform::Application::kActive);
    // A real reachability: 127.0.0.1 is reachable on any machine.
    auto loopback = UsageReachability::usageReachabilityWithAddress(0x7F000001);
    ASSERT_EQ(loopback->usageCurrentReachabilityStatus(), 1);
    center.post(kUsageReachabilityChangedNotification, loopback.get());
    ASSERT_TRUE(pumpUntil([&] { return server.arrived() == 3; }));
    ASSERT_TRUE(waitForUploadsToEnd());
    EXPECT_EQ(server.bodies().back(), "kept");
    EXPECT_TRUE(blocks().empty());
}

TEST_F(UploadQueueTest, APostQueuedWhileNineFlyGoesWhenASuccessFreesASlot) {
    start();
    server.hold();
    for (int i = 0; i < 9; ++i) send("flying " + std::to_string(i));
    ASSERT_TRUE(pumpUntil([&] { return server.arrived() == 10; }));
    send("queued");  // handed over while nine fly: it waits on disk
    settle();
    EXPECT_EQ(server.arrived(), 10);
    EXPECT_EQ(blocks().size(), 10u);
    server.release(1);
    ASSERT_TRUE(pumpUntil([&] { return server.arrived() == 11; }));
    EXPECT_EQ(server.bodies().back(), "queued");
    server.releaseAll();
    ASSERT_TRUE(waitForUploadsToEnd());
    EXPECT_TRUE(blocks().empty());
}

TEST_F(UploadQueueTest, TheUploadQueueGoesWithTheAnalyticsQueueItWasMadeFor) {
    server.answer(500);
    start();
    ASSERT_EQ(blocks().size(), 1u) << "the start's envelope failed and stays";
    // The analytics queue goes; a new one comes, as at the next start.
    UsageImpl::cleanup();
    server.answer(200);
    UsageSession::setupCurrentSessionWithKey(std::string("key"));
    // The new queue's upload queue reads the stored block and posts it, and
    // hears the answer on the new queue.
    ASSERT_TRUE(pumpUntil([&] { return server.arrived() == 2 && blocks().empty() && uploadsIdle(); }));
    EXPECT_EQ(server.bodies()[1], server.bodies()[0]);
}

TEST_F(UploadQueueTest, SixtyFailuresLeaveTheFiftyNewest) {
    start();
    server.answer(500);
    for (int i = 0; i < 60; ++i) send("e" + std::to_string(i));
    ASSERT_TRUE(waitForUploadsToEnd());
    std::vector<UsageDataSenderBlockInfo> left = blocks();
    ASSERT_EQ(left.size(), 50u);
    std::optional<Bytes> oldest = UsageUtil::readFile(usageFiles() / left.front().identifier);
    ASSERT_TRUE(oldest);
    EXPECT_EQ(std::string(oldest->begin(), oldest->end()), "e10");
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(usageFiles())) {
        files += entry.path().filename().string().size() == 36;
    }
    EXPECT_EQ(files, 50u);
}

TEST_F(UploadQueueTest, AnAddressThatIsNotHttpFailsAndKeepsTheBlock) {
    start();
    Usage::setServerURL("file:///etc/passwd");
    send("kept");
    ASSERT_TRUE(waitForUploadsToEnd());
    EXPECT_EQ(blocks().size(), 1u);
    EXPECT_TRUE(loggedStartingWith("UsageSession: Could not connect to server: "));
}

TEST_F(UploadQueueTest, AnAnswerOverOneMebibyteFailsAndKeepsTheBlock) {
    start();
    server.answer(200, std::string(1024 * 1024 + 1, 'x'));
    send("big answer");
    ASSERT_TRUE(waitForUploadsToEnd());
    EXPECT_EQ(blocks().size(), 1u);
    EXPECT_EQ(UsageNetworkUtil::lastNetworkOperationError()->domain, "HttpRequestErrorDomain");
}

TEST_F(UploadQueueTest, AHostileIndexTouchesNoFileAndOrphansGo) {
    std::filesystem::create_directories(usageFiles());
    std::filesystem::path outside = dir_.path() / "precious";
    ASSERT_TRUE(UsageUtil::writeFileWhole(outside, Bytes{1}));
    std::string orphan = "0F8E9A3C-1B2D-4E5F-8A9B-0C1D2E3F4A5B";
    ASSERT_TRUE(UsageUtil::writeFileWhole(usageFiles() / orphan, Bytes{2}));
    UsageDataSenderIndex index;
    index.indexMap["Data_1_140"] = {{"../../precious", 1, 0}, {"missing", 1, 0}};
    index.indexMap["Other"] = {{"../../precious", 1, 0}};
    ArchiveValue archived = index.archived();
    ASSERT_TRUE(UsageUtil::archiveObjectToFile(archived, usageFiles() / "UsageSenderIndex.info"));
    start();
    EXPECT_TRUE(std::filesystem::exists(outside));
    EXPECT_FALSE(std::filesystem::exists(usageFiles() / orphan));
    std::optional<ArchiveValue> written = UsageUtil::safeUnarchiveObjectWithFile(usageFiles() / "UsageSenderIndex.info");
    ASSERT_TRUE(written);
    std::optional<UsageDataSenderIndex> reread = UsageDataSenderIndex::fromArchive(*written);
    ASSERT_TRUE(reread);
    for (const auto& [key, list] : reread->indexMap) {
        for (const auto& block : list) EXPECT_EQ(block.identifier.size(), 36u) << key;
    }
}

TEST_F(UploadQueueTest, AnAnswerThatDoesNotParseIsLoggedWithItsReasonOnly) {
    start();
    server.answer(200, std::string("\x02\x1E\0\0\0\0\0\0\0\0\0\0", 12));
    send("unparsable answer");
    ASSERT_TRUE(pumpUntil([&] { return server.arrived() == 2; }));
    ASSERT_TRUE(waitForUploadsToEnd());
    EXPECT_TRUE(logged("Failed to parse response with exception +[UsageDataSender parseResponse:]: chunk type 21e"));
    EXPECT_TRUE(blocks().empty()) << "a 2xx answer deletes the block all the same";
}

// ---- The HTTP tasks --------------------------------------------------------------------

/// How a task ended, as its delegate heard it.
struct RecordingTaskDelegate : UsageHttpAsyncTaskDelegate {
    void requestSuccessful(const std::shared_ptr<UsageHttpAsyncTask>&, const UsageHTTPResponse& response) override {
        ends.push_back({"success", response.statusCode});
    }
    void requestDidFail(const std::shared_ptr<UsageHttpAsyncTask>&, const UsageHTTPResponse& response) override {
        ends.push_back({"fail", response.statusCode});
    }
    void requestDidCancel(const std::shared_ptr<UsageHttpAsyncTask>&, const UsageHTTPResponse& response) override {
        ends.push_back({"cancel", response.statusCode});
    }
    std::vector<std::pair<std::string, int>> ends;
};

/// A server whose "/private" answers only the user "mia" with the password
/// "p@ss" (Basic) and challenges everyone else; every request's method, path,
/// authorization and "x-probe" header is written down.
class ChallengingServer {
public:
    ChallengingServer() {
        auto handler = [this](const httplib::Request& request, httplib::Response& response) {
            {
                std::lock_guard lock(mutex_);
                seen_.push_back(request.method + " " + request.path + " [" + request.get_header_value("Authorization") +
                                "] [" + request.get_header_value("x-probe") + "] " + request.body);
            }
            if (request.path == "/private" && request.get_header_value("Authorization") != "Basic bWlhOnBAc3M=") {
                response.status = 401;
                response.set_header("WWW-Authenticate", "Basic realm=\"pads\"");
                return;
            }
            response.set_content("ok", "text/plain");
        };
        server_.Get(".*", handler);
        server_.Post(".*", handler);
        server_.set_keep_alive_max_count(1);
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~ChallengingServer() {
        server_.stop();
        thread_.join();
    }
    std::string url(const std::string& userInfo, const std::string& path) const {
        return "http://" + userInfo + "127.0.0.1:" + std::to_string(port_) + path;
    }
    std::vector<std::string> seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }

private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::string> seen_;
};

class UsageHttpTaskTest : public AnalyticsTest {
protected:
    // The caller holds its task, as the sender does while it runs.
    bool ended() {
        return pumpUntil([&] { return !delegate->ends.empty(); });
    }
    ChallengingServer server;
    std::shared_ptr<RecordingTaskDelegate> delegate = std::make_shared<RecordingTaskDelegate>();
};

TEST_F(UsageHttpTaskTest, GetAndPostWithAndWithoutHeaderFields) {
    auto task = UsageHttpAsyncTask::get(server.url("", "/a"), {{"x-probe", "1"}}, delegate);
    ASSERT_TRUE(ended());
    task = UsageHttpAsyncTask::post(server.url("", "/b"), Bytes{'h', 'i'}, delegate);
    ASSERT_TRUE(pumpUntil([&] { return delegate->ends.size() == 2; }));
    EXPECT_EQ(server.seen(), (std::vector<std::string>{"GET /a [] [1] ", "POST /b [] [] hi"}));
    EXPECT_EQ(delegate->ends[1], std::make_pair(std::string("success"), 200));
}

TEST_F(UsageHttpTaskTest, AChallengeIsAnsweredWithTheAddressesCredentialOrCancelled) {
    struct Case {
        const char* name;
        std::string userInfo;
        std::pair<std::string, int> end;
        size_t requests;
    };
    const Case cases[] = {
        {"no credential: cancelled", "", {"fail", 401}, 1},
        {"the credential (escaped in the address)", "mia:p%40ss@", {"success", 200}, 2},
        {"a refused credential: cancelled", "mia:wrong@", {"fail", 401}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        delegate->ends.clear();
        const size_t before = server.seen().size();
        UsageNetworkUtil::setLastNetworkOperationError(platform::Error::make("earlier", 1, "an earlier failure"));
        auto task = UsageHttpAsyncTask::get(server.url(c.userInfo, "/private"), delegate);
        ASSERT_TRUE(ended());
        loop.runPending();
        EXPECT_EQ(delegate->ends, (std::vector<std::pair<std::string, int>>{c.end}));
        EXPECT_FALSE(UsageNetworkUtil::lastNetworkOperationError().has_value());
        std::vector<std::string> seen = server.seen();
        ASSERT_EQ(seen.size() - before, c.requests);
        EXPECT_EQ(seen[before], "GET /private [] [] ") << "nothing is sent before the challenge";
    }
}

// The reader saves the persistent maps: a sandbox of the test's own.
class UsageResponseTest : public AnalyticsTest {};

TEST_F(UsageResponseTest, ResponsesAreReadToTheirTrailingWord) {
    auto storage = UsageGlobalVariableStorage::sharedInstance();
    auto bytes = [](std::initializer_list<int> values) {
        Bytes out;
        for (int value : values) out.push_back(static_cast<uint8_t>(value));
        return out;
    };
    // No trailing word: malformed.
    EXPECT_THROW(UsageDataSender::parseResponse(bytes({0x01, 0x1E, 0, 0, 0, 0, 0, 0, 0, 0})), UsageException);
    // Another chunk type: malformed.
    EXPECT_THROW(UsageDataSender::parseResponse(bytes({0x02, 0x1E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})), UsageException);
    // A negative cookie length.
    EXPECT_THROW(UsageDataSender::parseResponse(bytes({0x01, 0x1E, 0, 0, 0, 0, 0, 0, 0, 1, 0xFF, 0xFF, 0, 0})),
                 UsageException);
    // A key running past the end.
    EXPECT_THROW(UsageDataSender::parseResponse(bytes({0x01, 0x1E, 0, 0, 0, 0, 0, 0, 0, 1, 0, 9, 'a'})), UsageException);
    // One cookie and the trailing word.
    UsageDataSender::parseResponse(bytes({0x01, 0x1E, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 'k', 0, 1, 'v', 0, 0}));
    EXPECT_EQ(storage->persistentCookiesMap().at("k"), Bytes{'v'});
    // An empty body clears the cookies.
    UsageDataSender::parseResponse({});
    EXPECT_TRUE(storage->persistentCookiesMap().empty());
}

}  // namespace
}  // namespace strombel::analytics::testing
