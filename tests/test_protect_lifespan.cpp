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
using Bytes = std::vector<uint8_t>;
using Titles = std::vector<std::string>;

namespace {

Bytes bytes_at(game_addr address, size_t n) {
    Bytes out(n);
    sim::peek(address, out.data(), n);
    return out;
}

void flip(game_addr address) {
    uint8_t b = static_cast<uint8_t>(bytes_at(address, 1)[0] ^ 0x40);
    sim::poke(address, &b, 1);
}

Bytes hook_to(game_addr site, game_addr target) {
    uint8_t b[5];
    game_memory::encode_call_rel32(site, target, b);
    return Bytes(b, b + 5);
}

// Every byte the patches may touch, to show that nothing was written.
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

bool logged(const std::string& text) {
    for (const auto& line : sim::recording().debug_lines)
        if (line == "[velmora] " + text + "\n") return true;
    return false;
}

// A fresh game, changed by `tamper` before the library is loaded; returns the patch bytes
// as they were at load.
template <class Tamper>
Bytes start(const TempDir& dir, Tamper tamper, const char* config = "ApiKey=abcdefgh\nKeepGardenAnimals=false\n") {
    sim::reset();
    dir.write("config.ini", config);
    tamper();
    Bytes before = patch_bytes();
    sim::load(dir.str().c_str());
    return before;
}
Bytes start(const TempDir& dir) {
    return start(dir, [] {});
}

const ModState& s() { return mod_state(); }

}  // namespace

TEST_CASE("on the supported build both patches install and verify, frame after frame") {
    TempDir dir;
    start(dir);
    CHECK(s().config.lifespan_frozen);
    CHECK(s().rebirth_hook_active);
    CHECK(link_worker().rebirth_available.load());
    CHECK(bytes_at(kSite1, 7) == Bytes(7, 0x90));
    CHECK(bytes_at(kSite2, 7) == Bytes(7, 0x90));
    Bytes site3 = bytes_at(kSite3, 16);
    CHECK(site3[0] == 0xC3);
    CHECK(Bytes(site3.begin() + 1, site3.end()) == Bytes(kSite3Tail, kSite3Tail + 15));
    CHECK(bytes_at(kHookSites[0], 5) == hook_to(kHookSites[0], sim::kGateAddress));
    CHECK(bytes_at(kHookSites[1], 5) == hook_to(kHookSites[1], sim::kGateAddress));
    CHECK(game_memory::is_game_code(kRebirthRoutine, kRebirthRoutineLength));
    CHECK(logged("manual rebirth: safe native behavior available"));
    for (int i = 0; i < 10; ++i) sim::frame();
    CHECK(box_titles().empty());
    CHECK(verify_rebirth_hook());
}

TEST_CASE("lifespan sites: accepted forms, and foreign code left alone with the player told") {
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
        {"a store to the other field", kSite2, {0x66, 0x89, 0x86, 0x8C, 0, 0, 0}, false},
        {"the ageing routine already returning", kSite3, {0xC3}, true},
        {"the ageing routine starting otherwise", kSite3, {0x55}, false},
        {"one byte of the ageing routine's body", kSite3 + 9, {0x00}, false},
    };
    TempDir dir;
    for (const Case& c : cases) {
        INFO(c.what);
        Bytes before = start(dir, [&] { sim::poke(c.address, c.bytes.data(), c.bytes.size()); });
        CHECK(s().config.lifespan_frozen == c.accepted);
        CHECK(s().rebirth_hook_active == c.accepted);  // only on top of lifespan protection
        if (c.accepted) continue;
        CHECK(patch_bytes() == before);
        CHECK(logged("natural lifecycle: ERROR: protection patch could not be verified"));
        CHECK(box_titles() == Titles{"Velmora - lifespan protection unavailable"});
    }
    // With protection switched off nothing is patched at all.
    Bytes before = start(dir, [] {}, "ApiKey=abcdefgh\nDisableNaturalDeath=false\n");
    CHECK(patch_bytes() == before);
    CHECK_FALSE(s().rebirth_hook_active);
}

TEST_CASE("one changed byte anywhere in the rebirth code, or another gate: no hook, lifespan kept") {
    TempDir dir;
    for (auto [address, length] : {std::pair{kRebirthRoutine, kRebirthRoutineLength},
                                   {kHelperRoutine, kHelperRoutineLength}, {kSetRoutine, kSetRoutineLength}}) {
        for (uint32_t offset : {0u, length / 3, length - 1}) {
            INFO("byte at " << address + offset);
            Bytes before = start(dir, [&] { flip(address + offset); });
            CHECK(s().config.lifespan_frozen);
            CHECK_FALSE(s().rebirth_hook_active);
            CHECK_FALSE(link_worker().rebirth_available.load());
            Bytes now = patch_bytes();
            CHECK(Bytes(now.end() - 10, now.end()) == Bytes(before.end() - 10, before.end()));  // hook sites
            CHECK(logged("manual rebirth: unavailable; no rebirth commands accepted"));
            CHECK(box_titles().empty());
        }
    }
    start(dir, [] {
        for (game_addr site : kHookSites) sim::poke(site, hook_to(site, 0x6F000000).data(), 5);
    });
    CHECK_FALSE(s().rebirth_hook_active);
    CHECK(bytes_at(kHookSites[0], 5) == hook_to(kHookSites[0], 0x6F000000));
}

TEST_CASE("a read-only or missing page is never written") {
    TempDir dir;
    // The page of sites 1 and 2 made read-only data, or the ageing routine's page missing.
    Bytes before = start(dir, [] { sim::set_protection(kSite1, 1, game::kPageReadOnly); });
    CHECK(patch_bytes() == before);
    CHECK_FALSE(s().config.lifespan_frozen);
    before = start(dir, [] { sim::unmap(kSite3, 1); });
    Bytes now = patch_bytes();
    CHECK(Bytes(now.begin(), now.begin() + 14) == Bytes(before.begin(), before.begin() + 14));  // sites 1, 2
    CHECK_FALSE(s().config.lifespan_frozen);
    // The rebirth routine's second page, where both hook sites lie, missing.
    start(dir, [] { sim::unmap(kHookSites[0], 1); });
    CHECK(s().config.lifespan_frozen);
    CHECK_FALSE(s().rebirth_hook_active);
    for (int i = 0; i < 3; ++i) sim::frame();
    CHECK(box_titles().empty());
}

TEST_CASE("a patch undone behind the mod's back is noticed on the next frame, once") {
    TempDir dir;
    start(dir);
    sim::frame();
    const Bytes store{0x66, 0x89, 0x86, 0x8C, 0, 0, 0};
    sim::poke(kSite1, store.data(), store.size());
    sim::frame();
    CHECK(logged("ERROR: another mod replaced lifespan protection; restart required"));
    CHECK(box_titles() == Titles{"Velmora - lifespan protection lost", "Velmora - rebirth paused"});
    CHECK_FALSE(s().config.lifespan_frozen);
    CHECK_FALSE(s().rebirth_hook_active);
    CHECK_FALSE(link_worker().lifespan_frozen.load());
    CHECK_FALSE(link_worker().rebirth_available.load());
    for (int i = 0; i < 10; ++i) sim::frame();
    CHECK(box_titles().size() == 2);
    CHECK(bytes_at(kSite1, 7) == store);  // not re-installed

    // Only the hook taken back, or a byte of the hooked routine changed: lifespan stays.
    for (game_addr changed : {kHookSites[1], kRebirthRoutine + 0x100}) {
        start(dir);
        sim::frame();
        if (changed == kHookSites[1])
            sim::poke(changed, kHookSiteBefore[1], 5);
        else
            flip(changed);
        sim::frame();
        CHECK(box_titles() == Titles{"Velmora - rebirth paused"});
        CHECK(s().config.lifespan_frozen);
        CHECK_FALSE(s().rebirth_hook_active);
    }
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
    // The game's rebirth for another Chao asks the guarded routine, which says no.
    CHECK(game::rebirth_routine(task + 0x100) == 0);
    CHECK(m.guarded_calls == 1);
    CHECK(run_manual_rebirth(0) == 0);  // 0 is never let through
    CHECK(m.guarded_calls == 2);
    // Hook broken: nothing runs.
    sim::poke(kHookSites[0], kHookSiteBefore[0], 5);
    int calls = m.rebirth_calls;
    CHECK(run_manual_rebirth(task) == 0);
    CHECK(m.rebirth_calls == calls);
}
