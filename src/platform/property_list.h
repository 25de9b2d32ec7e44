#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/result.h"

namespace strombel::platform {

/// The domain of a property list that could not be written or read.
inline constexpr std::string_view kPropertyListErrorDomain = "PropertyListErrorDomain";
enum PropertyListError : int64_t {
    PropertyListNotWritten = 1,
    PropertyListNotRead = 2,
};

/// A property-list value: what an application's saved state holds. Unlike the
/// JSON `Value` it has byte blocks.
class PropertyValue {
public:
    using Data = std::vector<uint8_t>;
    using Array = std::vector<PropertyValue>;
    using Dictionary = std::map<std::string, PropertyValue>;
    using Storage = std::variant<std::monostate, bool, int64_t, double, std::string, Data, Array, Dictionary>;

    PropertyValue() = default;
    PropertyValue(bool value) : storage_(value) {}
    PropertyValue(int value) : storage_(int64_t(value)) {}
    PropertyValue(int64_t value) : storage_(value) {}
    PropertyValue(double value) : storage_(value) {}
    PropertyValue(const char* value) : storage_(std::string(value)) {}
    PropertyValue(std::string value) : storage_(std::move(value)) {}
    PropertyValue(Data value) : storage_(std::move(value)) {}
    PropertyValue(Array value) : storage_(std::move(value)) {}
    PropertyValue(Dictionary value) : storage_(std::move(value)) {}

    const Storage& storage() const { return storage_; }
    template <typename T>
    const T* get() const { return std::get_if<T>(&storage_); }
    template <typename T>
    T* get() { return std::get_if<T>(&storage_); }

    bool operator==(const PropertyValue& other) const = default;

private:
    Storage storage_;
};

/// Binary property lists ("bplist00") through libplist.
class PropertyList {
public:
    /// Containers nested deeper than this are refused on reading.
    static constexpr int kMaximumDepth = 64;

    /// The value as a binary property list; absent when libplist cannot write it.
    static std::optional<std::vector<uint8_t>> toBinary(const PropertyValue& value);
    /// The value as an XML property list.
    static std::optional<std::string> toXml(const PropertyValue& value);
    /// Reads a binary or XML property list. The object graph of a binary list is
    /// walked first, without recursion, and refused when it nests deeper than
    /// `kMaximumDepth` or refers outside itself; an XML list is checked the same way.
    /// A refused list is an error of kPropertyListErrorDomain, PropertyListNotRead.
    static Result<PropertyValue> read(const uint8_t* bytes, size_t length);
};

}  // namespace strombel::platform
