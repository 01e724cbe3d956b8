// Pages at the game's own addresses inside a 32-bit Linux test program, so that code which
// calls, hooks or rewrites the game's code runs as real machine code at the addresses the
// DLL uses. Any bytes can be placed at any game address below the program's own image;
// pages are mapped on first use and stay until unmap_all.
#pragma once
#include <cstdint>

#include "host/game.h"

namespace game_pages {

constexpr uint32_t kPageSize = 0x1000;

// Maps the pages covering [address, address + size) that are not mapped yet, zero-filled,
// readable and writable. Refuses (and maps nothing) when the range is empty, wraps, reaches
// the test program's own image, or a page is already taken by anything else.
bool map(game_addr address, uint32_t size);

// Copies code to address, mapping pages as needed. The pages touched end up readable and
// executable, not writable, like the game's code, and the instruction cache is flushed.
bool place_code(game_addr address, const void* bytes, uint32_t size);

// Copies data to address, mapping pages as needed; the pages touched end up read-write.
bool place_data(game_addr address, const void* bytes, uint32_t size);

// Gives every page of the range (all mapped by this module) the mmap protection prot.
bool protect(game_addr address, uint32_t size, int prot);

// True when every page of the range is mapped by this module.
bool is_mapped(game_addr address, uint32_t size);

// Unmaps every page this module mapped.
void unmap_all();

// The lowest address of the test program's own image: every game page lies below it.
game_addr image_start();

}  // namespace game_pages
