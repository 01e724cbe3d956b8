// Follows the save slot the game has loaded: a server session exists exactly while the
// game's active main save is the configured slot.
#pragma once
#include <cstdint>

// "SONIC2B__Snn" (any case, after the last '/' or '\') gives nn, 1..99; anything else 0.
int32_t active_save_slot(const char* path);
// Reads the game's save path through door 2; 0 when it is not a readable, terminated text.
int32_t read_active_save_slot();
// On scan ticks: opens or closes the session; true while one for the configured slot is open.
bool save_slot_session_step();
