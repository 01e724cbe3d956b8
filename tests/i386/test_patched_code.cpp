// The lifespan patch, the rebirth hook and the animal patch written by the real installers
// into the game's code at its real addresses, and the patched code then run as 32-bit machine
// code the way the game's code enters it, with every register checked.
#include <doctest/doctest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "animals/animal_hooks.h"
#include "animals/animal_reserve.h"
#include "host/log.h"
#include "platform/files.h"
#include "protect/game_memory.h"
#include "protect/hook_entry.h"
#include "protect/lifespan.h"
#include "tests/i386/call_harness.h"
#include "tests/i386/game_image.h"
#include "tests/i386/game_pages.h"
#include "tests/i386/stand_ins.h"

extern "C" void velmora_rebirth_gate();

// What the rebirth routine saw in ECX and EDX after each of its two calls.
extern "C" {
volatile uint32_t g_n_ecx[2], g_n_edx[2];
}

namespace {

using namespace lifespan;
using namespace animals;

constexpr game_addr kStandInArea = 0x007E0000;  // the stand-ins' bodies, behind jumps from the game's addresses
constexpr game_addr kRecord = 0x01D10000;       // a Chao record the store sites write to
constexpr game_addr kLimitReader = 0x0052B3D0;  // game code that reads the animal limit
constexpr game_addr kSaveText = 0x01D20000;
constexpr char kSavePath[] = "C:\\SA2\\resource\\gd_PC\\SAVEDATA\\SONIC2B__S01";
constexpr int32_t kSlot = 1;
constexpr uint32_t kAnimals = 2, kFruit = 3;
constexpr uint32_t kNEcx[2] = {0x0C1C0C1C, 0x0C2C0C2C}, kNEdx[2] = {0x0D1D0D1D, 0x0D2D0D2D};

// The game's registers at a site: ESI the record the lifespan stores write to, ECX the item kind.
const MachineRegs kRegs{0xA0A01234, kAnimals, 0xD0D0D0D0, 0xB0B0B0B0, kRecord, 0xD1D1D1D1, 0xB9B9B9B9};

// Machine code laid from `at`: opcodes, 32-bit immediates and jumps.
struct Code {
    game_addr at;
    std::vector<uint8_t> bytes;
    Code& op(std::initializer_list<uint8_t> b) { return bytes.insert(bytes.end(), b), *this; }
    Code& imm(uint32_t x) { return op({uint8_t(x), uint8_t(x >> 8), uint8_t(x >> 16), uint8_t(x >> 24)}); }
    Code& imm(const volatile uint32_t* p) { return imm(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p))); }
    Code& jmp(game_addr to) {
        op({0xE9});
        return imm(to - (at + static_cast<game_addr>(bytes.size()) + 4));
    }
    operator game_image::Overlay() const { return {at, bytes}; }
};

// Executable game code around the patched places (the bytes at each place come from the image).
// The rebirth routine N: the task from its stack argument into EAX for each of its two calls,
// known ECX and EDX set before each (mov ecx/edx, imm) and stored after (which says also that
// the call returned there), the sum of both answers returned. The lifespan stores and animal
// sites 0 to 2 return after their instruction; sites 3 and 4 push the caller's first stack
// word, call and remove it, as the game's callers do.
std::vector<game_image::Overlay> game_callers() {
    const game_addr site0 = kHookSites[0], site1 = kHookSites[1];
    std::vector<game_image::Overlay> v = {
        Code{kRebirthRoutine, {}}.op({0x8B, 0x44, 0x24, 0x04, 0xB9}).imm(kNEcx[0]).op({0xBA}).imm(kNEdx[0]).jmp(site0),
        Code{site0 + 5, {}}.op({0x89, 0x0D}).imm(&g_n_ecx[0]).op({0x89, 0x15}).imm(&g_n_edx[0])
            .op({0x50, 0x8B, 0x44, 0x24, 0x08, 0xB9}).imm(kNEcx[1]).op({0xBA}).imm(kNEdx[1]).jmp(site1),  // push eax
        Code{site1 + 5, {}}.op({0x89, 0x0D}).imm(&g_n_ecx[1]).op({0x89, 0x15}).imm(&g_n_edx[1])
            .op({0x5A, 0x01, 0xD0, 0xC3}),  // pop edx; add eax, edx; ret
        {kSite1 + kStoreSiteLength, {game_memory::kOpRet}},
        {kSite2 + kStoreSiteLength, {game_memory::kOpRet}},
        {kLimitReader, {0xA1, 0x40, 0xB8, 0x8A, 0x00, 0xC3}}};  // mov eax, [limit]; ret
    for (int i = 0; i < 3; ++i) v.push_back({kSites[i].address + 5, {game_memory::kOpRet}});
    for (int i = 3; i < 5; ++i) {
        v.push_back({kSites[i].address - 4, {0xFF, 0x74, 0x24, 0x04}});  // push dword [esp+4]
        v.push_back({kSites[i].address + 5, {0x83, 0xC4, 0x04, 0xC3}});  // add esp, 4; ret
    }
    return v;
}

// A mod folder of its own, removed when the program ends.
const std::string& mod_dir() {
    static struct Dir {
        char name[32] = "/tmp/velmora-i386-XXXXXX";
        std::string path = mkdtemp(name) ? name : "";
        ~Dir() {
            if (!path.empty()) std::filesystem::remove_all(path);
        }
    } dir;
    return dir.path;
}

void place_fresh_game() {
    static bool built = [] {
        std::vector<game_image::Overlay> overlays = game_image::stand_ins_behind_jumps(kStandInArea);
        if (overlays.size() != STAND_IN_COUNT) return false;
        for (auto& o : game_callers()) overlays.push_back(o);
        return game_image::build(overlays);
    }();
    REQUIRE(built);
    REQUIRE(game_image::place());
    const uint8_t zero[0x100] = {};
    REQUIRE(game_pages::place_data(kRecord, zero, sizeof zero));
    // The active save file in slot 1, no save running.
    REQUIRE(game_pages::place_data(kSaveText, kSavePath, sizeof kSavePath));
    const uint32_t words[2] = {0, kSaveText};  // save_busy, save_path
    REQUIRE(game_pages::place_data(game::addr::save_busy, words, sizeof words));
    lifespan::reset();
    animals::reset();
    memory_faults::clear();
    ModLog::set_log_sink(&ModLog::game_sink);  // the log goes to the game's debug print routine, as in the game
    platform::set_file_fault_hook(nullptr, nullptr);
    REQUIRE_FALSE(mod_dir().empty());
    platform::file_delete(mod_dir() + reserve_file_name(kSlot, save_key_of(normalize_save_path(kSavePath))));
    stand_ins::reset();
    stand_ins::call(STAND_IN_CURRENT_GARDEN).result = 2;
}

struct Ran {
    MachineRegs out;
    int32_t esp_change;
};

Ran run(game_addr at, const MachineRegs& in = kRegs, std::vector<uint32_t> words = {}) {
    Ran r{};
    velmora_call_machine(at, &in, words.data(), static_cast<uint32_t>(words.size()), &r.out, &r.esp_change);
    return r;
}

// Registers `first` (0 eax, 3 ebx) to ebp of `got` as in `want`.
void check_regs(const MachineRegs& got, const MachineRegs& want, int first = 0) {
    static const char* const names[] = {"eax", "ecx", "edx", "ebx", "esi", "edi", "ebp"};
    for (int i = first; i < 7; ++i) {
        CAPTURE(names[i]);
        CHECK((&got.eax)[i] == (&want.eax)[i]);
    }
}

// Back at the caller with the stack as the call left it and every callee-saved register (with
// `all`, every register) as it was.
void check_back(const Ran& r, bool all = false, const MachineRegs& in = kRegs) {
    check_regs(r.out, in, all ? 0 : 3);
    CHECK(r.esp_change == 0);
}

// The game's routine was entered with every register the game's code had at the site.
void check_entered_as_game(const StandInCall& c, const MachineRegs& in = kRegs) {
    check_regs(MachineRegs{c.eax, c.ecx, c.edx, c.ebx, c.esi, c.edi, c.ebp}, in);
}

uint32_t protection_at(game_addr address) {
    game::RegionInfo r{};
    game::query_region(address, r);
    return r.protect;
}

// The call at `site` leads to `target`, on a page left execute-read.
void check_calls(game_addr site, game_addr target) {
    game_addr seen = 0;
    REQUIRE(game_memory::decode_rel32(site, game::game_ptr<const uint8_t>(site), game_memory::kOpCallRel32, seen));
    CHECK(seen == target);
    CHECK(protection_at(site) == game::kPageExecuteRead);
}

uint16_t record_u16(uint32_t offset) { return game::read<uint16_t>(kRecord + offset); }
StandInCall& routine(int which) { return stand_ins::call(which); }
StandInCall& guarded() { return routine(STAND_IN_GUARDED_LIFECYCLE); }

}  // namespace

TEST_CASE("lifespan patch: the game's stores of lifespan and lifespan2 and its ageing routine run as no-ops") {
    place_fresh_game();
    // The game's own code, before: each site stores AX into the record at ESI.
    run(kSite1);
    run(kSite2, MachineRegs{0x0000BEEF, 0, 0, 0, kRecord, 0, 0});
    CHECK(record_u16(0x8C) == 0x1234);
    CHECK(record_u16(0x8A) == 0xBEEF);
    game::write<uint64_t>(kRecord + 0x88, 0);

    REQUIRE(install_lifespan_protection());
    CHECK(verify_lifespan_protection());
    for (game_addr site : {kSite1, kSite2, kSite3}) CHECK(protection_at(site) == game::kPageExecuteRead);
    CHECK(std::memcmp(game::game_ptr<const uint8_t>(kSite3 + 1), kSite3Tail, sizeof kSite3Tail) == 0);
    for (game_addr site : {kSite1, kSite2, kSite3}) check_back(run(site), true);  // the ageing routine returns at once
    CHECK(record_u16(0x8C) == 0);
    CHECK(record_u16(0x8A) == 0);
}

TEST_CASE("rebirth hook: the game's rebirth routine reaches the gate from both sites, ECX and EDX kept") {
    place_fresh_game();
    guarded().result = 0x50;  // unhooked, the routine's calls reach R itself
    Ran r = run(kRebirthRoutine, kRegs, {0x01C3A000});
    CHECK(r.out.eax == 0xA0);
    CHECK(guarded().calls == 2);
    CHECK(guarded().eax == 0x01C3A000);
    CHECK(guarded().return_address == kHookSites[1] + 5);

    REQUIRE(install_lifespan_protection());
    REQUIRE(install_rebirth_hook());
    CHECK(verify_rebirth_hook());
    const game_addr gate = static_cast<game_addr>(reinterpret_cast<uintptr_t>(&velmora_rebirth_gate));
    for (game_addr site : kHookSites) check_calls(site, gate);

    // The manual rebirth gets 1 from the gate at both calls, R not asked; any other task, and
    // task 0 even with nothing authorised, asks R with it and gets its answer back.
    struct Case {
        game_addr entry;
        uint32_t authorized, task, answer, r_calls;
    };
    for (Case k : {Case{manual_rebirth_address(), 0, 0x01C3A000, 2, 0}, Case{kRebirthRoutine, 0x01C3A000, 0x01C3A100, 0xA0, 2},
                   Case{kRebirthRoutine, 0, 0x01C3A100, 0xA0, 2}, Case{kRebirthRoutine, 0, 0, 0xA0, 2}}) {
        CAPTURE(k.task);
        stand_ins::reset();
        std::memset((void*)g_n_ecx, 0, sizeof g_n_ecx);
        guarded().result = 0x50;
        velmora_rebirth_authorized = k.authorized;
        r = run(k.entry, kRegs, {k.task});
        CHECK(velmora_rebirth_authorized == k.authorized);  // the manual rebirth puts it back after its call
        velmora_rebirth_authorized = 0;
        CHECK(r.out.eax == k.answer);
        CHECK(guarded().calls == k.r_calls);
        if (k.r_calls) CHECK(guarded().eax == k.task);
        check_back(r);
        for (int call = 0; call < 2; ++call) {  // R changed both; the gate gave the routine its own back
            CHECK(g_n_ecx[call] == kNEcx[call]);
            CHECK(g_n_edx[call] == kNEdx[call]);
        }
    }
}

TEST_CASE("animal patch: the five calls reach the entry code, the reserve and the game's routines") {
    place_fresh_game();
    CHECK(run(kLimitReader).out.eax == kLimitBefore);  // the limit as the game's code reads it
    REQUIRE(install_animal_patch(mod_dir(), kSlot));
    REQUIRE(animal_patch_intact());
    CHECK(run(kLimitReader).out.eax == kLimitAfter);
    for (int i = 0; i < 5; ++i) check_calls(kSites[i].address, animal_hook_address(kSiteHook[i]));
    CHECK(protection_at(kLimit) == game::kPageReadWrite);
    REQUIRE(ensure_reserve_loaded());
    const MachineRegs fruit{kRegs.eax, kFruit, kRegs.edx, kRegs.ebx, kRegs.esi, kRegs.edi, kRegs.ebp};
    // Entered at the site's own code as its caller in the game would be.
    auto run_site = [](int site, const MachineRegs& in = kRegs, uint32_t word = kAnimals) {
        return run(kSites[site].address - (site >= 3 ? 4 : 0), in, {word, 0x5717E000});
    };

    SUBCASE("allocation (sites 1 and 2): the game's record when it has one, else a reserve entry for animals") {
        routine(STAND_IN_ALLOC_ITEM_RECORD).result = 0x019F7A10;
        Ran r = run_site(1);
        CHECK(r.out.eax == 0x019F7A10);
        check_entered_as_game(routine(STAND_IN_ALLOC_ITEM_RECORD));
        CHECK(r.out.ecx == SI_TRASH_ECX);  // as the game's allocator left it
        check_back(r);
        CHECK(record_is_free(table()[0]));

        routine(STAND_IN_ALLOC_ITEM_RECORD).result = 0;
        for (int site : {1, 2}) {
            CAPTURE(site);
            r = run_site(site);
            CHECK(r.out.eax == reserve().table + (site - 1) * static_cast<uint32_t>(sizeof(AnimalRecord)));
            CHECK(routine(STAND_IN_ALLOC_ITEM_RECORD).ecx == kAnimals);
            CHECK(table()[site - 1].garden == 2);  // the current garden, from the game's routine
            CHECK(reserve().placed[site - 1]);
            check_back(r);
        }
        CHECK(run_site(2, fruit).out.eax == 0);  // fruit never gets a reserve entry
        CHECK(record_is_free(table()[2]));
    }
    SUBCASE("discard guard (site 0): skipped for animals, the game's routine for anything else") {
        routine(STAND_IN_DISCARD_ITEM).result = 0x600D;
        check_back(run_site(0), true);
        CHECK(routine(STAND_IN_DISCARD_ITEM).calls == 0);

        Ran r = run_site(0, fruit);
        REQUIRE(routine(STAND_IN_DISCARD_ITEM).calls == 1);
        check_entered_as_game(routine(STAND_IN_DISCARD_ITEM), fruit);
        CHECK(routine(STAND_IN_DISCARD_ITEM).return_address == kSites[0].address + 5);  // the game's own
        CHECK(routine(STAND_IN_DISCARD_ITEM).stack[1] == kAnimals);  // the caller's stack as it was
        CHECK(r.out.eax == 0x600D);
        check_back(r);
    }
    SUBCASE("load (site 3): the reserve told first, then the game's routine with the game's argument") {
        reserve().placed[7] = true;
        routine(STAND_IN_LOAD_ITEMS).result = 77;
        Ran r = run_site(3);
        CHECK(reserve().entered_garden == 2);
        CHECK_FALSE(reserve().placed[7]);
        const StandInCall& load = routine(STAND_IN_LOAD_ITEMS);
        REQUIRE(load.calls == 1);
        CHECK(routine(STAND_IN_CURRENT_GARDEN).order < load.order);
        check_entered_as_game(load);
        CHECK(load.return_address == kSites[3].address + 5);
        CHECK(load.stack[0] == kAnimals);
        CHECK(r.out.eax == 77);
        check_back(r);

        run_site(3, kRegs, kFruit);
        CHECK(reserve().entered_garden == 0);
        CHECK(load.stack[0] == kFruit);
    }
    SUBCASE("store (site 4): the game's routine, then the reserve saved; the routine's answer to the game") {
        AnimalRecord& animal = table()[5];
        animal = AnimalRecord{4, 2, 1, 1, 10.0f, 0.0f, -3.5f};
        routine(STAND_IN_STORE_ITEMS).result = 0x5A7ED;
        Ran r = run_site(4);
        const StandInCall& store = routine(STAND_IN_STORE_ITEMS);
        REQUIRE(store.calls == 1);
        check_entered_as_game(store);
        CHECK(store.stack[0] == kAnimals);
        CHECK(r.out.eax == 0x5A7ED);
        CHECK(r.out.ecx == SI_TRASH_ECX);
        CHECK(r.out.edx == SI_TRASH_EDX);
        check_back(r);
        uint64_t size = 0;
        CHECK(platform::file_size(reserve().reserve_path, size));
        CHECK(size == kHeaderSize + sizeof(AnimalRecord));
        CHECK(reserve().saved_hash == table_hash());

        // A save that fails is reported after the game's routine ran: the handler runs second.
        platform::set_file_fault_hook([](platform::FileOp, platform::FaultPhase, const char*, void*) { return false; },
                                      nullptr);
        animal.x = 11.0f;
        stand_ins::reset();
        routine(STAND_IN_STORE_ITEMS).result = 0x5A7ED;
        r = run_site(4);
        platform::set_file_fault_hook(nullptr, nullptr);
        CHECK(r.out.eax == 0x5A7ED);
        const StandInCall& print = routine(STAND_IN_DEBUG_PRINT);
        REQUIRE(print.calls == 1);
        CHECK(std::strstr(reinterpret_cast<const char*>(uintptr_t{print.stack[1]}), "could not save reserve"));
        CHECK(store.order < print.order);
    }
}

TEST_CASE("the installers refuse foreign game code, a refused protection change or a failed flush, and write nothing") {
    enum Installer { kLifespan, kRebirth, kAnimal };
    struct Refusal {
        const char* what;
        Installer installer;
        game_addr flip_at;  // one foreign byte there
        uint8_t bits;
        game_addr refused_at = 0;  // a protection change refused there
        bool flush_fails = false;
    };
    const Refusal cases[] = {
        {"site 1 store with an index byte", kLifespan, kSite1 + 2, 0x02},
        {"site 2 storing to another offset", kLifespan, kSite2 + 3, 0x01},
        {"site 3 routine", kLifespan, kSite3 + 9, 0x01},
        {"rebirth routine", kRebirth, kRebirthRoutine + 0x180, 0xFF},
        {"hook site", kRebirth, kHookSites[1] + 2, 0x01},
        {"helper routine", kRebirth, kHelperRoutine + 3, 0xFF},
        {"routine setter", kRebirth, kSetRoutine + 7, 0xFF},
        {"discard site", kAnimal, kSites[0].address + 1, 1},
        {"allocation site 1", kAnimal, kSites[1].address + 4, 1},
        {"allocation site 2", kAnimal, kSites[2].address, 1},
        {"load site", kAnimal, kSites[3].address + 2, 1},
        {"store site", kAnimal, kSites[4].address + 3, 1},
        {"limit", kAnimal, kLimit, 1},
        {"checked code 0", kAnimal, kCodeChecks[0].address + 0x10, 1},
        {"checked code 1", kAnimal, kCodeChecks[1].address + 0x2FA, 1},
        {"checked code 2", kAnimal, kCodeChecks[2].address + 0x10, 1},
        {"checked code 3", kAnimal, kCodeChecks[3].address + 0x100, 1},
        // Refused late: what was changed before gets its protection back.
        {"lifespan, site 3 refused", kLifespan, 0, 0, kSite3},
        {"rebirth hook, site 1 refused", kRebirth, 0, 0, kHookSites[1]},
        {"animals, the limit refused", kAnimal, 0, 0, kLimit},
        // The unpatched calls and the old limit written back.
        {"animals, the flush failed", kAnimal, 0, 0, 0, true},
    };
    for (const Refusal& f : cases) {
        CAPTURE(f.what);
        place_fresh_game();
        if (f.installer == kRebirth) {
            REQUIRE(install_lifespan_protection());
            game_image::take_live_as_placed();
        }
        if (f.flip_at) REQUIRE(game_image::flip(f.flip_at, f.bits));
        memory_faults::g_protect_refused_at = f.refused_at;
        memory_faults::g_flush_fails = f.flush_fails;
        const bool installed = f.installer == kLifespan ? install_lifespan_protection() || verify_lifespan_protection()
                               : f.installer == kRebirth ? install_rebirth_hook() || verify_rebirth_hook()
                                                         : install_animal_patch(mod_dir(), kSlot) || animal_patch_intact();
        CHECK_FALSE(installed);
        memory_faults::clear();
        CHECK(game_image::first_difference() == "");
    }

    // The lifespan patch with a failed flush is written, with its protections back, but not verified.
    place_fresh_game();
    memory_faults::g_flush_fails = true;
    CHECK_FALSE(install_lifespan_protection());
    CHECK_FALSE(verify_lifespan_protection());
    memory_faults::clear();
    CHECK(game::read<uint8_t>(kSite3) == game_memory::kOpRet);
    for (game_addr site : {kSite1, kSite2, kSite3}) CHECK(protection_at(site) == game::kPageExecuteRead);
}
