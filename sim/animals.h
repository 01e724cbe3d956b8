// The simulated game's garden items as the animal reserve meets them: the item record
// tables and their allocator, the item counts, the animal object slots filled by the animal
// creators, and the five call sites the reserve patches, run the way the game's code runs
// them (through whatever call the bytes at the site now hold).
#pragma once
#include <cstdint>
#include <vector>

#include "host/game.h"

namespace sim {

constexpr game_addr kAnimalRecords = 0x019F6B18;  // 10 records of 20 bytes
constexpr game_addr kFruitRecords = 0x019F6528;   // 40 records of 20 bytes
constexpr uint32_t kAnimalRecordCount = 10, kFruitRecordCount = 40;
constexpr game_addr kAnimalSlots = 0x01DC33C0;    // 40 object slots of 72 bytes
constexpr uint32_t kAnimalSlotCount = 40, kAnimalSlotSize = 72;

// Where the patched calls lead in the simulated process: stand-ins in the mod's module.
constexpr game_addr kAnimalHookBase = 0x6E001200;

struct Creation {
    int creator;  // 0: the animal creator 0x00548D30, 1: the item creator 0x00545600
    uint8_t type;
    float position[3];
    int32_t rotation;
    float rotation_vector[3];
    game_addr record;
    game_addr object;  // what the creator returned
};

struct AnimalModel {
    int discard_calls = 0;  // the game's own routines behind the sites
    int allocator_calls = 0;
    int load_calls = 0;
    int store_calls = 0;
    int foreign_calls = 0;  // sites whose call leads anywhere else
    std::vector<Creation> created;
    bool creators_fail = false;  // the creators make nothing and return 0
};
AnimalModel& animal_model();
// Forgets the model's counts (memory itself is reset by reset()).
void reset_animals();

// The game's own records: the first `free_count` of the kind's table free, the rest taken
// by animals of garden 1.
void set_item_records(uint32_t kind, uint32_t free_count);
void set_item_count(uint32_t kind, uint32_t count);
uint32_t item_count(uint32_t kind);
// A player at this position with this rotation (its data in run-time memory); returns it.
game_addr set_player(float x, float y, float z, int32_t rotation);

// One animal object slot and the object it holds (0 when empty).
game_addr animal_slot(uint32_t index);
game_addr slot_object(uint32_t index);
// The position floats of a live object.
void move_object(game_addr object, float x, float y, float z);

// The game's code reaching the five sites. Site 0 discards an item of `kind` (true when the
// game's discard routine ran), sites 1 and 2 ask for a record of `kind`, site 3 loads and
// site 4 stores the items of `kind`.
bool game_discards_item(uint32_t kind);
game_addr game_requests_record(int site, uint32_t kind);
void game_loads_items(uint32_t kind);
void game_stores_items(uint32_t kind);

}  // namespace sim
