// Inside the game the entry routines are this library's own code: the gate of
// protect/hook_entry_i686.S and run_manual_rebirth.
#include "protect/hook_entry.h"
#include "protect/lifespan.h"

extern "C" void velmora_rebirth_gate();

game_addr rebirth_gate_address() {
    return static_cast<game_addr>(reinterpret_cast<uintptr_t>(&velmora_rebirth_gate));
}

game_addr manual_rebirth_address() {
    return static_cast<game_addr>(reinterpret_cast<uintptr_t>(&run_manual_rebirth));
}
