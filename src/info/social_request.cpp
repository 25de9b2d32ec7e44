#include "info/social_request.h"

#include <fmt/format.h>

#include <string_view>
#include <utility>

#include "info/console.h"
#include "info/url_text.h"
#include "json/json_text.h"

namespace strombel::info {

namespace {

// Appends the UTF-8 bytes of `data`.
void utfAppendBody(std::vector<uint8_t>& body, std::string_view data) { body.insert(body.end(), data.begin(), data.end()); }

}  // namespace

platform::Error formError(int64_t code, json::Value userInfo) {
    platform::Error error;
    error.domain = kSocialErrorDomain;
    error.code = code;
    error.userInfo = json::errorInfo(userInfo);
    return error;
}

std::unique_ptr<SocialRequest> SocialRequest::getRequestWithParams(SocialParams params, std::string httpMethod,
                                                                   SocialRequestDelegate* delegate, std::string url,
                                                                   http::NetworkThread& network) {
    return std::unique_ptr<SocialRequest>(
        new SocialRequest(std::move(params), std::move(httpMethod), delegate, std::move(url), network));
}

SocialRequest::SocialRequest(SocialParams params, std::string httpMethod, SocialRequestDelegate* delegate,
                             std::string url, http::NetworkThread& network)
    : delegate_(delegate),
      url_(std::move(url)),
      httpMethod_(std::move(httpMethod)),
      params_(std::move(params)),
      network_(network) {}

SocialRequest::~SocialRequest() {
    if (connection_) connection_->clearDelegatesAndCancel();
}

std::string SocialRequest::serializeURL(const std::string& base, const SocialParams& params,
                                        const std::string& httpMethod) {
    std::string pairs;
    for (const auto& [key, value] : params) {
        if (value.isFile()) {
            if (httpMethod == "GET") consoleLine("can not use GET to upload a file");
            continue;
        }
        if (!pairs.empty()) pairs += '&';
        pairs += key + "=" + percentEncode(value.text);
    }
    const char* separator = base.find('?') == std::string::npos ? "?" : "&";
    return base + separator + pairs;
}

void SocialRequest::connect() {
    if (auto* delegate = delegate_.get()) {
        std::weak_ptr<int> alive = alive_;
        delegate->requestLoading(*this);
        if (alive.expired()) return;
    }
    connection_ = std::make_unique<http::HttpRequest>(serializeURL(url_, params_, httpMethod_), network_);
    connection_->setDownloadCache(nullptr);
    connection_->setTimeout(kTimeoutSeconds);
    connection_->setMaximumBodySize(kMaximumBodySize);
    connection_->setRequestMethod(httpMethod_);
    connection_->addRequestHeader("User-Agent", kUserAgent);
    if (httpMethod_ == "POST") {
        connection_->addRequestHeader("Content-Type",
                                      std::string("multipart/form-data; boundary=") + kStringBoundary);
        connection_->setPostBody(generatePostBody());
    }
    connection_->setDelegate(this);
    connection_->startAsynchronous();
}

std::vector<uint8_t> SocialRequest::generatePostBody() const {
    const std::string partEnd = std::string("\r\n--") + kStringBoundary + "\r\n";
    std::vector<uint8_t> body;
    utfAppendBody(body, std::string("--") + kStringBoundary + "\r\n");
    std::vector<std::pair<std::string, const SocialValue*>> files;
    for (const auto& [key, value] : params_) {
        if (value.isFile()) {
            files.emplace_back(key, &value);
            continue;
        }
        utfAppendBody(body, "Content-Disposition: form-data; name=\"" + key + "\"\r\n\r\n");
        utfAppendBody(body, value.text);
        utfAppendBody(body, partEnd);
    }
    for (const auto& [key, value] : files) {
        utfAppendBody(body, "Content-Disposition: form-data; filename=\"" + key + "\"\r\n");
        utfAppendBody(body, value->kind == SocialValue::Kind::image ? "Content-Type: image/png\r\n\r\n"
                                                            : "Content-Type: content/unknown\r\n\r\n");
        body.insert(body.end(), value->bytes.begin(), value->bytes.end());
        utfAppendBody(body, partEnd);
    }
    return body;
}

SocialRequest::Parsed SocialRequest::parseJsonResponse(const std::vector<uint8_t>& body) {
    const std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
    if (text == "true") return {json::Value::object({{"result", json::Value("true")}}), std::nullopt};
    if (text == "false") {
        return {std::nullopt, formError(kSocialGeneralErrorCode,
                                          json::Value::object({{"error_msg", json::Value("This operation can not be completed")}}))};
    }
    json::JsonText decoder;
    json::Result<json::Value> decoded = decoder.objectWithString(text);
    if (!decoded.ok()) return {};
    json::Value value = std::move(decoded).value();
    if (value.isArray()) return {std::move(value), std::nullopt};
    if (!value.isObject()) return {};
    if (value.contains("error")) return {std::nullopt, formError(kSocialGeneralErrorCode, value)};
    if (const json::Value* code = value.find("error_code")) {
        const int64_t number = code->isString() ? integerValue(code->asStringView()) : code->asInt64();
        return {std::nullopt, formError(number, value)};
    }
    if (value.contains("error_msg") || value.contains("error_reason")) {
        platform::Error error = formError(kSocialGeneralErrorCode, value);
        return {std::move(value), std::move(error)};
    }
    return {std::move(value), std::nullopt};
}

void SocialRequest::handleResponseData(const std::vector<uint8_t>& body, int statusCode) {
    std::weak_ptr<int> alive = alive_;
    if (auto* delegate = delegate_.get()) {
        delegate->requestDidLoadRawResponse(*this, body);
        if (alive.expired()) return;
    }
    auto* delegate = delegate_.get();
    if (!delegate || !delegate->wantsDecodedResponse()) return;
    Parsed parsed = parseJsonResponse(body);
    if (statusCode >= 400) {
        // The server failed: no result, whatever the body holds (an error page, or
        // a reply that does not say so); the error tells the status.
        const json::Value said = parsed.error ? json::errorDetails(parsed.error->userInfo)
                                 : parsed.result ? *parsed.result
                                                 : json::Value::emptyObject();
        json::ObjectBuilder details(said.isObject() ? said : json::Value::emptyObject());
        if (!details.contains("error_msg")) {
            details.set("error_msg", fmt::format("The server answered with HTTP status {}", statusCode));
        }
        details.set("http_status", statusCode);
        const int64_t code = parsed.error ? parsed.error->code : kSocialGeneralErrorCode;
        parsed.error = formError(code, std::move(details).build());
    }
    if (parsed.error) {
        failWithError(*parsed.error);
    } else if (parsed.result) {
        delegate->requestDidLoad(*this, *parsed.result);
    } else {
        delegate->requestDidLoad(*this, json::Value(std::string(body.begin(), body.end())));
    }
}

void SocialRequest::failWithError(const platform::Error& error) {
    if (auto* delegate = delegate_.get()) delegate->requestDidFailWithError(*this, error);
}

void SocialRequest::requestDidReceiveResponseHeaders(http::HttpRequest& request, const http::HttpHeaders&) {
    if (auto* delegate = delegate_.get()) delegate->requestDidReceiveResponse(*this, request.responseStatusCode());
}

void SocialRequest::requestFinished(http::HttpRequest& request) {
    // The connection goes first, so that the delegate may release this request.
    std::unique_ptr<http::HttpRequest> connection = std::move(connection_);
    const std::vector<uint8_t> body = request.responseData();
    handleResponseData(body, request.responseStatusCode());
    (void)connection;
}

void SocialRequest::requestFailed(http::HttpRequest& request) {
    std::unique_ptr<http::HttpRequest> connection = std::move(connection_);
    const platform::Error error = request.error() ? *request.error() : formError(kSocialGeneralErrorCode, json::Value::emptyObject());
    failWithError(error);
    (void)connection;
}

}  // namespace strombel::info
