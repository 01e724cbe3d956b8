// Door 2 inside the game (i686 Windows): a game address is a pointer, and the memory
// queries are the Windows memory API. The game's routines are called from
// host/game_routines_i386.cpp, which the 32-bit Linux test build runs as well.
#include <windows.h>

#include "host/game.h"

namespace game {

uintptr_t g_base = 0;

bool query_region(game_addr address, RegionInfo& info) {
    MEMORY_BASIC_INFORMATION mbi{};
    if (VirtualQuery(reinterpret_cast<const void*>(static_cast<uintptr_t>(address)), &mbi, sizeof mbi) !=
        sizeof mbi)
        return false;
    info.base = static_cast<game_addr>(reinterpret_cast<uintptr_t>(mbi.BaseAddress));
    info.allocation_base = static_cast<game_addr>(reinterpret_cast<uintptr_t>(mbi.AllocationBase));
    info.allocation_protect = mbi.AllocationProtect;
    info.size = static_cast<uint32_t>(mbi.RegionSize);
    info.state = mbi.State;
    info.protect = mbi.Protect;
    info.type = mbi.Type;
    return true;
}

game_addr main_module() {
    return static_cast<game_addr>(reinterpret_cast<uintptr_t>(GetModuleHandleW(nullptr)));
}

bool protect_region(game_addr address, uint32_t size, uint32_t new_protect, uint32_t& old_protect) {
    DWORD old = 0;
    if (!VirtualProtect(reinterpret_cast<void*>(static_cast<uintptr_t>(address)), size, new_protect, &old))
        return false;
    old_protect = old;
    return true;
}

bool flush_code(game_addr address, uint32_t size) {
    return FlushInstructionCache(GetCurrentProcess(), reinterpret_cast<const void*>(static_cast<uintptr_t>(address)),
                                 size) != 0;
}

}  // namespace game
