#pragma once

// Small helpers shared by the hub's binary records (ports, triggers, graphs):
// big-endian doubles and the decoding of texts that arrive from peers.

#include <cstdint>
#include <string>
#include <string_view>

namespace strombel::hub {

/// The 64-bit IEEE double at `p`, stored big-endian.
double readF64BigEndian(const uint8_t* p);
void writeF64BigEndian(uint8_t* p, double value);

/// Bytes from a peer as text: well-formed UTF-8 is taken as it is; anything
/// else is decoded with U+FFFD in place of each byte that is not part of a
/// well-formed character.
std::string decodeUtf8Lossy(std::string_view bytes);

/// The numeric identifier both sides derive from a port's name: the first four
/// bytes of its SHA-1, little-endian; 0 becomes 1.
uint32_t portIdentifierFromName(std::string_view name);

}  // namespace strombel::hub
