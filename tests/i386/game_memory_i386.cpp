// Door 2's memory functions over the pages game_pages keeps, answering as VirtualQuery,
// VirtualProtect and FlushInstructionCache do in the game, so the real installers run unchanged.
#include <cstring>

#include "host/game.h"
#include "tests/i386/game_image.h"
#include "tests/i386/game_pages.h"

namespace memory_faults {
game_addr g_protect_refused_at = 0;
bool g_flush_fails = false;
}  // namespace memory_faults

namespace game {

bool query_region(game_addr address, RegionInfo& info) {
    game_pages::query(address, info);
    return true;
}

game_addr main_module() { return game_pages::kImageBase; }

bool protect_region(game_addr address, uint32_t size, uint32_t new_protect, uint32_t& old_protect) {
    if (size == 0 || address > UINT32_MAX - (size - 1)) return false;
    const game_addr refused = memory_faults::g_protect_refused_at;
    if (refused != 0 && refused >= address && refused - address < size) return false;
    // Like VirtualProtect: every page of the range committed and of one allocation.
    RegionInfo first{};
    game_pages::query(address, first);
    if (first.state != kMemCommit) return false;
    const game_addr last_page = (address + (size - 1)) & ~(game_pages::kPageSize - 1);
    for (game_addr page = first.base;; page += game_pages::kPageSize) {
        RegionInfo r{};
        game_pages::query(page, r);
        if (r.state != kMemCommit || r.allocation_base != first.allocation_base) return false;
        if (page == last_page) break;
    }
    if (!game_pages::set_protection(address, size, new_protect)) return false;
    old_protect = first.protect;
    return true;
}

// x86 and qemu keep translated code coherent with stores; the flush is for other hosts.
bool flush_code(game_addr address, uint32_t size) {
    if (memory_faults::g_flush_fails) return false;
    if (size != 0) {
        char* begin = game_ptr<char>(address);
        __builtin___clear_cache(begin, begin + size);
    }
    return true;
}

// Memory the game's code can reach: private pages above the game's image, never freed.
game_addr alloc_game_memory(uint32_t size) {
    static game_addr next = 0x02000000;
    uint32_t rounded = ((size ? size : 1) + game_pages::kPageSize - 1) & ~(game_pages::kPageSize - 1);
    game_addr at = next;
    if (!game_pages::map(at, rounded)) return 0;
    next += rounded + game_pages::kPageSize;  // a gap, so an overrun faults
    std::memset(game_ptr<char>(at), 0, rounded);
    return at;
}

}  // namespace game
