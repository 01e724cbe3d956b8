// Commands that drive the game's own live objects: the native hatch and the guarded rebirth
// (started here, followed by the monitors on later scan ticks), tree control and the task
// list walk they share. Game thread only, inside the scan tick.
#pragma once
#include <cstdint>

#include "host/game.h"
#include "writeback/command.h"
#include "writeback/results.h"

StepResult check_hatch_guard(game_addr chao_array, uint32_t record_size, int32_t count,
                             const WritebackCommand& command, game_addr* guarded_record = nullptr);
StepResult start_native_hatch(game_addr chao_array, uint32_t record_size, int32_t count, int32_t current_garden,
                              const WritebackCommand& command);
StepResult check_rebirth_guard(game_addr chao_array, uint32_t record_size, int32_t count,
                               const WritebackCommand& command);
StepResult start_guarded_rebirth(game_addr task_list_head, game_addr chao_array, uint32_t record_size,
                                 int32_t count, int32_t current_garden, const WritebackCommand& command);
CommandResult apply_tree_command(game_addr tree_array, uint32_t tree_record_size, const WritebackCommand& command);

// Follow the started hatches and rebirths of mod_state().pending_hatches / pending_rebirths.
void run_hatch_monitor(game_addr chao_array, uint32_t record_size, int32_t count);
void run_rebirth_monitor(game_addr chao_array, uint32_t record_size, int32_t count);
