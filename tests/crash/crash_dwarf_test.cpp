// The DWARF call-frame reader on sections laid out byte by byte: finding FDEs,
// pointer encodings, the rules and their levels, the expression machine, and
// applying the rules to thread states.

#include "crash/crash_dwarf.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "crash/crash_frame_cursor.h"
#include "crash_dwarf_builder.h"

namespace strombel::crash {
namespace {

using testing::Bytes;
using testing::FrameSection;

// DWARF call-frame instructions and expression operations used below.
namespace cfa {
constexpr uint8_t advance(uint8_t delta) { return static_cast<uint8_t>(0x40 | delta); }
constexpr uint8_t offset(uint8_t reg) { return static_cast<uint8_t>(0x80 | reg); }
constexpr uint8_t restore(uint8_t reg) { return static_cast<uint8_t>(0xC0 | reg); }
constexpr uint8_t undefined = 0x07, rememberState = 0x0A, restoreState = 0x0B, defCfa = 0x0C, defCfaOffset = 0x0E,
                  defCfaExpression = 0x0F, expression = 0x10, valExpression = 0x16, argsSize = 0x2E,
                  negateReturnAddressState = 0x2D;
}  // namespace cfa

// x86-64 DWARF numbers.
constexpr uint8_t kDwarfRsp = 7, kDwarfRbx = 3, kDwarfReturnAddress = 16;

// A section in memory whose address stays put.
struct Placed {
    std::vector<uint8_t> bytes;
    crash_mobject view;
    explicit Placed(std::vector<uint8_t> content) : bytes(std::move(content)) {
        crash_mobject_init_local(&view, bytes.data(), bytes.size());
    }
};

// Room for a section, known before its content.
struct Room {
    std::unique_ptr<uint8_t[]> bytes{new uint8_t[4096]()};
    uint64_t address() const { return reinterpret_cast<uint64_t>(bytes.get()); }
    crash_mobject place(const std::vector<uint8_t>& content) {
        std::memcpy(bytes.get(), content.data(), content.size());
        crash_mobject view;
        crash_mobject_init_local(&view, bytes.get(), content.size());
        return view;
    }
};

// The x86-64 CIE that every function starts with: CFA = rsp + 8, the return
// address at CFA - 8.
FrameSection::Cie standardCie() {
    FrameSection::Cie cie;
    cie.pointerEncoding = 0x00;  // absolute: the made-up pcs lie far from the section
    cie.instructions = {cfa::defCfa, kDwarfRsp, 8, cfa::offset(kDwarfReturnAddress), 1};
    return cie;
}

// Finds the FDE for `pc`, runs its instructions and applies them to `current`.
struct Unwound {
    int find = -1, run = -1, apply = -1;
    crash_dwarf_cie_info cie;
    crash_dwarf_fde_info fde;
    crash_dwarf_cfa_state state;
    crash_thread_state next;
};

Unwound unwind(const crash_mobject& section, const crash_thread_state& current, bool debugFrame = false,
               const crash_async_byteorder* order = crash_async_byteorder_native()) {
    Unwound out;
    crash_dwarf_fde_search search;
    EXPECT_EQ(crash_dwarf_fde_search_init(&search, &section, order, current.registerSize == 8, debugFrame, nullptr), 0);
    uint64_t pc = crash_thread_state_lookup_pc(&current);
    out.find = crash_dwarf_find_fde(&search, section.address, pc, &out.fde, &out.cie);
    if (out.find != 0) return out;
    crash_dwarf_cfa_state_init(&out.state);
    out.run = crash_dwarf_cfa_run(&out.state, &section, &search.pointers, &out.cie, pc, out.fde.pcStart,
                                  out.cie.instructions, out.cie.instructionsLength);
    if (out.run == 0) {
        out.run = crash_dwarf_cfa_run(&out.state, &section, &search.pointers, &out.cie, pc, out.fde.pcStart,
                                      out.fde.instructions, out.fde.instructionsLength);
    }
    if (out.run != 0) return out;
    out.apply = crash_dwarf_cfa_apply(&out.state, nullptr, &section, &out.cie, order, &current, &out.next);
    return out;
}

crash_thread_state x86State(uint64_t pc, uint64_t sp) {
    crash_thread_state state;
    crash_thread_state_init(&state, CRASH_THREAD_STATE_X86_64);
    crash_thread_state_set(&state, CRASH_REG_PC, pc);
    crash_thread_state_set(&state, CRASH_REG_SP, sp);
    return state;
}

TEST(CrashDwarf, APcRelativeStartIsTheFieldsAddressPlusItsValue) {
    Room room;
    FrameSection section(room.address());
    FrameSection::Cie zR = standardCie();
    zR.pointerEncoding = 0x1B;  // pc-relative, signed 32-bit
    size_t cie = section.cie(zR);
    uint64_t code = room.address() - 0x10000;  // functions somewhere before the section
    size_t fde = section.fde(cie, code, code + 0x40, {});
    section.terminate();
    crash_mobject view = room.place(section.data());
    // The field holds the distance from itself.
    int32_t stored;
    std::memcpy(&stored, room.bytes.get() + fde + 8, 4);
    EXPECT_EQ(room.address() + fde + 8 + static_cast<int64_t>(stored), code);
    crash_dwarf_fde_search search;
    ASSERT_EQ(crash_dwarf_fde_search_init(&search, &view, crash_async_byteorder_native(), true, false, nullptr), 0);
    crash_dwarf_fde_info info;
    crash_dwarf_cie_info cieInfo;
    ASSERT_EQ(crash_dwarf_find_fde(&search, view.address, code, &info, &cieInfo), 0);
    EXPECT_EQ(info.pcStart, code);
    EXPECT_EQ(info.pcEnd, code + 0x40);
    EXPECT_TRUE(cieInfo.augmentationZ);
    EXPECT_EQ(cieInfo.pointerEncoding, 0x1B);
    EXPECT_EQ(crash_dwarf_find_fde(&search, view.address, code + 0x40, &info, &cieInfo), CRASH_ENOTFOUND);
    EXPECT_EQ(crash_dwarf_find_fde(&search, view.address, code - 1, &info, &cieInfo), CRASH_ENOTFOUND);
}

TEST(CrashDwarf, TheReturnAddressAndRegistersComeFromTheirRules) {
    Room room;
    FrameSection section(room.address());
    size_t cie = section.cie(standardCie());
    // push rbx; sub $16, rsp: CFA = rsp + 32, rbx at CFA - 16.
    section.fde(cie, 0x401000, 0x401040, {cfa::advance(1), cfa::defCfaOffset, 16, cfa::offset(kDwarfRbx), 2, cfa::advance(4),
                                          cfa::defCfaOffset, 32});
    section.terminate();
    crash_mobject view = room.place(section.data());
    uint64_t stack[8] = {0, 0, 0xB0B, 0x401234, 0, 0, 0, 0};  // rbx, then the return address
    auto sp = reinterpret_cast<uint64_t>(stack);
    crash_thread_state state = x86State(0x401010, sp);
    crash_thread_state_set(&state, 4, 0x5555);  // rbx in the callee
    crash_thread_state_set(&state, 3, 0x6666);  // rax: not callee-saved
    Unwound out = unwind(view, state);
    ASSERT_EQ(out.apply, 0);
    EXPECT_EQ(crash_thread_state_get(&out.next, CRASH_REG_PC), 0x401234u);
    EXPECT_EQ(crash_thread_state_get(&out.next, CRASH_REG_SP), sp + 32);
    EXPECT_EQ(crash_thread_state_get(&out.next, 4), 0xB0Bu);
    EXPECT_FALSE(crash_thread_state_is_valid(&out.next, 3));
    EXPECT_TRUE(out.next.returnAddress);

    // Before the sub, the rows up to the push apply: CFA = rsp + 16.
    uint64_t early[4] = {0xB0B, 0x401999, 0, 0};
    state = x86State(0x401002, reinterpret_cast<uint64_t>(early));
    out = unwind(view, state);
    ASSERT_EQ(out.apply, 0);
    EXPECT_EQ(crash_thread_state_get(&out.next, CRASH_REG_PC), 0x401999u);
}

TEST(CrashDwarf, ACallersPcIsLookedUpOneByteBackAndASignalFramesAsItIs) {
    Room room;
    FrameSection section(room.address());
    size_t cie = section.cie(standardCie());
    section.fde(cie, 0x401000, 0x401010, {});  // ends with a call
    section.fde(cie, 0x401010, 0x401020, {cfa::advance(0), cfa::defCfaOffset, 24});
    section.terminate();
    crash_mobject view = room.place(section.data());
    uint64_t stack[4] = {0x401500, 0, 0x401600, 0};
    crash_thread_state state = x86State(0x401010, reinterpret_cast<uint64_t>(stack));
    state.returnAddress = true;  // the call's return address is the next function's first byte
    Unwound out = unwind(view, state);
    ASSERT_EQ(out.apply, 0);
    EXPECT_EQ(out.fde.pcStart, 0x401000u);
    EXPECT_EQ(crash_thread_state_get(&out.next, CRASH_REG_PC), 0x401500u);
    // The stored pc is unchanged.
    EXPECT_EQ(crash_thread_state_get(&state, CRASH_REG_PC), 0x401010u);

    state.returnAddress = false;  // interrupted right there
    out = unwind(view, state);
    ASSERT_EQ(out.apply, 0);
    EXPECT_EQ(out.fde.pcStart, 0x401010u);
    EXPECT_EQ(crash_thread_state_get(&out.next, CRASH_REG_PC), 0x401600u);
}

TEST(CrashDwarf, BelowASignalFrameThePcIsWhereTheInterruptedCodeStood) {
    Room room;
    FrameSection section(room.address());
    FrameSection::Cie signal = standardCie();
    signal.augmentation = "zRS";
    size_t cie = section.cie(signal);
    section.fde(cie, 0x401000, 0x401010, {});
    section.terminate();
    crash_mobject view = room.place(section.data());
    uint64_t stack[2] = {0x402000, 0};
    Unwound out = unwind(view, x86State(0x401004, reinterpret_cast<uint64_t>(stack)));
    ASSERT_EQ(out.apply, 0);
    EXPECT_TRUE(out.cie.signalFrame);
    EXPECT_FALSE(out.next.returnAddress);
    EXPECT_EQ(crash_thread_state_lookup_pc(&out.next), 0x402000u);
}

TEST(CrashDwarf, TheLsdaPointerOfAnFdeIsSkippedNotRunAsInstructions) {
    Room room;
    FrameSection section(room.address());
    FrameSection::Cie cxx = standardCie();
    cxx.augmentation = "zPLR";
    size_t cie = section.cie(cxx);
    // Four bytes of LSDA pointer that would each be an unknown instruction.
    section.fde(cie, 0x401000, 0x401040, {cfa::defCfaOffset, 16}, {0x2F, 0x2F, 0x2F, 0x2F});
    section.terminate();
    crash_mobject view = room.place(section.data());
    uint64_t stack[2] = {0, 0x401777};
    Unwound out = unwind(view, x86State(0x401004, reinterpret_cast<uint64_t>(stack)));
    ASSERT_EQ(out.find, 0);
    EXPECT_EQ(out.run, 0);
    ASSERT_EQ(out.apply, 0);
    EXPECT_EQ(crash_thread_state_get(&out.next, CRASH_REG_PC), 0x401777u);
}

TEST(CrashDwarf, RememberedStatesGoFiveDeepAndRestoringNeedsOne) {
    struct Case {
        std::vector<uint8_t> instructions;
        int run;
    };
    const Case cases[] = {
        {std::vector<uint8_t>(5, cfa::rememberState), 0},
        {std::vector<uint8_t>(6, cfa::rememberState), CRASH_ENOMEM},
        {{cfa::restoreState}, CRASH_EINVAL},
        {{cfa::rememberState, cfa::defCfaOffset, 64, cfa::restoreState}, 0},
        {{0x2F}, CRASH_ENOTSUP},  // not an instruction
    };
    for (const Case& c : cases) {
        Room room;
        FrameSection section(room.address());
        size_t cie = section.cie(standardCie());
        section.fde(cie, 0x401000, 0x401040, c.instructions);
        section.terminate();
        crash_mobject view = room.place(section.data());
        uint64_t stack[2] = {0x401888, 0};
        Unwound out = unwind(view, x86State(0x401004, reinterpret_cast<uint64_t>(stack)));
        ASSERT_EQ(out.find, 0);
        EXPECT_EQ(out.run, c.run) << ::testing::PrintToString(c.instructions);
        if (c.run == 0) {
            // A restored state is the remembered one: CFA = rsp + 8 again.
            EXPECT_EQ(out.apply, 0);
            EXPECT_EQ(crash_thread_state_get(&out.next, CRASH_REG_PC), 0x401888u);
        }
    }
}

TEST(CrashDwarf, AnOperandPastTheInstructionsIsDamage) {
    std::vector<uint8_t> instructions = {cfa::defCfa, kDwarfRsp, 0x80};
    crash_mobject view;
    crash_mobject_init_local(&view, instructions.data(), instructions.size());
    crash_dwarf_pointer_state pointers;
    crash_dwarf_pointer_state_init(&pointers, crash_async_byteorder_native(), true, nullptr);
    crash_dwarf_cie_info cie;
    cie.codeAlignment = 1;
    cie.dataAlignment = -8;
    crash_dwarf_cfa_state state;
    crash_dwarf_cfa_state_init(&state);
    EXPECT_EQ(crash_dwarf_cfa_run(&state, &view, &pointers, &cie, 0x10, 0, view.address, 3), CRASH_EINVAL);
    EXPECT_EQ(crash_dwarf_cfa_run(&state, &view, &pointers, &cie, 0x10, 0, view.address, 2), CRASH_EINVAL);
    EXPECT_EQ(crash_dwarf_cfa_run(&state, &view, &pointers, &cie, 0x10, 0, view.address, 4), CRASH_EINVAL);  // past the view
}

TEST(CrashDwarf, RestoreGoesBackToTheCiesRule) {
    Room room;
    FrameSection section(room.address());
    FrameSection::Cie withRbx = standardCie();
    withRbx.instructions.insert(withRbx.instructions.end(), {cfa::offset(kDwarfRbx), 2});
    size_t cie = section.cie(withRbx);
    section.fde(cie, 0x401000, 0x401040, {cfa::offset(kDwarfRbx), 1, cfa::advance(2), cfa::restore(kDwarfRbx)});
    section.terminate();
    crash_mobject view = room.place(section.data());
    // rsp = &stack[2]: CFA = &stack[3], the return address at CFA - 8.
    uint64_t stack[4] = {0xA, 0xB, 0x401888, 0};
    crash_thread_state state = x86State(0x401004, reinterpret_cast<uint64_t>(&stack[2]));
    Unwound out = unwind(view, state);
    ASSERT_EQ(out.apply, 0);
    EXPECT_EQ(crash_thread_state_get(&out.next, 4), 0xBu);  // restored: the CIE's CFA - 16
    state = x86State(0x401001, reinterpret_cast<uint64_t>(&stack[2]));
    out = unwind(view, state);
    ASSERT_EQ(out.apply, 0);
    EXPECT_EQ(crash_thread_state_get(&out.next, 4), 0x401888u);  // before it: the FDE's CFA - 8
}

TEST(CrashDwarf, ExpressionsRunOnABoundedStackMachine) {
    uint64_t word = 0x1122334455667788;
    uint64_t address = reinterpret_cast<uint64_t>(&word);
    auto addressBytes = [&] {
        std::vector<uint8_t> bytes(8);
        std::memcpy(bytes.data(), &address, 8);
        return bytes;
    };
    std::vector<uint8_t> deref = {0x0E};  // const8u address, deref
    auto withAddress = [&](std::vector<uint8_t> tail) {
        std::vector<uint8_t> bytes = {0x0E};
        auto a = addressBytes();
        bytes.insert(bytes.end(), a.begin(), a.end());
        bytes.insert(bytes.end(), tail.begin(), tail.end());
        return bytes;
    };
    std::vector<uint8_t> overflow(101, 0x30);  // lit0 once too often
    std::vector<uint8_t> longest(CRASH_DWARF_EXPRESSION_MAX_OPERATIONS, 0x96);  // nops
    longest.push_back(0x35);
    const struct {
        const char* what;
        std::vector<uint8_t> bytes;
        int result;
        uint64_t value;
    } cases[] = {
        {"lit5 lit7 plus", {0x35, 0x37, 0x22}, 0, 12},
        {"deref", withAddress({0x06}), 0, 0x1122334455667788},
        {"deref_size 2", withAddress({0x94, 2}), 0, 0x7788},
        {"deref_size 3", withAddress({0x94, 3}), CRASH_ENOTSUP, 0},
        {"const2s -2 abs", {0x0B, 0xFE, 0xFF, 0x19}, 0, 2},
        {"minus, shifts, comparisons", {0x3A, 0x33, 0x1C, 0x31, 0x24, 0x3E, 0x2B}, 0, 0},  // (10-3)<<1 = 14 > 14?
        {"rot", {0x31, 0x32, 0x33, 0x17}, 0, 2},
        {"rot, then the third", {0x31, 0x32, 0x33, 0x17, 0x13, 0x13}, 0, 3},
        {"pick 1", {0x31, 0x32, 0x15, 1}, 0, 1},
        {"pick beyond the depth", {0x31, 0x32, 0x15, 2}, CRASH_EINTERNAL, 0},
        {"div", {0x3C, 0x33, 0x1B}, 0, 4},
        {"div by zero", {0x3C, 0x30, 0x1B}, CRASH_EINVAL, 0},
        {"mod by zero", {0x3C, 0x30, 0x1D}, CRASH_EINVAL, 0},
        {"bra taken", {0x31, 0x28, 0x01, 0x00, 0x30, 0x39}, 0, 9},
        {"skip out of the expression backward", {0x2F, 0xF0, 0xFF}, CRASH_EINVAL, 0},
        {"skip out of the expression forward", {0x2F, 0x10, 0x00, 0x30}, CRASH_EINVAL, 0},
        {"skip to its own end", {0x31, 0x2F, 0x00, 0x00}, 0, 1},
        {"a backward skip forever", {0x2F, 0xFD, 0xFF}, CRASH_EINVAL, 0},
        {"the longest allowed", longest, CRASH_EINVAL, 0},
        {"a full stack", overflow, CRASH_EINTERNAL, 0},
        {"plus on an empty stack", {0x22}, CRASH_EINTERNAL, 0},
        {"nothing left", {}, CRASH_EINVAL, 0},
        {"an unknown operation", {0x50}, CRASH_ENOTSUP, 0},
        {"an operand past the end", {0x0C, 0x01}, CRASH_EINVAL, 0},
        {"deref of an unmapped address", {0x38, 0x06}, CRASH_EINVAL, 0},
    };
    crash_thread_state state = x86State(0x401000, 0x7000);
    for (const auto& c : cases) {
        std::vector<uint8_t> bytes = c.bytes;
        bytes.push_back(0);  // room so that an empty expression still has an address
        crash_mobject view;
        crash_mobject_init_local(&view, bytes.data(), bytes.size());
        uint64_t result = 0;
        EXPECT_EQ(crash_dwarf_expression_evaluate(&view, nullptr, &state, crash_async_byteorder_native(), true,
                                                  view.address, c.bytes.size(), nullptr, 0, &result),
                  c.result)
            << c.what;
        if (c.result == 0) {
            EXPECT_EQ(result, c.value) << c.what;
        }
    }
}

TEST(CrashDwarf, RulesByExpressionAndRegistersTheStateDoesNotKnow) {
    uint64_t stack[4] = {0x401ABC, 0xD00D, 0, 0};
    auto sp = reinterpret_cast<uint64_t>(stack);
    struct Case {
        const char* what;
        std::vector<uint8_t> instructions;
        int apply;
    };
    const Case cases[] = {
        // CFA = rsp + 8 by expression (breg7 8); rbx at CFA (expression: the CFA itself).
        {"expressions", {cfa::defCfaExpression, 2, 0x77, 8, cfa::expression, kDwarfRbx, 1, 0x96}, 0},
        {"a rule for register 40", {0x05, 40, 1}, CRASH_EINVAL},
        {"the return address undefined: the outermost frame", {cfa::undefined, kDwarfReturnAddress}, CRASH_ENOTFOUND},
        {"arguments' size and nothing else", {cfa::argsSize, 16}, 0},
    };
    for (const Case& c : cases) {
        Room room;
        FrameSection section(room.address());
        size_t cie = section.cie(standardCie());
        section.fde(cie, 0x401000, 0x401040, c.instructions);
        section.terminate();
        crash_mobject view = room.place(section.data());
        Unwound out = unwind(view, x86State(0x401004, sp));
        ASSERT_EQ(out.run, 0) << c.what;
        EXPECT_EQ(out.apply, c.apply) << c.what;
        if (c.apply == 0) {
            EXPECT_EQ(crash_thread_state_get(&out.next, CRASH_REG_PC), 0x401ABCu) << c.what;
        }
    }
    // The expression rule found rbx at the CFA: stack[1].
    Room room;
    FrameSection section(room.address());
    size_t cie = section.cie(standardCie());
    section.fde(cie, 0x401000, 0x401040, cases[0].instructions);
    section.terminate();
    crash_mobject view = room.place(section.data());
    Unwound out = unwind(view, x86State(0x401004, sp));
    ASSERT_EQ(out.apply, 0);
    EXPECT_EQ(crash_thread_state_get(&out.next, 4), 0xD00Du);
}

TEST(CrashDwarf, SixtyFourBitArmReturnAddressesLoseTheirAuthenticationCode) {
    Room room;
    FrameSection section(room.address());
    FrameSection::Cie cie = standardCie();
    cie.dataAlignment = -8;
    cie.returnAddressRegister = 30;  // lr
    cie.instructions = {cfa::defCfa, 31, 0};  // CFA = sp
    size_t at = section.cie(cie);
    // paciasp; stp x29, x30, [sp, #-16]!: signed, then saved; d8 (DWARF 72) saved too.
    section.fde(at, 0x401000, 0x401040, {cfa::negateReturnAddressState, cfa::advance(1), cfa::defCfaOffset, 16,
                                         cfa::offset(29), 2, cfa::offset(30), 1, 0x05, 72, 3});
    section.terminate();
    crash_mobject view = room.place(section.data());
    uint64_t stack[4] = {0xF00, 0x002A000000401ABCull, 0, 0};
    crash_thread_state state;
    crash_thread_state_init(&state, CRASH_THREAD_STATE_ARM64);
    crash_thread_state_set(&state, CRASH_REG_PC, 0x401008);
    crash_thread_state_set(&state, CRASH_REG_SP, reinterpret_cast<uint64_t>(stack));
    Unwound out = unwind(view, state);
    ASSERT_EQ(out.apply, 0);
    EXPECT_TRUE(out.state.returnAddressSigned[0]);
    EXPECT_EQ(crash_thread_state_get(&out.next, CRASH_REG_PC), 0x401ABCu);
    EXPECT_EQ(crash_thread_state_get(&out.next, CRASH_REG_FP), 0xF00u);

    // A return address column the state has no register for stands for the pc.
    Room other;
    FrameSection unnamed(other.address());
    cie.returnAddressRegister = 32;
    at = unnamed.cie(cie);
    unnamed.fde(at, 0x401000, 0x401040, {cfa::defCfaOffset, 16, 0x05, 32, 1});
    unnamed.terminate();
    view = other.place(unnamed.data());
    out = unwind(view, state);
    ASSERT_EQ(out.apply, 0);
    EXPECT_EQ(crash_thread_state_get(&out.next, CRASH_REG_PC), 0x401ABCu);
}

TEST(CrashDwarf, ADebugFrameSectionNamesItsCiesByOffset) {
    for (bool is64 : {true, false}) {
        Room room;
        FrameSection section(room.address(), is64, false, true);
        FrameSection::Cie cie = standardCie();
        cie.augmentation = "";
        section.cie(FrameSection::Cie{"", 1, -4, 14, 0, {}, {}, 1});  // a CIE that is never used
        size_t used = section.cie(cie);
        section.fde(used, 0x9000, 0x9100, {});
        crash_mobject view = room.place(section.data());
        crash_dwarf_fde_search search;
        ASSERT_EQ(crash_dwarf_fde_search_init(&search, &view, crash_async_byteorder_native(), is64, true, nullptr), 0);
        crash_dwarf_fde_info fde;
        crash_dwarf_cie_info info;
        ASSERT_EQ(crash_dwarf_find_fde(&search, view.address, 0x9080, &fde, &info), 0) << is64;
        EXPECT_EQ(fde.cieAddress, view.address + used);
        EXPECT_EQ(info.returnAddressRegister, 16u);
        EXPECT_EQ(fde.pcEnd, 0x9100u);
    }
}

TEST(CrashDwarf, TheSortedTableOfAnEhFrameHdrFindsWhatTheWalkFinds) {
    Room ehFrameRoom;
    FrameSection section(ehFrameRoom.address());
    // The table's entries are 32-bit offsets from it: the functions lie near.
    const uint64_t code = ehFrameRoom.address() + 0x100000;
    size_t cie = section.cie(standardCie());
    std::vector<size_t> fdes;
    for (uint64_t i = 0; i < 20; ++i) fdes.push_back(section.fde(cie, code + i * 0x40, code + i * 0x40 + 0x30, {}));
    section.terminate();
    crash_mobject ehFrame = ehFrameRoom.place(section.data());

    auto hdrFor = [&](const std::vector<size_t>& order, uint64_t count) {
        Room* room = new Room;  // kept by the caller
        Bytes hdr;
        hdr.u8(1).u8(0x1B).u8(0x03).u8(0x3B);
        hdr.u32(static_cast<uint32_t>(ehFrame.address - (room->address() + 4)));
        hdr.u32(count);
        for (size_t i : order) {
            hdr.u32(static_cast<uint32_t>(code + i * 0x40 - room->address()));
            hdr.u32(static_cast<uint32_t>(ehFrame.address + fdes[i] - room->address()));
        }
        return std::make_pair(std::unique_ptr<Room>(room), room->place(hdr.data()));
    };
    std::vector<size_t> sorted(20);
    for (size_t i = 0; i < 20; ++i) sorted[i] = i;
    auto [room, view] = hdrFor(sorted, 20);
    crash_dwarf_eh_frame_hdr hdr;
    ASSERT_EQ(crash_dwarf_eh_frame_hdr_parse(&hdr, &view, crash_async_byteorder_native(), true), 0);
    EXPECT_EQ(hdr.ehFrame, ehFrame.address);
    EXPECT_EQ(hdr.count, 20u);
    EXPECT_TRUE(crash_dwarf_eh_frame_hdr_sorted(&hdr, &view, crash_async_byteorder_native(), &ehFrame));
    crash_dwarf_fde_search search;
    ASSERT_EQ(crash_dwarf_fde_search_init(&search, &ehFrame, crash_async_byteorder_native(), true, false, nullptr), 0);
    for (uint64_t offset : {0x0ull, 0x31ull, 0x45ull, 0x4FFull, 0xF0ull, 0x800ull}) {
        uint64_t pc = code + offset;
        crash_dwarf_fde_info byTable, byWalk;
        crash_dwarf_cie_info cieInfo;
        int table = crash_dwarf_eh_frame_hdr_find_fde(&hdr, &view, &search, pc, &byTable, &cieInfo);
        int walk = crash_dwarf_find_fde(&search, ehFrame.address, pc, &byWalk, &cieInfo);
        EXPECT_EQ(table, walk) << std::hex << pc;
        if (table == 0) {
            EXPECT_EQ(byTable.pcStart, byWalk.pcStart);
        }
    }
    crash_dwarf_fde_info below;
    crash_dwarf_cie_info belowCie;
    EXPECT_EQ(crash_dwarf_eh_frame_hdr_find_fde(&hdr, &view, &search, code - 1, &below, &belowCie), CRASH_ENOTFOUND);

    // Out of order, or pointing out of .eh_frame: not searched.
    std::vector<size_t> shuffled = sorted;
    std::swap(shuffled[3], shuffled[12]);
    auto [badRoom, badView] = hdrFor(shuffled, 20);
    ASSERT_EQ(crash_dwarf_eh_frame_hdr_parse(&hdr, &badView, crash_async_byteorder_native(), true), 0);
    EXPECT_FALSE(crash_dwarf_eh_frame_hdr_sorted(&hdr, &badView, crash_async_byteorder_native(), &ehFrame));
    crash_mobject shortFrame = ehFrame;
    shortFrame.length = fdes[10];
    ASSERT_EQ(crash_dwarf_eh_frame_hdr_parse(&hdr, &view, crash_async_byteorder_native(), true), 0);
    EXPECT_FALSE(crash_dwarf_eh_frame_hdr_sorted(&hdr, &view, crash_async_byteorder_native(), &shortFrame));
    // A count the section cannot hold: no table.
    auto [bigRoom, bigView] = hdrFor(sorted, 21);
    ASSERT_EQ(crash_dwarf_eh_frame_hdr_parse(&hdr, &bigView, crash_async_byteorder_native(), true), 0);
    EXPECT_EQ(hdr.tableAddress, 0u);
}

TEST(CrashDwarf, NumbersAndPointersInEveryEncoding) {
    Bytes bytes;
    bytes.uleb(624485).sleb(-123456).u8(0xFF);  // then a run of continuation bytes
    for (int i = 0; i < 10; ++i) bytes.u8(0x80);
    bytes.u8(0x01);
    std::vector<uint8_t> data = bytes.data();
    crash_mobject view;
    crash_mobject_init_local(&view, data.data(), data.size());
    uint64_t value = 0, size = 0;
    ASSERT_EQ(crash_dwarf_read_uleb128(&view, view.address, &value, &size), 0);
    EXPECT_EQ(value, 624485u);
    EXPECT_EQ(size, 3u);
    int64_t signedValue = 0;
    ASSERT_EQ(crash_dwarf_read_sleb128(&view, view.address + 3, &signedValue, &size), 0);
    EXPECT_EQ(signedValue, -123456);
    EXPECT_EQ(crash_dwarf_read_uleb128(&view, view.address + 3 + size, &value, &size), CRASH_ENOTSUP);  // past 63 bits
    crash_mobject cut = view;
    cut.length = 2;
    EXPECT_EQ(crash_dwarf_read_uleb128(&cut, cut.address, &value, &size), CRASH_EINVAL);

    uint64_t target = 0xABCDEF;
    Bytes pointers;
    pointers.u32(0x10).u8(0).u8(0).u8(0).u8(0).u64(reinterpret_cast<uint64_t>(&target));
    std::vector<uint8_t> p = pointers.data();
    crash_mobject pv;
    crash_mobject_init_local(&pv, p.data(), p.size());
    crash_dwarf_pointer_state state;
    crash_dwarf_pointer_state_init(&state, crash_async_byteorder_native(), true, nullptr);
    EXPECT_EQ(crash_dwarf_read_pointer(&state, &pv, pv.address, 0xFF, &value, &size), CRASH_ENOTFOUND);
    EXPECT_EQ(crash_dwarf_read_pointer(&state, &pv, pv.address, 0x23, &value, &size), CRASH_ENOTSUP);  // no text base
    state.hasTextBase = true;
    state.textBase = 0x1000;
    ASSERT_EQ(crash_dwarf_read_pointer(&state, &pv, pv.address, 0x23, &value, &size), 0);
    EXPECT_EQ(value, 0x1010u);
    ASSERT_EQ(crash_dwarf_read_pointer(&state, &pv, pv.address, 0x1B, &value, &size), 0);
    EXPECT_EQ(value, pv.address + 0x10);
    EXPECT_EQ(crash_dwarf_read_pointer(&state, &pv, pv.address + 1, 0x50, &value, &size), CRASH_ENOTSUP);
    state.hasAlignedBase = true;
    ASSERT_EQ(crash_dwarf_read_pointer(&state, &pv, pv.address + 1, 0x50, &value, &size), 0);  // to the next 8 bytes
    EXPECT_EQ(value, reinterpret_cast<uint64_t>(&target));
    EXPECT_EQ(size, 15u);
    ASSERT_EQ(crash_dwarf_read_pointer(&state, &pv, pv.address + 8, 0x80, &value, &size), 0);  // indirect
    EXPECT_EQ(value, 0xABCDEFu);
    EXPECT_EQ(crash_dwarf_read_pointer(&state, &pv, pv.address, 0x07, &value, &size), CRASH_ENOTSUP);
}

TEST(CrashDwarf, DamagedEntriesGiveCodes) {
    Room room;
    FrameSection section(room.address());
    size_t cie = section.cie(standardCie());
    size_t fde = section.fde(cie, 0x401000, 0x401040, {});
    section.terminate();
    std::vector<uint8_t> good = section.data();
    struct Damage {
        const char* what;
        size_t offset;
        uint32_t value;
        int find;
    };
    const Damage damages[] = {
        {"a length past the section", 0, 0x7FFFFFF0, CRASH_EINVAL},
        {"a 64-bit length that wraps", 0, 0xFFFFFFFF, CRASH_EINVAL},
        {"a CIE pointer before the section", fde + 4, 0x7FFFFFF0, CRASH_ENOTFOUND},
        {"a CIE pointer to a non-CIE", fde + 4, 4, CRASH_ENOTFOUND},
        {"a version of 2", cie + 8, 2, CRASH_ENOTFOUND},
    };
    for (const Damage& d : damages) {
        std::vector<uint8_t> bytes = good;
        if (std::string(d.what).find("version") != std::string::npos) {
            bytes[d.offset] = static_cast<uint8_t>(d.value);
        } else {
            std::memcpy(bytes.data() + d.offset, &d.value, 4);
        }
        crash_mobject view = room.place(bytes);
        crash_dwarf_fde_search search;
        ASSERT_EQ(crash_dwarf_fde_search_init(&search, &view, crash_async_byteorder_native(), true, false, nullptr), 0);
        crash_dwarf_fde_info info;
        crash_dwarf_cie_info cieInfo;
        EXPECT_EQ(crash_dwarf_find_fde(&search, view.address, 0x401010, &info, &cieInfo), d.find) << d.what;
    }
}

}  // namespace
}  // namespace strombel::crash
