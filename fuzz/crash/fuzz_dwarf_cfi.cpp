// The DWARF call-frame reader takes the unwind tables of every loaded image:
// any section bytes, any pc and any registers must end with a code within
// bounded work, reading nothing outside the section but through safe reads.
//
// Input: 1 byte of flags (bit 0: 32-bit words, bit 1: ".debug_frame", bit 2:
// byte-swapped, bit 3: 64-bit ARM state, bit 4: an ".eh_frame_hdr" of the first
// 64 bytes), 8 bytes of pc, 8 of sp, 8 of another register, then the section.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "crash/crash_dwarf.h"

using namespace strombel::crash;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 25) return 0;
    uint8_t flags = data[0];
    uint64_t pc, sp, other;
    std::memcpy(&pc, data + 1, 8);
    std::memcpy(&sp, data + 9, 8);
    std::memcpy(&other, data + 17, 8);
    std::vector<uint8_t> bytes(data + 25, data + size);
    if (bytes.empty()) return 0;
    bool is64 = !(flags & 1), debugFrame = flags & 2;
    const crash_async_byteorder* order = (flags & 4) ? crash_async_byteorder_swapped() : crash_async_byteorder_native();

    crash_thread_state state;
    crash_thread_state_init(&state, (flags & 8) ? CRASH_THREAD_STATE_ARM64 : CRASH_THREAD_STATE_X86_64);
    crash_thread_state_set(&state, CRASH_REG_PC, pc);
    crash_thread_state_set(&state, CRASH_REG_SP, sp);
    crash_thread_state_set(&state, CRASH_REG_FP, other);
    state.returnAddress = flags & 0x20;

    crash_mobject section;
    crash_mobject_init_local(&section, bytes.data(), bytes.size());
    crash_dwarf_fde_search search;
    if (crash_dwarf_fde_search_init(&search, &section, order, is64, debugFrame, nullptr) != 0) std::abort();
    crash_dwarf_fde_info fde;
    crash_dwarf_cie_info cie;
    uint64_t lookup = crash_thread_state_lookup_pc(&state);
    int found = CRASH_ENOTFOUND;
    if ((flags & 0x10) && bytes.size() > 64) {
        // The first 64 bytes as a search table over the rest.
        crash_mobject hdrView, ehFrame;
        crash_mobject_init_local(&hdrView, bytes.data(), 64);
        crash_mobject_init_local(&ehFrame, bytes.data() + 64, bytes.size() - 64);
        crash_dwarf_eh_frame_hdr hdr;
        if (crash_dwarf_eh_frame_hdr_parse(&hdr, &hdrView, order, is64) == 0 &&
            crash_dwarf_eh_frame_hdr_sorted(&hdr, &hdrView, order, &ehFrame)) {
            crash_dwarf_fde_search hdrSearch;
            crash_dwarf_fde_search_init(&hdrSearch, &ehFrame, order, is64, false, nullptr);
            found = crash_dwarf_eh_frame_hdr_find_fde(&hdr, &hdrView, &hdrSearch, lookup, &fde, &cie);
            if (found == 0 && !(fde.pcStart <= lookup && lookup < fde.pcEnd)) std::abort();
            if (found == 0) search = hdrSearch;
        }
    } else {
        found = crash_dwarf_find_fde(&search, section.address, lookup, &fde, &cie);
    }
    if (found != 0) return 0;
    if (!(fde.pcStart <= lookup && lookup < fde.pcEnd)) std::abort();
    if (!search.section->contains(fde.instructions, fde.instructionsLength) && fde.instructionsLength != 0) std::abort();

    crash_dwarf_cfa_state rules;
    crash_dwarf_cfa_state_init(&rules);
    if (crash_dwarf_cfa_run(&rules, search.section, &search.pointers, &cie, lookup, fde.pcStart, cie.instructions,
                            cie.instructionsLength) != 0 ||
        crash_dwarf_cfa_run(&rules, search.section, &search.pointers, &cie, lookup, fde.pcStart, fde.instructions,
                            fde.instructionsLength) != 0) {
        return 0;
    }
    if (rules.level >= crash_dwarf_cfa_state::kLevels) std::abort();
    crash_thread_state next;
    crash_dwarf_cfa_apply(&rules, nullptr, search.section, &cie, order, &state, &next);
    return 0;
}
