#pragma once

// Inside the HTTP client: what a request hands the network thread, the messages
// that come back, and the transfer that runs one request on the network thread.
// Not for use outside src/http.

#include <curl/curl.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "http/content_decoder.h"
#include "http/http_download_cache.h"
#include "http/http_headers.h"
#include "http/pending_file.h"
#include "platform/error.h"
#include "platform/main_loop.h"
#include "platform/result.h"

namespace strombel::http {
class HttpRequest;
}

namespace strombel::http::detail {

class NetworkCore;

/// Clears every option of a handle kept for reuse. libcurl 7.88's own reset loses
/// the list that CURLOPT_COOKIEFILE builds; emptying it first frees it.
void resetEasy(CURL* easy);

/// The header lines every request sends unless it sets the field itself.
inline constexpr const char* kDefaultHeaderLines[] = {
    "Accept-Encoding: gzip, deflate",
    "User-Agent: Strombel",
    "Expect:",  // no wait for "100 Continue"
};

/// What a pooled easy handle carries from its last transfer.
enum class EasyState {
    Clean,                // no option: new or reset
    PlainGet,             // the options of a GET without body or credentials, under the
    PlainGetWithCookies,  // current certificate authorities, without or with cookies: a
                          // plain GET sets only what differs
    Used,                 // anything else: reset before the next use
};

inline bool isPlainGet(EasyState state) {
    return state == EasyState::PlainGet || state == EasyState::PlainGetWithCookies;
}

/// Everything a request asked for, copied when it starts.
struct RequestSpec {
    std::string url;
    std::string method = "GET";
    HttpHeaders headers;
    std::shared_ptr<const std::vector<uint8_t>> body;  // null when none or when from a file
    std::filesystem::path bodyFile;                   // empty unless the body is streamed from a file
    std::string username;
    std::string password;
    uint64_t timeoutNanos = 0;
    uint64_t totalTimeoutNanos = 0;         // 0: no limit on the whole request
    uint64_t minimumBytesPerSecond = 0;     // 0: no minimum speed
    uint64_t minimumSpeedWindowNanos = 0;   // the span the minimum speed is measured over
    bool resendsOnRedirect = false;
    bool usesCookies = true;
    std::shared_ptr<HttpDownloadCache> cache;
    std::filesystem::path downloadDestination;
    bool syncsDownload = true;
    uint64_t maximumBodySize = 0;
    uint64_t maximumDownloadSize = UINT64_MAX;
};

/// One message from the network thread to the request, delivered on the main loop.
struct Event {
    enum class Kind {
        Started,
        ResponseHeaders,   // status, headerBlock
        WillRedirect,      // url
        Redirected,        // url
        Data,              // data
        Progress,
        AuthenticationNeeded,
        ProxyAuthenticationNeeded,
        Finished,          // status, data (the body), fromCache, download, headers when
                           // from the cache; the address is the last Redirected one
        Failed,            // error
    };
    Kind kind = Kind::Started;
    int status = 0;
    // ResponseHeaders: the block as received, read into fields on the main loop
    // (which allocates and frees them there).
    std::string headerBlock;
    // Finished from the cache: the stored fields.
    std::shared_ptr<const HttpHeaders> headers;
    std::string url;
    std::vector<uint8_t> data;
    bool fromCache = false;
    // A finished download waiting for its rename; removed if the message is dropped.
    std::shared_ptr<PendingFile> download;
    std::optional<platform::Error> error;
};

class RequestChannel;

/// Carries messages to the main loop in batches: one post to the loop takes every
/// message that came in meanwhile, in the order they came. What the network thread
/// sends waits for its `flush`, which it calls when it has no request left to run
/// or the oldest message has waited `kDeliveryWindow`: a busy thread wakes the main
/// loop about once a millisecond, not once a message. Shared by the network
/// thread, its requests and the posts on their way.
class Mailbox : public std::enable_shared_from_this<Mailbox> {
public:
    explicit Mailbox(platform::MainLoop& loop) : loop_(loop) {}

    /// Any thread. The message reaches the channel's request only if the request
    /// still exists and its generation is still `generation` on delivery.
    void send(std::shared_ptr<RequestChannel> channel, uint64_t generation, Event&& event);

    /// The longest a message of the busy network thread waits to be posted.
    static constexpr std::chrono::microseconds kDeliveryWindow{1000};

    /// The network thread names itself once.
    void setBatchingThread(std::thread::id thread) { batchingThread_.store(thread); }
    /// Posts what waits, if anything does and no post is on its way already.
    void flush();
    /// When the oldest message not yet posted came in; nothing when none waits.
    std::optional<std::chrono::steady_clock::time_point> waitingSince();

    platform::MainLoop& loop() const { return loop_; }

private:
    struct Letter {
        std::shared_ptr<RequestChannel> channel;
        uint64_t generation;
        Event event;
    };
    void drain();  // on the main loop

    platform::MainLoop& loop_;
    std::atomic<std::thread::id> batchingThread_{};
    std::mutex mutex_;
    std::vector<Letter> letters_;
    std::vector<Letter> spare_;  // the drained batch's storage, kept for the next one
    std::chrono::steady_clock::time_point firstLetter_;
    bool drainPosted_ = false;
};

/// Ties one request to the messages meant for it. The request, its transfer on the
/// network thread and every message in flight share it.
class RequestChannel : public std::enable_shared_from_this<RequestChannel> {
public:
    explicit RequestChannel(std::shared_ptr<Mailbox> mailbox) : mailbox_(std::move(mailbox)) {}

    /// Sends `event` to the request under `generation` (see Mailbox::send).
    void post(uint64_t generation, Event&& event) { mailbox_->send(shared_from_this(), generation, std::move(event)); }

    platform::MainLoop& loop() const { return mailbox_->loop(); }

    // Main thread only.
    HttpRequest* request = nullptr;
    uint64_t generation = 1;

    // Network thread only: the handle of the request's running transfer, and
    // whether the request waits for a free place in its group (a cancel clears it,
    // and the request is passed over when its turn comes).
    CURL* runningEasy = nullptr;
    bool waitsInGroup = false;

    // Any thread: progress of the current step, and what the main side wants sent.
    std::atomic<int64_t> bytesSent{0};
    std::atomic<int64_t> bytesToSend{0};
    std::atomic<int64_t> bytesReceived{0};
    std::atomic<int64_t> bytesExpected{-1};
    std::atomic<bool> wantsData{false};
    std::atomic<bool> wantsProgress{false};
    std::atomic<bool> progressPending{false};

private:
    std::shared_ptr<Mailbox> mailbox_;
};

/// A request on its way to the network thread.
struct TransferOrder {
    RequestSpec spec;
    std::shared_ptr<RequestChannel> channel;
    uint64_t generation = 0;
    /// Requests of one group (a queue's) run at most `groupLimit` at a time; the
    /// network thread starts the next one as soon as one ends. 0: no group.
    uint64_t group = 0;
    size_t groupLimit = 0;
    /// A failure in the group cancels the group's other requests at once, before
    /// one more of them can start.
    bool groupStopsOnFailure = false;
};

/// One request on the network thread, across its redirects. Lives and is used on
/// the network thread only.
class Transfer {
public:
    /// `easyState`: what `easy` carries from the transfer before.
    Transfer(std::shared_ptr<TransferOrder> order, NetworkCore& core, CURL* easy, EasyState easyState);
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    /// Reads the cache and sets up the first step; an error ends the request before
    /// anything is sent.
    platform::Result<void> begin();

    enum class Next { Ended, FollowRedirect };
    /// The easy handle finished with `result`: either reports the end of the
    /// request, or has set the handle up for the redirect to be followed.
    Next complete(CURLcode result);

    /// Ends the request with `error` (time-out, shutdown).
    void fail(platform::Error error);
    /// True once the request has failed other than by being cancelled.
    bool failed() const { return failed_; }

    /// The clock time by which `passedLimit` must be asked again: when nothing
    /// moving would time the request out, its whole time ends, or the span its
    /// minimum speed is measured over closes.
    uint64_t nextCheck() const;
    /// The error of the first limit the request has passed at `now`, if any:
    /// nothing moved for the time-out, the whole request took longer than its
    /// limit, or fewer bytes moved over the last span than its minimum speed asks
    /// (a span that moved enough starts the next one).
    std::optional<platform::Error> passedLimit(uint64_t now);

    CURL* easy() const { return easy_; }
    /// What the handle carries once this transfer lets it go.
    EasyState easyState() const;
    const TransferOrder& order() const { return *order_; }
    RequestChannel& channel() const { return *order_->channel; }
    const RequestSpec& spec() const { return order_->spec; }

private:
    static size_t onHeader(char* data, size_t size, size_t count, void* self);
    static size_t onBody(char* data, size_t size, size_t count, void* self);
    static size_t onRead(char* buffer, size_t size, size_t count, void* self);
    static int onSeek(void* self, curl_off_t offset, int origin);
    static int onProgress(void* self, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow);

    platform::Result<void> configureStep();
    void setConstantOptions();
    bool isPlainGetStep() const;
    void headerLine(std::string_view line);
    void headersComplete();
    bool body(std::span<const uint8_t> bytes);
    bool keep(std::span<const uint8_t> bytes);
    platform::Result<void> followRedirect();
    void finish();
    void post(Event&& event);
    void postProgress();
    void abort(platform::Error error);
    void touch();
    platform::Error curlFailure(CURLcode result) const;

    std::shared_ptr<TransferOrder> order_;
    NetworkCore& core_;
    CURL* easy_;
    EasyState easyState_;
    uint64_t authorityGeneration_ = 0;  // the certificate authorities the handle was set up with
    curl_slist* headerList_ = nullptr;
    char errorText_[CURL_ERROR_SIZE] = {};

    // What the current step sends.
    std::string url_;
    std::string method_;
    HttpHeaders headers_;
    bool sendsBody_ = false;
    bool sendsCredentials_ = true;
    int redirects_ = 0;
    int bodyFd_ = -1;
    uint64_t bodySize_ = 0;
    uint64_t bodyOffset_ = 0;
    std::optional<HttpDownloadCache::Entry> cached_;

    // The request's limits, across its steps.
    uint64_t startedAt_ = 0;
    uint64_t bytesMoved_ = 0;  // both ways, headers included
    uint64_t speedSpanStart_ = 0;
    uint64_t bytesAtSpanStart_ = 0;

    // What the current step received.
    uint64_t lastActivity_ = 0;
    size_t headerBytes_ = 0;
    bool inFinalHeaders_ = false;
    bool headersDone_ = false;
    int status_ = 0;
    // The final block's lines, and the fields of it this thread reads itself.
    enum class Field { ContentLength, TransferEncoding, ContentEncoding, Location, CacheControl, Count };
    const std::string& answerField(Field field) const;  // "" when absent
    std::string headerBlock_;
    std::array<std::optional<std::string>, static_cast<size_t>(Field::Count)> answerFields_;
    int lastField_ = -1;  // the field a continuation line continues, if one of answerFields_
    bool followsRedirect_ = false;
    bool answeredFromCache_ = false;
    std::unique_ptr<ContentDecoder> decoder_;
    std::vector<uint8_t> body_;
    std::shared_ptr<PendingFile> download_;
    std::unique_ptr<HttpDownloadCache::Writer> cacheWriter_;
    std::optional<platform::Error> abortError_;
    bool failed_ = false;
    curl_off_t lastProgressDown_ = 0;
    curl_off_t lastProgressUp_ = 0;
};

}  // namespace strombel::http::detail
