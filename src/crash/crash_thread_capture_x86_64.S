// crash_thread_state_capture(callback, context) on x86-64: records the caller's
// registers in the register numbering of crash_thread_state (0 rip, 1 rbp,
// 2 rsp, 3 rax, 4 rbx, 5 rcx, 6 rdx, 7 rdi, 8 rsi, 9-16 r8-r15, 17 rflags,
// 18 cs, 19 fs, 20 gs) as the caller sees them at the call: rip is the return
// address, rsp the caller's stack pointer once the call returns. Then it calls
// crash_thread_state_capture_finish(registers, callback, context).
#if defined(__x86_64__)
    .text
    .globl crash_thread_state_capture
    .type crash_thread_state_capture, @function
    .p2align 4
crash_thread_state_capture:
    .cfi_startproc
    subq $184, %rsp
    .cfi_adjust_cfa_offset 184
    movq %rax, 24(%rsp)
    movq 184(%rsp), %rax
    movq %rax, 0(%rsp)
    movq %rbp, 8(%rsp)
    leaq 192(%rsp), %rax
    movq %rax, 16(%rsp)
    movq %rbx, 32(%rsp)
    movq %rcx, 40(%rsp)
    movq %rdx, 48(%rsp)
    movq %rdi, 56(%rsp)
    movq %rsi, 64(%rsp)
    movq %r8, 72(%rsp)
    movq %r9, 80(%rsp)
    movq %r10, 88(%rsp)
    movq %r11, 96(%rsp)
    movq %r12, 104(%rsp)
    movq %r13, 112(%rsp)
    movq %r14, 120(%rsp)
    movq %r15, 128(%rsp)
    pushfq
    .cfi_adjust_cfa_offset 8
    popq %rax
    .cfi_adjust_cfa_offset -8
    movq %rax, 136(%rsp)
    xorl %eax, %eax
    movw %cs, %ax
    movq %rax, 144(%rsp)
    movw %fs, %ax
    movq %rax, 152(%rsp)
    movw %gs, %ax
    movq %rax, 160(%rsp)
    movq %rsi, %rdx
    movq %rdi, %rsi
    movq %rsp, %rdi
    call crash_thread_state_capture_finish
    addq $184, %rsp
    .cfi_adjust_cfa_offset -184
    ret
    .cfi_endproc
    .size crash_thread_state_capture, .-crash_thread_state_capture
#endif
    .section .note.GNU-stack,"",@progbits
