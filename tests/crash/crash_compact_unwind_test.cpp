// The compact unwind reader on "__unwind_info" sections of images laid out in
// memory: finding entries in regular and compressed pages, decoding every
// mode, applying entries to 64-bit ARM and x86-64 states.

#include "crash/crash_compact_unwind.h"

#include <gtest/gtest.h>

#include <vector>

#include "crash/crash_frame_cursor.h"
#include "crash/crash_image_list.h"
#include "crash_macho_builder.h"

namespace strombel::crash {
namespace {

using testing::MachOBuilder;
using testing::UnwindInfoBuilder;

constexpr uint32_t kArm64Frameless = 0x02000000, kArm64Dwarf = 0x03000000, kArm64Frame = 0x04000000;
constexpr uint32_t kX86Frame = 0x01000000, kX86Frameless = 0x02000000, kX86Indirect = 0x03000000;

// Thread-state numbers.
constexpr uint32_t x(uint32_t n) { return 3 + n; }
constexpr uint32_t kLr = 32;
constexpr uint32_t kRbx = 4, kR12 = 13, kR13 = 14, kR14 = 15, kR15 = 16, kRbp = 1;

struct Found {
    int result;
    uint32_t function = 0, encoding = 0;
};

Found find(const std::vector<uint8_t>& section, uint32_t pcOffset, uint64_t cpuType = CRASH_CPU_TYPE_ARM64) {
    crash_mobject view;
    crash_mobject_init_local(&view, section.data(), section.size());
    crash_compact_unwind_context context;
    Found found{crash_compact_unwind_context_init(&context, &view, cpuType)};
    if (found.result != 0) return found;
    found.result = crash_compact_unwind_find_entry(&context, pcOffset, &found.function, &found.encoding);
    return found;
}

TEST(CrashCompactUnwind, EntriesAreFoundInRegularAndCompressedPages) {
    UnwindInfoBuilder info;
    info.common = {kArm64Frame, kArm64Frameless | (2 << 12)};
    UnwindInfoBuilder::Page regular;
    regular.entries = {{0x1000, kArm64Frame}, {0x1100, 0x02001000}, {0x1200, kArm64Dwarf | 0x40}};
    UnwindInfoBuilder::Page compressed;
    compressed.compressed = true;
    compressed.ownEncodings = {0x04000011, 0x04000002};
    compressed.entries = {{0x2000, kArm64Frame}, {0x2040, 0x04000011}, {0x2080, 0x04000002}, {0x20C0, kArm64Frameless | (2 << 12)}};
    info.pages = {regular, compressed};
    info.sentinel = 0x3000;
    std::vector<uint8_t> section = info.build();
    const struct {
        uint32_t pc;
        int result;
        uint32_t function, encoding;
    } cases[] = {
        {0x1000, 0, 0x1000, kArm64Frame},
        {0x10FF, 0, 0x1000, kArm64Frame},
        {0x1150, 0, 0x1100, 0x02001000},
        {0x1FFF, 0, 0x1200, kArm64Dwarf | 0x40},
        {0x2000, 0, 0x2000, kArm64Frame},                    // index 0: the first common encoding
        {0x2050, 0, 0x2040, 0x04000011},                     // index equal to the common count: the page's first
        {0x2090, 0, 0x2080, 0x04000002},
        {0x2FFF, 0, 0x20C0, kArm64Frameless | (2 << 12)},
        {0x0FFF, CRASH_ENOTFOUND, 0, 0},  // below the first entry
        {0x3000, CRASH_ENOTFOUND, 0, 0},  // at the sentinel
    };
    for (const auto& c : cases) {
        Found found = find(section, c.pc);
        EXPECT_EQ(found.result, c.result) << std::hex << c.pc;
        if (c.result == 0) {
            EXPECT_EQ(found.function, c.function) << std::hex << c.pc;
            EXPECT_EQ(found.encoding, c.encoding) << std::hex << c.pc;
        }
    }
    EXPECT_EQ(find(section, 0x1000, 12).result, CRASH_ENOTSUP);  // 32-bit ARM has no compact unwind
    std::vector<uint8_t> version2 = section;
    version2[0] = 2;
    EXPECT_EQ(find(version2, 0x1000).result, CRASH_ENOTSUP);
    EXPECT_EQ(find(std::vector<uint8_t>(20, 0), 0x1000).result, CRASH_EINVAL);
}

TEST(CrashCompactUnwind, DamagedPagesGiveCodes) {
    UnwindInfoBuilder info;
    UnwindInfoBuilder::Page compressed;
    compressed.compressed = true;
    compressed.ownEncodings = {0x04000001};
    compressed.entries = {{0x1000, 0x04000001}};
    info.pages = {compressed};
    std::vector<uint8_t> section = info.build();
    uint32_t pageOffset;
    std::memcpy(&pageOffset, section.data() + 28 + 4, 4);
    std::vector<uint8_t> badIndex = section;
    badIndex[pageOffset + 12 + 3] = 9;  // an encoding index past the page's encodings
    EXPECT_EQ(find(badIndex, 0x1000).result, CRASH_EINVAL);
    std::vector<uint8_t> badKind = section;
    badKind[pageOffset] = 7;
    EXPECT_EQ(find(badKind, 0x1000).result, CRASH_EINVAL);
    std::vector<uint8_t> badPage = section;
    uint32_t far = 0x7FFFFFF0;
    std::memcpy(badPage.data() + 28 + 4, &far, 4);
    EXPECT_EQ(find(badPage, 0x1000).result, CRASH_EINVAL);
    std::vector<uint8_t> hugeIndex = section;
    uint32_t count = 0x10000000;
    std::memcpy(hugeIndex.data() + 24, &count, 4);
    EXPECT_EQ(find(hugeIndex, 0x1000).result, CRASH_EINVAL);
}

TEST(CrashCompactUnwind, EncodingsDecodeByMode) {
    crash_compact_unwind_entry entry;
    // 64-bit ARM.
    ASSERT_EQ(crash_compact_unwind_decode(&entry, CRASH_CPU_TYPE_ARM64, kArm64Frameless | (3 << 12)), 0);
    EXPECT_EQ(entry.kind, CRASH_COMPACT_FRAMELESS_IMMEDIATE);
    EXPECT_EQ(entry.stackOffset, 48);
    EXPECT_EQ(entry.returnAddressRegister, static_cast<int32_t>(kLr));
    ASSERT_EQ(crash_compact_unwind_decode(&entry, CRASH_CPU_TYPE_ARM64, kArm64Frame | 0x11), 0);
    EXPECT_EQ(entry.kind, CRASH_COMPACT_FRAME);
    ASSERT_EQ(entry.registerCount, 4u);
    EXPECT_EQ(entry.registers[0], static_cast<int32_t>(x(28)));
    EXPECT_EQ(entry.registers[1], static_cast<int32_t>(x(27)));
    EXPECT_EQ(entry.registers[2], static_cast<int32_t>(x(20)));
    EXPECT_EQ(entry.registers[3], static_cast<int32_t>(x(19)));
    EXPECT_EQ(entry.stackOffset, -32);
    ASSERT_EQ(crash_compact_unwind_decode(&entry, CRASH_CPU_TYPE_ARM64, kArm64Dwarf | 0x1234), 0);
    EXPECT_EQ(entry.kind, CRASH_COMPACT_DWARF);
    EXPECT_EQ(entry.stackOffset, 0x1234);
    ASSERT_EQ(crash_compact_unwind_decode(&entry, CRASH_CPU_TYPE_ARM64, 0), 0);
    EXPECT_EQ(entry.kind, CRASH_COMPACT_NONE);
    EXPECT_EQ(crash_compact_unwind_decode(&entry, CRASH_CPU_TYPE_ARM64, 0x05000000), CRASH_ENOTSUP);

    // x86-64: a frame saving rbx and r12 in its first two slots.
    ASSERT_EQ(crash_compact_unwind_decode(&entry, CRASH_CPU_TYPE_X86_64, kX86Frame | (2 << 16) | 1 | (2 << 3)), 0);
    EXPECT_EQ(entry.kind, CRASH_COMPACT_FRAME);
    EXPECT_EQ(entry.stackOffset, -16);
    EXPECT_EQ(entry.registers[0], static_cast<int32_t>(kRbx));
    EXPECT_EQ(entry.registers[1], static_cast<int32_t>(kR12));
    EXPECT_EQ(entry.registers[2], CRASH_COMPACT_NO_REGISTER);
    EXPECT_EQ(crash_compact_unwind_decode(&entry, CRASH_CPU_TYPE_X86_64, kX86Frame | 7), CRASH_EINVAL);

    // Frameless: every register order round-trips through its permutation number.
    const std::vector<std::vector<uint32_t>> orders = {{3}, {6, 1}, {2, 5, 4}, {1, 2, 3, 4}, {5, 4, 3, 2, 1}, {6, 5, 4, 3, 2, 1}};
    const int32_t table[] = {CRASH_COMPACT_NO_REGISTER, int32_t(kRbx), int32_t(kR12), int32_t(kR13), int32_t(kR14), int32_t(kR15), int32_t(kRbp)};
    for (const auto& order : orders) {
        uint32_t permutation = crash_compact_unwind_permutation(order.data(), static_cast<uint32_t>(order.size()));
        ASSERT_LT(permutation, 1024u);
        uint32_t encoding = kX86Frameless | (5 << 16) | (static_cast<uint32_t>(order.size()) << 10) | permutation;
        ASSERT_EQ(crash_compact_unwind_decode(&entry, CRASH_CPU_TYPE_X86_64, encoding), 0);
        EXPECT_EQ(entry.stackOffset, 40);
        ASSERT_EQ(entry.registerCount, order.size());
        for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(entry.registers[i], table[order[i]]) << i;
    }
    uint32_t duplicate[] = {2, 2};
    EXPECT_EQ(crash_compact_unwind_permutation(duplicate, 2), UINT32_MAX);
    EXPECT_EQ(crash_compact_unwind_decode(&entry, CRASH_CPU_TYPE_X86_64, kX86Frameless | (7 << 10)), CRASH_EINVAL);

    // 32-bit x86: decoded, with its own registers and 4-byte words.
    ASSERT_EQ(crash_compact_unwind_decode(&entry, CRASH_CPU_TYPE_X86, kX86Indirect | (0x20 << 16) | (3 << 13) | (1 << 10)), 0);
    EXPECT_EQ(entry.kind, CRASH_COMPACT_FRAMELESS_INDIRECT);
    EXPECT_EQ(entry.stackOffset, 0x20);
    EXPECT_EQ(entry.stackAdjust, 12u);
    EXPECT_EQ(entry.registers[0], 6);  // compact 1 is ebx
}

crash_thread_state arm64State(uint64_t pc, uint64_t sp, uint64_t fp, uint64_t lr) {
    crash_thread_state state;
    crash_thread_state_init(&state, CRASH_THREAD_STATE_ARM64);
    crash_thread_state_set(&state, CRASH_REG_PC, pc);
    crash_thread_state_set(&state, CRASH_REG_SP, sp);
    crash_thread_state_set(&state, CRASH_REG_FP, fp);
    crash_thread_state_set(&state, kLr, lr);
    return state;
}

TEST(CrashCompactUnwind, EntriesApplyTo64BitArmAndX86_64States) {
    uint64_t stack[16] = {};
    auto at = [&](int i) { return reinterpret_cast<uint64_t>(&stack[i]); };
    crash_compact_unwind_entry entry;
    crash_thread_state next;

    // Frameless, stack size 3: sp up by 48, pc from lr.
    ASSERT_EQ(crash_compact_unwind_decode(&entry, CRASH_CPU_TYPE_ARM64, kArm64Frameless | (3 << 12)), 0);
    crash_thread_state state = arm64State(0x5000, at(0), at(10), 0x6004);
    ASSERT_EQ(crash_compact_unwind_apply(nullptr, 0x4F00, &state, &entry, &next), 0);
    EXPECT_EQ(crash_thread_state_get(&next, CRASH_REG_SP), at(6));
    EXPECT_EQ(crash_thread_state_get(&next, CRASH_REG_PC), 0x6004u);
    EXPECT_TRUE(next.returnAddress);
    EXPECT_FALSE(crash_thread_state_is_valid(&next, kLr));

    // A frame saving x28, x27, x20, x19: from fp - 32 up to fp - 8; fp and pc from the record.
    stack[4] = 28;
    stack[5] = 27;
    stack[6] = 20;
    stack[7] = 19;
    stack[8] = at(12);
    stack[9] = 0x7008;
    ASSERT_EQ(crash_compact_unwind_decode(&entry, CRASH_CPU_TYPE_ARM64, kArm64Frame | 0x11), 0);
    state = arm64State(0x5000, at(0), at(8), 0);
    ASSERT_EQ(crash_compact_unwind_apply(nullptr, 0x4F00, &state, &entry, &next), 0);
    EXPECT_EQ(crash_thread_state_get(&next, x(28)), 28u);
    EXPECT_EQ(crash_thread_state_get(&next, x(27)), 27u);
    EXPECT_EQ(crash_thread_state_get(&next, x(20)), 20u);
    EXPECT_EQ(crash_thread_state_get(&next, x(19)), 19u);
    EXPECT_EQ(crash_thread_state_get(&next, CRASH_REG_FP), at(12));
    EXPECT_EQ(crash_thread_state_get(&next, CRASH_REG_PC), 0x7008u);
    EXPECT_EQ(crash_thread_state_get(&next, CRASH_REG_SP), at(10));

    // x86-64, frameless with its size in the code: `sub $0x38, %rsp` at offset 3.
    uint8_t code[8] = {0x48, 0x83, 0xEC, 0x38, 0, 0, 0, 0};
    // 0x38 + 8 = 64 bytes, the return address the last of them, rbx below it.
    uint64_t x86Stack[16] = {};
    x86Stack[6] = 0xAAAA;
    x86Stack[7] = 0x8008;
    ASSERT_EQ(crash_compact_unwind_decode(&entry, CRASH_CPU_TYPE_X86_64, kX86Indirect | (3 << 16) | (1 << 13) | (1 << 10) | 0), 0);
    crash_thread_state x86;
    crash_thread_state_init(&x86, CRASH_THREAD_STATE_X86_64);
    crash_thread_state_set(&x86, CRASH_REG_PC, 0x9000);
    crash_thread_state_set(&x86, CRASH_REG_SP, reinterpret_cast<uint64_t>(&x86Stack[0]));
    // The immediate read is 0x00000038 (that byte and the three after it).
    ASSERT_EQ(crash_compact_unwind_apply(nullptr, reinterpret_cast<uint64_t>(code), &x86, &entry, &next), 0);
    EXPECT_EQ(crash_thread_state_get(&next, CRASH_REG_SP), reinterpret_cast<uint64_t>(&x86Stack[8]));
    EXPECT_EQ(crash_thread_state_get(&next, CRASH_REG_PC), 0x8008u);
    EXPECT_EQ(crash_thread_state_get(&next, kRbx), 0xAAAAu);

    // Kinds that defer, and registers that are missing.
    ASSERT_EQ(crash_compact_unwind_decode(&entry, CRASH_CPU_TYPE_ARM64, kArm64Dwarf), 0);
    EXPECT_EQ(crash_compact_unwind_apply(nullptr, 0, &state, &entry, &next), CRASH_ENOTSUP);
    ASSERT_EQ(crash_compact_unwind_decode(&entry, CRASH_CPU_TYPE_ARM64, kArm64Frameless | (1 << 12)), 0);
    crash_thread_state noLr;
    crash_thread_state_init(&noLr, CRASH_THREAD_STATE_ARM64);
    crash_thread_state_set(&noLr, CRASH_REG_SP, at(0));
    EXPECT_EQ(crash_compact_unwind_apply(nullptr, 0, &noLr, &entry, &next), CRASH_ENOTFOUND);
}

TEST(CrashCompactUnwind, TheReaderStepsAsideForImagesWithoutTheSection) {
    MachOBuilder::Options options;
    options.withUnwindInfo = false;
    MachOBuilder builder(options);
    builder.finish();
    crash_image_list images(4);
    ASSERT_TRUE(images.append(builder.header(), "Pads"));
    crash_frame_environment environment{&images, nullptr, 0};
    crash_thread_state state = arm64State(builder.at(0x1100), 0x1000, 0, 0);
    crash_thread_state next;
    EXPECT_EQ(crash_compact_unwind_reader(&environment, &state, nullptr, &next), CRASH_FRAME_ENOTSUP);

    // A pc below the first entry, and a pc in an ELF image: not supported either.
    MachOBuilder withInfo(MachOBuilder::Options{});
    UnwindInfoBuilder info;
    UnwindInfoBuilder::Page page;
    page.entries = {{0x1200, kArm64Frame}};
    info.pages = {page};
    withInfo.setUnwindInfo(info.build());
    withInfo.finish();
    ASSERT_TRUE(images.append(withInfo.header(), "Pads2"));
    state = arm64State(withInfo.at(0x1100), 0x1000, 0, 0);
    EXPECT_EQ(crash_compact_unwind_reader(&environment, &state, nullptr, &next), CRASH_FRAME_ENOTSUP);
    images.refresh();
    state = arm64State(reinterpret_cast<uint64_t>(&crash_compact_unwind_reader), 0x1000, 0, 0);
    EXPECT_EQ(crash_compact_unwind_reader(&environment, &state, nullptr, &next), CRASH_FRAME_ENOTSUP);
}

TEST(CrashCompactUnwind, TheReaderEndsTheStackWhereAFunctionHasNoUnwindOrItsEntryCannotApply) {
    // Answer 2 ends the readers' turn with "no frames", unlike 4, after which
    // the DWARF and frame-pointer readers would try.
    MachOBuilder builder(MachOBuilder::Options{});
    UnwindInfoBuilder info;
    UnwindInfoBuilder::Page page;
    page.entries = {{0x1000, 0}, {0x1100, kArm64Frame}, {0x1200, kArm64Frameless | (1 << 12)}};
    info.pages = {page};
    info.sentinel = 0x2000;
    builder.setUnwindInfo(info.build());
    builder.finish();
    crash_image_list images(4);
    ASSERT_TRUE(images.append(builder.header(), "Pads"));
    crash_frame_environment environment{&images, nullptr, 0};
    uint64_t stack[4] = {};
    const uint64_t fp = reinterpret_cast<uint64_t>(&stack[0]);
    stack[0] = reinterpret_cast<uint64_t>(&stack[2]);
    stack[1] = 0x7008;

    crash_thread_state noFp = arm64State(builder.at(0x1110), fp, 0, 0x6004);
    crash_thread_state_clear(&noFp, CRASH_REG_FP);
    crash_thread_state noLr = arm64State(builder.at(0x1210), fp, fp, 0);
    crash_thread_state_clear(&noLr, kLr);
    const struct {
        const char* what;
        crash_thread_state state;
        int result;
    } cases[] = {
        {"encoding 0: no unwind information", arm64State(builder.at(0x1010), fp, fp, 0x6004), CRASH_FRAME_ENOFRAME},
        {"a frame without fp", noFp, CRASH_FRAME_ENOFRAME},
        {"frameless without lr", noLr, CRASH_FRAME_ENOFRAME},
        {"a frame", arm64State(builder.at(0x1110), fp, fp, 0), CRASH_FRAME_ESUCCESS},
    };
    for (const auto& c : cases) {
        crash_thread_state next;
        EXPECT_EQ(crash_compact_unwind_reader(&environment, &c.state, nullptr, &next), c.result) << c.what;
        if (c.result == CRASH_FRAME_ESUCCESS) {
            EXPECT_EQ(crash_thread_state_get(&next, CRASH_REG_PC), 0x7008u);
            EXPECT_EQ(crash_thread_state_get(&next, CRASH_REG_FP), reinterpret_cast<uint64_t>(&stack[2]));
        }
    }
}

}  // namespace
}  // namespace strombel::crash
