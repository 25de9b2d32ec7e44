// Hostile bytes as the social network's reply. Decoding must answer; an error is
// always of the social network's domain, and a result is an object or an array.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "info/social_request.h"

using namespace strombel::info;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> body(data, data + size);
    const SocialRequest::Parsed parsed = SocialRequest::parseJsonResponse(body);
    if (parsed.error && parsed.error->domain != kSocialErrorDomain) std::abort();
    if (parsed.result && !parsed.result->isObject() && !parsed.result->isArray()) std::abort();
    return 0;
}
