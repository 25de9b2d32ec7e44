#pragma once

// Small helpers shared by the hub's binary records (ports, triggers, graphs):
// big-endian doubles, UTF-8 texts cut to the width of their length field, and
// decoding of texts that arrive from peers.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/utf8_cut.h"

namespace strombel::hub {

/// The 64-bit IEEE double at `p`, stored big-endian.
double readF64BigEndian(const uint8_t* p);
void writeF64BigEndian(uint8_t* p, double value);

/// `text` cut to at most `maximumBytes` bytes at a UTF-8 boundary, so that its
/// length fits its field and the bytes stay whole characters.
inline std::string_view cutToUtf8Boundary(std::string_view text, size_t maximumBytes) {
    return platform::cutAtCharacter(text, maximumBytes);
}

/// Bytes from a peer as text: well-formed UTF-8 is taken as it is; anything
/// else is decoded with U+FFFD in place of each byte that is not part of a
/// well-formed character.
std::string decodeUtf8Lossy(std::string_view bytes);

/// The numeric identifier both sides derive from a port's name: the first four
/// bytes of its SHA-1, little-endian; 0 becomes 1.
uint32_t portIdentifierFromName(std::string_view name);

}  // namespace strombel::hub
