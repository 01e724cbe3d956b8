#include <doctest/doctest.h>

#include <string>
#include <vector>

#include "host/mod_state.h"
#include "net/worker.h"
#include "protect/game_memory.h"
#include "protect/hook_entry.h"
#include "protect/lifespan.h"
#include "sim/game_code.h"
#include "sim/sim.h"
#include "test_support.h"

using namespace lifespan;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes_at(game_addr address, size_t n) {
    Bytes out(n);
    sim::peek(address, out.data(), n);
    return out;
}

void flip(game_addr address) {
    uint8_t b = 0;
    sim::peek(address, &b, 1);
    b ^= 0x40;
    sim::poke(address, &b, 1);
}

Bytes hook_to(game_addr site, game_addr target) {
    uint8_t b[5];
    game_memory::encode_call_rel32(site, target, b);
    return Bytes(b, b + 5);
}

// Everything the patches touch, to show that nothing was written.
struct Code {
    Bytes site1, site2, site3, hook0, hook1;
};
Code code_now() {
    return {bytes_at(kSite1, 7), bytes_at(kSite2, 7), bytes_at(kSite3, 16), bytes_at(kHookSites[0], 5),
            bytes_at(kHookSites[1], 5)};
}
bool same(const Code& a, const Code& b) {
    return a.site1 == b.site1 && a.site2 == b.site2 && a.site3 == b.site3 && a.hook0 == b.hook0 && a.hook1 == b.hook1;
}

std::vector<std::string> box_titles() {
    std::vector<std::string> titles;
    for (const auto& b : sim::recording().boxes) titles.push_back(b.title);
    return titles;
}

bool logged(const std::string& text) {
    for (const auto& line : sim::recording().debug_lines)
        if (line == "[velmora] " + text + "\n") return true;
    return false;
}

const char* const kConfig = "ApiKey=abcdefgh\nKeepGardenAnimals=false\n";

// A fresh game, changed by `tamper` before the library is loaded.
template <class Tamper>
void start(const TempDir& dir, Tamper tamper, const char* config = kConfig) {
    sim::reset();
    dir.write("config.ini", config);
    tamper();
    sim::load(dir.str().c_str());
}

void start(const TempDir& dir) {
    start(dir, [] {});
}

}  // namespace

TEST_CASE("on the supported build both patches install, verify, and keep the code executable") {
    TempDir dir;
    start(dir);
    const ModState& s = mod_state();
    CHECK(s.config.lifespan_frozen);
    CHECK(s.rebirth_hook_active);
    CHECK(link_worker().lifespan_frozen.load());
    CHECK(link_worker().rebirth_available.load());
    CHECK(bytes_at(kSite1, 7) == Bytes(7, 0x90));
    CHECK(bytes_at(kSite2, 7) == Bytes(7, 0x90));
    Bytes site3 = bytes_at(kSite3, 16);
    CHECK(site3[0] == 0xC3);
    CHECK(Bytes(site3.begin() + 1, site3.end()) == Bytes(kSite3Tail, kSite3Tail + 15));
    CHECK(bytes_at(kHookSites[0], 5) == hook_to(kHookSites[0], sim::kGateAddress));
    CHECK(bytes_at(kHookSites[1], 5) == hook_to(kHookSites[1], sim::kGateAddress));
    CHECK(game_memory::is_game_code(kRebirthRoutine, kRebirthRoutineLength));
    CHECK(game_memory::is_game_code(kSite1, 7));
    CHECK(logged("manual rebirth: safe native behavior available"));
    CHECK(logged("natural lifecycle: lifespan frozen; natural death/reincarnation disabled"));
    CHECK(box_titles().empty());

    for (int i = 0; i < 10; ++i) sim::frame();
    CHECK(box_titles().empty());
    CHECK(verify_lifespan_protection());
    CHECK(verify_rebirth_hook());
    // A second installation finds everything in place.
    Code before = code_now();
    CHECK(install_lifespan_protection());
    CHECK(install_rebirth_hook());
    CHECK(same(before, code_now()));
}

TEST_CASE("lifespan sites: which forms are accepted") {
    struct Case {
        const char* what;
        game_addr address;
        Bytes bytes;
        bool accepted;
    };
    const Case cases[] = {
        {"already no-ops (another mod did the same)", kSite1, Bytes(7, 0x90), true},
        {"a store through another register", kSite2, {0x66, 0x89, 0x87, 0x8A, 0, 0, 0}, true},
        {"a store with an index byte", kSite1, {0x66, 0x89, 0x84, 0x8C, 0, 0, 0}, false},
        {"a store with an 8-bit displacement", kSite1, {0x66, 0x89, 0x46, 0x8C, 0, 0, 0}, false},
        {"a store to the wrong field", kSite2, {0x66, 0x89, 0x86, 0x8C, 0, 0, 0}, false},
        {"six no-ops and a stray byte", kSite2, {0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x00}, false},
        {"the ageing routine already returning", kSite3, {0xC3}, true},
        {"the ageing routine starting otherwise", kSite3, {0x55}, false},
    };
    TempDir dir;
    for (const Case& c : cases) {
        INFO(c.what);
        start(dir, [&] { sim::poke(c.address, c.bytes.data(), c.bytes.size()); });
        CHECK(mod_state().config.lifespan_frozen == c.accepted);
        CHECK(mod_state().rebirth_hook_active == c.accepted);
    }
    for (int i = 0; i < 15; ++i) {
        INFO("ageing routine byte " << i + 1);
        start(dir, [&] { flip(kSite3 + 1 + static_cast<game_addr>(i)); });
        CHECK_FALSE(mod_state().config.lifespan_frozen);
    }
}

TEST_CASE("foreign lifespan code is left alone, logged and the player is told") {
    TempDir dir;
    Code original;
    start(dir, [&] {
        flip(kSite3 + 9);
        original = code_now();
    });
    CHECK(same(original, code_now()));  // site 1 and 2 untouched too
    CHECK_FALSE(mod_state().config.lifespan_frozen);
    CHECK_FALSE(mod_state().rebirth_hook_active);  // only on top of lifespan protection
    CHECK(logged("natural lifecycle: ERROR: protection patch could not be verified"));
    CHECK(logged("manual rebirth: unavailable; no rebirth commands accepted"));
    CHECK(box_titles() == std::vector<std::string>{"Velmora - lifespan protection unavailable"});
    for (int i = 0; i < 5; ++i) sim::frame();
    CHECK(box_titles().size() == 1);

    // With protection switched off nothing is patched at all.
    start(
        dir, [&] { original = code_now(); }, "ApiKey=abcdefgh\nDisableNaturalDeath=false\n");
    CHECK(same(original, code_now()));
    CHECK_FALSE(mod_state().rebirth_hook_active);
}

TEST_CASE("one changed byte anywhere in the rebirth code: no hook, lifespan still frozen") {
    TempDir dir;
    struct Range {
        game_addr address;
        uint32_t length;
    };
    const Range ranges[] = {{kRebirthRoutine, kRebirthRoutineLength},
                            {kHelperRoutine, kHelperRoutineLength},
                            {kSetRoutine, kSetRoutineLength}};
    for (const Range& r : ranges) {
        for (uint32_t offset : {0u, r.length / 3, r.length - 1}) {
            game_addr at = r.address + offset;
            INFO("byte at " << at);
            Code original;
            start(dir, [&] {
                flip(at);
                original = code_now();
            });
            CHECK(mod_state().config.lifespan_frozen);
            CHECK_FALSE(mod_state().rebirth_hook_active);
            CHECK_FALSE(link_worker().rebirth_available.load());
            CHECK(bytes_at(kHookSites[0], 5) == original.hook0);
            CHECK(bytes_at(kHookSites[1], 5) == original.hook1);
            CHECK(logged("manual rebirth: unavailable; no rebirth commands accepted"));
            CHECK(box_titles().empty());
        }
    }
    // Hook sites already calling some other gate.
    start(dir, [] {
        for (game_addr site : kHookSites) {
            Bytes other = hook_to(site, 0x6F000000);
            sim::poke(site, other.data(), 5);
        }
    });
    CHECK_FALSE(mod_state().rebirth_hook_active);
    CHECK(bytes_at(kHookSites[0], 5) == hook_to(kHookSites[0], 0x6F000000));
}

TEST_CASE("a read-only or missing page is never written") {
    TempDir dir;
    // The page of site 1 made read-only data: not code, so no lifespan site is written.
    Code original;
    start(dir, [&] {
        sim::set_protection(kSite1, 1, game::kPageReadOnly);
        original = code_now();
    });
    CHECK(same(original, code_now()));
    CHECK_FALSE(mod_state().config.lifespan_frozen);

    // The ageing routine's page missing.
    start(dir, [&] {
        sim::unmap(kSite3, 1);
        original = code_now();
    });
    CHECK(bytes_at(kSite1, 7) == original.site1);
    CHECK(bytes_at(kSite2, 7) == original.site2);
    CHECK_FALSE(mod_state().config.lifespan_frozen);

    // The second page of the rebirth routine, where both hook sites lie, missing.
    start(dir, [] { sim::unmap(kHookSites[0], 1); });
    CHECK(mod_state().config.lifespan_frozen);
    CHECK_FALSE(mod_state().rebirth_hook_active);
    for (int i = 0; i < 3; ++i) sim::frame();
    CHECK(box_titles().empty());
}

TEST_CASE("a patch undone behind the mod's back is noticed on the next frame, once") {
    TempDir dir;
    start(dir);
    for (int i = 0; i < 3; ++i) sim::frame();
    const Bytes store{0x66, 0x89, 0x86, 0x8C, 0, 0, 0};
    sim::poke(kSite1, store.data(), store.size());
    sim::frame();
    CHECK(logged("ERROR: another mod replaced lifespan protection; restart required"));
    CHECK(box_titles() ==
          std::vector<std::string>{"Velmora - lifespan protection lost", "Velmora - rebirth paused"});
    CHECK_FALSE(mod_state().config.lifespan_frozen);
    CHECK_FALSE(mod_state().rebirth_hook_active);
    CHECK_FALSE(link_worker().lifespan_frozen.load());
    CHECK_FALSE(link_worker().rebirth_available.load());
    for (int i = 0; i < 10; ++i) sim::frame();
    CHECK(box_titles().size() == 2);
    CHECK(bytes_at(kSite1, 7) == store);  // not re-installed

    // Only the hook taken back: lifespan protection stays.
    start(dir);
    sim::frame();
    sim::poke(kHookSites[1], kHookSiteBefore[1], 5);
    sim::frame();
    CHECK(box_titles() == std::vector<std::string>{"Velmora - rebirth paused"});
    CHECK(mod_state().config.lifespan_frozen);
    CHECK_FALSE(mod_state().rebirth_hook_active);
    CHECK_FALSE(logged("ERROR: another mod replaced lifespan protection; restart required"));

    // A byte of the rebirth routine changed after hooking.
    start(dir);
    sim::frame();
    flip(kRebirthRoutine + 0x100);
    sim::frame();
    CHECK(box_titles() == std::vector<std::string>{"Velmora - rebirth paused"});

    // The ageing routine's ret replaced by its original first byte.
    start(dir);
    const uint8_t push_ecx = 0x51;
    sim::poke(kSite3, &push_ecx, 1);
    CHECK_FALSE(verify_lifespan_protection());
    CHECK_FALSE(verify_rebirth_hook());
}

TEST_CASE("manual rebirth lets the game's rebirth through for the one task only") {
    TempDir dir;
    start(dir);
    sim::RebirthModel& m = sim::rebirth_model();
    const uint32_t task = 0x10004000;
    CHECK(run_manual_rebirth(task) == 1);
    CHECK(m.reborn == std::vector<uint32_t>{task});
    CHECK(m.guarded_calls == 0);
    CHECK(velmora_rebirth_authorized == 0);

    // The game running its rebirth for another Chao asks the guarded routine, which says no.
    CHECK(game::rebirth_routine(task + 0x100) == 0);
    CHECK(m.guarded_calls == 1);
    // The gate never lets argument 0 through.
    CHECK(run_manual_rebirth(0) == 0);
    CHECK(m.guarded_calls == 2);

    // Hook broken: nothing runs.
    sim::poke(kHookSites[0], kHookSiteBefore[0], 5);
    int calls = m.rebirth_calls;
    CHECK(run_manual_rebirth(task) == 0);
    CHECK(m.rebirth_calls == calls);
}
