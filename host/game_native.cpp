// Door 2 inside the game (i686 Windows): a game address is a pointer and the game's
// routines are called where they lie. Routines that take an argument in a register are
// reached through small thunks; each tells the compiler every register the routine may
// change, so nothing of ours is kept in one across the call. The memory queries are in
// host/game_native_memory.cpp, which the 64-bit Windows tests build as well.
#include <windows.h>

#include "host/game.h"
#include "host/game_thunks.h"

namespace game {

namespace {

template <class Fn>
Fn routine(game_addr address) {
    return reinterpret_cast<Fn>(static_cast<uintptr_t>(address));
}

}  // namespace

void debug_print(const char* line) {
    routine<int(__cdecl*)(const char*, ...)>(addr::debug_print)("[velmora] %s", line);
}

int32_t current_garden() { return routine<int32_t(__cdecl*)()>(addr::current_garden)(); }

game_addr alloc_item_record(uint32_t kind) { return thunk::call_ecx(addr::alloc_item_record, kind); }

void release_held_item() { routine<void(__cdecl*)()>(addr::release_held_item)(); }

bool garden_save_check(game_addr block) { return thunk::call_ecx(addr::garden_save_check, block) != 0; }

void garden_save_store(game_addr block) { thunk::call_esi(addr::garden_save_store, block); }

game_addr create_fruit(int32_t type, game_addr position, int32_t rotation, game_addr zero_vector,
                       game_addr record) {
    return routine<uint32_t(__cdecl*)(int32_t, uint32_t, int32_t, uint32_t, uint32_t)>(addr::create_fruit)(
        type, position, rotation, zero_vector, record);
}

game_addr create_animal(uint8_t type, game_addr position, int32_t rotation, game_addr rotation_vector,
                        game_addr record) {
    return routine<uint32_t(__cdecl*)(uint8_t, uint32_t, int32_t, uint32_t, uint32_t)>(addr::create_animal)(
        type, position, rotation, rotation_vector, record);
}

game_addr create_item_object(uint8_t type_minus_21, game_addr position, game_addr rotation_vector,
                             game_addr record) {
    return routine<uint32_t(__cdecl*)(uint8_t, uint32_t, uint32_t, uint32_t)>(addr::create_item_object)(
        type_minus_21, position, rotation_vector, record);
}

void set_chao_routine(game_addr task, game_addr routine_address) {
    thunk::call_eax_2(addr::set_chao_routine, task, routine_address, 0xFFFFFFFFu);
}

uint32_t rebirth_routine(game_addr task) {
    return routine<uint32_t(__cdecl*)(uint32_t)>(addr::rebirth_routine)(task);
}

}  // namespace game
