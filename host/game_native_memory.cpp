// Door 2's memory queries inside the game: VirtualQuery, VirtualProtect and
// FlushInstructionCache over game addresses. Free of the i686 thunks, so the Windows-side
// tests build it for x86-64 and run it on pages they allocate below 4 GiB.
#include <windows.h>

#include <cstdlib>

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
    // A 64-bit process can report a free region reaching past 4 GiB; game addresses stop there.
    uint64_t end = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(mbi.BaseAddress)) + mbi.RegionSize;
    if (end > (1ull << 32)) end = 1ull << 32;
    info.size = static_cast<uint32_t>(end - info.base);
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

game_addr alloc_game_memory(uint32_t size) {
    // Ordinary heap memory: inside the game's 32-bit process its address is a game address.
    // Never freed; it lives as long as the process.
    void* block = calloc(size ? size : 1, 1);
    uint64_t at = reinterpret_cast<uintptr_t>(block);
    if (!block || at + size > (1ull << 32)) {
        free(block);
        return 0;
    }
    return static_cast<game_addr>(at);
}

bool flush_code(game_addr address, uint32_t size) {
    return FlushInstructionCache(GetCurrentProcess(), reinterpret_cast<const void*>(static_cast<uintptr_t>(address)),
                                 size) != 0;
}

}  // namespace game
