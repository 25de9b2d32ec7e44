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
        if (const size_t length = wellFormedCharacterLength(bytes, i); length > 0) {
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
