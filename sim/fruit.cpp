// The simulated fruit creator, the player character data it is handed, and the mod's own
// memory where the vectors for game routines are put.
#include <cstring>
#include <vector>

#include "protect/game_memory.h"
#include "sim/game_code.h"
#include "sim/sim.h"
#include "writeback/dispatcher.h"

namespace sim {
namespace {

// A page of the mod's own data beside its simulated module. reset() frees the whole space,
// so a missing page also tells this file that its records belong to an earlier game.
constexpr game_addr kModDataPage = kModImageBase + 0x10000;
constexpr game_addr kVectorBlock = kModDataPage + 0x100;
constexpr uint32_t kFruitKind = 3;  // the game's item count index for fruit
constexpr uint32_t kTaskSize = 0x50, kItemEntrySize = 0x48;

struct FruitWorld {
    std::vector<CreatedFruit> created;
    int32_t limit = -1;
};

FruitWorld& fruit_world() {
    static FruitWorld w;
    game::RegionInfo r{};
    if (!game::query_region(kModDataPage, r) || r.state != game::kMemCommit) {
        w = FruitWorld{};
        map(kModDataPage, kPageSize, game::kPageReadWrite, game::kMemImage, kModImageBase);
    }
    return w;
}

}  // namespace

const std::vector<CreatedFruit>& created_fruit() { return fruit_world().created; }

void set_fruit_limit(int32_t limit) { fruit_world().limit = limit; }

void place_player(float x, float y, float z, int32_t rotation) {
    game_addr data = game::read<game_addr>(game::addr::character_data);
    if (!game_memory::is_readable(data, 0x100)) {
        data = alloc(0x100);
        game::write<game_addr>(game::addr::character_data, data);
    }
    game::write<int32_t>(data + 0x0C, rotation);
    game::write(data + 0x14, game::Vec3{x, y, z});
}

}  // namespace sim

game_addr routine_vector_block() {
    sim::fruit_world();  // maps the page after a reset
    return sim::kVectorBlock;
}

namespace game {

game_addr create_fruit(int32_t type, game_addr position, int32_t rotation, game_addr zero_vector, game_addr record) {
    sim::FruitWorld& w = sim::fruit_world();
    if (w.limit >= 0 && static_cast<int32_t>(w.created.size()) >= w.limit) return 0;
    // The game reads both vectors; a bad pointer would bring it down, here it makes nothing.
    if (!game_memory::is_readable(position, sizeof(Vec3)) || !game_memory::is_readable(zero_vector, sizeof(Vec3)))
        return 0;
    Vec3 zero = read<Vec3>(zero_vector);
    if (zero.x != 0.0f || zero.y != 0.0f || zero.z != 0.0f) return 0;
    game_addr task = sim::alloc(sim::kTaskSize);
    game_addr entry = sim::alloc(sim::kItemEntrySize);
    write<game_addr>(task + 0x3C, entry);
    write<game_addr>(entry + 0x08, record);
    write<game_addr>(entry + 0x3C, task);
    game_addr count = addr::item_counts + 4 * sim::kFruitKind;
    write<uint32_t>(count, read<uint32_t>(count) + 1);
    w.created.push_back(sim::CreatedFruit{type, read<Vec3>(position), rotation, record, task});
    return task;
}

}  // namespace game
