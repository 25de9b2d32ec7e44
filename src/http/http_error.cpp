#include "http/http_error.h"

#include <memory>

namespace strombel::http {

json::Error httpError(HttpErrorCode code, std::string_view message) {
    return json::Error::make(kHttpErrorDomain, static_cast<int64_t>(code), message);
}

json::Error httpError(HttpErrorCode code, std::string_view message, int curlCode, std::string_view curlText) {
    auto underlying = std::make_shared<const json::Error>(json::Error::make(kCurlErrorDomain, curlCode, curlText));
    return json::Error::make(kHttpErrorDomain, static_cast<int64_t>(code), message, {}, std::move(underlying));
}

bool isHttpError(const json::Error& error, HttpErrorCode code) {
    return error.domain == kHttpErrorDomain && error.code == static_cast<int64_t>(code);
}

}  // namespace strombel::http
