#include "analytics/usage_checksum.h"

#include <array>
#include <cstring>

namespace strombel::analytics {

namespace {

using Tables = std::array<std::array<uint32_t, 256>, 16>;

// Table 0 is the classic one-byte table; table k advances a byte k more places,
// so sixteen bytes are folded in at once (the result equals one table step per
// byte).
constexpr Tables makeTables() {
    Tables tables{};
    for (uint32_t byte = 0; byte < 256; ++byte) {
        uint32_t crc = byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        tables[0][byte] = crc;
    }
    for (uint32_t byte = 0; byte < 256; ++byte) {
        for (size_t k = 1; k < tables.size(); ++k) {
            uint32_t previous = tables[k - 1][byte];
            tables[k][byte] = (previous >> 8) ^ tables[0][previous & 0xFF];
        }
    }
    return tables;
}

constexpr Tables kTables = makeTables();

inline uint32_t loadLittle32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

}  // namespace

uint32_t usageCrc32(std::span<const uint8_t> bytes, uint32_t previous) {
    uint32_t crc = ~previous;
    const uint8_t* at = bytes.data();
    size_t left = bytes.size();
    while (left >= 16) {
        uint32_t a = loadLittle32(at) ^ crc;
        uint32_t b = loadLittle32(at + 4);
        uint32_t c = loadLittle32(at + 8);
        uint32_t d = loadLittle32(at + 12);
        crc = kTables[15][a & 0xFF] ^ kTables[14][(a >> 8) & 0xFF] ^ kTables[13][(a >> 16) & 0xFF] ^
              kTables[12][a >> 24] ^ kTables[11][b & 0xFF] ^ kTables[10][(b >> 8) & 0xFF] ^
              kTables[9][(b >> 16) & 0xFF] ^ kTables[8][b >> 24] ^ kTables[7][c & 0xFF] ^
              kTables[6][(c >> 8) & 0xFF] ^ kTables[5][(c >> 16) & 0xFF] ^ kTables[4][c >> 24] ^
              kTables[3][d & 0xFF] ^ kTables[2][(d >> 8) & 0xFF] ^ kTables[1][(d >> 16) & 0xFF] ^
              kTables[0][d >> 24];
        at += 16;
        left -= 16;
    }
    while (left--) crc = (crc >> 8) ^ kTables[0][(crc ^ *at++) & 0xFF];
    return ~crc;
}

}  // namespace strombel::analytics
