// Calls into 32-bit game routines that take an argument in a register. Shared by the
// shipped DLL and the 32-bit test build, so the code the tests run is the code that ships.
// Each thunk names every register the routine may change; EBX, EDI and EBP are preserved
// by the game's routines like any cdecl callee's.
#pragma once
#if defined(__i386__)
#include <cstdint>

namespace game::thunk {

// ECX = argument; result in EAX.
inline uint32_t call_ecx(uint32_t fn, uint32_t ecx) {
    uint32_t result;
    asm volatile("call *%[fn]" : "=a"(result), "+c"(ecx) : [fn] "r"(fn) : "edx", "memory", "cc");
    return result;
}

// ESI = argument; the routine may leave ESI changed.
inline void call_esi(uint32_t fn, uint32_t esi) {
    asm volatile("call *%[fn]" : "+S"(esi) : [fn] "r"(fn) : "eax", "ecx", "edx", "memory", "cc");
}

// EAX = argument, then two stack words (pushed right to left), removed by the caller.
inline void call_eax_2(uint32_t fn, uint32_t eax, uint32_t first, uint32_t second) {
    asm volatile(
        "pushl %[second]\n\t"
        "pushl %[first]\n\t"
        "call *%[fn]\n\t"
        "addl $8, %%esp"
        : "+a"(eax)
        : [first] "r"(first), [second] "r"(second), [fn] "r"(fn)
        : "ecx", "edx", "memory", "cc");
}

}  // namespace game::thunk
#endif
