// The memory probes and the patch primitive, the lifespan and rebirth patches, and the care
// warnings, on the simulated game.
#include <doctest/doctest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host/care_warnings.h"
#include "host/config.h"
#include "host/mod_state.h"
#include "net/worker.h"
#include "protect/game_memory.h"
#include "protect/hook_entry.h"
#include "protect/lifespan.h"
#include "sim/game_code.h"
#include "sim/garden.h"
#include "sim/sim.h"
#include "test_support.h"

using namespace game_memory;
using namespace lifespan;
using Bytes = std::vector<uint8_t>;
using Titles = std::vector<std::string>;

namespace {

Bytes bytes_at(game_addr address, size_t n) {
    Bytes out(n);
    sim::peek(address, out.data(), n);
    return out;
}
void flip(game_addr address, uint8_t bit = 0x40) {
    uint8_t b = static_cast<uint8_t>(bytes_at(address, 1)[0] ^ bit);
    sim::poke(address, &b, 1);
}
uint32_t protection_of(game_addr address) {
    game::RegionInfo r{};
    game::query_region(address, r);
    return r.protect;
}
Bytes hook_to(game_addr site, game_addr target) {
    uint8_t b[5];
    encode_call_rel32(site, target, b);
    return Bytes(b, b + 5);
}

}  // namespace

TEST_CASE("probes: region ends, protections, guard pages, other modules, wrap-around, pointers followed; FNV-1a, the call") {
    CHECK(fnv1a32("foobar", 6) == 0xBF9CF968u);
    CHECK(hook_to(0x0056903B, 0x00568F30) == Bytes{0xE8, 0xF0, 0xFE, 0xFF, 0xFF});  // the game's own call
    sim::reset();
    game_addr heap = sim::alloc(0x2000);  // two pages, then a gap
    CHECK(is_readable(heap, 0x2000));
    CHECK_FALSE((is_readable(heap, 0x2001) || is_readable(0, 4) || is_readable(0xFFFFFFF0u, 0x20)));
    sim::set_protection(heap + 0x1000, 0x1000, game::kPageReadOnly);
    CHECK_FALSE((is_readable(heap, 0x1001) || is_writable(heap + 0x1000, 4)));  // another protection from there
    sim::set_protection(heap, 0x1000, game::kPageReadWrite | game::kPageNoCache);
    CHECK_FALSE((is_writable(heap, 4) || is_game_image_data(heap, 4)));  // a modifier; private memory

    sim::set_protection(0x00500000, 0x1000, game::kPageExecuteRead | game::kPageGuard);
    CHECK_FALSE((is_readable(0x00500000, 1) || is_game_code(0x00500000, 1)));
    CHECK((is_game_code(0x00401000, 0x1000) && is_game_image_data(sim::kImageEnd - 4, 4)));
    CHECK_FALSE((is_game_code(0x00800000, 4) || is_game_image_data(sim::kImageEnd - 4, 5)));  // data; past the end
    // Executable image memory of another module.
    CHECK_FALSE((is_game_code(sim::kGateAddress, 5) || matches_fingerprint(sim::kGateAddress, 1, fnv1a32("\xC3", 1))));

    // A pointer found in game memory is probed before it is followed.
    game_addr object = sim::alloc(0x40);
    sim::set_protection(object, 0x40, game::kPageReadOnly);
    CHECK(probe_struct(object, 0x40, false));
    CHECK_FALSE((probe_struct(object, 0x40, true) || write_checked<uint32_t>(object + 0x10, 1u)));
    sim::unmap(object, 0x1000);
    uint32_t value = 0;
    CHECK_FALSE((read_u32(object + 0x10, value) || probe_struct(0, 4, false)));
}

TEST_CASE("the storage code verifies on the supported build; one changed byte fails the check") {
    sim::reset();
    CHECK(verify_storage_code());
    for (const CodeFingerprint& f : kStorageCode) {
        sim::reset();
        flip(f.address + f.length - 1, 1);
        CHECK_FALSE(verify_storage_code());
    }
}

TEST_CASE("apply_code_patch: written with the protections back, or nothing at all") {
    sim::reset();
    // The second across a page boundary.
    CodePatchSite sites[2] = {{0x00401100, 3, {0x90, 0x90, 0xC3}}, {0x00402FFE, 4, {0xAA, 0xBB, 0xCC, 0xDD}}};
    bool written = false;
    CHECK((apply_code_patch(sites, 2, &written) && written));
    CHECK(bytes_at(0x00401100, 3) == Bytes{0x90, 0x90, 0xC3});
    CHECK(bytes_at(0x00402FFE, 4) == Bytes{0xAA, 0xBB, 0xCC, 0xDD});
    CHECK(protection_of(0x00403000) == game::kPageExecuteRead);
    CHECK(is_game_code(0x00401000, 0x3000));  // one region again

    // The second site is not there: the first gets its protection back, neither is written.
    sim::reset();
    sites[1].address = 0x20000000;
    const Bytes before = bytes_at(0x00401100, 3);
    CHECK_FALSE((apply_code_patch(sites, 2, &written) || written || bytes_at(0x00401100, 3) != before));
    CHECK(protection_of(0x00401100) == game::kPageExecuteRead);
}

// ---- the lifespan and rebirth patches, installed by the loaded mod

namespace {

// Every byte the patches may touch: sites 1 and 2 (14), site 3 (16), the hook sites (10).
Bytes patch_bytes() {
    Bytes all;
    for (auto [at, n] : {std::pair{kSite1, 7}, {kSite2, 7}, {kSite3, 16}, {kHookSites[0], 5}, {kHookSites[1], 5}}) {
        Bytes b = bytes_at(at, static_cast<size_t>(n));
        all.insert(all.end(), b.begin(), b.end());
    }
    return all;
}

Titles box_titles() {
    Titles titles;
    for (const auto& b : sim::recording().boxes) titles.push_back(b.title);
    return titles;
}

// A fresh game, changed by `tamper` before the library is loaded; the patch bytes at load.
Bytes start(const TempDir& dir, const std::function<void()>& tamper = [] {},
            const char* config = "ApiKey=abcdefgh\nKeepGardenAnimals=false\n") {
    sim::reset();
    dir.write("config.ini", config);
    tamper();
    Bytes before = patch_bytes();
    sim::load(dir.str().c_str());
    return before;
}

// Both protections as the worker and the mod see them.
void check_state(bool lifespan, bool rebirth) {
    CHECK(mod_state().config.lifespan_frozen == lifespan);
    CHECK(mod_state().rebirth_hook_active == rebirth);
    CHECK(link_worker().rebirth_available.load() == rebirth);
}

}  // namespace

TEST_CASE("on the supported build both patches install and verify, frame after frame; the one task let through") {
    TempDir dir;
    start(dir);
    // The patched bytes are run by the 32-bit tests; here they hold, frame after frame.
    for (int i = 0; i < 10; ++i) sim::frame();
    check_state(true, true);
    CHECK(box_titles().empty());
    CHECK(is_game_code(kRebirthRoutine, kRebirthRoutineLength));  // protection back

    // Manual rebirth lets the game's rebirth through for the one task only.
    sim::RebirthModel& m = sim::rebirth_model();
    const uint32_t task = 0x10004000;
    CHECK(run_manual_rebirth(task) == 1);
    CHECK(m.reborn == std::vector<uint32_t>{task});
    CHECK((m.guarded_calls == 0 && velmora_rebirth_authorized == 0));
    CHECK(game::rebirth_routine(task + 0x100) == 0);  // another Chao: the guarded routine says no
    CHECK(m.guarded_calls == 1);
    CHECK(run_manual_rebirth(0) == 0);  // 0 is never let through
    CHECK(m.guarded_calls == 2);
    sim::poke(kHookSites[0], kHookSiteBefore[0], 5);  // hook broken: nothing runs
    int calls = m.rebirth_calls;
    CHECK(run_manual_rebirth(task) == 0);
    CHECK(m.rebirth_calls == calls);
}

TEST_CASE("foreign code or memory at a patched place: nothing written there, the player told") {
    // The rebirth hook only on top of lifespan protection.
    struct Case { std::string what; std::function<void()> tamper; bool lifespan, rebirth; };
    auto poke = [](game_addr at, Bytes b) { return [=] { sim::poke(at, b.data(), b.size()); }; };
    // One changed byte per installer; the 32-bit tests refuse one more each with the real code.
    const Case cases[] = {
        {"already no-ops (another mod did the same)", poke(kSite1, Bytes(7, 0x90)), true, true},
        {"a store with an index byte", poke(kSite1, {0x66, 0x89, 0x84, 0x8C, 0, 0, 0}), false, false},
        {"the ageing routine already returning", poke(kSite3, {0xC3}), true, true},
        {"the ageing routine's page missing", [] { sim::unmap(kSite3, 1); }, false, false},
        {"the hook sites' page missing", [] { sim::unmap(kHookSites[0], 1); }, true, false},
        {"another gate", poke(kHookSites[0], hook_to(kHookSites[0], 0x6F000000)), true, false},
        {"a byte of the rebirth helper", [] { flip(kHelperRoutine + kHelperRoutineLength - 1); }, true, false},
    };
    TempDir dir;
    for (const Case& c : cases) {
        INFO(c.what);
        Bytes before = start(dir, c.tamper);
        for (int i = 0; i < 3; ++i) sim::frame();
        check_state(c.lifespan, c.rebirth);
        Bytes now = patch_bytes();
        if (!c.lifespan) CHECK(now == before);
        if (!c.rebirth) CHECK(Bytes(now.end() - 10, now.end()) == Bytes(before.end() - 10, before.end()));
        CHECK(box_titles() == (c.lifespan ? Titles{} : Titles{"Velmora - lifespan protection unavailable"}));
    }
    // With protection switched off nothing is patched at all.
    Bytes before = start(dir, [] {}, "ApiKey=abcdefgh\nDisableNaturalDeath=false\n");
    CHECK(patch_bytes() == before);
    CHECK_FALSE(mod_state().rebirth_hook_active);
}

TEST_CASE("a patch undone behind the mod's back is noticed on the next frame, once, and not re-installed") {
    TempDir dir;
    const Bytes store{0x66, 0x89, 0x86, 0x8C, 0, 0, 0};
    // The lifespan patch taken back loses both; only the hook, or a byte of the hooked routine,
    // only the rebirth.
    const std::pair<std::function<void()>, bool> undo[] = {
        {[&] { sim::poke(kSite1, store.data(), store.size()); }, false},
        {[] { sim::poke(kHookSites[1], kHookSiteBefore[1], 5); }, true},
        {[] { flip(kRebirthRoutine + 0x100); }, true}};
    for (const auto& [change, lifespan] : undo) {
        start(dir);
        sim::frame();
        change();
        sim::frame();
        const Titles want = lifespan ? Titles{"Velmora - rebirth paused"}
                                     : Titles{"Velmora - lifespan protection lost", "Velmora - rebirth paused"};
        CHECK(box_titles() == want);
        check_state(lifespan, false);
        CHECK(link_worker().lifespan_frozen.load() == lifespan);
        for (int i = 0; i < 10; ++i) sim::frame();
        CHECK(box_titles() == want);
        if (!lifespan) CHECK(bytes_at(kSite1, 7) == store);
    }
}

// ---- care warnings

namespace {

std::map<int, std::string> g_lines;  // line -> text, this frame
void capture(int32_t position, const char* text) { g_lines[position - 0x10000] = text; }

struct Chao { int16_t lifespan, lifespan2, happiness; int8_t type = 5, garden = 1; };

void put(int slot, const Chao& c) {
    sim::ChaoSpec s;
    s.slot = slot, s.type = c.type;
    s.set("lifespan", c.lifespan).set("lifespan2", c.lifespan2).set("happiness", c.happiness).set("garden", c.garden);
    std::string error;
    REQUIRE_MESSAGE(sim::write_chao(s, error), error);
}

std::map<int, std::string> frame(const SyncConfig& c, ScreenTextFn fn = &capture) {
    g_lines.clear();
    show_care_warnings(c, fn);
    return g_lines;
}

std::string slot_line(int slot, const char* warning) { return "Chao slot " + std::to_string(slot) + ": " + warning; }

const char* const kLow = "LOW LIFE: leave garden; enable lifespan protection!";
const char* const kUnhappy = "UNHAPPY - pet gently; feed fruit in SA2";
const char* const kAffection = "Needs affection - pet gently; feed fruit in SA2";

}  // namespace

TEST_CASE("care warnings: thresholds with protection off; the current garden only, three lines, overflow, protection on") {
    sim::reset();
    sim::enter_garden(1);
    SyncConfig c;
    c.lifespan_frozen = false;
    const std::pair<Chao, const char*> cases[] = {
        {{-1, 600, 80}, nullptr},       {{800, 0, 80}, kLow},            {{500, 3000, 80}, kLow},
        {{3000, 3000, 51}, nullptr},    {{3000, 3000, 50}, kAffection},  {{3000, 3000, -1}, kUnhappy},
        {{3000, 3000, -101}, nullptr},  {{800, -1, 80}, nullptr},
        // Chaos and character Chao do not age but can be unhappy; eggs never show.
        {{10, 10, -5, 20}, kUnhappy},   {{10, 10, -5, 25}, kUnhappy},    {{10, 10, -5, 26}, kLow},
        {{10, 10, -5, 1}, nullptr},
    };
    for (const auto& [chao, warning] : cases) {
        INFO("type " << int(chao.type) << " life " << chao.lifespan << "/" << chao.lifespan2 << " " << chao.happiness);
        put(4, chao);
        CHECK(frame(c) == (warning ? std::map<int, std::string>{{3, slot_line(4, warning)},
                                                                {7, "Lifespan protection OFF. Do not wait for a cocoon."}}
                                   : std::map<int, std::string>{}));
    }

    // The current garden only, three lines, overflow, protection on.
    sim::reset();
    sim::enter_garden(2);
    game::write<uint16_t>(game::addr::game_state, 17);
    c.lifespan_frozen = true;
    const Chao needy{100, 100, -20, 5, 2};  // low life too, but ageing is frozen
    put(0, {100, 100, -20, 5, 3});
    for (int slot : {2, 5, 9, 36}) put(slot, needy);
    CHECK(frame(c) == std::map<int, std::string>{{3, slot_line(2, kUnhappy)},
                                                 {4, slot_line(5, kUnhappy)},
                                                 {5, slot_line(9, kUnhappy)},
                                                 {6, "More Chao need care - check the companion."},
                                                 {7, "Lifespan frozen: natural death / rebirth paused."}});

    // Nothing with the setting off, without a screen-text function, outside a garden.
    CHECK(frame(c, nullptr).empty());
    c.ShowCareWarnings = false;
    CHECK(frame(c).empty());
    c.ShowCareWarnings = true;
    game::write<uint16_t>(game::addr::game_state, 5);
    CHECK(frame(c).empty());
}
