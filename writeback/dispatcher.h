// The command dispatcher: drains the command documents the worker fetched, routes every
// command to its executor behind its identity guards and reports the outcome, and the
// executor of the commands that edit one Chao slot in place (rename, restore, set_parts,
// set_hat) plus resync and fruit spawning. Game thread only, inside the scan tick.
#pragma once
#include <cstdint>

#include "host/game.h"
#include "writeback/command.h"
#include "writeback/results.h"

// Applies every command of every queued document. `current_garden` is 1 to 3, or 0 when the
// game reports none.
void apply_server_commands(game_addr chao_array, uint32_t record_size, int32_t count, game_addr tree_array,
                           int32_t current_garden);

// rename, restore, set_parts, set_hat (resync is ok at once; anything else is refused).
CommandResult apply_slot_command(game_addr chao_array, uint32_t record_size, int32_t count,
                                 const WritebackCommand& command);

// Writes a restore payload into the record at `record`; the caller has run the checks.
void apply_restore_payload(game_addr record, const WritebackCommand& command);

// The reason the dispatcher's own rules refuse a rename, restore, set_parts, set_hat,
// resync, spawn_fruit or unrecognised command whatever the garden holds: the checks on game
// memory are taken as passed and EnableRestoreOnLaunch as on. Null when it may succeed, and
// for the kinds other executors decide (hatch, reincarnate, tree_control, spawn_inventory).
const char* refusal_without_game(const WritebackCommand& command);

// 32 bytes at a game address where the vectors handed to a game routine are put. Inside the
// game it is memory of the mod's own; the simulator gives a block of its own memory.
game_addr routine_vector_block();
