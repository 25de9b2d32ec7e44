#include "http/transfer.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "http/http_error.h"
#include "http/http_request.h"
#include "http/network_core.h"
#include "platform/byte_count.h"

namespace strombel::http::detail {

namespace {

constexpr int kMaximumRedirects = 5;
// All header lines of one answer together; curl itself refuses a single line
// longer than 100 KiB.
constexpr size_t kMaximumHeaderBytes = 256 * 1024;
// The answer headers a cache entry leaves out: they describe one connection.
constexpr std::string_view kUnstoredHeaders[] = {"Connection", "Keep-Alive", "Transfer-Encoding", "Set-Cookie"};
// What one read from the connection takes at most.
constexpr long kReceiveBufferBytes = 64 * 1024;
// Enough for a usual answer's fields in one allocation.
constexpr size_t kHeaderBlockReserve = 512;
// The answer fields the network thread decides by, in the order of
// Transfer::Field; the main loop reads them all.
constexpr std::string_view kFieldsReadHere[] = {"Content-Length", "Transfer-Encoding", "Content-Encoding", "Location",
                                                "Cache-Control"};

int fieldReadHere(std::string_view name) {
    for (size_t i = 0; i < std::size(kFieldsReadHere); ++i) {
        if (equalsIgnoringCase(kFieldsReadHere[i], name)) return static_cast<int>(i);
    }
    return -1;
}

// Content-Length: decimal digits that fit a signed 64-bit number; a repeated
// field must repeat the same number. Anything else is not a length.
std::optional<int64_t> parseContentLength(std::string_view value) {
    std::optional<int64_t> length;
    while (true) {
        size_t comma = value.find(',');
        std::string_view item = trimmedLine(value.substr(0, comma));
        if (item.empty() || !std::all_of(item.begin(), item.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return std::nullopt;
        }
        int64_t number = 0;
        auto [end, error] = std::from_chars(item.data(), item.data() + item.size(), number);
        if (error != std::errc() || end != item.data() + item.size()) return std::nullopt;
        if (length && *length != number) return std::nullopt;
        length = number;
        if (comma == std::string_view::npos) return length;
        value.remove_prefix(comma + 1);
    }
}

struct Origin {
    std::string scheme;
    std::string host;
    std::string port;
};

std::optional<Origin> originOf(const std::string& url) {
    CURLU* parsed = curl_url();
    std::optional<Origin> origin;
    if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
        char* scheme = nullptr;
        char* host = nullptr;
        char* port = nullptr;
        if (curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
            curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
            curl_url_get(parsed, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
            origin = Origin{scheme, host, port};
            std::transform(origin->scheme.begin(), origin->scheme.end(), origin->scheme.begin(), ::tolower);
            std::transform(origin->host.begin(), origin->host.end(), origin->host.begin(), ::tolower);
        }
        curl_free(scheme);
        curl_free(host);
        curl_free(port);
    }
    curl_url_cleanup(parsed);
    return origin;
}

bool isWebScheme(const std::optional<Origin>& origin) {
    return origin && (origin->scheme == "http" || origin->scheme == "https");
}

// The cheap test for the first step; libcurl finds any other fault in the address.
bool startsWithWebScheme(std::string_view url) {
    auto startsWith = [&](std::string_view prefix) {
        return url.size() > prefix.size() && equalsIgnoringCase(url.substr(0, prefix.size()), prefix);
    };
    return startsWith("http://") || startsWith("https://");
}

bool isRedirectStatus(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

platform::Error downloadTooLarge(uint64_t maximum) {
    return httpError(HttpErrorCode::TooLarge, fmt::format("The download is larger than {}", platform::byteCountText(maximum)));
}

// What a request to a host under the reserved ".invalid" domain reports: what
// libcurl says of a host that does not resolve, without asking the name service.
platform::Error neverResolved(const std::string& url) {
    return httpError(HttpErrorCode::ConnectionFailure, "Could not connect to the server: " + url +
                                                           " lies under the reserved \".invalid\" domain");
}

uint64_t freeSpaceFor(const std::filesystem::path& destination) {
    std::filesystem::path folder = destination.parent_path();
    if (folder.empty()) folder = ".";
    struct statvfs info {};
    if (::statvfs(folder.c_str(), &info) != 0) return UINT64_MAX;  // let the writes find out
    return static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
}

template <typename Option, typename Value>
void set(CURL* easy, Option option, Value value) {
    curl_easy_setopt(easy, option, value);
}

}  // namespace

void resetEasy(CURL* easy) {
    curl_easy_setopt(easy, CURLOPT_COOKIEFILE, static_cast<const char*>(nullptr));
    curl_easy_reset(easy);
}

Transfer::Transfer(std::shared_ptr<TransferOrder> order, NetworkCore& core, CURL* easy, EasyState easyState)
    : order_(std::move(order)), core_(core), easy_(easy), easyState_(easyState) {}

Transfer::~Transfer() {
    if (bodyFd_ >= 0) ::close(bodyFd_);
    curl_slist_free_all(headerList_);
}

void Transfer::post(Event&& event) { order_->channel->post(order_->generation, std::move(event)); }

void Transfer::touch() { lastActivity_ = core_.roundTime(); }

void Transfer::abort(platform::Error error) {
    if (!abortError_) abortError_ = std::move(error);
}

uint64_t Transfer::nextCheck() const {
    const RequestSpec& request = spec();
    uint64_t next = lastActivity_ + request.timeoutNanos;
    if (request.totalTimeoutNanos) next = std::min(next, startedAt_ + request.totalTimeoutNanos);
    if (request.minimumBytesPerSecond && request.minimumSpeedWindowNanos) {
        next = std::min(next, speedSpanStart_ + request.minimumSpeedWindowNanos);
    }
    return next;
}

std::optional<platform::Error> Transfer::passedLimit(uint64_t now) {
    const RequestSpec& request = spec();
    const auto seconds = [](uint64_t nanos) { return static_cast<double>(nanos) / 1e9; };
    if (now >= lastActivity_ + request.timeoutNanos) {
        return httpError(HttpErrorCode::TimedOut, fmt::format("The request timed out: nothing moved for {} seconds",
                                                              seconds(request.timeoutNanos)));
    }
    if (request.totalTimeoutNanos && now >= startedAt_ + request.totalTimeoutNanos) {
        return httpError(HttpErrorCode::TimedOut, fmt::format("The request timed out: it took longer than {} seconds",
                                                              seconds(request.totalTimeoutNanos)));
    }
    const uint64_t span = request.minimumSpeedWindowNanos;
    if (request.minimumBytesPerSecond && span && now >= speedSpanStart_ + span) {
        const uint64_t moved = bytesMoved_ - bytesAtSpanStart_;
        const double wanted = static_cast<double>(request.minimumBytesPerSecond) * seconds(now - speedSpanStart_);
        if (static_cast<double>(moved) < wanted) {
            return httpError(HttpErrorCode::TimedOut,
                             fmt::format("The request timed out: {} moved in {} seconds, slower than {} a second",
                                         platform::byteCountText(moved), seconds(now - speedSpanStart_),
                                         platform::byteCountText(request.minimumBytesPerSecond)));
        }
        speedSpanStart_ = now;
        bytesAtSpanStart_ = bytesMoved_;
    }
    return std::nullopt;
}

platform::Result<void> Transfer::begin() {
    touch();
    startedAt_ = speedSpanStart_ = lastActivity_;
    const RequestSpec& request = spec();
    url_ = request.url;
    method_ = request.method.empty() ? "GET" : request.method;
    headers_ = request.headers;
    if (!startsWithWebScheme(url_)) {
        return httpError(HttpErrorCode::UnsupportedAddress, "Not an http or https address: " + url_);
    }
    if (isInvalidDomainAddress(url_)) return neverResolved(url_);
    if (!request.bodyFile.empty()) {
        bodyFd_ = ::open(request.bodyFile.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat info {};
        if (bodyFd_ < 0 || ::fstat(bodyFd_, &info) != 0 || !S_ISREG(info.st_mode)) {
            return httpError(HttpErrorCode::File,
                             "Cannot read the file to send " + request.bodyFile.string() + ": " + std::strerror(errno));
        }
        bodySize_ = static_cast<uint64_t>(info.st_size);
        sendsBody_ = true;
    } else if (request.body) {
        bodySize_ = request.body->size();
        sendsBody_ = true;
    }
    if (sendsBody_ && method_ == "GET") method_ = "POST";
    channel().bytesToSend.store(static_cast<int64_t>(bodySize_), std::memory_order_relaxed);
    if (request.cache && method_ == "GET" && !sendsBody_ && request.downloadDestination.empty()) {
        cached_ = request.cache->cachedResponseForURL(url_, request.maximumBodySize);
    }
    return configureStep();
}

EasyState Transfer::easyState() const {
    return isPlainGet(easyState_) && authorityGeneration_ != core_.certificateAuthorityGeneration() ? EasyState::Used
                                                                                                    : easyState_;
}

bool Transfer::isPlainGetStep() const {
    const RequestSpec& request = spec();
    return method_ == "GET" && !sendsBody_ &&
           !(sendsCredentials_ && (!request.username.empty() || !request.password.empty()));
}

void Transfer::setConstantOptions() {
    set(easy_, CURLOPT_NOSIGNAL, 1L);
    set(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
    set(easy_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    set(easy_, CURLOPT_FOLLOWLOCATION, 0L);  // redirects are ours: see followRedirect
    set(easy_, CURLOPT_SSL_VERIFYPEER, 1L);
    set(easy_, CURLOPT_SSL_VERIFYHOST, 2L);
    // Loopback never goes through a proxy.
    set(easy_, CURLOPT_NOPROXY, "localhost,127.0.0.1,::1");
    // A large body comes in a quarter of the reads (and file writes) of libcurl's
    // 16 KiB.
    set(easy_, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
    set(easy_, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    set(easy_, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
    set(easy_, CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
    set(easy_, CURLOPT_NOPROGRESS, 0L);
}

platform::Result<void> Transfer::configureStep() {
    const RequestSpec& request = spec();
    bool plainGet = isPlainGetStep();
    EasyState before = easyState();
    EasyState after = !plainGet                ? EasyState::Used
                      : request.usesCookies ? EasyState::PlainGetWithCookies
                                            : EasyState::PlainGet;
    // A plain GET after a plain GET sets only what is its own below; with the
    // same cookie setting, even the share and the cookie engine stay.
    bool keepsCookieSetting = plainGet && before == after;
    if (plainGet && isPlainGet(before)) {
        if (!keepsCookieSetting) set(easy_, CURLOPT_COOKIEFILE, static_cast<const char*>(nullptr));
    } else {
        if (before != EasyState::Clean) resetEasy(easy_);
        setConstantOptions();
    }
    easyState_ = after;
    authorityGeneration_ = core_.certificateAuthorityGeneration();
    curl_slist_free_all(headerList_);
    headerList_ = nullptr;
    headerBytes_ = 0;
    inFinalHeaders_ = false;
    headersDone_ = false;
    status_ = 0;
    headerBlock_.clear();
    answerFields_ = {};
    lastField_ = -1;
    followsRedirect_ = false;
    answeredFromCache_ = false;
    decoder_.reset();
    body_.clear();
    download_.reset();
    cacheWriter_.reset();
    bodyOffset_ = 0;
    lastProgressDown_ = lastProgressUp_ = 0;
    errorText_[0] = '\0';
    RequestChannel& progress = channel();
    progress.bytesSent.store(0, std::memory_order_relaxed);
    progress.bytesReceived.store(0, std::memory_order_relaxed);
    progress.bytesExpected.store(-1, std::memory_order_relaxed);

    set(easy_, CURLOPT_ERRORBUFFER, errorText_);
    set(easy_, CURLOPT_URL, url_.c_str());
    set(easy_, CURLOPT_PRIVATE, this);
    if (!core_.certificateAuthorityFile().empty()) {
        set(easy_, CURLOPT_CAINFO, core_.certificateAuthorityFile().c_str());
    }
    if (!keepsCookieSetting) {
        set(easy_, CURLOPT_SHARE, core_.share(request.usesCookies));
        // The cookie engine runs only with a cookie file named; "" names none.
        if (request.usesCookies) set(easy_, CURLOPT_COOKIEFILE, "");
    }
    set(easy_, CURLOPT_HEADERDATA, this);
    set(easy_, CURLOPT_WRITEDATA, this);
    set(easy_, CURLOPT_XFERINFODATA, this);

    auto addHeader = [this](const std::string& line) {
        headerList_ = curl_slist_append(headerList_, line.c_str());
    };
    for (const auto& [name, value] : headers_) {
        if (!sendsCredentials_ && (equalsIgnoringCase(name, "Authorization") || equalsIgnoringCase(name, "Cookie"))) {
            continue;
        }
        // "Name;" is how libcurl sends a header with an empty value.
        addHeader(value.empty() ? name + ";" : name + ": " + value);
    }
    if (cached_ && redirects_ == 0) {
        const std::string& etag = headerValue(cached_->headers, "ETag");
        const std::string& modified = headerValue(cached_->headers, "Last-Modified");
        if (!etag.empty() && !headers_.count("If-None-Match")) addHeader("If-None-Match: " + etag);
        if (!modified.empty() && !headers_.count("If-Modified-Since")) addHeader("If-Modified-Since: " + modified);
    }
    if (headerList_) {
        for (std::string_view line : kDefaultHeaderLines) {
            if (!headers_.count(line.substr(0, line.find(':')))) addHeader(std::string(line));
        }
    }
    set(easy_, CURLOPT_HTTPHEADER, headerList_ ? headerList_ : core_.defaultHeaderList());

    if (method_ == "HEAD") {
        set(easy_, CURLOPT_NOBODY, 1L);
    } else if (sendsBody_) {
        set(easy_, CURLOPT_POST, 1L);
        set(easy_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bodySize_));
        set(easy_, CURLOPT_READFUNCTION, &Transfer::onRead);
        set(easy_, CURLOPT_READDATA, this);
        set(easy_, CURLOPT_SEEKFUNCTION, &Transfer::onSeek);
        set(easy_, CURLOPT_SEEKDATA, this);
        if (method_ != "POST") set(easy_, CURLOPT_CUSTOMREQUEST, method_.c_str());
    } else if (method_ == "POST") {
        set(easy_, CURLOPT_POSTFIELDS, "");
        set(easy_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
    } else if (method_ != "GET") {
        set(easy_, CURLOPT_CUSTOMREQUEST, method_.c_str());
    }
    progress.bytesToSend.store(sendsBody_ ? static_cast<int64_t>(bodySize_) : 0, std::memory_order_relaxed);

    if (sendsCredentials_ && (!request.username.empty() || !request.password.empty())) {
        set(easy_, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        set(easy_, CURLOPT_USERNAME, request.username.c_str());
        set(easy_, CURLOPT_PASSWORD, request.password.c_str());
    }
    return {};
}

size_t Transfer::onHeader(char* data, size_t size, size_t count, void* self) {
    auto* transfer = static_cast<Transfer*>(self);
    size_t length = size * count;
    transfer->touch();
    transfer->bytesMoved_ += length;
    transfer->headerBytes_ += length;
    if (transfer->headerBytes_ > kMaximumHeaderBytes) {
        transfer->abort(httpError(HttpErrorCode::TooLarge, "The answer's headers are too large"));
        return 0;
    }
    transfer->headerLine(std::string_view(data, length));
    return transfer->abortError_ ? 0 : length;
}

void Transfer::headerLine(std::string_view line) {
    if (headersDone_) return;  // trailers of a chunked body
    if (line.rfind("HTTP/", 0) == 0) {
        // A new block: an interim answer (1xx) may come before the final one.
        headerBlock_.clear();
        answerFields_ = {};
        lastField_ = -1;
        inFinalHeaders_ = true;
        return;
    }
    HeaderLine read = readHeaderLine(line);
    if (read.kind == HeaderLine::Kind::End) {
        long status = 0;
        curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
        if (status >= 100 && status < 200) return;  // wait for the final block
        status_ = static_cast<int>(status);
        headersComplete();
        return;
    }
    if (!inFinalHeaders_ || read.kind == HeaderLine::Kind::Other) return;
    if (headerBlock_.empty()) headerBlock_.reserve(kHeaderBlockReserve);
    headerBlock_.append(line);
    if (line.back() != '\n') headerBlock_.push_back('\n');
    if (read.kind == HeaderLine::Kind::Continuation) {
        // An old-style continuation of the previous field.
        if (lastField_ >= 0) answerFields_[lastField_]->append(" ").append(read.value);
        return;
    }
    // Joined as parseHeaderBlock joins them.
    lastField_ = fieldReadHere(read.name);
    if (lastField_ < 0) return;
    std::optional<std::string>& field = answerFields_[lastField_];
    if (field) {
        field->append(", ").append(read.value);
    } else {
        field.emplace(read.value);
    }
}

const std::string& Transfer::answerField(Field field) const {
    static const std::string absent;
    const std::optional<std::string>& value = answerFields_[static_cast<size_t>(field)];
    return value ? *value : absent;
}

void Transfer::headersComplete() {
    const RequestSpec& request = spec();
    headersDone_ = true;
    Event headers;
    headers.kind = Event::Kind::ResponseHeaders;
    headers.status = status_;
    // A cache entry in the making needs the block again when it is committed.
    headers.headerBlock = request.cache ? headerBlock_ : std::move(headerBlock_);
    post(std::move(headers));

    if (status_ == 401 || status_ == 407) {
        Event needed;
        needed.kind = status_ == 401 ? Event::Kind::AuthenticationNeeded : Event::Kind::ProxyAuthenticationNeeded;
        post(std::move(needed));
        abort(httpError(HttpErrorCode::Authentication, status_ == 401 ? "The server refused the credentials"
                                                                       : "The proxy refused the credentials"));
        return;
    }
    if (isRedirectStatus(status_) && !answerField(Field::Location).empty()) {
        followsRedirect_ = true;  // its body is skipped
        return;
    }

    bool hasBody = method_ != "HEAD" && status_ != 204 && status_ != 304;
    int64_t contentLength = -1;
    bool chunked = headerListContains(answerField(Field::TransferEncoding), "chunked");
    if (hasBody && !chunked && answerFields_[static_cast<size_t>(Field::ContentLength)]) {
        const std::string& field = answerField(Field::ContentLength);
        std::optional<int64_t> length = parseContentLength(field);
        if (!length) {
            abort(httpError(HttpErrorCode::ConnectionFailure, "The answer's Content-Length is not a length: " + field));
            return;
        }
        contentLength = *length;
    }
    channel().bytesExpected.store(hasBody ? contentLength : 0, std::memory_order_relaxed);
    if (status_ == 304 && cached_) {
        answeredFromCache_ = true;
        return;
    }
    if (!hasBody) return;

    decoder_ = ContentDecoder::forEncoding(answerField(Field::ContentEncoding));
    bool success = status_ >= 200 && status_ < 300;
    if (!request.downloadDestination.empty() && success) {
        if (contentLength > 0 && static_cast<uint64_t>(contentLength) > request.maximumDownloadSize) {
            abort(downloadTooLarge(request.maximumDownloadSize));
            return;
        }
        // Nothing is reserved from the length field: it only refuses what cannot fit.
        if (contentLength > 0 && static_cast<uint64_t>(contentLength) > freeSpaceFor(request.downloadDestination)) {
            abort(httpError(HttpErrorCode::TooLarge, "The download is larger than the free space of its folder"));
            return;
        }
        auto file = PendingFile::createBeside(request.downloadDestination, request.syncsDownload);
        if (!file.ok()) {
            abort(file.error());
            return;
        }
        download_ = std::move(file).value();
    } else if (contentLength > 0 && static_cast<uint64_t>(contentLength) > request.maximumBodySize) {
        abort(httpError(HttpErrorCode::TooLarge,
                        fmt::format("The answer of {} is larger than the request keeps ({})",
                                    platform::byteCountText(uint64_t(contentLength)),
                                    platform::byteCountText(request.maximumBodySize))));
        return;
    }
    if (request.cache && status_ == 200 && method_ == "GET" && !sendsBody_ && request.downloadDestination.empty() &&
        redirects_ == 0 && !headerListContains(answerField(Field::CacheControl), "no-store")) {
        cacheWriter_ = request.cache->beginStoring(request.url);
    }
}

size_t Transfer::onBody(char* data, size_t size, size_t count, void* self) {
    auto* transfer = static_cast<Transfer*>(self);
    size_t length = size * count;
    transfer->touch();
    transfer->bytesMoved_ += length;
    bool kept = transfer->body(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data), length));
    return kept ? length : 0;
}

bool Transfer::body(std::span<const uint8_t> bytes) {
    if (abortError_) return false;
    if (followsRedirect_ || answeredFromCache_ || !headersDone_) return true;  // not part of the answer
    channel().bytesReceived.fetch_add(static_cast<int64_t>(bytes.size()), std::memory_order_relaxed);
    if (cacheWriter_) cacheWriter_->write(bytes);
    if (decoder_) {
        ContentDecoder::Status status = decoder_->feed(bytes, [this](std::span<const uint8_t> out) { return keep(out); });
        if (status == ContentDecoder::Status::BadData) {
            abort(httpError(HttpErrorCode::BadCompressedData, "The answer's compressed body does not inflate"));
        }
    } else {
        keep(bytes);
    }
    // A body that is complete is counted by the finished message.
    int64_t expected = channel().bytesExpected.load(std::memory_order_relaxed);
    if (expected < 0 || channel().bytesReceived.load(std::memory_order_relaxed) < expected) postProgress();
    return !abortError_;
}

bool Transfer::keep(std::span<const uint8_t> bytes) {
    if (download_) {
        if (download_->size() + bytes.size() > spec().maximumDownloadSize) {
            abort(downloadTooLarge(spec().maximumDownloadSize));
            return false;
        }
        if (!download_->write(bytes)) {
            abort(httpError(HttpErrorCode::File, download_->failure()));
            return false;
        }
    } else {
        if (body_.size() + bytes.size() > spec().maximumBodySize) {
            abort(httpError(HttpErrorCode::TooLarge,
                            fmt::format("The answer is larger than the request keeps ({})",
                                        platform::byteCountText(spec().maximumBodySize))));
            return false;
        }
        body_.insert(body_.end(), bytes.begin(), bytes.end());
    }
    if (channel().wantsData.load(std::memory_order_relaxed)) {
        Event data;
        data.kind = Event::Kind::Data;
        data.data.assign(bytes.begin(), bytes.end());
        post(std::move(data));
    }
    return true;
}

void Transfer::postProgress() {
    RequestChannel& progress = channel();
    if (!progress.wantsProgress.load(std::memory_order_relaxed)) return;
    if (progress.progressPending.exchange(true, std::memory_order_acq_rel)) return;
    Event event;
    event.kind = Event::Kind::Progress;
    post(std::move(event));
}

size_t Transfer::onRead(char* buffer, size_t size, size_t count, void* self) {
    auto* transfer = static_cast<Transfer*>(self);
    transfer->touch();
    size_t wanted = std::min<uint64_t>(size * count, transfer->bodySize_ - transfer->bodyOffset_);
    if (wanted == 0) return 0;
    if (transfer->bodyFd_ >= 0) {
        ssize_t got = ::pread(transfer->bodyFd_, buffer, wanted, static_cast<off_t>(transfer->bodyOffset_));
        if (got <= 0) {
            transfer->abort(httpError(HttpErrorCode::File, "Cannot read the file to send " +
                                                              transfer->spec().bodyFile.string() + ": " +
                                                              (got < 0 ? std::strerror(errno) : "it became shorter")));
            return CURL_READFUNC_ABORT;
        }
        wanted = static_cast<size_t>(got);
    } else {
        std::memcpy(buffer, transfer->spec().body->data() + transfer->bodyOffset_, wanted);
    }
    transfer->bodyOffset_ += wanted;
    transfer->bytesMoved_ += wanted;
    transfer->channel().bytesSent.store(static_cast<int64_t>(transfer->bodyOffset_), std::memory_order_relaxed);
    if (transfer->bodyOffset_ < transfer->bodySize_) transfer->postProgress();
    return wanted;
}

int Transfer::onSeek(void* self, curl_off_t offset, int origin) {
    auto* transfer = static_cast<Transfer*>(self);
    if (origin != SEEK_SET || offset < 0 || static_cast<uint64_t>(offset) > transfer->bodySize_) {
        return CURL_SEEKFUNC_FAIL;
    }
    transfer->bodyOffset_ = static_cast<uint64_t>(offset);
    return CURL_SEEKFUNC_OK;
}

int Transfer::onProgress(void* self, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
    auto* transfer = static_cast<Transfer*>(self);
    if (dlnow != transfer->lastProgressDown_ || ulnow != transfer->lastProgressUp_) {
        transfer->lastProgressDown_ = dlnow;
        transfer->lastProgressUp_ = ulnow;
        transfer->touch();
    }
    return 0;
}

Transfer::Next Transfer::complete(CURLcode result) {
    if (abortError_) {
        fail(std::move(*abortError_));
        return Next::Ended;
    }
    if (result != CURLE_OK) {
        fail(curlFailure(result));
        return Next::Ended;
    }
    if (followsRedirect_) {
        if (platform::Result<void> followed = followRedirect(); !followed) {
            fail(std::move(followed).error());
            return Next::Ended;
        }
        return Next::FollowRedirect;
    }
    finish();
    return Next::Ended;
}

platform::Result<void> Transfer::followRedirect() {
    char* location = nullptr;
    curl_easy_getinfo(easy_, CURLINFO_REDIRECT_URL, &location);
    if (!location) return httpError(HttpErrorCode::Redirect, "The redirect's Location is not an address");
    std::string next = location;
    if (++redirects_ > kMaximumRedirects) {
        return httpError(HttpErrorCode::Redirect, fmt::format("More than {} redirects", kMaximumRedirects));
    }
    std::optional<Origin> from = originOf(url_);
    std::optional<Origin> to = originOf(next);
    if (!isWebScheme(to)) return httpError(HttpErrorCode::Redirect, "A redirect to an address that is not http or https: " + next);
    if (isInvalidDomainAddress(next)) return neverResolved(next);
    // Credentials and cookies set by the caller go only to where they were meant to.
    if (!from || from->host != to->host || from->port != to->port || (from->scheme == "https" && to->scheme == "http")) {
        sendsCredentials_ = false;
    }
    if (!spec().resendsOnRedirect) {
        bool toGet = (status_ == 303 && method_ != "HEAD") || ((status_ == 301 || status_ == 302) && method_ == "POST");
        if (toGet) {
            method_ = "GET";
            if (sendsBody_) {
                sendsBody_ = false;
                headers_.erase("Content-Type");
                headers_.erase("Content-Length");
            }
        }
    }
    Event will;
    will.kind = Event::Kind::WillRedirect;
    will.url = next;
    post(std::move(will));
    url_ = next;
    Event redirected;
    redirected.kind = Event::Kind::Redirected;
    redirected.url = next;
    post(std::move(redirected));
    touch();
    return configureStep();
}

void Transfer::finish() {
    const RequestSpec& request = spec();
    if (decoder_ && decoder_->finish() != ContentDecoder::Status::Ok) {
        fail(httpError(HttpErrorCode::BadCompressedData, "The answer's compressed body ends before its end"));
        return;
    }
    Event finished;
    finished.kind = Event::Kind::Finished;
    if (answeredFromCache_) {
        // Not modified: the stored answer stands, inflated as the network's would be.
        std::unique_ptr<ContentDecoder> decoder =
            ContentDecoder::forEncoding(headerValue(cached_->headers, "Content-Encoding"));
        std::span<const uint8_t> stored(cached_->body);
        bool kept = decoder ? decoder->feed(stored, [this](std::span<const uint8_t> out) { return keep(out); }) ==
                                      ContentDecoder::Status::Ok &&
                                  decoder->finish() == ContentDecoder::Status::Ok
                            : keep(stored);
        if (!kept) {
            request.cache->removeCachedResponseForURL(request.url);
            fail(abortError_ ? *abortError_
                             : httpError(HttpErrorCode::BadCompressedData, "The stored answer does not inflate"));
            return;
        }
        finished.status = cached_->status;
        finished.headers = std::make_shared<const HttpHeaders>(cached_->headers);
        finished.fromCache = true;
    } else {
        finished.status = status_;
        if (download_ && !download_->finishWriting()) {
            fail(httpError(HttpErrorCode::File, download_->failure()));
            return;
        }
        if (cacheWriter_) {
            HttpHeaders stored = parseHeaderBlock(headerBlock_);
            for (std::string_view name : kUnstoredHeaders) {
                auto found = stored.find(name);
                if (found != stored.end()) stored.erase(found);
            }
            cacheWriter_->commit(status_, stored);
        }
    }
    finished.data = std::move(body_);
    finished.download = std::move(download_);
    post(std::move(finished));
}

void Transfer::fail(platform::Error error) {
    failed_ = !isHttpError(error, HttpErrorCode::Cancelled);
    download_.reset();  // the part-written file goes now
    cacheWriter_.reset();
    Event failed;
    failed.kind = Event::Kind::Failed;
    failed.error = std::move(error);
    post(std::move(failed));
}

platform::Error Transfer::curlFailure(CURLcode result) const {
    std::string text = errorText_[0] ? std::string(errorText_) : std::string(curl_easy_strerror(result));
    auto error = [&](HttpErrorCode code, std::string_view message) {
        return httpError(code, message, static_cast<int>(result), text);
    };
    switch (result) {
        case CURLE_URL_MALFORMAT:
            return error(HttpErrorCode::UnsupportedAddress, "The address is not valid");
        case CURLE_OPERATION_TIMEDOUT:
            return error(HttpErrorCode::TimedOut, "The request timed out");
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_USE_SSL_FAILED:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CLIENTCERT:
            return error(HttpErrorCode::Tls, "The secure connection failed");
        case CURLE_LOGIN_DENIED:
            return error(HttpErrorCode::Authentication, "The server refused the credentials");
        case CURLE_FILESIZE_EXCEEDED:
            return error(HttpErrorCode::TooLarge, "The answer is too large");
        case CURLE_BAD_CONTENT_ENCODING:
            return error(HttpErrorCode::BadCompressedData, "The answer's compressed body does not inflate");
        case CURLE_TOO_MANY_REDIRECTS:
            return error(HttpErrorCode::Redirect, "Too many redirects");
        case CURLE_READ_ERROR:
            return error(HttpErrorCode::File, "The body to send could not be read");
        case CURLE_PARTIAL_FILE:
            return error(HttpErrorCode::ConnectionFailure, "The connection closed before the whole answer arrived");
        case CURLE_GOT_NOTHING:
            return error(HttpErrorCode::ConnectionFailure, "The server closed the connection without answering");
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_CONNECT:
            return error(HttpErrorCode::ConnectionFailure, "Could not connect to the server");
        default:
            return error(HttpErrorCode::ConnectionFailure, "The connection failed or the answer was not valid HTTP");
    }
}

}  // namespace strombel::http::detail
