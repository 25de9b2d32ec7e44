#pragma once

// The JSON decoder the system reads its own data with (pack descriptions, the
// store catalogue).
//
//   Result<Value> pack = JSONDecoder::decode(text);                 // strict
//   Result<Value> lax = JSONDecoder::decode(text, JsonParseAllowComments | JsonParseAllowTrailingText);
//
// The top level must be an array or an object. A failure is an Error of domain
// "JsonErrorDomain", code -1, whose details hold the message, "JsonAtIndexKey" (the
// byte offset where the error was found) and "JsonLineNumberKey" (1-based; CR LF
// counts as one line break). Only the first error of a parse is reported.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "json/result.h"
#include "json/value.h"

namespace strombel::json {

inline constexpr std::string_view kJsonErrorDomain = "JsonErrorDomain";
inline constexpr std::string_view kJsonAtIndexKey = "JsonAtIndexKey";
inline constexpr std::string_view kJsonLineNumberKey = "JsonLineNumberKey";

/// Parse option bits.
using JsonParseOptionFlags = uint64_t;
inline constexpr JsonParseOptionFlags JsonParseStrict = 0;
/// `// ...` to the end of the line and `/* ... */` count as white space.
inline constexpr JsonParseOptionFlags JsonParseAllowComments = 1;
/// U+0085, U+2028 and U+2029 count as line breaks in white space.
inline constexpr JsonParseOptionFlags JsonParseUnicodeLineBreaks = 2;
/// Illegal UTF-8 in strings and illegal \u escapes become U+FFFD instead of errors.
inline constexpr JsonParseOptionFlags JsonParseReplaceBadUnicode = 4;
/// Text after the top-level value is ignored.
inline constexpr JsonParseOptionFlags JsonParseAllowTrailingText = 8;
inline constexpr JsonParseOptionFlags JsonParseOptionsValid = 15;

/// The deepest nesting of arrays and objects the decoder accepts (deeper input is an
/// error, never a stack overflow).
inline constexpr size_t kJsonMaxNestingDepth = 1024;

/// A decoder serves one thread at a time and may read any number of texts in turn;
/// decode() makes a fresh one per call, so it may run on several threads at once.
/// Decoded Values are immutable and may be shared across threads.
class JSONDecoder {
public:
    /// Throws std::invalid_argument("Invalid parse options.") for options of 16 or more.
    explicit JSONDecoder(JsonParseOptionFlags parseOptions = JsonParseStrict);

    static JSONDecoder decoder() { return JSONDecoder(); }
    static JSONDecoder decoderWithParseOptions(JsonParseOptionFlags parseOptions) { return JSONDecoder(parseOptions); }

    /// Decodes `bytes` (UTF-8, by length: a NUL byte is just a byte).
    Result<Value> objectWithUTF8String(std::string_view bytes);
    Result<Value> objectWithData(const std::vector<uint8_t>& data) {
        return objectWithUTF8String({reinterpret_cast<const char*>(data.data()), data.size()});
    }
    Result<Value> parseUTF8String(std::string_view bytes) { return objectWithUTF8String(bytes); }
    Result<Value> parseJSONData(const std::vector<uint8_t>& data) { return objectWithData(data); }
    // There are no mutable twins of these: a decoded Value is immutable and shared;
    // ArrayBuilder and ObjectBuilder start from one to make a changed copy.

    /// Lets go of the scratch space kept between parses.
    void clearCache();
    JsonParseOptionFlags parseOptions() const { return options_; }

    /// One parse with a fresh decoder.
    static Result<Value> decode(std::string_view text, JsonParseOptionFlags parseOptions = JsonParseStrict);

private:
    JsonParseOptionFlags options_;
    // Kept between parses so a decoder that reads many texts reuses them.
    std::vector<Value> stack_;
    std::string tokenBuffer_;
};

/// The decoder's everyday entry point: `JSONDecoder::decode(text, parseOptions)`.
inline Result<Value> objectFromJSONString(std::string_view text, JsonParseOptionFlags parseOptions = JsonParseStrict) {
    return JSONDecoder::decode(text, parseOptions);
}
inline Result<Value> objectFromJSONStringWithParseOptions(std::string_view text, JsonParseOptionFlags parseOptions) {
    return JSONDecoder::decode(text, parseOptions);
}
inline Result<Value> objectFromJSONData(const std::vector<uint8_t>& data, JsonParseOptionFlags parseOptions = JsonParseStrict) {
    return JSONDecoder(parseOptions).objectWithData(data);
}
inline Result<Value> objectFromJSONDataWithParseOptions(const std::vector<uint8_t>& data, JsonParseOptionFlags parseOptions) {
    return objectFromJSONData(data, parseOptions);
}

}  // namespace strombel::json
