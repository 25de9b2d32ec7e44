#pragma once

// src/json/: the shared Value, the JSON decoder and encoder, and the second codec.
// May include: logging.

// The one value type for JSON and property-like data.
//
//   Value pack = JSONDecoder::decode(text).value();
//   std::string name = pack["name"].asString();     // "" when absent or not a string
//   for (const auto& [key, sound] : pack["sounds"].members()) ...
//
// A Value is immutable and 16 bytes: null, booleans, numbers and strings of up to
// 14 bytes live inside it; longer strings, arrays and objects live in shared,
// reference-counted storage, so copying a Value never copies a document.
// Reading never fails: a missing key, an index out of range or a wrong type gives
// an empty default (null, 0, false, "").
//
// Objects keep their members in the order they were first given; a later member
// with an equal key replaces the earlier one's value. Values may be shared across
// threads freely (the storage is never written after it is made).

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace strombel::json {

enum class Kind : uint8_t {
    Null = 0,
    Bool,
    Int,      // signed 64-bit integer
    UInt,     // unsigned 64-bit integer
    Double,
    Decimal,  // a decimal number kept as its exact text (the second codec's numbers)
    String,
    Array,
    Object,
};

/// A readable name of a kind ("null", "boolean", "integer", ... "object").
std::string_view kindName(Kind kind);

struct Member;
namespace detail {
struct Node;
struct ValueAccess;
}  // namespace detail

class Value {
public:
    Value() noexcept { std::memset(bytes_, 0, sizeof bytes_); }
    Value(std::nullptr_t) noexcept : Value() {}
    Value(bool value) noexcept : Value() { setScalar(Kind::Bool, int64_t{value ? 1 : 0}); }
    Value(int value) noexcept : Value(static_cast<long long>(value)) {}
    Value(long value) noexcept : Value(static_cast<long long>(value)) {}
    Value(long long value) noexcept : Value() { setScalar(Kind::Int, value); }
    Value(unsigned value) noexcept : Value(static_cast<unsigned long long>(value)) {}
    Value(unsigned long value) noexcept : Value(static_cast<unsigned long long>(value)) {}
    Value(unsigned long long value) noexcept : Value() { setScalar(Kind::UInt, value); }
    Value(double value) noexcept : Value() { setScalar(Kind::Double, value); }
    Value(float value) noexcept : Value(static_cast<double>(value)) {}
    Value(const char* text) : Value(std::string_view(text ? text : "")) {}
    Value(const std::string& text) : Value(std::string_view(text)) {}
    Value(std::string_view text);

    /// A decimal number kept as its text (no conversion, no rounding).
    static Value decimal(std::string_view text);
    static Value array(std::vector<Value> items);
    static Value array(std::initializer_list<Value> items);
    /// An object; a later member with an equal key replaces an earlier one's value.
    static Value object(std::vector<std::pair<std::string, Value>> members);
    static Value object(std::initializer_list<std::pair<std::string_view, Value>> members);
    static Value emptyArray() noexcept;
    static Value emptyObject() noexcept;

    Value(const Value& other) noexcept {
        std::memcpy(bytes_, other.bytes_, sizeof bytes_);
        if (hasNode()) retain();
    }
    Value(Value&& other) noexcept {
        std::memcpy(bytes_, other.bytes_, sizeof bytes_);
        std::memset(other.bytes_, 0, sizeof other.bytes_);
    }
    Value& operator=(const Value& other) noexcept {
        if (this != &other) {
            Value copy(other);
            *this = std::move(copy);
        }
        return *this;
    }
    Value& operator=(Value&& other) noexcept {
        if (this != &other) {
            if (hasNode()) release();
            std::memcpy(bytes_, other.bytes_, sizeof bytes_);
            std::memset(other.bytes_, 0, sizeof other.bytes_);
        }
        return *this;
    }
    ~Value() {
        if (hasNode()) release();
    }

    Kind kind() const noexcept { return static_cast<Kind>(bytes_[0]); }
    bool isNull() const noexcept { return kind() == Kind::Null; }
    bool isBool() const noexcept { return kind() == Kind::Bool; }
    /// True for the signed and unsigned integer kinds.
    bool isInteger() const noexcept { return kind() == Kind::Int || kind() == Kind::UInt; }
    bool isDouble() const noexcept { return kind() == Kind::Double; }
    bool isDecimal() const noexcept { return kind() == Kind::Decimal; }
    /// True for every number kind (integers, doubles, decimals); booleans are not numbers.
    bool isNumber() const noexcept {
        return kind() == Kind::Int || kind() == Kind::UInt || kind() == Kind::Double ||
               kind() == Kind::Decimal;
    }
    bool isString() const noexcept { return kind() == Kind::String; }
    bool isArray() const noexcept { return kind() == Kind::Array; }
    bool isObject() const noexcept { return kind() == Kind::Object; }

    /// Booleans as they are; numbers are true when not zero; anything else `fallback`.
    bool asBool(bool fallback = false) const noexcept;
    /// Numbers converted (doubles truncated toward zero and clamped to the range);
    /// booleans as 0 or 1; anything else `fallback`.
    int64_t asInt64(int64_t fallback = 0) const noexcept;
    uint64_t asUInt64(uint64_t fallback = 0) const noexcept;
    int asInt(int fallback = 0) const noexcept;
    double asDouble(double fallback = 0.0) const noexcept;
    /// The text of a string (or of a decimal number); anything else `fallback`.
    std::string asString(std::string_view fallback = {}) const;
    /// Like asString without a copy. The view lives as long as this Value (or any copy
    /// of it) does; for a temporary Value copy the text instead.
    std::string_view asStringView(std::string_view fallback = {}) const noexcept;

    /// Number of items of an array or members of an object; 0 for anything else.
    size_t size() const noexcept;
    bool empty() const noexcept { return size() == 0; }

    /// The member for `key`, or a null Value when absent or when this is no object.
    const Value& operator[](std::string_view key) const noexcept;
    const Value& operator[](const char* key) const noexcept { return (*this)[std::string_view(key)]; }
    const Value& operator[](const std::string& key) const noexcept { return (*this)[std::string_view(key)]; }
    /// The item at `index`, or a null Value when out of range or when this is no array.
    const Value& operator[](size_t index) const noexcept;
    const Value& operator[](int index) const noexcept {
        return index < 0 ? (*this)[~size_t{0}] : (*this)[static_cast<size_t>(index)];
    }
    /// The member for `key`, or nullptr.
    const Value* find(std::string_view key) const noexcept;
    bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }

    /// The items of an array (empty for anything else).
    std::span<const Value> items() const noexcept;
    /// The members of an object in their stable order (empty for anything else).
    std::span<const Member> members() const noexcept;

    /// Deep equality. Integers compare by value whether signed or unsigned; a double
    /// equals only a double; objects compare as sets of members.
    friend bool operator==(const Value& a, const Value& b) noexcept;

private:
    friend struct detail::ValueAccess;
    static constexpr uint8_t kNodeFlag = 0xFF;
    static constexpr size_t kSmallCapacity = 14;

    template <typename T>
    void setScalar(Kind kind, T value) noexcept {
        bytes_[0] = static_cast<unsigned char>(kind);
        std::memcpy(bytes_ + 8, &value, sizeof value);
    }
    template <typename T>
    T scalar() const noexcept {
        T value;
        std::memcpy(&value, bytes_ + 8, sizeof value);
        return value;
    }
    bool hasNode() const noexcept { return bytes_[1] == kNodeFlag; }
    detail::Node* node() const noexcept { return scalar<detail::Node*>(); }
    void retain() noexcept;
    void release() noexcept;

    // byte 0: kind; byte 1: small string length, or kNodeFlag when bytes 8..15 hold a
    // node pointer; bytes 2..15: the characters of a small string.
    alignas(8) unsigned char bytes_[16];
};

static_assert(sizeof(Value) == 16);

/// One member of an object; the key is always a string Value.
struct Member {
    Value key;
    Value value;
};

/// Builds an array item by item; `build()` hands out the immutable Value.
class ArrayBuilder {
public:
    ArrayBuilder() = default;
    /// Starts from the items of `array` (nothing when it is no array).
    explicit ArrayBuilder(const Value& array);
    ArrayBuilder& reserve(size_t count);
    ArrayBuilder& append(Value item);
    /// `insert` takes an index up to `size()`, `remove` and `replace` one below it;
    /// any other throws std::out_of_range ("... index (5) beyond bounds (3)") and
    /// changes nothing.
    ArrayBuilder& insert(size_t index, Value item);
    ArrayBuilder& remove(size_t index);
    ArrayBuilder& replace(size_t index, Value item);
    size_t size() const { return items_.size(); }
    Value build() const&;
    Value build() &&;

private:
    std::vector<Value> items_;
};

/// Builds an object member by member; setting an existing key replaces its value in place.
class ObjectBuilder {
public:
    ObjectBuilder() = default;
    /// Starts from the members of `object` (nothing when it is no object).
    explicit ObjectBuilder(const Value& object);
    ObjectBuilder& set(std::string_view key, Value value);
    ObjectBuilder& remove(std::string_view key);
    bool contains(std::string_view key) const;
    size_t size() const { return members_.size(); }
    Value build() const&;
    Value build() &&;

private:
    size_t position(std::string_view key) const;
    void reindex();

    std::vector<Member> members_;
    // Key to position, kept once there are more members than a search in order suits.
    std::unordered_map<std::string, size_t> index_;
};

}  // namespace strombel::json
