// Game Boy storage: a held fruit or animal deposited into server storage at the in-garden
// Game Boy in two phases ("prepare" while the item is still in the garden, then the item
// saved out of the game and its garden save file, then "commit" until accepted), with the
// receipt written ahead of every irreversible step. Game thread only.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "host/config.h"
#include "host/game.h"
#include "storage/journal.h"

bool enable_storage(const std::string& mod_path, const SyncConfig& config);
void storage_on_control(bool deposits_allowed);
void run_storage_frame(bool deposits_allowed, const std::string& session_id);

// Game objects of the deposit and delivery flows.
namespace storage_game {
constexpr uint32_t kKindAnimal = 2;
constexpr uint32_t kKindFruit = 3;
constexpr game_addr kFruitRoutine = 0x00545E40;
constexpr game_addr kAnimalRoutine = 0x00548C50;
constexpr game_addr kGameBoyRoutine = 0x0057D540;
constexpr game_addr kFruitRecords = 0x019F6528;   // 40 x 20 bytes
constexpr game_addr kAnimalRecords = 0x019F6B18;  // 10 x 20 bytes
constexpr uint32_t kFruitRecordCount = 40;
constexpr uint32_t kAnimalRecordCount = 10;
constexpr uint32_t kItemRecordSize = 20;
constexpr uint32_t kSlotTableSize = 0x1200;
constexpr uint32_t kSlotEntrySize = 0x48;
constexpr uint32_t kGardenSaveFileSize = 65536;
constexpr uint32_t kGardenBlockOffset = 0x3040;
constexpr uint32_t kGardenBlockSize = 0xCA6C;
extern const char kGardenSaveHeader[49];  // 48 characters, no terminator in the file
constexpr uint32_t kStorageButton = 0x2;
constexpr uint32_t kHoldButton = 0x200;
constexpr int kHoldKey = 0x77;  // F8
constexpr int kHoldFrames = 45;
constexpr uint8_t kStorageAction = 21;
constexpr float kGameBoyRadius = 24.0f;

game_addr slot_table(uint32_t kind);
game_addr record_table(uint32_t kind);
uint32_t record_count(uint32_t kind);
}  // namespace storage_game

// The item the player holds at the Game Boy.
struct HeldItem {
    game_addr task = 0;
    game_addr slot_entry = 0;
    game_addr save_record = 0;
    uint8_t saved_copy[20] = {};
    uint8_t current[20] = {};  // item_type, garden, size, age, x, y, z
    int32_t kind = 0;          // 2 animal, 3 fruit
    int32_t entry_type = -1;
    int32_t type = -1;         // the object's own type, before narrowing to 16 bits
};

struct PendingDeposit {
    TransferRecord transfer;
    std::string receipt_path;
    std::string session_id;  // session under which the last request was queued
    HeldItem item;
    bool still_in_garden = false;
    bool request_queued = false;
    uint64_t next_send_ms = 0;
    uint64_t queued_ms = 0;  // when request_queued was last set
};

std::vector<PendingDeposit>& pending_deposits();
void reset_deposit_state();  // back to a freshly loaded library

bool storage_routines_intact();
bool storage_context_valid();
bool find_held_item(HeldItem& out);
bool same_item_held(const HeldItem& stored);
bool near_game_boy(bool require_state, float radius);
bool commit_deposit(PendingDeposit& deposit);

// The garden save file's content with one item record changed, for a file as read:
// 65,536 bytes with the header, the block's checksum valid before, recomputed after.
// `record` is the game address of a fruit or animal record; `bytes` its new 20 bytes. False
// (and `out` untouched) when the file or the record's place is not as expected.
bool garden_save_with_record(const std::string& file, game_addr record, const uint8_t bytes[20], std::string& out,
                             std::string& why);
// Whether the garden save file, as read and valid as the game checks it, holds a record of
// `kind` with exactly these bytes.
bool garden_save_has_record(const std::string& file, uint32_t kind, const uint8_t bytes[20]);
// 20 bytes of a freed record: -1, -1 and sixteen zero bytes.
void freed_record(uint8_t out[20]);

// Memory that the game's routines can be handed by address (a file image's data block, a
// position). Inside the game a buffer of the library is a game address; a simulated game
// hands in a block of its own memory (at least 0x10000 bytes, writable).
void set_storage_scratch(game_addr address, uint32_t size);
constexpr uint32_t kStorageScratchSize = 0x10000;
// The scratch area's game address, probed writable for `size` bytes; 0 when none is usable.
game_addr storage_scratch(uint32_t size);

// The animal reserve's part of a deposit: for a record of the reserve, its file's path and
// the file's new content without that animal. Registered by the animal reserve; without it
// no reserve animal is offered for storage.
using ReserveSerializeWithout = bool (*)(game_addr record, std::string& path, std::string& new_content);
void set_reserve_serialize_without(ReserveSerializeWithout fn);

// The storage notice, drawn on this screen line while current.
constexpr int kStorageNoticeLine = 12;

// The game's item-record allocator and the two creators, as the delivery calls them (kept
// here, beside the other routines storage relies on; set through set_delivery_routines).
struct DeliveryRoutines {
    game_addr (*alloc)(uint32_t kind) = &game::alloc_item_record;
    game_addr (*fruit)(int32_t, game_addr, int32_t, game_addr, game_addr) = &game::create_fruit;
    game_addr (*animal)(uint8_t, game_addr, int32_t, game_addr, game_addr) = &game::create_animal;
};
const DeliveryRoutines& delivery_routines();
