// The mod's own entry routines that the game reaches through patched code, as game
// addresses. Inside the game they are the machine code of protect/hook_entry_i686.S and
// run_manual_rebirth; the simulator places stand-ins in a module of its own.
#pragma once
#include <cstdint>

#include "host/game.h"

// The task for which the rebirth gate lets the game's rebirth through; 0 when none.
// Written by run_manual_rebirth around one synchronous call, read by the gate.
extern "C" volatile uint32_t velmora_rebirth_authorized;

game_addr rebirth_gate_address();
game_addr manual_rebirth_address();
