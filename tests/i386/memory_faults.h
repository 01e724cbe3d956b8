// Faults door 2's memory functions of the 32-bit tests can be told to answer with, as
// Windows may: a protection change refused for a range holding one address, or a failed
// instruction-cache flush.
#pragma once
#include "host/game.h"

namespace memory_faults {

// protect_region fails for any range that holds this address; 0 for none.
extern game_addr g_protect_refused_at;
// flush_code answers false while set.
extern bool g_flush_fails;

inline void clear() {
    g_protect_refused_at = 0;
    g_flush_fails = false;
}

}  // namespace memory_faults
