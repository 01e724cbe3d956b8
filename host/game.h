// Door 2: the game process. Every fixed address and every game routine the system uses is
// named here once. Two implementations exist: inside the game, host/game_routines_i386.cpp
// (register-argument routines reached through asm thunks) and host/game_native_memory.cpp
// (a game address is a pointer); and the simulator in sim/, which mirrors the 32-bit
// address space in one reservation.
#pragma once
#include <cstdint>

using game_addr = uint32_t;

namespace game {

// Added to every game address to reach it from this process: 0 inside the game, the
// simulator's mirror base elsewhere.
extern uintptr_t g_base;

template <class T>
inline T* game_ptr(game_addr address) {
    return reinterpret_cast<T*>(g_base + address);
}

// Reads a value without assuming alignment (game records are packed).
template <class T>
inline T read(game_addr address) {
    T value;
    __builtin_memcpy(&value, game_ptr<const unsigned char>(address), sizeof(T));
    return value;
}

template <class T>
inline void write(game_addr address, const T& value) {
    __builtin_memcpy(game_ptr<unsigned char>(address), &value, sizeof(T));
}

namespace addr {
// Routines the system calls.
constexpr game_addr debug_print = 0x00426740;          // printf-style
constexpr game_addr current_garden = 0x0052B5A0;       // () -> garden 1..3, else none
constexpr game_addr alloc_item_record = 0x0052F9E0;    // ECX = kind -> record or 0
constexpr game_addr release_held_item = 0x0052F470;    // kind/record in held_item_kind/record
constexpr game_addr garden_save_check = 0x0052F030;    // ECX = block -> non-zero when valid
constexpr game_addr garden_save_store = 0x0052EEE0;    // ESI = block; recomputes the checksum
constexpr game_addr create_fruit = 0x00546180;         // type, pos*, rot, zero*, record -> task
constexpr game_addr create_animal = 0x00548D30;        // type byte, pos*, rot, rotvec*, record -> task
constexpr game_addr create_item_object = 0x00545600;   // (type - 21) byte, pos*, rotvec*, record
constexpr game_addr set_chao_routine = 0x0053D890;     // EAX = task; routine, -1
// Routines called through from the system's hooks with the game's own arguments.
constexpr game_addr discard_item = 0x0052F6B0;
constexpr game_addr load_items = 0x0052E920;
constexpr game_addr store_items = 0x0052E710;
constexpr game_addr guarded_lifecycle = 0x00568F30;
constexpr game_addr rebirth_routine = 0x00568F60;

// Data.
constexpr game_addr level = 0x01934B70;                // u16; 90 is the Chao garden
constexpr game_addr game_state = 0x01934BE0;           // u16; 16 or 17 while playing
constexpr game_addr active_character = 0x01934B80;     // i32
constexpr game_addr lobby_unlocks = 0x019F646C;        // i32
constexpr game_addr rings = 0x01DEC630;                // i32
constexpr game_addr emblems = 0x01DEC60E;              // u8
constexpr game_addr garden_save_block = 0x019F6460;    // the garden save data block
constexpr game_addr held_item_kind = 0x019F6450;       // u32
constexpr game_addr held_item_record = 0x019F6454;     // u32 record address
constexpr game_addr trees = 0x019F6480;                // 21 x 8 bytes
constexpr game_addr chao_slots = 0x019F6EC4;           // 37 x 0x800 bytes
constexpr game_addr player_objects = 0x01DE9600;
constexpr game_addr character_data = 0x01DEA6C0;       // pointer; 0 when no player
constexpr game_addr item_counts = 0x01DC0F80;          // u32 per item kind
constexpr game_addr item_object_slots = 0x01DC0FC0;
constexpr game_addr task_list = 0x01DC0FFC;
constexpr game_addr gameboy_task = 0x01AED318;
constexpr game_addr button_words = 0x01DEFC08;
constexpr game_addr save_path = 0x0173D070;            // pointer to the active main save path
constexpr game_addr save_busy = 0x0173D06C;
constexpr game_addr garden_save_path = 0x0136604C;
}  // namespace addr

constexpr int kChaoSlotCount = 37;
constexpr uint32_t kChaoRecordSize = 0x800;
constexpr int kTreeCount = 21;
constexpr uint32_t kTreeRecordSize = 8;
constexpr uint16_t kGardenLevel = 90;

struct Vec3 {
    float x, y, z;
};

// The game's routines. Stack arguments are removed by the caller unless noted.
void debug_print(const char* line);  // the routine is given "[velmora] %s" and the line
int32_t current_garden();
game_addr alloc_item_record(uint32_t kind);
void release_held_item();
bool garden_save_check(game_addr block);
void garden_save_store(game_addr block);
game_addr create_fruit(int32_t type, game_addr position, int32_t rotation, game_addr zero_vector,
                       game_addr record);
game_addr create_animal(uint8_t type, game_addr position, int32_t rotation, game_addr rotation_vector,
                        game_addr record);
game_addr create_item_object(uint8_t type_minus_21, game_addr position, game_addr rotation_vector,
                             game_addr record);
void set_chao_routine(game_addr task, game_addr routine);
// Zeroed memory the game's own code can reach (its address is a game address), kept for the
// life of the process; 0 when none could be had.
game_addr alloc_game_memory(uint32_t size);
// The game's rebirth routine for one Chao task (one stack argument); its result.
uint32_t rebirth_routine(game_addr task);

// Memory queries, with the meaning and constants of the Windows memory API.
constexpr uint32_t kMemCommit = 0x1000;
constexpr uint32_t kMemImage = 0x1000000;
constexpr uint32_t kPageNoAccess = 0x01;
constexpr uint32_t kPageReadOnly = 0x02;
constexpr uint32_t kPageReadWrite = 0x04;
constexpr uint32_t kPageWriteCopy = 0x08;
constexpr uint32_t kPageExecute = 0x10;
constexpr uint32_t kPageExecuteRead = 0x20;
constexpr uint32_t kPageExecuteReadWrite = 0x40;
constexpr uint32_t kPageExecuteWriteCopy = 0x80;
constexpr uint32_t kPageGuard = 0x100;
constexpr uint32_t kPageNoCache = 0x200;

struct RegionInfo {
    game_addr base;
    game_addr allocation_base;
    uint32_t allocation_protect;
    uint32_t size;
    uint32_t state;
    uint32_t protect;
    uint32_t type;
};

bool query_region(game_addr address, RegionInfo& info);
game_addr main_module();
bool protect_region(game_addr address, uint32_t size, uint32_t new_protect, uint32_t& old_protect);
bool flush_code(game_addr address, uint32_t size);

}  // namespace game
