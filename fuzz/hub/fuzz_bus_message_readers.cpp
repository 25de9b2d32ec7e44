// Feeds hostile datagrams to every reader of the bus's own messages: resource
// requests and segments, state packets and re-requests, and the resource item
// header inside a state packet. Each input is copied into a block of its exact
// size, so that a read past its end is caught; whatever a reader takes must lie
// inside the message.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "hub/bus_message.h"

using namespace strombel::hub;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[size ? size : 1]);
    if (size) std::memcpy(bytes.get(), data, size);
    const uint8_t* begin = bytes.get();
    const uint8_t* end = begin + size;
    auto inside = [&](const uint8_t* p, size_t n) {
        if (n && (p < begin || p + n > end)) std::abort();
    };

    (void)readResourceRequest(begin, size);
    if (auto segment = readResourceSegment(begin, size)) inside(segment->data, segment->dataLength);
    (void)readStateRerequest(begin, size);
    if (auto packet = readStatePacket(begin, size)) {
        inside(packet->data, packet->dataLength);
        if (packet->contentLength > size || packet->contentLength + packet->signatureLength != size) std::abort();
        if (auto header = readResourceItemHeader(packet->data, packet->dataLength)) {
            if (header->totalLength > packet->dataLength || header->totalLength != 5 + header->key.size()) std::abort();
            if (!isValidUtf8(header->key)) std::abort();
        }
    }
    if (auto header = readResourceItemHeader(begin, size)) {
        if (header->totalLength > size) std::abort();
    }
    (void)escapedForLog(std::string_view(reinterpret_cast<const char*>(begin), size));
    return 0;
}
