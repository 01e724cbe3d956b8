// The hatch, rebirth and tree executors on the simulated game: guards, task-list walks, monitors.
#include <doctest/doctest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "host/log.h"
#include "host/mod_state.h"
#include "net/worker.h"
#include "protect/hook_entry.h"
#include "protect/lifespan.h"
#include "sim/garden.h"
#include "sim/sim.h"
#include "snapshot/chao_record.h"
#include "snapshot/scanner.h"
#include "writeback/lifecycle.h"

namespace {

constexpr game_addr kArray = game::addr::chao_slots;
constexpr uint32_t kSize = game::kChaoRecordSize;
constexpr int32_t kCount = game::kChaoSlotCount;
using Change = std::function<void(WritebackCommand&)>;

game_addr record_of(int slot) { return kArray + static_cast<uint32_t>(slot) * kSize; }

template <class T>
T peek(game_addr a) {
    T v{};
    return sim::peek(a, &v, sizeof v), v;
}
template <class T>
void poke(game_addr a, T v) { sim::poke(a, &v, sizeof v); }

void fresh() {
    sim::reset();
    ModLog::set_log_sink(ModLog::game_sink);
    garden_scanner().full_requested = false;
}

void put_chao(int slot, int type, int lives = 0, int garden = 1) {
    sim::ChaoSpec chao;
    chao.slot = slot;
    chao.type = type;
    std::string error;
    REQUIRE_MESSAGE(sim::write_chao(chao.set("reincarnations", lives).set("garden", garden), error), error);
}

std::vector<AckEntry> acks() {
    LinkWorker& w = link_worker();
    std::lock_guard<std::mutex> g(w.lock);
    return {w.acks.begin(), w.acks.end()};
}

WritebackCommand hatch_cmd(int id, int slot, int garden = 0) {
    WritebackCommand c;
    c.id = id, c.kind = CommandKind::hatch, c.slot = slot, c.garden = garden;
    c.hatch_ok = c.has_expect_generation = true;
    c.expect_generation = egg_generation_of(record_of(slot));
    return c;
}

WritebackCommand rebirth_cmd(int id, int slot, int lives, int garden) {
    WritebackCommand c;
    c.id = id, c.kind = CommandKind::reincarnate, c.slot = slot, c.garden = garden, c.reincarnations = lives;
    c.reincarnate_ok = c.has_expect_chao_id = true;
    sim::peek(record_of(slot) + ChaoRecord::chao_id, c.expect_chao_id.data(), 20);
    return c;
}

StepResult hatch_now(const WritebackCommand& c, int garden = 1) {
    return start_native_hatch(kArray, kSize, kCount, garden, c);
}
StepResult rebirth_now(const WritebackCommand& c, int garden) {
    return start_guarded_rebirth(peek<game_addr>(game::addr::task_list), kArray, kSize, kCount, garden, c);
}

// How many egg tasks of `record` have been told to hatch.
int hatching_tasks(game_addr record) {
    int n = 0;
    for (const sim::SimTask& t : sim::task_model().tasks)
        if (t.data && peek<game_addr>(t.data + sim::kDataRecordOffset) == record) n += peek<uint16_t>(t.data) != 0;
    return n;
}

}  // namespace

TEST_CASE("hatch guard: the first failing check gives its reason, the slot's type the status") {
    fresh();
    put_chao(4, 1);
    const WritebackCommand base = hatch_cmd(1, 4);
    const std::pair<Change, const char*> cases[] = {
        {[](WritebackCommand& c) { c.hatch_ok = false; }, "hatch payload is incomplete or invalid"},
        {[](WritebackCommand& c) { c.slot = 37; }, "slot out of range"},
        {[](WritebackCommand& c) { c.slot = -1; }, "slot out of range"},
        {[](WritebackCommand& c) { c.expect_generation[7] ^= 1; }, "a different egg generation now occupies that slot"},
        {[](WritebackCommand& c) { c.expect_chao_id_ok = false; }, "command carried a malformed chao id"},
        {[](WritebackCommand& c) { c.has_expect_chao_id = true; }, "a different chao now occupies that slot"},
        {[](WritebackCommand& c) { c.has_expect_seed = true, c.expect_seed = 12345; },
         "a different chao now occupies that slot"},
    };
    for (const auto& [change, reason] : cases) {
        WritebackCommand c = base;
        change(c);
        StepResult r = check_hatch_guard(kArray, kSize, kCount, c);
        CHECK(r.status == kStepRefused);
        CHECK(r.message == reason);
    }
    CHECK(check_hatch_guard(0, kSize, kCount, base).message == "chao array not available");

    WritebackCommand guarded = base;
    guarded.has_expect_chao_id = guarded.has_expect_seed = true;
    sim::peek(record_of(4) + ChaoRecord::chao_id, guarded.expect_chao_id.data(), 20);
    guarded.expect_seed = peek<int32_t>(record_of(4) + ChaoRecord::seed);
    game_addr record = 0;
    StepResult r = check_hatch_guard(kArray, kSize, kCount, guarded, &record);
    CHECK((r.status == kStepRunning && r.id == 1 && record == record_of(4)));
    for (auto [type, status] : {std::pair{2, kStepDone}, {5, kStepRefused}, {0, kStepRefused}, {-1, kStepRefused}}) {
        poke<int8_t>(record_of(4) + ChaoRecord::type, static_cast<int8_t>(type));
        r = check_hatch_guard(kArray, kSize, kCount, guarded);
        CHECK(r.status == status);
        if (status == kStepRefused) CHECK(r.message == "the guarded slot is neither the egg nor its newly hatched child");
    }
}

TEST_CASE("a hatch with garden 0 starts in any garden, the game finishes it, and a repeat is done untouched") {
    fresh();
    put_chao(3, 1);
    const sim::SimTask egg = sim::add_egg_task(record_of(3));
    WritebackCommand c = hatch_cmd(21, 3, 0);
    CHECK(hatch_now(c, 0).status == kStepCannotActNow);  // outside any garden
    CHECK(hatch_now(hatch_cmd(22, 3, 1), 2).status == kStepCannotActNow);
    CHECK(peek<uint16_t>(egg.data) == 0);

    CHECK(hatch_now(c, 2).status == kStepStarted);
    CHECK(peek<uint16_t>(egg.data) == 6);
    CHECK(hatch_now(c, 2).status == kStepRunning);
    mod_state().pending_hatches.push_back(c);
    for (int i = 0; i < 20 && !mod_state().pending_hatches.empty(); ++i) sim::frame(), run_hatch_monitor(kArray, kSize, kCount);
    CHECK(mod_state().pending_hatches.empty());
    CHECK(peek<int8_t>(record_of(3) + ChaoRecord::type) == 2);
    CHECK(mod_state().completed_command_ids == std::vector<uint32_t>{21});
    CHECK(garden_scanner().full_requested);
    CHECK(acks().empty());

    // The same command again, with a stale egg task still on the record: done, nothing written.
    const sim::SimTask stale = sim::add_egg_task(record_of(3));
    CHECK(hatch_now(c, 2).status == kStepDone);
    CHECK(peek<uint16_t>(stale.data) == 0);
}

TEST_CASE("the egg task must be the only one on the record and idle") {
    fresh();
    put_chao(0, 1);
    put_chao(1, 1);
    const WritebackCommand c = hatch_cmd(5, 0);
    // Tasks that do not count: another routine, another slot's egg, an egg without data.
    const sim::SimTask other = sim::add_task(0x00401234, 0x200);
    poke<game_addr>(other.data + sim::kDataRecordOffset, record_of(0));
    sim::add_egg_task(record_of(1));
    sim::add_task(sim::kEggTaskRoutine, 0);
    CHECK(hatch_now(c).status == kStepCannotActNow);

    const sim::SimTask egg = sim::add_egg_task(record_of(0));
    poke<uint8_t>(egg.data, 3);  // some other action under way
    CHECK(hatch_now(c).status == kStepCannotActNow);
    poke<uint8_t>(egg.data, 0);

    const sim::SimTask twin = sim::add_egg_task(record_of(0));
    StepResult r = hatch_now(c);
    CHECK((r.status == kStepRefused && r.message == "more than one live egg task maps to that slot"));
    CHECK(hatching_tasks(record_of(0)) == 0);

    sim::remove_task(twin.task);
    sim::set_protection(egg.data, 0x1000, game::kPageReadOnly);
    CHECK(hatch_now(c).status == kStepCannotActNow);  // data that cannot be written
    CHECK(peek<uint16_t>(egg.data) == 0);
}

TEST_CASE("task lists: garbage ends the walk unfollowed, a loop or ring is walked once") {
    fresh();
    put_chao(0, 1);
    const game_addr record = record_of(0);
    int32_t want = kStepCannotActNow;
    SUBCASE("a head in unmapped memory") { poke<game_addr>(game::addr::task_list, 0x0BAD0000); }
    SUBCASE("a task running into the gap behind its page") {
        poke<game_addr>(game::addr::task_list, sim::add_task(0x00401234, 0).task + 0xFF0);
    }
    SUBCASE("the egg, then a task on a no-access page") {
        sim::add_egg_task(record);
        sim::set_protection(sim::add_task(0x00401234, 0).task, 0x1000, game::kPageNoAccess);
    }
    SUBCASE("the egg, then a guard page") {
        sim::add_egg_task(record);
        sim::set_protection(sim::add_task(0x00401234, 0).task, 0x1000, game::kPageReadWrite | game::kPageGuard);
    }
    SUBCASE("an egg task whose data cannot be read, beside the real one") {
        sim::add_egg_task(record);
        sim::unmap(sim::add_egg_task(record).data, 0x1000);
    }
    SUBCASE("the egg past 512 tasks") {
        for (int i = 0; i < 512; ++i) sim::add_task(0x00401234, 0);
        sim::add_egg_task(record);
    }
    SUBCASE("a ring to the head, or a loop back to a later task") {
        sim::task_model().ring = true;
        sim::add_task(0x00401234, 0);
        const sim::SimTask b = sim::add_task(0x00401234, 0);
        const sim::SimTask egg = sim::add_egg_task(record);
        SUBCASE("ring") {}
        SUBCASE("loop") { poke<game_addr>(egg.task + sim::kTaskNextOffset, b.task); }
        want = kStepStarted;  // one egg task, not a duplicate of itself
    }
    CHECK(hatch_now(hatch_cmd(9, 0)).status == want);
    CHECK(hatching_tasks(record) == (want == kStepStarted));
}

TEST_CASE("rebirth guard: invalid requests, changed identity or life, and the two good states") {
    fresh();
    put_chao(2, 7, 4, 2);
    const WritebackCommand base = rebirth_cmd(3, 2, 4, 2);
    for (const Change& change : std::initializer_list<Change>{
             [](WritebackCommand& c) { c.reincarnations = 32767; }, [](WritebackCommand& c) { c.reincarnations = -1; },
             [](WritebackCommand& c) { c.garden = 0; }, [](WritebackCommand& c) { c.garden = 4; },
             [](WritebackCommand& c) { c.has_expect_chao_id = false; }, [](WritebackCommand& c) { c.slot = 37; }}) {
        WritebackCommand c = base;
        change(c);
        CHECK(check_rebirth_guard(kArray, kSize, kCount, c).message == "invalid guarded rebirth request");
    }
    CHECK(check_rebirth_guard(0, kSize, kCount, base).message == "invalid guarded rebirth request");
    CHECK(check_rebirth_guard(kArray, 0x4DB, kCount, base).message == "invalid guarded rebirth request");
    WritebackCommand other = base;
    other.expect_chao_id[19] ^= 1;
    CHECK(check_rebirth_guard(kArray, kSize, kCount, other).message == "the Chao identity changed; no rebirth performed");

    struct Life {
        int type, lives, garden, status;
    };
    for (const Life& l : {Life{5, 4, 2, kStepRunning}, {19, 4, 2, kStepRunning}, {1, 5, 2, kStepDone}, {2, 5, 1, kStepDone},
                          {20, 4, 2, kStepRefused}, {4, 4, 2, kStepRefused}, {7, 4, 1, kStepRefused},
                          {7, 5, 2, kStepRefused}, {1, 4, 2, kStepRefused}}) {
        put_chao(2, l.type, l.lives, l.garden);
        StepResult r = check_rebirth_guard(kArray, kSize, kCount, base);
        CHECK(r.status == l.status);
        if (l.status == kStepRefused)
            CHECK(r.message == "the life, adult type or garden changed; refresh before requesting rebirth");
    }
}

TEST_CASE("a guarded rebirth needs the intact hook and one free Chao task, then the game carries it out") {
    fresh();
    put_chao(2, 7, 4, 2);
    const WritebackCommand c = rebirth_cmd(31, 2, 4, 2);
    const char* unavailable =
        "safe manual rebirth unavailable; enable lifespan protection and remove conflicting lifecycle mods";
    CHECK(rebirth_now(c, 2).message == unavailable);  // never installed
    REQUIRE((install_lifespan_protection() && install_rebirth_hook()));
    CHECK(rebirth_now(c, 2).status == kStepCannotActNow);  // no live Chao task yet
    const sim::SimTask chao = sim::add_chao_task(record_of(2));
    const sim::SimTask twin = sim::add_chao_task(record_of(2));
    CHECK(rebirth_now(c, 2).message == "duplicate live Chao tasks");
    sim::remove_task(twin.task);
    const uint8_t code = peek<uint8_t>(lifespan::kHelperRoutine + 9);
    poke<uint8_t>(lifespan::kHelperRoutine + 9, code ^ 0x40);  // another mod changed the rebirth code
    StepResult r = rebirth_now(c, 2);
    CHECK((r.status == kStepRefused && r.message == unavailable));
    poke<uint8_t>(lifespan::kHelperRoutine + 9, code);
    CHECK(rebirth_now(c, 1).status == kStepCannotActNow);  // another garden
    CHECK(start_guarded_rebirth(0, kArray, kSize, kCount, 2, c).status == kStepCannotActNow);

    // Each step in turn leaves the Chao not to be reborn now: not in its normal mode, busy, held or
    // referred to by a player, or a player object that cannot be read.
    const std::function<void()> waits[] = {
        [&] { poke<uint16_t>(chao.data + sim::kChaoModeOffset, 0); },
        [&] { poke<uint16_t>(chao.data + sim::kChaoModeOffset, 1), poke<uint32_t>(chao.data + sim::kChaoBusyOffset, 1); },
        [&] { poke<uint32_t>(chao.data + sim::kChaoBusyOffset, 0), sim::set_player_object(5, chao.task, 0); },
        [&] { sim::set_player_object(5, 0, chao.task); },
        [&] { poke<game_addr>(game::addr::player_objects + 4 * 5, 0x0BAD0000); }};
    for (size_t i = 0; i < std::size(waits); ++i) {
        CAPTURE(i);
        waits[i]();
        CHECK(rebirth_now(c, 2).status == kStepCannotActNow);
    }
    sim::set_player_object(5, 0x1234, 0);  // holds something else
    CHECK(sim::task_model().routine_calls.empty());

    CHECK(rebirth_now(c, 2).status == kStepStarted);
    REQUIRE(sim::task_model().routine_calls.size() == 1);
    CHECK(sim::task_model().routine_calls[0].task == chao.task);
    CHECK(sim::task_model().routine_calls[0].routine == manual_rebirth_address());
    CHECK(rebirth_now(c, 2).status == kStepCannotActNow);  // busy with the routine now

    mod_state().pending_rebirths.push_back(c);
    for (int i = 0; i < 10 && !mod_state().pending_rebirths.empty(); ++i) sim::frame(), run_rebirth_monitor(kArray, kSize, kCount);
    CHECK(mod_state().pending_rebirths.empty());
    CHECK(peek<int16_t>(record_of(2) + ChaoRecord::reincarnations) == 5);
    CHECK(peek<int8_t>(record_of(2) + ChaoRecord::type) == 1);
    CHECK(sim::task_model().rebirths == 1);
    CHECK(mod_state().completed_command_ids == std::vector<uint32_t>{31});
    CHECK(rebirth_now(c, 2).status == kStepDone);
    CHECK(acks().empty());
}

TEST_CASE("monitors acknowledge and drop what changed, and keep the rest in order") {
    fresh();
    for (int slot = 0; slot < 3; ++slot) put_chao(slot, 1);
    put_chao(3, 7, 4, 2);
    auto& s = mod_state();
    s.pending_hatches = {hatch_cmd(1, 0), hatch_cmd(2, 1), hatch_cmd(3, 2)};
    put_chao(1, 9);                                                    // no longer egg or child
    poke<uint8_t>(record_of(2) + ChaoRecord::generation_block, 0x5A);  // another egg
    run_hatch_monitor(kArray, kSize, kCount);
    REQUIRE(s.pending_hatches.size() == 1);
    CHECK(s.pending_hatches[0].id == 1);

    s.pending_rebirths = {rebirth_cmd(4, 3, 4, 2), rebirth_cmd(5, 3, 4, 2)};
    s.pending_rebirths[1].expect_chao_id[0] ^= 1;
    run_rebirth_monitor(kArray, kSize, kCount);
    REQUIRE(s.pending_rebirths.size() == 1);
    CHECK(s.pending_rebirths[0].id == 4);
    const auto sent = acks();
    REQUIRE(sent.size() == 3);
    const std::pair<uint32_t, const char*> want[] = {{2, "the guarded slot is neither the egg nor its newly hatched child"},
                                                {3, "a different egg generation now occupies that slot"},
                                                {5, "the Chao identity changed; no rebirth performed"}};
    for (size_t i = 0; i < 3; ++i) CHECK((sent[i].id == want[i].first && !sent[i].ok && sent[i].error == want[i].second));
    CHECK(s.completed_command_ids.empty());
}

namespace {

WritebackCommand tree_cmd(int garden, int slot, int32_t action, const std::array<uint8_t, 8>& raw, int kind = 0) {
    WritebackCommand c;
    c.id = 40, c.kind = CommandKind::tree_control, c.garden = garden, c.slot = slot;
    c.tree_action = action, c.expect_raw = raw, c.tree_kind = kind;
    c.has_expect_raw = c.tree_ok = true;
    return c;
}

std::array<uint8_t, 8> tree_at(int garden, int slot) {
    std::array<uint8_t, 8> raw{};
    sim::peek(game::addr::trees + static_cast<uint32_t>((garden - 1) * 7 + slot) * 8, raw.data(), 8);
    return raw;
}

std::string tree(const WritebackCommand& c) {
    CommandResult r = apply_tree_command(game::addr::trees, 8, c);
    return r.ok ? "ok" : r.message;
}

}  // namespace

TEST_CASE("tree control: each action, already applied, changed since issued, and bad payloads") {
    fresh();
    sim::write_tree(sim::TreeSpec{11, 2, 1, 0x40, 0x10});  // garden 2, slot 4
    const auto raw = tree_at(2, 4);
    CHECK(tree(tree_cmd(2, 4, kTreeWater, raw)) == "ok");
    CHECK(tree_at(2, 4)[3] == 0xFF);
    CHECK(tree(tree_cmd(2, 4, kTreeWater, raw)) == "ok");  // already watered
    CHECK(tree(tree_cmd(2, 4, kTreeMature, raw)) == "tree changed since the command was issued");
    CHECK(tree(tree_cmd(2, 4, kTreeMature, tree_at(2, 4))) == "ok");
    CHECK((tree_at(2, 4)[1] == 3 && tree_at(2, 4)[2] == 0xFF));
    CHECK(tree(tree_cmd(2, 4, kTreeChangeKind, tree_at(2, 4), 8)) == "tree kind out of range");
    CHECK(tree(tree_cmd(2, 4, kTreeChangeKind, tree_at(2, 4), 5)) == "ok");
    const auto planted = tree_at(2, 4);
    CHECK(planted[0] == 5);
    CHECK(tree(tree_cmd(2, 4, kTreeRemove, planted)) == "ok");
    CHECK(tree_at(2, 4) == std::array<uint8_t, 8>{});
    CHECK(tree(tree_cmd(2, 4, kTreeChangeKind, tree_at(2, 4), 3)) == "tree slot does not contain a player-planted tree");
    CHECK(tree(tree_cmd(2, 4, kTreeChangeKind, planted, 3)) == "tree changed since the command was issued");

    CHECK(apply_tree_command(game::addr::trees, 7, tree_cmd(1, 3, kTreeWater, planted)).message == "tree array not available");
    for (auto [garden, slot] : {std::pair{1, 2}, {1, 7}, {0, 4}, {4, 4}})
        CHECK(tree(tree_cmd(garden, slot, kTreeWater, planted)) == "tree garden or slot out of range");

    // A tree table that cannot be written is refused and left as it is.
    sim::write_tree(sim::TreeSpec{3, 1, 0, 0, 0});  // garden 1, slot 3
    const auto before = tree_at(1, 3);
    sim::set_protection(game::addr::trees, 8, game::kPageReadOnly);
    CHECK(tree(tree_cmd(1, 3, kTreeWater, before)) == "tree array not available");
    CHECK(tree_at(1, 3) == before);
}
