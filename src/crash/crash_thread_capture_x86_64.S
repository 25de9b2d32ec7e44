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

// crash_register_preservation_check(function, stackPointer) on x86-64: loads
// rbx and r12-r15 (the registers a call must keep, the frame pointer aside)
// with values of their own, stores the stack pointer at the call at
// *stackPointer, calls function(function), and answers the number of the first
// of them that lost its value (rbx 3, r12-r15 12-15), or 0.
    .globl crash_register_preservation_check
    .type crash_register_preservation_check, @function
    .p2align 4
crash_register_preservation_check:
    .cfi_startproc
    pushq %rbx
    .cfi_adjust_cfa_offset 8
    .cfi_offset %rbx, -16
    pushq %r12
    .cfi_adjust_cfa_offset 8
    .cfi_offset %r12, -24
    pushq %r13
    .cfi_adjust_cfa_offset 8
    .cfi_offset %r13, -32
    pushq %r14
    .cfi_adjust_cfa_offset 8
    .cfi_offset %r14, -40
    pushq %r15
    .cfi_adjust_cfa_offset 8
    .cfi_offset %r15, -48
    movabsq $0x0303030303030303, %rbx
    movabsq $0x1212121212121212, %r12
    movabsq $0x1313131313131313, %r13
    movabsq $0x1414141414141414, %r14
    movabsq $0x1515151515151515, %r15
    // Five pushes after the return address: the stack is aligned for the call.
    movq %rsp, (%rsi)
    callq *%rdi
    movabsq $0x0303030303030303, %rcx
    movl $3, %eax
    cmpq %rcx, %rbx
    jne 1f
    movabsq $0x1212121212121212, %rcx
    movl $12, %eax
    cmpq %rcx, %r12
    jne 1f
    movabsq $0x1313131313131313, %rcx
    movl $13, %eax
    cmpq %rcx, %r13
    jne 1f
    movabsq $0x1414141414141414, %rcx
    movl $14, %eax
    cmpq %rcx, %r14
    jne 1f
    movabsq $0x1515151515151515, %rcx
    movl $15, %eax
    cmpq %rcx, %r15
    jne 1f
    xorl %eax, %eax
1:  popq %r15
    .cfi_adjust_cfa_offset -8
    popq %r14
    .cfi_adjust_cfa_offset -8
    popq %r13
    .cfi_adjust_cfa_offset -8
    popq %r12
    .cfi_adjust_cfa_offset -8
    popq %rbx
    .cfi_adjust_cfa_offset -8
    ret
    .cfi_endproc
    .size crash_register_preservation_check, .-crash_register_preservation_check
#endif
    .section .note.GNU-stack,"",@progbits
