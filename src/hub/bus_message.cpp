#include "hub/bus_message.h"

#include <fmt/format.h>

namespace strombel::hub {

std::optional<BusMessageView> readBusMessage(const uint8_t* bytes, size_t length) {
    if (!bytes || length < 3) return std::nullopt;
    uint8_t header = bytes[1];
    if (header < kBusHeaderLength || header > length) return std::nullopt;
    return BusMessageView{bytes, length, header, bytes[2]};
}

std::vector<uint8_t> makeBusMessage(uint8_t type, const uint8_t* payload, size_t payloadLength) {
    std::vector<uint8_t> message(3 + payloadLength);
    message[0] = kBusMessageMarker;
    message[1] = kBusHeaderLength;
    message[2] = type;
    if (payloadLength) std::memcpy(message.data() + 3, payload, payloadLength);
    return message;
}

std::vector<uint8_t> makePing(uint64_t hostTimeNanos) {
    std::vector<uint8_t> message{kBusMessageMarker, kBusHeaderLength, BusMessagePing, 0, 0, 0, 0, 0, 0, 0, 0};
    writeU64(message.data() + 3, hostTimeNanos);
    return message;
}

std::optional<std::vector<uint8_t>> makePingReply(const uint8_t* ping, size_t length, uint64_t hostTimeNanos) {
    auto view = readBusMessage(ping, length);
    if (!view || view->type != BusMessagePing || view->payloadLength() < 8) return std::nullopt;
    std::vector<uint8_t> reply(19);
    reply[0] = kBusMessageMarker;
    reply[1] = kBusHeaderLength;
    reply[2] = BusMessagePingReply;
    std::memcpy(reply.data() + 3, view->payload(), 8);
    writeU64(reply.data() + 11, hostTimeNanos);
    return reply;
}

namespace {

/// The payload of a message of `type` whose payload opens with its own length, at
/// least `minimum` bytes and all of them in the message; null for any other.
const uint8_t* sizedPayload(const uint8_t* bytes, size_t length, uint8_t type, size_t minimum) {
    auto view = readBusMessage(bytes, length);
    if (!view || view->type != type) return nullptr;
    size_t h = view->headerLength;
    if (h >= length) return nullptr;
    size_t p = bytes[h];
    if (p < minimum || h + p > length) return nullptr;
    return bytes + h;
}

}  // namespace

std::optional<ResourceRequest> readResourceRequest(const uint8_t* bytes, size_t length) {
    // The identifier at least; a payload header too short for the first
    // segment asks from segment 0.
    const uint8_t* payload = sizedPayload(bytes, length, BusMessageResourceRequest, 5);
    if (!payload) return std::nullopt;
    return ResourceRequest{readU32(payload + 1), payload[0] >= 9 ? readU32(payload + 5) : 0};
}

std::vector<uint8_t> makeResourceRequest(uint32_t resourceID, uint32_t firstSegment) {
    std::vector<uint8_t> message{kBusMessageMarker, kBusHeaderLength, BusMessageResourceRequest, 9, 0, 0, 0, 0, 0, 0, 0, 0};
    writeU32(message.data() + 4, resourceID);
    writeU32(message.data() + 8, firstSegment);
    return message;
}

std::optional<ResourceSegment> readResourceSegment(const uint8_t* bytes, size_t length) {
    auto view = readBusMessage(bytes, length);
    if (!view || view->type != BusMessageResourceSegment) return std::nullopt;
    size_t h = view->headerLength;
    if (h + 17 > length) return std::nullopt;
    const uint8_t* payload = bytes + h;
    size_t p = payload[0];
    if (p < 9) return std::nullopt;
    uint16_t n = readU16(payload + 7);
    if (h + p + n > length) return std::nullopt;
    ResourceSegment segment;
    segment.resourceID = readU32(payload + 1);
    if (p > 16) {
        segment.segmentCount = readU32(payload + 9);
        segment.segmentIndex = readU32(payload + 13);
    } else {
        segment.segmentCount = payload[5];
        segment.segmentIndex = payload[6];
    }
    segment.data = payload + p;
    segment.dataLength = n;
    return segment;
}

void writeResourceSegmentHeader(uint8_t* out, uint32_t resourceID, uint32_t count, uint32_t index, uint16_t n) {
    out[0] = kBusMessageMarker;
    out[1] = kBusHeaderLength;
    out[2] = BusMessageResourceSegment;
    out[3] = 17;
    writeU32(out + 4, resourceID);
    out[8] = count < 256 ? uint8_t(count) : 0;
    out[9] = count < 256 ? uint8_t(index) : 0;
    writeU16(out + 10, n);
    writeU32(out + 12, count);
    writeU32(out + 16, index);
}

std::optional<StatePacket> readStatePacket(const uint8_t* bytes, size_t length) {
    auto view = readBusMessage(bytes, length);
    if (!view || (view->type != BusMessageStatePushPacket && view->type != BusMessageStateContentPacket)) {
        return std::nullopt;
    }
    size_t h = view->headerLength;
    if (h + 16 > length) return std::nullopt;
    const uint8_t* payload = bytes + h;
    size_t p = payload[0];
    if (p < 16) return std::nullopt;
    uint16_t n = readU16(payload + 14);
    if (h + p + n > length) return std::nullopt;
    StatePacket packet;
    packet.type = view->type;
    packet.kind = payload[1];
    packet.itemCount = readU16(payload + 2);
    packet.itemIndex = readU16(payload + 4);
    packet.segmentCount = readU32(payload + 6);
    packet.segmentIndex = readU32(payload + 10);
    packet.data = payload + p;
    packet.dataLength = n;
    packet.contentLength = h + p + n;
    packet.signature = bytes + packet.contentLength;
    packet.signatureLength = length - packet.contentLength;
    return packet;
}

void writeStatePacketHeader(uint8_t* out, uint8_t type, uint8_t kind, uint16_t itemCount, uint16_t itemIndex,
                            uint32_t segmentCount, uint32_t segmentIndex, uint16_t n) {
    out[0] = kBusMessageMarker;
    out[1] = kBusHeaderLength;
    out[2] = type;
    out[3] = 16;
    out[4] = kind;
    writeU16(out + 5, itemCount);
    writeU16(out + 7, itemIndex);
    writeU32(out + 9, segmentCount);
    writeU32(out + 13, segmentIndex);
    writeU16(out + 17, n);
}

std::optional<StateRerequest> readStateRerequest(const uint8_t* bytes, size_t length) {
    const uint8_t* payload = sizedPayload(bytes, length, BusMessageStateRerequest, 7);
    if (!payload) return std::nullopt;
    return StateRerequest{readU16(payload + 1), readU32(payload + 3)};
}

std::vector<uint8_t> makeStateRerequest(uint16_t item, uint32_t segment) {
    std::vector<uint8_t> message{kBusMessageMarker, kBusHeaderLength, BusMessageStateRerequest, 7, 0, 0, 0, 0, 0, 0, 0, 0};
    writeU16(message.data() + 4, item);
    writeU32(message.data() + 6, segment);
    return message;
}

std::optional<ResourceItemHeader> readResourceItemHeader(const uint8_t* data, size_t length) {
    if (!data || length < 5 || data[0] != 5) return std::nullopt;
    size_t total = readU16(data + 1);
    size_t keyLength = readU16(data + 3);
    if (total != 5 + keyLength || total > length) return std::nullopt;
    std::string key(reinterpret_cast<const char*>(data + 5), keyLength);
    if (!isValidUtf8(key)) return std::nullopt;
    return ResourceItemHeader{std::move(key), total};
}

std::vector<uint8_t> makeResourceItemHeader(std::string_view key) {
    std::vector<uint8_t> header(5 + key.size());
    header[0] = 5;
    writeU16(header.data() + 1, uint16_t(5 + key.size()));
    writeU16(header.data() + 3, uint16_t(key.size()));
    std::memcpy(header.data() + 5, key.data(), key.size());
    return header;
}

std::optional<SignedContent> splitSignedContent(const uint8_t* bytes, size_t length) {
    auto view = readBusMessage(bytes, length);
    if (!view) return std::nullopt;
    size_t h = view->headerLength;
    SignedContent signedContent;
    switch (view->type) {
    case BusMessageConnectionState: {
        // Graph record: P @0 (at least 24), signature length S @18.
        if (h + 24 > length) return std::nullopt;
        size_t p = bytes[h];
        size_t s = readU16(bytes + h + 18);
        if (p < 24 || h + p + s > length) return std::nullopt;
        signedContent.content.assign(bytes, bytes + h + p);
        signedContent.content.insert(signedContent.content.end(), bytes + h + p + s, bytes + length);
        signedContent.signature = bytes + h + p;
        signedContent.signatureLength = s;
        return signedContent;
    }
    case BusMessageStatePull: {
        if (h + 7 > length) return std::nullopt;
        size_t p = bytes[h];
        if (p < 1 || h + p > length) return std::nullopt;
        signedContent.content.assign(bytes, bytes + h + p);
        signedContent.signature = bytes + h + p;
        signedContent.signatureLength = length - h - p;
        return signedContent;
    }
    case BusMessageStatePushPacket: {
        auto packet = readStatePacket(bytes, length);
        if (!packet) return std::nullopt;
        signedContent.content.assign(bytes, bytes + packet->contentLength);
        signedContent.signature = packet->signature;
        signedContent.signatureLength = packet->signatureLength;
        return signedContent;
    }
    default:
        return std::nullopt;
    }
}

namespace {

// The code point of a well-formed UTF-8 character of `length` bytes.
uint32_t codePoint(std::string_view character) {
    const auto byte = [&](size_t at) { return uint32_t(static_cast<unsigned char>(character[at])); };
    if (character.size() == 2) return ((byte(0) & 0x1F) << 6) | (byte(1) & 0x3F);
    if (character.size() == 3) return ((byte(0) & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
    return ((byte(0) & 0x07) << 18) | ((byte(1) & 0x3F) << 12) | ((byte(2) & 0x3F) << 6) | (byte(3) & 0x3F);
}

// Characters that change how a line reads without showing: C1 controls, the
// marks, embeddings, overrides and isolates that turn text around, zero-width
// characters, line and paragraph separators, and the byte-order mark.
bool readsInvisibly(uint32_t c) {
    return (c >= 0x80 && c <= 0x9F) || c == 0x061C || (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) ||
           (c >= 0x2060 && c <= 0x2069) || c == 0xFEFF;
}

}  // namespace

std::string escapedForLog(std::string_view text) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            // Keep whole UTF-8 characters, but write those that turn or hide
            // the text as their code; escape stray bytes.
            if (const size_t length = wellFormedCharacterLength(text, i); length > 0) {
                const std::string_view character = text.substr(i, length);
                if (const uint32_t point = codePoint(character); readsInvisibly(point)) {
                    out += fmt::format("\\u{:04X}", point);
                } else {
                    out.append(character);
                }
                i += length;
                continue;
            }
            out += fmt::format("\\x{:02X}", c);
            ++i;
            continue;
        }
        if (c < 0x20 || c == 0x7F || c == '\\') {
            out += c == '\\' ? std::string("\\\\") : fmt::format("\\x{:02X}", c);
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out;
}

}  // namespace strombel::hub
