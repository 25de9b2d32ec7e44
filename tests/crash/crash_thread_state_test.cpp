#include "crash/crash_thread_state.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace strombel::crash {
namespace {

std::vector<std::string> names(crash_thread_state_kind kind) {
    crash_thread_state state;
    crash_thread_state_init(&state, kind);
    std::vector<std::string> result;
    for (uint32_t reg = 0; reg < crash_thread_state_register_count(&state); ++reg) {
        result.push_back(crash_thread_state_register_name(&state, reg));
    }
    return result;
}

TEST(CrashThreadState, RegisterNumbersAndNamesOfEveryLayout) {
    auto x86 = names(CRASH_THREAD_STATE_X86_64);
    ASSERT_EQ(x86.size(), 21u);
    EXPECT_EQ(x86[0], "rip");
    EXPECT_EQ(x86[1], "rbp");
    EXPECT_EQ(x86[2], "rsp");
    EXPECT_EQ(x86[3], "rax");
    EXPECT_EQ(x86[8], "rsi");
    EXPECT_EQ(x86[9], "r8");
    EXPECT_EQ(x86[16], "r15");
    EXPECT_EQ(x86[17], "rflags");
    EXPECT_EQ(x86[20], "gs");

    auto arm64 = names(CRASH_THREAD_STATE_ARM64);
    ASSERT_EQ(arm64.size(), 34u);
    EXPECT_EQ(arm64[0], "pc");
    EXPECT_EQ(arm64[1], "fp");
    EXPECT_EQ(arm64[2], "sp");
    EXPECT_EQ(arm64[3], "x0");
    EXPECT_EQ(arm64[17], "x14");
    EXPECT_EQ(arm64[31], "x28");
    EXPECT_EQ(arm64[32], "lr");
    EXPECT_EQ(arm64[33], "cpsr");

    auto arm = names(CRASH_THREAD_STATE_ARM);
    ASSERT_EQ(arm.size(), 17u);
    EXPECT_EQ(arm[1], "r7");
    EXPECT_EQ(arm[9], "r6");
    EXPECT_EQ(arm[10], "r8");
    EXPECT_EQ(arm[15], "lr");
    EXPECT_EQ(arm[16], "cpsr");
}

TEST(CrashThreadState, ARegisterOutOfRangeStopsTheProcess) {
    crash_thread_state arm;
    crash_thread_state_init(&arm, CRASH_THREAD_STATE_ARM);
    EXPECT_DEATH(crash_thread_state_get(&arm, 17), "");
    EXPECT_DEATH(crash_thread_state_register_name(&arm, 17), "");
    crash_thread_state arm64;
    crash_thread_state_init(&arm64, CRASH_THREAD_STATE_ARM64);
    crash_thread_state_set(&arm64, 17, 0x14);
    EXPECT_EQ(crash_thread_state_get(&arm64, 17), 0x14u);
}

TEST(CrashThreadState, CpuTypesMakeTheirLayouts) {
    crash_thread_state state;
    EXPECT_EQ(crash_thread_state_init_for_cpu(&state, CRASH_CPU_TYPE_ARM64), 0);
    EXPECT_EQ(state.registerSize, 8u);
    EXPECT_EQ(crash_thread_state_register_count(&state), 34u);
    EXPECT_EQ(crash_thread_state_init_for_cpu(&state, CRASH_CPU_TYPE_ARM), 0);
    EXPECT_EQ(state.registerSize, 4u);
    EXPECT_EQ(crash_thread_state_init_for_cpu(&state, CRASH_CPU_TYPE_X86_64), 0);
    EXPECT_EQ(crash_thread_state_register_count(&state), 21u);
    EXPECT_EQ(crash_thread_state_init_for_cpu(&state, 7), 4);
    EXPECT_EQ(state.stackDirection, 2u);
    EXPECT_EQ(state.validRegisters, 0u);
}

TEST(CrashThreadState, ClearingVolatileRegistersKeepsTheCalleeSavedOnes) {
    struct Case {
        crash_thread_state_kind kind;
        bool keepFramePointer;
        std::vector<std::string> kept;
    } cases[] = {
        {CRASH_THREAD_STATE_ARM64, true, {"fp", "x19", "x20", "x21", "x22", "x23", "x24", "x25", "x26", "x27", "x28"}},
        // The second instance keeps x19-x28 only.
        {CRASH_THREAD_STATE_ARM64, false, {"x19", "x20", "x21", "x22", "x23", "x24", "x25", "x26", "x27", "x28"}},
        {CRASH_THREAD_STATE_ARM, true, {"r7", "r4", "r5", "r6", "r8", "r10", "r11"}},
        {CRASH_THREAD_STATE_X86_64, true, {"rbp", "rbx", "r12", "r13", "r14", "r15"}},
    };
    for (const Case& c : cases) {
        crash_thread_state state;
        crash_thread_state_init(&state, c.kind);
        for (uint32_t reg = 0; reg < crash_thread_state_register_count(&state); ++reg) crash_thread_state_set(&state, reg, reg);
        crash_thread_state_clear_volatile(&state, c.keepFramePointer);
        std::vector<std::string> kept;
        for (uint32_t reg = 0; reg < crash_thread_state_register_count(&state); ++reg) {
            if (crash_thread_state_is_valid(&state, reg)) kept.push_back(crash_thread_state_register_name(&state, reg));
        }
        EXPECT_EQ(kept, c.kept);
    }
}

TEST(CrashThreadState, DwarfNumbers) {
    struct Case {
        crash_thread_state_kind kind;
        const char* name;
        uint64_t dwarf;
    } cases[] = {
        {CRASH_THREAD_STATE_X86_64, "rax", 0},  {CRASH_THREAD_STATE_X86_64, "rdx", 1},
        {CRASH_THREAD_STATE_X86_64, "rbx", 3},  {CRASH_THREAD_STATE_X86_64, "rbp", 6},
        {CRASH_THREAD_STATE_X86_64, "rsp", 7},  {CRASH_THREAD_STATE_X86_64, "r15", 15},
        {CRASH_THREAD_STATE_X86_64, "rip", 16}, {CRASH_THREAD_STATE_X86_64, "rflags", 49},
        {CRASH_THREAD_STATE_ARM64, "x0", 0},    {CRASH_THREAD_STATE_ARM64, "x28", 28},
        {CRASH_THREAD_STATE_ARM64, "fp", 29},   {CRASH_THREAD_STATE_ARM64, "lr", 30},
        {CRASH_THREAD_STATE_ARM64, "sp", 31},   {CRASH_THREAD_STATE_ARM, "r7", 7},
        {CRASH_THREAD_STATE_ARM, "r12", 12},    {CRASH_THREAD_STATE_ARM, "sp", 13},
        {CRASH_THREAD_STATE_ARM, "lr", 14},     {CRASH_THREAD_STATE_ARM, "pc", 15},
    };
    for (const Case& c : cases) {
        crash_thread_state state;
        crash_thread_state_init(&state, c.kind);
        uint32_t reg = 0;
        ASSERT_TRUE(crash_thread_state_map_from_dwarf(&state, c.dwarf, &reg)) << c.name;
        EXPECT_STREQ(crash_thread_state_register_name(&state, reg), c.name);
        uint64_t back = 0;
        ASSERT_TRUE(crash_thread_state_map_to_dwarf(&state, reg, &back));
        EXPECT_EQ(back, c.dwarf);
    }
    crash_thread_state arm64;
    crash_thread_state_init(&arm64, CRASH_THREAD_STATE_ARM64);
    uint64_t dwarf = 0;
    EXPECT_FALSE(crash_thread_state_map_to_dwarf(&arm64, 0, &dwarf));   // pc has none
    EXPECT_FALSE(crash_thread_state_map_to_dwarf(&arm64, 33, &dwarf));  // nor cpsr
}

// The 64-bit ARM state from a signal context, built by hand: this host may not
// be one.
TEST(CrashThreadState, A64BitArmSignalContextGivesThePartsLayout) {
    crash_arm64_sigcontext context = {};
    for (int i = 0; i < 31; ++i) context.regs[i] = 0x1000 + i;
    context.sp = 0x7FFF0000;
    context.pc = 0x400123;
    context.pstate = 0x60000000;
    crash_thread_state state;
    crash_thread_state_init_arm64(&state, &context);
    EXPECT_EQ(state.kind, CRASH_THREAD_STATE_ARM64);
    EXPECT_EQ(crash_thread_state_get(&state, 0), 0x400123u);
    EXPECT_EQ(crash_thread_state_get(&state, 1), 0x1000u + 29);  // fp is x29
    EXPECT_EQ(crash_thread_state_get(&state, 2), 0x7FFF0000u);
    EXPECT_EQ(crash_thread_state_get(&state, 3), 0x1000u);       // x0
    EXPECT_EQ(crash_thread_state_get(&state, 31), 0x1000u + 28);  // x28
    EXPECT_EQ(crash_thread_state_get(&state, 32), 0x1000u + 30);  // lr is x30
    EXPECT_EQ(crash_thread_state_get(&state, 33), 0x60000000u);
    EXPECT_EQ(state.validRegisters, (1ull << 34) - 1);
}

TEST(CrashThreadState, AnX86_64SignalContextGivesItsRegisters) {
    crash_x86_64_gregs gregs = {};
    for (int i = 0; i < 19; ++i) gregs.values[i] = 100 + i;
    gregs.values[18] = 0x0000002B00000033ull;  // fs 0x2B, gs 0, cs 0x33
    crash_thread_state state;
    crash_thread_state_init_x86_64(&state, &gregs);
    EXPECT_EQ(crash_thread_state_get(&state, 0), 116u);  // rip
    EXPECT_EQ(crash_thread_state_get(&state, 1), 110u);  // rbp
    EXPECT_EQ(crash_thread_state_get(&state, 2), 115u);  // rsp
    EXPECT_EQ(crash_thread_state_get(&state, 3), 113u);  // rax
    EXPECT_EQ(crash_thread_state_get(&state, 9), 100u);  // r8
    EXPECT_EQ(crash_thread_state_get(&state, 17), 117u);
    EXPECT_EQ(crash_thread_state_get(&state, 18), 0x33u);
    EXPECT_EQ(crash_thread_state_get(&state, 19), 0x2Bu);
}

struct Captured {
    crash_thread_state state;
};

int keep(crash_thread_state* state, void* context) {
    static_cast<Captured*>(context)->state = *state;
    return 7;
}

__attribute__((noinline)) void* captureHere(Captured* captured, int* result) {
    *result = crash_thread_state_capture(keep, captured);
    return __builtin_frame_address(0);
}

__attribute__((noinline)) void markerAfter() { __asm__ volatile(""); }

TEST(CrashThreadState, CapturingTheCallingThreadDescribesItsCaller) {
    Captured captured;
    int result = 0;
    void* frame = captureHere(&captured, &result);
    EXPECT_EQ(result, 7);
    const crash_thread_state& state = captured.state;
#if defined(__x86_64__)
    ASSERT_EQ(state.kind, CRASH_THREAD_STATE_X86_64);
#elif defined(__aarch64__)
    ASSERT_EQ(state.kind, CRASH_THREAD_STATE_ARM64);
#endif
    EXPECT_EQ(crash_thread_state_get(&state, CRASH_REG_FP), reinterpret_cast<uint64_t>(frame));
    uint64_t pc = crash_thread_state_get(&state, CRASH_REG_PC);
    auto function = reinterpret_cast<uint64_t>(&captureHere);
    EXPECT_GT(pc, function);
    EXPECT_LT(pc, function + 256);
    uint64_t sp = crash_thread_state_get(&state, CRASH_REG_SP);
    EXPECT_LE(sp, reinterpret_cast<uint64_t>(frame));
    EXPECT_GT(sp + 4096, reinterpret_cast<uint64_t>(frame));
    markerAfter();
}

extern "C" void captures_and_returns(void*) {
    crash_thread_state_capture([](crash_thread_state*, void*) { return 0; }, nullptr);
}

// Loses one register a call must keep: the check must notice.
#if defined(__x86_64__)
extern "C" __attribute__((naked)) void clobbers_a_kept_register(void*) { __asm__("movq $0, %r13\n\tret"); }
constexpr uint32_t kClobbered = 13;
#elif defined(__aarch64__)
extern "C" __attribute__((naked)) void clobbers_a_kept_register(void*) { __asm__("mov x23, #0\n\tret"); }
constexpr uint32_t kClobbered = 23;
#endif

TEST(CrashThreadState, TheCaptureRoutineKeepsTheRegistersACallMustKeep) {
    uint64_t stackPointer = 0;
    EXPECT_EQ(crash_register_preservation_check(captures_and_returns, &stackPointer), 0u);
    EXPECT_EQ(stackPointer % 16, 0u) << "the stack is aligned at the call";
    uint64_t here = reinterpret_cast<uint64_t>(&stackPointer);
    EXPECT_LT(stackPointer, here);
    EXPECT_GT(stackPointer + 4096, here);
    EXPECT_EQ(crash_register_preservation_check(clobbers_a_kept_register, &stackPointer), kClobbered);
}

}  // namespace
}  // namespace strombel::crash
