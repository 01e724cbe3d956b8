// The game's live objects, simulated: the task list at 0x01DC0FFC with egg and Chao tasks and
// their data blocks, the player objects, a hatch that the game completes over some frames once
// an egg task's action is 6, and the routine hand-over of game::set_chao_routine, which runs
// the mod's manual rebirth for a Chao a few frames later as the game would.
#pragma once
#include <cstdint>
#include <vector>

#include "host/game.h"

namespace sim {

// Main routines of the two kinds of task the mod looks for.
constexpr game_addr kEggTaskRoutine = 0x0057B520;
constexpr game_addr kChaoTaskRoutine = 0x0054FE20;

// Offsets the game uses in a task and in its data block.
constexpr uint32_t kTaskNextOffset = 0x04;
constexpr uint32_t kTaskMainOffset = 0x10;
constexpr uint32_t kTaskDataOffset = 0x34;
constexpr uint32_t kEggActionOffset = 0x00;
constexpr uint32_t kChaoBusyOffset = 0x34;
constexpr uint32_t kChaoModeOffset = 0x1D0;
constexpr uint32_t kDataRecordOffset = 0x5C;
constexpr uint32_t kPlayerRefOffsets[2] = {0x94, 0x9C};

struct SimTask {
    game_addr task = 0;
    game_addr data = 0;  // 0 for a task without data
};

struct RoutineCall {
    game_addr task;
    game_addr routine;
};

// What the model does and what it saw. Settings may be changed by a test at any time.
struct TaskModel {
    int hatch_frames = 3;        // frames with action 6 until the egg hatches
    int rebirth_frames = 2;      // frames from the routine hand-over until the rebirth runs
    int8_t reborn_type = 1;      // the type a reborn Chao starts its new life with
    bool ring = false;           // the last task leads back to the head instead of to null
    std::vector<SimTask> tasks;  // in list order
    std::vector<RoutineCall> routine_calls;  // every set_chao_routine call
    int hatches = 0;             // eggs the game hatched
    int rebirths = 0;            // rebirths the game carried out
    int refused_rebirths = 0;    // manual rebirth routines that answered 0
};

// The model of the current game; a game laid out anew by reset() starts an empty model.
TaskModel& task_model();

// Adds a task at the end of the list, with a data block whose +0x5C holds `record` (a Chao
// record address). An egg's action is 0; a Chao's +0x34 is 0 and +0x1D0 is 1 (free).
SimTask add_egg_task(game_addr record);
SimTask add_chao_task(game_addr record);
// Any other task (its own routine, a data block of `data_size` bytes, or none for 0).
SimTask add_task(game_addr main_routine, uint32_t data_size);
// Writes the list's links from the model's order (after a test changed the order).
void link_tasks();
// Takes a task out of the list (the game destroyed it).
void remove_task(game_addr task);

// Player object `index` (0 to 7) referring to `ref94` and `ref9c`; returns its address.
game_addr set_player_object(int index, game_addr ref94 = 0, game_addr ref9c = 0);
void clear_player_object(int index);

// One frame of the game's own task work: hatches and handed-over routines advance.
void run_task_frame();

}  // namespace sim
