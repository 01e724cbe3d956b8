// The game's code laid at its real addresses for the 32-bit tests: the simulator's image
// (the instruction forms and fingerprints the installers check, one generator for both
// builds) with a test's own executable code on top, every fingerprinted range steered back to
// its value, on pages the memory queries report as the game's module (code execute-read,
// data read-write).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "host/game.h"

namespace game_image {

struct Overlay {
    game_addr address;
    std::vector<uint8_t> bytes;
};

// The stand-ins' bodies placed at `area`, and a jump to each from its routine's game address.
std::vector<Overlay> stand_ins_behind_jumps(game_addr area);
// False (with a line on stderr) when an overlay covers the bytes a fingerprint is steered
// with or a fingerprint cannot be reached.
bool build(const std::vector<Overlay>& overlays);
// Places the built image afresh: every byte and every page's protection as built.
bool place();
// Xors one byte of the placed image (another build or another mod), protection kept;
// first_difference() then expects it.
bool flip(game_addr address, uint8_t bits);
// Takes the live bytes as placed (after an installer wrote its patch).
void take_live_as_placed();
// "" when every byte and page protection is as placed (and flipped), else the first difference.
std::string first_difference();

}  // namespace game_image

