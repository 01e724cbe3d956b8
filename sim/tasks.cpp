#include "sim/tasks.h"

#include <algorithm>
#include <map>

#include "protect/hook_entry.h"
#include "protect/lifespan.h"
#include "sim/sim.h"
#include "snapshot/chao_record.h"

namespace sim {
namespace {

constexpr uint32_t kTaskBlockSize = 0x40;
constexpr uint32_t kDataBlockSize = 0x200;
constexpr uint32_t kPlayerBlockSize = 0x100;
// Highest address whose record fields the model may look at inside the 4 GiB mirror.
constexpr game_addr kLastRecord = 0xFFFFF000u;

struct PendingRoutine {
    game_addr task;
    int frames_left;
};

struct State {
    TaskModel model;
    // A word in the simulated memory that proves the model belongs to the game laid out now:
    // reset() drops all memory, so a model of an earlier game finds its anchor gone.
    game_addr anchor = 0;
    uint64_t cookie = 0;
    std::vector<PendingRoutine> routines;
    std::map<game_addr, int> hatching;  // egg task -> frames seen with action 6
};

State g_state;
uint64_t g_epochs = 0;

uint32_t peek_u32(game_addr address) {
    uint32_t v = 0;
    peek(address, &v, sizeof v);
    return v;
}

void poke_u32(game_addr address, uint32_t v) { poke(address, &v, sizeof v); }

bool anchor_holds() {
    if (g_state.anchor == 0) return false;
    game::RegionInfo r{};
    if (!game::query_region(g_state.anchor, r) || r.state != game::kMemCommit) return false;
    uint64_t seen = 0;
    peek(g_state.anchor, &seen, sizeof seen);
    return seen == g_state.cookie;
}

// The model of the current game, or null when there is none and `create` is false (a game
// that never had tasks added keeps its memory layout untouched by the model).
State* live(bool create) {
    if (anchor_holds()) return &g_state;
    g_state = State{};
    if (!create) return nullptr;
    g_state.anchor = alloc(8);
    g_state.cookie = 0x7A51C0DE00000000ull | ++g_epochs;
    poke(g_state.anchor, &g_state.cookie, sizeof g_state.cookie);
    return &g_state;
}

SimTask make_task(game_addr main_routine, uint32_t data_size) {
    live(true);
    SimTask t;
    t.task = alloc(kTaskBlockSize);
    if (data_size) t.data = alloc(data_size);
    poke_u32(t.task + kTaskMainOffset, main_routine);
    poke_u32(t.task + kTaskDataOffset, t.data);
    g_state.model.tasks.push_back(t);
    link_tasks();
    return t;
}

SimTask make_record_task(game_addr routine, game_addr record) {
    SimTask t = make_task(routine, kDataBlockSize);
    poke_u32(t.data + kDataRecordOffset, record);
    return t;
}

void hatch(const SimTask& egg) {
    game_addr record = peek_u32(egg.data + kDataRecordOffset);
    remove_task(egg.task);
    g_state.hatching.erase(egg.task);
    if (record == 0 || record > kLastRecord) return;
    int8_t type = 0;
    peek(record + ChaoRecord::type, &type, 1);
    if (type != 1) return;
    type = 2;
    poke(record + ChaoRecord::type, &type, 1);
    ++g_state.model.hatches;
    add_chao_task(record);
}

// The game runs the routine it was handed for the Chao: the mod's manual rebirth.
void run_handed_routine(game_addr task) {
    game_addr data = peek_u32(task + kTaskDataOffset);
    uint16_t free_mode = 1;
    if (data && data <= kLastRecord) poke(data + kChaoModeOffset, &free_mode, sizeof free_mode);
    if (run_manual_rebirth(task) == 0) {
        ++g_state.model.refused_rebirths;
        return;
    }
    game_addr record = data && data <= kLastRecord ? peek_u32(data + kDataRecordOffset) : 0;
    if (record == 0 || record > kLastRecord) return;
    int16_t lives = 0;
    peek(record + ChaoRecord::reincarnations, &lives, sizeof lives);
    lives = static_cast<int16_t>(lives + 1);
    poke(record + ChaoRecord::reincarnations, &lives, sizeof lives);
    poke(record + ChaoRecord::type, &g_state.model.reborn_type, 1);
    ++g_state.model.rebirths;
}

}  // namespace

TaskModel& task_model() { return live(true)->model; }

SimTask add_egg_task(game_addr record) { return make_record_task(kEggTaskRoutine, record); }

SimTask add_chao_task(game_addr record) {
    SimTask t = make_record_task(kChaoTaskRoutine, record);
    uint16_t free_mode = 1;
    poke(t.data + kChaoModeOffset, &free_mode, sizeof free_mode);
    return t;
}

SimTask add_task(game_addr main_routine, uint32_t data_size) { return make_task(main_routine, data_size); }

void link_tasks() {
    State* s = live(true);
    const auto& tasks = s->model.tasks;
    game_addr head = tasks.empty() ? 0 : tasks.front().task;
    poke_u32(game::addr::task_list, head);
    for (size_t i = 0; i < tasks.size(); ++i)
        poke_u32(tasks[i].task + kTaskNextOffset, i + 1 < tasks.size() ? tasks[i + 1].task : (s->model.ring ? head : 0));
}

void remove_task(game_addr task) {
    auto& tasks = live(true)->model.tasks;
    tasks.erase(std::remove_if(tasks.begin(), tasks.end(), [&](const SimTask& t) { return t.task == task; }),
                tasks.end());
    link_tasks();
}

game_addr set_player_object(int index, game_addr ref94, game_addr ref9c) {
    if (index < 0 || index >= 8) return 0;
    game_addr object = alloc(kPlayerBlockSize);
    poke_u32(object + kPlayerRefOffsets[0], ref94);
    poke_u32(object + kPlayerRefOffsets[1], ref9c);
    poke_u32(game::addr::player_objects + 4u * static_cast<uint32_t>(index), object);
    return object;
}

void clear_player_object(int index) {
    if (index < 0 || index >= 8) return;
    poke_u32(game::addr::player_objects + 4u * static_cast<uint32_t>(index), 0);
}

void run_task_frame() {
    State* s = live(false);
    if (!s) return;
    // Eggs whose action has been 6 long enough hatch; an action set back interrupts the hatch.
    std::vector<SimTask> hatched;
    for (const SimTask& t : s->model.tasks) {
        if (t.data == 0 || peek_u32(t.task + kTaskMainOffset) != kEggTaskRoutine) continue;
        uint8_t action = 0;
        peek(t.data + kEggActionOffset, &action, 1);
        if (action != 6) {
            s->hatching.erase(t.task);
            continue;
        }
        if (++s->hatching[t.task] >= s->model.hatch_frames) hatched.push_back(t);
    }
    for (const SimTask& t : hatched) hatch(t);

    std::vector<game_addr> due;
    for (auto it = s->routines.begin(); it != s->routines.end();) {
        if (--it->frames_left <= 0) {
            due.push_back(it->task);
            it = s->routines.erase(it);
        } else {
            ++it;
        }
    }
    for (game_addr task : due) run_handed_routine(task);
}

}  // namespace sim

namespace game {

// The game hands the Chao of `task` a routine to run on a later frame. While the hand-over
// is pending the Chao is busy (+0x1D0 is not 1).
void set_chao_routine(game_addr task, game_addr routine) {
    sim::State* s = sim::live(true);
    s->model.routine_calls.push_back({task, routine});
    if (routine != manual_rebirth_address() || task > sim::kLastRecord) return;
    game_addr data = sim::peek_u32(task + sim::kTaskDataOffset);
    uint16_t busy = 2;
    if (data && data <= sim::kLastRecord) sim::poke(data + sim::kChaoModeOffset, &busy, sizeof busy);
    s->routines.push_back({task, s->model.rebirth_frames});
}

}  // namespace game
