// Placeholder until the executors land: nothing is started, every command waits.
#include "writeback/lifecycle.h"

StepResult check_hatch_guard(game_addr, uint32_t, int32_t, const WritebackCommand& c, game_addr*) {
    return StepResult{c.id, kStepRefused, "native hatch unavailable"};
}
StepResult start_native_hatch(game_addr, uint32_t, int32_t, int32_t, const WritebackCommand& c) {
    return StepResult{c.id, kStepCannotActNow, ""};
}
StepResult check_rebirth_guard(game_addr, uint32_t, int32_t, const WritebackCommand& c) {
    return StepResult{c.id, kStepRefused, "guarded rebirth unavailable"};
}
StepResult start_guarded_rebirth(game_addr, game_addr, uint32_t, int32_t, int32_t, const WritebackCommand& c) {
    return StepResult{c.id, kStepCannotActNow, ""};
}
CommandResult apply_tree_command(game_addr, uint32_t, const WritebackCommand& c) {
    return CommandResult{c.id, false, "tree control unavailable"};
}
void run_hatch_monitor(game_addr, uint32_t, int32_t) {}
void run_rebirth_monitor(game_addr, uint32_t, int32_t) {}
