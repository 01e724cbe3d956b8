// Running the game's code from a test: enter it at an address with every register set,
// as the game's own code would be at that point, and see every register after it returns.
#pragma once
#include <doctest/doctest.h>

#include <cstdint>
#include <vector>

#include "host/game.h"
#include "tests/i386/call_harness.h"

namespace run_game_code {

// Where the stand-ins' bodies lie when the game's image holds jumps to them.
constexpr game_addr kStandInArea = 0x007E0000;

struct Ran {
    MachineRegs out;
    int32_t esp_change;
};

inline Ran run(game_addr at, const MachineRegs& in, std::vector<uint32_t> words = {}) {
    Ran r{};
    velmora_call_machine(at, &in, words.data(), static_cast<uint32_t>(words.size()), &r.out, &r.esp_change);
    return r;
}

// Back at the caller with every register as it was and the stack as the call left it.
inline void check_untouched(const Ran& r, const MachineRegs& in) {
    CHECK(r.out.eax == in.eax);
    CHECK(r.out.ecx == in.ecx);
    CHECK(r.out.edx == in.edx);
    CHECK(r.out.ebx == in.ebx);
    CHECK(r.out.esi == in.esi);
    CHECK(r.out.edi == in.edi);
    CHECK(r.out.ebp == in.ebp);
    CHECK(r.esp_change == 0);
}

// Every register a cdecl routine keeps, and the caller's stack.
inline void check_callee_saved(const Ran& r, const MachineRegs& in) {
    CHECK(r.out.ebx == in.ebx);
    CHECK(r.out.esi == in.esi);
    CHECK(r.out.edi == in.edi);
    CHECK(r.out.ebp == in.ebp);
    CHECK(r.esp_change == 0);
}

inline uint32_t protection_at(game_addr address) {
    game::RegionInfo r{};
    game::query_region(address, r);
    return r.protect;
}

}  // namespace run_game_code
