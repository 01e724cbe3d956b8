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
#endif
