#pragma once

// JSON's errors are the platform's `Error` (platform/error.h) with JSON's own
// domains and codes ("JsonErrorDomain" of the decoder and encoder, the second
// codec's domain); this header names them here and bridges an error's details
// and the shared Value.
//
//   Error error = Error::make("JsonErrorDomain", -1, "Unexpected ']'.", {{"JsonAtIndexKey", 4u}});
//   error.description();            // JsonErrorDomain -1: Unexpected ']'. {JsonAtIndexKey=4}
//   Value details = errorDetails(error.userInfo);   // {"NSLocalizedDescription": ..., "JsonAtIndexKey": 4}

#include "json/value.h"
#include "platform/error.h"

namespace strombel::json {

using Error = platform::Error;
using platform::kLocalizedDescriptionKey;
using platform::kUnderlyingErrorKey;

/// The members of `object` as an error's details (none when it is no object).
/// Decimal numbers become their text.
platform::ErrorInfo errorInfo(const Value& object);
/// An error's details as an object Value.
Value errorDetails(const platform::ErrorInfo& info);

}  // namespace strombel::json
