#pragma once

// Cutting UTF-8 text at a byte limit without splitting a character, and
// stepping through it a character at a time. Allocates nothing and calls
// nothing: fit for a signal handler and a real-time thread.

#include <cstddef>
#include <string_view>

namespace strombel::platform {

namespace utf8_detail {

constexpr bool isContinuation(char byte) noexcept { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

/// The bytes a lead byte announces for its character; 1 for any other byte.
constexpr size_t announcedLength(char byte) noexcept {
    const unsigned char lead = static_cast<unsigned char>(byte);
    return lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 1;
}

}  // namespace utf8_detail

// What a character is here: a lead byte and the continuation bytes that follow
// it, up to the length it announces, go together; any other byte (a stray
// continuation byte, one that never stands in UTF-8) is a character of its own.

/// The bytes of the character at `text[at]` (`at` < `length`).
constexpr size_t utf8CharacterLength(const char* text, size_t length, size_t at) noexcept {
    const size_t announced = utf8_detail::announcedLength(text[at]);
    size_t end = at + 1;
    while (end < length && end - at < announced && utf8_detail::isContinuation(text[end])) ++end;
    return end - at;
}

/// How many of the `length` bytes at `text` to keep so that at most
/// `maximumBytes` remain and no character is split: all of them when they fit;
/// else `maximumBytes`, less the first bytes of a character the cut would end
/// inside. Reads no byte past `text[maximumBytes]`.
constexpr size_t utf8CutLength(const char* text, size_t length, size_t maximumBytes) noexcept {
    if (length <= maximumBytes) return length;
    if (!utf8_detail::isContinuation(text[maximumBytes])) return maximumBytes;
    // Back over at most three continuation bytes to the byte they follow.
    for (size_t back = 1; back <= 3 && back <= maximumBytes; ++back) {
        const size_t at = maximumBytes - back;
        if (utf8_detail::isContinuation(text[at])) continue;
        return utf8_detail::announcedLength(text[at]) > back ? at : maximumBytes;
    }
    return maximumBytes;
}

/// `text` cut to at most `maximumBytes` bytes at a character (see utf8CutLength).
constexpr std::string_view cutAtCharacter(std::string_view text, size_t maximumBytes) noexcept {
    return text.substr(0, utf8CutLength(text.data(), text.size(), maximumBytes));
}

}  // namespace strombel::platform
