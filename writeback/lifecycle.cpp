#include "writeback/lifecycle.h"

#include <cstring>

#include "host/log.h"
#include "host/mod_state.h"
#include "net/worker.h"
#include "protect/game_memory.h"
#include "protect/hook_entry.h"
#include "protect/lifespan.h"
#include "snapshot/chao_record.h"
#include "snapshot/scanner.h"

namespace {

using game_memory::probe_struct;
using game_memory::read_checked;

constexpr game_addr kEggRoutine = 0x0057B520;
constexpr game_addr kChaoRoutine = 0x0054FE20;
constexpr int kMaxTasks = 512;

// A task: +0x04 next, +0x10 main routine, +0x34 data pointer.
constexpr uint32_t kTaskNext = 0x04;
constexpr uint32_t kTaskMain = 0x10;
constexpr uint32_t kTaskData = 0x34;
constexpr uint32_t kTaskBytes = kTaskData + 4;
// Both kinds of task data keep the Chao's record address at +0x5C.
constexpr uint32_t kDataRecord = 0x5C;
// An egg's data: +0x00 the action (0 idle, 6 hatching).
constexpr uint32_t kEggAction = 0x00;
constexpr uint32_t kEggDataBytes = kDataRecord + 4;
constexpr uint16_t kActionIdle = 0;
constexpr uint16_t kActionHatch = 6;
// A live Chao's data: +0x34 must be 0, +0x1D0 must be 1 for the Chao to be free.
constexpr uint32_t kChaoBusy = 0x34;
constexpr uint32_t kChaoMode = 0x1D0;
constexpr uint32_t kChaoDataBytes = kChaoMode + 2;
// Player objects refer to the task they deal with at +0x94 and +0x9C.
constexpr int kPlayerObjects = 8;
constexpr uint32_t kPlayerRefs[2] = {0x94, 0x9C};
constexpr uint32_t kPlayerBytes = 0x9C + 4;

// The bytes a guard reads from a record: a rebirth the identity and life words, a hatch
// the generation block as well.
constexpr uint32_t kRebirthRecordBytes = ChaoRecord::chao_id + ChaoRecord::chao_id_size;
constexpr uint32_t kHatchRecordBytes = ChaoRecord::read_size;
constexpr uint32_t kMinRebirthRecordSize = 0x4DC;

constexpr uint32_t kTreeBytes = 8;

struct TaskSearch {
    int matches = 0;     // stops counting at 2
    game_addr task = 0;  // the first match
    game_addr data = 0;
    // A pointer on the way could not be followed, or a candidate's data could not be read:
    // a match found may not be the only one.
    bool incomplete = false;
};

// Walks the game's task list from `head` for tasks running `routine` whose data block
// (probed over `data_bytes`) refers to `record`. At most 512 tasks; the walk ends at a null
// next pointer, back at the head, at a task seen before (a list that loops elsewhere), or at
// a task that cannot be read.
TaskSearch find_tasks(game_addr head, game_addr routine, uint32_t data_bytes, game_addr record) {
    TaskSearch found;
    game_addr seen[kMaxTasks];
    int visited = 0;
    game_addr task = head;
    while (task != 0 && visited < kMaxTasks) {
        for (int i = 0; i < visited; ++i)
            if (seen[i] == task) return found;
        if (!probe_struct(task, kTaskBytes, false)) {
            found.incomplete = true;
            return found;
        }
        seen[visited++] = task;
        const game_addr main = game::read<game_addr>(task + kTaskMain);
        const game_addr data = game::read<game_addr>(task + kTaskData);
        const game_addr next = game::read<game_addr>(task + kTaskNext);
        if (main == routine && data != 0) {
            if (!probe_struct(data, data_bytes, false)) {
                found.incomplete = true;
            } else if (game::read<game_addr>(data + kDataRecord) == record) {
                if (++found.matches == 1) {
                    found.task = task;
                    found.data = data;
                } else {
                    return found;
                }
            }
        }
        if (next == head) break;
        task = next;
    }
    return found;
}

// A record in the Chao array whose bytes up to `bytes` can be read, or 0.
game_addr slot_record(game_addr chao_array, uint32_t record_size, int32_t slot, uint32_t bytes) {
    const game_addr record = chao_array + static_cast<uint32_t>(slot) * record_size;
    return probe_struct(record, bytes, false) ? record : 0;
}

bool same_chao_id(game_addr record, const std::array<uint8_t, 20>& expected) {
    return std::memcmp(game::game_ptr<const unsigned char>(record + ChaoRecord::chao_id), expected.data(),
                       expected.size()) == 0;
}

StepResult step(const WritebackCommand& c, int32_t status, const char* message = "") {
    return StepResult{c.id, status, message};
}

void complete(int32_t id) {
    garden_scanner().request_full();
    mod_state().completed_command_ids.push_back(static_cast<uint32_t>(id));
}

// True when no existing player object refers to `task`; false also when one cannot be read.
bool no_player_holds(game_addr task) {
    for (int i = 0; i < kPlayerObjects; ++i) {
        game_addr object = 0;
        if (!read_checked(game::addr::player_objects + 4u * static_cast<uint32_t>(i), object)) return false;
        if (object == 0) continue;
        if (!probe_struct(object, kPlayerBytes, false)) return false;
        for (uint32_t ref : kPlayerRefs)
            if (game::read<game_addr>(object + ref) == task) return false;
    }
    return true;
}

}  // namespace

StepResult check_hatch_guard(game_addr chao_array, uint32_t record_size, int32_t count,
                             const WritebackCommand& c, game_addr* guarded_record) {
    if (guarded_record) *guarded_record = 0;
    if (c.kind != CommandKind::hatch || !c.hatch_ok || !c.has_expect_generation || !c.expect_generation_ok)
        return step(c, kStepRefused, "hatch payload is incomplete or invalid");
    if (chao_array == 0) return step(c, kStepRefused, "chao array not available");
    if (c.slot < 0 || c.slot >= count) return step(c, kStepRefused, "slot out of range");
    const game_addr record = slot_record(chao_array, record_size, c.slot, kHatchRecordBytes);
    if (record == 0) return step(c, kStepRefused, "chao array not available");
    if (guarded_record) *guarded_record = record;

    if (egg_generation_of(record) != c.expect_generation)
        return step(c, kStepRefused, "a different egg generation now occupies that slot");
    if (!c.expect_chao_id_ok) return step(c, kStepRefused, "command carried a malformed chao id");
    if (c.has_expect_chao_id && !same_chao_id(record, c.expect_chao_id))
        return step(c, kStepRefused, "a different chao now occupies that slot");
    if (c.has_expect_seed && game::read<int32_t>(record + ChaoRecord::seed) != c.expect_seed)
        return step(c, kStepRefused, "a different chao now occupies that slot");
    switch (game::read<int8_t>(record + ChaoRecord::type)) {
        case 1: return step(c, kStepRunning);
        case 2: return step(c, kStepDone);
        default: return step(c, kStepRefused, "the guarded slot is neither the egg nor its newly hatched child");
    }
}

StepResult start_native_hatch(game_addr chao_array, uint32_t record_size, int32_t count, int32_t current_garden,
                              const WritebackCommand& c) {
    game_addr record = 0;
    StepResult guard = check_hatch_guard(chao_array, record_size, count, c, &record);
    if (guard.status != kStepRunning) return guard;

    if (current_garden < 1 || current_garden > 3 || (c.garden != 0 && c.garden != current_garden))
        return step(c, kStepCannotActNow);
    game_addr head = 0;
    if (!read_checked(game::addr::task_list, head) || head == 0) return step(c, kStepCannotActNow);
    const TaskSearch egg = find_tasks(head, kEggRoutine, kEggDataBytes, record);
    if (egg.matches > 1) return step(c, kStepRefused, "more than one live egg task maps to that slot");
    // Without a complete walk a second egg task may lie beyond the break: act only on a
    // list that could be read to its end.
    if (egg.matches == 0 || egg.incomplete) return step(c, kStepCannotActNow);

    const uint8_t action = game::read<uint8_t>(egg.data + kEggAction);
    if (action == kActionHatch) return step(c, kStepRunning);
    if (action != kActionIdle) return step(c, kStepCannotActNow);
    // The action byte and the byte after it, as the game's own 16-bit store.
    if (!game_memory::write_checked<uint16_t>(egg.data + kEggAction, kActionHatch)) return step(c, kStepCannotActNow);
    ModLog::log("writeback: began native hatch for slot %d in garden %d", c.slot, current_garden);
    return step(c, kStepStarted);
}

StepResult check_rebirth_guard(game_addr chao_array, uint32_t record_size, int32_t count,
                               const WritebackCommand& c) {
    // A negative count of lives is no command's: it would make a fresh Chao look reborn.
    if (c.kind != CommandKind::reincarnate || !c.reincarnate_ok || c.reincarnations < 0 ||
        c.reincarnations > 32766 || c.garden < 1 || c.garden > 3 || !c.has_expect_chao_id ||
        !c.expect_chao_id_ok || chao_array == 0 || record_size < kMinRebirthRecordSize || c.slot < 0 ||
        c.slot >= count)
        return step(c, kStepRefused, "invalid guarded rebirth request");
    const game_addr record = slot_record(chao_array, record_size, c.slot, kRebirthRecordBytes);
    if (record == 0) return step(c, kStepRefused, "chao array not available");
    if (!same_chao_id(record, c.expect_chao_id))
        return step(c, kStepRefused, "the Chao identity changed; no rebirth performed");

    const int32_t lives = game::read<int16_t>(record + ChaoRecord::reincarnations);
    const int8_t type = game::read<int8_t>(record + ChaoRecord::type);
    const int8_t garden = game::read<int8_t>(record + ChaoRecord::garden);
    if (lives == c.reincarnations + 1 && (type == 1 || type == 2)) return step(c, kStepDone);
    if (lives == c.reincarnations && type >= 5 && type <= 19 && garden == c.garden) return step(c, kStepRunning);
    return step(c, kStepRefused, "the life, adult type or garden changed; refresh before requesting rebirth");
}

StepResult start_guarded_rebirth(game_addr task_list_head, game_addr chao_array, uint32_t record_size,
                                 int32_t count, int32_t current_garden, const WritebackCommand& c) {
    StepResult guard = check_rebirth_guard(chao_array, record_size, count, c);
    if (guard.status != kStepRunning) return guard;
    if (!verify_rebirth_hook())
        return step(c, kStepRefused,
                    "safe manual rebirth unavailable; enable lifespan protection and remove conflicting lifecycle "
                    "mods");

    if (current_garden != c.garden || task_list_head == 0) return step(c, kStepCannotActNow);
    const game_addr record = chao_array + static_cast<uint32_t>(c.slot) * record_size;
    const TaskSearch chao = find_tasks(task_list_head, kChaoRoutine, kChaoDataBytes, record);
    if (chao.matches > 1) return step(c, kStepRefused, "duplicate live Chao tasks");
    if (chao.matches == 0 || chao.incomplete) return step(c, kStepCannotActNow);

    // The Chao must be free: not busy, in its idle mode, and not held or dealt with by a player.
    if (game::read<uint32_t>(chao.data + kChaoBusy) != 0 || game::read<uint16_t>(chao.data + kChaoMode) != 1 ||
        !no_player_holds(chao.task))
        return step(c, kStepCannotActNow);
    game::set_chao_routine(chao.task, manual_rebirth_address());
    return step(c, kStepStarted);
}

CommandResult apply_tree_command(game_addr tree_array, uint32_t tree_record_size, const WritebackCommand& c) {
    CommandResult r{c.id, false, ""};
    auto refuse = [&](const char* why) {
        r.message = why;
        return r;
    };
    if (c.kind != CommandKind::tree_control) return refuse("unsupported tree command kind");
    if (!c.tree_ok || !c.has_expect_raw) return refuse("tree control payload is incomplete or invalid");
    if (tree_array == 0 || tree_record_size < kTreeBytes) return refuse("tree array not available");
    if (c.garden < 1 || c.garden > 3 || c.slot < 3 || c.slot > 6) return refuse("tree garden or slot out of range");
    const game_addr tree = tree_array + static_cast<uint32_t>((c.garden - 1) * 7 + c.slot) * tree_record_size;
    if (c.expect_raw[0] < 1 || c.expect_raw[0] > 7) return refuse("tree slot does not contain a player-planted tree");

    std::array<uint8_t, kTreeBytes> wanted = c.expect_raw;
    const char* done = "";
    switch (c.tree_action) {
        case kTreeWater:
            wanted[3] = 0xFF;
            done = "watered";
            break;
        case kTreeMature:
            wanted[1] = 3;
            wanted[2] = 0xFF;
            done = "matured";
            break;
        case kTreeChangeKind:
            if (c.tree_kind < 1 || c.tree_kind > 7) return refuse("tree kind out of range");
            wanted[0] = static_cast<uint8_t>(c.tree_kind);
            done = "changed";
            break;
        case kTreeRemove:
            wanted.fill(0);
            done = "removed";
            break;
        default: return refuse("unknown tree action");
    }

    std::array<uint8_t, kTreeBytes> live{};
    if (!probe_struct(tree, kTreeBytes, false)) return refuse("tree array not available");
    std::memcpy(live.data(), game::game_ptr<const unsigned char>(tree), kTreeBytes);
    if (live == wanted) {
        r.ok = true;
        return r;
    }
    if (live != c.expect_raw) return refuse("tree changed since the command was issued");
    if (!probe_struct(tree, kTreeBytes, true)) return refuse("tree array not available");
    std::memcpy(game::game_ptr<unsigned char>(tree), wanted.data(), kTreeBytes);
    ModLog::log("writeback: %s tree in garden %d slot %d", done, c.garden, c.slot);
    r.ok = true;
    return r;
}

void run_hatch_monitor(game_addr chao_array, uint32_t record_size, int32_t count) {
    auto& pending = mod_state().pending_hatches;
    size_t kept = 0;
    for (size_t i = 0; i < pending.size(); ++i) {
        const WritebackCommand& c = pending[i];
        const StepResult r = check_hatch_guard(chao_array, record_size, count, c);
        if (r.status == kStepRunning) {
            if (kept != i) pending[kept] = pending[i];
            ++kept;
        } else if (r.status == kStepDone) {
            ModLog::log("writeback: native hatch completed for slot %d", c.slot);
            complete(c.id);
        } else {
            const std::string reason = r.message.empty() ? "native hatch left an unexpected state" : r.message;
            ModLog::log("writeback: hatch command %d failed (%s)", c.id, reason.c_str());
            QueueAck(static_cast<uint32_t>(c.id), false, reason);
        }
    }
    pending.resize(kept);
}

void run_rebirth_monitor(game_addr chao_array, uint32_t record_size, int32_t count) {
    auto& pending = mod_state().pending_rebirths;
    size_t kept = 0;
    for (size_t i = 0; i < pending.size(); ++i) {
        const WritebackCommand& c = pending[i];
        const StepResult r = check_rebirth_guard(chao_array, record_size, count, c);
        if (r.status == kStepDone) {
            complete(c.id);
        } else if (r.status == kStepRefused) {
            QueueAck(static_cast<uint32_t>(c.id), false, r.message);
        } else {
            if (kept != i) pending[kept] = pending[i];
            ++kept;
        }
    }
    pending.resize(kept);
}
