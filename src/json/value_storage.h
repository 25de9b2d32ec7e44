#pragma once

// How Values keep their shared storage; for the codecs in this folder only.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "json/value.h"

namespace strombel::json::detail {

struct Arena;

/// The header of a shared block. Strings keep their bytes after it (NUL-terminated),
/// arrays their items, objects their members followed by a hash index of
/// `indexCapacity` 32-bit slots (member position + 1, 0 when free).
///
/// For strings, `indexCapacity` is kCheckedText when the bytes are known to be UTF-8
/// that the decoder reads back (the decoder made them), else 0.
///
/// A block made by the decoder lives in the decoded document's arena: its `refs` go
/// unused, every reference to it counts on the arena instead, and the Values inside
/// it hold no counted references of their own (the arena frees everything at once).
struct Node {
    std::atomic<uint32_t> refs;
    uint32_t indexCapacity;
    uint64_t size;
    Arena* arena;
};
static_assert(sizeof(Node) == 24);

/// Memory for one decoded document: chunks handed out front to back, freed together
/// when the last reference to any of its blocks goes.
struct Arena {
    struct Chunk {
        Chunk* next;
        size_t size;
    };
    std::atomic<uint32_t> refs;
    char* cursor;
    char* limit;
    Chunk* chunks;
    size_t nextChunkSize;

    /// An arena whose first chunk holds `expectedBytes`, with one reference (the maker's).
    static Arena* make(size_t expectedBytes);
    void* allocate(size_t bytes) {
        bytes = (bytes + 7) & ~size_t{7};
        if (static_cast<size_t>(limit - cursor) < bytes) addChunk(bytes);
        void* block = cursor;
        cursor += bytes;
        return block;
    }
    void retain() { refs.fetch_add(1, std::memory_order_relaxed); }
    void release();

private:
    void addChunk(size_t bytes);
};

inline char* nodeChars(Node* node) { return reinterpret_cast<char*>(node + 1); }
inline Value* nodeItems(Node* node) { return reinterpret_cast<Value*>(node + 1); }
inline Member* nodeMembers(Node* node) { return reinterpret_cast<Member*>(node + 1); }

inline constexpr uint32_t kCheckedText = 1;

/// Objects up to this many members are searched in order; larger ones get a hash index.
inline constexpr size_t kLinearObjectLimit = 8;

uint64_t hashKey(std::string_view key) noexcept;

struct ValueAccess {
    /// A string or decimal Value holding a copy of the bytes (its block in `arena` when given).
    static Value makeText(Kind kind, const char* data, size_t size, Arena* arena = nullptr);
    /// Moves `count` Values out of `items` (left null) into a new array.
    static Value adoptArray(Value* items, size_t count, Arena* arena = nullptr);
    /// Moves `count` key/value pairs, stored as 2 × count consecutive Values, out of
    /// `pairs` (left null) into a new object; a later equal key replaces an earlier value.
    static Value adoptObject(Value* pairs, size_t count, Arena* arena = nullptr);
    /// Makes `count` Values null without releasing what they point to (for Values
    /// that point into an arena without holding a counted reference).
    static void forget(Value* values, size_t count) noexcept {
        std::memset(static_cast<void*>(values), 0, count * sizeof(Value));
    }
    /// Writes a scalar into `slot` (whose old contents are dropped uncounted) with two
    /// 8-byte stores, so a following 16-byte copy of the slot is not stalled.
    static void setScalar(Value* slot, Kind kind, uint64_t bits) noexcept {
        const uint64_t head = static_cast<uint64_t>(kind);
        std::memcpy(slot->bytes_, &head, 8);
        std::memcpy(slot->bytes_ + 8, &bits, 8);
    }
    /// Writes a string or decimal into `slot` (old contents dropped uncounted); with
    /// `checked`, the bytes are known to be UTF-8 the decoder reads back.
    static void setText(Value* slot, Kind kind, const char* data, size_t size, Arena* arena, bool checked = false);
    /// Whether a string's bytes are known to be UTF-8 the decoder reads back.
    static bool isCheckedText(const Value& value) noexcept {
        return value.hasNode() && value.node()->indexCapacity == kCheckedText;
    }
    /// Moves `value` into `slot` (old contents dropped uncounted), leaving `value` null.
    static void moveInto(Value* slot, Value& value) noexcept {
        std::memcpy(static_cast<void*>(slot), static_cast<const void*>(&value), sizeof(Value));
        forget(&value, 1);
    }
    /// Like setText for at most kSmallCapacity bytes, reading 16 bytes at `data`
    /// (all of which must be readable) without a call to memcpy.
    static void setSmallText(Value* slot, Kind kind, const char* data, size_t size) noexcept {
        uint64_t low, high;
        std::memcpy(&low, data, 8);
        std::memcpy(&high, data + 8, 8);
        const uint64_t first = low & (size >= 6 ? 0x0000FFFFFFFFFFFFull : ((uint64_t{1} << (8 * size)) - 1));
        const size_t restCount = size > 6 ? size - 6 : 0;
        uint64_t rest = (low >> 48) | (high << 16);
        rest &= restCount >= 8 ? ~uint64_t{0} : ((uint64_t{1} << (8 * restCount)) - 1);
        const uint64_t head = static_cast<uint64_t>(kind) | (uint64_t{size} << 8) | (first << 16);
        std::memcpy(slot->bytes_, &head, 8);
        std::memcpy(slot->bytes_ + 8, &rest, 8);
    }
    /// Whether two strings hold equal text.
    static bool textEqual(const Value& a, const Value& b) noexcept {
        // Small strings keep unused bytes zero, so equal text means equal bytes.
        if (!a.hasNode() && !b.hasNode()) {
            uint64_t a0, a1, b0, b1;
            std::memcpy(&a0, a.bytes_, 8);
            std::memcpy(&a1, a.bytes_ + 8, 8);
            std::memcpy(&b0, b.bytes_, 8);
            std::memcpy(&b1, b.bytes_ + 8, 8);
            return ((a0 ^ b0) | (a1 ^ b1)) == 0;
        }
        if (a.hasNode() != b.hasNode()) return false;
        return text(a) == text(b);
    }
    static const Value& null() noexcept;
    static std::string_view text(const Value& value) noexcept {
        if (value.hasNode()) {
            const Node* shared = value.node();
            return {reinterpret_cast<const char*>(shared + 1), static_cast<size_t>(shared->size)};
        }
        return {reinterpret_cast<const char*>(value.bytes_ + 2), value.bytes_[1]};
    }
    /// The 8 payload bytes of a boolean or number.
    static uint64_t bits(const Value& value) noexcept { return value.scalar<uint64_t>(); }
    /// The items of an array (none when empty).
    static std::span<const Value> items(const Value& value) noexcept {
        if (!value.hasNode()) return {};
        Node* shared = value.node();
        return {reinterpret_cast<const Value*>(shared + 1), static_cast<size_t>(shared->size)};
    }
    /// The members of an object (none when empty).
    static std::span<const Member> members(const Value& value) noexcept {
        if (!value.hasNode()) return {};
        Node* shared = value.node();
        return {reinterpret_cast<const Member*>(shared + 1), static_cast<size_t>(shared->size)};
    }
    static Node* node(const Value& value) noexcept { return value.hasNode() ? value.node() : nullptr; }
};

}  // namespace strombel::json::detail
