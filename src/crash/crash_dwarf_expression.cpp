// The DWARF expression stack machine of the call-frame rules.

#include "crash/crash_dwarf.h"

namespace strombel::crash {

namespace {

constexpr uint32_t kStackSize = 100;

struct Machine {
    uint64_t stack[kStackSize];
    uint32_t depth = 0;
    uint64_t mask;  // the target word's bits

    bool push(uint64_t value) {
        if (depth >= kStackSize) return false;
        stack[depth++] = value & mask;
        return true;
    }
    bool pop(uint64_t* value) {
        if (depth == 0) return false;
        *value = stack[--depth];
        return true;
    }
};

int64_t asSigned(uint64_t value, bool is64) {
    return is64 ? static_cast<int64_t>(value) : static_cast<int64_t>(static_cast<int32_t>(value));
}

}  // namespace

int crash_dwarf_expression_evaluate(const crash_mobject* object, const crash_memory_map* memory,
                                    const crash_thread_state* state, const crash_async_byteorder* byteOrder, bool is64,
                                    uint64_t address, uint64_t length, const uint64_t* initial, uint32_t initialCount,
                                    uint64_t* result) {
    if (length > 0 && !object->contains(address, length)) return CRASH_EINVAL;
    Machine machine;
    machine.mask = is64 ? UINT64_MAX : 0xFFFFFFFFu;
    for (uint32_t i = 0; i < initialCount; ++i) {
        if (!machine.push(initial[i])) return CRASH_EINTERNAL;
    }
    const uint64_t end = address + length;
    uint64_t at = address;

    auto readFixed = [&](uint32_t size, uint64_t* value) {
        if (size > end - at || crash_mobject_read_sized(object, byteOrder, at, size, value) != CRASH_ESUCCESS) return false;
        at += size;
        return true;
    };
    auto uleb = [&](uint64_t* value) {
        uint64_t size = 0;
        if (at >= end || crash_dwarf_read_uleb128(object, at, value, &size) != CRASH_ESUCCESS || size > end - at) return false;
        at += size;
        return true;
    };
    auto sleb = [&](int64_t* value) {
        uint64_t size = 0;
        if (at >= end || crash_dwarf_read_sleb128(object, at, value, &size) != CRASH_ESUCCESS || size > end - at) return false;
        at += size;
        return true;
    };
    // A memory operand of `size` bytes, in the target's byte order.
    auto load = [&](uint64_t from, uint32_t size, uint64_t* value) {
        switch (size) {
            case 1: {
                uint8_t v = 0;
                if (crash_async_read_uint8(memory, from, 0, &v) != CRASH_ESUCCESS) return false;
                *value = v;
                return true;
            }
            case 2: {
                uint16_t v = 0;
                if (crash_async_read_uint16(memory, byteOrder, from, 0, &v) != CRASH_ESUCCESS) return false;
                *value = v;
                return true;
            }
            case 4: {
                uint32_t v = 0;
                if (crash_async_read_uint32(memory, byteOrder, from, 0, &v) != CRASH_ESUCCESS) return false;
                *value = v;
                return true;
            }
            default: return crash_async_read_uint64(memory, byteOrder, from, 0, value) == CRASH_ESUCCESS;
        }
    };
    auto registerValue = [&](uint64_t dwarf, uint64_t* value) {
        uint32_t reg = 0;
        if (!crash_thread_state_map_from_dwarf(state, dwarf, &reg)) return CRASH_EINVAL;
        if (!crash_thread_state_is_valid(state, reg)) return CRASH_ENOTFOUND;
        *value = crash_thread_state_get(state, reg);
        return CRASH_ESUCCESS;
    };

    const uint32_t wordSize = is64 ? 8 : 4;
    for (uint32_t operations = 0; at < end; ++operations) {
        if (operations >= CRASH_DWARF_EXPRESSION_MAX_OPERATIONS) return CRASH_EINVAL;
        uint8_t opcode = 0;
        if (crash_mobject_read_uint8(object, at, &opcode) != CRASH_ESUCCESS) return CRASH_EINVAL;
        at += 1;
        uint64_t a = 0, b = 0, c = 0, operand = 0;
        int64_t signedOperand = 0;

        if (opcode >= 0x30 && opcode <= 0x4F) {  // lit0-lit31
            if (!machine.push(opcode - 0x30u)) return CRASH_EINTERNAL;
            continue;
        }
        if (opcode >= 0x70 && opcode <= 0x8F) {  // breg0-breg31
            if (!sleb(&signedOperand)) return CRASH_EINVAL;
            int found = registerValue(opcode - 0x70u, &a);
            if (found != CRASH_ESUCCESS) return found;
            if (!machine.push(a + static_cast<uint64_t>(signedOperand))) return CRASH_EINTERNAL;
            continue;
        }
        switch (opcode) {
            case 0x06:  // deref
            case 0x94:  // deref_size
            case 0x95: {  // xderef_size
                uint32_t size = wordSize;
                if (opcode != 0x06) {
                    if (!readFixed(1, &operand)) return CRASH_EINVAL;
                    if (operand != 1 && operand != 2 && operand != 4 && operand != 8) return CRASH_ENOTSUP;
                    size = static_cast<uint32_t>(operand);
                }
                if (!machine.pop(&a)) return CRASH_EINTERNAL;
                if (opcode == 0x95 && !machine.pop(&b)) return CRASH_EINTERNAL;  // the address space, unused
                if (!load(a, size, &c)) return CRASH_EINVAL;
                if (!machine.push(c)) return CRASH_EINTERNAL;
                break;
            }
            case 0x18: {  // xderef
                if (!machine.pop(&a) || !machine.pop(&b)) return CRASH_EINTERNAL;
                if (!load(a, wordSize, &c)) return CRASH_EINVAL;
                if (!machine.push(c)) return CRASH_EINTERNAL;
                break;
            }
            case 0x08:  // const1u
            case 0x0A:  // const2u
            case 0x0C:  // const4u
            case 0x0E:  // const8u
            {
                uint32_t size = opcode == 0x08 ? 1 : opcode == 0x0A ? 2 : opcode == 0x0C ? 4 : 8;
                if (!readFixed(size, &a)) return CRASH_EINVAL;
                if (!machine.push(a)) return CRASH_EINTERNAL;
                break;
            }
            case 0x09:  // const1s
            case 0x0B:  // const2s
            case 0x0D:  // const4s
            case 0x0F:  // const8s
            {
                uint32_t size = opcode == 0x09 ? 1 : opcode == 0x0B ? 2 : opcode == 0x0D ? 4 : 8;
                if (!readFixed(size, &a)) return CRASH_EINVAL;
                a = crash_sign_extend(a, size);
                if (!machine.push(a)) return CRASH_EINTERNAL;
                break;
            }
            case 0x10:  // constu
                if (!uleb(&a)) return CRASH_EINVAL;
                if (!machine.push(a)) return CRASH_EINTERNAL;
                break;
            case 0x11:  // consts
                if (!sleb(&signedOperand)) return CRASH_EINVAL;
                if (!machine.push(static_cast<uint64_t>(signedOperand))) return CRASH_EINTERNAL;
                break;
            case 0x12:  // dup
                if (machine.depth == 0 || !machine.push(machine.stack[machine.depth - 1])) return CRASH_EINTERNAL;
                break;
            case 0x13:  // drop
                if (!machine.pop(&a)) return CRASH_EINTERNAL;
                break;
            case 0x14:  // over
                if (machine.depth < 2 || !machine.push(machine.stack[machine.depth - 2])) return CRASH_EINTERNAL;
                break;
            case 0x15:  // pick
                if (!readFixed(1, &operand)) return CRASH_EINVAL;
                if (operand >= machine.depth) return CRASH_EINTERNAL;
                if (!machine.push(machine.stack[machine.depth - 1 - operand])) return CRASH_EINTERNAL;
                break;
            case 0x16:  // swap
                if (machine.depth < 2) return CRASH_EINTERNAL;
                a = machine.stack[machine.depth - 1];
                machine.stack[machine.depth - 1] = machine.stack[machine.depth - 2];
                machine.stack[machine.depth - 2] = a;
                break;
            case 0x17:  // rot: the top goes under the next two
                if (machine.depth < 3) return CRASH_EINTERNAL;
                a = machine.stack[machine.depth - 1];
                machine.stack[machine.depth - 1] = machine.stack[machine.depth - 2];
                machine.stack[machine.depth - 2] = machine.stack[machine.depth - 3];
                machine.stack[machine.depth - 3] = a;
                break;
            case 0x19:  // abs
                if (!machine.pop(&a)) return CRASH_EINTERNAL;
                if (asSigned(a, is64) < 0) a = 0 - a;
                machine.push(a);
                break;
            case 0x1F:  // neg
                if (!machine.pop(&a)) return CRASH_EINTERNAL;
                machine.push(0 - a);
                break;
            case 0x20:  // not
                if (!machine.pop(&a)) return CRASH_EINTERNAL;
                machine.push(~a);
                break;
            case 0x23:  // plus_uconst
                if (!uleb(&operand)) return CRASH_EINVAL;
                if (!machine.pop(&a)) return CRASH_EINTERNAL;
                machine.push(a + operand);
                break;
            case 0x1A:  // and
            case 0x1B:  // div
            case 0x1C:  // minus
            case 0x1D:  // mod
            case 0x1E:  // mul
            case 0x21:  // or
            case 0x22:  // plus
            case 0x24:  // shl
            case 0x25:  // shr
            case 0x26:  // shra
            case 0x27:  // xor
            case 0x29:  // eq
            case 0x2A:  // ge
            case 0x2B:  // gt
            case 0x2C:  // le
            case 0x2D:  // lt
            case 0x2E:  // ne
            {
                // b is the top, a the one below it: "a op b".
                if (!machine.pop(&b) || !machine.pop(&a)) return CRASH_EINTERNAL;
                int64_t sa = asSigned(a, is64), sb = asSigned(b, is64);
                uint32_t bits = is64 ? 64 : 32;
                switch (opcode) {
                    case 0x1A: c = a & b; break;
                    case 0x1B:
                        // A division by zero answers a code instead of raising
                        // SIGFPE inside the crash handler.
                        if (sb == 0) return CRASH_EINVAL;
                        c = (sb == -1) ? 0 - a : static_cast<uint64_t>(sa / sb);
                        break;
                    case 0x1C: c = a - b; break;
                    case 0x1D:
                        if (b == 0) return CRASH_EINVAL;
                        c = a % b;
                        break;
                    case 0x1E: c = a * b; break;
                    case 0x21: c = a | b; break;
                    case 0x22: c = a + b; break;
                    case 0x24: c = b >= bits ? 0 : a << b; break;
                    case 0x25: c = b >= bits ? 0 : a >> b; break;
                    case 0x26: c = static_cast<uint64_t>(b >= bits ? (sa < 0 ? -1 : 0) : sa >> b); break;
                    case 0x27: c = a ^ b; break;
                    case 0x29: c = sa == sb; break;
                    case 0x2A: c = sa >= sb; break;
                    case 0x2B: c = sa > sb; break;
                    case 0x2C: c = sa <= sb; break;
                    case 0x2D: c = sa < sb; break;
                    default: c = sa != sb; break;
                }
                machine.push(c);
                break;
            }
            case 0x2F:  // skip
            case 0x28:  // bra
            {
                if (!readFixed(2, &operand)) return CRASH_EINVAL;
                int64_t offset = static_cast<int16_t>(static_cast<uint16_t>(operand));
                bool jump = true;
                if (opcode == 0x28) {
                    if (!machine.pop(&a)) return CRASH_EINTERNAL;
                    jump = a != 0;
                }
                if (jump) {
                    // The target must lie inside the expression (its end included).
                    if (offset < 0 ? static_cast<uint64_t>(-offset) > at - address : static_cast<uint64_t>(offset) > end - at) {
                        return CRASH_EINVAL;
                    }
                    at = static_cast<uint64_t>(static_cast<int64_t>(at) + offset);
                }
                break;
            }
            case 0x92:  // bregx
            {
                if (!uleb(&operand) || !sleb(&signedOperand)) return CRASH_EINVAL;
                int found = registerValue(operand, &a);
                if (found != CRASH_ESUCCESS) return found;
                if (!machine.push(a + static_cast<uint64_t>(signedOperand))) return CRASH_EINTERNAL;
                break;
            }
            case 0x96: break;  // nop
            default: return CRASH_ENOTSUP;
        }
    }
    if (!machine.pop(result)) return CRASH_EINVAL;
    return CRASH_ESUCCESS;
}

}  // namespace strombel::crash
