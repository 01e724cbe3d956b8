// Inside the game the patched animal calls lead to this library's own entry code, in
// animals/animal_hooks_i686.S.
#include "animals/animal_hooks.h"

extern "C" {
void velmora_animal_discard_entry();
void velmora_animal_allocate_entry();
void velmora_animal_load_entry();
void velmora_animal_store_entry();
}

namespace {
game_addr address_of(void (*entry)()) { return static_cast<game_addr>(reinterpret_cast<uintptr_t>(entry)); }
}  // namespace

game_addr animal_hook_address(AnimalHook hook) {
    switch (hook) {
        case AnimalHook::Discard: return address_of(&velmora_animal_discard_entry);
        case AnimalHook::Allocate: return address_of(&velmora_animal_allocate_entry);
        case AnimalHook::Load: return address_of(&velmora_animal_load_entry);
        case AnimalHook::Store: return address_of(&velmora_animal_store_entry);
    }
    return 0;
}
