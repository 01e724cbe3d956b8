// Pages at the game's own addresses inside a 32-bit Linux test program, so that code which
// calls, hooks or rewrites the game's code runs as real machine code at the addresses the
// DLL uses. Any bytes can be placed at any game address below the program's own image;
// pages are mapped on first use and stay until unmap_all.
//
// Each page carries what a Windows memory query reports for it (protection, type,
// allocation base), and its mmap protection follows the Windows one, so an access the
// probes would refuse really faults. Pages inside the game's image range belong to the
// game's main module; others are private memory of their own allocation.
#pragma once
#include <cstdint>

#include "host/game.h"

namespace game_pages {

constexpr uint32_t kPageSize = 0x1000;
constexpr game_addr kImageBase = 0x00400000;  // the game's executable, also its module handle
constexpr game_addr kImageEnd = 0x01E00000;
constexpr uint32_t kMemPrivate = 0x20000;
constexpr uint32_t kMemFree = 0x10000;

// Maps the pages covering [address, address + size) that are not mapped yet, zero-filled,
// read-write. Refuses (and maps nothing) when the range is empty, wraps, reaches the test
// program's own image, or a page is already taken by anything else.
bool map(game_addr address, uint32_t size);

// Copies code to address, mapping pages as needed. The pages touched end up execute-read,
// like the game's code, and the instruction cache is flushed.
bool place_code(game_addr address, const void* bytes, uint32_t size);

// Copies data to address, mapping pages as needed; the pages touched end up read-write.
bool place_data(game_addr address, const void* bytes, uint32_t size);

// Gives every page of the range (all mapped here) a Windows protection; false for a
// protection Windows would refuse.
bool set_protection(game_addr address, uint32_t size, uint32_t windows_protect);

// What VirtualQuery reports for the page holding address and the run of like pages after it.
void query(game_addr address, game::RegionInfo& info);

// True when every page of the range is mapped by this module.
bool is_mapped(game_addr address, uint32_t size);

// Unmaps every page this module mapped.
void unmap_all();

// The lowest address of the test program's own image: every game page lies below it.
game_addr image_start();

// The mmap protection standing for a Windows one; -1 when Windows would refuse it.
int host_protection(uint32_t windows_protect);

}  // namespace game_pages
