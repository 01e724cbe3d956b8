// The probes and the patch primitive over the real Windows memory functions; this program is
// linked at a low base and plays the game's main module.
#include <doctest/doctest.h>

#include <windows.h>

#include <cstring>

#include "host/game.h"
#include "protect/game_memory.h"

using namespace game_memory;

namespace {

void* ptr(game_addr a) { return reinterpret_cast<void*>(static_cast<uintptr_t>(a)); }

// Pages at a low address, so that a 32-bit game address reaches them; released at the end.
struct LowPages {
    game_addr at = 0;
    LowPages(uint32_t size, DWORD type, DWORD protect) {
        for (uintptr_t p = 0x30000000; p < 0x7F000000 && !at; p += 0x01000000)
            at = static_cast<game_addr>(reinterpret_cast<uintptr_t>(VirtualAlloc(reinterpret_cast<void*>(p), size, type, protect)));
        REQUIRE(at != 0);
    }
    ~LowPages() { VirtualFree(ptr(at), 0, MEM_RELEASE); }
};

DWORD protection_of(game_addr a) {
    MEMORY_BASIC_INFORMATION mbi{};
    VirtualQuery(ptr(a), &mbi, sizeof mbi);
    return mbi.Protect;
}

void set_protection(game_addr a, SIZE_T size, DWORD protect) {
    DWORD old = 0;
    REQUIRE(VirtualProtect(ptr(a), size, protect, &old));
}

__attribute__((noinline)) int own_code(int x) { return x * 3 + 1; }
volatile int g_own_data = 5;

}  // namespace

TEST_CASE("probes over the real memory query: ends, protections, modifiers, guard and reserved pages, other code") {
    LowPages pages(0x2000, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    const game_addr a = pages.at;
    CHECK(is_readable(a, 0x2000));
    CHECK_FALSE((is_readable(a, 0x2001) || is_game_image_data(a, 4)));  // private memory
    set_protection(a + 0x1000, 0x1000, PAGE_READONLY);
    CHECK_FALSE((is_readable(a, 0x1001) || is_writable(a + 0x1000, 4)));
    set_protection(a + 0x1000, 0x1000, PAGE_READWRITE | PAGE_GUARD);
    CHECK_FALSE((is_readable(a + 0x1000, 4) || is_writable(a + 0x1000, 4)));

    // Wine keeps no modifier bits on committed pages; Windows does, and the probe refuses them.
    set_protection(a, 0x1000, PAGE_READWRITE | PAGE_NOCACHE);
    CHECK(is_writable(a, 4) == (protection_of(a) == PAGE_READWRITE));

    LowPages reserved(0x1000, MEM_RESERVE, PAGE_READWRITE);
    CHECK_FALSE((is_readable(reserved.at, 1) || probe_struct(reserved.at, 4, false)));
    LowPages code(0x1000, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READ);
    CHECK_FALSE((is_writable(code.at, 16) || is_game_code(code.at, 16)));  // executable, but not the game's image
}

TEST_CASE("this program is the main module below 4 GiB; its code and data") {
    uintptr_t module = reinterpret_cast<uintptr_t>(GetModuleHandleW(nullptr));
    REQUIRE(module < (uintptr_t(1) << 32));
    CHECK(game::main_module() == static_cast<game_addr>(module));
    game_addr code = static_cast<game_addr>(reinterpret_cast<uintptr_t>(&own_code));
    game_addr data = static_cast<game_addr>(reinterpret_cast<uintptr_t>(&g_own_data));
    CHECK((is_game_code(code, 16) && is_game_image_data(code, 16) && is_game_image_data(data, 4)));
    CHECK_FALSE(is_game_code(data, 4));
    CHECK(matches_fingerprint(code, 16, fnv1a32(ptr(code), 16)));
}

TEST_CASE("apply_code_patch rewrites running code and gives the protection back") {
    LowPages pages(0x2000, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    const game_addr code = pages.at;
    const unsigned char routine[] = {0xB8, 0x01, 0x00, 0x00, 0x00, 0xC3};  // mov eax, 1; ret
    std::memcpy(ptr(code), routine, sizeof routine);
    set_protection(code, 0x2000, PAGE_EXECUTE_READ);
    auto run = reinterpret_cast<int (*)()>(ptr(code));
    CodePatchSite sites[2] = {{code + 1, 1, {0x02}}};
    bool written = false;
    CHECK((apply_code_patch(sites, 1, &written) && written));
    CHECK(protection_of(code) == PAGE_EXECUTE_READ);
    CHECK(run() == 2);

    // A second site in memory only reserved: the first given its protection back, nothing written.
    LowPages reserved(0x1000, MEM_RESERVE, PAGE_READWRITE);
    sites[0].bytes[0] = 0x07;
    sites[1] = {reserved.at, 4};
    CHECK_FALSE((apply_code_patch(sites, 2, &written) || written));
    CHECK(protection_of(code) == PAGE_EXECUTE_READ);
    CHECK(run() == 2);
}
