#pragma once

// How Values keep their shared storage; for the codecs in this folder only.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "json/value.h"

namespace strombel::json::detail {

/// The header of a shared block. Strings keep their bytes after it (NUL-terminated),
/// arrays their items, objects their members followed by a hash index of
/// `indexCapacity` 32-bit slots (member position + 1, 0 when free).
struct Node {
    std::atomic<uint32_t> refs;
    uint32_t indexCapacity;
    uint64_t size;
};
static_assert(sizeof(Node) == 16);

inline char* nodeChars(Node* node) { return reinterpret_cast<char*>(node + 1); }
inline Value* nodeItems(Node* node) { return reinterpret_cast<Value*>(node + 1); }
inline Member* nodeMembers(Node* node) { return reinterpret_cast<Member*>(node + 1); }

/// Objects up to this many members are searched in order; larger ones get a hash index.
inline constexpr size_t kLinearObjectLimit = 8;

uint64_t hashKey(std::string_view key) noexcept;

struct ValueAccess {
    /// A string or decimal Value holding a copy of the bytes.
    static Value makeText(Kind kind, const char* data, size_t size);
    /// Moves `count` Values out of `items` (left null) into a new array.
    static Value adoptArray(Value* items, size_t count);
    /// Moves `count` key/value pairs, stored as 2 × count consecutive Values, out of
    /// `pairs` (left null) into a new object; a later equal key replaces an earlier value.
    static Value adoptObject(Value* pairs, size_t count);
    static const Value& null() noexcept;
    static std::string_view text(const Value& value) noexcept;
    static Node* node(const Value& value) noexcept { return value.hasNode() ? value.node() : nullptr; }
};

}  // namespace strombel::json::detail
