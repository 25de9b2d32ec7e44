#pragma once

// Walking a thread's stack from its register state, one frame at a time, by
// asking a list of frame readers in turn. Crash-time code: no heap, no locks;
// memory is read only through safe reads.

#include <cstdint>

#include "crash/crash_async.h"
#include "crash/crash_image_list.h"
#include "crash/crash_thread_state.h"

namespace strombel::crash {

enum crash_frame_error : int {
    CRASH_FRAME_ESUCCESS = 0,
    CRASH_FRAME_EUNKNOWN = 1,
    CRASH_FRAME_ENOFRAME = 2,
    CRASH_FRAME_EBADFRAME = 3,
    CRASH_FRAME_ENOTSUP = 4,
    CRASH_FRAME_EINVAL = 5,
    CRASH_FRAME_INTERNAL = 6,
    CRASH_FRAME_EBADREG = 7,
};

const char* crash_frame_error_string(int error);

struct crash_dwarf_rules_cache;

/// What frame readers may look at: the image list (held in reading state by
/// the caller), the memory map of the report, the images' report generation
/// (0: every listed image) and, when given, a cache of the DWARF reader's
/// rules that lives as long as the images stay as they are.
struct crash_frame_environment {
    const crash_image_list* images = nullptr;
    const crash_memory_map* memory = nullptr;
    uint32_t generation = 0;
    crash_dwarf_rules_cache* rulesCache = nullptr;
};

/// Computes the caller's frame `next` from `current` (and `previous`, from the
/// third frame on); a frame error code.
using crash_frame_reader = int (*)(const crash_frame_environment* environment, const crash_thread_state* current,
                                   const crash_thread_state* previous, crash_thread_state* next);

/// The compact unwind reader: the "__unwind_info" section of the Mach-O image
/// that holds the pc. Every ELF image answers 4 at once (there is none).
int crash_compact_unwind_reader(const crash_frame_environment* environment, const crash_thread_state* current,
                                const crash_thread_state* previous, crash_thread_state* next);
/// The DWARF reader: an ELF image's ".eh_frame" (through ".eh_frame_hdr"), a
/// Mach-O image's "__TEXT"/"__eh_frame" or else "__DWARF"/"__debug_frame".
int crash_dwarf_frame_reader(const crash_frame_environment* environment, const crash_thread_state* current,
                       const crash_thread_state* previous, crash_thread_state* next);
/// Follows the frame record at fp: the caller's fp and pc (and, on x86-64, sp).
int crash_frame_pointer_reader(const crash_frame_environment* environment, const crash_thread_state* current,
                               const crash_thread_state* previous, crash_thread_state* next);

/// The frames are kept in three states whose roles rotate at each step
/// (previous, current, the one being read), so that no state is copied.
struct crash_frame_cursor {
    crash_frame_environment environment;
    uint32_t depth = 0;
    uint32_t currentIndex = 0;
    crash_thread_state states[3];

    const crash_thread_state& current() const { return states[currentIndex]; }
    const crash_thread_state& previous() const { return states[(currentIndex + 2) % 3]; }
};

void crash_frame_cursor_init(crash_frame_cursor* cursor, const crash_frame_environment* environment,
                             const crash_thread_state* state);
/// The next frame: the initial state first, then each caller. 2 at the end of
/// the stack, or the last reader's error when no reader could step.
int crash_frame_cursor_next_with_readers(crash_frame_cursor* cursor, const crash_frame_reader* readers, uint32_t count);
/// The same with the default readers, in order: compact unwind, DWARF, frame pointer.
int crash_frame_cursor_next(crash_frame_cursor* cursor);
/// 0, or 4 when the register is not valid in the current frame.
int crash_frame_cursor_get_reg(const crash_frame_cursor* cursor, uint32_t reg, uint64_t* value);
/// The number of registers of the current frame's layout, and one's name (a
/// number out of range stops the process).
inline uint32_t crash_frame_cursor_register_count(const crash_frame_cursor* cursor) {
    return crash_thread_state_register_count(&cursor->current());
}
inline const char* crash_frame_cursor_register_name(const crash_frame_cursor* cursor, uint32_t reg) {
    return crash_thread_state_register_name(&cursor->current(), reg);
}
/// Whether the current frame's pc is a return address, to be looked up at pc - 1.
inline bool crash_frame_cursor_pc_is_return_address(const crash_frame_cursor* cursor) {
    return cursor->current().returnAddress;
}

}  // namespace strombel::crash
