// The download queue against the loopback server: suspended until go, four at a
// time (the server counts), cancel-all-on-failure, queue-finished once each time
// it empties, and byte counters that stay sane through a cancel.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "http/http_network_queue.h"
#include "http_test_support.h"

namespace strombel::http::testing {
namespace {

class HttpNetworkQueueTest : public HttpTest {
protected:
    HttpNetworkQueueTest() {
        queue.setRequestDidFinishSelector([this](HttpRequest& request) { log.push_back("finished " + request.url()); });
        queue.setRequestDidFailSelector([this](HttpRequest& request) {
            log.push_back("failed " + request.url());
            failedCodes.push_back(errorCode(request));
        });
        queue.setQueueDidFinishSelector([this](HttpNetworkQueue&) { ++queueFinished; });
    }

    std::shared_ptr<HttpRequest> add(const std::string& url) {
        auto request = std::make_shared<HttpRequest>(url, *network);
        queue.addOperation(request);
        return request;
    }
    size_t count(const std::string& prefix) const {
        return static_cast<size_t>(std::count_if(log.begin(), log.end(), [&](const std::string& line) {
            return line.rfind(prefix, 0) == 0;
        }));
    }
    bool countersAreSane() const {
        return queue.bytesReceived() <= queue.bytesToReceive() && queue.bytesSent() <= queue.bytesToSend();
    }

    HttpNetworkQueue queue;
    std::vector<std::string> log;
    std::vector<int64_t> failedCodes;
    int queueFinished = 0;
};

TEST_F(HttpNetworkQueueTest, NothingRunsBeforeGo) {
    for (int i = 0; i < 3; ++i) add(server.url("/bytes/" + std::to_string(100 + i)));
    // Another request comes and goes meanwhile: the network thread was free to run them.
    auto other = makeRequest(server.url("/echo"));
    run(*other);
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_TRUE(queue.isSuspended());
    EXPECT_EQ(queue.requestsCount(), 3u);

    queue.go();
    ASSERT_TRUE(pumpUntil([&] { return queueFinished == 1; }));
    EXPECT_EQ(count("finished"), 3u);
    EXPECT_EQ(server.requests().size(), 4u);
}

TEST_F(HttpNetworkQueueTest, NeverMoreThanFourAtTheServer) {
    std::vector<std::shared_ptr<HttpRequest>> requests;
    for (int i = 0; i < 10; ++i) requests.push_back(add(server.url("/gate")));
    queue.go();
    ASSERT_TRUE(pumpUntil([&] { return server.inFlightAtGate() >= 4; }));
    // Give any fifth request the time a whole other request takes to arrive.
    auto other = makeRequest(server.url("/echo"));
    run(*other);
    EXPECT_EQ(server.inFlightAtGate(), 4);
    EXPECT_EQ(queue.runningCount(), 4u);
    EXPECT_EQ(std::count_if(requests.begin(), requests.end(), [](auto& r) { return r->isExecuting(); }), 4);

    server.openGate();
    ASSERT_TRUE(pumpUntil([&] { return queueFinished == 1; }));
    EXPECT_EQ(server.mostAtGate(), 4);
    EXPECT_EQ(count("finished"), 10u);
    EXPECT_EQ(queue.requestsCount(), 0u);
}

TEST_F(HttpNetworkQueueTest, OneFailureCancelsAllTheOthers) {
    // Closes without answering, once the three before it are waiting at the gate.
    RawServer refusing([this](RawConnection& connection) {
        connection.readRequest();
        while (server.inFlightAtGate() < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    for (int i = 0; i < 3; ++i) add(server.url("/gate"));
    add(refusing.url("/broken"));
    for (int i = 0; i < 3; ++i) add(server.url("/gate"));
    queue.go();
    ASSERT_TRUE(pumpUntil([&] { return queueFinished == 1; }));
    EXPECT_EQ(count("finished"), 0u);
    EXPECT_EQ(count("failed"), 7u);
    EXPECT_EQ(std::count(failedCodes.begin(), failedCodes.end(), code(HttpErrorCode::Cancelled)), 6);
    EXPECT_EQ(std::count(failedCodes.begin(), failedCodes.end(), code(HttpErrorCode::ConnectionFailure)), 1);
    // The three behind the broken one never reached the server.
    EXPECT_EQ(server.requestCount("/gate"), 3u);
    server.openGate();
}

TEST_F(HttpNetworkQueueTest, WithoutCancelOnFailureTheOthersGoOn) {
    queue.setShouldCancelAllRequestsOnFailure(false);
    RawServer refusing([](RawConnection& connection) { connection.readRequest(); });
    add(refusing.url("/broken"));
    for (int i = 0; i < 5; ++i) add(server.url("/bytes/10"));
    queue.go();
    ASSERT_TRUE(pumpUntil([&] { return queueFinished == 1; }));
    EXPECT_EQ(count("finished"), 5u);
    EXPECT_EQ(count("failed"), 1u);
}

TEST_F(HttpNetworkQueueTest, TheRequestsDelegateHearsBeforeTheQueue) {
    struct Logging : HttpRequestDelegate {
        std::vector<std::string>* log;
        void requestFinished(HttpRequest& request) override { log->push_back("delegate " + request.url()); }
    } delegate;
    delegate.log = &log;
    auto request = add(server.url("/bytes/1"));
    request->setDelegate(&delegate);
    queue.go();
    ASSERT_TRUE(pumpUntil([&] { return queueFinished == 1; }));
    EXPECT_EQ(log, (std::vector<std::string>{"delegate " + request->url(), "finished " + request->url()}));
}

TEST_F(HttpNetworkQueueTest, QueueFinishedComesOnceEachTimeItEmpties) {
    queue.go();
    for (int i = 0; i < 6; ++i) add(server.url("/bytes/1"));
    ASSERT_TRUE(pumpUntil([&] { return queueFinished == 1; }));
    auto other = makeRequest(server.url("/echo"));
    run(*other);
    EXPECT_EQ(queueFinished, 1);

    add(server.url("/bytes/2"));
    ASSERT_TRUE(pumpUntil([&] { return queueFinished == 2; }));
    EXPECT_EQ(count("finished"), 7u);
}

TEST_F(HttpNetworkQueueTest, CountersAddUpWhatWentAndCame) {
    for (int size : {1000, 2000, 3000}) add(server.url("/bytes/" + std::to_string(size)));
    auto post = add(server.url("/echo"));
    post->setPostBody(std::string(500, 'p'));
    queue.go();
    ASSERT_TRUE(pumpUntil([&] {
        EXPECT_TRUE(countersAreSane());
        return queueFinished == 1;
    }));
    EXPECT_EQ(queue.bytesReceived(), 6500u);
    EXPECT_EQ(queue.bytesToReceive(), 6500u);
    EXPECT_EQ(queue.bytesSent(), 500u);
    EXPECT_EQ(queue.bytesToSend(), 500u);
}

TEST_F(HttpNetworkQueueTest, CancellingAllResetsTheCountersAndLateBytesDoNotCount) {
    for (int i = 0; i < 4; ++i) add(server.url("/partial/20000"));
    add(server.url("/bytes/10"));  // waits behind them
    queue.go();
    ASSERT_TRUE(pumpUntil([&] {
        EXPECT_TRUE(countersAreSane());
        return queue.bytesReceived() >= 80000;
    }));
    EXPECT_EQ(queue.bytesToReceive(), 160000u);

    queue.cancelAllOperations();
    EXPECT_EQ(queue.bytesReceived(), 0u);
    EXPECT_EQ(queue.bytesToReceive(), 0u);
    server.openGate();  // the rest of the bodies would now flow
    ASSERT_TRUE(pumpUntil([&] { return queueFinished == 1; }));
    EXPECT_EQ(count("failed"), 5u);
    EXPECT_EQ(queue.bytesReceived(), 0u);
    EXPECT_EQ(queue.bytesToReceive(), 0u);
    EXPECT_EQ(server.requestCount("/bytes/10"), 0u);
}

TEST_F(HttpNetworkQueueTest, ARequestClearedInTheQueueLeavesItWithoutAWord) {
    auto cleared = add(server.url("/gate"));
    add(server.url("/bytes/1"));
    queue.go();
    ASSERT_TRUE(pumpUntil([&] { return count("finished") == 1 && server.inFlightAtGate() == 1; }));
    cleared->clearDelegatesAndCancel();
    ASSERT_TRUE(pumpUntil([&] { return queueFinished == 1; }));
    EXPECT_EQ(log, std::vector<std::string>{"finished " + server.url("/bytes/1")});
    server.openGate();
}

TEST_F(HttpNetworkQueueTest, ASuspendedQueueCancelsAndClearsWithoutTheNetwork) {
    // Never let go: cancelling all fails the waiting requests, each once, and the
    // queue reports that it emptied; a request cleared first is not among them.
    RecordingDelegate delegate;
    auto cleared = add(server.url("/bytes/1"));
    cleared->setDelegate(&delegate);
    std::vector<std::shared_ptr<HttpRequest>> waiting{add(server.url("/bytes/2")), add(server.url("/bytes/3"))};
    cleared->clearDelegatesAndCancel();
    EXPECT_TRUE(cleared->isFinished());
    EXPECT_EQ(errorCode(*cleared), code(HttpErrorCode::Cancelled));
    queue.cancelAllOperations();
    ASSERT_TRUE(pumpUntil([&] { return queueFinished == 1; }));
    std::sort(log.begin(), log.end());  // the order of cancelling is the queue's
    EXPECT_EQ(log, (std::vector<std::string>{"failed " + server.url("/bytes/2"), "failed " + server.url("/bytes/3")}));
    EXPECT_EQ(failedCodes, (std::vector<int64_t>{code(HttpErrorCode::Cancelled), code(HttpErrorCode::Cancelled)}));
    for (const auto& request : waiting) EXPECT_TRUE(request->isCancelled());
    EXPECT_TRUE(delegate.events.empty());
    EXPECT_EQ(queue.requestsCount(), 0u);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(HttpNetworkQueueTest, DestroyingTheQueueCancelsItsRequestsSilently) {
    {
        HttpNetworkQueue doomed;
        doomed.setRequestDidFailSelector([this](HttpRequest&) { log.push_back("failed"); });
        for (int i = 0; i < 6; ++i) doomed.addOperation(std::make_shared<HttpRequest>(server.url("/gate"), *network));
        doomed.go();
        ASSERT_TRUE(pumpUntil([&] { return server.inFlightAtGate() == 4; }));
    }
    ASSERT_TRUE(waitUntilEnded(4));
    loop.runPending();
    EXPECT_TRUE(log.empty());
    server.openGate();
}

}  // namespace
}  // namespace strombel::http::testing
