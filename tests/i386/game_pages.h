// Pages at the game's own addresses inside a 32-bit Linux test program, so code that calls,
// hooks or rewrites the game's code runs as machine code at the addresses the DLL uses. Each
// page carries what a Windows memory query reports for it, and its mmap protection follows
// that, so an access the probes should have refused really faults. Pages in the game's image
// range belong to its main module; others are private memory of their own allocation.
// Door 2's memory functions (query_region, protect_region, flush_code, alloc_game_memory)
// answer over these pages as VirtualQuery and its kin do in the game.
#pragma once
#include <cstdint>

#include "host/game.h"

namespace game_pages {

constexpr uint32_t kPageSize = 0x1000;
constexpr game_addr kImageBase = 0x00400000;  // the game's executable, also its module handle
constexpr game_addr kImageEnd = 0x01E00000;

// Maps the missing pages of the range zero-filled, read-write; refuses (mapping nothing) an
// empty or wrapping range, one reaching the program's own image, or a page taken by others.
bool map(game_addr address, uint32_t size);
// Copies bytes there (mapping as needed); the pages end up execute-read / read-write.
bool place_code(game_addr address, const void* bytes, uint32_t size);
bool place_data(game_addr address, const void* bytes, uint32_t size);
// A Windows protection for every page of the range (all mapped here); false if Windows would refuse it.
bool set_protection(game_addr address, uint32_t size, uint32_t windows_protect);
bool is_mapped(game_addr address, uint32_t size);
// The lowest address of the test program's own image: every game page lies below it.
game_addr image_start();

}  // namespace game_pages

// Faults door 2's memory functions answer with when told, as Windows may.
namespace memory_faults {
extern game_addr g_protect_refused_at;  // protect_region fails for a range holding it; 0 for none
extern bool g_flush_fails;              // flush_code answers false
inline void clear() { g_protect_refused_at = 0, g_flush_fails = false; }
}  // namespace memory_faults
