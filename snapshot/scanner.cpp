#include "snapshot/scanner.h"

#include <cstdint>
#include <random>

#include "platform/platform.h"

std::string new_session_id() {
    // Seeded from the clock and a stack address, so two games started in the same second
    // still differ. The generator is our own, so the game's rand() state is left alone.
    int anchor = 0;
    uint64_t seed = static_cast<uint64_t>(platform::calendar_seconds()) ^
                    static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&anchor));
    std::mt19937 rng(static_cast<uint32_t>(seed ^ (seed >> 32)));
    static const char kHex[] = "0123456789abcdef";
    std::string id(16, '0');
    for (char& c : id) c = kHex[rng() & 15u];
    return id;
}
