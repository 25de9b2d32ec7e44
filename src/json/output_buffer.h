#pragma once

// A growable byte buffer the writers append to without bounds checks per byte:
// callers reserve first, then write through the returned pointer.

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <new>
#include <memory>
#include <string>
#include <string_view>

namespace strombel::json::detail {

class OutputBuffer {
public:
    explicit OutputBuffer(size_t initialCapacity = 4096)
        : bytes_(static_cast<char*>(std::malloc(initialCapacity))), capacity_(initialCapacity) {
        if (!bytes_) throw std::bad_alloc();
    }

    /// Room for at least `count` more bytes; the pointer is valid until the next reserve.
    char* reserve(size_t count) {
        if (capacity_ - length_ < count) grow(count);
        return bytes_.get() + length_;
    }
    void commit(size_t count) { length_ += count; }
    void append(char c) {
        *reserve(1) = c;
        ++length_;
    }
    void append(std::string_view text) {
        std::memcpy(reserve(text.size()), text.data(), text.size());
        length_ += text.size();
    }
    size_t size() const { return length_; }
    std::string take() && { return std::string(bytes_.get(), length_); }

private:
    struct Free {
        void operator()(char* bytes) const { std::free(bytes); }
    };

    // realloc moves large buffers by remapping their pages instead of copying them.
    void grow(size_t count) {
        size_t capacity = capacity_ * 2;
        if (capacity < length_ + count) capacity = length_ + count;
        char* bytes = static_cast<char*>(std::realloc(bytes_.get(), capacity));
        if (!bytes) throw std::bad_alloc();
        (void)bytes_.release();
        bytes_.reset(bytes);
        capacity_ = capacity;
    }

    std::unique_ptr<char, Free> bytes_;
    size_t capacity_;
    size_t length_ = 0;
};

/// Whether `text` is a number as JSON writes them: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
inline bool isJsonNumberText(std::string_view text) {
    size_t i = 0;
    auto digits = [&] {
        const size_t first = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
        return i > first;
    };
    if (i < text.size() && text[i] == '-') ++i;
    if (i < text.size() && text[i] == '0') {
        ++i;
    } else if (!digits()) {
        return false;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        if (!digits()) return false;
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        if (!digits()) return false;
    }
    return i == text.size();
}

/// Writes the shortest text that reads back as exactly `value` (finite), with ".0"
/// added when that text looks like a whole number. Needs 32 bytes at `out`.
inline size_t formatDouble(char* out, double value, bool markWhole) {
    const auto [end, error] = std::to_chars(out, out + 30, value);
    (void)error;
    size_t length = static_cast<size_t>(end - out);
    if (markWhole && !std::memchr(out, '.', length) && !std::memchr(out, 'e', length)) {
        out[length++] = '.';
        out[length++] = '0';
    }
    return length;
}

}  // namespace strombel::json::detail
