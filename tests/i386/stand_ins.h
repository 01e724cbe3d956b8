// Stand-ins for the game's routines, copied to where the game keeps the real ones. Each
// records the registers and stack words it was entered with, returns the value the test set,
// and then, as any game routine may, leaves EAX, ECX, EDX and the flags (and ESI, for the
// routine that may) changed. Shared with the assembly source, hence the plain macros.
#pragma once

#define STAND_IN_DEBUG_PRINT 0
#define STAND_IN_CURRENT_GARDEN 1
#define STAND_IN_ALLOC_ITEM_RECORD 2
#define STAND_IN_RELEASE_HELD_ITEM 3
#define STAND_IN_GARDEN_SAVE_CHECK 4
#define STAND_IN_GARDEN_SAVE_STORE 5
#define STAND_IN_CREATE_FRUIT 6
#define STAND_IN_CREATE_ANIMAL 7
#define STAND_IN_CREATE_ITEM_OBJECT 8
#define STAND_IN_SET_CHAO_ROUTINE 9
#define STAND_IN_DISCARD_ITEM 10
#define STAND_IN_LOAD_ITEMS 11
#define STAND_IN_STORE_ITEMS 12
#define STAND_IN_GUARDED_LIFECYCLE 13
#define STAND_IN_COUNT 14

// Layout of one record (bytes), checked against StandInCall below.
#define SI_CALLS 0
#define SI_EAX 4
#define SI_ECX 8
#define SI_EDX 12
#define SI_EBX 16
#define SI_ESI 20
#define SI_EDI 24
#define SI_EBP 28
#define SI_ESP 32
#define SI_FLAGS 36
#define SI_STACK 40
#define SI_STACK_WORDS 6
#define SI_RESULT 64
#define SI_RETURN 68
#define SI_ORDER 72
#define SI_RECORD_SIZE 76

// What the stand-ins leave behind in the registers they may change.
#define SI_TRASH_ECX 0xC5C5C5C5
#define SI_TRASH_EDX 0xD5D5D5D5
#define SI_TRASH_ESI 0x5E5E5E5E
#define SI_TRASH_EAX 0xA5A5A5A5
// Flags on return: CF, PF, AF, ZF, SF and OF set (DF clear, as every routine must leave it).
#define SI_TRASH_FLAGS 0x8D5

#ifndef __ASSEMBLER__
#include <cstddef>
#include <cstdint>

#include "host/game.h"

struct StandInCall {
    uint32_t calls;
    uint32_t eax, ecx, edx, ebx, esi, edi, ebp;  // on entry
    uint32_t esp;                                // on entry: the return address is at [esp]
    uint32_t flags;                              // on entry
    uint32_t stack[SI_STACK_WORDS];              // the words above the return address
    uint32_t result;                             // returned in EAX
    uint32_t return_address;                     // [esp] on entry
    uint32_t order;                              // velmora_stand_in_sequence after this entry
};
static_assert(offsetof(StandInCall, esp) == SI_ESP && offsetof(StandInCall, stack) == SI_STACK &&
              offsetof(StandInCall, result) == SI_RESULT && offsetof(StandInCall, return_address) == SI_RETURN &&
              offsetof(StandInCall, order) == SI_ORDER && sizeof(StandInCall) == SI_RECORD_SIZE);

extern "C" StandInCall velmora_stand_in_calls[STAND_IN_COUNT];
// Counts the entries of all stand-ins, so a test can tell which ran first.
extern "C" uint32_t velmora_stand_in_sequence;

namespace stand_ins {

game_addr address_of(int which);  // the game address of the routine, by the numbers above
// Where place(area) puts a body: at the routine's own address for area 0, else slot `which`
// of 256 bytes from area (for routines whose game code is fingerprinted: a jump leads there).
game_addr body_address(int which, game_addr area);
// Copies every stand-in's body to body_address (mapping the pages) and clears the records.
bool place(game_addr area = 0);
void reset();  // every record and the sequence cleared; results become 0
inline StandInCall& call(int which) { return velmora_stand_in_calls[which]; }

}  // namespace stand_ins
#endif
