#pragma once

// The Message Bus wire format: the three-byte framing every message shares, the
// message types, little-endian field access, and the readers of the messages
// whose layout the bus itself owns (resources, state transfer, signed content).
// Every reader checks lengths before it reads a field and returns nothing for a
// message it cannot take whole.

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "logging/text_output.h"
#include "platform/utf8_cut.h"

namespace strombel::hub {

enum BusMessageType : uint8_t {
    BusMessageAudioPacket = 0,
    BusMessageRetransmissionRequest = 1,
    BusMessageResourceRequest = 2,
    BusMessageResourceSegment = 3,
    BusMessageTriggerActivate = 5,
    BusMessageTriggerState = 6,
    BusMessageConnectionState = 7,
    BusMessageAcknowledgement = 8,
    BusMessagePing = 9,
    BusMessagePingReply = 10,
    BusMessageLatencyReport = 11,
    BusMessageActivationRequest = 13,
    BusMessagePortAttributes = 14,
    BusMessageTriggerAdjust = 15,
    BusMessageStatePull = 16,
    BusMessageStatePushPacket = 17,
    BusMessageStateRerequest = 18,
    BusMessageStateContentPacket = 19,
    BusMessageStateLoadResponse = 20,
    BusMessageHostStatus = 21,
};

/// Every message begins 3, H, type; H is 3 in what we send.
constexpr uint8_t kBusMessageMarker = 3;
constexpr uint8_t kBusHeaderLength = 3;
/// The largest message the bus carries, and the largest to a UDP peer.
constexpr size_t kBusMaximumMessageLength = 16384;
constexpr size_t kBusUdpPacketSize = 1492;

// ---- little-endian fields ----------------------------------------------------

inline uint16_t readU16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t readU32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t readU64(const uint8_t* p) { return uint64_t(readU32(p)) | (uint64_t(readU32(p + 4)) << 32); }
inline void writeU16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void writeU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void writeU64(uint8_t* p, uint64_t v) {
    writeU32(p, uint32_t(v));
    writeU32(p + 4, uint32_t(v >> 32));
}

/// True when the bytes are well-formed UTF-8 (no overlong forms or surrogates).
using logging::isValidUtf8;

/// The bytes of the well-formed UTF-8 character at `text[at]`; 0 when the byte
/// there begins none (a peer's name keeps such characters and escapes the rest).
inline size_t wellFormedCharacterLength(std::string_view text, size_t at) {
    const size_t length = platform::utf8CharacterLength(text.data(), text.size(), at);
    return isValidUtf8(text.substr(at, length)) ? length : 0;
}

// ---- framing -----------------------------------------------------------------

/// A received message whose framing holds: at least 3 bytes, 3 <= H <= length.
struct BusMessageView {
    const uint8_t* bytes = nullptr;
    size_t length = 0;
    uint8_t headerLength = 0;
    uint8_t type = 0;
    const uint8_t* payload() const { return bytes + headerLength; }
    size_t payloadLength() const { return length - headerLength; }
};
/// H below 3 is refused: the payload would overlap the header.
std::optional<BusMessageView> readBusMessage(const uint8_t* bytes, size_t length);

/// A message of `type` with a payload, framed 3, 3, type.
std::vector<uint8_t> makeBusMessage(uint8_t type, const uint8_t* payload, size_t payloadLength);

// ---- pings (type 9 / 10) -----------------------------------------------------

std::vector<uint8_t> makePing(uint64_t hostTimeNanos);
/// The reply to a ping: its 8 bytes, then the replier's host time.
std::optional<std::vector<uint8_t>> makePingReply(const uint8_t* ping, size_t length, uint64_t hostTimeNanos);

// ---- resources (type 2 / 3) --------------------------------------------------

struct ResourceRequest {
    uint32_t resourceID = 0;
    uint32_t firstSegment = 0;
};
/// A type 2 message whose P (at least 5, the identifier's end) lies within
/// it; the first segment is read when P is at least 9, and is 0 otherwise.
std::optional<ResourceRequest> readResourceRequest(const uint8_t* bytes, size_t length);
std::vector<uint8_t> makeResourceRequest(uint32_t resourceID, uint32_t firstSegment);

struct ResourceSegment {
    uint32_t resourceID = 0;
    uint32_t segmentCount = 0;  // 0: not found
    uint32_t segmentIndex = 0;
    const uint8_t* data = nullptr;
    uint16_t dataLength = 0;
};
/// A type 3 message: H + 17 bytes before its fields are read, P at least 9, and
/// H + P + n within the message. Counts come from the 32-bit fields when P > 16.
std::optional<ResourceSegment> readResourceSegment(const uint8_t* bytes, size_t length);
constexpr size_t kResourceSegmentHeaderLength = 20;
/// Writes the 20-byte segment header into `out` (which must hold 20 + n bytes).
void writeResourceSegmentHeader(uint8_t* out, uint32_t resourceID, uint32_t count, uint32_t index, uint16_t n);

// ---- state transfer (type 16 / 17 / 18 / 19) ----------------------------------

constexpr size_t kStatePacketHeaderLength = 19;
constexpr uint16_t kStateRerequestStop = 65535;

struct StatePacket {
    uint8_t type = 0;  // 17 or 19
    uint8_t kind = 0;  // 0 dictionary, 1 resource
    uint16_t itemCount = 0;
    uint16_t itemIndex = 0;
    uint32_t segmentCount = 0;
    uint32_t segmentIndex = 0;
    const uint8_t* data = nullptr;
    uint16_t dataLength = 0;
    /// Bytes [0, contentLength) are the signed content of a type 17 packet; the
    /// signature follows.
    size_t contentLength = 0;
    const uint8_t* signature = nullptr;
    size_t signatureLength = 0;
};
/// A type 17 or 19 message: H + 16 bytes, P at least 16, H + P + n within it.
std::optional<StatePacket> readStatePacket(const uint8_t* bytes, size_t length);
void writeStatePacketHeader(uint8_t* out, uint8_t type, uint8_t kind, uint16_t itemCount, uint16_t itemIndex,
                            uint32_t segmentCount, uint32_t segmentIndex, uint16_t n);

struct StateRerequest {
    uint16_t item = 0;
    uint32_t segment = 0;
};
/// A type 18 message: H + 7 bytes, P at least 7 and within it.
std::optional<StateRerequest> readStateRerequest(const uint8_t* bytes, size_t length);
std::vector<uint8_t> makeStateRerequest(uint16_t item, uint32_t segment);

/// The fixed part of a resource item's header.
constexpr size_t kResourceItemHeaderFixedLength = 5;
/// The header at the start of a resource item: u8 5, u16 total (5 + k), u16 k,
/// the key. Taken only when the total is 5 + k and fits `length`, and the key is
/// UTF-8.
struct ResourceItemHeader {
    std::string key;
    size_t totalLength = 0;
};
std::optional<ResourceItemHeader> readResourceItemHeader(const uint8_t* data, size_t length);
std::vector<uint8_t> makeResourceItemHeader(std::string_view key);

// ---- signed messages (type 7 / 16 / 17) ---------------------------------------

/// What a signature covers and the signature itself.
struct SignedContent {
    std::vector<uint8_t> content;
    const uint8_t* signature = nullptr;
    size_t signatureLength = 0;
};
/// Splits a signed message: type 7, bytes [0, H+P) and everything after the
/// signature; type 16, the first H+P bytes; type 17, bytes [0, H+P+n). Absent
/// when the message is too short for its own fields or is of another type.
std::optional<SignedContent> splitSignedContent(const uint8_t* bytes, size_t length);

/// A name as it may be logged: control characters and bytes that are not UTF-8
/// written as \xNN, so a peer cannot forge or break log lines.
std::string escapedForLog(std::string_view text);

}  // namespace strombel::hub
