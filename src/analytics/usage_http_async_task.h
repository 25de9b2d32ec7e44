#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "json/error.h"
#include "json/value.h"
#include "platform/error.h"

namespace strombel::http {
class HttpRequest;
}
namespace strombel::platform {
class MainLoop;
}

namespace strombel::analytics {

using Bytes = std::vector<uint8_t>;

/// An answer as the upload code sees it: status, headers with lower-cased names,
/// body and error.
class UsageHTTPResponse {
public:
    Bytes body;
    int32_t statusCode = 0;
    std::optional<platform::Error> error;
    std::map<std::string, std::string> headers;

    /// Status 200 to 399.
    bool isSuccess() const { return statusCode >= 200 && statusCode <= 399; }
    bool isError() const { return !isSuccess(); }
    std::string description() const;
    /// Writes a property-list-like archive ("statusCode", "body", "headers") to
    /// "usageResponse%d" in the analytics folder; the path, or nothing.
    std::optional<std::filesystem::path> saveToDisk(int64_t secondsSince1970) const;
    static std::optional<UsageHTTPResponse> readFromURL(const std::filesystem::path& path);
    static std::filesystem::path filePath(int64_t secondsSince1970);
};

class UsageHttpAsyncTask;

/// Told how an upload ended, on the main loop. Every message is optional.
class UsageHttpAsyncTaskDelegate {
public:
    virtual ~UsageHttpAsyncTaskDelegate() = default;
    virtual void requestSuccessful(const std::shared_ptr<UsageHttpAsyncTask>& task, const UsageHTTPResponse& response) {
        (void)task, (void)response;
    }
    virtual void requestDidFail(const std::shared_ptr<UsageHttpAsyncTask>& task, const UsageHTTPResponse& response) {
        (void)task, (void)response;
    }
    virtual void requestDidCancel(const std::shared_ptr<UsageHttpAsyncTask>& task, const UsageHTTPResponse& response) {
        (void)task, (void)response;
    }
};

/// One asynchronous HTTP request on the shared HTTP client: no cache, no cookies,
/// redirects followed, a whole-second time-out and a 1 MiB body limit. It is set
/// up on any thread and runs on the environment's main loop; its delegate hears
/// the end there, never after a cancel. A user and password in the address are
/// not sent up front: they answer the server's authentication challenge (401),
/// once. A challenge without them, or one that refuses them, is cancelled: the
/// request fails with the last network error cleared.
class UsageHttpAsyncTask : public std::enable_shared_from_this<UsageHttpAsyncTask> {
public:
    /// The largest answer body kept; a larger one fails the request.
    static constexpr uint64_t kMaximumResponseBodySize = 1024 * 1024;

    static std::shared_ptr<UsageHttpAsyncTask> get(const std::string& url, std::weak_ptr<UsageHttpAsyncTaskDelegate> delegate);
    static std::shared_ptr<UsageHttpAsyncTask> get(const std::string& url,
                                                   const std::map<std::string, std::string>& headerFields,
                                                   std::weak_ptr<UsageHttpAsyncTaskDelegate> delegate);
    static std::shared_ptr<UsageHttpAsyncTask> post(const std::string& url, const Bytes& body,
                                                    std::weak_ptr<UsageHttpAsyncTaskDelegate> delegate);
    static std::shared_ptr<UsageHttpAsyncTask> post(const std::string& url, const Bytes& body,
                                                    const std::map<std::string, std::string>& headerFields,
                                                    std::weak_ptr<UsageHttpAsyncTaskDelegate> delegate);
    /// Time-out 20 s, cache policy 4; starts at once when asked.
    static std::shared_ptr<UsageHttpAsyncTask> sendMethod(const std::string& method, const std::string& url,
                                                          const Bytes& body,
                                                          const std::map<std::string, std::string>& headerFields,
                                                          std::weak_ptr<UsageHttpAsyncTaskDelegate> delegate,
                                                          bool startImmediately = true, double timeoutInterval = 20,
                                                          int cachePolicy = 4);
    ~UsageHttpAsyncTask();

    /// Starts the request on the environment's main loop (posted there).
    void startInRunLoop();
    /// Cancels the request (on the main loop); the delegate hears the cancel.
    void cancelTask();

    std::string tag;
    json::Value taskParams = json::Value::emptyObject();
    uint64_t backgroundTask = 0;

    const std::string& url() const { return url_; }
    const std::string& method() const { return method_; }

    // "%@=%@" pairs joined by "&"; the reverse (a part without "=" maps to "").
    static std::string queryDictionaryToString(const std::map<std::string, std::string>& query);
    static std::map<std::string, std::string> stringToQueryDictionary(const std::string& text);
    static std::string urlWithProtocol(const std::string& protocol, const std::string& host, int port,
                                       const std::string& path, const std::string& query);
    static std::string urlWithProtocol(const std::string& protocol, const std::string& host, int port,
                                       const std::string& path, const std::map<std::string, std::string>& query);

private:
    class ConnectionDelegate;
    UsageHttpAsyncTask() = default;
    void startOnLoop();
    void finish(int kind, const UsageHTTPResponse& response);
    void authenticationChallenged(const UsageHTTPResponse& response);

    std::string method_;
    std::string url_;
    std::string requestURL_;  // url_ without its user and password
    struct Credential {
        std::string user;
        std::string password;
    };
    std::optional<Credential> credential_;
    bool credentialSent_ = false;  // main loop
    Bytes body_;
    std::map<std::string, std::string> headers_;
    double timeoutSeconds_ = 20;
    std::weak_ptr<UsageHttpAsyncTaskDelegate> delegate_;
    platform::MainLoop* loop_ = nullptr;
    // Main loop only.
    std::unique_ptr<ConnectionDelegate> connectionDelegate_;
    std::unique_ptr<http::HttpRequest> connection_;
    bool done_ = false;
};

}  // namespace strombel::analytics
