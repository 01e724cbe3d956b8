// The game's routines, called where they lie in a 32-bit process. Shared by the shipped DLL
// and the 32-bit Linux test build, which places stand-in routines at the same addresses, so
// the calls the tests check are the calls that ship. Routines that take an argument in a
// register are reached through the thunks of host/game_thunks.h.
#include "host/game.h"
#include "host/game_thunks.h"

#if !defined(__i386__)
#error "the game's routines can only be called from 32-bit x86 code"
#endif

// The game's stack-argument routines are cdecl: the caller removes the arguments.
#define VELMORA_CDECL __attribute__((cdecl))

namespace game {

namespace {

template <class Fn>
Fn routine(game_addr address) {
    return reinterpret_cast<Fn>(static_cast<uintptr_t>(address));
}

}  // namespace

void debug_print(const char* line) {
    routine<int(VELMORA_CDECL*)(const char*, ...)>(addr::debug_print)("[velmora] %s", line);
}

int32_t current_garden() { return routine<int32_t(VELMORA_CDECL*)()>(addr::current_garden)(); }

game_addr alloc_item_record(uint32_t kind) { return thunk::call_ecx(addr::alloc_item_record, kind); }

void release_held_item() { routine<void(VELMORA_CDECL*)()>(addr::release_held_item)(); }

bool garden_save_check(game_addr block) { return thunk::call_ecx(addr::garden_save_check, block) != 0; }

void garden_save_store(game_addr block) { thunk::call_esi(addr::garden_save_store, block); }

game_addr create_fruit(int32_t type, game_addr position, int32_t rotation, game_addr zero_vector,
                       game_addr record) {
    return routine<uint32_t(VELMORA_CDECL*)(int32_t, uint32_t, int32_t, uint32_t, uint32_t)>(addr::create_fruit)(
        type, position, rotation, zero_vector, record);
}

game_addr create_animal(uint8_t type, game_addr position, int32_t rotation, game_addr rotation_vector,
                        game_addr record) {
    return routine<uint32_t(VELMORA_CDECL*)(uint8_t, uint32_t, int32_t, uint32_t, uint32_t)>(addr::create_animal)(
        type, position, rotation, rotation_vector, record);
}

game_addr create_item_object(uint8_t type_minus_21, game_addr position, game_addr rotation_vector,
                             game_addr record) {
    return routine<uint32_t(VELMORA_CDECL*)(uint8_t, uint32_t, uint32_t, uint32_t)>(addr::create_item_object)(
        type_minus_21, position, rotation_vector, record);
}

void set_chao_routine(game_addr task, game_addr routine_address) {
    thunk::call_eax_2(addr::set_chao_routine, task, routine_address, 0xFFFFFFFFu);
}

uint32_t rebirth_routine(game_addr task) {
    return routine<uint32_t(VELMORA_CDECL*)(uint32_t)>(addr::rebirth_routine)(task);
}

}  // namespace game
