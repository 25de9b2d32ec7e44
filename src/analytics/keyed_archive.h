#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/result.h"

namespace strombel::analytics {

/// A date in an archive: seconds since 1970.
struct ArchiveDate {
    double seconds = 0;
    bool operator==(const ArchiveDate&) const = default;
};

/// One value of a keyed archive: nil, a boolean, an integer, a double, a text, a
/// byte block, a date, a list, a map from text, or an object (a class name and
/// its fields by key).
class ArchiveValue {
public:
    using Bytes = std::vector<uint8_t>;
    using Array = std::vector<ArchiveValue>;
    using Dictionary = std::map<std::string, ArchiveValue>;
    struct Object {
        std::string className;
        Dictionary fields;
        bool operator==(const Object& other) const;  // below: the fields' type is complete there
    };
    using Storage = std::variant<std::monostate, bool, int64_t, double, std::string, Bytes, ArchiveDate, Array,
                                 Dictionary, Object>;

    ArchiveValue() = default;
    ArchiveValue(bool value) : storage_(value) {}
    ArchiveValue(int value) : storage_(int64_t{value}) {}
    ArchiveValue(int64_t value) : storage_(value) {}
    ArchiveValue(uint64_t value) : storage_(static_cast<int64_t>(value)) {}
    ArchiveValue(double value) : storage_(value) {}
    ArchiveValue(const char* value) : storage_(std::string(value)) {}
    ArchiveValue(std::string value) : storage_(std::move(value)) {}
    ArchiveValue(Bytes value) : storage_(std::move(value)) {}
    ArchiveValue(ArchiveDate value) : storage_(value) {}
    ArchiveValue(Array value) : storage_(std::move(value)) {}
    ArchiveValue(Dictionary value) : storage_(std::move(value)) {}
    ArchiveValue(Object value) : storage_(std::move(value)) {}

    const Storage& storage() const { return storage_; }
    bool isNil() const { return std::holds_alternative<std::monostate>(storage_); }
    template <typename T>
    const T* get() const { return std::get_if<T>(&storage_); }

    /// A field of an object or an entry of a map; null when absent.
    const ArchiveValue* field(const std::string& key) const;
    /// Typed readers of fields; the fallback when absent or of another type.
    std::string text(const std::string& key, const std::string& fallback = {}) const;
    int64_t integer(const std::string& key, int64_t fallback = 0) const;
    double real(const std::string& key, double fallback = 0) const;
    bool flag(const std::string& key, bool fallback = false) const;
    std::optional<double> date(const std::string& key) const;
    Bytes bytes(const std::string& key) const;
    /// A text field; absent when missing or not a text.
    std::optional<std::string> optionalText(const std::string& key) const;

    /// A text, or nil for none; a date, or nil for none.
    static ArchiveValue ofOptional(const std::optional<std::string>& text);
    static ArchiveValue ofOptionalDate(const std::optional<double>& seconds);

    bool operator==(const ArchiveValue& other) const = default;

private:
    Storage storage_;
};

inline bool ArchiveValue::Object::operator==(const Object& other) const {
    return className == other.className && fields == other.fields;
}

/// The domain of an archive that could not be read (code 1; the message says why).
inline constexpr std::string_view kKeyedArchiveErrorDomain = "KeyedArchiveErrorDomain";

/// The client's one archive format, for every ".archive" file, the block index and
/// the saved response: "UKA1", one value, and the CRC-32 of everything before it.
/// Reading checks every length against the bytes left, the nesting depth and the
/// checksum, so damaged or hostile bytes give nothing rather than a wrong value.
class KeyedArchive {
public:
    static constexpr int kMaximumDepth = 32;

    static std::vector<uint8_t> encode(const ArchiveValue& value);
    /// The value, or an error of kKeyedArchiveErrorDomain that says what is wrong.
    static platform::Result<ArchiveValue> decode(std::span<const uint8_t> bytes);
};

}  // namespace strombel::analytics
