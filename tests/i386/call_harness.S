// velmora_call_machine of test_game_code.cpp.
    .bss
    .p2align 2
m_saved_esp:    .long 0
m_esp_at_call:  .long 0
m_fn:           .long 0
m_out:          .long 0
m_change:       .long 0
m_eax:          .long 0

    .text
    .globl velmora_call_machine
    .type velmora_call_machine, @function
velmora_call_machine:
    pushl %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl %esp, m_saved_esp
    movl 20(%esp), %eax         // fn
    movl %eax, m_fn
    movl 36(%esp), %eax         // out
    movl %eax, m_out
    movl 40(%esp), %eax         // esp_change
    movl %eax, m_change
    movl 24(%esp), %eax         // in
    movl 28(%esp), %edx         // words
    movl 32(%esp), %ecx         // count
1:  testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%edx,%ecx,4)
    jmp 1b
2:  movl %esp, m_esp_at_call
    movl 4(%eax), %ecx
    movl 8(%eax), %edx
    movl 12(%eax), %ebx
    movl 16(%eax), %esi
    movl 20(%eax), %edi
    movl 24(%eax), %ebp
    movl 0(%eax), %eax
    cld
    call *m_fn
    movl %eax, m_eax
    movl m_out, %eax
    movl %ecx, 4(%eax)
    movl %edx, 8(%eax)
    movl %ebx, 12(%eax)
    movl %esi, 16(%eax)
    movl %edi, 20(%eax)
    movl %ebp, 24(%eax)
    movl m_eax, %ecx
    movl %ecx, 0(%eax)
    movl %esp, %ecx
    subl m_esp_at_call, %ecx
    movl m_change, %eax
    movl %ecx, (%eax)
    movl m_saved_esp, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
    .size velmora_call_machine, .-velmora_call_machine

    .section .note.GNU-stack, "", @progbits
