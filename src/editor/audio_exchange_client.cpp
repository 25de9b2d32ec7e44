#include "editor/audio_exchange_client.h"

#include <algorithm>
#include <cctype>

#include "editor/audio_files.h"
#include "http/http_request.h"
#include "json/json_decoder.h"
#include "logging/log.h"
#include "platform/required.h"

namespace strombel::editor {

namespace {

std::string percentEncoded(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

/// Why a request came to nothing, in words for the user.
std::string whyFailed(const http::HttpRequest& request, bool finished) {
    if (finished) return "the audio exchange answered " + std::to_string(request.responseStatusCode());
    const int64_t code = request.error() ? request.error()->code : 0;
    switch (static_cast<http::HttpErrorCode>(code)) {
        case http::HttpErrorCode::TimedOut: return "the audio exchange does not answer";
        case http::HttpErrorCode::TooLarge: return "the audio exchange sent more than it announced";
        case http::HttpErrorCode::ConnectionFailure: return AudioExchangeClient::kNotRunning;
        default: return "the audio exchange could not be reached";
    }
}

}  // namespace

/// One request with what to do when it ends.
class AudioExchangeClient::Call final : public http::HttpRequestDelegate {
public:
    Call(AudioExchangeClient& client, std::unique_ptr<http::HttpRequest> request,
         std::function<void(http::HttpRequest&, bool)> done)
        : client_(client), request_(std::move(request)), done_(std::move(done)) {
        request_->setDelegate(this);
        request_->setUsesCookies(false);
        request_->setDownloadCache(nullptr);
    }
    void start() { request_->startAsynchronous(); }
    void requestFinished(http::HttpRequest& request) override { end(request, request.responseStatusCode() / 100 == 2); }
    void requestFailed(http::HttpRequest& request) override { end(request, false); }
    http::HttpRequest& request() { return *request_; }

private:
    void end(http::HttpRequest& request, bool ok) {
        auto done = std::move(done_);
        // The call goes after the callback, which may start others.
        if (done) done(request, ok);
        client_.calls_.remove_if([this](const std::unique_ptr<Call>& call) { return call.get() == this; });
    }

    AudioExchangeClient& client_;
    std::unique_ptr<http::HttpRequest> request_;
    std::function<void(http::HttpRequest&, bool)> done_;
};

AudioExchangeClient::AudioExchangeClient(const ExchangeSettings& settings)
    : port_(settings.port), network_(settings.network) {
    if (port_ != 0) platform::required(network_, "ExchangeSettings::network");
}

AudioExchangeClient::~AudioExchangeClient() { cancelAll(); }

void AudioExchangeClient::cancelAll() {
    for (auto& call : calls_) call->request().clearDelegatesAndCancel();
    calls_.clear();
}

std::string AudioExchangeClient::address(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void AudioExchangeClient::start(std::unique_ptr<http::HttpRequest> request,
                                std::function<void(http::HttpRequest&, bool)> done) {
    calls_.push_back(std::make_unique<Call>(*this, std::move(request), std::move(done)));
    calls_.back()->start();
}

void AudioExchangeClient::checkStatus(std::function<void(bool)> done) {
    if (port_ == 0) return done(false);
    auto request = std::make_unique<http::HttpRequest>(address("/status"), *network_);
    request->setTimeout(kStatusTimeoutSeconds);
    request->setMaximumBodySize(4096);
    start(std::move(request), [done = std::move(done)](http::HttpRequest&, bool ok) { done(ok); });
}

void AudioExchangeClient::upload(const std::filesystem::path& file, const std::string& name,
                                 std::function<void(std::string)> done) {
    if (port_ == 0) return done(kNotRunning);
    auto request = std::make_unique<http::HttpRequest>(address("/upload?name=" + percentEncoded(name)), *network_);
    request->setRequestMethod("POST");
    request->addRequestHeader("Content-Type", "audio/wav");
    request->setPostBodyFilePath(file);
    request->setTimeout(kTimeoutSeconds);
    request->setMaximumBodySize(4096);
    start(std::move(request), [done = std::move(done)](http::HttpRequest& request, bool ok) {
        done(ok ? std::string() : whyFailed(request, request.isFinished() && !request.error()));
    });
}

void AudioExchangeClient::fetchContents(std::function<void(std::vector<ExchangeItem>, std::string)> done) {
    if (port_ == 0) return done({}, kNotRunning);
    auto request = std::make_unique<http::HttpRequest>(address("/contents"), *network_);
    request->setTimeout(kTimeoutSeconds);
    request->setMaximumBodySize(kMaxContentsBytes);
    start(std::move(request), [done = std::move(done)](http::HttpRequest& request, bool ok) {
        if (!ok) {
            const bool tooLarge =
                request.error() && request.error()->code == static_cast<int64_t>(http::HttpErrorCode::TooLarge);
            done({}, tooLarge ? "the audio exchange sent a list that is too long"
                              : whyFailed(request, request.isFinished() && !request.error()));
            return;
        }
        platform::Result<Contents> contents = parseContents(request.responseData());
        if (!contents) {
            done({}, contents.error().message());
            return;
        }
        auto [items, leftOut] = std::move(contents).value();
        std::string error;
        if (leftOut > 0) {
            STROMBEL_LOG_WARN("the audio exchange offered {} items that cannot be fetched", leftOut);
            error = std::to_string(leftOut) + (leftOut == 1 ? " item" : " items") + " of the audio exchange cannot be fetched";
        }
        done(std::move(items), error);
    });
}

void AudioExchangeClient::fetchItem(const ExchangeItem& item,
                                    std::function<void(std::vector<uint8_t>, std::string)> done) {
    if (!isSafeItemPath(item.path) || item.size == 0 || item.size > kMaxPasteBytes) {
        done({}, "this item of the audio exchange cannot be fetched");
        return;
    }
    if (port_ == 0) return done({}, kNotRunning);
    auto request = std::make_unique<http::HttpRequest>(address(item.path), *network_);
    request->setTimeout(kTimeoutSeconds);
    request->setMaximumBodySize(item.size);
    start(std::move(request), [done = std::move(done)](http::HttpRequest& request, bool ok) {
        if (!ok) {
            done({}, whyFailed(request, request.isFinished() && !request.error()));
            return;
        }
        done(request.responseData(), {});
    });
}

bool AudioExchangeClient::isSafeItemPath(const std::string& path) {
    if (path.empty() || path.size() > 1024 || path[0] != '/' || path.rfind("//", 0) == 0) return false;
    for (unsigned char c : path) {
        if (c < 0x21 || c == 0x7f || c == '\\' || c == '#' || c == '%') return false;
    }
    // No ".." step, plain or in the query.
    size_t start = 0;
    const std::string plain = path.substr(0, path.find('?'));
    while (start <= plain.size()) {
        const size_t end = std::min(plain.find('/', start), plain.size());
        if (plain.compare(start, end - start, "..") == 0) return false;
        start = end + 1;
    }
    return true;
}

platform::Result<AudioExchangeClient::Contents> AudioExchangeClient::parseContents(const std::vector<uint8_t>& body) {
    const char* tooLong = "the audio exchange sent a list that is too long";
    const char* noList = "the audio exchange sent something that is not a list";
    if (body.size() > kMaxContentsBytes) return platform::Error::make(kAudioExchangeErrorDomain, 1, tooLong);
    json::Result<json::Value> list =
        json::JSONDecoder::decode(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
    if (!list.ok()) return platform::Error::causedBy(kAudioExchangeErrorDomain, 1, noList, std::move(list).error());
    if (!list.value().isArray()) return platform::Error::make(kAudioExchangeErrorDomain, 1, noList);
    if (list.value().items().size() > kMaxItems) return platform::Error::make(kAudioExchangeErrorDomain, 1, tooLong);
    Contents contents;
    std::vector<ExchangeItem>& items = contents.items;
    size_t& leftOut = contents.leftOut;
    for (const json::Value& entry : list.value().items()) {
        ExchangeItem item{entry["name"].asString(), entry["path"].asString(), 0};
        const json::Value& size = entry["size"];
        const int64_t bytes = size.isInteger() ? size.asInt64(-1) : -1;
        const bool ok = entry.isObject() && entry["name"].isString() && !item.name.empty() && item.name.size() <= 256 &&
                        isSafeItemPath(item.path) && bytes > 0 && uint64_t(bytes) <= kMaxPasteBytes;
        if (!ok) {
            ++leftOut;
            continue;
        }
        // Control characters in a name are shown as spaces.
        for (char& c : item.name)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
        item.size = uint64_t(bytes);
        items.push_back(std::move(item));
    }
    return contents;
}

}  // namespace strombel::editor
