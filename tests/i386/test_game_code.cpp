// The DLL's code that reaches into the game, run as 32-bit machine code at the game's own
// addresses: its calls of the game's routines, the lifespan patch, the rebirth hook and the
// animal patch written by the real installers and then entered the way the game's code enters
// them, and the Game Boy menu relabelled by storage's own code, with every register checked.
#include <doctest/doctest.h>

#include <cstring>
#include <string>

#include "animals/animal_hooks.h"
#include "animals/animal_reserve.h"
#include "host/game_thunks.h"
#include "host/log.h"
#include "platform/files.h"
#include "protect/game_memory.h"
#include "protect/hook_entry.h"
#include "protect/lifespan.h"
#include "storage/startup.h"
#include "tests/i386/harness.h"
#include "tests/test_support.h"

namespace {

using namespace lifespan;
using namespace animals;

constexpr game_addr kRecord = 0x01D10000;       // a Chao record the store sites write to
constexpr game_addr kSaveText = 0x01D20000;
constexpr char kSavePath[] = "C:\\SA2\\resource\\gd_PC\\SAVEDATA\\SONIC2B__S01";
constexpr int32_t kSlot = 1;
constexpr uint32_t kAnimals = 2, kFruit = 3;
constexpr uint32_t kNEcx[2] = {0x0C1C0C1C, 0x0C2C0C2C}, kNEdx[2] = {0x0D1D0D1D, 0x0D2D0D2D};
volatile struct { uint32_t ecx[2], edx[2]; } g_n;  // what the rebirth routine saw after each of its two calls

// The game's registers at a site: ESI the record the lifespan stores write to, ECX the item kind.
const MachineRegs kRegs{0xA0A01234, kAnimals, 0xD0D0D0D0, 0xB0B0B0B0, kRecord, 0xD1D1D1D1, 0xB9B9B9B9};

// Executable game code around the patched places (the bytes at each place come from the image).
// The rebirth routine N: the task from its stack argument into EAX for each of its two calls,
// known ECX and EDX set before each (mov ecx/edx, imm) and stored after (which says also that
// the call returned there), the sum of both answers returned. The lifespan stores and animal
// sites 0 to 2 return after their instruction; sites 3 and 4 push the caller's first stack
// word, call and remove it, as the game's callers do.
std::vector<Code> game_callers() {
    const game_addr site0 = kHookSites[0], site1 = kHookSites[1];
    std::vector<Code> v = {
        Code{kRebirthRoutine, {}}.op({0x8B, 0x44, 0x24, 0x04, 0xB9}).imm(kNEcx[0]).op({0xBA}).imm(kNEdx[0]).jmp(site0),
        Code{site0 + 5, {}}.op({0x89, 0x0D}).imm(&g_n.ecx[0]).op({0x89, 0x15}).imm(&g_n.edx[0])
            .op({0x50, 0x8B, 0x44, 0x24, 0x08, 0xB9}).imm(kNEcx[1]).op({0xBA}).imm(kNEdx[1]).jmp(site1),  // push eax
        Code{site1 + 5, {}}.op({0x89, 0x0D}).imm(&g_n.ecx[1]).op({0x89, 0x15}).imm(&g_n.edx[1])
            .op({0x5A, 0x01, 0xD0, 0xC3}),  // pop edx; add eax, edx; ret
        {kSite1 + kStoreSiteLength, {game_memory::kOpRet}},
        {kSite2 + kStoreSiteLength, {game_memory::kOpRet}}};
    for (int i = 0; i < 3; ++i) v.push_back({kSites[i].address + 5, {game_memory::kOpRet}});
    for (int i = 3; i < 5; ++i) {
        v.push_back({kSites[i].address - 4, {0xFF, 0x74, 0x24, 0x04}});  // push dword [esp+4]
        v.push_back({kSites[i].address + 5, {0x83, 0xC4, 0x04, 0xC3}});  // add esp, 4; ret
    }
    return v;
}

const TempDir kModDir;  // the mod's folder

// The game's code and a Chao record placed afresh, the active save file in slot 1, no save
// running, and the mod's state as at start.
void fresh_game() {
    REQUIRE(game_image::place(game_callers));
    const uint8_t zero[0x100] = {};
    const uint32_t words[2] = {0, kSaveText};  // save_busy, save_path
    REQUIRE(game_pages::place(kRecord, zero, sizeof zero));
    REQUIRE(game_pages::place(kSaveText, kSavePath, sizeof kSavePath));
    REQUIRE(game_pages::place(game::addr::save_busy, words, sizeof words));
    lifespan::reset();
    animals::reset();
    g_faults = {};
    ModLog::set_log_sink(&ModLog::game_sink);  // the log goes to the game's debug print routine, as in the game
    platform::file_delete(kModDir.str() + reserve_file_name(kSlot, save_key_of(normalize_save_path(kSavePath))));
    reset_stand_ins();
    g_stand_in[kCurrentGarden].result = 2;
}

// Enters code as the game's would call it; back with the stack as the call left it.
MachineRegs run(uintptr_t at, const MachineRegs& in = kRegs, std::vector<uint32_t> words = {}) {
    MachineRegs out{};
    int32_t esp_change = -1;
    velmora_call_machine(at, &in, words.data(), static_cast<uint32_t>(words.size()), &out, &esp_change);
    CHECK(esp_change == 0);
    return out;
}

// Registers `first` to ebp of `got` as in `want`: from 3 (ebx) on, those every routine keeps for
// its caller; from 0, all.
void check_regs(const MachineRegs& got, int first = 3, const MachineRegs& want = kRegs) {
    for (int i = first; i < 7; ++i)
        CHECK_MESSAGE((&got.eax)[i] == (&want.eax)[i], std::string("eax ecx edx ebx esi edi ebp").substr(4 * i, 3));
}

// The game's routine ran once from animal site `site`, entered with every register the game's
// code had there (and, from the sites whose hooks run nothing after it, the game's own return
// address); its answer came back to the game's code.
void check_passed_on(int site, const StandInCall& c, const MachineRegs& r, uint32_t answer, const MachineRegs& in = kRegs) {
    REQUIRE(c.calls == 1);
    check_regs(MachineRegs{c.eax, c.ecx, c.edx, c.ebx, c.esi, c.edi, c.ebp}, 0, in);
    if (site == 0 || site == 3) CHECK(c.return_address == kSites[site].address + 5);
    CHECK(r.eax == answer);
    check_regs(r);
}

// The call at `site` leads to `target`, on a page left execute-read.
void check_calls(game_addr site, game_addr target) {
    game_addr seen = 0;
    REQUIRE(game_memory::decode_rel32(site, game::game_ptr<const uint8_t>(site), game_memory::kOpCallRel32, seen));
    CHECK(seen == target);
    CHECK(game_pages::protection(site) == game::kPageExecuteRead);
}

// Calls one of the DLL's functions as compiled code would, with `words` as its arguments, its
// stand-in answering `answer`: EAX back, the callee-saved registers kept, the stand-in entered
// once with DF clear. A routine taking `words` on the stack gets them as given (with
// `first_mask` 0xFF, a byte argument first, in its word's low byte).
uint32_t call_kept(int which, uint32_t answer, const void* fn, std::vector<uint32_t> words = {}, uint32_t first_mask = 0) {
    reset_stand_ins();
    g_stand_in[which].result = answer;
    const MachineRegs r = run(reinterpret_cast<uintptr_t>(fn), kRegs, words);
    check_regs(r);
    CHECK(g_stand_in[which].calls == 1);
    CHECK((g_stand_in[which].flags & 0x400) == 0);
    for (size_t i = 0; first_mask && i < words.size(); ++i)
        CHECK((g_stand_in[which].stack[i] & (i ? ~0u : first_mask)) == words[i]);
    return r.eax;
}

}  // namespace

// Holds one value in one register across one thunk call and returns how often the stand-in ran
// as the compiler sees it, 0 if the value or the stack pointer was lost. Nothing else competes
// for registers, so the compiler leaves the value in place unless the thunk names the register
// as changed: a register the thunk forgets is one the routine's changes reach. A held value that
// is also the argument checks that the thunk does not take its argument register as unchanged.
// The count read on both sides is folded into one unless the thunk says the routine may touch
// memory. A wrong stack pointer is put right (the frame pointer keeps the saved one reachable).
#define HOLDING(name, reg, statement, which)                                                              \
    __attribute__((noinline, optimize("no-omit-frame-pointer"))) uint32_t name(uint32_t held_value) {     \
        uint32_t held = held_value, before = g_stand_in[which].calls, sp_before, sp_after;               \
        asm volatile("" : "+" reg(held));                                                                 \
        asm volatile("movl %%esp, %0" : "=r"(sp_before));                                                 \
        statement;                                                                                        \
        asm volatile("movl %%esp, %0\n\tmovl %1, %%esp" : "=&r"(sp_after) : "r"(sp_before));              \
        asm volatile("" : "+" reg(held));                                                                 \
        return held == held_value && sp_after == sp_before ? g_stand_in[which].calls - before : 0;        \
    }
#define CALL_ECX(arg) game::thunk::call_ecx(game::addr::alloc_item_record, arg)
#define CALL_ESI(arg) game::thunk::call_esi(game::addr::garden_save_store, arg)
#define CALL_EAX_2(arg) game::thunk::call_eax_2(game::addr::set_chao_routine, arg, 0x10002340, 0xFFFFFFFFu)
// (function, register held, call, stand-in)
#define HOLDING_CASES(X)                                                            \
    X(ecx_keeps_eax, "a", CALL_ECX(7), kAllocItemRecord)                            \
    X(ecx_keeps_ecx_argument, "c", CALL_ECX(held), kAllocItemRecord)                \
    X(ecx_keeps_edx, "d", CALL_ECX(7), kAllocItemRecord)                            \
    X(esi_keeps_eax, "a", CALL_ESI(game::addr::garden_save_block), kGardenSaveStore) \
    X(esi_keeps_ecx, "c", CALL_ESI(game::addr::garden_save_block), kGardenSaveStore) \
    X(esi_keeps_edx, "d", CALL_ESI(game::addr::garden_save_block), kGardenSaveStore) \
    X(esi_keeps_esi_argument, "S", CALL_ESI(held), kGardenSaveStore)                \
    X(eax_2_keeps_eax_argument, "a", CALL_EAX_2(held), kSetChaoRoutine)             \
    X(eax_2_keeps_ecx, "c", CALL_EAX_2(0x01C3A000), kSetChaoRoutine)                \
    X(eax_2_keeps_edx, "d", CALL_EAX_2(0x01C3A000), kSetChaoRoutine)
HOLDING_CASES(HOLDING)

volatile uint32_t g_held = 0x3C000000;

TEST_CASE("each routine gets its arguments in its registers and stack words, its answer back, and our registers kept") {
    fresh_game();
    constexpr game_addr kBlock = game::addr::garden_save_block;
    CHECK(call_kept(kAllocItemRecord, 0x019F7A10, (void*)&game::alloc_item_record, {2}) == 0x019F7A10);
    CHECK(g_stand_in[kAllocItemRecord].ecx == 2);
    for (uint32_t answer : {1u, 0u, 0x100u, 0x80000000u}) {  // any non-zero word is a valid save
        CAPTURE(answer);
        CHECK((call_kept(kGardenSaveCheck, answer, (void*)&game::garden_save_check, {kBlock}) & 0xFF) == (answer != 0));
        CHECK(g_stand_in[kGardenSaveCheck].ecx == kBlock);
    }
    call_kept(kGardenSaveStore, 0, (void*)&game::garden_save_store, {kBlock});  // our ESI back although changed
    CHECK(g_stand_in[kGardenSaveStore].esi == kBlock);
    call_kept(kSetChaoRoutine, 0, (void*)&game::set_chao_routine, {0x01C3A000, 0x10002340});
    CHECK(g_stand_in[kSetChaoRoutine].eax == 0x01C3A000);
    CHECK(g_stand_in[kSetChaoRoutine].stack[0] == 0x10002340);
    CHECK(g_stand_in[kSetChaoRoutine].stack[1] == 0xFFFFFFFFu);

    CHECK(call_kept(kCreateFruit, 0x01C40000, (void*)&game::create_fruit,
                    {7, 0x00200000, uint32_t(-0x4000), 0x00200010, 0x019F7000}, ~0u) == 0x01C40000);
    CHECK(call_kept(kCreateAnimal, 0x01C50000, (void*)&game::create_animal,
                    {0xF3, 0x00200000, 0x8000, 0x00200010, 0x019F7100}, 0xFF) == 0x01C50000);
    CHECK(call_kept(kCreateItemObject, 0x01C60000, (void*)&game::create_item_object,
                    {3, 0x00200000, 0x00200010, 0x019F7200}, 0xFF) == 0x01C60000);
    call_kept(kReleaseHeldItem, 0, (void*)&game::release_held_item);

    // The thunks keep what the compiler holds in registers, and let it see memory change.
#define RUN_HOLDING(name, reg, statement, which) CHECK_MESSAGE(name(g_held) == 1, #name);
    HOLDING_CASES(RUN_HOLDING)
}

TEST_CASE("lifespan and rebirth: the stores and the ageing routine run as no-ops, the gate keeps ECX and EDX") {
    fresh_game();
    REQUIRE(install_lifespan_protection());
    CHECK(verify_lifespan_protection());
    for (game_addr site : {kSite1, kSite2, kSite3}) CHECK(game_pages::protection(site) == game::kPageExecuteRead);
    CHECK(std::memcmp(game::game_ptr<const uint8_t>(kSite3 + 1), kSite3Tail, sizeof kSite3Tail) == 0);
    // Unpatched, sites 1 and 2 store AX into the record at ESI; the ageing routine returns at once.
    for (game_addr site : {kSite1, kSite2, kSite3}) check_regs(run(site), 0);
    CHECK(game::read<uint16_t>(kRecord + 0x8C) == 0);
    CHECK(game::read<uint16_t>(kRecord + 0x8A) == 0);

    // The rebirth hook, on top: the game's rebirth routine reaches the gate from both sites.
    StandInCall& guarded = g_stand_in[kGuardedLifecycle];
    REQUIRE(install_rebirth_hook());
    CHECK(verify_rebirth_hook());
    for (game_addr site : kHookSites) check_calls(site, rebirth_gate_address());

    // The manual rebirth gets 1 from the gate at both calls, R not asked; any other task, and
    // task 0 even with nothing authorised, asks R with it and gets its answer back.
    struct Case {
        game_addr entry;
        uint32_t authorized, task, answer, r_calls;
    };
    for (Case k : {Case{manual_rebirth_address(), 0, 0x01C3A000, 2, 0}, Case{kRebirthRoutine, 0x01C3A000, 0x01C3A100, 0xA0, 2},
                   Case{kRebirthRoutine, 0, 0x01C3A100, 0xA0, 2}, Case{kRebirthRoutine, 0, 0, 0xA0, 2}}) {
        CAPTURE(k.task);
        reset_stand_ins();
        std::memset((void*)&g_n, 0, sizeof g_n);
        guarded.result = 0x50;
        velmora_rebirth_authorized = k.authorized;
        const MachineRegs r = run(k.entry, kRegs, {k.task});
        CHECK(velmora_rebirth_authorized == k.authorized);  // the manual rebirth puts it back after its call
        velmora_rebirth_authorized = 0;
        CHECK(r.eax == k.answer);
        CHECK(guarded.calls == k.r_calls);
        if (k.r_calls) CHECK(guarded.eax == k.task);
        check_regs(r);
        for (int call = 0; call < 2; ++call) {  // R changed both; the gate gave the routine its own back
            CHECK(g_n.ecx[call] == kNEcx[call]);
            CHECK(g_n.edx[call] == kNEdx[call]);
        }
    }
}

TEST_CASE("animal patch: the five calls reach the entry code, the reserve and the game's routines") {
    fresh_game();
    REQUIRE(install_animal_patch(kModDir.str(), kSlot));
    REQUIRE(animal_patch_intact());
    CHECK(game::read<uint32_t>(kLimit) == kLimitAfter);
    CHECK(game_pages::protection(kLimit) == game::kPageReadWrite);
    for (int i = 0; i < 5; ++i) check_calls(kSites[i].address, animal_hook_address(kSiteHook[i]));
    REQUIRE(ensure_reserve_loaded());
    const MachineRegs fruit{kRegs.eax, kFruit, kRegs.edx, kRegs.ebx, kRegs.esi, kRegs.edi, kRegs.ebp};
    // Entered at the site's own code as its caller in the game would be.
    auto run_site = [](int site, const MachineRegs& in = kRegs, uint32_t word = kAnimals) {
        return run(kSites[site].address - (site >= 3 ? 4 : 0), in, {word, 0x5717E000});
    };

    SUBCASE("allocation (sites 1 and 2): the game's record when it has one, else a reserve entry for animals") {
        StandInCall& alloc = g_stand_in[kAllocItemRecord];
        alloc.result = 0x019F7A10;
        MachineRegs r = run_site(1);
        check_passed_on(1, alloc, r, 0x019F7A10);
        CHECK(r.ecx == kTrashEcx);  // as the game's allocator left it
        CHECK(record_is_free(table()[0]));

        alloc.result = 0;
        for (int site : {1, 2}) {
            CAPTURE(site);
            r = run_site(site);
            CHECK(r.eax == reserve().table + (site - 1) * static_cast<uint32_t>(sizeof(AnimalRecord)));
            CHECK(table()[site - 1].garden == 2);  // the current garden, from the game's routine
            CHECK(reserve().placed[site - 1]);
            check_regs(r);
        }
        CHECK(run_site(2, fruit).eax == 0);  // fruit never gets a reserve entry
        CHECK(record_is_free(table()[2]));
    }
    SUBCASE("discard guard (site 0): skipped for animals, the game's routine for anything else") {
        StandInCall& discard = g_stand_in[kDiscardItem];
        discard.result = 0x600D;
        check_regs(run_site(0), 0);
        CHECK(discard.calls == 0);

        check_passed_on(0, discard, run_site(0, fruit), 0x600D, fruit);
        CHECK(discard.stack[1] == kAnimals);  // the caller's stack as it was
    }
    SUBCASE("load (site 3): the reserve told first, then the game's routine with the game's argument") {
        const StandInCall& load = g_stand_in[kLoadItems];
        reserve().placed[7] = true;
        g_stand_in[kLoadItems].result = 77;
        check_passed_on(3, load, run_site(3), 77);
        CHECK(reserve().entered_garden == 2);
        CHECK_FALSE(reserve().placed[7]);
        CHECK(g_stand_in[kCurrentGarden].order < load.order);
        CHECK(load.stack[0] == kAnimals);

        run_site(3, kRegs, kFruit);
        CHECK(reserve().entered_garden == 0);
        CHECK(load.stack[0] == kFruit);
    }
    SUBCASE("store (site 4): the game's routine, then the reserve saved; the routine's answer to the game") {
        // The save fails, so the handler tells when it ran: after the game's routine.
        const StandInCall &store = g_stand_in[kStoreItems], &print = g_stand_in[kDebugPrint];
        table()[5] = AnimalRecord{4, 2, 1, 1, 10.0f, 0.0f, -3.5f};
        reset_stand_ins();
        platform::set_file_fault_hook([](platform::FileOp, platform::FaultPhase, const char*, void*) { return false; },
                                      nullptr);
        g_stand_in[kStoreItems].result = 0x5A7ED;
        MachineRegs r = run_site(4);
        platform::set_file_fault_hook(nullptr, nullptr);
        check_passed_on(4, store, r, 0x5A7ED);
        CHECK(store.stack[0] == kAnimals);
        CHECK(r.ecx == kTrashEcx);
        CHECK(r.edx == kTrashEdx);
        REQUIRE(print.calls == 1);
        CHECK(std::strcmp(reinterpret_cast<const char*>(uintptr_t{print.stack[0]}), "[velmora] %s") == 0);
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
        MemoryFaults faults = {};
    };
    // One foreign byte for each installer (the simulated game's tests try every checked place).
    const Refusal cases[] = {
        {"site 1 store with an index byte", kLifespan, kSite1 + 2, 0x02},
        {"routine setter", kRebirth, kSetRoutine + 7, 0xFF},
        {"checked code", kAnimal, kCodeChecks[1].address + kCodeChecks[1].length - 1, 1},
        // Refused late: what was changed before gets its protection back.
        {"lifespan, site 3 refused", kLifespan, 0, 0, {kSite3}},
        {"rebirth hook, site 1 refused", kRebirth, 0, 0, {kHookSites[1]}},
        {"animals, the limit refused", kAnimal, 0, 0, {kLimit}},
        // The unpatched calls and the old limit written back.
        {"animals, the flush failed", kAnimal, 0, 0, {0, true}},
        // The lifespan patch is written even so (with its protections back), but not verified.
        {"lifespan, the flush failed", kLifespan, 0, 0, {0, true}}};
    for (const Refusal& f : cases) {
        INFO(f.what);
        fresh_game();
        if (f.installer == kRebirth) {
            REQUIRE(install_lifespan_protection());
            game_image::take_live_as_placed();
        }
        if (f.flip_at) REQUIRE(game_image::flip(f.flip_at, f.bits));
        g_faults = f.faults;
        const bool installed = f.installer == kLifespan ? install_lifespan_protection() || verify_lifespan_protection()
                               : f.installer == kRebirth ? install_rebirth_hook() || verify_rebirth_hook()
                                                         : install_animal_patch(kModDir.str(), kSlot) || animal_patch_intact();
        CHECK_FALSE(installed);
        g_faults = {};
        if (f.installer == kLifespan && f.faults.flush_fails) {
            CHECK(game::read<uint8_t>(kSite3) == game_memory::kOpRet);
            game_image::take_live_as_placed();
        }
        CHECK(game_image::first_difference() == "");
    }
}

// The Game Boy menu: its code fingerprinted where the game has it, the menu object, the task
// tree and the menu's state block on pages whose protection is real, so a read or write the
// checks should have refused faults the test program.
namespace {

constexpr game_addr kMenuObjectPointer = 0x01A559D4;
constexpr game_addr kTaskRoots = 0x01A5A254;
constexpr uint32_t kObjectSize = 816;
const uint8_t kPut[8] = {0x07, 'P', 'u', 't', 0, 0, 0, 0};
const uint8_t kStore[8] = {0x07, 'S', 't', 'o', 'r', 'e', 0, 0};
uint8_t g_object[kObjectSize];  // a menu object as the game has it: "Put", then "Release"

void put32(game_addr a, uint32_t v) { game::write<uint32_t>(a, v); }
uint32_t get32(game_addr a) { return game::read<uint32_t>(a); }

// The menu's objects at the ends of their pages (with no page after, one byte past faults), a
// root task whose child links back to the root and whose next link is the menu's task, and its
// state block.
constexpr game_addr kObject = 0x01F01000 - kObjectSize, kOther = 0x01F03000 - kObjectSize, kRoot = 0x01F04000,
                    kLoop = kRoot + 0x100, kTask = kRoot + 0x200, kState = kRoot + 0x300;

// The game with its Game Boy menu open.
void open_menu() {
    fresh_game();
    for (uint32_t i = 0; i < kObjectSize; ++i) g_object[i] = static_cast<uint8_t>(i * 7);
    std::memcpy(g_object + 48, "\0\0\x03\x20\0\0\x03\x28", 8);  // the checked words 0x20030000, 0x28030000
    std::memcpy(g_object + 800, kPut, 8);
    std::memcpy(g_object + 808, "\x07Release", 8);
    for (game_addr o : {kObject, kOther}) REQUIRE(game_pages::place(o, g_object, kObjectSize));
    const std::vector<uint8_t> zero(game_pages::kPageSize);
    REQUIRE(game_pages::place(kRoot, zero.data(), game_pages::kPageSize));
    const uint32_t roots[8] = {0, 0, 0, kRoot};
    REQUIRE(game_pages::place(kTaskRoots, roots, sizeof roots));
    const std::pair<game_addr, uint32_t> links[] = {{kRoot + 4, kLoop},     {kLoop + 4, kRoot},   {kLoop + 12, kTask},
                                                    {kTask + 40, 0x007951A0}, {kTask + 24, 0x00795550},
                                                    {kTask + 64, kState},   {kState + 12, 12}};
    for (auto [at, value] : links) put32(at, value);
    REQUIRE(game_pages::place(kMenuObjectPointer, &kObject, 4));
    reset_storage_state();
    storage_state().enabled = true;
}

// The object as open_menu left it, with `text` in its text slot.
bool slot_is(game_addr object, const uint8_t (&text)[8]) {
    uint8_t want[kObjectSize];
    std::memcpy(want, g_object, kObjectSize);
    std::memcpy(want + 800, text, 8);
    return std::memcmp(game::game_ptr<const uint8_t>(object), want, kObjectSize) == 0;
}

}  // namespace

TEST_CASE("the open Game Boy menu is relabelled at the game's addresses and told to redraw") {
    open_menu();
    CHECK(SetGameBoyStoreLabel(true));
    CHECK(slot_is(kObject, kStore));
    CHECK(get32(kState + 12) == 0xFFFFFFFFu);
    CHECK(game_image::first_difference() == "");

    // Already relabelled: neither the text nor the menu's state is touched again.
    put32(kState + 12, 12);
    CHECK_FALSE(SetGameBoyStoreLabel(true));
    CHECK(get32(kState + 12) == 12);

    CHECK(SetGameBoyStoreLabel(false));
    CHECK(slot_is(kObject, kPut));
    CHECK(get32(kState + 12) == 0xFFFFFFFFu);

    SUBCASE("a state other than 12 stays as it is") {
        put32(kState + 12, 5);
        CHECK(SetGameBoyStoreLabel(true));
        CHECK(get32(kState + 12) == 5);
    }
    SUBCASE("the menu object moved: disabling leaves the new one alone") {
        CHECK(SetGameBoyStoreLabel(true));
        put32(kMenuObjectPointer, kOther);
        CHECK_FALSE(SetGameBoyStoreLabel(false));
        CHECK(slot_is(kOther, kPut));
        CHECK(slot_is(kObject, kStore));
    }
    SUBCASE("storage not usable: nothing is relabelled") {
        storage_state().enabled = false;
        CHECK_FALSE(SetGameBoyStoreLabel(true));
        CHECK(slot_is(kObject, kPut));
    }
}

TEST_CASE("foreign menu code or memory not as the game leaves it: the label stays, nothing is written") {
    struct Case {
        const char* what;
        void (*spoil)();
        game_addr flip_at = 0;  // else one foreign byte of the menu's code there
    };
    std::vector<Case> cases = {
        {"the menu object on a read-only page",
         [] { REQUIRE(game_pages::set_protection(kObject, kObjectSize, game::kPageReadOnly)); }},
        {"the menu object pointer leads to no memory", [] { put32(kMenuObjectPointer, 0x01F01000); }},
        {"the menu object's last bytes past the end of its page",
         [] {
             REQUIRE(game_pages::place(0x01F07000 - (kObjectSize - 8), g_object, kObjectSize - 8));
             put32(kMenuObjectPointer, 0x01F07000 - (kObjectSize - 8));
         }},
        {"the object's checked words differ", [] { game::game_ptr<uint8_t>(kObject)[52] = g_object[52] ^= 1; }},
        {"the menu's state block read-only: the task is not the one sought",
         [] { REQUIRE(game_pages::set_protection(kRoot, game_pages::kPageSize, game::kPageReadOnly)); }},
        {"the menu is closed", [] { put32(kLoop + 12, 0); }},
    };
    // The start, middle and end of both fingerprinted ranges (12 bytes at 795364, 58 at 795390).
    for (game_addr at : {0x00795364u, 0x0079536Au, 0x0079536Fu, 0x00795390u, 0x007953ADu, 0x007953C9u})
        cases.push_back({"foreign menu code", nullptr, at});
    for (const Case& c : cases) {
        INFO(c.what);
        CAPTURE(c.flip_at);
        open_menu();
        if (c.spoil) c.spoil();
        else REQUIRE(game_image::flip(c.flip_at, 0x40));
        CHECK_FALSE(SetGameBoyStoreLabel(true));
        CHECK(slot_is(kObject, kPut));
        CHECK(get32(kState + 12) == 12);
    }
}
