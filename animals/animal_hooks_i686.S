/* The animal reserve's entry code: the targets of the five patched calls in the game's code.
 * Each is entered exactly as the replaced call entered the game's routine (the game's
 * registers, its return address at [esp], its stack arguments above it) and leaves the
 * game's code as that routine would have: every register the game's code may rely on is the
 * game's or the routine's own, and the stack is as the call left it. The C++ handlers are
 * cdecl and realign the stack themselves. Built for the DLL (PE, underscored C names) and
 * for the 32-bit Linux tests (ELF, plain names). */

#if defined(__ELF__)
#define CNAME(x) x
#else
#define CNAME(x) _##x
#endif

        .data
        .p2align 2
/* The game's routines behind the sites, reached through memory so that no register of the
 * game's is needed to hold the address. */
discard_routine:  .long 0x0052F6B0
allocate_routine: .long 0x0052F9E0
load_routine:     .long 0x0052E920
store_routine:    .long 0x0052E710

        .text

/* Site 0, the discard guard (kind in ECX). Skips the game's discard when the handler says
 * so; otherwise goes on into the game's routine with every register and argument as given. */
        .globl  CNAME(velmora_animal_discard_entry)
        .p2align 4
CNAME(velmora_animal_discard_entry):
        pushl   %eax
        pushl   %ecx
        pushl   %edx
        pushl   %ecx
        call    CNAME(velmora_animal_discard_skips)
        addl    $4, %esp
        testl   %eax, %eax
        popl    %edx
        popl    %ecx
        popl    %eax
        jnz     1f
        jmp     *discard_routine
1:      ret

/* Sites 1 and 2, the allocation hook (kind in ECX). The game's allocator runs first, with
 * the game's registers; only when it finds no record is the reserve asked. */
        .globl  CNAME(velmora_animal_allocate_entry)
        .p2align 4
CNAME(velmora_animal_allocate_entry):
        pushl   %ecx
        call    *allocate_routine
        testl   %eax, %eax
        jnz     1f
        pushl   %ecx
        pushl   %edx
        pushl   8(%esp)
        call    CNAME(velmora_animal_reserve_record)
        addl    $4, %esp
        popl    %edx
        popl    %ecx
1:      leal    4(%esp), %esp
        ret

/* Site 3, the load hook (kind as the one stack argument): the handler first, then on into
 * the game's routine with everything as given. */
        .globl  CNAME(velmora_animal_load_entry)
        .p2align 4
CNAME(velmora_animal_load_entry):
        pushl   %eax
        pushl   %ecx
        pushl   %edx
        pushl   16(%esp)
        call    CNAME(velmora_animal_items_loading)
        addl    $4, %esp
        popl    %edx
        popl    %ecx
        popl    %eax
        jmp     *load_routine

/* Site 4, the store hook (kind as the one stack argument): the game's routine first, with
 * its argument copied into place above our return address, then the handler; the routine's
 * result goes back to the game. */
        .globl  CNAME(velmora_animal_store_entry)
        .p2align 4
CNAME(velmora_animal_store_entry):
        pushl   4(%esp)
        call    *store_routine
        addl    $4, %esp
        pushl   %eax
        pushl   %ecx
        pushl   %edx
        pushl   16(%esp)
        call    CNAME(velmora_animal_items_stored)
        addl    $4, %esp
        popl    %edx
        popl    %ecx
        popl    %eax
        ret

#if defined(__ELF__)
        .section .note.GNU-stack,"",@progbits
#endif
