#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <unordered_map>

namespace strombel::http {

class HttpRequest;

/// Runs requests at most four at a time. It starts suspended: nothing runs before
/// `go`. By default one failed request cancels all the others. The queue's
/// delegate and its three selectors are the three callables below; for each
/// request the request's own delegate hears first, then the queue. Main loop only.
///
/// After `go` the queue hands its requests to the network thread at once; that
/// thread keeps to the limit and starts the next request the moment one ends, and
/// on a failure cancels the others before another can start.
class HttpNetworkQueue {
public:
    static constexpr size_t kMaxConcurrentOperationCount = 4;

    using RequestCallback = std::function<void(HttpRequest&)>;
    using QueueCallback = std::function<void(HttpNetworkQueue&)>;

    HttpNetworkQueue();
    /// Lets go of its requests: those that nobody else holds are cancelled without
    /// a message; the others go on without the queue.
    ~HttpNetworkQueue();
    HttpNetworkQueue(const HttpNetworkQueue&) = delete;
    HttpNetworkQueue& operator=(const HttpNetworkQueue&) = delete;

    void setRequestDidFinishSelector(RequestCallback callback) { requestDidFinish_ = std::move(callback); }
    void setRequestDidFailSelector(RequestCallback callback) { requestDidFail_ = std::move(callback); }
    /// Called once each time the last request of the queue has ended.
    void setQueueDidFinishSelector(QueueCallback callback) { queueDidFinish_ = std::move(callback); }
    /// With false, a failed request leaves the others running.
    void setShouldCancelAllRequestsOnFailure(bool cancels) { cancelsAllOnFailure_ = cancels; }
    bool shouldCancelAllRequestsOnFailure() const { return cancelsAllOnFailure_; }

    /// Adds a request that has not started; it runs when its turn comes after `go`.
    void addOperation(std::shared_ptr<HttpRequest> request);
    /// Lets the queue run its requests (and those added later).
    void go();
    bool isSuspended() const { return suspended_; }
    /// Cancels every waiting and running request (each fails with the cancelled
    /// error), then sets the byte counters to 0; bytes of the cancelled requests
    /// that arrive late are not counted.
    void cancelAllOperations();

    /// Requests added and not yet ended.
    size_t requestsCount() const { return members_.size(); }
    /// Requests the network thread is running now.
    size_t runningCount() const;

    /// Byte counters over the queue's requests since it was made or last cancelled:
    /// body bytes sent, to send, received (as sent by the server) and to receive
    /// (announced, or received so far when a server announced nothing). Never more
    /// sent or received than there is to send or receive.
    uint64_t bytesSent() const { return total_.sent; }
    uint64_t bytesToSend() const { return total_.toSend; }
    uint64_t bytesReceived() const { return total_.received; }
    uint64_t bytesToReceive() const { return total_.toReceive; }

private:
    friend class HttpRequest;

    struct Counters {
        uint64_t sent = 0;
        uint64_t toSend = 0;
        uint64_t received = 0;
        uint64_t toReceive = 0;
    };
    struct Member {
        std::shared_ptr<HttpRequest> request;
        Counters counted;
    };

    // From HttpRequest, on the main loop.
    void requestProgressed(HttpRequest& request);
    void requestEnded(HttpRequest& request, bool failed);
    void requestLeft(HttpRequest& request);

    void count(Member& member, const HttpRequest& request);
    void submitWaiting();
    void tellFinishedIfEmpty();

    RequestCallback requestDidFinish_;
    RequestCallback requestDidFail_;
    QueueCallback queueDidFinish_;
    bool cancelsAllOnFailure_ = true;
    bool suspended_ = true;
    const uint64_t group_;
    std::deque<std::shared_ptr<HttpRequest>> waiting_;  // added before `go`
    std::unordered_map<HttpRequest*, Member> members_;
    Counters total_;
    // Lets messages posted for the queue find out whether it still exists.
    std::shared_ptr<HttpNetworkQueue*> self_;
};

}  // namespace strombel::http
