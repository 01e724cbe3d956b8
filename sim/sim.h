// The simulated game: a small model of the one supported game build, the second
// implementation of door 2. It mirrors the whole 32-bit address space in one reservation,
// answers the memory queries from its own region table with Windows-style protections,
// records what the mod shows (log lines, boxes, screen lines) and drives the real entry
// points frame by frame.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/game.h"
#include "host/mod_state.h"
#include "sim/tasks.h"

namespace sim {

constexpr game_addr kImageBase = 0x00400000;     // the game's executable
constexpr game_addr kCodeEnd = 0x00800000;       // code from 0x00401000 up to here
constexpr game_addr kImageEnd = 0x01E00000;      // data up to here
constexpr game_addr kHeapBase = 0x10000000;      // memory the game allocated at run time
constexpr uint32_t kPageSize = 0x1000;
constexpr uint32_t kMemFree = 0x10000;
constexpr uint32_t kMemPrivate = 0x20000;

struct BoxShown {
    std::string title;
    std::string text;
    uint32_t style;
};

struct ScreenLine {
    uint64_t frame;
    int32_t position;
    std::string text;
};

struct Recording {
    std::vector<std::string> debug_lines;  // as the debug print routine received them
    std::vector<BoxShown> boxes;
    std::vector<ScreenLine> screen;
    bool keep_screen = true;  // off for long runs that draw lines every frame
    std::vector<std::string> opened;       // addresses handed to the shell
    // Called as each event happens, for live printing.
    std::function<void(const std::string&)> on_debug_line;
    std::function<void(const BoxShown&)> on_box;
    std::function<void(const ScreenLine&)> on_screen;
};

// A fresh game: memory laid out anew, the mod's state as at load, a clock at 60 s.
// The box answers are taken from the queue, then 0 ("OK"/"No" by the box's kind).
void reset();
Recording& recording();
// A copy of the debug lines so far, safe while the worker thread may still log.
std::vector<std::string> debug_lines();
// Hands over the debug lines so far and forgets them, so long runs stay flat in memory.
std::vector<std::string> take_debug_lines();
void queue_box_answer(int answer);

// Memory. `protect` is a Windows protection; the host side follows it, so an access the
// probes would refuse really faults.
void map(game_addr base, uint32_t size, uint32_t protect, uint32_t type, game_addr allocation_base);
void unmap(game_addr base, uint32_t size);
void set_protection(game_addr base, uint32_t size, uint32_t protect);
// Writes whatever the protection (the game's own loader and tests set memory up this way).
void poke(game_addr address, const void* data, size_t size);
void peek(game_addr address, void* data, size_t size);
// A block of run-time memory; returns its game address.
game_addr alloc(uint32_t size);

// The clock the mod's tick count reads.
uint64_t now_ms();
void advance_ms(uint64_t ms);

// Game values.
struct World {
    int32_t garden = 0;  // what the garden routine answers
};
World& world();

// The player's whereabouts, written into the game's level and state words: in a garden the
// level is 90 and the state 16 (playing), and the garden routine answers `garden`.
void enter_garden(int32_t garden);
void leave_garden();  // back in the lobby: another level, garden routine answers 0
// The game's active main save: the path text in run-time memory and the pointer to it at
// the save-path word. Null clears the pointer.
void set_save_path(const char* path);
// The player's progress words.
void set_progress(int32_t rings, uint8_t emblems, int32_t lobby_unlocks, int32_t character);

// The fruit creator (sim/fruit.cpp). Each fruit it made, as the game was asked for it.
struct CreatedFruit {
    int32_t type;
    game::Vec3 position;
    int32_t rotation;
    game_addr record;  // the item record handed in; 0 when the game picks one itself
    game_addr task;    // the new object's task (its item-slot entry names record and task)
};
// What the creator made since the last reset().
const std::vector<CreatedFruit>& created_fruit();
// The creator refuses (answers 0) once this many fruit exist; negative: never.
void set_fruit_limit(int32_t limit);
// The player character data: a block of the game's own at the pointer word, with its
// rotation at +0x0C and position at +0x14. Replaces a pointer that leads nowhere.
void place_player(float x, float y, float z, int32_t rotation);

// The loader's helper table: `version`, with the recording screen-text function at word 17
// from version 8 on unless `null_screen_text`.
const HelperWord* helper_table(int32_t version, bool null_screen_text = false);

// The loader's calls.
void load(const char* path, int32_t helper_version = 8, bool null_screen_text = false);
void frame();  // OnControl, then OnFrame, then the game's own frame
void unload(); // the library's process-detach branch
uint64_t frame_number();

}  // namespace sim
