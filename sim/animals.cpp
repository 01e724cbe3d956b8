#include "sim/animals.h"

#include <cstring>

#include "animals/animal_hooks.h"
#include "animals/animal_reserve.h"
#include "protect/game_memory.h"
#include "sim/sim.h"

namespace sim {
namespace {

AnimalModel g_model;

constexpr uint32_t kObjectBlock = 0x100;  // the object at +0, its transform/item data at +0x80
constexpr uint32_t kRecordSize = 20;

game_addr records_of(uint32_t kind, uint32_t& count) {
    count = kind == 2 ? kAnimalRecordCount : kind == 3 ? kFruitRecordCount : 0;
    return kind == 2 ? kAnimalRecords : kind == 3 ? kFruitRecords : 0;
}

// What a creator does: the first empty animal slot gets a new object for `record`.
game_addr create(int creator, uint8_t type, game_addr position, int32_t rotation, game_addr rotation_vector,
                 game_addr record, game_addr routine) {
    Creation c{};
    c.creator = creator;
    c.type = type;
    c.rotation = rotation;
    c.record = record;
    peek(position, c.position, sizeof c.position);
    peek(rotation_vector, c.rotation_vector, sizeof c.rotation_vector);
    for (uint32_t i = 0; i < kAnimalSlotCount && !g_model.creators_fail; ++i) {
        game_addr slot = animal_slot(i);
        if (game::read<uint32_t>(slot + 0x3C) != 0) continue;
        game_addr object = alloc(kObjectBlock);
        game_addr data = object + 0x80;
        game::write<int16_t>(slot, 2);
        game::write<uint32_t>(slot + 8, record);
        game::write<uint32_t>(slot + 0x3C, object);
        game::write<uint32_t>(object + 0x10, routine);
        game::write<uint32_t>(object + 0x34, data);
        game::write<uint32_t>(object + 0x3C, slot);
        game::write<uint8_t>(data + 3, type);
        move_object(object, c.position[0], c.position[1], c.position[2]);
        set_item_count(2, item_count(2) + 1);
        c.object = object;
        break;
    }
    g_model.created.push_back(c);
    return c.object;
}

// Where the call at `site` now leads; 0 when the bytes there are no call.
game_addr call_target(int site) {
    uint8_t call[5];
    peek(animals::kSites[site].address, call, sizeof call);
    game_addr target = 0;
    return game_memory::decode_rel32(animals::kSites[site].address, call, game_memory::kOpCallRel32, target) ? target
                                                                                                            : 0;
}

enum class Leads { Game, Hook, Foreign };

Leads site_leads(int site) {
    game_addr target = call_target(site);
    if (target == animals::kSites[site].original) return Leads::Game;
    if (target == animal_hook_address(kSiteHook[site])) return Leads::Hook;
    ++g_model.foreign_calls;
    return Leads::Foreign;
}

}  // namespace

AnimalModel& animal_model() { return g_model; }
void reset_animals() { g_model = AnimalModel{}; }

void set_item_records(uint32_t kind, uint32_t free_count) {
    uint32_t count = 0;
    game_addr base = records_of(kind, count);
    for (uint32_t i = 0; i < count; ++i) {
        AnimalRecord r = animals::free_record();
        if (i >= free_count) r = AnimalRecord{3, 1, 0, 0, 1.0f, 0.0f, 1.0f};
        poke(base + i * kRecordSize, &r, sizeof r);
    }
}

void set_item_count(uint32_t kind, uint32_t count) { game::write<uint32_t>(game::addr::item_counts + 4 * kind, count); }
uint32_t item_count(uint32_t kind) { return game::read<uint32_t>(game::addr::item_counts + 4 * kind); }

game_addr set_player(float x, float y, float z, int32_t rotation) {
    game_addr player = alloc(0x100);
    game::write<int32_t>(player + 0x0C, rotation);
    game::write<float>(player + 0x14, x);
    game::write<float>(player + 0x18, y);
    game::write<float>(player + 0x1C, z);
    game::write<uint32_t>(game::addr::character_data, player);
    return player;
}

game_addr animal_slot(uint32_t index) { return kAnimalSlots + index * kAnimalSlotSize; }
game_addr slot_object(uint32_t index) { return game::read<uint32_t>(animal_slot(index) + 0x3C); }

void move_object(game_addr object, float x, float y, float z) {
    game_addr data = game::read<uint32_t>(object + 0x34);
    game::write<float>(data + 0x14, x);
    game::write<float>(data + 0x18, y);
    game::write<float>(data + 0x1C, z);
}

// The sites, run as the bytes there say. A hooked site does what the entry code of
// animals/animal_hooks_i686.S does.
bool game_discards_item(uint32_t kind) {
    Leads l = site_leads(0);
    if (l == Leads::Foreign) return false;
    if (l == Leads::Hook && velmora_animal_discard_skips(kind)) return false;
    ++g_model.discard_calls;
    return true;
}

game_addr game_requests_record(int site, uint32_t kind) {
    if (site != 1 && site != 2) return 0;
    Leads l = site_leads(site);
    if (l == Leads::Foreign) return 0;
    game_addr record = game::alloc_item_record(kind);
    if (record == 0 && l == Leads::Hook) record = velmora_animal_reserve_record(kind);
    return record;
}

void game_loads_items(uint32_t kind) {
    Leads l = site_leads(3);
    if (l == Leads::Foreign) return;
    if (l == Leads::Hook) velmora_animal_items_loading(kind);
    ++g_model.load_calls;
}

void game_stores_items(uint32_t kind) {
    Leads l = site_leads(4);
    if (l == Leads::Foreign) return;
    ++g_model.store_calls;
    if (l == Leads::Hook) velmora_animal_items_stored(kind);
}

}  // namespace sim

game_addr animal_hook_address(AnimalHook hook) {
    return sim::kAnimalHookBase + 0x10 * static_cast<uint32_t>(hook);
}

// Door 2, simulated.
namespace game {

game_addr alloc_game_memory(uint32_t size) { return sim::alloc(size); }

game_addr alloc_item_record(uint32_t kind) {
    ++sim::g_model.allocator_calls;
    uint32_t count = 0;
    game_addr base = sim::records_of(kind, count);
    for (uint32_t i = 0; i < count; ++i)
        if (read<int16_t>(base + i * sim::kRecordSize) == -1) return base + i * sim::kRecordSize;
    return 0;
}

game_addr create_animal(uint8_t type, game_addr position, int32_t rotation, game_addr rotation_vector,
                        game_addr record) {
    return sim::create(0, type, position, rotation, rotation_vector, record, animals::kAnimalRoutine);
}

game_addr create_item_object(uint8_t type_minus_21, game_addr position, game_addr rotation_vector, game_addr record) {
    return sim::create(1, type_minus_21, position, 0, rotation_vector, record, animals::kItemObjectRoutine);
}

}  // namespace game
