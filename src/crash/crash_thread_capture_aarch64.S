// crash_thread_state_capture(callback, context) on 64-bit ARM: records the
// caller's registers in the register numbering of crash_thread_state (0 pc,
// 1 fp, 2 sp, 3-31 x0-x28, 32 lr, 33 cpsr) as the caller sees them at the call:
// pc is the return address into the caller, sp the caller's stack pointer, fp
// the caller's frame pointer, lr the return address saved in the caller's frame
// record; x0 and cpsr are 0. Then it calls
// crash_thread_state_capture_finish(registers, callback, context).
#if defined(__aarch64__)
    .text
    .globl crash_thread_state_capture
    .type crash_thread_state_capture, %function
    .p2align 2
crash_thread_state_capture:
    .cfi_startproc
    sub sp, sp, #288
    .cfi_def_cfa_offset 288
    str x30, [sp, #272]
    str x30, [sp, #0]
    str x29, [sp, #8]
    add x9, sp, #288
    str x9, [sp, #16]
    str xzr, [sp, #24]
    stp x1, x2, [sp, #32]
    stp x3, x4, [sp, #48]
    stp x5, x6, [sp, #64]
    stp x7, x8, [sp, #80]
    // x9 was overwritten above: x9-x15 are caller-saved scratch registers, so
    // the caller holds nothing in them across the call; record 0 for x9.
    str xzr, [sp, #96]
    stp x10, x11, [sp, #104]
    stp x12, x13, [sp, #120]
    stp x14, x15, [sp, #136]
    stp x16, x17, [sp, #152]
    stp x18, x19, [sp, #168]
    stp x20, x21, [sp, #184]
    stp x22, x23, [sp, #200]
    stp x24, x25, [sp, #216]
    stp x26, x27, [sp, #232]
    str x28, [sp, #248]
    // lr: the return address in the caller's frame record (0 without one).
    mov x9, #0
    cbz x29, 1f
    ldr x9, [x29, #8]
1:  str x9, [sp, #256]
    str xzr, [sp, #264]
    mov x2, x1
    mov x1, x0
    mov x0, sp
    bl crash_thread_state_capture_finish
    ldr x30, [sp, #272]
    add sp, sp, #288
    .cfi_def_cfa_offset 0
    ret
    .cfi_endproc
    .size crash_thread_state_capture, .-crash_thread_state_capture
#endif
    .section .note.GNU-stack,"",%progbits
