// The simulator's image of the game's code (sim/game_code.cpp), compiled into the 32-bit
// tests for its bytes: the instruction forms and fingerprints the installers check, one
// generator for both builds. Its model of the mod's entry points and of the rebirth routine
// is renamed out of the way of the real ones linked here, and its memory writes are
// collected instead of reaching a simulated process.
#include <cstring>
#include <vector>

#define rebirth_gate_address sim_model_rebirth_gate_address
#define manual_rebirth_address sim_model_manual_rebirth_address
#define rebirth_routine sim_model_rebirth_routine
#include "sim/game_code.cpp"
#undef rebirth_gate_address
#undef manual_rebirth_address
#undef rebirth_routine

#include "tests/i386/sim_game_code.h"

namespace {
std::vector<sim_image::Chunk>* g_collecting = nullptr;
}  // namespace

namespace sim {

void poke(game_addr address, const void* data, size_t size) {
    if (!g_collecting) return;
    const auto* p = static_cast<const uint8_t*>(data);
    g_collecting->push_back({address, std::vector<uint8_t>(p, p + size)});
}

void peek(game_addr address, void* data, size_t size) {
    std::memcpy(data, game::game_ptr<const unsigned char>(address), size);
}

// The simulator's own module for the mod's entry points: not wanted here.
void map(game_addr, uint32_t, uint32_t, uint32_t, game_addr) {}

}  // namespace sim

namespace sim_image {

std::vector<Chunk> game_code() {
    std::vector<Chunk> chunks;
    g_collecting = &chunks;
    sim::place_game_code();
    g_collecting = nullptr;
    // Only the game's module: the simulator's entry-point stand-ins lie in a module of its own.
    std::vector<Chunk> own;
    for (Chunk& c : chunks)
        if (c.address < sim::kModImageBase) own.push_back(std::move(c));
    return own;
}

std::vector<Range> fingerprinted() {
    std::vector<Range> out;
    for (const sim::CodeRange& r : sim::fingerprinted_code()) out.push_back({r.address, r.length, r.fnv1a});
    return out;
}

bool steer(uint8_t* bytes, size_t length, size_t window, uint32_t target) {
    return sim::steer_fnv1a(bytes, length, window, target);
}

}  // namespace sim_image
