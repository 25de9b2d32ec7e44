#pragma once

// The errors of the HTTP client: one domain, a code per kind of failure, and the
// transport library's own text as the underlying error where it had one.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace strombel::http {

/// The domain of every error a request reports.
inline constexpr std::string_view kHttpErrorDomain = "HttpRequestErrorDomain";
/// The domain of the underlying error that carries libcurl's code and text.
inline constexpr std::string_view kCurlErrorDomain = "CurlErrorDomain";

enum class HttpErrorCode : int64_t {
    /// The connection failed or the server's answer was not valid HTTP.
    ConnectionFailure = 1,
    /// No byte moved for the request's time-out, connecting included.
    TimedOut = 2,
    /// The server (401) or a proxy (407) asked for credentials.
    Authentication = 3,
    /// The request was cancelled.
    Cancelled = 4,
    /// The address is not an http or https address.
    UnsupportedAddress = 5,
    /// The answer is larger than the request may keep or the disk can hold.
    TooLarge = 6,
    /// The server's certificate is not trusted or does not name the host.
    Tls = 7,
    /// Too many redirects, or a redirect to an address that is not http or https.
    Redirect = 8,
    /// A gzip or deflate body that does not inflate.
    BadCompressedData = 9,
    /// A file to send or a download destination could not be read or written.
    File = 10,
};

/// An error of the HTTP client's domain.
platform::Error httpError(HttpErrorCode code, std::string_view message);

/// An error of the HTTP client's domain with libcurl's code and text underneath.
platform::Error httpError(HttpErrorCode code, std::string_view message, int curlCode, std::string_view curlText);

/// True when `error` is the HTTP client's error with `code`.
bool isHttpError(const platform::Error& error, HttpErrorCode code);

}  // namespace strombel::http
