// The simulator's code image is compiled in for its bytes: its model of the mod's entry
// points and of the rebirth routine is renamed out of the way of the real ones linked here,
// and its memory writes are collected instead of reaching a simulated process.
#include <sys/mman.h>

#include <cstring>
#include <map>

#define rebirth_gate_address sim_model_rebirth_gate_address
#define manual_rebirth_address sim_model_manual_rebirth_address
#define rebirth_routine sim_model_rebirth_routine
#include "sim/game_code.cpp"
#undef rebirth_gate_address
#undef manual_rebirth_address
#undef rebirth_routine

#include "tests/i386/harness.h"

using game_pages::kPageSize;

namespace {

constexpr game_addr kImageBase = 0x00400000, kImageEnd = 0x01E00000;  // the game's executable
constexpr game_addr kCodeEnd = 0x00800000;      // its code below, its data (the animal limit word) above
constexpr game_addr kStandInArea = 0x007E0000;  // the stand-ins' bodies, 256 bytes each
constexpr uint32_t kMemPrivate = 0x20000, kMemFree = 0x10000;

struct Page {
    uint32_t protect;  // Windows protection
    game_addr allocation_base;  // kImageBase for the game's module, else private memory
};
std::map<game_addr, Page> g_pages;

// The pages a range touches; none when it is empty or wraps.
std::vector<game_addr> pages_of(game_addr address, uint32_t size) {
    std::vector<game_addr> pages;
    if (size == 0 || address > UINT32_MAX - (size - 1)) return pages;
    for (uint64_t page = address & ~(kPageSize - 1); page <= address + (size - 1); page += kPageSize) pages.push_back(page);
    return pages;
}

// The mmap protection standing for a Windows one (those the DLL and the tests use); -1 for others.
int host_protection(uint32_t p) {
    switch (p) {
        case game::kPageReadOnly: return PROT_READ;
        case game::kPageReadWrite: return PROT_READ | PROT_WRITE;
        case game::kPageExecuteRead: return PROT_READ | PROT_EXEC;
        case game::kPageExecuteReadWrite: return PROT_READ | PROT_WRITE | PROT_EXEC;
    }
    return -1;
}

uint32_t g_sequence = 0;

// The stand-in for routine `which`, at `at`.
Code stand_in(int which, game_addr at) {
    StandInCall& c = g_stand_in[which];
    Code k{at, {}};
    for (uint8_t r = 0; r < 8; ++r) k.op({0x89, uint8_t(0x05 | r << 3)}).imm(&c.eax + r);  // mov [c.reg], reg
    k.op({0x9C, 0x8F, 0x05}).imm(&c.flags);                                                 // pushfd; pop [c.flags]
    for (uint8_t w = 0; w < 7; ++w) k.op({0x8B, 0x44, 0x24, uint8_t(4 * w), 0xA3}).imm(&c.return_address + w);
    k.op({0xFF, 0x05}).imm(&c.calls).op({0xFF, 0x05}).imm(&g_sequence);       // inc [calls]; inc [sequence]
    k.op({0xA1}).imm(&g_sequence).op({0xA3}).imm(&c.order);                     // c.order = sequence
    k.op({0xB9}).imm(kTrashEcx).op({0xBA}).imm(kTrashEdx);                      // mov ecx/edx, trash
    if (which == kGardenSaveStore) k.op({0xBE}).imm(kTrashEsi);                 // mov esi, trash
    // mov eax, [c.result]; push CF PF AF ZF SF OF (DF clear, as every routine must leave it); popfd; ret
    return k.op({0xA1}).imm(&c.result).op({0x68}).imm(0x8D5).op({0x9D, 0xC3});
}

std::map<game_addr, uint8_t> g_built, g_expected;  // the image's bytes (as the simulator pokes them)

uint32_t protect_of(game_addr page) { return page < kCodeEnd ? game::kPageExecuteRead : game::kPageReadWrite; }

}  // namespace

StandInCall g_stand_in[kStandInCount];

void reset_stand_ins() {
    std::memset(g_stand_in, 0, sizeof g_stand_in);
    g_sequence = 0;
}

namespace game_pages {

bool map(game_addr address, uint32_t size) {
    const std::vector<game_addr> pages = pages_of(address, size);
    for (game_addr page : pages) {
        if (g_pages.count(page)) continue;
        // qemu-user takes the flag as a hint only: a taken page yields a mapping elsewhere.
        void* got = mmap(game::game_ptr<void>(page), kPageSize, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (got != game::game_ptr<void>(page)) return std::fprintf(stderr, "game_pages: 0x%08x is taken\n", page), false;
        g_pages[page] = Page{game::kPageReadWrite, page >= kImageBase && page < kImageEnd ? kImageBase : pages[0]};
    }
    return !pages.empty();
}

bool set_protection(game_addr address, uint32_t size, uint32_t windows_protect) {
    const std::vector<game_addr> pages = pages_of(address, size);
    for (game_addr page : pages) {
        if (!g_pages.count(page) || mprotect(game::game_ptr<void>(page), kPageSize, host_protection(windows_protect)) != 0) return false;
        g_pages[page].protect = windows_protect;
    }
    return !pages.empty();
}

uint32_t protection(game_addr address) {
    auto it = g_pages.find(address & ~(kPageSize - 1));
    return it == g_pages.end() ? game::kPageNoAccess : it->second.protect;
}

bool place(game_addr address, const void* bytes, uint32_t size, uint32_t protect) {
    if (!map(address, size) || !set_protection(address, size, game::kPageReadWrite)) return false;
    std::memcpy(game::game_ptr<void>(address), bytes, size);
    return set_protection(address, size, protect);
}

}  // namespace game_pages

MemoryFaults g_faults;

// Door 2's memory functions, over the pages above as VirtualQuery and its kin in the game.
namespace game {

uintptr_t g_base = 0;  // a game address is a pointer here, as in the DLL

bool query_region(game_addr address, RegionInfo& info) {
    const game_addr page = address & ~(kPageSize - 1);
    auto it = g_pages.find(page);
    if (it == g_pages.end()) {  // free up to the next page of ours
        auto next = g_pages.upper_bound(page);
        info = RegionInfo{page, 0, 0, uint32_t((next == g_pages.end() ? (1ull << 32) : next->first) - page), kMemFree,
                          kPageNoAccess, 0};
        return true;
    }
    const Page& p = it->second;
    uint64_t end = uint64_t(page) + kPageSize;  // the region runs on over like pages
    for (auto n = std::next(it); n != g_pages.end() && n->first == end; ++n, end += kPageSize)
        if (n->second.protect != p.protect || n->second.allocation_base != p.allocation_base) break;
    info = RegionInfo{page, p.allocation_base, p.protect, uint32_t(end - page), kMemCommit, p.protect,
                      p.allocation_base == kImageBase ? kMemImage : kMemPrivate};
    return true;
}

game_addr main_module() { return kImageBase; }

bool protect_region(game_addr address, uint32_t size, uint32_t new_protect, uint32_t& old_protect) {
    const game_addr refused = g_faults.protect_refused_at;
    for (game_addr page : pages_of(address, size))  // like VirtualProtect: all committed, or nothing changed
        if (!g_pages.count(page)) return false;
    const uint32_t was = game_pages::protection(address);
    if ((refused && refused - address < size) || !game_pages::set_protection(address, size, new_protect)) return false;
    old_protect = was;
    return true;
}

// x86 and qemu keep translated code coherent with stores; the flush is for other hosts.
bool flush_code(game_addr address, uint32_t size) { return !g_faults.flush_fails; }

// Memory the game's code can reach: private pages above the game's image, never freed.
game_addr alloc_game_memory(uint32_t size) {
    static game_addr next = 0x02000000;
    const game_addr at = next;
    next += (size + 2 * kPageSize - 1) & ~(kPageSize - 1);  // and a page's gap, so an overrun faults
    return game_pages::map(at, size ? size : 1) ? at : 0;
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

namespace game_image {

namespace {

bool build(std::vector<Code> code) {
    static constexpr game_addr kRoutines[kStandInCount] = {
        game::addr::debug_print,  game::addr::current_garden, game::addr::alloc_item_record,
        game::addr::release_held_item, game::addr::garden_save_check, game::addr::garden_save_store,
        game::addr::create_fruit, game::addr::create_animal,  game::addr::create_item_object,
        game::addr::set_chao_routine, game::addr::discard_item, game::addr::load_items,
        game::addr::store_items,  game::addr::guarded_lifecycle};
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
            return std::fprintf(stderr, "game_image: cannot steer %08x\n", r.address), false;
        for (uint32_t i = 0; i < r.length; ++i) g_built[r.address + i] = range[i];
    }
    return true;
}

}  // namespace

bool place(std::vector<Code> (*code)()) {
    static const bool built = build(code());
    if (!built) return false;
    for (auto it = g_built.begin(); it != g_built.end();) {  // each run of bytes at once
        const game_addr at = it->first;
        std::vector<uint8_t> run;
        for (; it != g_built.end() && it->first == at + run.size(); ++it) run.push_back(it->second);
        if (!game_pages::place(at, run.data(), static_cast<uint32_t>(run.size()), protect_of(at))) return false;
    }
    g_expected = g_built;
    return true;
}

bool flip(game_addr address, uint8_t bits) {
    const uint32_t was = game_pages::protection(address);
    if (!game_pages::set_protection(address, 1, game::kPageReadWrite)) return false;
    g_expected[address] = *game::game_ptr<uint8_t>(address) ^= bits;
    return game_pages::set_protection(address, 1, was);
}

void take_live_as_placed() {
    for (auto& [address, b] : g_expected) b = *game::game_ptr<const uint8_t>(address);
}

std::string first_difference() {
    char line[32] = "";
    for (const auto& [address, b] : g_expected)
        if (*game::game_ptr<const uint8_t>(address) != b || game_pages::protection(address) != protect_of(address))
            return std::snprintf(line, sizeof line, "byte or page at %08x", address), line;
    return line;
}

}  // namespace game_image
