// The simulated garden's storage side: the Game Boy task, the player holding a fruit or an
// animal, the button words, the Game Boy menu, the game's removal routine for the held item,
// and the garden save file on disk with the simulator's own checksum, which the game's two
// checksum routines compute and check.
#pragma once
#include <cstdint>
#include <string>

#include "host/game.h"

namespace sim {

// The simulator's checksum of a garden save data block: a 32-bit word at the block's start,
// FNV-1a-32 of the rest of the block, offset by a constant so a zero block does not pass.
uint32_t garden_block_checksum(const unsigned char* block);
// The block's checksum stored, in a file image (65,536 bytes).
void seal_garden_save(std::string& file);
bool garden_save_sealed(const std::string& file);

struct GameBoyScene {
    game_addr player = 0;     // player 1 object (0x1C0 bytes)
    game_addr character = 0;  // character data (0x30 bytes)
    game_addr gameboy = 0;    // Game Boy task (0x50 bytes)
    game_addr gameboy_data = 0;
    game_addr menu = 0;       // the menu object holding the Game Boy texts (816 bytes)
    game_addr menu_task = 0;  // the open Game Boy menu task, once opened
    game_addr menu_state = 0;
};

// The player in `garden` (1..3), standing at the Game Boy (same position, action byte 21),
// the Game Boy task in state 1, the menu object, and the storage scratch block registered.
// Call it after every reset(): the scratch block of an earlier game is gone with its memory.
GameBoyScene& setup_gameboy(int32_t garden);
GameBoyScene& gameboy_scene();
// Moves the player by dx, dz away from the Game Boy.
void move_player(float x, float y, float z);
void set_action(uint8_t action);
// Opens the Game Boy menu: a task in the game's task tree with its state block (word +12 = 12).
void open_gameboy_menu();

// The game's garden save file: its path text in the game (0x0136604C) and the main save path
// (0x0173D070) of save slot `slot` in the same folder; the file is written from memory.
void set_save_folder(const std::string& folder, int slot = 1);
std::string garden_save_file();  // the on-disk path (lower case, as the mod normalizes it)
void write_garden_save();        // what the game writes when it saves the garden
std::string read_garden_save();

// A loose item in the garden: a task in the item-slot table of its kind, its data and, with
// `with_record`, a save record in the garden's item records (first free one). Returns the task.
game_addr place_fruit(int32_t type, int32_t size, bool with_record = true, float x = 0, float y = 0, float z = 0);
game_addr place_animal(int32_t type, bool with_record = true, float x = 0, float y = 0, float z = 0);
void hold(game_addr task);  // player 1 picks the item up
game_addr held_task();
// The item's save record, from its slot entry (0 when none).
game_addr item_record(game_addr task);
// Records of a kind (2 animal, 3 fruit) in game memory whose type word is not -1.
int count_records(uint32_t kind);
int count_objects(uint32_t kind);

// The input words of this poll, as the game fills them before OnControl.
void press_storage_button();
void set_hold_button(bool down);
uint32_t button_word(int index);  // 0: 0x01DEFC08, 1: 0x01DEFC10, 2: 0x01DEFC14

struct GameBoyFaults {
    bool release_does_nothing = false;  // the removal routine leaves the item where it is
    int release_calls = 0;
    int create_calls = 0;
};
GameBoyFaults& gameboy_faults();

// Stand-ins for the game's item-record allocator and the two item creators, handed to the
// delivery (until the simulated game models them itself).
void use_standin_item_routines();

}  // namespace sim
