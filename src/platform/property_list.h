#pragma once

// Property lists (binary and XML) to and from the shared Value, over libplist.
// Dictionaries become objects (members in the file's order), arrays arrays,
// strings strings, integers Int (signed 64-bit, as stored), reals and dates
// doubles (dates as seconds since 2001-01-01 00:00 UTC), booleans booleans, data
// strings holding its bytes, and UIDs unsigned integers. Text that is not UTF-8
// reads with U+FFFD in place of each bad sequence.
//
//   auto settings = propertyListFromData(bytes);              // Result<Value>
//   auto bytes = binaryPropertyListFromValue(Value::object({{"key", "value"}}));

#include <cstdint>
#include <span>
#include <vector>

#include "json/result.h"
#include "json/value.h"

namespace strombel::platform {

/// The domain of the helper's errors.
inline constexpr std::string_view kPropertyListErrorDomain = "PropertyListErrorDomain";

/// The most bytes a property list may have to be read (larger ones are refused
/// before parsing), and the deepest nesting it may have.
inline constexpr size_t kMaximumPropertyListSize = 16 * 1024 * 1024;
inline constexpr int kMaximumPropertyListDepth = 128;

/// A binary or XML property list of any kind at its top. Empty, damaged, too
/// large or too deeply nested input is an error.
json::Result<json::Value> propertyListFromData(std::span<const uint8_t> bytes);

enum class PropertyListFormat { Binary, Xml };

/// The property list of `value`. Nulls have no form in a property list and are
/// an error; so are strings holding a NUL byte or bytes that are not UTF-8. Decimal numbers are written as reals.
json::Result<std::vector<uint8_t>> propertyListFromValue(const json::Value& value, PropertyListFormat format);

inline json::Result<std::vector<uint8_t>> binaryPropertyListFromValue(const json::Value& value) {
    return propertyListFromValue(value, PropertyListFormat::Binary);
}

}  // namespace strombel::platform
