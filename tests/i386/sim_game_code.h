// The simulator's image of the game's code, as plain data for the 32-bit tests.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/game.h"

namespace sim_image {

struct Chunk {
    game_addr address;
    std::vector<uint8_t> bytes;
};

struct Range {
    game_addr address;
    uint32_t length;
    uint32_t fnv1a;
};

// Every byte the simulator lays into the game's module: code at the checked and patched
// places, the fingerprinted ranges, and the animal limit word.
std::vector<Chunk> game_code();
// The fingerprinted ranges, shortest first (a range lying inside another is steered first).
std::vector<Range> fingerprinted();
// The simulator's fingerprint steering: sets bytes[window .. window + 4) (and steps the byte
// before when needed) so the FNV-1a-32 of the whole range is `target`.
bool steer(uint8_t* bytes, size_t length, size_t window, uint32_t target);

}  // namespace sim_image
