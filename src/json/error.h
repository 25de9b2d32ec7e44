#pragma once

// The error value every subsystem returns: a domain, a code, details and the error
// that caused it.
//
//   Error error = Error::make("JsonErrorDomain", -1, "Unexpected ']'.",
//                             {{"JsonAtIndexKey", Value(4u)}});
//   error.message();      // "Unexpected ']'."
//   error.description();  // JsonErrorDomain -1: Unexpected ']'. {JsonAtIndexKey=4}

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "json/value.h"

namespace strombel::json {

/// The details key of an error's message.
inline constexpr std::string_view kLocalizedDescriptionKey = "NSLocalizedDescription";
/// The details key under which description() lists the underlying error.
inline constexpr std::string_view kUnderlyingErrorKey = "NSUnderlyingError";

struct Error {
    std::string domain;
    int64_t code = 0;
    /// An object Value; the message is under kLocalizedDescriptionKey.
    Value userInfo = Value::emptyObject();
    /// The error this one grew out of, or null.
    std::shared_ptr<const Error> underlying;

    /// An error whose details hold `message` and then `extra` members.
    static Error make(std::string_view domain, int64_t code, std::string_view message,
                      std::initializer_list<std::pair<std::string_view, Value>> extra = {},
                      std::shared_ptr<const Error> underlying = nullptr);

    /// The message (kLocalizedDescriptionKey of the details), or "" when there is none.
    std::string message() const;
    /// One readable line: domain, code, message, the other details, and the
    /// underlying errors after "caused by".
    std::string description() const;

    friend bool operator==(const Error& a, const Error& b);
};

}  // namespace strombel::json
