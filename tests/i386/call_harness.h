// Calls a cdecl function the way compiled code would, but with known values in the
// registers every callee must keep (EBX, ESI, EDI, EBP), and reports what they and the
// stack pointer were when it returned.
#pragma once

#define HARNESS_EBX 0x0B0B0B0B
#define HARNESS_ESI 0x51515151
#define HARNESS_EDI 0xD1D1D1D1
#define HARNESS_EBP 0xB9B9B9B9

#ifndef __ASSEMBLER__
#include <cstdint>

struct CalleeSaved {
    uint32_t ebx, esi, edi, ebp;
    int32_t esp_change;  // the stack pointer after the call minus before it; 0 for cdecl
};

// Pushes args[count - 1] .. args[0], calls fn, removes the arguments; returns EAX. The
// harness's own stack pointer is restored from memory, so a callee that removes
// arguments it does not own is reported rather than fatal.
extern "C" uint32_t velmora_call_checked(uintptr_t fn, const uint32_t* args, uint32_t count, CalleeSaved* seen);

// Every general register, as the game's code would have them at a call it makes.
struct MachineRegs {
    uint32_t eax, ecx, edx, ebx, esi, edi, ebp;
};

// Enters game code at fn with every register of `in`, after pushing words[count - 1] ..
// words[0] (what the code finds above its return address), and reports every register
// after its return and the stack pointer then minus the one at the call (0 when it returned
// like a routine whose caller removes the words). The words are removed afterwards whatever
// the code did.
extern "C" void velmora_call_machine(uintptr_t fn, const MachineRegs* in, const uint32_t* words, uint32_t count,
                                     MachineRegs* out, int32_t* esp_change);
#endif
