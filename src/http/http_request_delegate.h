#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "http/http_headers.h"

namespace strombel::http {

class HttpRequest;

/// Told of a request's steps, on the main loop, in the order they happened. Every
/// message is optional. A request ends with exactly one of `requestFinished` and
/// `requestFailed`, unless its delegates were cleared or it was destroyed first;
/// then nothing more arrives. The request may be destroyed from inside any message.
///
/// Three messages share the first part of their names (`request:didReceiveResponseHeaders:`,
/// `request:willRedirectToURL:`, `request:didReceiveData:`); they carry their second
/// part too, so that overriding one does not hide the others.
class HttpRequestDelegate {
public:
    virtual ~HttpRequestDelegate() = default;

    /// The request went to the network thread.
    virtual void requestStarted(HttpRequest& request) { (void)request; }
    /// An answer's status and headers arrived (once per redirect step).
    virtual void requestDidReceiveResponseHeaders(HttpRequest& request, const HttpHeaders& headers) {
        (void)request, (void)headers;
    }
    /// The request is about to follow a redirect to `url`.
    virtual void requestWillRedirectToURL(HttpRequest& request, const std::string& url) { (void)request, (void)url; }
    /// The request followed a redirect; `request.url()` is the new address.
    virtual void requestRedirected(HttpRequest& request) { (void)request; }
    /// The next piece of the body, inflated. The request keeps the whole body as
    /// well. `data` is valid only during the call.
    virtual void requestDidReceiveData(HttpRequest& request, std::span<const uint8_t> data);
    /// The server answered 401; the request fails next with the authentication error.
    virtual void authenticationNeededForRequest(HttpRequest& request) { (void)request; }
    /// A proxy answered 407; the request fails next with the authentication error.
    virtual void proxyAuthenticationNeededForRequest(HttpRequest& request) { (void)request; }
    /// The whole answer arrived, whatever its status.
    virtual void requestFinished(HttpRequest& request) { (void)request; }
    /// The request failed; `request.error()` says why.
    virtual void requestFailed(HttpRequest& request) { (void)request; }

private:
    friend class HttpRequest;
    // Set by the default `requestDidReceiveData`: this delegate does not read the
    // pieces, so the network thread stops copying them.
    bool ignoresData_ = false;
};

}  // namespace strombel::http
