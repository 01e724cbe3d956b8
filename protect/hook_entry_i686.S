/* The rebirth gate: the target of the two call hooks in the game's rebirth routine, in
 * place of its calls to the guarded lifecycle routine R (argument and result in EAX).
 * When the argument is not 0 and is the task run_manual_rebirth authorised, it answers 1
 * without asking R; otherwise it asks R with the same EAX and hands back R's answer. Every
 * register but EAX is left as the game's code had it: ECX and EDX, which R may change, are
 * saved and restored here. Built for the DLL (PE, underscored C names) and for the 32-bit
 * Linux tests (ELF, plain names). */

#if defined(__ELF__)
#define CNAME(x) x
#else
#define CNAME(x) _##x
#endif

#define GUARDED_LIFECYCLE 0x00568F30

        .text
        .globl  CNAME(velmora_rebirth_gate)
        .p2align 4
CNAME(velmora_rebirth_gate):
        pushl   %ecx
        pushl   %edx
        testl   %eax, %eax
        jz      1f
        cmpl    CNAME(velmora_rebirth_authorized), %eax
        jne     1f
        movl    $1, %eax
        jmp     2f
1:      movl    $GUARDED_LIFECYCLE, %ecx
        call    *%ecx
2:      popl    %edx
        popl    %ecx
        ret

#if defined(__ELF__)
        .section .note.GNU-stack,"",@progbits
#endif
