#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "http/http_request.h"
#include "info/weak_reference.h"
#include "json/error.h"
#include "json/value.h"
#include "platform/error.h"

namespace strombel::info {

class SocialRequest;

/// The domain of the social network's errors, and the code of a general one.
inline constexpr const char* kSocialErrorDomain = "socialErrDomain";
inline constexpr int64_t kSocialGeneralErrorCode = 10000;

/// A parameter of a request: a text, an image (its PNG bytes) or a data blob.
/// Images and blobs travel only in a POST body.
struct SocialValue {
    enum class Kind { text, image, data };
    Kind kind = Kind::text;
    std::string text;
    std::vector<uint8_t> bytes;

    SocialValue() = default;
    SocialValue(std::string value) : text(std::move(value)) {}
    SocialValue(const char* value) : text(value) {}
    static SocialValue image(std::vector<uint8_t> png) { return {Kind::image, std::move(png)}; }
    static SocialValue data(std::vector<uint8_t> bytes) { return {Kind::data, std::move(bytes)}; }
    bool isFile() const { return kind != Kind::text; }
    friend bool operator==(const SocialValue&, const SocialValue&) = default;

private:
    SocialValue(Kind kind, std::vector<uint8_t> bytes) : kind(kind), bytes(std::move(bytes)) {}
};

/// A request's parameters, in the order they are written.
using SocialParams = std::map<std::string, SocialValue>;

/// Told of a request's steps, on the main loop; every message is optional.
class SocialRequestDelegate : public Referable {
public:
    virtual ~SocialRequestDelegate() = default;
    virtual void requestLoading(SocialRequest& request) { (void)request; }
    virtual void requestDidReceiveResponse(SocialRequest& request, int statusCode) { (void)request, (void)statusCode; }
    /// The body as it arrived.
    virtual void requestDidLoadRawResponse(SocialRequest& request, const std::vector<uint8_t>& body) {
        (void)request, (void)body;
    }
    /// The decoded reply: an object, an array, or the raw body as a string when it
    /// was not JSON.
    virtual void requestDidLoad(SocialRequest& request, const json::Value& result) { (void)request, (void)result; }
    virtual void requestDidFailWithError(SocialRequest& request, const platform::Error& error) {
        (void)request, (void)error;
    }
    /// False for a delegate that hears neither `requestDidLoad` nor
    /// `requestDidFailWithError`: the reply is then read but not decoded.
    virtual bool wantsDecodedResponse() const { return true; }
};

/// One call to the social network's programming interfaces: the parameters go
/// into the address (and, for POST, into a multipart body too), the answer is
/// decoded as JSON and reported to the delegate. A request is used once;
/// destroying it cancels it, and nothing more is reported.
class SocialRequest : private http::HttpRequestDelegate {
public:
    /// The multipart boundary of every POST body.
    static constexpr const char* kStringBoundary = "3i2ndDfv2rTHiSisAbouNdArYfORhtTPEefj3q2f";
    static constexpr const char* kUserAgent = "SocialConnect";
    static constexpr double kTimeoutSeconds = 180;
    /// The most reply bytes a request keeps; a longer reply fails.
    static constexpr uint64_t kMaximumBodySize = 16 * 1024 * 1024;

    /// A request with its fields set; nothing is sent before `connect`.
    static std::unique_ptr<SocialRequest> getRequestWithParams(SocialParams params, std::string httpMethod,
                                                               SocialRequestDelegate* delegate, std::string url,
                                                               http::NetworkThread& network);
    ~SocialRequest() override;
    SocialRequest(const SocialRequest&) = delete;
    SocialRequest& operator=(const SocialRequest&) = delete;

    /// `base` with the text parameters appended as "key=value" pairs: "&" when
    /// the base already has a query, else "?", written even when no pair follows.
    /// Keys stand as they are; values are escaped. Images and blobs are left out
    /// (with GET, each one writes "can not use GET to upload a file").
    static std::string serializeURL(const std::string& base, const SocialParams& params,
                                    const std::string& httpMethod = "GET");

    /// Sends the request.
    void connect();
    /// True while the request is in flight.
    bool loading() const { return connection_ != nullptr; }

    /// The multipart body of a POST.
    std::vector<uint8_t> generatePostBody() const;

    /// The decoded reply and the error it carries; both may be set (a reply object
    /// with "error_msg" fails and carries the object).
    struct Parsed {
        std::optional<json::Value> result;
        std::optional<platform::Error> error;
    };
    static Parsed parseJsonResponse(const std::vector<uint8_t>& body);

    const std::string& url() const { return url_; }
    const std::string& httpMethod() const { return httpMethod_; }
    const SocialParams& params() const { return params_; }
    SocialRequestDelegate* delegate() const { return delegate_.get(); }

private:
    SocialRequest(SocialParams params, std::string httpMethod, SocialRequestDelegate* delegate, std::string url,
                  http::NetworkThread& network);

    /// Reports the reply; a status of 400 or more is a failure even when the
    /// body decodes to a result (or does not decode at all).
    void handleResponseData(const std::vector<uint8_t>& body, int statusCode);
    void failWithError(const platform::Error& error);
    void finish();

    // http::HttpRequestDelegate
    void requestDidReceiveResponseHeaders(http::HttpRequest& request, const http::HttpHeaders& headers) override;
    void requestFinished(http::HttpRequest& request) override;
    void requestFailed(http::HttpRequest& request) override;

    WeakReference<SocialRequestDelegate> delegate_;
    std::string url_;
    std::string httpMethod_;
    SocialParams params_;
    http::NetworkThread& network_;
    std::unique_ptr<http::HttpRequest> connection_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

/// An error of the social network's domain with `userInfo` as its details.
platform::Error formError(int64_t code, json::Value userInfo);

}  // namespace strombel::info
