#pragma once

// The second JSON codec, used for server responses: numbers become decimal numbers
// (Kind::Decimal, their exact text), errors gather in a trace where each error leads
// through `underlying` to the one before it, and nesting is limited (512 by default).
//
//   JsonText json;
//   Result<Value> response = json.objectWithString(body);
//   if (!response.ok()) STROMBEL_LOG_WARN("{}", response.error().description());
//
// Input is read by length: a NUL byte is an ordinary (and, outside strings, wrong) byte.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "json/result.h"
#include "json/value.h"

namespace strombel::json {

inline constexpr std::string_view kJsonTextErrorDomain = "org.quenholt.JSON.ErrorDomain";

/// Codes of the second codec's errors.
enum JsonTextErrorCode : int64_t {
    JsonTextErrorUnsupported = 1,        // a value the writer cannot write
    JsonTextErrorNumber = 2,             // malformed number
    JsonTextErrorParse = 3,              // parse error
    JsonTextErrorFragment = 4,           // top level is not an array or object
    JsonTextErrorControlCharacter = 5,   // raw control character (or bad UTF-8) in a string
    JsonTextErrorUnicode = 6,            // bad \u escape
    JsonTextErrorDepth = 7,              // nesting deeper than maxDepth
    JsonTextErrorEscape = 8,             // bad escape
    JsonTextErrorTrailingComma = 9,      // trailing comma
    JsonTextErrorTrailingGarbage = 10,   // text after the value
    JsonTextErrorEndOfInput = 11,        // end of input
    JsonTextErrorNoInput = 12,           // no input
};

inline constexpr size_t kJsonTextDefaultMaxDepth = 512;
/// Nesting never goes deeper than this, whatever maxDepth says (0 included).
inline constexpr size_t kJsonTextDepthCeiling = 4096;

class JsonTextBase {
public:
    /// The nesting limit; 0 means the ceiling (kJsonTextDepthCeiling) alone.
    size_t maxDepth() const { return maxDepth_; }
    void setMaxDepth(size_t maxDepth) { maxDepth_ = maxDepth; }
    /// The errors of the last failed call, innermost first; the last describes the
    /// outermost failure and leads through `underlying` to the others.
    const std::vector<Error>& errorTrace() const { return errorTrace_; }
    void clearErrorTrace() { errorTrace_.clear(); }

protected:
    void addErrorWithCode(JsonTextErrorCode code, std::string description);
    /// Raises the depth; false (with a depth error) when that goes past the limit.
    bool enterCollection();
    void leaveCollection() { --depth_; }
    /// The last error of the trace.
    Error lastError() const;

    std::vector<Error> errorTrace_;
    size_t depth_ = 0;
    size_t maxDepth_ = kJsonTextDefaultMaxDepth;
};

class JsonTextParser : public JsonTextBase {
public:
    /// The array or object `text` holds; a scalar top level fails with code 4.
    Result<Value> objectWithString(std::string_view text);
    /// Any JSON value.
    Result<Value> fragmentWithString(std::string_view text);

private:
    bool scanValue(Value* value);
    bool scanRestOfArray(Value* value);
    bool scanRestOfDictionary(Value* value);
    bool scanRestOfString(Value* value);
    bool scanUnicodeChar(uint32_t* codePoint);
    bool scanHexQuad(uint32_t* value);
    bool scanNumber(Value* value);
    bool scanRestOfTrue(Value* value) { return scanLiteral("rue", Value(true), "Expected 'true'", value); }
    bool scanRestOfFalse(Value* value) { return scanLiteral("alse", Value(false), "Expected 'false'", value); }
    bool scanRestOfNull(Value* value) { return scanLiteral("ull", Value(), "Expected 'null'", value); }
    bool scanLiteral(std::string_view rest, Value literal, const char* error, Value* value);
    void skipWhiteSpace();
    bool scanIsAtEnd() const { return c_ >= end_; }

    const unsigned char* c_ = nullptr;
    const unsigned char* end_ = nullptr;
    std::string buffer_;
    std::vector<Value> stack_;
};

class JsonTextWriter : public JsonTextBase {
public:
    /// An array or object as text; anything else fails with code 4.
    Result<std::string> stringWithObject(const Value& value);
    /// Any value as text.
    Result<std::string> stringWithFragment(const Value& value);

    bool humanReadable() const { return humanReadable_; }
    void setHumanReadable(bool humanReadable) { humanReadable_ = humanReadable; }
    bool sortKeys() const { return sortKeys_; }
    void setSortKeys(bool sortKeys) { sortKeys_ = sortKeys; }

private:
    bool appendValue(const Value& value, std::string& out);
    bool appendArray(const Value& value, std::string& out);
    bool appendDictionary(const Value& value, std::string& out);
    void appendString(std::string_view text, std::string& out);
    void indent(std::string& out) const;

    bool humanReadable_ = false;
    bool sortKeys_ = false;
};

/// Parser and writer in one; failures keep a copy of the failing part's trace here.
class JsonText : public JsonTextBase {
public:
    JsonText() { setMaxDepth(kJsonTextDefaultMaxDepth); }

    Result<Value> objectWithString(std::string_view text) { return objectWithString(text, false); }
    Result<Value> objectWithString(std::string_view text, bool allowScalar);
    Result<Value> fragmentWithString(std::string_view text) { return objectWithString(text, true); }
    Result<std::string> stringWithObject(const Value& value) { return stringWithObject(value, false); }
    Result<std::string> stringWithObject(const Value& value, bool allowScalar);
    Result<std::string> stringWithFragment(const Value& value) { return stringWithObject(value, true); }

    size_t maxDepth() const { return parser_.maxDepth(); }
    void setMaxDepth(size_t maxDepth) {
        JsonTextBase::setMaxDepth(maxDepth);
        parser_.setMaxDepth(maxDepth);
        writer_.setMaxDepth(maxDepth);
    }
    bool humanReadable() const { return writer_.humanReadable(); }
    void setHumanReadable(bool humanReadable) { writer_.setHumanReadable(humanReadable); }
    bool sortKeys() const { return writer_.sortKeys(); }
    void setSortKeys(bool sortKeys) { writer_.setSortKeys(sortKeys); }

private:
    JsonTextParser parser_;
    JsonTextWriter writer_;
};

/// One-call forms with a fresh parser or writer; a failure is also logged with its trace.
Result<Value> JSONValue(std::string_view text);
Result<Value> JSONFragmentValue(std::string_view text);
Result<std::string> JSONRepresentation(const Value& value);
Result<std::string> JSONFragment(const Value& value);

}  // namespace strombel::json
