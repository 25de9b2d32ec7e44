// The compact unwind reader: any "__unwind_info" bytes and any pc offset must
// end with a code, and every encoding must decode to a code or an entry whose
// registers the states know; applying it reads memory only through safe reads.
//
// Input: 4 bytes of pc offset, 4 of an encoding to decode on its own, 1 byte
// choosing the CPU type, then the section.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "crash/crash_compact_unwind.h"

using namespace strombel::crash;

namespace {

void checkEntry(const crash_compact_unwind_entry& entry, uint64_t cpuType) {
    if (entry.kind < CRASH_COMPACT_FRAME || entry.kind > CRASH_COMPACT_NONE) std::abort();
    if (entry.registerCount > CRASH_COMPACT_MAX_REGISTERS) std::abort();
    for (uint32_t i = 0; i < entry.registerCount; ++i) {
        int32_t reg = entry.registers[i];
        if (reg != CRASH_COMPACT_NO_REGISTER && (reg < 0 || reg >= 34)) std::abort();
    }
    if (cpuType == CRASH_CPU_TYPE_X86) return;  // decoded only
    crash_thread_state state;
    crash_thread_state_init(&state, cpuType == CRASH_CPU_TYPE_ARM64 ? CRASH_THREAD_STATE_ARM64 : CRASH_THREAD_STATE_X86_64);
    uint64_t stack[64] = {};
    crash_thread_state_set(&state, CRASH_REG_PC, 0x10000);
    crash_thread_state_set(&state, CRASH_REG_SP, reinterpret_cast<uint64_t>(&stack[8]));
    crash_thread_state_set(&state, CRASH_REG_FP, reinterpret_cast<uint64_t>(&stack[32]));
    crash_thread_state_set(&state, 32 % crash_thread_state_register_count(&state), 0x20000);
    uint8_t code[300] = {};
    crash_thread_state next;
    crash_compact_unwind_apply(nullptr, reinterpret_cast<uint64_t>(code), &state, &entry, &next);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9) return 0;
    uint32_t pcOffset, encoding;
    std::memcpy(&pcOffset, data, 4);
    std::memcpy(&encoding, data + 4, 4);
    const uint64_t cpuTypes[] = {CRASH_CPU_TYPE_ARM64, CRASH_CPU_TYPE_X86_64, CRASH_CPU_TYPE_X86, 12};
    uint64_t cpuType = cpuTypes[data[8] % 4];
    std::vector<uint8_t> bytes(data + 9, data + size);

    crash_compact_unwind_entry entry;
    if (crash_compact_unwind_decode(&entry, cpuType, encoding) == 0) checkEntry(entry, cpuType);

    if (bytes.empty()) return 0;
    crash_mobject section;
    crash_mobject_init_local(&section, bytes.data(), bytes.size());
    crash_compact_unwind_context context;
    if (crash_compact_unwind_context_init(&context, &section, cpuType) != 0) return 0;
    uint32_t function = 0, found = 0;
    if (crash_compact_unwind_find_entry(&context, pcOffset, &function, &found) != 0) return 0;
    if (function > pcOffset) std::abort();
    if (crash_compact_unwind_decode(&entry, cpuType, found) == 0) checkEntry(entry, cpuType);
    return 0;
}
