// The simulated build's code: at every address where the system checks, fingerprints or
// patches the game's code, bytes that are what the supported build holds as far as the
// system can tell (the instruction forms it checks, the FNV-1a-32 values it expects), so
// that the real probes, checks and patches run against them. A test flips one byte to see
// the system leave foreign code alone.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/game.h"

namespace sim {

// A module of the mod's own in the simulated process, where the entry routines the game
// reaches through patched code lie.
constexpr game_addr kModImageBase = 0x6E000000;
constexpr game_addr kGateAddress = 0x6E001000;
constexpr game_addr kManualRebirthAddress = 0x6E001100;

struct CodeRange {
    game_addr address;
    uint32_t length;
    uint32_t fnv1a;
};

// Every range of game code the system fingerprints.
const std::vector<CodeRange>& fingerprinted_code();

// Lays the game's code into a fresh memory (called by reset()).
void place_game_code();

// The game's rebirth routine N, modelled: it runs each of its two call sites as the bytes
// there say (the guarded routine R, the mod's gate, or foreign code it cannot follow),
// and stops at the first site that answers 0.
struct RebirthModel {
    uint32_t guarded_answer = 0;   // what R answers
    int guarded_calls = 0;
    int rebirth_calls = 0;
    int foreign_calls = 0;         // call sites leading anywhere else
    std::vector<uint32_t> reborn;  // tasks N went through with (both sites answered non-zero)
};
RebirthModel& rebirth_model();

// Sets the 4 bytes at `window` so that FNV-1a-32 (standard basis) of the whole range is
// `target`; when 4 bytes cannot reach it, the byte before the window is stepped too.
// False when the window does not fit.
bool steer_fnv1a(uint8_t* bytes, size_t length, size_t window, uint32_t target);

}  // namespace sim
