#include <doctest/doctest.h>

#include <functional>
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

// Both protections as the worker and the mod see them.
void check_state(bool lifespan, bool rebirth) {
    CHECK(s().config.lifespan_frozen == lifespan);
    CHECK(s().rebirth_hook_active == rebirth);
    CHECK(link_worker().rebirth_available.load() == rebirth);
}

}  // namespace

TEST_CASE("on the supported build both patches install and verify, frame after frame") {
    TempDir dir;
    start(dir);
    check_state(true, true);
    Bytes site3 = bytes_at(kSite3, 16);
    CHECK(bytes_at(kSite1, 7) == Bytes(7, 0x90));
    CHECK(bytes_at(kSite2, 7) == Bytes(7, 0x90));
    CHECK(site3[0] == 0xC3);
    CHECK(Bytes(site3.begin() + 1, site3.end()) == Bytes(kSite3Tail, kSite3Tail + 15));
    for (game_addr site : kHookSites) CHECK(bytes_at(site, 5) == hook_to(site, sim::kGateAddress));
    CHECK(game_memory::is_game_code(kRebirthRoutine, kRebirthRoutineLength));  // protection back
    for (int i = 0; i < 10; ++i) sim::frame();
    CHECK(box_titles().empty());
    CHECK(verify_rebirth_hook());
}

TEST_CASE("foreign code or memory at a patched place: nothing written there, the player told") {
    struct Case {
        std::string what;
        std::function<void()> tamper;
        bool lifespan, rebirth;  // the rebirth hook only on top of lifespan protection
    };
    auto poke = [](game_addr at, Bytes b) { return [=] { sim::poke(at, b.data(), b.size()); }; };
    std::vector<Case> cases = {
        {"already no-ops (another mod did the same)", poke(kSite1, Bytes(7, 0x90)), true, true},
        {"a store through another register", poke(kSite2, {0x66, 0x89, 0x87, 0x8A, 0, 0, 0}), true, true},
        {"a store with an index byte", poke(kSite1, {0x66, 0x89, 0x84, 0x8C, 0, 0, 0}), false, false},
        {"a store with an 8-bit displacement", poke(kSite1, {0x66, 0x89, 0x46, 0x8C, 0, 0, 0}), false, false},
        {"a store to the other field", poke(kSite2, {0x66, 0x89, 0x86, 0x8C, 0, 0, 0}), false, false},
        {"the ageing routine already returning", poke(kSite3, {0xC3}), true, true},
        {"the ageing routine starting otherwise", poke(kSite3, {0x55}), false, false},
        {"one byte of the ageing routine's body", poke(kSite3 + 9, {0x00}), false, false},
        {"sites 1 and 2 read-only", [] { sim::set_protection(kSite1, 1, game::kPageReadOnly); }, false, false},
        {"the ageing routine's page missing", [] { sim::unmap(kSite3, 1); }, false, false},
        {"the hook sites' page missing", [] { sim::unmap(kHookSites[0], 1); }, true, false},
        {"another gate", poke(kHookSites[0], hook_to(kHookSites[0], 0x6F000000)), true, false},
    };
    for (auto [address, length] : {std::pair{kRebirthRoutine, kRebirthRoutineLength},
                                   {kHelperRoutine, kHelperRoutineLength}, {kSetRoutine, kSetRoutineLength}})
        for (uint32_t offset : {0u, length / 3, length - 1})
            cases.push_back({"rebirth code byte " + std::to_string(address + offset), [=] { flip(address + offset); },
                             true, false});
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
    CHECK_FALSE(s().rebirth_hook_active);
}

TEST_CASE("a patch undone behind the mod's back is noticed on the next frame, once, and not re-installed") {
    TempDir dir;
    start(dir);
    sim::frame();
    const Bytes store{0x66, 0x89, 0x86, 0x8C, 0, 0, 0};
    sim::poke(kSite1, store.data(), store.size());
    sim::frame();
    CHECK(box_titles() == Titles{"Velmora - lifespan protection lost", "Velmora - rebirth paused"});
    check_state(false, false);
    CHECK_FALSE(link_worker().lifespan_frozen.load());
    for (int i = 0; i < 10; ++i) sim::frame();
    CHECK(box_titles().size() == 2);
    CHECK(bytes_at(kSite1, 7) == store);

    // Only the hook taken back, or a byte of the hooked routine changed: lifespan stays.
    for (bool hook : {true, false}) {
        start(dir);
        sim::frame();
        if (hook) sim::poke(kHookSites[1], kHookSiteBefore[1], 5);
        else flip(kRebirthRoutine + 0x100);
        sim::frame();
        CHECK(box_titles() == Titles{"Velmora - rebirth paused"});
        check_state(true, false);
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
    CHECK(game::rebirth_routine(task + 0x100) == 0);  // another Chao: the guarded routine says no
    CHECK(m.guarded_calls == 1);
    CHECK(run_manual_rebirth(0) == 0);  // 0 is never let through
    CHECK(m.guarded_calls == 2);
    sim::poke(kHookSites[0], kHookSiteBefore[0], 5);  // hook broken: nothing runs
    int calls = m.rebirth_calls;
    CHECK(run_manual_rebirth(task) == 0);
    CHECK(m.rebirth_calls == calls);
}
