#include "crash/crash_compact_unwind.h"

#include "crash/crash_frame_cursor.h"

namespace strombel::crash {

namespace {

// Mode bits of an encoding.
constexpr uint32_t kModeMask = 0x0F000000;

// Thread-state register numbers.
constexpr int32_t arm64X(uint32_t n) { return static_cast<int32_t>(3 + n); }
constexpr int32_t kArm64Lr = 32;

// Compact register numbers 1-6 to thread registers; 0 is none.
const int32_t x86Registers[] = {CRASH_COMPACT_NO_REGISTER, 6, 5, 4, 8, 7, 1};
const int32_t x86_64Registers[] = {CRASH_COMPACT_NO_REGISTER, 4, 13, 14, 15, 16, 1};

int mapRegister(uint64_t cpuType, uint32_t compact, int32_t* reg) {
    if (compact > 6) return CRASH_EINVAL;
    *reg = cpuType == CRASH_CPU_TYPE_X86 ? x86Registers[compact] : x86_64Registers[compact];
    return CRASH_ESUCCESS;
}

int decodeArm64(crash_compact_unwind_entry* entry, uint32_t encoding) {
    switch (encoding & kModeMask) {
        case 0: entry->kind = CRASH_COMPACT_NONE; return CRASH_ESUCCESS;
        case 0x02000000:
            entry->kind = CRASH_COMPACT_FRAMELESS_IMMEDIATE;
            entry->stackOffset = static_cast<int64_t>(((encoding >> 12) & 0xFFF) * 16);
            entry->returnAddressRegister = kArm64Lr;
            break;
        case 0x03000000:
            entry->kind = CRASH_COMPACT_DWARF;
            entry->stackOffset = encoding & 0x00FFFFFF;
            return CRASH_ESUCCESS;
        case 0x04000000: entry->kind = CRASH_COMPACT_FRAME; break;
        default: return CRASH_ENOTSUP;
    }
    // Saved pairs, floating-point ones aside.
    const struct {
        uint32_t bit;
        uint32_t high, low;
    } pairs[] = {{0x10, 28, 27}, {0x8, 26, 25}, {0x4, 24, 23}, {0x2, 22, 21}, {0x1, 20, 19}};
    for (const auto& pair : pairs) {
        if (!(encoding & pair.bit)) continue;
        entry->registers[entry->registerCount++] = arm64X(pair.high);
        entry->registers[entry->registerCount++] = arm64X(pair.low);
    }
    if (entry->kind == CRASH_COMPACT_FRAME) entry->stackOffset = -8 * static_cast<int64_t>(entry->registerCount);
    return CRASH_ESUCCESS;
}

int decodeX86(crash_compact_unwind_entry* entry, uint64_t cpuType, uint32_t encoding) {
    const int64_t wordSize = cpuType == CRASH_CPU_TYPE_X86 ? 4 : 8;
    switch (encoding & kModeMask) {
        case 0: entry->kind = CRASH_COMPACT_NONE; return CRASH_ESUCCESS;
        case 0x01000000: {
            entry->kind = CRASH_COMPACT_FRAME;
            entry->stackOffset = -static_cast<int64_t>((encoding >> 16) & 0xFF) * wordSize;
            // Five 3-bit slots, one register (or none) each, from the lowest address up.
            for (uint32_t slot = 0; slot < 5; ++slot) {
                int32_t reg = 0;
                if (mapRegister(cpuType, (encoding >> (3 * slot)) & 7, &reg) != CRASH_ESUCCESS) return CRASH_EINVAL;
                entry->registers[entry->registerCount++] = reg;
            }
            return CRASH_ESUCCESS;
        }
        case 0x02000000:
        case 0x03000000: {
            if ((encoding & kModeMask) == 0x02000000) {
                entry->kind = CRASH_COMPACT_FRAMELESS_IMMEDIATE;
                entry->stackOffset = static_cast<int64_t>((encoding >> 16) & 0xFF) * wordSize;
            } else {
                entry->kind = CRASH_COMPACT_FRAMELESS_INDIRECT;
                entry->stackOffset = (encoding >> 16) & 0xFF;
                entry->stackAdjust = static_cast<uint32_t>(((encoding >> 13) & 7) * wordSize);
            }
            uint32_t count = (encoding >> 10) & 7;
            if (count > 6) return CRASH_EINVAL;
            uint32_t p = encoding & 0x3FF;
            uint32_t digits[6] = {};
            switch (count) {
                case 1: digits[0] = p; break;
                case 2:
                    digits[0] = p / 5;
                    digits[1] = p % 5;
                    break;
                case 3:
                    digits[0] = p / 20;
                    digits[1] = (p % 20) / 4;
                    digits[2] = p % 4;
                    break;
                case 4:
                    digits[0] = p / 60;
                    digits[1] = (p % 60) / 12;
                    digits[2] = (p % 12) / 3;
                    digits[3] = p % 3;
                    break;
                case 5:
                case 6:
                    digits[0] = p / 120;
                    digits[1] = (p % 120) / 24;
                    digits[2] = (p % 24) / 6;
                    digits[3] = (p % 6) / 2;
                    digits[4] = p % 2;
                    digits[5] = 0;
                    break;
                default: break;
            }
            // Each digit picks among the compact numbers 1-6 not picked yet.
            bool used[7] = {};
            for (uint32_t i = 0; i < count; ++i) {
                uint32_t seen = 0, chosen = 0;
                for (uint32_t candidate = 1; candidate <= 6; ++candidate) {
                    if (used[candidate]) continue;
                    if (seen == digits[i]) {
                        chosen = candidate;
                        break;
                    }
                    ++seen;
                }
                if (chosen == 0) return CRASH_EINVAL;
                used[chosen] = true;
                int32_t reg = 0;
                mapRegister(cpuType, chosen, &reg);
                entry->registers[entry->registerCount++] = reg;
            }
            return CRASH_ESUCCESS;
        }
        case 0x04000000:
            entry->kind = CRASH_COMPACT_DWARF;
            entry->stackOffset = encoding & 0x00FFFFFF;
            return CRASH_ESUCCESS;
        default: return CRASH_ENOTSUP;
    }
}

}  // namespace

int crash_compact_unwind_context_init(crash_compact_unwind_context* context, const crash_mobject* section,
                                      uint64_t cpuType) {
    if (cpuType != CRASH_CPU_TYPE_X86 && cpuType != CRASH_CPU_TYPE_X86_64 && cpuType != CRASH_CPU_TYPE_ARM64) {
        return CRASH_ENOTSUP;
    }
    uint32_t header[7];
    if (crash_mobject_read(section, section->address, header, sizeof header) != CRASH_ESUCCESS) return CRASH_EINVAL;
    if (header[0] != 1) return CRASH_ENOTSUP;
    context->section = section;
    context->cpuType = cpuType;
    context->commonEncodingsOffset = header[1];
    context->commonEncodingsCount = header[2];
    context->personalitiesOffset = header[3];
    context->personalitiesCount = header[4];
    context->indexOffset = header[5];
    context->indexCount = header[6];
    return CRASH_ESUCCESS;
}

int crash_compact_unwind_find_entry(const crash_compact_unwind_context* context, uint32_t pcOffset,
                                    uint32_t* functionOffset, uint32_t* encoding) {
    const crash_mobject* section = context->section;
    const crash_async_byteorder* order = crash_async_byteorder_native();
    const uint64_t base = section->address;
    if (context->indexCount == 0) return CRASH_ENOTFOUND;
    uint64_t common = base + context->commonEncodingsOffset;
    uint64_t index = base + context->indexOffset;
    if (context->commonEncodingsCount > 0 && !section->contains(common, uint64_t{context->commonEncodingsCount} * 4)) {
        return CRASH_EINVAL;
    }
    if (!section->contains(index, uint64_t{context->indexCount} * 12)) return CRASH_EINVAL;
    auto indexFunction = [&](uint64_t i, uint32_t* value) {
        return crash_mobject_read_uint32(section, order, index + i * 12, value) == CRASH_ESUCCESS;
    };

    // The first-level entry whose function offset is at or below the pc's and
    // whose successor's is above it; the last entry only closes the range.
    uint64_t low = 0, high = context->indexCount - 1;
    while (low < high) {
        uint64_t middle = low + (high - low) / 2;
        uint32_t value = 0;
        if (!indexFunction(middle, &value)) return CRASH_EINVAL;
        if (value <= pcOffset) low = middle + 1;
        else high = middle;
    }
    if (low == 0) return CRASH_ENOTFOUND;
    uint64_t chosen = low - 1;
    uint32_t firstLevelFunction = 0, nextFunction = 0, pageOffset = 0;
    if (!indexFunction(chosen, &firstLevelFunction) || !indexFunction(chosen + 1, &nextFunction) ||
        crash_mobject_read_uint32(section, order, index + chosen * 12 + 4, &pageOffset) != CRASH_ESUCCESS) {
        return CRASH_EINVAL;
    }
    if (pcOffset < firstLevelFunction || pcOffset >= nextFunction) return CRASH_ENOTFOUND;

    uint64_t page = base + pageOffset;
    uint32_t kind = 0;
    if (crash_mobject_read_uint32(section, order, page, &kind) != CRASH_ESUCCESS) return CRASH_EINVAL;
    if (kind == 2) {
        uint16_t header[2];  // entry array offset, entry count
        if (crash_mobject_read(section, page + 4, header, 4) != CRASH_ESUCCESS) return CRASH_EINVAL;
        uint64_t entries = page + header[0];
        if (header[1] == 0 || !section->contains(entries, uint64_t{header[1]} * 8)) return CRASH_ENOTFOUND;
        uint64_t lo = 0, hi = header[1];
        while (lo < hi) {
            uint64_t middle = lo + (hi - lo) / 2;
            uint32_t value = 0;
            if (crash_mobject_read_uint32(section, order, entries + middle * 8, &value) != CRASH_ESUCCESS) return CRASH_EINVAL;
            if (value <= pcOffset) lo = middle + 1;
            else hi = middle;
        }
        if (lo == 0) return CRASH_ENOTFOUND;
        if (crash_mobject_read_uint32(section, order, entries + (lo - 1) * 8, functionOffset) != CRASH_ESUCCESS ||
            crash_mobject_read_uint32(section, order, entries + (lo - 1) * 8 + 4, encoding) != CRASH_ESUCCESS) {
            return CRASH_EINVAL;
        }
        return CRASH_ESUCCESS;
    }
    if (kind != 3) return CRASH_EINVAL;
    uint16_t header[4];  // entry array offset, entry count, encodings offset, encodings count
    if (crash_mobject_read(section, page + 4, header, 8) != CRASH_ESUCCESS) return CRASH_EINVAL;
    uint64_t entries = page + header[0];
    if (header[1] == 0 || !section->contains(entries, uint64_t{header[1]} * 4)) return CRASH_ENOTFOUND;
    uint64_t lo = 0, hi = header[1];
    while (lo < hi) {
        uint64_t middle = lo + (hi - lo) / 2;
        uint32_t value = 0;
        if (crash_mobject_read_uint32(section, order, entries + middle * 4, &value) != CRASH_ESUCCESS) return CRASH_EINVAL;
        if (uint64_t{value & 0x00FFFFFF} + firstLevelFunction <= pcOffset) lo = middle + 1;
        else hi = middle;
    }
    if (lo == 0) return CRASH_ENOTFOUND;
    uint32_t value = 0;
    if (crash_mobject_read_uint32(section, order, entries + (lo - 1) * 4, &value) != CRASH_ESUCCESS) return CRASH_EINVAL;
    uint64_t function = uint64_t{value & 0x00FFFFFF} + firstLevelFunction;
    if (function > UINT32_MAX) return CRASH_EINVAL;
    *functionOffset = static_cast<uint32_t>(function);
    uint32_t encodingIndex = value >> 24;
    if (encodingIndex < context->commonEncodingsCount) {
        return crash_mobject_read_uint32(section, order, common + encodingIndex * 4, encoding) == CRASH_ESUCCESS
                   ? CRASH_ESUCCESS
                   : CRASH_EINVAL;
    }
    uint32_t own = encodingIndex - context->commonEncodingsCount;
    if (own >= header[3]) return CRASH_EINVAL;
    return crash_mobject_read_uint32(section, order, page + header[2] + uint64_t{own} * 4, encoding) == CRASH_ESUCCESS
               ? CRASH_ESUCCESS
               : CRASH_EINVAL;
}

int crash_compact_unwind_decode(crash_compact_unwind_entry* entry, uint64_t cpuType, uint32_t encoding) {
    *entry = crash_compact_unwind_entry();
    for (int32_t& reg : entry->registers) reg = CRASH_COMPACT_NO_REGISTER;
    entry->cpuType = cpuType;
    switch (cpuType) {
        case CRASH_CPU_TYPE_ARM64: return decodeArm64(entry, encoding);
        case CRASH_CPU_TYPE_X86:
        case CRASH_CPU_TYPE_X86_64: return decodeX86(entry, cpuType, encoding);
        default: return CRASH_ENOTSUP;
    }
}

uint32_t crash_compact_unwind_permutation(const uint32_t* compactRegisters, uint32_t count) {
    if (count < 1 || count > 6) return UINT32_MAX;
    // Each register's rank among those not yet used: the digits.
    uint32_t digits[6] = {};
    bool used[7] = {};
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t reg = compactRegisters[i];
        if (reg < 1 || reg > 6 || used[reg]) return UINT32_MAX;
        uint32_t rank = 0;
        for (uint32_t candidate = 1; candidate < reg; ++candidate) rank += used[candidate] ? 0 : 1;
        digits[i] = rank;
        used[reg] = true;
    }
    switch (count) {
        case 1: return digits[0];
        case 2: return digits[0] * 5 + digits[1];
        case 3: return digits[0] * 20 + digits[1] * 4 + digits[2];
        case 4: return digits[0] * 60 + digits[1] * 12 + digits[2] * 3 + digits[3];
        default: return digits[0] * 120 + digits[1] * 24 + digits[2] * 6 + digits[3] * 2 + digits[4];
    }
}

int crash_compact_unwind_apply(const crash_memory_map* memory, uint64_t functionStart, const crash_thread_state* current,
                               const crash_compact_unwind_entry* entry, crash_thread_state* next) {
    const uint64_t wordSize = current->registerSize;
    const bool is64 = wordSize == 8;
    const crash_async_byteorder* order = crash_async_byteorder_native();
    *next = *current;
    crash_thread_state_clear_volatile(next, true);
    uint64_t savedAt = 0;
    uint64_t registerBytes = entry->registerCount * wordSize;
    uint64_t pc = 0;
    switch (entry->kind) {
        case CRASH_COMPACT_FRAMELESS_IMMEDIATE:
        case CRASH_COMPACT_FRAMELESS_INDIRECT: {
            if (!crash_thread_state_is_valid(current, CRASH_REG_SP)) return CRASH_ENOTFOUND;
            uint64_t stackSize = static_cast<uint64_t>(entry->stackOffset);
            if (entry->kind == CRASH_COMPACT_FRAMELESS_INDIRECT) {
                // The immediate of the function's own stack adjustment.
                uint32_t immediate = 0;
                uint64_t at = 0;
                if (!crash_async_address_add(functionStart, entry->stackOffset, &at)) return CRASH_EINVAL;
                int result = crash_async_read_uint32(memory, order, at, 0, &immediate);
                if (result != CRASH_ESUCCESS) return result;
                stackSize = uint64_t{immediate} + entry->stackAdjust;
            }
            uint64_t sp = crash_thread_state_get(current, CRASH_REG_SP);
            if (stackSize > UINT64_MAX - sp) return CRASH_EINVAL;
            uint64_t newSp = sp + stackSize;
            if (entry->returnAddressRegister != CRASH_COMPACT_NO_REGISTER) {
                auto reg = static_cast<uint32_t>(entry->returnAddressRegister);
                if (!crash_thread_state_is_valid(current, reg)) return CRASH_ENOTFOUND;
                pc = crash_thread_state_get(current, reg);
                if (registerBytes > newSp) return CRASH_EINVAL;
                savedAt = newSp - registerBytes;
            } else {
                if (wordSize + registerBytes > newSp) return CRASH_EINVAL;
                int result = crash_async_read_word(memory, order, newSp - wordSize, is64, &pc);
                if (result != CRASH_ESUCCESS) return result;
                savedAt = newSp - wordSize - registerBytes;
            }
            crash_thread_state_set(next, CRASH_REG_SP, newSp);
            break;
        }
        case CRASH_COMPACT_FRAME: {
            if (!crash_thread_state_is_valid(current, CRASH_REG_FP)) return CRASH_ENOTFOUND;
            uint64_t fp = crash_thread_state_get(current, CRASH_REG_FP);
            if (2 * wordSize > UINT64_MAX - fp) return CRASH_EINVAL;
            uint64_t newFp = 0;
            int result = crash_async_read_word(memory, order, fp, is64, &newFp);
            if (result == CRASH_ESUCCESS) result = crash_async_read_word(memory, order, fp + wordSize, is64, &pc);
            if (result != CRASH_ESUCCESS) return result;
            if (!crash_async_address_add(fp, entry->stackOffset, &savedAt)) return CRASH_EINVAL;
            crash_thread_state_set(next, CRASH_REG_SP, fp + 2 * wordSize);
            crash_thread_state_set(next, CRASH_REG_FP, newFp);
            break;
        }
        default: return CRASH_ENOTSUP;
    }
    // The saved registers, one word each from `savedAt` up; an empty slot keeps its word.
    uint32_t count = crash_thread_state_register_count(current);
    for (uint32_t i = 0; i < entry->registerCount; ++i) {
        int32_t reg = entry->registers[i];
        if (reg != CRASH_COMPACT_NO_REGISTER) {
            if (static_cast<uint32_t>(reg) >= count) return CRASH_EINVAL;
            uint64_t value = 0;
            int result = crash_async_read_word(memory, order, savedAt + i * wordSize, is64, &value);
            if (result != CRASH_ESUCCESS) return result;
            crash_thread_state_set(next, static_cast<uint32_t>(reg), value);
        }
    }
    crash_thread_state_set(next, CRASH_REG_PC, crash_thread_state_strip_return_address(current, pc));
    next->returnAddress = true;
    return CRASH_ESUCCESS;
}

int crash_compact_unwind_reader(const crash_frame_environment* environment, const crash_thread_state* current,
                                const crash_thread_state*, crash_thread_state* next) {
    if (!crash_thread_state_is_valid(current, CRASH_REG_PC)) return CRASH_FRAME_EBADFRAME;
    if (!environment || !environment->images) return CRASH_FRAME_ENOTSUP;
    uint64_t pc = crash_thread_state_lookup_pc(current);
    const crash_image* image = environment->images->find(pc, environment->generation);
    // ELF images have no "__unwind_info": this is the one check they cost.
    if (!image || image->format != CRASH_IMAGE_FORMAT_MACHO) return CRASH_FRAME_ENOTSUP;
    const crash_macho_image* macho = image->macho;
    const crash_memory_map* memory = environment->memory;
    crash_mobject section;
    if (crash_macho_map_section(macho, memory, "__TEXT", "__unwind_info", &section) != CRASH_ESUCCESS) {
        return CRASH_FRAME_ENOTSUP;
    }
    crash_compact_unwind_context context;
    if (crash_compact_unwind_context_init(&context, &section, crash_macho_image_cpu_type(macho)) != CRASH_ESUCCESS) {
        return CRASH_FRAME_EINVAL;
    }
    uint64_t offset = pc - macho->header;
    uint32_t functionOffset = 0, encoding = 0;
    if (offset > UINT32_MAX ||
        crash_compact_unwind_find_entry(&context, static_cast<uint32_t>(offset), &functionOffset, &encoding) !=
            CRASH_ESUCCESS) {
        return CRASH_FRAME_ENOTSUP;
    }
    crash_compact_unwind_entry entry;
    if (crash_compact_unwind_decode(&entry, context.cpuType, encoding) != CRASH_ESUCCESS) return CRASH_FRAME_ENOTSUP;
    if (entry.kind == CRASH_COMPACT_NONE) return CRASH_FRAME_ENOFRAME;
    uint64_t functionStart = 0;
    if (!crash_async_address_add(macho->header, functionOffset, &functionStart)) return CRASH_FRAME_EINVAL;
    if (crash_compact_unwind_apply(memory, functionStart, current, &entry, next) != CRASH_ESUCCESS) {
        return CRASH_FRAME_ENOFRAME;
    }
    return CRASH_FRAME_ESUCCESS;
}

}  // namespace strombel::crash
