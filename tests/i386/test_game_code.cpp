// The DLL's code that reaches into the game, run as 32-bit machine code at the game's own
// addresses: its calls of the game's routines, the lifespan patch, the rebirth hook and the
// animal patch written by the real installers and then entered the way the game's code enters
// them, and the Game Boy menu relabelled by storage's own code, with every register checked.
// The game's pages follow what a Windows memory query reports for them, so an access the
// probes should have refused really faults. The decisions behind each patch are the simulated
// game's tests' (test_protect, test_animals, test_deposit); here, what needs the real code.
#include <doctest/doctest.h>
#include <sys/mman.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>

// The simulator's code image is compiled in for its bytes: its model of the mod's entry points
// and of the rebirth routine renamed out of the way of the real ones linked here, its memory
// writes collected instead of reaching a simulated process.
#define rebirth_gate_address sim_model_rebirth_gate_address
#define manual_rebirth_address sim_model_manual_rebirth_address
#define rebirth_routine sim_model_rebirth_routine
#include "sim/game_code.cpp"
#undef rebirth_gate_address
#undef manual_rebirth_address
#undef rebirth_routine
game_addr rebirth_gate_address();
game_addr manual_rebirth_address();

#include "animals/animal_hooks.h"
#include "animals/animal_reserve.h"
#include "host/game_thunks.h"
#include "host/log.h"
#include "platform/files.h"
#include "storage/startup.h"
#include "tests/test_support.h"

namespace {

using namespace lifespan;
using namespace animals;

// ---- the game's pages, its code image and stand-ins for its routines

constexpr uint32_t kPageSize = 0x1000;
constexpr game_addr kImageBase = 0x00400000, kImageEnd = 0x01E00000;  // the game's executable
constexpr game_addr kCodeEnd = 0x00800000;      // its code below, its data (the animal limit word) above
constexpr game_addr kStandInArea = 0x007E0000;  // the stand-ins' bodies, 256 bytes each

std::map<game_addr, uint32_t> g_pages;  // each page's Windows protection
bool of_image(game_addr page) { return page >= kImageBase && page < kImageEnd; }  // else private memory

// The pages a range touches; none when it is empty or wraps.
std::vector<game_addr> pages_of(game_addr address, uint32_t size) {
    std::vector<game_addr> pages;
    if (size == 0 || address > UINT32_MAX - (size - 1)) return pages;
    for (uint64_t page = address & ~(kPageSize - 1); page <= address + (size - 1); page += kPageSize) pages.push_back(page);
    return pages;
}

// A Windows protection (of those the DLL and the tests use) for every page; false where Windows would refuse.
bool set_protection(game_addr address, uint32_t size, uint32_t p) {
    const int host = p == game::kPageReadOnly ? PROT_READ : p == game::kPageReadWrite ? PROT_READ | PROT_WRITE
                     : p == game::kPageExecuteRead ? PROT_READ | PROT_EXEC
                     : p == game::kPageExecuteReadWrite ? PROT_READ | PROT_WRITE | PROT_EXEC : -1;
    const std::vector<game_addr> pages = pages_of(address, size);
    for (game_addr page : pages) {
        if (!g_pages.count(page) || mprotect(game::game_ptr<void>(page), kPageSize, host) != 0) return false;
        g_pages[page] = p;
    }
    return !pages.empty();
}

uint32_t protection(game_addr address) {
    auto it = g_pages.find(address & ~(kPageSize - 1));
    return it == g_pages.end() ? game::kPageNoAccess : it->second;
}

// Copies bytes there (mapping the missing pages zero-filled); the pages end up with `protect`.
bool place(game_addr address, const void* bytes, uint32_t size, uint32_t protect = game::kPageReadWrite) {
    const std::vector<game_addr> pages = pages_of(address, size);
    for (game_addr page : pages) {
        if (g_pages.count(page)) continue;
        // qemu-user takes the flag as a hint only: a taken page yields a mapping elsewhere.
        void* got = mmap(game::game_ptr<void>(page), kPageSize, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (got != game::game_ptr<void>(page)) return std::fprintf(stderr, "0x%08x is taken\n", page), false;
        g_pages[page] = game::kPageReadWrite;
    }
    if (!set_protection(address, size, game::kPageReadWrite)) return false;
    std::memcpy(game::game_ptr<void>(address), bytes, size);
    return set_protection(address, size, protect);
}

// Faults door 2's memory functions answer with when told, as Windows may.
struct MemoryFaults {
    game_addr protect_refused_at = 0;  // protect_region fails for a range holding it; 0 for none
    bool flush_fails = false;
} g_faults;

// Machine code laid from `at`: opcodes, 32-bit immediates and jumps.
struct Code {
    game_addr at;
    std::vector<uint8_t> bytes;
    Code& op(std::initializer_list<uint8_t> b) { return bytes.insert(bytes.end(), b), *this; }
    Code& imm(uint32_t x) { return op({uint8_t(x), uint8_t(x >> 8), uint8_t(x >> 16), uint8_t(x >> 24)}); }
    Code& imm(const volatile void* p) { return imm(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p))); }
    Code& jmp(game_addr to) { return op({0xE9}).imm(to - (at + static_cast<game_addr>(bytes.size()) + 4)); }
};

// Stand-ins for the game's routines, behind a jump from each routine's address. Each records
// what it was entered with, returns `result`, and then, as any game routine may, leaves ECX,
// EDX and the flags (and ESI, for the routine that may) changed.
enum StandIn {
    kDebugPrint, kCurrentGarden, kAllocItemRecord, kReleaseHeldItem, kGardenSaveCheck, kGardenSaveStore,
    kCreateFruit, kCreateAnimal, kCreateItemObject, kSetChaoRoutine, kDiscardItem, kLoadItems, kStoreItems,
    kGuardedLifecycle, kStandInCount
};
constexpr game_addr kRoutines[kStandInCount] = {
    game::addr::debug_print,  game::addr::current_garden,    game::addr::alloc_item_record,
    game::addr::release_held_item, game::addr::garden_save_check, game::addr::garden_save_store,
    game::addr::create_fruit, game::addr::create_animal,     game::addr::create_item_object,
    game::addr::set_chao_routine, game::addr::discard_item, game::addr::load_items,
    game::addr::store_items,  game::addr::guarded_lifecycle};
struct StandInCall {
    uint32_t eax, ecx, edx, ebx, esp, ebp, esi, edi;  // on entry, in the machine's register order
    uint32_t flags, return_address, stack[6];         // on entry: the flags, [esp] and the words above
    uint32_t calls, order, result;                    // order: the count of all stand-ins' entries then
} g_stand_in[kStandInCount];
uint32_t g_sequence = 0;

void reset_stand_ins() { std::memset(g_stand_in, 0, sizeof g_stand_in), g_sequence = 0; }  // results become 0

Code stand_in(int which, game_addr at) {
    StandInCall& c = g_stand_in[which];
    Code k{at, {}};
    for (uint8_t r = 0; r < 8; ++r) k.op({0x89, uint8_t(0x05 | r << 3)}).imm(&c.eax + r);  // mov [c.reg], reg
    k.op({0x9C, 0x8F, 0x05}).imm(&c.flags);                                                 // pushfd; pop [c.flags]
    for (uint8_t w = 0; w < 7; ++w) k.op({0x8B, 0x44, 0x24, uint8_t(4 * w), 0xA3}).imm(&c.return_address + w);
    k.op({0xFF, 0x05}).imm(&c.calls).op({0xFF, 0x05}).imm(&g_sequence);       // inc [calls]; inc [sequence]
    k.op({0xA1}).imm(&g_sequence).op({0xA3}).imm(&c.order);                     // c.order = sequence
    k.op({0xB9}).imm(0xC5C5C5C5).op({0xBA}).imm(0xD5D5D5D5);                    // mov ecx/edx, trash
    if (which == kGardenSaveStore) k.op({0xBE}).imm(0x5E5E5E5E);                // mov esi, trash
    // mov eax, [c.result]; push CF PF AF ZF SF OF (DF clear, as every routine must leave it); popfd; ret
    return k.op({0xA1}).imm(&c.result).op({0x68}).imm(0x8D5).op({0x9D, 0xC3});
}

std::map<game_addr, uint8_t> g_built;  // the image's bytes (as the simulator pokes them)

// The simulator's image (the instruction forms and fingerprints the installers check) with the
// stand-ins and `code` on top (clear of the last bytes of each fingerprinted range, which steer
// its fingerprint back to its value).
bool build_image(std::vector<Code> code) {
    for (int i = 0; i < kStandInCount; ++i) {
        code.push_back(stand_in(i, kStandInArea + 0x100 * i));
        code.push_back(Code{kRoutines[i], {}}.jmp(kStandInArea + 0x100 * i));
    }
    sim::place_game_code();
    for (const Code& c : code)
        for (size_t i = 0; i < c.bytes.size(); ++i) g_built[c.at + static_cast<game_addr>(i)] = c.bytes[i];
    for (const sim::CodeRange& r : sim::fingerprinted_code()) {  // shortest first, as the simulator steers them
        std::vector<uint8_t> range(r.length);
        for (uint32_t i = 0; i < r.length; ++i) range[i] = g_built[r.address + i];
        if (game_memory::fnv1a32(range.data(), range.size()) != r.fnv1a &&
            !sim::steer_fnv1a(range.data(), range.size(), r.length - 4, r.fnv1a))
            return std::fprintf(stderr, "cannot steer %08x\n", r.address), false;
        for (uint32_t i = 0; i < r.length; ++i) g_built[r.address + i] = range[i];
    }
    return true;
}

// Every byte and page protection of the image placed again, each run of bytes at once.
bool place_image(const std::vector<Code>& code) {
    static const bool built = build_image(code);
    for (auto it = g_built.begin(); built && it != g_built.end();) {
        const game_addr at = it->first;
        std::vector<uint8_t> run;
        for (; it != g_built.end() && it->first == at + run.size(); ++it) run.push_back(it->second);
        const uint32_t protect = at < kCodeEnd ? game::kPageExecuteRead : game::kPageReadWrite;
        if (!place(at, run.data(), static_cast<uint32_t>(run.size()), protect)) return false;
    }
    return built;
}

// Xors one byte of the placed image, protection kept.
bool flip(game_addr address, uint8_t bits) {
    const uint8_t b = game::read<uint8_t>(address) ^ bits;
    return place(address, &b, 1, protection(address));
}

// Every byte of the image with its page's protection, to tell whether anything was written.
std::vector<uint32_t> image_now() {
    std::vector<uint32_t> now;
    for (const auto& [address, b] : g_built) now.push_back(game::read<uint8_t>(address) | protection(address) << 8);
    return now;
}

}  // namespace

// Door 2's memory functions, over the pages above as VirtualQuery and its kin in the game.
namespace game {

uintptr_t g_base = 0;  // a game address is a pointer here, as in the DLL

bool query_region(game_addr address, RegionInfo& info) {
    const game_addr page = address & ~(kPageSize - 1);
    auto it = g_pages.find(page);
    if (it == g_pages.end()) return info = RegionInfo{page, 0, 0, kPageSize, 0x10000, kPageNoAccess, 0}, true;  // free
    const uint32_t p = it->second;
    const bool image = of_image(page);
    uint64_t end = uint64_t(page) + kPageSize;  // the region runs on over like pages
    for (auto n = std::next(it); n != g_pages.end() && n->first == end && n->second == p && of_image(end) == image; ++n)
        end += kPageSize;
    info = RegionInfo{page, image ? kImageBase : page, p, uint32_t(end - page), kMemCommit, p, image ? kMemImage : 0x20000};
    return true;
}

game_addr main_module() { return kImageBase; }

bool protect_region(game_addr address, uint32_t size, uint32_t new_protect, uint32_t& old_protect) {
    const game_addr refused = g_faults.protect_refused_at;
    for (game_addr page : pages_of(address, size))  // like VirtualProtect: all committed, or nothing changed
        if (!g_pages.count(page)) return false;
    const uint32_t was = protection(address);
    if ((refused && refused - address < size) || !set_protection(address, size, new_protect)) return false;
    old_protect = was;
    return true;
}

// x86 and qemu keep translated code coherent with stores; the flush is for other hosts.
bool flush_code(game_addr, uint32_t) { return !g_faults.flush_fails; }

// Memory the game's code can reach: private pages above the game's image, never freed.
game_addr alloc_game_memory(uint32_t size) {
    static game_addr next = 0x02000000;
    const game_addr at = next;
    next += (size + 2 * kPageSize - 1) & ~(kPageSize - 1);  // and a page's gap, so an overrun faults
    return place(at, std::vector<uint8_t>(std::max(size, 1u)).data(), std::max(size, 1u)) ? at : 0;
}

}  // namespace game

namespace sim {

void poke(game_addr address, const void* data, size_t size) {
    if (address >= kModImageBase) return;  // only the game's own module
    for (size_t i = 0; i < size; ++i) g_built[address + i] = static_cast<const uint8_t*>(data)[i];
}
void peek(game_addr address, void* data, size_t size) { std::memcpy(data, game::game_ptr<void>(address), size); }
void map(game_addr, uint32_t, uint32_t, uint32_t, game_addr) {}  // the simulator's own module: not wanted

}  // namespace sim

// ---- the game's code entered as the game enters it

struct MachineRegs { uint32_t eax, ecx, edx, ebx, esi, edi, ebp; };
// Pushes words[count - 1] .. words[0], loads `in`, calls fn; `out` gets the registers after the
// return and esp_change the stack pointer then minus at the call (0 for a caller-cleaned
// routine). The harness's stack is restored from memory, so a wrong callee is reported, not fatal.
extern "C" void velmora_call_machine(uintptr_t fn, const MachineRegs* in, const uint32_t* words, uint32_t count,
                                     MachineRegs* out, int32_t* esp_change);

namespace {

constexpr game_addr kRecord = 0x01D10000, kSaveText = 0x01D20000;  // a Chao record the store sites write to
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
    REQUIRE(place_image(game_callers()));
    const uint32_t words[2] = {0, kSaveText};  // save_busy, save_path
    REQUIRE(place(kRecord, std::vector<uint8_t>(0x100).data(), 0x100));
    REQUIRE(place(kSaveText, kSavePath, sizeof kSavePath));
    REQUIRE(place(game::addr::save_busy, words, sizeof words));
    lifespan::reset();
    animals::reset();
    g_faults = {};
    ModLog::set_log_sink(&ModLog::game_sink);  // the log goes to the game's debug print routine, as in the game
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

// Calls one of the DLL's functions as compiled code would, with `words` as its arguments, its
// stand-in answering `answer`: EAX back, the callee-saved registers kept, the stand-in entered
// once with DF clear. A routine taking `words` on the stack gets them as given (with
// `first_mask` 0xFF, a byte argument first, in its word's low byte).
template <class Fn>
uint32_t call_kept(int which, uint32_t answer, Fn* fn, std::vector<uint32_t> words = {}, uint32_t first_mask = 0) {
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
    CHECK(call_kept(kAllocItemRecord, 0x019F7A10, game::alloc_item_record, {2}) == 0x019F7A10);
    CHECK(g_stand_in[kAllocItemRecord].ecx == 2);
    for (uint32_t answer : {0u, 0x100u, 0x80000000u}) {  // any non-zero word is a valid save
        CHECK((call_kept(kGardenSaveCheck, answer, game::garden_save_check, {kBlock}) & 0xFF) == (answer != 0));
        CHECK(g_stand_in[kGardenSaveCheck].ecx == kBlock);
    }
    call_kept(kGardenSaveStore, 0, game::garden_save_store, {kBlock});  // our ESI back although changed
    CHECK(g_stand_in[kGardenSaveStore].esi == kBlock);
    call_kept(kSetChaoRoutine, 0, game::set_chao_routine, {0x01C3A000, 0x10002340});
    const StandInCall& set = g_stand_in[kSetChaoRoutine];
    CHECK((set.eax == 0x01C3A000 && set.stack[0] == 0x10002340 && set.stack[1] == 0xFFFFFFFFu));

    CHECK(call_kept(kCreateFruit, 0x01C4, game::create_fruit, {7, 0x2000, uint32_t(-0x40), 0x2010, 0x7000}, ~0u) == 0x01C4);
    CHECK(call_kept(kCreateAnimal, 0x01C5, game::create_animal, {0xF3, 0x2000, 0x80, 0x2010, 0x7100}, 0xFF) == 0x01C5);
    CHECK(call_kept(kCreateItemObject, 0x01C6, game::create_item_object, {3, 0x2000, 0x2010, 0x7200}, 0xFF) == 0x01C6);
    call_kept(kReleaseHeldItem, 0, game::release_held_item);

    // The thunks keep what the compiler holds in registers, and let it see memory change.
#define RUN_HOLDING(name, reg, statement, which) CHECK_MESSAGE(name(g_held) == 1, #name);
    HOLDING_CASES(RUN_HOLDING)
}

TEST_CASE("lifespan and rebirth: the stores and the ageing routine run as no-ops, the gate keeps ECX and EDX") {
    fresh_game();
    REQUIRE(install_lifespan_protection());
    // Unpatched, sites 1 and 2 store AX into the record at ESI; the ageing routine returns at once.
    for (game_addr site : {kSite1, kSite2, kSite3}) check_regs(run(site), 0);
    CHECK(game::read<uint16_t>(kRecord + 0x8C) == 0);
    CHECK(game::read<uint16_t>(kRecord + 0x8A) == 0);

    // The rebirth hook, on top: the game's rebirth routine reaches the gate from both sites.
    StandInCall& guarded = g_stand_in[kGuardedLifecycle];
    REQUIRE(install_rebirth_hook());
    // The manual rebirth gets 1 from the gate at both calls, R not asked; another task, and
    // task 0 even with nothing authorised, asks R with it and gets its answer back.
    using Case = std::tuple<game_addr, uint32_t, uint32_t, uint32_t, uint32_t>;  // entry, authorized, task, answer, R calls
    for (auto [entry, authorized, task, answer, r_calls] :
         {Case{manual_rebirth_address(), 0, 0x01C3A000, 2, 0}, Case{kRebirthRoutine, 0x01C3A000, 0x01C3A100, 0xA0, 2},
          Case{kRebirthRoutine, 0, 0, 0xA0, 2}}) {
        INFO(entry, " ", task);
        reset_stand_ins();
        std::memset((void*)&g_n, 0, sizeof g_n);
        guarded.result = 0x50;
        velmora_rebirth_authorized = authorized;
        const MachineRegs r = run(entry, kRegs, {task});
        velmora_rebirth_authorized = 0;
        CHECK(r.eax == answer);
        CHECK(guarded.calls == r_calls);
        if (r_calls) CHECK(guarded.eax == task);
        check_regs(r);
        // R changed both; the gate gave the routine its own back after each call.
        CHECK((g_n.ecx[0] == kNEcx[0] && g_n.edx[0] == kNEdx[0] && g_n.ecx[1] == kNEcx[1] && g_n.edx[1] == kNEdx[1]));
    }
}

TEST_CASE("animal patch: the five calls reach the entry code, the reserve and the game's routines") {
    fresh_game();
    REQUIRE(install_animal_patch(kModDir.str(), kSlot));
    REQUIRE(ensure_reserve_loaded());
    // ECX says fruit, the stack word animals: sites 0 to 2 take the kind from ECX, 3 and 4 from the stack.
    const MachineRegs fruit{kRegs.eax, kFruit, kRegs.edx, kRegs.ebx, kRegs.esi, kRegs.edi, kRegs.ebp};
    // Entered at the site's own code as its caller in the game would be.
    auto run_site = [](int site, const MachineRegs& in = kRegs) {
        return run(kSites[site].address - (site >= 3 ? 4 : 0), in, {kAnimals, 0x5717E000});
    };

    SUBCASE("allocation (sites 1 and 2): the game's record when it has one, else a reserve entry for animals") {
        StandInCall& alloc = g_stand_in[kAllocItemRecord];
        alloc.result = 0x019F7A10;
        check_passed_on(1, alloc, run_site(1), 0x019F7A10);
        CHECK(record_is_free(table()[0]));
        alloc.result = 0;
        const MachineRegs r = run_site(2);
        CHECK(r.eax == reserve().table);
        CHECK(table()[0].garden == 2);  // the current garden, from the game's routine
        check_regs(r);
    }
    SUBCASE("discard guard (site 0): skipped for animals, the game's routine for anything else") {
        StandInCall& discard = g_stand_in[kDiscardItem];
        discard.result = 0x600D;
        check_regs(run_site(0), 0);
        CHECK(discard.calls == 0);
        check_passed_on(0, discard, run_site(0, fruit), 0x600D, fruit);
    }
    SUBCASE("load (site 3): the reserve told first, then the game's routine with the game's argument") {
        StandInCall& load = g_stand_in[kLoadItems];
        load.result = 77;
        check_passed_on(3, load, run_site(3, fruit), 77, fruit);
        CHECK(reserve().entered_garden == 2);
        CHECK(g_stand_in[kCurrentGarden].order < load.order);
        CHECK(load.stack[0] == kAnimals);
    }
    SUBCASE("store (site 4): the game's routine, then the reserve saved; the routine's answer to the game") {
        // The save fails, so the handler tells when it ran: after the game's routine.
        const StandInCall &store = g_stand_in[kStoreItems], &print = g_stand_in[kDebugPrint];
        table()[5] = AnimalRecord{4, 2, 1, 1, 10.0f, 0.0f, -3.5f};
        reset_stand_ins();
        g_stand_in[kStoreItems].result = 0x5A7ED;
        platform::set_file_fault_hook([](platform::FileOp, platform::FaultPhase, const char*, void*) { return false; },
                                      nullptr);
        MachineRegs r = run_site(4, fruit);
        platform::set_file_fault_hook(nullptr, nullptr);
        check_passed_on(4, store, r, 0x5A7ED, fruit);
        CHECK(store.stack[0] == kAnimals);
        REQUIRE(print.calls == 1);
        CHECK(std::strcmp(reinterpret_cast<const char*>(uintptr_t{print.stack[0]}), "[velmora] %s") == 0);
        CHECK(std::strstr(reinterpret_cast<const char*>(uintptr_t{print.stack[1]}), "could not save reserve"));
        CHECK(store.order < print.order);
    }
}

TEST_CASE("the installers refuse foreign game code, a refused protection change or a failed flush, and write nothing") {
    using Install = bool (*)();
    const Install lifespan = install_lifespan_protection, rebirth = install_rebirth_hook,
                  animal = [] { return install_animal_patch(kModDir.str(), kSlot); };
    using Refusal = std::tuple<const char*, Install, game_addr, uint8_t, MemoryFaults>;  // what, installer, foreign byte
    // One foreign byte for each installer (the simulated game's tests try every checked place),
    // and the faults of the animal installer's own writer (the others' shared one is tested there).
    const Refusal cases[] = {
        {"site 1 store with an index byte", lifespan, kSite1 + 2, 0x02, {}},
        {"routine setter", rebirth, kSetRoutine + 7, 0xFF, {}},
        {"checked code", animal, kCodeChecks[1].address + kCodeChecks[1].length - 1, 1, {}},
        // Refused late: what was changed before gets its protection back.
        {"animals, the limit refused", animal, 0, 0, {kLimit}},
        // The unpatched calls and the old limit written back.
        {"animals, the flush failed", animal, 0, 0, {0, true}},
        // The lifespan patch is written even so, but not verified.
        {"lifespan, the flush failed", lifespan, 0, 0, {0, true}}};
    for (const auto& [what, install, flip_at, bits, faults] : cases) {
        INFO(what);
        fresh_game();
        if (install == rebirth) REQUIRE(install_lifespan_protection());
        if (flip_at) REQUIRE(flip(flip_at, bits));
        const std::vector<uint32_t> before = image_now();
        g_faults = faults;
        CHECK_FALSE(install());
        g_faults = {};
        if (install == lifespan && faults.flush_fails) CHECK_FALSE(verify_lifespan_protection());
        else CHECK(image_now() == before);
    }
}

// The Game Boy menu: its code fingerprinted where the game has it, the menu object, the task
// tree and the menu's state block on pages whose protection is real, so a read or write the
// checks should have refused faults the test program.
namespace {

constexpr game_addr kMenuObjectPointer = 0x01A559D4, kTaskRoots = 0x01A5A254;
constexpr uint32_t kObjectSize = 816;
const uint8_t kPut[8] = {0x07, 'P', 'u', 't', 0, 0, 0, 0}, kStore[8] = {0x07, 'S', 't', 'o', 'r', 'e', 0, 0};
uint8_t g_object[kObjectSize];  // a menu object as the game has it: "Put", then "Release"

// The menu's objects at the ends of their pages (with no page after, one byte past faults), a
// root task whose child links back to the root and whose next link is the menu's task, and its
// state block.
constexpr game_addr kObject = 0x01F01000 - kObjectSize, kRoot = 0x01F04000,
                    kLoop = kRoot + 0x100, kTask = kRoot + 0x200, kState = kRoot + 0x300;

uint32_t state() { return game::read<uint32_t>(kState + 12); }

// The game with its Game Boy menu open.
void open_menu() {
    fresh_game();
    for (uint32_t i = 0; i < kObjectSize; ++i) g_object[i] = static_cast<uint8_t>(i * 7);
    std::memcpy(g_object + 48, "\0\0\x03\x20\0\0\x03\x28", 8);  // the checked words 0x20030000, 0x28030000
    std::memcpy(g_object + 800, "\x07Put\0\0\0\0\x07Release", 16);
    REQUIRE(place(kObject, g_object, kObjectSize));
    REQUIRE(place(kRoot, std::vector<uint8_t>(kPageSize).data(), kPageSize));
    const uint32_t roots[8] = {0, 0, 0, kRoot};
    REQUIRE(place(kTaskRoots, roots, sizeof roots));
    const std::pair<game_addr, uint32_t> links[] = {{kRoot + 4, kLoop},     {kLoop + 4, kRoot},   {kLoop + 12, kTask},
                                                    {kTask + 40, 0x007951A0}, {kTask + 24, 0x00795550},
                                                    {kTask + 64, kState},   {kState + 12, 12}};
    for (auto [at, value] : links) game::write<uint32_t>(at, value);
    REQUIRE(place(kMenuObjectPointer, &kObject, 4));
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

TEST_CASE("the open Game Boy menu is relabelled at the game's addresses and told to redraw, or left alone") {
    open_menu();
    CHECK(SetGameBoyStoreLabel(true));
    CHECK(slot_is(kObject, kStore));
    CHECK(state() == 0xFFFFFFFFu);

    // Already relabelled: neither the text nor the menu's state is touched again.
    game::write<uint32_t>(kState + 12, 12);
    CHECK_FALSE(SetGameBoyStoreLabel(true));
    CHECK(state() == 12);

    CHECK(SetGameBoyStoreLabel(false));
    CHECK(slot_is(kObject, kPut));
    CHECK(state() == 0xFFFFFFFFu);

    game::write<uint32_t>(kState + 12, 5);  // a state other than 12 stays as it is
    CHECK(SetGameBoyStoreLabel(true));
    CHECK(state() == 5);

    // Foreign menu code or memory not as the game leaves it: the label stays, nothing is written.
    std::vector<std::pair<std::string, std::function<void()>>> cases = {
        {"the menu object on a read-only page", [] { REQUIRE(set_protection(kObject, kObjectSize, game::kPageReadOnly)); }},
        {"the menu object pointer leads to no memory", [] { game::write<uint32_t>(kMenuObjectPointer, 0x01F01000); }},
        {"the menu object's last bytes past the end of its page", [at = 0x01F07000 - (kObjectSize - 8)] {
             REQUIRE(place(at, g_object, kObjectSize - 8));
             game::write<uint32_t>(kMenuObjectPointer, at);
         }},
        {"the object's checked words differ", [] { game::game_ptr<uint8_t>(kObject)[52] = g_object[52] ^= 1; }},
        {"the menu's state block read-only: the task is not the one sought",
         [] { REQUIRE(set_protection(kRoot, kPageSize, game::kPageReadOnly)); }},
        {"the menu is closed", [] { game::write<uint32_t>(kLoop + 12, 0); }},
        {"storage not usable", [] { storage_state().enabled = false; }},
    };
    // The ends of both fingerprinted ranges (12 bytes at 795364, 58 at 795390).
    for (game_addr at : {0x00795364u, 0x0079536Fu, 0x00795390u, 0x007953C9u})
        cases.push_back({"foreign menu code at " + std::to_string(at), [at] { REQUIRE(flip(at, 0x40)); }});
    for (const auto& [what, spoil] : cases) {
        INFO(what);
        open_menu();
        spoil();
        CHECK_FALSE(SetGameBoyStoreLabel(true));
        CHECK(slot_is(kObject, kPut));
        CHECK(state() == 12);
    }
}
