#pragma once

// A bounds-checked view of a range of this process's memory, through which the
// image readers read every structure of an image: each read must lie whole
// inside the view, and goes through the safe reads unless the memory map showed
// the whole view readable in place when it was made. Crash-time code: no heap.

#include <cstddef>
#include <cstdint>

#include "crash/crash_async.h"

namespace strombel::crash {

struct crash_mobject {
    uint64_t address = 0;  // the first byte covered
    uint64_t length = 0;
    const crash_memory_map* memory = nullptr;
    bool inPlace = false;  // reads copy straight from memory

    bool contains(uint64_t at, uint64_t count) const {
        return at >= address && count <= length && at - address <= length - count;
    }
};

/// A view of `length` bytes at `address`. With `requireWhole` every byte must be
/// readable; without it the view is cut to the readable part from `address` on.
/// 3 when the range is empty, overflows, or not even its first byte can be
/// read. Async-signal-safe.
int crash_mobject_init(crash_mobject* object, const crash_memory_map* memory, uint64_t address, uint64_t length,
                       bool requireWhole);

/// A view of memory the caller knows to be mapped and readable (its own
/// buffers, an image it runs from), read in place with no check. Ordinary
/// context and tests.
void crash_mobject_init_local(crash_mobject* object, const void* bytes, uint64_t length);

/// Copies `length` bytes at target address `at`: 0, 5 when they do not lie
/// inside the view, or the safe read's code.
__attribute__((no_sanitize_address)) inline int crash_mobject_read(const crash_mobject* object, uint64_t at,
                                                                    void* out, size_t length) {
    if (!object->contains(at, length)) return CRASH_EINVAL;
    if (!object->inPlace) return crash_async_read(object->memory, at, 0, out, length);
    const auto* from = reinterpret_cast<const unsigned char*>(at);
    auto* to = static_cast<unsigned char*>(out);
    switch (length) {
        case 1: *to = *from; return CRASH_ESUCCESS;
        case 2: __builtin_memcpy(to, from, 2); return CRASH_ESUCCESS;
        case 4: __builtin_memcpy(to, from, 4); return CRASH_ESUCCESS;
        case 8: __builtin_memcpy(to, from, 8); return CRASH_ESUCCESS;
        default: crash_async_memcpy(to, from, length); return CRASH_ESUCCESS;
    }
}

/// Pointer to `length` bytes at `at` when the view is read in place, else nullptr.
inline const void* crash_mobject_remap(const crash_mobject* object, uint64_t at, uint64_t length) {
    return object->inPlace && object->contains(at, length) ? reinterpret_cast<const void*>(at) : nullptr;
}

inline int crash_mobject_read_uint8(const crash_mobject* object, uint64_t at, uint8_t* value) {
    return crash_mobject_read(object, at, value, 1);
}
inline int crash_mobject_read_uint16(const crash_mobject* object, const crash_async_byteorder* order, uint64_t at,
                                     uint16_t* value) {
    uint16_t raw;
    int result = crash_mobject_read(object, at, &raw, 2);
    if (result == CRASH_ESUCCESS) *value = order->swap16(raw);
    return result;
}
inline int crash_mobject_read_uint32(const crash_mobject* object, const crash_async_byteorder* order, uint64_t at,
                                     uint32_t* value) {
    uint32_t raw;
    int result = crash_mobject_read(object, at, &raw, 4);
    if (result == CRASH_ESUCCESS) *value = order->swap32(raw);
    return result;
}
inline int crash_mobject_read_uint64(const crash_mobject* object, const crash_async_byteorder* order, uint64_t at,
                                     uint64_t* value) {
    uint64_t raw;
    int result = crash_mobject_read(object, at, &raw, 8);
    if (result == CRASH_ESUCCESS) *value = order->swap64(raw);
    return result;
}
/// A target word of 4 or 8 bytes, widened to 64 bits.
inline int crash_mobject_read_word(const crash_mobject* object, const crash_async_byteorder* order, uint64_t at,
                                   bool is64, uint64_t* value) {
    if (is64) return crash_mobject_read_uint64(object, order, at, value);
    uint32_t narrow;
    int result = crash_mobject_read_uint32(object, order, at, &narrow);
    if (result == CRASH_ESUCCESS) *value = narrow;
    return result;
}

/// A value of 1, 2, 4 or 8 bytes, zero-extended; 5 for another size.
inline int crash_mobject_read_sized(const crash_mobject* object, const crash_async_byteorder* order, uint64_t at,
                                    uint32_t size, uint64_t* value) {
    int result = CRASH_EINVAL;
    switch (size) {
        case 1: {
            uint8_t v = 0;
            result = crash_mobject_read_uint8(object, at, &v);
            *value = v;
            break;
        }
        case 2: {
            uint16_t v = 0;
            result = crash_mobject_read_uint16(object, order, at, &v);
            *value = v;
            break;
        }
        case 4: {
            uint32_t v = 0;
            result = crash_mobject_read_uint32(object, order, at, &v);
            *value = v;
            break;
        }
        case 8: result = crash_mobject_read_uint64(object, order, at, value); break;
        default: break;
    }
    return result;
}

/// `value`'s low `size` bytes as a signed number.
inline uint64_t crash_sign_extend(uint64_t value, uint32_t size) {
    if (size >= 8) return value;
    uint32_t shift = 64 - 8 * size;
    return static_cast<uint64_t>(static_cast<int64_t>(value << shift) >> shift);
}

/// A target word read from anywhere in memory with the safe reads.
int crash_async_read_word(const crash_memory_map* memory, const crash_async_byteorder* order, uint64_t address,
                          bool is64, uint64_t* value);

}  // namespace strombel::crash
