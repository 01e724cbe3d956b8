// The game's code and memory inside a 32-bit Linux test program, at the game's own addresses:
// pages whose mmap protection follows what a Windows memory query reports for them (so an
// access the probes should have refused really faults), the simulator's image of the game's
// code, stand-ins for the game's routines, and a way in as the game's own code would call.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "host/game.h"

// Machine code laid from `at`: opcodes, 32-bit immediates and jumps.
struct Code {
    game_addr at;
    std::vector<uint8_t> bytes;
    Code& op(std::initializer_list<uint8_t> b) { return bytes.insert(bytes.end(), b), *this; }
    Code& imm(uint32_t x) { return op({uint8_t(x), uint8_t(x >> 8), uint8_t(x >> 16), uint8_t(x >> 24)}); }
    Code& imm(const volatile void* p) { return imm(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p))); }
    Code& jmp(game_addr to) { return op({0xE9}).imm(to - (at + static_cast<game_addr>(bytes.size()) + 4)); }
};

struct MachineRegs {
    uint32_t eax, ecx, edx, ebx, esi, edi, ebp;
};
// Pushes words[count - 1] .. words[0], loads `in`, calls fn; `out` gets the registers after the
// return and esp_change the stack pointer then minus at the call (0 for a caller-cleaned
// routine). The harness's stack is restored from memory, so a wrong callee is reported, not fatal.
extern "C" void velmora_call_machine(uintptr_t fn, const MachineRegs* in, const uint32_t* words, uint32_t count,
                                     MachineRegs* out, int32_t* esp_change);

// Stand-ins for the game's routines, behind a jump from each routine's address. Each records
// what it was entered with, returns `result`, and then, as any game routine may, leaves ECX,
// EDX and the flags (and ESI, for the routine that may) changed.
enum StandIn {
    kDebugPrint, kCurrentGarden, kAllocItemRecord, kReleaseHeldItem, kGardenSaveCheck, kGardenSaveStore,
    kCreateFruit, kCreateAnimal, kCreateItemObject, kSetChaoRoutine, kDiscardItem, kLoadItems, kStoreItems,
    kGuardedLifecycle, kStandInCount
};
constexpr uint32_t kTrashEcx = 0xC5C5C5C5, kTrashEdx = 0xD5D5D5D5, kTrashEsi = 0x5E5E5E5E;
struct StandInCall {
    uint32_t eax, ecx, edx, ebx, esp, ebp, esi, edi;  // on entry, in the machine's register order
    uint32_t flags, return_address, stack[6];         // on entry: the flags, [esp] and the words above
    uint32_t calls, order, result;                    // order: the count of all stand-ins' entries then
};
extern StandInCall g_stand_in[kStandInCount];
void reset_stand_ins();  // every record cleared; results become 0

namespace game_pages {
constexpr uint32_t kPageSize = 0x1000;
// Copies bytes there (mapping the missing pages zero-filled); the pages end up with `protect`.
bool place(game_addr address, const void* bytes, uint32_t size, uint32_t protect = game::kPageReadWrite);
// A Windows protection for every page of the range; false if Windows would refuse it.
bool set_protection(game_addr address, uint32_t size, uint32_t windows_protect);
uint32_t protection(game_addr address);  // as the memory query reports it
}  // namespace game_pages

// Faults door 2's memory functions answer with when told, as Windows may.
struct MemoryFaults {
    game_addr protect_refused_at = 0;  // protect_region fails for a range holding it; 0 for none
    bool flush_fails = false;          // flush_code answers false
};
extern MemoryFaults g_faults;

// The simulator's image (the instruction forms and fingerprints the installers check) with the
// stand-ins and a test's own code on top, every fingerprinted range steered back to its value.
namespace game_image {
// Places every byte and every page's protection as built on the first call, with `code` on top
// (clear of the last bytes of each fingerprinted range, which steer its fingerprint).
bool place(std::vector<Code> (*code)());
// Xors one byte of the placed image, protection kept; first_difference() then expects it.
bool flip(game_addr address, uint8_t bits);
void take_live_as_placed();  // after an installer wrote its patch
// "" when every byte and page protection is as placed (and flipped), else the first difference.
std::string first_difference();
}  // namespace game_image
