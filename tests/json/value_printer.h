#pragma once

// Lets GoogleTest print Values and Errors in failure messages.

#include <ostream>

#include "json/json_text.h"
#include "json/value.h"

namespace strombel::json {

inline void PrintTo(const Value& value, std::ostream* out) {
    JsonTextWriter writer;
    const Result<std::string> text = writer.stringWithFragment(value);
    *out << (text.ok() ? text.value() : "<" + std::string(kindName(value.kind())) + ">");
}

inline void PrintTo(const Error& error, std::ostream* out) { *out << error.description(); }

}  // namespace strombel::json
