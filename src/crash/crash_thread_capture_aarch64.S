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

// crash_register_preservation_check(function, stackPointer) on 64-bit ARM:
// loads x19-x28 (the registers a call must keep, the frame pointer aside) with
// values of their own, stores the stack pointer at the call at *stackPointer,
// calls function(function), and answers the number of the first of them (in
// that order) that lost its value, 19 to 28, or 0.
    .globl crash_register_preservation_check
    .type crash_register_preservation_check, %function
    .p2align 2
crash_register_preservation_check:
    .cfi_startproc
    stp x29, x30, [sp, #-96]!
    .cfi_def_cfa_offset 96
    .cfi_offset x29, -96
    .cfi_offset x30, -88
    mov x29, sp
    stp x19, x20, [sp, #16]
    stp x21, x22, [sp, #32]
    stp x23, x24, [sp, #48]
    stp x25, x26, [sp, #64]
    stp x27, x28, [sp, #80]
    adr x9, 2f
    ldp x19, x20, [x9]
    ldp x21, x22, [x9, #16]
    ldp x23, x24, [x9, #32]
    ldp x25, x26, [x9, #48]
    ldp x27, x28, [x9, #64]
    mov x9, sp
    str x9, [x1]
    blr x0
    adr x9, 2f
    mov x0, #19
    ldr x10, [x9, #0]
    cmp x19, x10
    b.ne 1f
    mov x0, #20
    ldr x10, [x9, #8]
    cmp x20, x10
    b.ne 1f
    mov x0, #21
    ldr x10, [x9, #16]
    cmp x21, x10
    b.ne 1f
    mov x0, #22
    ldr x10, [x9, #24]
    cmp x22, x10
    b.ne 1f
    mov x0, #23
    ldr x10, [x9, #32]
    cmp x23, x10
    b.ne 1f
    mov x0, #24
    ldr x10, [x9, #40]
    cmp x24, x10
    b.ne 1f
    mov x0, #25
    ldr x10, [x9, #48]
    cmp x25, x10
    b.ne 1f
    mov x0, #26
    ldr x10, [x9, #56]
    cmp x26, x10
    b.ne 1f
    mov x0, #27
    ldr x10, [x9, #64]
    cmp x27, x10
    b.ne 1f
    mov x0, #28
    ldr x10, [x9, #72]
    cmp x28, x10
    b.ne 1f
    mov x0, #0
1:  ldp x19, x20, [sp, #16]
    ldp x21, x22, [sp, #32]
    ldp x23, x24, [sp, #48]
    ldp x25, x26, [sp, #64]
    ldp x27, x28, [sp, #80]
    ldp x29, x30, [sp], #96
    .cfi_def_cfa_offset 0
    ret
    .p2align 3
2:  .quad 0x1919191919191919, 0x2020202020202020, 0x2121212121212121, 0x2222222222222222
    .quad 0x2323232323232323, 0x2424242424242424, 0x2525252525252525, 0x2626262626262626
    .quad 0x2727272727272727, 0x2828282828282828
    .cfi_endproc
    .size crash_register_preservation_check, .-crash_register_preservation_check
#endif
    .section .note.GNU-stack,"",%progbits
