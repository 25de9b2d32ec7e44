#pragma once

// The compact unwind reader: the "__unwind_info" section of a Mach-O image
// gives each function a 32-bit encoding of how its frame is laid out; this
// finds the encoding of a pc, decodes it and computes the caller's frame.
// Entries are applied to x86-64 and 64-bit ARM states; 32-bit x86 encodings are
// decoded only (there is no 32-bit x86 state). No ELF image has such a section.
// Crash-time code: no heap.

#include <cstdint>

#include "crash/crash_async.h"
#include "crash/crash_mobject.h"
#include "crash/crash_thread_state.h"

namespace strombel::crash {

inline constexpr uint64_t CRASH_CPU_TYPE_X86 = 7;

enum crash_compact_unwind_kind : uint32_t {
    CRASH_COMPACT_FRAME = 1,              // frame-pointer based
    CRASH_COMPACT_FRAMELESS_IMMEDIATE = 2,
    CRASH_COMPACT_FRAMELESS_INDIRECT = 3,  // stack size read from the function's code
    CRASH_COMPACT_DWARF = 4,
    CRASH_COMPACT_NONE = 5,  // no unwind information
};

inline constexpr uint32_t CRASH_COMPACT_MAX_REGISTERS = 10;
inline constexpr int32_t CRASH_COMPACT_NO_REGISTER = -1;

/// A decoded encoding. Registers are numbers of the thread state of the CPU
/// type (for 32-bit x86, of its own state layout); none is -1.
struct crash_compact_unwind_entry {
    uint32_t kind = 0;
    uint64_t cpuType = 0;
    int64_t stackOffset = 0;  // kinds 2 and 3: size or its offset in the code; kind 1: the registers' offset from fp; kind 4: the DWARF offset
    uint32_t stackAdjust = 0;
    int32_t returnAddressRegister = CRASH_COMPACT_NO_REGISTER;
    uint32_t registerCount = 0;
    int32_t registers[CRASH_COMPACT_MAX_REGISTERS];
};

/// The section and its header.
struct crash_compact_unwind_context {
    const crash_mobject* section = nullptr;
    uint64_t cpuType = 0;
    uint32_t commonEncodingsOffset = 0;
    uint32_t commonEncodingsCount = 0;
    uint32_t personalitiesOffset = 0;
    uint32_t personalitiesCount = 0;
    uint32_t indexOffset = 0;
    uint32_t indexCount = 0;
};

/// 4 for a CPU type other than x86, x86-64 or 64-bit ARM, or a version other
/// than 1; 5 when the 28-byte header cannot be read.
int crash_compact_unwind_context_init(crash_compact_unwind_context* context, const crash_mobject* section,
                                      uint64_t cpuType);
/// The entry for a pc's offset from the image's header: its function's offset
/// and encoding. 8 when there is none, 5 for damage.
int crash_compact_unwind_find_entry(const crash_compact_unwind_context* context, uint32_t pcOffset,
                                    uint32_t* functionOffset, uint32_t* encoding);
/// 4 for a mode not known, 5 for a register number or count out of range.
int crash_compact_unwind_decode(crash_compact_unwind_entry* entry, uint64_t cpuType, uint32_t encoding);
/// The caller's frame; 4 for kinds 4 and 5, 8 for a register needed but not
/// valid, the read's code when memory cannot be read.
int crash_compact_unwind_apply(const crash_memory_map* memory, uint64_t functionStart, const crash_thread_state* current,
                               const crash_compact_unwind_entry* entry, crash_thread_state* next);

/// The permutation number of 1 to 6 distinct compact register numbers (1-6),
/// by the same radices the decoding splits it with; 0xFFFFFFFF when the list
/// is not such.
uint32_t crash_compact_unwind_permutation(const uint32_t* compactRegisters, uint32_t count);

}  // namespace strombel::crash
