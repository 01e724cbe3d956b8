#include "sim/gameboy.h"

#include <cstring>
#include <fstream>
#include <iterator>

#include "protect/game_memory.h"
#include "sim/garden.h"
#include "sim/sim.h"
#include "storage/deposit.h"
#include "storage/delivery.h"

namespace sim {
namespace {

using namespace storage_game;

constexpr uint32_t kChecksumOffset = 0x5A17C0DEu;
constexpr game_addr kMenuObjectPointer = 0x01A559D4;
constexpr game_addr kTaskRoots = 0x01A5A254;

struct SceneState {
    GameBoyScene scene;
    std::string save_file;  // on-disk path
    GameBoyFaults faults;
};

SceneState& ss() {
    static SceneState s;
    return s;
}

template <class T>
void put(game_addr a, T v) {
    poke(a, &v, sizeof v);
}
template <class T>
T get(game_addr a) {
    T v;
    peek(a, &v, sizeof v);
    return v;
}

void free_record(game_addr r) {
    uint8_t bytes[20];
    freed_record(bytes);
    poke(r, bytes, 20);
}

game_addr first_free_record(uint32_t kind) {
    for (uint32_t i = 0; i < record_count(kind); ++i) {
        game_addr r = record_table(kind) + i * kItemRecordSize;
        if (get<int16_t>(r) == -1) return r;
    }
    return 0;
}

game_addr first_free_slot(uint32_t kind) {
    for (uint32_t i = 0; i < 40; ++i) {
        game_addr e = slot_table(kind) + i * kSlotEntrySize;
        if (get<uint32_t>(e + 0x3C) == 0) return e;
    }
    return 0;
}

// A live item object of `kind` owning `record` (0 for none); 0 when the slot table is full.
game_addr make_object(uint32_t kind, int32_t type, int32_t size, game_addr record, float x, float y, float z) {
    game_addr entry = first_free_slot(kind);
    if (!entry) return 0;
    game_addr task = alloc(0x50);
    game_addr data = alloc(0x30);
    put<uint32_t>(task + 0x10, kind == kKindFruit ? kFruitRoutine : kAnimalRoutine);
    put<uint32_t>(task + 0x34, data);
    put<uint32_t>(task + 0x3C, entry);
    if (kind == kKindFruit) {
        put<int32_t>(data + 8, type);
        put<int32_t>(data + 0x10, size);
    } else {
        put<uint8_t>(data + 3, static_cast<uint8_t>(type));
    }
    put<float>(data + 0x14, x);
    put<float>(data + 0x18, y);
    put<float>(data + 0x1C, z);
    put<int16_t>(entry, static_cast<int16_t>(kind));
    put<int16_t>(entry + 4, static_cast<int16_t>(type));
    put<uint32_t>(entry + 8, record);
    put<uint32_t>(entry + 0x3C, task);
    game_addr count = game::addr::item_counts + 4 * kind;
    put<uint32_t>(count, get<uint32_t>(count) + 1);
    return task;
}

game_addr place(uint32_t kind, int32_t type, int32_t size, bool with_record, float x, float y, float z) {
    game_addr record = 0;
    if (with_record) {
        record = first_free_record(kind);
        if (!record) return 0;
        int16_t head[4] = {static_cast<int16_t>(type), static_cast<int16_t>(world().garden), static_cast<int16_t>(size), 0};
        poke(record, head, 8);
        float pos[3] = {x, y, z};
        poke(record + 8, pos, 12);
    }
    return make_object(kind, type, size, record, x, y, z);
}

game_addr standin_alloc(uint32_t kind) {
    if (kind != kKindFruit && kind != kKindAnimal) return 0;
    return first_free_record(kind);
}

game_addr standin_fruit(int32_t type, game_addr position, int32_t, game_addr, game_addr record) {
    ++ss().faults.create_calls;
    float p[3];
    peek(position, p, 12);
    int32_t size = record ? get<int16_t>(record + 4) : 1;
    return make_object(kKindFruit, type, size, record, p[0], p[1], p[2]);
}

game_addr standin_animal(uint8_t type, game_addr position, int32_t, game_addr, game_addr record) {
    ++ss().faults.create_calls;
    float p[3];
    peek(position, p, 12);
    return make_object(kKindAnimal, type, 0, record, p[0], p[1], p[2]);
}

}  // namespace

uint32_t garden_block_checksum(const unsigned char* block) {
    return game_memory::fnv1a32(block + 4, kGardenSaveBlockSize - 4) + kChecksumOffset;
}

void seal_garden_save(std::string& file) {
    if (file.size() != kGardenSaveSize) return;
    auto* block = reinterpret_cast<unsigned char*>(file.data()) + kGardenSaveBlockOffset;
    uint32_t sum = garden_block_checksum(block);
    std::memcpy(block, &sum, 4);
}

bool garden_save_sealed(const std::string& file) {
    if (file.size() != kGardenSaveSize) return false;
    const auto* block = reinterpret_cast<const unsigned char*>(file.data()) + kGardenSaveBlockOffset;
    uint32_t sum;
    std::memcpy(&sum, block, 4);
    return sum == garden_block_checksum(block);
}

GameBoyScene& gameboy_scene() { return ss().scene; }
GameBoyFaults& gameboy_faults() { return ss().faults; }

GameBoyScene& setup_gameboy(int32_t garden) {
    SceneState& s = ss();
    s.scene = GameBoyScene{};
    s.faults = GameBoyFaults{};
    enter_garden(garden);
    GameBoyScene& g = s.scene;
    g.player = alloc(0x1C0);
    g.character = alloc(0x30);
    g.gameboy = alloc(0x50);
    g.gameboy_data = alloc(0x30);
    put<game_addr>(game::addr::player_objects, g.player);
    put<game_addr>(game::addr::character_data, g.character);
    put<uint8_t>(g.character, kStorageAction);
    float at[3] = {100.0f, 5.0f, -40.0f};
    poke(g.character + 0x14, at, 12);
    put<game_addr>(game::addr::gameboy_task, g.gameboy);
    put<uint32_t>(g.gameboy + 0x10, kGameBoyRoutine);
    put<uint32_t>(g.gameboy + 0x34, g.gameboy_data);
    put<uint32_t>(g.gameboy_data, 1);
    poke(g.gameboy_data + 0x14, at, 12);
    for (uint32_t kind : {kKindFruit, kKindAnimal})
        for (uint32_t i = 0; i < record_count(kind); ++i) free_record(record_table(kind) + i * kItemRecordSize);
    // The Game Boy menu's texts.
    g.menu = alloc(816);
    put<uint32_t>(g.menu + 48, 0x20030000);
    put<uint32_t>(g.menu + 52, 0x28030000);
    const uint8_t put_text[8] = {0x07, 'P', 'u', 't', 0, 0, 0, 0};
    const uint8_t release[8] = {0x07, 'R', 'e', 'l', 'e', 'a', 's', 'e'};
    poke(g.menu + 800, put_text, 8);
    poke(g.menu + 808, release, 8);
    put<game_addr>(kMenuObjectPointer, g.menu);
    set_storage_scratch(alloc(kStorageScratchSize), kStorageScratchSize);
    return g;
}

void move_player(float x, float y, float z) {
    float at[3] = {x, y, z};
    poke(ss().scene.character + 0x14, at, 12);
}

void set_action(uint8_t action) { put<uint8_t>(ss().scene.character, action); }

void open_gameboy_menu() {
    GameBoyScene& g = ss().scene;
    // A root task with one child: the menu task, found through the child link.
    game_addr root = alloc(80);
    g.menu_task = alloc(80);
    g.menu_state = alloc(20);
    put<uint32_t>(root + 4, g.menu_task);
    put<uint32_t>(g.menu_task + 40, 0x007951A0);
    put<uint32_t>(g.menu_task + 24, 0x00795550);
    put<uint32_t>(g.menu_task + 64, g.menu_state);
    put<uint32_t>(g.menu_state + 12, 12);
    put<game_addr>(kTaskRoots + 8, root);
}

void set_save_folder(const std::string& folder, int slot) {
    char name[16];
    std::snprintf(name, sizeof name, "SONIC2B__S%02d", slot);
    std::string main = folder + "/" + name;
    game_addr text = alloc(static_cast<uint32_t>(main.size() + 1));
    poke(text, main.c_str(), main.size() + 1);
    put<game_addr>(game::addr::save_path, text);
    std::string garden = folder + "\\SONIC2B__ALF";
    char area[128] = {};
    garden.copy(area, 127);
    poke(game::addr::garden_save_path, area, sizeof area);
    std::string disk = folder + "/sonic2b__alf";
    ss().save_file = disk;
}

std::string garden_save_file() { return ss().save_file; }

void write_garden_save() {
    std::string file = garden_save_image();
    seal_garden_save(file);
    std::ofstream out(ss().save_file, std::ios::binary | std::ios::trunc);
    out.write(file.data(), static_cast<std::streamsize>(file.size()));
}

std::string read_garden_save() {
    std::ifstream in(ss().save_file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

game_addr place_fruit(int32_t type, int32_t size, bool with_record, float x, float y, float z) {
    return place(kKindFruit, type, size, with_record, x, y, z);
}

game_addr place_animal(int32_t type, bool with_record, float x, float y, float z) {
    return place(kKindAnimal, type, 0, with_record, x, y, z);
}

void hold(game_addr task) { put<game_addr>(ss().scene.player + 0x94, task); }
game_addr held_task() { return get<game_addr>(ss().scene.player + 0x94); }

game_addr item_record(game_addr task) {
    game_addr entry = get<uint32_t>(task + 0x3C);
    return entry ? get<uint32_t>(entry + 8) : 0;
}

int count_records(uint32_t kind) {
    int n = 0;
    for (uint32_t i = 0; i < record_count(kind); ++i) n += get<int16_t>(record_table(kind) + i * kItemRecordSize) != -1;
    return n;
}

int count_objects(uint32_t kind) {
    int n = 0;
    for (uint32_t i = 0; i < 40; ++i) n += get<uint32_t>(slot_table(kind) + i * kSlotEntrySize + 0x3C) != 0;
    return n;
}

void press_storage_button() {
    for (int i : {0, 2, 3}) {
        game_addr w = game::addr::button_words + 4 * i;
        put<uint32_t>(w, get<uint32_t>(w) | kStorageButton);
    }
}

void set_hold_button(bool down) {
    uint32_t v = get<uint32_t>(game::addr::button_words);
    put<uint32_t>(game::addr::button_words, down ? v | kHoldButton : v & ~kHoldButton);
}

uint32_t button_word(int index) {
    static const int offsets[] = {0, 8, 12};
    return get<uint32_t>(game::addr::button_words + offsets[index]);
}

void use_standin_item_routines() { set_delivery_routines(&standin_alloc, &standin_fruit, &standin_animal); }

}  // namespace sim

// Door 2, simulated: the game's routines for the held item and the garden save block.
namespace game {

void release_held_item() {
    using namespace storage_game;
    sim::SceneState& s = sim::ss();
    ++s.faults.release_calls;
    if (s.faults.release_does_nothing) return;
    game_addr record = sim::get<uint32_t>(addr::held_item_record);
    uint32_t kind = sim::get<uint32_t>(addr::held_item_kind);
    game_addr player = sim::get<uint32_t>(addr::player_objects);
    game_addr task = player ? sim::get<uint32_t>(player + 0x94) : 0;
    if (task) {
        game_addr entry = sim::get<uint32_t>(task + 0x3C);
        if (entry) {
            sim::put<uint32_t>(entry + 0x3C, 0);
            sim::put<uint32_t>(entry + 8, 0);
        }
        sim::put<uint32_t>(task + 0x10, 0);  // the object is gone
        sim::put<uint32_t>(player + 0x94, 0);
        if (kind == kKindFruit || kind == kKindAnimal) {
            game_addr count = addr::item_counts + 4 * kind;
            uint32_t n = sim::get<uint32_t>(count);
            if (n) sim::put<uint32_t>(count, n - 1);
        }
    }
    if (record) sim::free_record(record);
    sim::put<uint32_t>(addr::held_item_record, 0);
}

bool garden_save_check(game_addr block) {
    uint32_t sum = sim::get<uint32_t>(block);
    return sum == sim::garden_block_checksum(game_ptr<const unsigned char>(block));
}

void garden_save_store(game_addr block) {
    uint32_t sum = sim::garden_block_checksum(game_ptr<const unsigned char>(block));
    sim::put<uint32_t>(block, sum);
}

}  // namespace game
