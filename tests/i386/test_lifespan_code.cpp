// The lifespan patch and the rebirth hook written by the real installers into the game's
// code at its real addresses, and that code then run as 32-bit machine code: the patched
// stores and the ageing routine, and the rebirth routine whose two calls now reach the
// rebirth gate.
#include <doctest/doctest.h>

#include <cstring>

#include "protect/game_memory.h"
#include "protect/hook_entry.h"
#include "protect/lifespan.h"
#include "tests/i386/call_harness.h"
#include "tests/i386/game_image.h"
#include "tests/i386/game_pages.h"
#include "tests/i386/memory_faults.h"
#include "tests/i386/run_game_code.h"
#include "tests/i386/stand_ins.h"

extern "C" void velmora_rebirth_gate();

// What the rebirth routine saw in ECX and EDX after each of its two calls.
extern "C" {
volatile uint32_t g_n_ecx[2], g_n_edx[2];
}

namespace {

using namespace lifespan;
using run_game_code::kStandInArea;
using run_game_code::protection_at;
using run_game_code::Ran;
constexpr game_addr kRecord = 0x01D10000;  // a Chao record the store sites write to
constexpr uint32_t kNEcx[2] = {0x0C1C0C1C, 0x0C2C0C2C}, kNEdx[2] = {0x0D1D0D1D, 0x0D2D0D2D};

void put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
uint32_t addr_of(const volatile void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

void jmp_to(std::vector<uint8_t>& v, game_addr at, game_addr to) {
    uint8_t b[5];
    game_memory::encode_jmp_rel32(at + static_cast<game_addr>(v.size()), to, b);
    v.insert(v.end(), b, b + 5);
}

// mov ecx, imm32; mov edx, imm32
void set_ecx_edx(std::vector<uint8_t>& v, uint32_t ecx, uint32_t edx) {
    v.push_back(0xB9), put32(v, ecx);
    v.push_back(0xBA), put32(v, edx);
}
// mov [ecx slot], ecx; mov [edx slot], edx
void record_ecx_edx(std::vector<uint8_t>& v, int call) {
    v.push_back(0x89), v.push_back(0x0D), put32(v, addr_of(&g_n_ecx[call]));
    v.push_back(0x89), v.push_back(0x15), put32(v, addr_of(&g_n_edx[call]));
}

// The rebirth routine N as executable code around its two call sites (whose bytes, the
// game's calls of R, come from the image): the task from its stack argument into EAX for
// each call, known ECX and EDX set before each and recorded after, the sum of both answers
// returned. The stores after each site say also that the call returned there.
std::vector<game_image::Overlay> rebirth_routine_code() {
    const game_addr site0 = kHookSites[0], site1 = kHookSites[1];
    std::vector<uint8_t> head = {0x8B, 0x44, 0x24, 0x04};  // mov eax, [esp+4]
    set_ecx_edx(head, kNEcx[0], kNEdx[0]);
    jmp_to(head, kRebirthRoutine, site0);
    std::vector<uint8_t> middle;
    record_ecx_edx(middle, 0);
    middle.insert(middle.end(), {0x50, 0x8B, 0x44, 0x24, 0x08});  // push eax; mov eax, [esp+8]
    set_ecx_edx(middle, kNEcx[1], kNEdx[1]);
    jmp_to(middle, site0 + 5, site1);
    std::vector<uint8_t> tail;
    record_ecx_edx(tail, 1);
    tail.insert(tail.end(), {0x5A, 0x01, 0xD0, 0xC3});  // pop edx; add eax, edx; ret
    return {{kRebirthRoutine, head}, {site0 + 5, middle}, {site1 + 5, tail}};
}

void place_fresh_game() {
    static bool built = [] {
        std::vector<game_image::Overlay> overlays = game_image::stand_ins_behind_jumps(kStandInArea);
        if (overlays.size() != STAND_IN_COUNT) return false;
        for (auto& o : rebirth_routine_code()) overlays.push_back(o);
        // The store sites return to their caller after their 7 bytes.
        overlays.push_back({kSite1 + kStoreSiteLength, {game_memory::kOpRet}});
        overlays.push_back({kSite2 + kStoreSiteLength, {game_memory::kOpRet}});
        return game_image::build(overlays);
    }();
    REQUIRE(built);
    REQUIRE(game_image::place());
    const uint8_t zero[0x100] = {};
    REQUIRE(game_pages::place_data(kRecord, zero, sizeof zero));
    lifespan::reset();
    stand_ins::reset();
    memory_faults::clear();
}

const MachineRegs kRegs{0xA0A01234, 0xC0C0C0C0, 0xD0D0D0D0, 0xB0B0B0B0, kRecord, 0xD1D1D1D1, 0xB9B9B9B9};

Ran run(game_addr at, const MachineRegs& in = kRegs, std::vector<uint32_t> words = {}) {
    return run_game_code::run(at, in, std::move(words));
}
void check_untouched(const Ran& r) { run_game_code::check_untouched(r, kRegs); }
void check_callee_saved(const Ran& r) { run_game_code::check_callee_saved(r, kRegs); }

uint16_t record_u16(uint32_t offset) { return game::read<uint16_t>(kRecord + offset); }

StandInCall& guarded() { return stand_ins::call(STAND_IN_GUARDED_LIFECYCLE); }

}  // namespace

TEST_CASE("lifespan patch: the game's stores of lifespan and lifespan2 and its ageing routine run as no-ops") {
    place_fresh_game();
    // The game's own code, before: each site stores AX into the record at ESI.
    run(kSite1);
    run(kSite2, MachineRegs{0x0000BEEF, 0, 0, 0, kRecord, 0, 0});
    CHECK(record_u16(0x8C) == 0x1234);
    CHECK(record_u16(0x8A) == 0xBEEF);
    game::write<uint32_t>(kRecord + 0x88, 0);
    game::write<uint32_t>(kRecord + 0x8C, 0);

    REQUIRE(install_lifespan_protection());
    CHECK(verify_lifespan_protection());
    for (game_addr site : {kSite1, kSite2, kSite3}) CHECK(protection_at(site) == game::kPageExecuteRead);
    CHECK(std::memcmp(game::game_ptr<const uint8_t>(kSite3 + 1), kSite3Tail, sizeof kSite3Tail) == 0);

    check_untouched(run(kSite1));
    check_untouched(run(kSite2));
    CHECK(record_u16(0x8C) == 0);
    CHECK(record_u16(0x8A) == 0);
    // The ageing routine returns at once to its caller, leaving everything as it was.
    check_untouched(run(kSite3));
}

TEST_CASE("rebirth hook: the game's rebirth routine reaches the gate from both sites, ECX and EDX kept") {
    place_fresh_game();
    // Unhooked, the routine's calls reach R itself.
    guarded().result = 0x50;
    Ran r = run(kRebirthRoutine, kRegs, {0x01C3A000});
    CHECK(r.out.eax == 0xA0);
    CHECK(guarded().calls == 2);
    CHECK(guarded().eax == 0x01C3A000);
    CHECK(guarded().return_address == kHookSites[1] + 5);

    REQUIRE(install_lifespan_protection());
    REQUIRE(install_rebirth_hook());
    CHECK(verify_rebirth_hook());
    const game_addr gate = static_cast<game_addr>(reinterpret_cast<uintptr_t>(&velmora_rebirth_gate));
    for (game_addr site : kHookSites) {
        game_addr target = 0;
        REQUIRE(game_memory::decode_rel32(site, game::game_ptr<const uint8_t>(site), game_memory::kOpCallRel32, target));
        CHECK(target == gate);
        CHECK(protection_at(site) == game::kPageExecuteRead);
    }

    SUBCASE("the manual rebirth: both calls answered 1 by the gate, R not asked") {
        stand_ins::reset();
        std::memset((void*)g_n_ecx, 0, sizeof g_n_ecx);
        r = run(manual_rebirth_address(), kRegs, {0x01C3A000});
        CHECK(r.out.eax == 2);
        CHECK(guarded().calls == 0);
        CHECK(velmora_rebirth_authorized == 0);  // put back after the one call
        check_callee_saved(r);
        for (int call = 0; call < 2; ++call) {
            CHECK(g_n_ecx[call] == kNEcx[call]);
            CHECK(g_n_edx[call] == kNEdx[call]);
        }
    }
    SUBCASE("any other task, and task 0 even with nothing authorised: R asked with it, its answer back") {
        struct Case {
            uint32_t authorized, task;
        };
        for (Case k : {Case{0x01C3A000, 0x01C3A100}, Case{0, 0x01C3A100}, Case{0, 0}}) {
            CAPTURE(k.task);
            stand_ins::reset();
            std::memset((void*)g_n_ecx, 0, sizeof g_n_ecx);
            guarded().result = 0x50;
            velmora_rebirth_authorized = k.authorized;
            r = run(kRebirthRoutine, kRegs, {k.task});
            velmora_rebirth_authorized = 0;
            CHECK(r.out.eax == 0xA0);
            CHECK(guarded().calls == 2);
            CHECK(guarded().eax == k.task);
            check_callee_saved(r);
            // R changed both; the gate gave the routine its own back.
            for (int call = 0; call < 2; ++call) {
                CHECK(g_n_ecx[call] == kNEcx[call]);
                CHECK(g_n_edx[call] == kNEdx[call]);
            }
        }
    }
    SUBCASE("the gate asked directly for the authorised task answers 1 with ECX and EDX kept") {
        velmora_rebirth_authorized = 0x01C3A000;
        stand_ins::reset();
        r = run(gate, MachineRegs{0x01C3A000, 0x11111111, 0x22222222, 1, 2, 3, 4});
        velmora_rebirth_authorized = 0;
        CHECK(r.out.eax == 1);
        CHECK(r.out.ecx == 0x11111111);
        CHECK(r.out.edx == 0x22222222);
        CHECK(guarded().calls == 0);
    }
}

TEST_CASE("the installers refuse game code with one foreign byte and write nothing") {
    struct Foreign {
        const char* what;
        game_addr address;
        uint8_t flip;  // xor-ed into the byte
    };
    SUBCASE("lifespan protection") {
        const Foreign cases[] = {
            {"site 1 store with an index byte", kSite1 + 2, 0x02},
            {"site 2 storing to another offset", kSite2 + 3, 0x01},
            {"site 3 routine", kSite3 + 9, 0x01},
        };
        for (const Foreign& f : cases) {
            CAPTURE(f.what);
            place_fresh_game();
            REQUIRE(game_image::poke(f.address, game::read<uint8_t>(f.address) ^ f.flip));
            CHECK_FALSE(install_lifespan_protection());
            std::string why;
            CHECK_MESSAGE(game_image::intact(&why), why);
        }
    }
    SUBCASE("rebirth hook") {
        const Foreign cases[] = {
            {"rebirth routine", kRebirthRoutine + 0x180, 0xFF},
            {"hook site", kHookSites[1] + 2, 0x01},
            {"helper routine", kHelperRoutine + 3, 0xFF},
            {"routine setter", kSetRoutine + 7, 0xFF},
        };
        for (const Foreign& f : cases) {
            CAPTURE(f.what);
            place_fresh_game();
            REQUIRE(install_lifespan_protection());
            game_image::take_live_as_placed();
            REQUIRE(game_image::poke(f.address, game::read<uint8_t>(f.address) ^ f.flip));
            CHECK_FALSE(install_rebirth_hook());
            std::string why;
            CHECK_MESSAGE(game_image::intact(&why), why);
        }
    }
}

TEST_CASE("a refused protection change writes nothing; a failed flush leaves the patch unverified") {
    std::string why;
    SUBCASE("lifespan protection, site 3 refused: sites 1 and 2 get their protection back") {
        place_fresh_game();
        memory_faults::g_protect_refused_at = kSite3;
        CHECK_FALSE(install_lifespan_protection());
        CHECK_MESSAGE(game_image::intact(&why), why);
    }
    SUBCASE("rebirth hook, site 1 refused: site 0 untouched") {
        place_fresh_game();
        REQUIRE(install_lifespan_protection());
        game_image::take_live_as_placed();
        memory_faults::g_protect_refused_at = kHookSites[1];
        CHECK_FALSE(install_rebirth_hook());
        CHECK_MESSAGE(game_image::intact(&why), why);
    }
    SUBCASE("lifespan protection, flush failed: written, protections back, not verified") {
        place_fresh_game();
        memory_faults::g_flush_fails = true;
        CHECK_FALSE(install_lifespan_protection());
        CHECK_FALSE(verify_lifespan_protection());
        CHECK(game::read<uint8_t>(kSite3) == game_memory::kOpRet);
        for (game_addr site : {kSite1, kSite2, kSite3}) CHECK(protection_at(site) == game::kPageExecuteRead);
    }
    memory_faults::clear();
}
