#include "crash/crash_thread_state.h"

#include <ucontext.h>

#include <cstdlib>

#include "crash/crash_async.h"

namespace strombel::crash {
namespace {

const char* const x86_64Names[] = {"rip", "rbp", "rsp", "rax", "rbx", "rcx", "rdx", "rdi", "rsi", "r8",  "r9",
                                   "r10", "r11", "r12", "r13", "r14", "r15", "rflags", "cs", "fs", "gs"};
const char* const arm64Names[] = {"pc",  "fp",  "sp",  "x0",  "x1",  "x2",  "x3",  "x4",  "x5",  "x6",  "x7",  "x8",
                                  "x9",  "x10", "x11", "x12", "x13", "x14", "x15", "x16", "x17", "x18", "x19", "x20",
                                  "x21", "x22", "x23", "x24", "x25", "x26", "x27", "x28", "lr",  "cpsr"};
const char* const armNames[] = {"pc", "r7", "sp", "r0", "r1", "r2", "r3", "r4", "r5",
                                "r6", "r8", "r9", "r10", "r11", "r12", "lr", "cpsr"};

static_assert(sizeof x86_64Names / sizeof x86_64Names[0] == CRASH_THREAD_STATE_X86_64_COUNT);
static_assert(sizeof arm64Names / sizeof arm64Names[0] == CRASH_THREAD_STATE_ARM64_COUNT);
static_assert(sizeof armNames / sizeof armNames[0] == CRASH_THREAD_STATE_ARM_COUNT);
constexpr uint32_t kX86_64Count = CRASH_THREAD_STATE_X86_64_COUNT;
constexpr uint32_t kArm64Count = CRASH_THREAD_STATE_ARM64_COUNT;

// x86-64 DWARF numbers 0-16 and the registers they name; 16 is the return address.
const uint32_t x86_64FromDwarf[] = {3, 6, 5, 4, 8, 7, 1, 2, 9, 10, 11, 12, 13, 14, 15, 16, 0};
struct DwarfPair {
    uint64_t dwarf;
    uint32_t reg;
};
const DwarfPair x86_64Segments[] = {{49, 17}, {51, 18}, {54, 19}, {55, 20}};

void checkRegister(const crash_thread_state* state, uint32_t reg) {
    if (reg >= crash_thread_state_register_count(state)) abort();
}

}  // namespace

uint64_t crash_host_cpu_type() {
#if defined(__x86_64__)
    return CRASH_CPU_TYPE_X86_64;
#elif defined(__aarch64__)
    return CRASH_CPU_TYPE_ARM64;
#elif defined(__arm__)
    return CRASH_CPU_TYPE_ARM;
#else
    return 0;
#endif
}

uint64_t crash_host_cpu_subtype() {
#if defined(__x86_64__)
    return CRASH_CPU_SUBTYPE_X86_64_ALL;
#else
    return 0;
#endif
}

void crash_thread_state_init(crash_thread_state* state, crash_thread_state_kind kind) {
    crash_async_memset(state, 0, sizeof *state);
    state->kind = kind;
    state->stackDirection = 2;
    state->registerSize = kind == CRASH_THREAD_STATE_ARM ? 4 : 8;
}

int crash_thread_state_init_for_cpu(crash_thread_state* state, uint64_t cpuType) {
    switch (cpuType) {
        case CRASH_CPU_TYPE_X86_64: crash_thread_state_init(state, CRASH_THREAD_STATE_X86_64); return CRASH_ESUCCESS;
        case CRASH_CPU_TYPE_ARM64: crash_thread_state_init(state, CRASH_THREAD_STATE_ARM64); return CRASH_ESUCCESS;
        case CRASH_CPU_TYPE_ARM: crash_thread_state_init(state, CRASH_THREAD_STATE_ARM); return CRASH_ESUCCESS;
        default: return CRASH_ENOTSUP;
    }
}

void crash_thread_state_init_x86_64(crash_thread_state* state, const crash_x86_64_gregs* gregs) {
    crash_thread_state_init(state, CRASH_THREAD_STATE_X86_64);
    const uint64_t* g = gregs->values;
    // The kernel's order: r8-r15, rdi, rsi, rbp, rbx, rdx, rax, rcx, rsp, rip, eflags, csgsfs.
    uint64_t* r = state->registers;
    for (int i = 0; i < 8; ++i) r[9 + i] = g[i];
    r[7] = g[8];
    r[8] = g[9];
    r[1] = g[10];
    r[4] = g[11];
    r[6] = g[12];
    r[3] = g[13];
    r[5] = g[14];
    r[2] = g[15];
    r[0] = g[16];
    r[17] = g[17];
    r[18] = g[18] & 0xFFFF;
    r[20] = (g[18] >> 16) & 0xFFFF;
    r[19] = (g[18] >> 32) & 0xFFFF;
    state->validRegisters = (1ull << kX86_64Count) - 1;
}

void crash_thread_state_init_arm64(crash_thread_state* state, const crash_arm64_sigcontext* context) {
    crash_thread_state_init(state, CRASH_THREAD_STATE_ARM64);
    uint64_t* r = state->registers;
    r[0] = context->pc;
    r[1] = context->regs[29];
    r[2] = context->sp;
    for (int i = 0; i <= 28; ++i) r[3 + i] = context->regs[i];
    r[32] = context->regs[30];
    r[33] = context->pstate & 0xFFFFFFFFu;
    state->validRegisters = (1ull << kArm64Count) - 1;
}

void crash_thread_state_init_from_ucontext(crash_thread_state* state, const void* ucontext) {
    const auto* uc = static_cast<const ucontext_t*>(ucontext);
#if defined(__x86_64__)
    crash_x86_64_gregs gregs;
    for (int i = 0; i < 19; ++i) gregs.values[i] = static_cast<uint64_t>(uc->uc_mcontext.gregs[i]);
    crash_thread_state_init_x86_64(state, &gregs);
#elif defined(__aarch64__)
    crash_arm64_sigcontext context;
    context.faultAddress = uc->uc_mcontext.fault_address;
    for (int i = 0; i < 31; ++i) context.regs[i] = uc->uc_mcontext.regs[i];
    context.sp = uc->uc_mcontext.sp;
    context.pc = uc->uc_mcontext.pc;
    context.pstate = uc->uc_mcontext.pstate;
    crash_thread_state_init_arm64(state, &context);
#else
    (void)uc;
    crash_thread_state_init(state, CRASH_THREAD_STATE_X86_64);
#endif
}

const char* crash_thread_state_register_name(const crash_thread_state* state, uint32_t reg) {
    checkRegister(state, reg);
    switch (state->kind) {
        case CRASH_THREAD_STATE_ARM64: return arm64Names[reg];
        case CRASH_THREAD_STATE_ARM: return armNames[reg];
        default: return x86_64Names[reg];
    }
}

void crash_thread_state_register_out_of_range() { abort(); }

void crash_thread_state_clear(crash_thread_state* state, uint32_t reg) {
    checkRegister(state, reg);
    state->validRegisters &= ~(1ull << reg);
}

void crash_thread_state_clear_all(crash_thread_state* state) { state->validRegisters = 0; }

void crash_thread_state_clear_volatile(crash_thread_state* state, bool keepFramePointer) {
    uint64_t keep = 0;
    switch (state->kind) {
        case CRASH_THREAD_STATE_X86_64:
            keep = (1ull << 4) | (1ull << 1) | (0xFull << 13);  // rbx, rbp, r12-r15
            break;
        case CRASH_THREAD_STATE_ARM64:
            keep = 0x3FFull << 22;  // x19-x28
            if (keepFramePointer) keep |= 1ull << 1;
            break;
        case CRASH_THREAD_STATE_ARM:
            // r4, r5, r6, r7 (register 1), r8, r10, r11.
            keep = (1ull << 7) | (1ull << 8) | (1ull << 9) | (1ull << 1) | (1ull << 10) | (1ull << 12) | (1ull << 13);
            break;
    }
    state->validRegisters &= keep;
}

uint64_t crash_thread_state_strip_return_address(const crash_thread_state* state, uint64_t value) {
    if (state->kind != CRASH_THREAD_STATE_ARM64) return value;
#if defined(__aarch64__)
    register uint64_t x30 __asm__("x30") = value;
    __asm__("hint #7" : "+r"(x30));  // xpaclri: a no-op where pointer authentication is absent
    return x30;
#else
    // The user space has 48-bit addresses; the code lies in the bits above.
    return value & 0x0000FFFFFFFFFFFFull;
#endif
}

bool crash_thread_state_map_to_dwarf(const crash_thread_state* state, uint32_t reg, uint64_t* dwarf) {
    switch (state->kind) {
        case CRASH_THREAD_STATE_X86_64:
            for (uint64_t d = 0; d < sizeof x86_64FromDwarf / sizeof x86_64FromDwarf[0]; ++d) {
                if (x86_64FromDwarf[d] == reg) {
                    *dwarf = d;
                    return true;
                }
            }
            for (const DwarfPair& pair : x86_64Segments) {
                if (pair.reg == reg) {
                    *dwarf = pair.dwarf;
                    return true;
                }
            }
            return false;
        case CRASH_THREAD_STATE_ARM64:
            if (reg >= 3 && reg <= 31) *dwarf = reg - 3;
            else if (reg == 1) *dwarf = 29;
            else if (reg == 32) *dwarf = 30;
            else if (reg == 2) *dwarf = 31;
            else return false;
            return true;
        case CRASH_THREAD_STATE_ARM:
            if (reg >= 3 && reg <= 9) *dwarf = reg - 3;
            else if (reg == 1) *dwarf = 7;
            else if (reg >= 10 && reg <= 14) *dwarf = reg - 2;
            else if (reg == 2) *dwarf = 13;
            else if (reg == 15) *dwarf = 14;
            else if (reg == 0) *dwarf = 15;
            else return false;
            return true;
    }
    return false;
}

bool crash_thread_state_map_from_dwarf(const crash_thread_state* state, uint64_t dwarf, uint32_t* reg) {
    // The inverse of the table above, one step per lookup: the unwinder asks often.
    switch (state->kind) {
        case CRASH_THREAD_STATE_X86_64:
            if (dwarf < sizeof x86_64FromDwarf / sizeof x86_64FromDwarf[0]) {
                *reg = x86_64FromDwarf[dwarf];
                return true;
            }
            for (const DwarfPair& pair : x86_64Segments) {
                if (pair.dwarf == dwarf) {
                    *reg = pair.reg;
                    return true;
                }
            }
            return false;
        case CRASH_THREAD_STATE_ARM64:
            if (dwarf <= 28) *reg = static_cast<uint32_t>(dwarf + 3);
            else if (dwarf == 29) *reg = 1;
            else if (dwarf == 30) *reg = 32;
            else if (dwarf == 31) *reg = 2;
            else return false;
            return true;
        case CRASH_THREAD_STATE_ARM:
            if (dwarf <= 6) *reg = static_cast<uint32_t>(dwarf + 3);
            else if (dwarf == 7) *reg = 1;
            else if (dwarf <= 12) *reg = static_cast<uint32_t>(dwarf + 2);
            else if (dwarf == 13) *reg = 2;
            else if (dwarf == 14) *reg = 15;
            else if (dwarf == 15) *reg = 0;
            else return false;
            return true;
    }
    return false;
}

/// Called by the capture routine with the caller's registers, in this host's
/// register numbering.
extern "C" int crash_thread_state_capture_finish(const uint64_t* registers, crash_thread_capture_callback callback,
                                                  void* context) {
    crash_thread_state state;
#if defined(__aarch64__)
    crash_thread_state_init(&state, CRASH_THREAD_STATE_ARM64);
#else
    crash_thread_state_init(&state, CRASH_THREAD_STATE_X86_64);
#endif
    uint32_t count = crash_thread_state_register_count(&state);
    for (uint32_t reg = 0; reg < count; ++reg) crash_thread_state_set(&state, reg, registers[reg]);
    state.returnAddress = true;  // the pc is where the call returns to
    return callback(&state, context);
}

}  // namespace strombel::crash
