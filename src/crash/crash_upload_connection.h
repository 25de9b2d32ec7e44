#pragma once

// Inside the crash upload client: the upload in flight.

#include <string>

#include "crash/crash_upload_manager.h"
#include "http/http_request.h"

namespace strombel::crash {

/// The upload in flight: the HTTP client's messages, passed on as the
/// connection events of the client. Redirects (301, 302, 303, 307, 308) are
/// followed by the request itself, resent with its method, headers and body.
class CrashUploadManager::Connection final : public http::HttpRequestDelegate {
public:
    Connection(CrashUploadManager& manager, std::string url, http::NetworkThread& network)
        : manager_(manager), request_(std::move(url), network) {
        request_.setDelegate(this);
    }
    http::HttpRequest& request() { return request_; }

private:
    void requestDidReceiveResponseHeaders(http::HttpRequest& request, const http::HttpHeaders&) override {
        manager_.connectionDidReceiveResponse(request.responseStatusCode());
    }
    void requestFinished(http::HttpRequest& request) override {
        manager_.connectionDidReceiveResponse(request.responseStatusCode());
        manager_.connectionDidReceiveData(request.responseData());
        manager_.connectionDidFinishLoading();
    }
    void requestFailed(http::HttpRequest& request) override {
        manager_.connectionDidFailWithError(request.error().value_or(
            http::httpError(http::HttpErrorCode::ConnectionFailure, "The upload failed")));
    }

    CrashUploadManager& manager_;
    http::HttpRequest request_;
};

}  // namespace strombel::crash
