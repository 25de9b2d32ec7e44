#include "http/http_request.h"

#include <cassert>
#include <cctype>
#include <cmath>
#include <mutex>

#include "http/http_network_queue.h"
#include "http/network_core.h"
#include "http/transfer.h"

namespace strombel::http {

namespace {

std::mutex defaultCacheMutex;
std::shared_ptr<HttpDownloadCache> defaultCacheSlot;

}  // namespace

void HttpRequestDelegate::requestDidReceiveData(HttpRequest& request, std::span<const uint8_t> data) {
    (void)request, (void)data;
    ignoresData_ = true;
}

void detail::Mailbox::send(std::shared_ptr<RequestChannel> channel, uint64_t generation, Event&& event) {
    bool batched = std::this_thread::get_id() == batchingThread_.load(std::memory_order_relaxed);
    {
        std::lock_guard lock(mutex_);
        if (letters_.empty()) firstLetter_ = std::chrono::steady_clock::now();
        letters_.push_back(Letter{std::move(channel), generation, std::move(event)});
    }
    if (!batched) flush();
}

std::optional<std::chrono::steady_clock::time_point> detail::Mailbox::waitingSince() {
    std::lock_guard lock(mutex_);
    if (letters_.empty() || drainPosted_) return std::nullopt;
    return firstLetter_;
}

void detail::Mailbox::flush() {
    {
        std::lock_guard lock(mutex_);
        if (letters_.empty() || drainPosted_) return;
        drainPosted_ = true;
    }
    loop_.post([mailbox = shared_from_this()] { mailbox->drain(); });
}

void detail::Mailbox::drain() {
    std::vector<Letter> letters;
    {
        std::lock_guard lock(mutex_);
        letters.swap(letters_);
        letters_.swap(spare_);
        drainPosted_ = false;
    }
    for (Letter& letter : letters) {
        RequestChannel& channel = *letter.channel;
        if (channel.generation != letter.generation || !channel.request) continue;
        channel.request->deliver(std::move(letter.event));
    }
    // Messages dropped here go now: an unclaimed download's file with them.
    letters.clear();
    std::lock_guard lock(mutex_);
    if (spare_.capacity() < letters.capacity()) spare_.swap(letters);
}

HttpRequest::HttpRequest(std::string url, NetworkThread& network)
    : network_(network.core()),
      channel_(std::make_shared<detail::RequestChannel>(network.core()->mailbox())),
      url_(url),
      originalURL_(std::move(url)),
      cache_(defaultCache()) {
    channel_->request = this;
}

HttpRequest::~HttpRequest() {
    channel_->request = nullptr;
    if (state_ == State::Running && !ending_) network_->cancel(channel_, ++channel_->generation, false);
}

void HttpRequest::setRequestMethod(std::string method) { method_ = std::move(method); }

void HttpRequest::addRequestHeader(std::string name, std::string value) {
    auto found = requestHeaders_.find(name);
    if (found != requestHeaders_.end()) requestHeaders_.erase(found);
    requestHeaders_.emplace(std::move(name), std::move(value));
}

void HttpRequest::setPostBody(std::vector<uint8_t> body) {
    postBody_ = std::make_shared<const std::vector<uint8_t>>(std::move(body));
    postBodyFile_.clear();
}

void HttpRequest::setPostBody(std::string_view body) { setPostBody(std::vector<uint8_t>(body.begin(), body.end())); }

void HttpRequest::setPostBodyFilePath(std::filesystem::path file) {
    postBodyFile_ = std::move(file);
    postBody_.reset();
}

void HttpRequest::setUsername(std::string username) { username_ = std::move(username); }
void HttpRequest::setPassword(std::string password) { password_ = std::move(password); }
void HttpRequest::setTimeout(double seconds) { timeoutSeconds_ = seconds; }

void HttpRequest::setTotalTimeout(double seconds) { totalTimeoutSeconds_ = seconds; }

void HttpRequest::setMinimumSpeed(uint64_t bytesPerSecond, double seconds) {
    minimumBytesPerSecond_ = bytesPerSecond;
    minimumSpeedSeconds_ = seconds;
}
void HttpRequest::setResendsOnRedirect(bool resends) { resendsOnRedirect_ = resends; }
void HttpRequest::setUsesCookies(bool uses) { usesCookies_ = uses; }
void HttpRequest::setDownloadCache(std::shared_ptr<HttpDownloadCache> cache) { cache_ = std::move(cache); }
void HttpRequest::setDownloadDestinationPath(std::filesystem::path path) { downloadDestination_ = std::move(path); }
void HttpRequest::setSyncsDownload(bool syncs) { syncsDownload_ = syncs; }
void HttpRequest::setMaximumBodySize(uint64_t bytes) { maximumBodySize_ = bytes; }
void HttpRequest::setMaximumDownloadSize(uint64_t bytes) { maximumDownloadSize_ = bytes; }

void HttpRequest::setDelegate(HttpRequestDelegate* delegate) {
    delegate_ = delegate;
    channel_->wantsData.store(delegate_ && !delegate_->ignoresData_, std::memory_order_relaxed);
}

void HttpRequest::setDefaultCache(std::shared_ptr<HttpDownloadCache> cache) {
    std::lock_guard lock(defaultCacheMutex);
    defaultCacheSlot = std::move(cache);
}

std::shared_ptr<HttpDownloadCache> HttpRequest::defaultCache() {
    std::lock_guard lock(defaultCacheMutex);
    return defaultCacheSlot;
}

const HttpHeaders& HttpRequest::responseHeaders() const {
    static const HttpHeaders none;
    return responseHeaders_ ? *responseHeaders_ : none;
}

int64_t HttpRequest::bytesReceived() const { return channel_->bytesReceived.load(std::memory_order_relaxed); }
int64_t HttpRequest::bytesExpected() const { return channel_->bytesExpected.load(std::memory_order_relaxed); }
int64_t HttpRequest::bytesSent() const { return channel_->bytesSent.load(std::memory_order_relaxed); }
int64_t HttpRequest::bytesToSend() const { return channel_->bytesToSend.load(std::memory_order_relaxed); }

void HttpRequest::startAsynchronous() { start(0, 0, false); }

void HttpRequest::start(uint64_t group, size_t groupLimit, bool groupStopsOnFailure) {
    assert(channel_->loop().isMainThread());
    if (state_ != State::Ready || cancelled_) return;
    state_ = State::Running;
    auto order = std::make_shared<detail::TransferOrder>();
    detail::RequestSpec& spec = order->spec;
    spec.url = url_;
    spec.method = method_;
    spec.headers = requestHeaders_;
    spec.body = postBody_;
    spec.bodyFile = postBodyFile_;
    spec.username = username_;
    spec.password = password_;
    double seconds = std::isfinite(timeoutSeconds_) && timeoutSeconds_ > 0 ? timeoutSeconds_ : kDefaultTimeoutSeconds;
    spec.timeoutNanos = static_cast<uint64_t>(seconds * 1e9);
    if (std::isfinite(totalTimeoutSeconds_) && totalTimeoutSeconds_ > 0) {
        spec.totalTimeoutNanos = static_cast<uint64_t>(totalTimeoutSeconds_ * 1e9);
    }
    if (minimumBytesPerSecond_ && std::isfinite(minimumSpeedSeconds_) && minimumSpeedSeconds_ > 0) {
        spec.minimumBytesPerSecond = minimumBytesPerSecond_;
        spec.minimumSpeedWindowNanos = static_cast<uint64_t>(minimumSpeedSeconds_ * 1e9);
    }
    spec.resendsOnRedirect = resendsOnRedirect_;
    spec.usesCookies = usesCookies_;
    spec.cache = cache_;
    spec.downloadDestination = downloadDestination_;
    spec.syncsDownload = syncsDownload_;
    spec.maximumBodySize = maximumBodySize_;
    spec.maximumDownloadSize = maximumDownloadSize_;
    order->channel = channel_;
    order->generation = channel_->generation;
    order->group = group;
    order->groupLimit = groupLimit;
    order->groupStopsOnFailure = groupStopsOnFailure;
    channel_->wantsData.store(delegate_ && !delegate_->ignoresData_, std::memory_order_relaxed);
    network_->start(std::move(order));
}

void HttpRequest::cancel() {
    assert(channel_->loop().isMainThread());
    if (isFinished() || ending_) return;
    cancelled_ = true;
    ending_ = true;
    uint64_t generation = ++channel_->generation;
    if (state_ == State::Running) {
        // The network thread removes what the transfer wrote, then reports.
        network_->cancel(channel_, generation, true);
    } else {
        detail::Event failed;
        failed.kind = detail::Event::Kind::Failed;
        failed.error = httpError(HttpErrorCode::Cancelled, "The request was cancelled");
        channel_->post(generation, std::move(failed));
    }
}

void HttpRequest::clearDelegatesAndCancel() {
    assert(channel_->loop().isMainThread());
    delegate_ = nullptr;
    channel_->wantsData.store(false, std::memory_order_relaxed);
    channel_->wantsProgress.store(false, std::memory_order_relaxed);
    // Whatever is on its way, an end included, is dropped on arrival.
    uint64_t generation = ++channel_->generation;
    if (!isFinished()) {
        if (state_ == State::Running && !ending_) network_->cancel(channel_, generation, false);
        cancelled_ = true;
        ending_ = true;
        state_ = State::Failed;
        error_ = httpError(HttpErrorCode::Cancelled, "The request was cancelled");
    }
    HttpNetworkQueue* queue = queue_;
    queue_ = nullptr;
    if (queue) queue->requestLeft(*this);
}

void HttpRequest::setQueue(HttpNetworkQueue* queue) {
    queue_ = queue;
    channel_->wantsProgress.store(queue != nullptr, std::memory_order_relaxed);
}

bool HttpRequest::isAlive(const std::shared_ptr<detail::RequestChannel>& channel) const {
    return channel->request != nullptr;
}

void HttpRequest::deliver(detail::Event&& event) {
    using Kind = detail::Event::Kind;
    if (isFinished()) return;
    if (ending_ && event.kind != Kind::Failed) return;  // cancelled: only its error is still to come
    // A message may destroy the request; `channel` tells whether it still exists.
    std::shared_ptr<detail::RequestChannel> channel = channel_;
    switch (event.kind) {
        case Kind::Started:
            started_ = true;
            if (delegate_) delegate_->requestStarted(*this);
            break;
        case Kind::ResponseHeaders:
            status_ = event.status;
            responseHeaders_ = std::make_shared<const HttpHeaders>(parseHeaderBlock(event.headerBlock));
            if (delegate_) delegate_->requestDidReceiveResponseHeaders(*this, responseHeaders());
            break;
        case Kind::WillRedirect:
            if (delegate_) delegate_->requestWillRedirectToURL(*this, event.url);
            break;
        case Kind::Redirected:
            url_ = std::move(event.url);
            if (delegate_) delegate_->requestRedirected(*this);
            break;
        case Kind::Data:
            if (delegate_) {
                HttpRequestDelegate* delegate = delegate_;
                delegate->requestDidReceiveData(*this, event.data);
                if (isAlive(channel) && delegate_ == delegate && delegate->ignoresData_) {
                    channel->wantsData.store(false, std::memory_order_relaxed);
                }
            }
            break;
        case Kind::Progress:
            channel->progressPending.store(false, std::memory_order_release);
            if (queue_) queue_->requestProgressed(*this);
            break;
        case Kind::AuthenticationNeeded:
            if (delegate_) delegate_->authenticationNeededForRequest(*this);
            break;
        case Kind::ProxyAuthenticationNeeded:
            if (delegate_) delegate_->proxyAuthenticationNeededForRequest(*this);
            break;
        case Kind::Finished:
        case Kind::Failed:
            end(std::move(event));
            break;
    }
}

void HttpRequest::end(detail::Event&& event) {
    std::shared_ptr<detail::RequestChannel> channel = channel_;
    bool failed = event.kind == detail::Event::Kind::Failed;
    if (!failed) {
        status_ = event.status;
        if (event.headers) responseHeaders_ = std::move(event.headers);  // else those of ResponseHeaders
        responseData_ = std::move(event.data);
        fromCache_ = event.fromCache;
        if (event.download) {
            platform::Result<void> moved = event.download->commit();
            if (!moved.ok()) {
                failed = true;
                error_ = moved.error();
            }
        }
    } else {
        error_ = std::move(event.error);
    }
    state_ = failed ? State::Failed : State::Finished;
    if (delegate_) {
        if (failed) {
            delegate_->requestFailed(*this);
        } else {
            delegate_->requestFinished(*this);
        }
        if (!isAlive(channel)) return;
    }
    if (queue_) queue_->requestEnded(*this, failed);
}

bool isInvalidDomainAddress(const std::string& url) {
    const size_t scheme = url.find("://");
    const size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    size_t end = url.find_first_of("/?#", start);
    if (end == std::string::npos) end = url.size();
    std::string host = url.substr(start, end - start);
    if (const size_t at = host.rfind('@'); at != std::string::npos) host.erase(0, at + 1);
    if (const size_t colon = host.rfind(':'); colon != std::string::npos && host.find(']') == std::string::npos) {
        host.erase(colon);
    }
    while (!host.empty() && host.back() == '.') host.pop_back();
    for (char& c : host) c = char(std::tolower(static_cast<unsigned char>(c)));
    return host == "invalid" || host.ends_with(".invalid");
}

}  // namespace strombel::http
