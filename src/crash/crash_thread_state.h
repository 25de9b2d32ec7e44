#pragma once

// A thread's register state, as the writer and the frame walkers see it, for
// x86-64, 64-bit ARM and 32-bit ARM on every host. Registers are numbered the
// same way in all three where they can be: 0 the pc, 1 the frame pointer, 2 the
// stack pointer.

#include <cstdint>

namespace strombel::crash {

/// CPU types and subtypes as reports carry them (Mach numbering).
inline constexpr uint64_t CRASH_CPU_TYPE_X86_64 = 0x01000007;
inline constexpr uint64_t CRASH_CPU_SUBTYPE_X86_64_ALL = 3;
inline constexpr uint64_t CRASH_CPU_TYPE_ARM64 = 0x0100000C;
inline constexpr uint64_t CRASH_CPU_SUBTYPE_ARM64_ALL = 0;
inline constexpr uint64_t CRASH_CPU_TYPE_ARM = 12;
inline constexpr uint64_t CRASH_CPU_SUBTYPE_ARM_ALL = 0;

/// The CPU type and subtype of the machine this was built for.
uint64_t crash_host_cpu_type();
uint64_t crash_host_cpu_subtype();

enum crash_thread_state_kind : uint32_t {
    CRASH_THREAD_STATE_X86_64 = 1,
    CRASH_THREAD_STATE_ARM64 = 2,
    CRASH_THREAD_STATE_ARM = 3,
};

/// x86-64: 0 rip, 1 rbp, 2 rsp, 3 rax, 4 rbx, 5 rcx, 6 rdx, 7 rdi, 8 rsi, 9-16 r8-r15,
/// 17 rflags, 18 cs, 19 fs, 20 gs.
/// 64-bit ARM: 0 pc, 1 fp, 2 sp, 3-31 x0-x28, 32 lr, 33 cpsr.
/// 32-bit ARM: 0 pc, 1 r7, 2 sp, 3-9 r0-r6, 10-14 r8-r12, 15 lr, 16 cpsr.
inline constexpr uint32_t CRASH_REG_PC = 0;
inline constexpr uint32_t CRASH_REG_FP = 1;
inline constexpr uint32_t CRASH_REG_SP = 2;
inline constexpr uint32_t CRASH_THREAD_STATE_MAX_REGISTERS = 34;

struct crash_thread_state {
    uint32_t kind = CRASH_THREAD_STATE_X86_64;
    uint32_t stackDirection = 2;  // 1 grows up, 2 grows down
    uint64_t registerSize = 8;
    uint64_t validRegisters = 0;  // bit n for register n
    uint64_t registers[CRASH_THREAD_STATE_MAX_REGISTERS] = {};
    /// The pc is a return address (a caller's frame, or a state captured by a
    /// call): it may be the first byte after its function, so unwind tables and
    /// symbols are looked up at pc - 1. False for a state interrupted where it
    /// stood (a signal's context, the frame below a signal frame).
    bool returnAddress = false;
};

/// A state of `kind` with no valid registers.
void crash_thread_state_init(crash_thread_state* state, crash_thread_state_kind kind);
/// A state for a Mach CPU type; 4 (not supported) for any other type.
int crash_thread_state_init_for_cpu(crash_thread_state* state, uint64_t cpuType);

/// The general registers of an x86-64 signal context, in the kernel's order
/// (r8-r15, rdi, rsi, rbp, rbx, rdx, rax, rcx, rsp, rip, eflags, csgsfs).
struct crash_x86_64_gregs {
    uint64_t values[19];
};
void crash_thread_state_init_x86_64(crash_thread_state* state, const crash_x86_64_gregs* gregs);

/// The general registers of a 64-bit ARM signal context (the kernel's sigcontext).
struct crash_arm64_sigcontext {
    uint64_t faultAddress;
    uint64_t regs[31];  // x0-x30 (x29 fp, x30 lr)
    uint64_t sp;
    uint64_t pc;
    uint64_t pstate;
};
void crash_thread_state_init_arm64(crash_thread_state* state, const crash_arm64_sigcontext* context);

/// The state of the interrupted code of a signal handler's user context
/// (`ucontext_t*` of this host); every register valid.
void crash_thread_state_init_from_ucontext(crash_thread_state* state, const void* ucontext);

inline constexpr uint32_t CRASH_THREAD_STATE_X86_64_COUNT = 21;
inline constexpr uint32_t CRASH_THREAD_STATE_ARM64_COUNT = 34;
inline constexpr uint32_t CRASH_THREAD_STATE_ARM_COUNT = 17;

// The accessors below are inline: the frame readers call them for every rule.
[[noreturn]] void crash_thread_state_register_out_of_range();

inline uint32_t crash_thread_state_register_count(const crash_thread_state* state) {
    switch (state->kind) {
        case CRASH_THREAD_STATE_ARM64: return CRASH_THREAD_STATE_ARM64_COUNT;
        case CRASH_THREAD_STATE_ARM: return CRASH_THREAD_STATE_ARM_COUNT;
        default: return CRASH_THREAD_STATE_X86_64_COUNT;
    }
}
/// The register's name in reports; stops the process for a number out of range.
const char* crash_thread_state_register_name(const crash_thread_state* state, uint32_t reg);
inline bool crash_thread_state_is_valid(const crash_thread_state* state, uint32_t reg) {
    return reg < crash_thread_state_register_count(state) && (state->validRegisters & (1ull << reg)) != 0;
}
/// The value; stops the process for a number out of range.
inline uint64_t crash_thread_state_get(const crash_thread_state* state, uint32_t reg) {
    if (reg >= crash_thread_state_register_count(state)) crash_thread_state_register_out_of_range();
    return state->registers[reg];
}
/// Sets the value and marks it valid; stops the process for a number out of range.
inline void crash_thread_state_set(crash_thread_state* state, uint32_t reg, uint64_t value) {
    if (reg >= crash_thread_state_register_count(state)) crash_thread_state_register_out_of_range();
    state->registers[reg] = state->registerSize == 4 ? (value & 0xFFFFFFFFu) : value;
    state->validRegisters |= 1ull << reg;
}
void crash_thread_state_clear(crash_thread_state* state, uint32_t reg);
void crash_thread_state_clear_all(crash_thread_state* state);

/// Keeps only the callee-saved registers valid (x86-64: rbx, rbp, r12-r15;
/// 64-bit ARM: x19-x28 and, with `keepFramePointer`, fp; 32-bit ARM: r4-r8, r10, r11).
void crash_thread_state_clear_volatile(crash_thread_state* state, bool keepFramePointer);

/// Where unwind tables and symbols are looked up for the state's pc.
inline uint64_t crash_thread_state_lookup_pc(const crash_thread_state* state) {
    uint64_t pc = state->registers[0];
    return state->returnAddress && pc > 0 ? pc - 1 : pc;
}

/// A return address as code can use it: on 64-bit ARM without the pointer
/// authentication code that a signed return address carries in its top bits.
uint64_t crash_thread_state_strip_return_address(const crash_thread_state* state, uint64_t value);

/// Register number to DWARF number and back; false when there is none.
bool crash_thread_state_map_to_dwarf(const crash_thread_state* state, uint32_t reg, uint64_t* dwarf);
bool crash_thread_state_map_from_dwarf(const crash_thread_state* state, uint64_t dwarf, uint32_t* reg);

/// Called with the caller's registers by `crash_thread_state_capture`.
using crash_thread_capture_callback = int (*)(crash_thread_state* state, void* context);

/// Captures the calling thread as its caller sees it: pc the return address into
/// the caller, sp the caller's stack pointer at the call, fp the caller's frame
/// pointer; then calls `callback` with that state and answers its result.
extern "C" int crash_thread_state_capture(crash_thread_capture_callback callback, void* context);

/// Whether `function` keeps the registers a call must keep, the frame pointer
/// aside (x19-x28 on 64-bit ARM; rbx and r12-r15 on x86-64): loads each with a
/// value of its own, stores the stack pointer at the call at `*stackPointer`,
/// calls `function(function)` and answers the number of the first register
/// that lost its value (19-28; rbx 3, r12-r15 12-15), or 0. It holds the
/// hand-written capture routine above to the calling convention.
extern "C" uint32_t crash_register_preservation_check(void (*function)(void*), uint64_t* stackPointer);

}  // namespace strombel::crash
