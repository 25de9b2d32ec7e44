#include "http/http_error.h"

#include <memory>

namespace strombel::http {

platform::Error httpError(HttpErrorCode code, std::string_view message) {
    return platform::Error::make(kHttpErrorDomain, static_cast<int64_t>(code), message);
}

platform::Error httpError(HttpErrorCode code, std::string_view message, int curlCode, std::string_view curlText) {
    auto underlying = std::make_shared<const platform::Error>(platform::Error::make(kCurlErrorDomain, curlCode, curlText));
    return platform::Error::make(kHttpErrorDomain, static_cast<int64_t>(code), message, {}, std::move(underlying));
}

bool isHttpError(const platform::Error& error, HttpErrorCode code) {
    return error.domain == kHttpErrorDomain && error.code == static_cast<int64_t>(code);
}

}  // namespace strombel::http
