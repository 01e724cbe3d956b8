// The game's code laid at its real addresses for the 32-bit tests: the simulator's image
// (instruction forms and fingerprints the installers check) with a test's own executable
// code on top, every fingerprinted range steered back to its value, placed on pages the
// memory queries report as the game's module (code execute-read, data read-write).
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

// A 5-byte jump at `from` to `to`.
Overlay jump(game_addr from, game_addr to);

// The stand-ins' bodies placed at `area`, and a jump to each from its routine's game
// address, for build().
std::vector<Overlay> stand_ins_behind_jumps(game_addr area);

// Builds the image with these overlays; false (with a line on stderr) when an overlay
// covers the bytes a fingerprint is steered with or a fingerprint cannot be reached.
bool build(const std::vector<Overlay>& overlays);

// Places the built image afresh: every byte and every page's protection as built.
bool place();

// Changes one byte of the placed image (another build or another mod), protection kept;
// intact() then expects it.
bool poke(game_addr address, uint8_t value);

// Takes the live bytes of the image as placed (after an installer wrote its patch).
void take_live_as_placed();

// True when every byte and every page protection of the image is as placed (and poked);
// otherwise false, with the first difference in `why`.
bool intact(std::string* why = nullptr);

}  // namespace game_image
