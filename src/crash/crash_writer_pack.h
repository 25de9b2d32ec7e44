#pragma once

// The report's field encoder: one protobuf field at a time, straight to the
// output file, or only counted. Nested messages are measured first (a pass with
// no file) and then written with their length in front.

#include <cstddef>
#include <cstdint>

#include "crash/crash_async.h"

namespace strombel::crash {

/// The field types, numbered as protobuf-c numbers them.
enum crash_pack_type : int {
    CRASH_PACK_INT32 = 0,
    CRASH_PACK_SINT32 = 1,
    CRASH_PACK_SFIXED32 = 2,
    CRASH_PACK_INT64 = 3,
    CRASH_PACK_SINT64 = 4,
    CRASH_PACK_SFIXED64 = 5,
    CRASH_PACK_UINT32 = 6,
    CRASH_PACK_FIXED32 = 7,
    CRASH_PACK_UINT64 = 8,
    CRASH_PACK_FIXED64 = 9,
    CRASH_PACK_FLOAT = 10,
    CRASH_PACK_DOUBLE = 11,
    CRASH_PACK_BOOL = 12,
    CRASH_PACK_ENUM = 13,
    CRASH_PACK_STRING = 14,
    CRASH_PACK_BYTES = 15,
    CRASH_PACK_MESSAGE = 16,
};

/// A bytes value: length and data.
struct crash_pack_bytes {
    uint64_t length;
    const void* data;
};

/// Encodes one field (tag and value) and answers the bytes it takes; with no
/// file it only counts. `value` points at the field's C type: int32_t, uint32_t,
/// int64_t, uint64_t, float, double, bool, a terminated string (const char*
/// itself), a crash_pack_bytes, or, for a message, its uint32_t body length
/// (only the tag and length are written; the caller writes the body).
/// A type above 16 stops the process.
size_t crash_writer_pack(crash_async_file* file, uint32_t field, int type, const void* value);

/// The bytes a base-128 varint of `value` takes.
size_t crash_writer_varint_size(uint64_t value);

}  // namespace strombel::crash
