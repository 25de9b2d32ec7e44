#pragma once

// src/http/: the HTTP client: asynchronous requests on one network thread
// (libcurl), the queue that runs them a few at a time, and the on-disk cache of
// answers. Used by the store, the crash upload, the analytics upload and the
// social network client.
// May include: platform, logging.
//
//   http_request.h             HttpRequest: one request and its answer
//   http_request_delegate.h    HttpRequestDelegate: its messages, on the main loop
//   http_network_queue.h       HttpNetworkQueue: requests 4 at a time, with callbacks
//   http_download_cache.h      HttpDownloadCache: stored GET answers, revalidated
//   network_thread.h           NetworkThread: the thread, its main loop, the cookie store
//   http_error.h               the errors' domain and codes
//
//   auto request = std::make_unique<HttpRequest>("https://example.test/ItemsList.json");
//   request->setUsername("user"); request->setPassword("secret");
//   request->setDelegate(this);
//   request->startAsynchronous();       // ... later, on the main loop:
//   void requestFinished(HttpRequest& r) override { use(r.responseStatusCode(), r.responseData()); }

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "http/http_download_cache.h"
#include "http/http_error.h"
#include "http/http_headers.h"
#include "http/http_request_delegate.h"
#include "http/network_thread.h"
#include "platform/error.h"

namespace strombel::http {

class HttpNetworkQueue;

namespace detail {
class Mailbox;
class RequestChannel;
struct Event;
}  // namespace detail

/// One HTTP or HTTPS request. Set it up, start it, and read the answer once the
/// delegate hears `requestFinished`. A request runs once. Every member function
/// belongs to the main loop's thread; messages arrive there, in order.
class HttpRequest {
public:
    /// The in-memory body limit unless `setMaximumBodySize` says otherwise.
    static constexpr uint64_t kDefaultMaximumBodySize = 16 * 1024 * 1024;
    /// No byte moving for this long fails a request unless `setTimeout` says otherwise.
    static constexpr double kDefaultTimeoutSeconds = 10.0;

    /// A GET request for `url` on `network` (the program's thread by default). It
    /// takes the class-wide default cache as it is now.
    explicit HttpRequest(std::string url, NetworkThread& network);
    /// Cancels a running request; nothing is reported.
    ~HttpRequest();
    HttpRequest(const HttpRequest&) = delete;
    HttpRequest& operator=(const HttpRequest&) = delete;

    // ---- Before the start ----
    void setRequestMethod(std::string method);
    /// Sets a request header, replacing one of the same name.
    void addRequestHeader(std::string name, std::string value);
    /// The bytes to send; a GET request with a body is sent as POST.
    void setPostBody(std::vector<uint8_t> body);
    void setPostBody(std::string_view body);
    /// Sends the file's contents as the body, read while it is sent.
    void setPostBodyFilePath(std::filesystem::path file);
    /// Credentials sent with the first request, as Basic authentication.
    void setUsername(std::string username);
    void setPassword(std::string password);
    /// Fails the request when no byte moves for `seconds`, connecting included.
    void setTimeout(double seconds);
    /// Fails the request when it has not ended `seconds` after the network thread
    /// took it, redirects included, however steadily bytes move; 0 for no limit
    /// (the default).
    void setTotalTimeout(double seconds);
    /// Fails the request when fewer than `bytesPerSecond` × `seconds` bytes move
    /// (either way, headers included) in a span of `seconds`; 0 bytes for no
    /// minimum (the default). A body that trickles in stays within the time-out
    /// of `setTimeout` but not within this.
    void setMinimumSpeed(uint64_t bytesPerSecond, double seconds);
    /// Follow 301 and 302 with the same method and body, and also 303 (instead of
    /// turning a POST into a GET), with the same headers.
    void setResendsOnRedirect(bool resends);
    /// Whether the request takes part in the shared cookie store (on by default).
    void setUsesCookies(bool uses);
    /// The cache this request reads and fills; null for none.
    void setDownloadCache(std::shared_ptr<HttpDownloadCache> cache);
    /// Writes a successful (2xx) answer's body to `path` instead of keeping it.
    /// The file appears whole when the request finishes, or not at all.
    void setDownloadDestinationPath(std::filesystem::path path);
    /// Whether a download's bytes are forced to disk before it is renamed into
    /// place, and its folder after (on by default). Off for a caller that syncs
    /// the finished files itself, away from the network and main threads.
    void setSyncsDownload(bool syncs);
    /// The most body bytes the request keeps in memory.
    void setMaximumBodySize(uint64_t bytes);
    /// The most body bytes (as inflated) a download writes to its file; no limit
    /// unless set. An announced length past it fails the request before any byte
    /// is taken, and an answer without one fails as soon as it passes it.
    void setMaximumDownloadSize(uint64_t bytes);
    /// Told of every step; not owned. May be changed at any time.
    void setDelegate(HttpRequestDelegate* delegate);

    /// The cache requests created from now on use (shared by them: replacing it
    /// leaves running requests with theirs); null for none.
    static void setDefaultCache(std::shared_ptr<HttpDownloadCache> cache);
    static std::shared_ptr<HttpDownloadCache> defaultCache();

    // ---- Running ----
    /// Starts the request on the network thread. Runs at once, outside any limit.
    void startAsynchronous();
    /// Stops the request; it fails with the cancelled error. A request that has
    /// already ended stays as it ended.
    void cancel();
    /// Forgets the delegate and the queue, then cancels: nothing more reaches them,
    /// not even messages already on their way, nor the end of a request that has
    /// just finished.
    void clearDelegatesAndCancel();

    // ---- The answer ----
    const std::string& url() const { return url_; }
    const std::string& originalURL() const { return originalURL_; }
    /// True from the moment the network thread has taken the request (a request in
    /// a queue may wait for its turn there) until it ends.
    bool isExecuting() const { return state_ == State::Running && started_; }
    bool isFinished() const { return state_ == State::Finished || state_ == State::Failed; }
    bool isCancelled() const { return cancelled_; }
    /// The status of the last answer (0 before one arrived). Any status finishes a
    /// request except 401 and 407; judging 404 or 500 is the caller's.
    int responseStatusCode() const { return status_; }
    /// The answer's headers; names compare without regard to case.
    const HttpHeaders& responseHeaders() const;
    std::map<std::string, std::string> lowercasedResponseHeaders() const { return lowercasedHeaders(responseHeaders()); }
    /// The body, inflated (empty for a download written to its file).
    const std::vector<uint8_t>& responseData() const { return responseData_; }
    std::string responseString() const { return std::string(responseData_.begin(), responseData_.end()); }
    /// True when a 304 answer let the stored body stand.
    bool didUseCachedResponse() const { return fromCache_; }
    const std::filesystem::path& downloadDestinationPath() const { return downloadDestination_; }
    /// Why the request failed; empty unless it did.
    const std::optional<platform::Error>& error() const { return error_; }
    /// Body bytes received so far (as sent: before inflating) and how many the
    /// server announced (-1 when it did not).
    int64_t bytesReceived() const;
    int64_t bytesExpected() const;
    /// Body bytes sent so far, and the size of the body to send.
    int64_t bytesSent() const;
    int64_t bytesToSend() const;

private:
    friend class HttpNetworkQueue;
    friend class detail::Mailbox;
    enum class State { Ready, Running, Finished, Failed };

    void start(uint64_t group, size_t groupLimit, bool groupStopsOnFailure);
    void deliver(detail::Event&& event);
    void end(detail::Event&& event);
    void setQueue(HttpNetworkQueue* queue);
    bool isAlive(const std::shared_ptr<detail::RequestChannel>& channel) const;

    std::shared_ptr<detail::NetworkCore> network_;
    std::shared_ptr<detail::RequestChannel> channel_;
    std::string url_;
    std::string originalURL_;
    std::string method_ = "GET";
    HttpHeaders requestHeaders_;
    std::shared_ptr<const std::vector<uint8_t>> postBody_;
    std::filesystem::path postBodyFile_;
    std::string username_;
    std::string password_;
    double timeoutSeconds_ = kDefaultTimeoutSeconds;
    double totalTimeoutSeconds_ = 0;
    uint64_t minimumBytesPerSecond_ = 0;
    double minimumSpeedSeconds_ = 0;
    bool resendsOnRedirect_ = false;
    bool usesCookies_ = true;
    std::shared_ptr<HttpDownloadCache> cache_;
    std::filesystem::path downloadDestination_;
    bool syncsDownload_ = true;
    uint64_t maximumBodySize_ = kDefaultMaximumBodySize;
    uint64_t maximumDownloadSize_ = UINT64_MAX;
    HttpRequestDelegate* delegate_ = nullptr;
    HttpNetworkQueue* queue_ = nullptr;

    State state_ = State::Ready;
    bool started_ = false;
    bool cancelled_ = false;
    bool ending_ = false;  // cancelled: only the cancelled error is still to come
    int status_ = 0;
    std::shared_ptr<const HttpHeaders> responseHeaders_;
    std::vector<uint8_t> responseData_;
    bool fromCache_ = false;
    std::optional<platform::Error> error_;
};

/// True when the address's host lies under the reserved ".invalid" domain, which
/// never resolves: a request to such an address (or redirected to one) fails at
/// once and is not asked of anyone, not even of the name service.
bool isInvalidDomainAddress(const std::string& url);

}  // namespace strombel::http
