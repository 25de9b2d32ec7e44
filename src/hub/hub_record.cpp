#include "hub/hub_record.h"

#include <openssl/sha.h>

#include <cstring>

#include "hub/bus_message.h"

namespace strombel::hub {

double readF64BigEndian(const uint8_t* p) {
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = (bits << 8) | p[i];
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void writeF64BigEndian(uint8_t* p, double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 7; i >= 0; --i) {
        p[i] = uint8_t(bits);
        bits >>= 8;
    }
}

std::string decodeUtf8Lossy(std::string_view bytes) {
    if (isValidUtf8(bytes)) return std::string(bytes);
    std::string text;
    size_t i = 0;
    while (i < bytes.size()) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (length > 0 && i + length <= bytes.size() && isValidUtf8(bytes.substr(i, length))) {
            text.append(bytes.substr(i, length));
            i += length;
        } else {
            text.append("\xEF\xBF\xBD");
            ++i;
        }
    }
    return text;
}

uint32_t portIdentifierFromName(std::string_view name) {
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(name.data()), name.size(), digest);
    uint32_t identifier = readU32(digest);
    return identifier == 0 ? 1 : identifier;
}

}  // namespace strombel::hub
