#include "json/value.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <stdexcept>

#include "json/value_storage.h"

namespace strombel::json {

namespace detail {

namespace {

void* allocateBlock(size_t bytes) {
    void* block = std::malloc(bytes);
    if (!block) throw std::bad_alloc();
    return block;
}

Node* makeNode(size_t payloadBytes, uint64_t size, Arena* arena) {
    void* block = arena ? arena->allocate(sizeof(Node) + payloadBytes) : allocateBlock(sizeof(Node) + payloadBytes);
    Node* node = new (block) Node;
    node->refs.store(1, std::memory_order_relaxed);
    node->indexCapacity = 0;
    node->size = size;
    node->arena = arena;
    return node;
}

uint32_t* objectIndex(Node* node) {
    return reinterpret_cast<uint32_t*>(nodeMembers(node) + node->size);
}

void moveValues(Value* destination, Value* source, size_t count) {
    // Values are relocatable: their bytes move, and the source is left as nulls.
    if (count <= 8) {
        auto* to = reinterpret_cast<unsigned char*>(destination);
        auto* from = reinterpret_cast<unsigned char*>(source);
        for (size_t i = 0; i < 2 * count; ++i) {
            uint64_t word;
            std::memcpy(&word, from + 8 * i, 8);
            std::memcpy(to + 8 * i, &word, 8);
        }
        std::memset(static_cast<void*>(source), 0, count * sizeof(Value));
        return;
    }
    std::memcpy(static_cast<void*>(destination), static_cast<const void*>(source), count * sizeof(Value));
    std::memset(static_cast<void*>(source), 0, count * sizeof(Value));
}

bool keysEqual(const Value& a, std::string_view b) { return ValueAccess::text(a) == b; }
bool keysEqual(const Value& a, const Value& b) { return ValueAccess::textEqual(a, b); }

// Fills the hash index of an object node; answers the position of the first member
// whose key equals an earlier member's, or size when there is none.
size_t buildIndex(Node* node) {
    const size_t count = node->size;
    uint32_t* index = objectIndex(node);
    const uint32_t mask = node->indexCapacity - 1;
    std::memset(index, 0, node->indexCapacity * sizeof(uint32_t));
    Member* members = nodeMembers(node);
    for (size_t i = 0; i < count; ++i) {
        const std::string_view key = ValueAccess::text(members[i].key);
        for (uint32_t slot = static_cast<uint32_t>(hashKey(key)) & mask;; slot = (slot + 1) & mask) {
            if (index[slot] == 0) {
                index[slot] = static_cast<uint32_t>(i + 1);
                break;
            }
            if (keysEqual(members[index[slot] - 1].key, members[i].key)) return i;
        }
    }
    return count;
}

const Member* findMember(Node* node, std::string_view key) {
    Member* members = nodeMembers(node);
    if (node->indexCapacity == 0) {
        for (size_t i = 0; i < node->size; ++i) {
            if (keysEqual(members[i].key, key)) return &members[i];
        }
        return nullptr;
    }
    const uint32_t* index = objectIndex(node);
    const uint32_t mask = node->indexCapacity - 1;
    for (uint32_t slot = static_cast<uint32_t>(hashKey(key)) & mask;; slot = (slot + 1) & mask) {
        if (index[slot] == 0) return nullptr;
        const Member& member = members[index[slot] - 1];
        if (keysEqual(member.key, key)) return &member;
    }
}

// Later equal keys replace earlier values: folds duplicates into their first
// position in one pass over the members. An object with a hash index keeps the
// positions of the keys seen so far in it (it lies after the members, which only
// move towards the front); a small one is searched in order. The caller builds
// the index anew for the folded size. Members of an arena block hold no counted
// references, so they are moved as bytes.
void foldDuplicates(Node* node) {
    Member* members = nodeMembers(node);
    const bool counted = node->arena == nullptr;
    const size_t count = node->size;
    uint32_t* const index = node->indexCapacity ? objectIndex(node) : nullptr;
    const uint32_t mask = node->indexCapacity - 1;
    if (index) std::memset(index, 0, node->indexCapacity * sizeof(uint32_t));
    size_t kept = 0;
    for (size_t i = 0; i < count; ++i) {
        size_t j = kept;
        uint32_t* freeSlot = nullptr;
        if (index) {
            const std::string_view key = ValueAccess::text(members[i].key);
            for (uint32_t slot = static_cast<uint32_t>(hashKey(key)) & mask;; slot = (slot + 1) & mask) {
                if (index[slot] == 0) {
                    freeSlot = &index[slot];
                    break;
                }
                if (keysEqual(members[index[slot] - 1].key, key)) {
                    j = index[slot] - 1;
                    break;
                }
            }
        } else {
            j = 0;
            while (j < kept && !keysEqual(members[j].key, members[i].key)) ++j;
        }
        if (j < kept) {
            if (counted) {
                members[j].value = std::move(members[i].value);
                members[i].key = Value();
            } else {
                moveValues(&members[j].value, &members[i].value, 1);
                ValueAccess::forget(&members[i].key, 1);
            }
        } else {
            if (kept != i) moveValues(&members[kept].key, &members[i].key, 2);
            if (freeSlot) *freeSlot = static_cast<uint32_t>(kept + 1);
            ++kept;
        }
    }
    node->size = kept;
}

}  // namespace

uint64_t hashKey(std::string_view key) noexcept {
    uint64_t hash = 0x9E3779B97F4A7C15ull ^ key.size();
    const char* p = key.data();
    size_t n = key.size();
    while (n >= 8) {
        uint64_t chunk;
        std::memcpy(&chunk, p, 8);
        hash = (hash ^ chunk) * 0xFF51AFD7ED558CCDull;
        hash ^= hash >> 32;
        p += 8;
        n -= 8;
    }
    uint64_t tail = 0;
    std::memcpy(&tail, p, n);
    hash = (hash ^ tail) * 0xC4CEB9FE1A85EC53ull;
    hash ^= hash >> 29;
    return hash;
}

void Arena::addChunk(size_t bytes) {
    const size_t size = std::max(nextChunkSize, bytes);
    auto* chunk = static_cast<Chunk*>(allocateBlock(sizeof(Chunk) + size));
    chunk->next = chunks;
    chunk->size = size;
    chunks = chunk;
    cursor = reinterpret_cast<char*>(chunk + 1);
    limit = cursor + size;
    nextChunkSize = std::min<size_t>(size * 2, size_t{64} << 20);
}

Arena* Arena::make(size_t expectedBytes) {
    Arena* arena = new (allocateBlock(sizeof(Arena))) Arena;
    arena->refs.store(1, std::memory_order_relaxed);
    arena->cursor = nullptr;
    arena->limit = nullptr;
    arena->chunks = nullptr;
    arena->nextChunkSize = std::max<size_t>(expectedBytes, 1024);
    return arena;
}

void Arena::release() {
    if (refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    for (Chunk* chunk = chunks; chunk;) {
        Chunk* next = chunk->next;
        std::free(chunk);
        chunk = next;
    }
    this->~Arena();
    std::free(this);
}

void ValueAccess::setText(Value* slot, Kind kind, const char* data, size_t size, Arena* arena, bool checked) {
    uint64_t head = static_cast<uint64_t>(kind);
    uint64_t payload = 0;
    if (size <= Value::kSmallCapacity) {
        unsigned char bytes[16] = {};
        std::memcpy(bytes + 2, data, size);
        std::memcpy(&head, bytes, 8);
        std::memcpy(&payload, bytes + 8, 8);
        head = (head & ~uint64_t{0xFFFF}) | static_cast<uint64_t>(kind) | (uint64_t{size} << 8);
    } else {
        Node* node = makeNode(size + 1, size, arena);
        std::memcpy(nodeChars(node), data, size);
        nodeChars(node)[size] = '\0';
        if (checked) node->indexCapacity = kCheckedText;
        head |= uint64_t{Value::kNodeFlag} << 8;
        payload = reinterpret_cast<uintptr_t>(node);
    }
    std::memcpy(slot->bytes_, &head, 8);
    std::memcpy(slot->bytes_ + 8, &payload, 8);
}

Value ValueAccess::makeText(Kind kind, const char* data, size_t size, Arena* arena) {
    Value value;
    value.bytes_[0] = static_cast<unsigned char>(kind);
    if (size <= Value::kSmallCapacity) {
        value.bytes_[1] = static_cast<unsigned char>(size);
        if (size) std::memcpy(value.bytes_ + 2, data, size);
        return value;
    }
    Node* node = makeNode(size + 1, size, arena);
    std::memcpy(nodeChars(node), data, size);
    nodeChars(node)[size] = '\0';
    value.bytes_[1] = Value::kNodeFlag;
    value.setScalar(kind, node);
    return value;
}

Value ValueAccess::adoptArray(Value* items, size_t count, Arena* arena) {
    Value value;
    value.bytes_[0] = static_cast<unsigned char>(Kind::Array);
    if (count == 0) return value;
    Node* node = makeNode(count * sizeof(Value), count, arena);
    moveValues(nodeItems(node), items, count);
    value.bytes_[1] = Value::kNodeFlag;
    value.setScalar(Kind::Array, node);
    return value;
}

Value ValueAccess::adoptObject(Value* pairs, size_t count, Arena* arena) {
    Value value;
    value.bytes_[0] = static_cast<unsigned char>(Kind::Object);
    if (count == 0) return value;
    uint32_t indexCapacity = 0;
    if (count > kLinearObjectLimit) {
        indexCapacity = 16;
        while (indexCapacity < 2 * count) indexCapacity *= 2;
    }
    Node* node = makeNode(count * sizeof(Member) + indexCapacity * sizeof(uint32_t), count, arena);
    node->indexCapacity = indexCapacity;
    moveValues(&nodeMembers(node)->key, pairs, 2 * count);
    value.bytes_[1] = Value::kNodeFlag;
    value.setScalar(Kind::Object, node);
    if (indexCapacity == 0) {
        foldDuplicates(node);
    } else if (buildIndex(node) != node->size) {
        foldDuplicates(node);
        buildIndex(node);
    }
    return value;
}

const Value& ValueAccess::null() noexcept {
    static const Value nullValue;
    return nullValue;
}

}  // namespace detail

using detail::Node;
using detail::ValueAccess;

std::string_view kindName(Kind kind) {
    switch (kind) {
        case Kind::Null: return "null";
        case Kind::Bool: return "boolean";
        case Kind::Int: return "integer";
        case Kind::UInt: return "unsigned integer";
        case Kind::Double: return "double";
        case Kind::Decimal: return "decimal number";
        case Kind::String: return "string";
        case Kind::Array: return "array";
        case Kind::Object: return "object";
    }
    return "unknown";
}

Value::Value(std::string_view text) : Value(ValueAccess::makeText(Kind::String, text.data(), text.size())) {}

Value Value::decimal(std::string_view text) { return ValueAccess::makeText(Kind::Decimal, text.data(), text.size()); }

Value Value::array(std::vector<Value> items) { return ValueAccess::adoptArray(items.data(), items.size()); }

Value Value::array(std::initializer_list<Value> items) { return array(std::vector<Value>(items)); }

Value Value::object(std::vector<std::pair<std::string, Value>> members) {
    std::vector<Value> pairs;
    pairs.reserve(2 * members.size());
    for (auto& [key, value] : members) {
        pairs.emplace_back(key);
        pairs.push_back(std::move(value));
    }
    return ValueAccess::adoptObject(pairs.data(), members.size());
}

Value Value::object(std::initializer_list<std::pair<std::string_view, Value>> members) {
    std::vector<Value> pairs;
    pairs.reserve(2 * members.size());
    for (const auto& [key, value] : members) {
        pairs.emplace_back(key);
        pairs.push_back(value);
    }
    return ValueAccess::adoptObject(pairs.data(), members.size());
}

Value Value::emptyArray() noexcept {
    Value value;
    value.bytes_[0] = static_cast<unsigned char>(Kind::Array);
    return value;
}

Value Value::emptyObject() noexcept {
    Value value;
    value.bytes_[0] = static_cast<unsigned char>(Kind::Object);
    return value;
}

void Value::retain() noexcept {
    Node* shared = node();
    if (shared->arena) {
        shared->arena->retain();
    } else {
        shared->refs.fetch_add(1, std::memory_order_relaxed);
    }
}

void Value::release() noexcept {
    Node* shared = node();
    if (shared->arena) {
        shared->arena->release();
        return;
    }
    if (shared->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (kind() == Kind::Array) {
        Value* items = detail::nodeItems(shared);
        for (size_t i = 0; i < shared->size; ++i) items[i].~Value();
    } else if (kind() == Kind::Object) {
        Member* members = detail::nodeMembers(shared);
        for (size_t i = 0; i < shared->size; ++i) members[i].~Member();
    }
    shared->~Node();
    std::free(shared);
}

bool Value::asBool(bool fallback) const noexcept {
    switch (kind()) {
        case Kind::Bool: return scalar<int64_t>() != 0;
        case Kind::Int:
        case Kind::UInt: return scalar<uint64_t>() != 0;
        case Kind::Double: return scalar<double>() != 0.0;
        case Kind::Decimal: return asDouble() != 0.0;
        default: return fallback;
    }
}

namespace {

double decimalToDouble(std::string_view text) {
    double result = 0.0;
    std::from_chars(text.data(), text.data() + text.size(), result);
    return result;
}

int64_t clampToInt64(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
    if (value < -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(value);
}

uint64_t clampToUInt64(double value) {
    if (std::isnan(value) || value <= 0.0) return 0;
    if (value >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(value);
}

}  // namespace

int64_t Value::asInt64(int64_t fallback) const noexcept {
    switch (kind()) {
        case Kind::Bool:
        case Kind::Int: return scalar<int64_t>();
        case Kind::UInt: return static_cast<int64_t>(std::min<uint64_t>(scalar<uint64_t>(), INT64_MAX));
        case Kind::Double: return clampToInt64(scalar<double>());
        case Kind::Decimal: {
            const std::string_view text = ValueAccess::text(*this);
            int64_t result = 0;
            auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), result);
            if (error == std::errc() && end == text.data() + text.size()) return result;
            return clampToInt64(decimalToDouble(text));
        }
        default: return fallback;
    }
}

uint64_t Value::asUInt64(uint64_t fallback) const noexcept {
    switch (kind()) {
        case Kind::Bool:
        case Kind::UInt: return scalar<uint64_t>();
        case Kind::Int: return scalar<int64_t>() < 0 ? 0 : scalar<uint64_t>();
        case Kind::Double: return clampToUInt64(scalar<double>());
        case Kind::Decimal: {
            const std::string_view text = ValueAccess::text(*this);
            uint64_t result = 0;
            auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), result);
            if (error == std::errc() && end == text.data() + text.size()) return result;
            return clampToUInt64(decimalToDouble(text));
        }
        default: return fallback;
    }
}

int Value::asInt(int fallback) const noexcept {
    if (!isNumber() && !isBool()) return fallback;
    return static_cast<int>(std::clamp<int64_t>(asInt64(), INT_MIN, INT_MAX));
}

double Value::asDouble(double fallback) const noexcept {
    switch (kind()) {
        case Kind::Bool:
        case Kind::Int: return static_cast<double>(scalar<int64_t>());
        case Kind::UInt: return static_cast<double>(scalar<uint64_t>());
        case Kind::Double: return scalar<double>();
        case Kind::Decimal: return decimalToDouble(ValueAccess::text(*this));
        default: return fallback;
    }
}

std::string Value::asString(std::string_view fallback) const { return std::string(asStringView(fallback)); }

std::string_view Value::asStringView(std::string_view fallback) const noexcept {
    if (kind() != Kind::String && kind() != Kind::Decimal) return fallback;
    return ValueAccess::text(*this);
}

size_t Value::size() const noexcept {
    if ((kind() == Kind::Array || kind() == Kind::Object) && hasNode()) return node()->size;
    return 0;
}

const Value& Value::operator[](std::string_view key) const noexcept {
    const Value* member = find(key);
    return member ? *member : ValueAccess::null();
}

const Value& Value::operator[](size_t index) const noexcept {
    if (kind() != Kind::Array || !hasNode() || index >= node()->size) return ValueAccess::null();
    return detail::nodeItems(node())[index];
}

const Value* Value::find(std::string_view key) const noexcept {
    if (kind() != Kind::Object || !hasNode()) return nullptr;
    const Member* member = detail::findMember(node(), key);
    return member ? &member->value : nullptr;
}

std::span<const Value> Value::items() const noexcept {
    if (kind() != Kind::Array || !hasNode()) return {};
    return {detail::nodeItems(node()), static_cast<size_t>(node()->size)};
}

std::span<const Member> Value::members() const noexcept {
    if (kind() != Kind::Object || !hasNode()) return {};
    return {detail::nodeMembers(node()), static_cast<size_t>(node()->size)};
}

bool operator==(const Value& a, const Value& b) noexcept {
    const Kind kindA = a.kind();
    const Kind kindB = b.kind();
    if (a.isInteger() && b.isInteger()) {
        if (kindA != kindB && (a.scalar<int64_t>() < 0 || b.scalar<int64_t>() < 0)) return false;
        return a.scalar<uint64_t>() == b.scalar<uint64_t>();
    }
    if (kindA != kindB) return false;
    switch (kindA) {
        case Kind::Null: return true;
        case Kind::Bool: return a.scalar<int64_t>() == b.scalar<int64_t>();
        case Kind::Double: return a.scalar<double>() == b.scalar<double>();
        case Kind::Decimal:
        case Kind::String: return ValueAccess::text(a) == ValueAccess::text(b);
        case Kind::Array: {
            const auto itemsA = a.items();
            const auto itemsB = b.items();
            return std::equal(itemsA.begin(), itemsA.end(), itemsB.begin(), itemsB.end());
        }
        case Kind::Object: {
            if (a.size() != b.size()) return false;
            if (a.hasNode() && b.hasNode() && a.node() == b.node()) return true;
            for (const Member& member : a.members()) {
                const Value* other = b.find(ValueAccess::text(member.key));
                if (!other || !(*other == member.value)) return false;
            }
            return true;
        }
        default: return false;
    }
}

ArrayBuilder::ArrayBuilder(const Value& array) : items_(array.items().begin(), array.items().end()) {}

ArrayBuilder& ArrayBuilder::reserve(size_t count) {
    items_.reserve(count);
    return *this;
}

ArrayBuilder& ArrayBuilder::append(Value item) {
    items_.push_back(std::move(item));
    return *this;
}

namespace {

[[noreturn]] void throwBeyondBounds(const char* operation, size_t index, size_t bounds) {
    throw std::out_of_range(fmt::format("*** -[ArrayBuilder {}]: index ({}) beyond bounds ({})", operation, index, bounds));
}

}  // namespace

ArrayBuilder& ArrayBuilder::insert(size_t index, Value item) {
    if (index > items_.size()) throwBeyondBounds("insert", index, items_.size() + 1);
    items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(index), std::move(item));
    return *this;
}

ArrayBuilder& ArrayBuilder::remove(size_t index) {
    if (index >= items_.size()) throwBeyondBounds("remove", index, items_.size());
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
    return *this;
}

ArrayBuilder& ArrayBuilder::replace(size_t index, Value item) {
    if (index >= items_.size()) throwBeyondBounds("replace", index, items_.size());
    items_[index] = std::move(item);
    return *this;
}

Value ArrayBuilder::build() const& {
    std::vector<Value> copy(items_);
    return ValueAccess::adoptArray(copy.data(), copy.size());
}

Value ArrayBuilder::build() && {
    Value result = ValueAccess::adoptArray(items_.data(), items_.size());
    items_.clear();
    return result;
}

ObjectBuilder::ObjectBuilder(const Value& object) : members_(object.members().begin(), object.members().end()) {
    reindex();
}

size_t ObjectBuilder::position(std::string_view key) const {
    if (members_.size() <= detail::kLinearObjectLimit || index_.empty()) {
        for (size_t i = 0; i < members_.size(); ++i) {
            if (members_[i].key.asStringView() == key) return i;
        }
        return members_.size();
    }
    const auto found = index_.find(std::string(key));
    return found == index_.end() ? members_.size() : found->second;
}

void ObjectBuilder::reindex() {
    index_.clear();
    if (members_.size() <= detail::kLinearObjectLimit) return;
    for (size_t i = 0; i < members_.size(); ++i) index_.emplace(members_[i].key.asString(), i);
}

ObjectBuilder& ObjectBuilder::set(std::string_view key, Value value) {
    const size_t at = position(key);
    if (at < members_.size()) {
        members_[at].value = std::move(value);
        return *this;
    }
    members_.push_back(Member{Value(key), std::move(value)});
    if (!index_.empty()) {
        index_.emplace(std::string(key), members_.size() - 1);
    } else if (members_.size() > detail::kLinearObjectLimit) {
        reindex();
    }
    return *this;
}

ObjectBuilder& ObjectBuilder::remove(std::string_view key) {
    const size_t at = position(key);
    if (at < members_.size()) {
        members_.erase(members_.begin() + static_cast<std::ptrdiff_t>(at));
        reindex();
    }
    return *this;
}

bool ObjectBuilder::contains(std::string_view key) const { return position(key) < members_.size(); }

Value ObjectBuilder::build() const& {
    std::vector<Member> copy(members_);
    return ValueAccess::adoptObject(copy.empty() ? nullptr : &copy.data()->key, copy.size());
}

Value ObjectBuilder::build() && {
    Value result = ValueAccess::adoptObject(members_.empty() ? nullptr : &members_.data()->key, members_.size());
    members_.clear();
    index_.clear();
    return result;
}

}  // namespace strombel::json
