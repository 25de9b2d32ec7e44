#include "crash/crash_writer_pack.h"

#include <cstdlib>

namespace strombel::crash {
namespace {

enum WireType : uint32_t { kVarint = 0, kFixed64 = 1, kLengthDelimited = 2, kFixed32 = 5 };

size_t putVarint(uint8_t* out, uint64_t value) {
    size_t count = 0;
    while (value >= 0x80) {
        out[count++] = static_cast<uint8_t>(value | 0x80);
        value >>= 7;
    }
    out[count++] = static_cast<uint8_t>(value);
    return count;
}

size_t putFixed(uint8_t* out, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
    return bytes;
}

template <typename T>
T load(const void* value) {
    T result;
    crash_async_memcpy(&result, value, sizeof result);
    return result;
}

}  // namespace

size_t crash_writer_varint_size(uint64_t value) {
    size_t count = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++count;
    }
    return count;
}

size_t crash_writer_pack(crash_async_file* file, uint32_t field, int type, const void* value) {
    // Tag (at most 5 bytes) and a value header (at most 10) go out together.
    uint8_t head[16];
    size_t used = 0;
    const void* body = nullptr;
    uint64_t bodyLength = 0;
    auto tag = [&](WireType wire) { used = putVarint(head, (static_cast<uint64_t>(field) << 3) | wire); };

    switch (type) {
        case CRASH_PACK_INT32: {
            tag(kVarint);
            // A negative value goes out sign-extended to ten bytes.
            used += putVarint(head + used, static_cast<uint64_t>(static_cast<int64_t>(load<int32_t>(value))));
            break;
        }
        case CRASH_PACK_SINT32: {
            tag(kVarint);
            int32_t v = load<int32_t>(value);
            uint32_t zigzag = (static_cast<uint32_t>(v) << 1) ^ static_cast<uint32_t>(v >> 31);
            used += putVarint(head + used, zigzag);
            break;
        }
        case CRASH_PACK_SINT64: {
            tag(kVarint);
            int64_t v = load<int64_t>(value);
            uint64_t zigzag = (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
            used += putVarint(head + used, zigzag);
            break;
        }
        case CRASH_PACK_UINT32:
        case CRASH_PACK_ENUM:
            tag(kVarint);
            used += putVarint(head + used, load<uint32_t>(value));
            break;
        case CRASH_PACK_INT64:
        case CRASH_PACK_UINT64:
            tag(kVarint);
            used += putVarint(head + used, load<uint64_t>(value));
            break;
        case CRASH_PACK_SFIXED32:
        case CRASH_PACK_FIXED32:
        case CRASH_PACK_FLOAT:
            tag(kFixed32);
            used += putFixed(head + used, load<uint32_t>(value), 4);
            break;
        case CRASH_PACK_SFIXED64:
        case CRASH_PACK_FIXED64:
        case CRASH_PACK_DOUBLE:
            tag(kFixed64);
            used += putFixed(head + used, load<uint64_t>(value), 8);
            break;
        case CRASH_PACK_BOOL:
            tag(kVarint);
            head[used++] = load<bool>(value) ? 1 : 0;
            break;
        case CRASH_PACK_STRING: {
            tag(kLengthDelimited);
            const char* text = static_cast<const char*>(value);
            bodyLength = crash_async_strlen(text);
            body = text;
            used += putVarint(head + used, bodyLength);
            break;
        }
        case CRASH_PACK_BYTES: {
            tag(kLengthDelimited);
            auto bytes = load<crash_pack_bytes>(value);
            bodyLength = bytes.length;
            body = bytes.data;
            used += putVarint(head + used, bodyLength);
            break;
        }
        case CRASH_PACK_MESSAGE:
            tag(kLengthDelimited);
            used += putVarint(head + used, load<uint32_t>(value));
            break;
        default:
            abort();
    }
    if (file) {
        crash_async_file_write(file, head, used);
        if (bodyLength > 0) crash_async_file_write(file, body, static_cast<size_t>(bodyLength));
    }
    return used + static_cast<size_t>(bodyLength);
}

}  // namespace strombel::crash
