// The DWARF frame reader of the frame cursor.

#include "crash/crash_dwarf.h"
#include "crash/crash_frame_cursor.h"

namespace strombel::crash {

namespace {

// Where the image keeps its call-frame information.
struct FrameSection {
    crash_mobject section;
    crash_mobject hdr;
    bool haveHdr = false;
    bool debugFrame = false;
    bool is64 = true;
    const crash_async_byteorder* byteOrder = nullptr;
};

int openSections(const crash_image* image, const crash_memory_map* memory, FrameSection* frames) {
    if (image->format == CRASH_IMAGE_FORMAT_MACHO) {
        const crash_macho_image* macho = image->macho;
        frames->is64 = macho->is64;
        frames->byteOrder = macho->byteOrder;
        if (crash_macho_map_section(macho, memory, "__TEXT", "__eh_frame", &frames->section) == CRASH_ESUCCESS) {
            return CRASH_ESUCCESS;
        }
        if (crash_macho_map_section(macho, memory, "__DWARF", "__debug_frame", &frames->section) == CRASH_ESUCCESS) {
            frames->debugFrame = true;
            return CRASH_ESUCCESS;
        }
        return CRASH_ENOTFOUND;
    }
    frames->byteOrder = crash_async_byteorder_native();
    if (image->ehFrame == 0 || image->ehFrameEnd <= image->ehFrame) return CRASH_ENOTFOUND;
    if (crash_mobject_init(&frames->section, memory, image->ehFrame, image->ehFrameEnd - image->ehFrame, false) !=
        CRASH_ESUCCESS) {
        return CRASH_ENOTFOUND;
    }
    frames->haveHdr = image->ehFrameHdrSorted &&
                      crash_mobject_init(&frames->hdr, memory, image->ehFrameHdr, image->ehFrameHdrSize, true) ==
                          CRASH_ESUCCESS;
    return CRASH_ESUCCESS;
}

}  // namespace

int crash_dwarf_frame_reader(const crash_frame_environment* environment, const crash_thread_state* current,
                       const crash_thread_state*, crash_thread_state* next) {
    if (!crash_thread_state_is_valid(current, CRASH_REG_PC)) return CRASH_FRAME_EBADFRAME;
    if (!environment || !environment->images) return CRASH_FRAME_ENOTSUP;
    // A caller's pc is a return address, which may lie past its function's end.
    uint64_t pc = crash_thread_state_lookup_pc(current);
    crash_dwarf_rules_cache* cache = environment->rulesCache;
    if (cache) {
        int cached = crash_dwarf_rules_cache_apply(cache, pc, environment->memory, current, next);
        if (cached == CRASH_ESUCCESS) return CRASH_FRAME_ESUCCESS;
        if (cached != CRASH_ENOTFOUND) return CRASH_FRAME_ENOFRAME;
    }
    const crash_image* image = environment->images->find(pc, environment->generation);
    if (!image) return CRASH_FRAME_ENOTSUP;
    const crash_memory_map* memory = environment->memory;

    FrameSection frames;
    if (openSections(image, memory, &frames) != CRASH_ESUCCESS) return CRASH_FRAME_ENOFRAME;
    crash_dwarf_fde_search search;
    if (crash_dwarf_fde_search_init(&search, &frames.section, frames.byteOrder, frames.is64, frames.debugFrame, memory) !=
        CRASH_ESUCCESS) {
        return CRASH_FRAME_EINVAL;
    }
    crash_dwarf_fde_info fde;
    crash_dwarf_cie_info cie;
    int found = CRASH_ENOTFOUND;
    crash_dwarf_eh_frame_hdr hdr;
    if (frames.haveHdr && crash_dwarf_eh_frame_hdr_parse(&hdr, &frames.hdr, frames.byteOrder, frames.is64) ==
                              CRASH_ESUCCESS &&
        hdr.tableAddress != 0) {
        found = crash_dwarf_eh_frame_hdr_find_fde(&hdr, &frames.hdr, &search, pc, &fde, &cie);
    } else {
        found = crash_dwarf_find_fde(&search, frames.section.address, pc, &fde, &cie);
    }
    if (found != CRASH_ESUCCESS) return CRASH_FRAME_ENOTSUP;

    crash_dwarf_cfa_state state;
    crash_dwarf_cfa_state_init(&state);
    crash_dwarf_pointer_state pointers = search.pointers;
    if (crash_dwarf_cfa_run(&state, &frames.section, &pointers, &cie, pc, fde.pcStart, cie.instructions,
                            cie.instructionsLength) != CRASH_ESUCCESS ||
        crash_dwarf_cfa_run(&state, &frames.section, &pointers, &cie, pc, fde.pcStart, fde.instructions,
                            fde.instructionsLength) != CRASH_ESUCCESS) {
        return CRASH_FRAME_ENOTSUP;
    }
    if (cache) crash_dwarf_rules_cache_store(cache, pc, &state, &cie, frames.byteOrder);
    if (crash_dwarf_cfa_apply(&state, memory, &frames.section, &cie, frames.byteOrder, current, next) != CRASH_ESUCCESS) {
        return CRASH_FRAME_ENOFRAME;
    }
    return CRASH_FRAME_ESUCCESS;
}

}  // namespace strombel::crash
