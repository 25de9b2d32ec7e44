#pragma once

// The JSON encoder: Values to compact or pretty-printed UTF-8 text.
//
//   Result<std::string> text = JSONString(pack);                        // compact
//   Result<std::string> pretty = JSONString(pack, JsonSerializePretty);  // sorted keys, two-space indent
//
// Doubles are written in their shortest form that reads back to the same double
// (with ".0" when that form looks whole, so they read back as doubles). Failures
// are Errors of domain "JsonErrorDomain", code -1.

#include <cstdint>
#include <string>
#include <string_view>

#include "json/result.h"
#include "json/value.h"

namespace strombel::json {

/// Serialize option bits.
using JsonSerializeOptionFlags = uint64_t;
inline constexpr JsonSerializeOptionFlags JsonSerializeOptionNone = 0;
/// Newlines, two spaces of indentation per level, ": " after keys, keys sorted.
inline constexpr JsonSerializeOptionFlags JsonSerializePretty = 1;
/// Every non-ASCII character written as \u escapes (surrogate pairs above U+FFFF).
inline constexpr JsonSerializeOptionFlags JsonSerializeEscapeNonASCII = 2;
/// `/` written as `\/`.
inline constexpr JsonSerializeOptionFlags JsonSerializeEscapeSlash = 16;

/// Encode option word: the low three bits are the result kind; the rest are checks.
using JsonEncodeOptionType = uint64_t;
inline constexpr JsonEncodeOptionType JsonEncodeAsData = 1;
inline constexpr JsonEncodeOptionType JsonEncodeAsString = 2;
inline constexpr JsonEncodeOptionType JsonEncodeRequireCollection = 8;
inline constexpr JsonEncodeOptionType JsonEncodeRequireString = 16;
inline constexpr JsonEncodeOptionType JsonEncodeOmitQuotes = 32;

class JsonSerializer {
public:
    /// Writes `object`. Both result kinds give the UTF-8 bytes in a std::string.
    static Result<std::string> serializeObject(const Value& object, JsonSerializeOptionFlags options,
                                               JsonEncodeOptionType encodeOption);
};

/// An array or object as JSON text (anything else is refused).
Result<std::string> JSONString(const Value& collection, JsonSerializeOptionFlags options = JsonSerializeOptionNone);
inline Result<std::string> JSONStringWithOptions(const Value& collection, JsonSerializeOptionFlags options) {
    return JSONString(collection, options);
}
// The data forms hand out the same UTF-8 bytes as the string forms. A Value holds
// only JSON's own kinds, so there is no formatter for objects the encoder cannot write.
inline Result<std::string> JSONData(const Value& collection) { return JSONString(collection); }
inline Result<std::string> JSONDataWithOptions(const Value& collection, JsonSerializeOptionFlags options) {
    return JSONString(collection, options);
}

/// One string as a JSON string, with or without its quotes.
Result<std::string> JSONStringWithString(std::string_view text, JsonSerializeOptionFlags options = JsonSerializeOptionNone,
                                         bool includeQuotes = true);

}  // namespace strombel::json
