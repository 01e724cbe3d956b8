#include "tests/i386/call_harness.h"

    .bss
    .p2align 2
saved_esp:      .long 0
esp_at_call:    .long 0
after_ebx:      .long 0
after_esi:      .long 0
after_edi:      .long 0
after_ebp:      .long 0
after_esp:      .long 0

    .text
    .globl velmora_call_checked
    .type velmora_call_checked, @function
velmora_call_checked:
    pushl %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl %esp, saved_esp
    movl 20(%esp), %eax         // fn
    movl 24(%esp), %edx         // args
    movl 28(%esp), %ecx         // count
1:  testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%edx,%ecx,4)
    jmp 1b
2:  movl %esp, esp_at_call
    movl $HARNESS_EBX, %ebx
    movl $HARNESS_ESI, %esi
    movl $HARNESS_EDI, %edi
    movl $HARNESS_EBP, %ebp
    call *%eax
    movl %esp, after_esp
    movl %ebx, after_ebx
    movl %esi, after_esi
    movl %edi, after_edi
    movl %ebp, after_ebp
    movl saved_esp, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    movl 16(%esp), %ecx         // seen
    movl after_ebx, %edx
    movl %edx, 0(%ecx)
    movl after_esi, %edx
    movl %edx, 4(%ecx)
    movl after_edi, %edx
    movl %edx, 8(%ecx)
    movl after_ebp, %edx
    movl %edx, 12(%ecx)
    movl after_esp, %edx
    subl esp_at_call, %edx
    movl %edx, 16(%ecx)
    ret
    .size velmora_call_checked, .-velmora_call_checked

    .section .note.GNU-stack, "", @progbits
