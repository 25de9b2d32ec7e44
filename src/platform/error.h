#pragma once

// The error value every library returns: a domain, a code, details and the error
// that caused it. `Result<T>` (platform/result.h) carries it.
//
//   Error error = Error::make("JsonErrorDomain", -1, "Unexpected ']'.", {{"JsonAtIndexKey", 4u}});
//   error.message();      // "Unexpected ']'."
//   error.description();  // JsonErrorDomain -1: Unexpected ']'. {JsonAtIndexKey=4}
//
// A domain names who made the error ("POSIXErrorDomain", "JsonErrorDomain", a
// library's own); a code means something only within its domain.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace strombel::platform {

/// The details key of an error's message.
inline constexpr std::string_view kLocalizedDescriptionKey = "NSLocalizedDescription";
/// The details key under which description() lists the underlying error.
inline constexpr std::string_view kUnderlyingErrorKey = "NSUnderlyingError";

class ErrorInfo;

/// One detail of an error: null, a boolean, a number, a text, or a list or a
/// dictionary of details (what a server said when it refused). Reading never
/// fails: a wrong kind gives an empty default.
class ErrorValue {
public:
    enum class Kind : uint8_t { Null, Bool, Int, UInt, Double, String, Array, Object };

    ErrorValue() = default;
    ErrorValue(std::nullptr_t) {}
    ErrorValue(bool value) : storage_(value) {}
    ErrorValue(int value) : storage_(int64_t{value}) {}
    ErrorValue(long value) : storage_(int64_t{value}) {}
    ErrorValue(long long value) : storage_(int64_t{value}) {}
    ErrorValue(unsigned value) : storage_(uint64_t{value}) {}
    ErrorValue(unsigned long value) : storage_(uint64_t{value}) {}
    ErrorValue(unsigned long long value) : storage_(uint64_t{value}) {}
    ErrorValue(double value) : storage_(value) {}
    ErrorValue(const char* text) : storage_(std::string(text ? text : "")) {}
    ErrorValue(std::string_view text) : storage_(std::string(text)) {}
    ErrorValue(std::string text) : storage_(std::move(text)) {}
    static ErrorValue array(std::vector<ErrorValue> items);
    static ErrorValue object(ErrorInfo members);

    Kind kind() const noexcept { return static_cast<Kind>(storage_.index()); }
    bool isNull() const noexcept { return kind() == Kind::Null; }

    /// Booleans as they are; numbers are true when not zero; anything else `fallback`.
    bool asBool(bool fallback = false) const noexcept;
    /// Numbers converted (doubles truncated toward zero and clamped to the range);
    /// booleans as 0 or 1; anything else `fallback`.
    int64_t asInt64(int64_t fallback = 0) const noexcept;
    uint64_t asUInt64(uint64_t fallback = 0) const noexcept;
    double asDouble(double fallback = 0.0) const noexcept;
    /// The text of a string; anything else `fallback`.
    std::string asString(std::string_view fallback = {}) const;
    std::string_view asStringView(std::string_view fallback = {}) const noexcept;
    /// The items of a list (empty for anything else).
    std::span<const ErrorValue> items() const noexcept;
    /// The members of a dictionary (empty for anything else).
    const ErrorInfo& members() const noexcept;

    /// Deep equality; integers compare by value whether signed or unsigned.
    friend bool operator==(const ErrorValue& a, const ErrorValue& b) noexcept;

private:
    using Items = std::shared_ptr<const std::vector<ErrorValue>>;
    using Members = std::shared_ptr<const ErrorInfo>;
    std::variant<std::monostate, bool, int64_t, uint64_t, double, std::string, Items, Members> storage_;
};

/// An error's details: keys and values in the order they were first given; setting
/// an existing key replaces its value in place.
class ErrorInfo {
public:
    using Member = std::pair<std::string, ErrorValue>;

    ErrorInfo() = default;
    ErrorInfo(std::initializer_list<std::pair<std::string_view, ErrorValue>> members);

    ErrorInfo& set(std::string_view key, ErrorValue value);
    /// The value for `key`, or a null value when absent.
    const ErrorValue& operator[](std::string_view key) const noexcept;
    /// The value for `key`, or nullptr.
    const ErrorValue* find(std::string_view key) const noexcept;
    bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }
    size_t size() const noexcept { return members_.size(); }
    bool empty() const noexcept { return members_.empty(); }
    auto begin() const noexcept { return members_.begin(); }
    auto end() const noexcept { return members_.end(); }

    /// The same keys with equal values, in any order.
    friend bool operator==(const ErrorInfo& a, const ErrorInfo& b) noexcept;

private:
    std::vector<Member> members_;
};

struct Error {
    std::string domain;
    int64_t code = 0;
    /// The message is under kLocalizedDescriptionKey.
    ErrorInfo userInfo;
    /// The error this one grew out of, or null.
    std::shared_ptr<const Error> underlying;

    /// An error whose details hold `message` and then `extra` members.
    static Error make(std::string_view domain, int64_t code, std::string_view message,
                      std::initializer_list<std::pair<std::string_view, ErrorValue>> extra = {},
                      std::shared_ptr<const Error> underlying = nullptr);
    /// An error whose details hold `message`, caused by `cause`.
    static Error causedBy(std::string_view domain, int64_t code, std::string_view message, Error cause) {
        return make(domain, code, message, {}, std::make_shared<const Error>(std::move(cause)));
    }

    /// The message (kLocalizedDescriptionKey of the details), or "" when there is none.
    std::string message() const;
    /// One readable line: domain, code, message, the other details, and the
    /// underlying errors after "caused by".
    std::string description() const;

    friend bool operator==(const Error& a, const Error& b);
};

}  // namespace strombel::platform
