// The reserve of garden animals beyond the game's own room: up to 4096 animal records kept
// in game-reachable memory and in a file beside the mod, one file per save slot and save
// file. Five patched calls in the game's code route the game's animal records through it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/game.h"
#include "host/notices.h"
#include "platform/files.h"

// The game's own garden item record layout, so the game can use a reserve entry in place of
// one of its records.
struct AnimalRecord {
    int16_t item_type;  // 0..24; -1 marks a free entry
    int16_t garden;     // 1..3; -1 in a free entry
    uint16_t size;
    uint16_t age;
    float x, y, z;
};
static_assert(sizeof(AnimalRecord) == 20, "the game's item record is 20 bytes");

namespace animals {

constexpr uint32_t kCapacity = 4096;
constexpr uint32_t kTableBytes = kCapacity * sizeof(AnimalRecord);  // 81,920
constexpr size_t kHeaderSize = 24;
constexpr size_t kMaxFileSize = kHeaderSize + kTableBytes;  // 81,944
constexpr uint32_t kFileVersion = 1;
inline constexpr char kMagic[8] = {'V', 'L', 'A', 'N', 'I', 'M', 'A', 'L'};
constexpr float kCoordinateLimit = 100000.0f;
constexpr uint32_t kAnimalKind = 2;

// The five patched call sites and the limit the patch raises.
struct HookSite {
    game_addr address;
    uint8_t unpatched[5];
    game_addr original;  // where the unpatched call leads
};
inline constexpr HookSite kSites[5] = {
    {0x0052B3C2, {0xE8, 0xE9, 0x42, 0x00, 0x00}, game::addr::discard_item},       // discard guard
    {0x00549439, {0xE8, 0xA2, 0x65, 0xFE, 0xFF}, game::addr::alloc_item_record},  // allocation hook
    {0x00549468, {0xE8, 0x73, 0x65, 0xFE, 0xFF}, game::addr::alloc_item_record},  // allocation hook
    {0x0052EBCE, {0xE8, 0x4D, 0xFD, 0xFF, 0xFF}, game::addr::load_items},         // load hook
    {0x0052F098, {0xE8, 0x73, 0xF6, 0xFF, 0xFF}, game::addr::store_items},        // store hook
};
constexpr game_addr kLimit = 0x008AB840;
constexpr uint32_t kLimitBefore = 10, kLimitAfter = 40;

struct CodeCheck {
    game_addr address;
    uint32_t length;
    uint32_t fnv1a;
};
inline constexpr CodeCheck kCodeChecks[4] = {
    {0x00530750, 0xA0, 0xAE089E06},
    {0x00548C30, 0x300, 0xD45160BF},
    {0x00545600, 0x18, 0xA14CFF28},
    {0x0052F9E0, 0x160, 0x7477FB20},
};

// The game's animal object slots and the values the frame step reads.
constexpr game_addr kObjectSlots = 0x01DC33C0;
constexpr uint32_t kObjectSlotCount = 40, kObjectSlotSize = 72;
constexpr game_addr kAnimalRoutine = 0x00548C50;
constexpr game_addr kItemObjectRoutine = 0x005450C0;
constexpr game_addr kAnimalCount = game::addr::item_counts + 4 * kAnimalKind;  // 0x01DC0F88
constexpr uint32_t kReleaseBelow = 30;

// Record validity: an occupied record is a type 0..24 in garden 1..3 at a finite position
// inside +-100000; a free record only in its exact free form.
bool record_valid(const AnimalRecord& r);
bool record_is_free(const AnimalRecord& r);  // exactly -1, -1, sixteen zero bytes
AnimalRecord free_record();
// Free but for its garden: as the allocation hook hands an entry to the game, until the game
// fills it in.
bool record_is_pending(const AnimalRecord& r);

// "/" -> "\", letters lower-cased; the save key is FNV-1a-32 over the result.
std::string normalize_save_path(const std::string& path);
uint32_t save_key_of(const std::string& normalized);
// "\animal-inventory-s%02d-%08x.bin"
std::string reserve_file_name(int32_t slot, uint32_t save_key);

// The file: 24-byte header and the occupied entries of `table` (kCapacity records) in table
// order. False (and `out` empty) when any entry is invalid.
bool serialize_table(const AnimalRecord* table, uint32_t save_key, std::string& out);
// Checks a whole file. On success `records` holds its records (at most kCapacity), else it is
// untouched.
bool parse_reserve_file(const void* data, size_t size, uint32_t save_key, std::vector<AnimalRecord>& records);

struct AnimalReserve {
    game_addr table = 0;   // kCapacity records in game-reachable memory
    game_addr scratch = 0; // position and rotation vectors handed to the game's creators
    bool placed[kCapacity] = {};
    std::string mod_dir;
    int32_t configured_slot = 0;
    std::string save_path_seen;
    uint32_t save_key = 0;
    std::string reserve_path;
    platform::LockFile* lock_handle = nullptr;
    uint32_t saved_hash = 0;
    std::vector<AnimalRecord> saved_table;      // the table as last loaded or saved
    std::vector<AnimalRecord> in_flight_table;  // the table a background save is writing
    bool save_in_flight = false;
    int32_t entered_garden = 0;
    uint32_t frame_counter = 0;
    // The waiting count shown, kept between frames (see animal_frame_step).
    uint32_t waiting = 0;
    int32_t waiting_garden = 0;
    uint32_t waiting_age = 0;
    bool waiting_stale = true;
    bool installed = false;
    bool loaded = false;
    bool failed = false;
    bool full = false;
    bool unavailable = false;
    bool attention_logged = false;
    uint8_t patched[5][5] = {};
};

AnimalReserve& reserve();
// The table as host memory; null before the patch was first attempted.
AnimalRecord* table();
uint32_t table_hash();
// Back to the state of a freshly loaded library (releases the lock; the simulator loads us
// many times).
void reset();

}  // namespace animals

bool install_animal_patch(const std::string& mod_path, int32_t save_slot);
bool animal_patch_intact();
bool ensure_reserve_loaded();
void animal_frame_step(ScreenTextFn screen_text);
// Writes the table now when it differs from its file (after any background save finished).
void save_if_changed();
// Waits for a background save in progress and takes its outcome.
void finish_background_save();
bool reserve_file_path(std::string& path);
// The reserve file as it would be without the entry at `entry`; the live table is unchanged.
bool serialize_without(game_addr entry, std::string& path, std::string& bytes);

// What the patched calls reach, through the entry code of animals/animal_hooks_i686.S in the
// game (or the simulator's stand-ins). Each is given the item kind the game passed.
extern "C" {
#if defined(__i386__)
#define VELMORA_HOOK_HANDLER __attribute__((cdecl, force_align_arg_pointer))
#else
#define VELMORA_HOOK_HANDLER
#endif
// Site 0: non-zero when the game's discard is to be skipped.
VELMORA_HOOK_HANDLER uint32_t velmora_animal_discard_skips(uint32_t kind);
// Sites 1 and 2, after the game's allocator found no record: a reserve entry or 0.
VELMORA_HOOK_HANDLER uint32_t velmora_animal_reserve_record(uint32_t kind);
// Site 3, before the game's load routine runs.
VELMORA_HOOK_HANDLER void velmora_animal_items_loading(uint32_t kind);
// Site 4, after the game's store routine ran.
VELMORA_HOOK_HANDLER void velmora_animal_items_stored(uint32_t kind);
}
