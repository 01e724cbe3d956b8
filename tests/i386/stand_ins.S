// The stand-in routines. They are assembled into read-only data and only ever run from
// their copies at the game's addresses, so they may refer to nothing by a PC-relative
// displacement: records are reached by absolute address (the test program is not
// position independent).
#include "tests/i386/stand_ins.h"

#define REC(n, field) velmora_stand_in_calls + (n) * SI_RECORD_SIZE + field

.macro STAND_IN n, trash_esi=0, void_result=0
stand_in_\n\()_begin:
    movl %eax, REC(\n, SI_EAX)
    movl %ecx, REC(\n, SI_ECX)
    movl %edx, REC(\n, SI_EDX)
    movl %ebx, REC(\n, SI_EBX)
    movl %esi, REC(\n, SI_ESI)
    movl %edi, REC(\n, SI_EDI)
    movl %ebp, REC(\n, SI_EBP)
    movl %esp, REC(\n, SI_ESP)
    pushfl
    popl REC(\n, SI_FLAGS)
    .irp word, 0, 1, 2, 3, 4, 5
    movl 4+4*\word(%esp), %eax
    movl %eax, REC(\n, SI_STACK + 4 * \word)
    .endr
    movl (%esp), %eax
    movl %eax, REC(\n, SI_RETURN)
    incl REC(\n, SI_CALLS)
    incl velmora_stand_in_sequence
    movl velmora_stand_in_sequence, %eax
    movl %eax, REC(\n, SI_ORDER)
    movl $SI_TRASH_ECX, %ecx
    movl $SI_TRASH_EDX, %edx
    .if \trash_esi
    movl $SI_TRASH_ESI, %esi
    .endif
    .if \void_result
    movl $SI_TRASH_EAX, %eax
    .else
    movl REC(\n, SI_RESULT), %eax
    .endif
    pushl $SI_TRASH_FLAGS
    popfl
    ret
stand_in_\n\()_end:
.endm

    .section .rodata
    .p2align 4
    STAND_IN 0, void_result=1   // debug_print
    STAND_IN 1                  // current_garden
    STAND_IN 2                  // alloc_item_record
    STAND_IN 3, void_result=1   // release_held_item
    STAND_IN 4                  // garden_save_check
    STAND_IN 5, trash_esi=1, void_result=1  // garden_save_store
    STAND_IN 6                  // create_fruit
    STAND_IN 7                  // create_animal
    STAND_IN 8                  // create_item_object
    STAND_IN 9, void_result=1   // set_chao_routine
    STAND_IN 10                 // discard_item
    STAND_IN 11                 // load_items
    STAND_IN 12                 // store_items
    STAND_IN 13                 // guarded_lifecycle

// (begin, end) of each stand-in's bytes, in the order of stand_ins.h.
    .p2align 2
    .globl velmora_stand_in_code
velmora_stand_in_code:
    .irp n, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13
    .long stand_in_\n\()_begin, stand_in_\n\()_end
    .endr

    .section .note.GNU-stack, "", @progbits
