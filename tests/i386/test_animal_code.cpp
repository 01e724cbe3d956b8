// The animal patch written by the real installer into the game's code at its real
// addresses, and the patched calls then run as 32-bit machine code: each site called as the
// game calls it reaches the entry code, the reserve's C++ handler and the game's routine
// with the game's registers and stack argument, and the answer reaches the game.
#include <doctest/doctest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "animals/animal_hooks.h"
#include "animals/animal_reserve.h"
#include "host/log.h"
#include "platform/files.h"
#include "protect/game_memory.h"
#include "tests/i386/game_image.h"
#include "tests/i386/game_pages.h"
#include "tests/i386/memory_faults.h"
#include "tests/i386/run_game_code.h"
#include "tests/i386/stand_ins.h"

namespace {

using namespace animals;
using run_game_code::protection_at;
using run_game_code::Ran;

constexpr game_addr kLimitReader = 0x0052B3D0;  // game code that reads the animal limit
constexpr game_addr kSaveText = 0x01D20000;
constexpr char kSavePath[] = "C:\\SA2\\resource\\gd_PC\\SAVEDATA\\SONIC2B__S01";
constexpr int32_t kSlot = 1;
constexpr uint32_t kAnimals = 2, kFruit = 3;

const MachineRegs kRegs{0xA0A0A0A0, kAnimals, 0xD0D0D0D0, 0xB0B0B0B0, 0x50505050, 0xD1D1D1D1, 0xB9B9B9B9};

MachineRegs with_ecx(uint32_t ecx) {
    MachineRegs r = kRegs;
    r.ecx = ecx;
    return r;
}

// The game's code around each site: sites 0 to 2 (kind in ECX) are entered at the call and
// return after it; sites 3 and 4 push the caller's first stack word as the argument, call,
// and remove it again, as the game's callers do.
std::vector<game_image::Overlay> site_callers() {
    std::vector<game_image::Overlay> v;
    for (int i = 0; i < 3; ++i) v.push_back({kSites[i].address + 5, {game_memory::kOpRet}});
    for (int i = 3; i < 5; ++i) {
        v.push_back({kSites[i].address - 4, {0xFF, 0x74, 0x24, 0x04}});  // push dword [esp+4]
        v.push_back({kSites[i].address + 5, {0x83, 0xC4, 0x04, 0xC3}});  // add esp, 4; ret
    }
    v.push_back({kLimitReader, {0xA1, 0x40, 0xB8, 0x8A, 0x00, 0xC3}});  // mov eax, [limit]; ret
    return v;
}

// Entered at the site's own code as its caller in the game would be.
game_addr caller_of(int site) { return kSites[site].address - (site >= 3 ? 4 : 0); }

Ran run_site(int site, const MachineRegs& in = kRegs, uint32_t word = kAnimals) {
    return run_game_code::run(caller_of(site), in, {word, 0x5717E000});
}

// A mod folder of its own, removed when the program ends.
struct ModDir {
    std::string path;
    ModDir() {
        char name[] = "/tmp/velmora-i386-XXXXXX";
        if (mkdtemp(name)) path = name;
    }
    ~ModDir() {
        if (!path.empty()) std::filesystem::remove_all(path);
    }
};

const std::string& mod_dir() {
    static ModDir dir;
    return dir.path;
}

void place_fresh_game() {
    static bool built = [] {
        std::vector<game_image::Overlay> overlays = game_image::stand_ins_behind_jumps(run_game_code::kStandInArea);
        if (overlays.size() != STAND_IN_COUNT) return false;
        for (auto& o : site_callers()) overlays.push_back(o);
        return game_image::build(overlays);
    }();
    REQUIRE(built);
    REQUIRE(game_image::place());
    // The active save file in slot 1, no save running.
    REQUIRE(game_pages::place_data(kSaveText, kSavePath, sizeof kSavePath));
    const uint32_t words[2] = {0, kSaveText};  // save_busy, save_path
    REQUIRE(game_pages::place_data(game::addr::save_busy, words, sizeof words));
    animals::reset();
    memory_faults::clear();
    // The log goes where it goes in the game: to the game's debug print routine.
    ModLog::set_log_sink(&ModLog::game_sink);
    platform::set_file_fault_hook(nullptr, nullptr);
    // Each test starts without a reserve file.
    platform::file_delete(mod_dir() + reserve_file_name(kSlot, save_key_of(normalize_save_path(kSavePath))));
    stand_ins::reset();
    stand_ins::call(STAND_IN_CURRENT_GARDEN).result = 2;
    REQUIRE_FALSE(mod_dir().empty());
}

StandInCall& routine(int which) { return stand_ins::call(which); }

// The game's routine was entered with every register the game's code had at the site.
void check_entered_as_game(const StandInCall& c, const MachineRegs& in) {
    CHECK(c.eax == in.eax);
    CHECK(c.ecx == in.ecx);
    CHECK(c.edx == in.edx);
    CHECK(c.ebx == in.ebx);
    CHECK(c.esi == in.esi);
    CHECK(c.edi == in.edi);
    CHECK(c.ebp == in.ebp);
}

game_addr entry_address(uint32_t index) { return reserve().table + index * static_cast<uint32_t>(sizeof(AnimalRecord)); }

}  // namespace

TEST_CASE("animal patch: the five calls reach the entry code, the reserve and the game's routines") {
    place_fresh_game();
    // The limit as the game's code reads it, before and after.
    CHECK(run_game_code::run(kLimitReader, kRegs).out.eax == kLimitBefore);
    REQUIRE(install_animal_patch(mod_dir(), kSlot));
    REQUIRE(animal_patch_intact());
    CHECK(run_game_code::run(kLimitReader, kRegs).out.eax == kLimitAfter);
    for (int i = 0; i < 5; ++i) {
        game_addr target = 0;
        REQUIRE(game_memory::decode_rel32(kSites[i].address, game::game_ptr<const uint8_t>(kSites[i].address),
                                          game_memory::kOpCallRel32, target));
        CHECK(target == animal_hook_address(kSiteHook[i]));
        CHECK(protection_at(kSites[i].address) == game::kPageExecuteRead);
    }
    CHECK(protection_at(kLimit) == game::kPageReadWrite);
    REQUIRE(ensure_reserve_loaded());

    SUBCASE("allocation (sites 1 and 2): the game's record when it has one, else a reserve entry for animals") {
        routine(STAND_IN_ALLOC_ITEM_RECORD).result = 0x019F7A10;
        Ran r = run_site(1);
        CHECK(r.out.eax == 0x019F7A10);
        check_entered_as_game(routine(STAND_IN_ALLOC_ITEM_RECORD), kRegs);
        CHECK(r.out.ecx == SI_TRASH_ECX);  // as the game's allocator left it
        run_game_code::check_callee_saved(r, kRegs);
        CHECK(record_is_free(table()[0]));

        routine(STAND_IN_ALLOC_ITEM_RECORD).result = 0;
        for (int site : {1, 2}) {
            CAPTURE(site);
            r = run_site(site);
            CHECK(r.out.eax == entry_address(site - 1));
            CHECK(routine(STAND_IN_ALLOC_ITEM_RECORD).ecx == kAnimals);
            CHECK(table()[site - 1].garden == 2);  // the current garden, from the game's routine
            CHECK(reserve().placed[site - 1]);
            run_game_code::check_callee_saved(r, kRegs);
        }
        // Fruit never gets a reserve entry.
        r = run_site(2, with_ecx(kFruit));
        CHECK(r.out.eax == 0);
        CHECK(record_is_free(table()[2]));
    }
    SUBCASE("discard guard (site 0): skipped for animals, the game's routine for anything else") {
        routine(STAND_IN_DISCARD_ITEM).result = 0x600D;
        Ran r = run_site(0);
        CHECK(routine(STAND_IN_DISCARD_ITEM).calls == 0);
        run_game_code::check_untouched(r, kRegs);

        r = run_site(0, with_ecx(kFruit));
        REQUIRE(routine(STAND_IN_DISCARD_ITEM).calls == 1);
        check_entered_as_game(routine(STAND_IN_DISCARD_ITEM), with_ecx(kFruit));
        CHECK(routine(STAND_IN_DISCARD_ITEM).return_address == kSites[0].address + 5);  // the game's own
        CHECK(routine(STAND_IN_DISCARD_ITEM).stack[1] == kAnimals);  // the caller's stack as it was
        CHECK(r.out.eax == 0x600D);
        run_game_code::check_callee_saved(r, kRegs);
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
        check_entered_as_game(load, kRegs);
        CHECK(load.return_address == kSites[3].address + 5);
        CHECK(load.stack[0] == kAnimals);
        CHECK(r.out.eax == 77);
        run_game_code::check_callee_saved(r, kRegs);

        r = run_site(3, kRegs, kFruit);
        CHECK(reserve().entered_garden == 0);
        CHECK(routine(STAND_IN_LOAD_ITEMS).stack[0] == kFruit);
    }
    SUBCASE("store (site 4): the game's routine, then the reserve saved; the routine's answer to the game") {
        AnimalRecord& animal = table()[5];
        animal = AnimalRecord{4, 2, 1, 1, 10.0f, 0.0f, -3.5f};
        routine(STAND_IN_STORE_ITEMS).result = 0x5A7ED;
        Ran r = run_site(4);
        const StandInCall& store = routine(STAND_IN_STORE_ITEMS);
        REQUIRE(store.calls == 1);
        check_entered_as_game(store, kRegs);
        CHECK(store.stack[0] == kAnimals);
        CHECK(r.out.eax == 0x5A7ED);
        CHECK(r.out.ecx == SI_TRASH_ECX);
        CHECK(r.out.edx == SI_TRASH_EDX);
        run_game_code::check_callee_saved(r, kRegs);
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

TEST_CASE("the animal installer refuses game code with one foreign byte and writes nothing") {
    struct Foreign {
        const char* what;
        game_addr address;
    };
    const Foreign cases[] = {
        {"discard site", kSites[0].address + 1},    {"allocation site 1", kSites[1].address + 4},
        {"allocation site 2", kSites[2].address},   {"load site", kSites[3].address + 2},
        {"store site", kSites[4].address + 3},      {"limit", kLimit},
        {"checked code 0", kCodeChecks[0].address + 0x10}, {"checked code 1", kCodeChecks[1].address + 0x2FA},
        {"checked code 2", kCodeChecks[2].address + 0x10}, {"checked code 3", kCodeChecks[3].address + 0x100},
    };
    for (const Foreign& f : cases) {
        CAPTURE(f.what);
        place_fresh_game();
        REQUIRE(game_image::poke(f.address, game::read<uint8_t>(f.address) ^ 0x01));
        CHECK_FALSE(install_animal_patch(mod_dir(), kSlot));
        CHECK_FALSE(animal_patch_intact());
        std::string why;
        CHECK_MESSAGE(game_image::intact(&why), why);
    }
}

TEST_CASE("the animal installer: a refused protection change or a failed flush leaves the game's code as it was") {
    std::string why;
    SUBCASE("the limit refused: the five sites get their protection back, nothing written") {
        place_fresh_game();
        memory_faults::g_protect_refused_at = kLimit;
        CHECK_FALSE(install_animal_patch(mod_dir(), kSlot));
        CHECK_MESSAGE(game_image::intact(&why), why);
    }
    SUBCASE("the flush failed: the unpatched calls and the old limit written back") {
        place_fresh_game();
        memory_faults::g_flush_fails = true;
        CHECK_FALSE(install_animal_patch(mod_dir(), kSlot));
        CHECK_FALSE(animal_patch_intact());
        CHECK_MESSAGE(game_image::intact(&why), why);
    }
    memory_faults::clear();
}
