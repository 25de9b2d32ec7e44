#include "crash/crash_frame_cursor.h"

namespace strombel::crash {

const char* crash_frame_error_string(int error) {
    switch (error) {
        case CRASH_FRAME_ESUCCESS: return "No error";
        case CRASH_FRAME_EUNKNOWN: return "Unknown error";
        case CRASH_FRAME_ENOFRAME: return "No frames are available";
        case CRASH_FRAME_EBADFRAME: return "Corrupted frame";
        case CRASH_FRAME_ENOTSUP: return "Operation not supported";
        case CRASH_FRAME_EINVAL: return "Invalid argument";
        case CRASH_FRAME_INTERNAL: return "Internal error";
        case CRASH_FRAME_EBADREG: return "Invalid register";
        default: return "Unhandled error code";
    }
}

int crash_frame_pointer_reader(const crash_frame_environment* environment, const crash_thread_state* current,
                               const crash_thread_state* previous, crash_thread_state* next) {
    if (!crash_thread_state_is_valid(current, CRASH_REG_FP)) return CRASH_FRAME_EBADFRAME;
    uint64_t fp = crash_thread_state_get(current, CRASH_REG_FP);
    if (fp == 0) return CRASH_FRAME_ENOFRAME;
    // The same fp as the frame before is no loop: a callee without a frame
    // record of its own (unwound from its tables) leaves fp as it was.
    if (previous && crash_thread_state_is_valid(previous, CRASH_REG_FP)) {
        uint64_t previousFp = crash_thread_state_get(previous, CRASH_REG_FP);
        if (current->stackDirection == 2 ? fp < previousFp : fp > previousFp) return CRASH_FRAME_EBADFRAME;
    }
    uint64_t record[2] = {0, 0};
    if (current->registerSize == 8) {
        if (crash_async_read(environment->memory, fp, 0, record, 16) != CRASH_ESUCCESS) return CRASH_FRAME_EBADFRAME;
    } else {
        uint32_t narrow[2] = {0, 0};
        if (crash_async_read(environment->memory, fp, 0, narrow, 8) != CRASH_ESUCCESS) return CRASH_FRAME_EBADFRAME;
        record[0] = narrow[0];
        record[1] = narrow[1];
    }
    // A record that names itself as its caller's is no frame record: code
    // without frame pointers can leave fp at a word holding its own address,
    // and the walk would read it again at every step, one frame in no image
    // repeated to the walk's limit.
    if (record[0] == fp) return CRASH_FRAME_EBADFRAME;
    // The caller's frame: only what the record tells is known.
    next->kind = current->kind;
    next->stackDirection = current->stackDirection;
    next->registerSize = current->registerSize;
    next->validRegisters = 0;
    next->returnAddress = true;
    crash_thread_state_set(next, CRASH_REG_FP, record[0]);
    crash_thread_state_set(next, CRASH_REG_PC, crash_thread_state_strip_return_address(current, record[1]));
    // On x86-64 the caller's stack pointer is known too: just above the record.
    if (current->kind == CRASH_THREAD_STATE_X86_64) crash_thread_state_set(next, CRASH_REG_SP, fp + 16);
    return CRASH_FRAME_ESUCCESS;
}

void crash_frame_cursor_init(crash_frame_cursor* cursor, const crash_frame_environment* environment,
                             const crash_thread_state* state) {
    cursor->environment = *environment;
    cursor->depth = 0;
    cursor->currentIndex = 0;
    cursor->states[0] = *state;
}

int crash_frame_cursor_next_with_readers(crash_frame_cursor* cursor, const crash_frame_reader* readers, uint32_t count) {
    if (cursor->depth == 0) {
        cursor->depth = 1;
        return CRASH_FRAME_ESUCCESS;
    }
    uint32_t nextIndex = (cursor->currentIndex + 1) % 3;
    crash_thread_state* next = &cursor->states[nextIndex];
    const crash_thread_state* previous = cursor->depth >= 2 ? &cursor->previous() : nullptr;
    int result = CRASH_FRAME_EINVAL;
    for (uint32_t i = 0; i < count; ++i) {
        result = readers[i](&cursor->environment, &cursor->current(), previous, next);
        if (result == CRASH_FRAME_ESUCCESS) break;
    }
    if (result != CRASH_FRAME_ESUCCESS) return result;
    if (!crash_thread_state_is_valid(next, CRASH_REG_PC) || crash_thread_state_get(next, CRASH_REG_PC) <= 0x4000) {
        return CRASH_FRAME_ENOFRAME;
    }
    // The current frame becomes the previous one, the new one the current.
    cursor->currentIndex = nextIndex;
    cursor->depth += 1;
    return CRASH_FRAME_ESUCCESS;
}

int crash_frame_cursor_next(crash_frame_cursor* cursor) {
    static const crash_frame_reader readers[] = {crash_compact_unwind_reader, crash_dwarf_frame_reader,
                                                 crash_frame_pointer_reader};
    return crash_frame_cursor_next_with_readers(cursor, readers, 3);
}

int crash_frame_cursor_get_reg(const crash_frame_cursor* cursor, uint32_t reg, uint64_t* value) {
    if (!crash_thread_state_is_valid(&cursor->current(), reg)) return CRASH_FRAME_ENOTSUP;
    *value = crash_thread_state_get(&cursor->current(), reg);
    return CRASH_FRAME_ESUCCESS;
}

}  // namespace strombel::crash
