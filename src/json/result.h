#pragma once

// JSON's results are the platform's `Result` (platform/result.h).
//
//   Result<Value> pack = JSONDecoder::decode(text);
//   if (!pack.ok()) { STROMBEL_LOG_ERROR("{}", pack.error().description()); return; }
//   use(pack.value());

#include "json/error.h"
#include "platform/result.h"

namespace strombel::json {

template <typename T>
using Result = platform::Result<T>;

}  // namespace strombel::json
