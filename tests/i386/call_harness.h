// Enters code as the game's own code would call it: every general register set, some words
// pushed, and every register and the stack pointer reported after its return.
#pragma once
#include <cstdint>

struct MachineRegs {
    uint32_t eax, ecx, edx, ebx, esi, edi, ebp;
};

// Pushes words[count - 1] .. words[0], loads `in`, calls fn; `out` gets the registers after the
// return and esp_change the stack pointer then minus at the call (0 for a caller-cleaned
// routine). The harness's stack is restored from memory, so a wrong callee is reported, not fatal.
extern "C" void velmora_call_machine(uintptr_t fn, const MachineRegs* in, const uint32_t* words, uint32_t count,
                                     MachineRegs* out, int32_t* esp_change);
