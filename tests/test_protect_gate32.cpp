// The rebirth gate as the 32-bit machine code that ships, run under qemu-i386 with stand-ins
// for the game's guarded routine R and rebirth routine N at their real addresses. The hook
// bytes come from the same encoders the installer uses.
#include <doctest/doctest.h>

#include <sys/mman.h>

#include <cstring>
#include <vector>

#include "protect/game_memory.h"
#include "protect/hook_entry.h"
#include "protect/lifespan.h"

extern "C" {
volatile uint32_t velmora_rebirth_authorized = 0;
void velmora_rebirth_gate();
}

namespace {

using namespace game_memory;

constexpr uint32_t kPages = 0x00568000;
constexpr uint32_t kCounter = 0x00568E00;  // R's call count

unsigned char* at(uint32_t address) { return reinterpret_cast<unsigned char*>(static_cast<uintptr_t>(address)); }

void put(uint32_t address, std::vector<uint8_t> bytes) { std::memcpy(at(address), bytes.data(), bytes.size()); }

void put_rel32(uint8_t opcode, uint32_t site, uint32_t target) {
    uint8_t b[5];
    encode_rel32(opcode, site, target, b);
    std::memcpy(at(site), b, 5);
}

uint32_t r_calls() { return *reinterpret_cast<volatile uint32_t*>(at(kCounter)); }

// R counts its calls, answers EAX + 100 and, like any routine may, changes ECX and EDX.
// N loads its stack argument, calls R from both hook sites and answers the sum.
void lay_out_game() {
    static bool mapped = false;
    if (!mapped) {
        void* p = mmap(at(kPages), 0x2000, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED,
                       -1, 0);
        REQUIRE(p == at(kPages));
        mapped = true;
    }
    std::memset(at(kPages), 0xCC, 0x2000);
    std::memset(at(kCounter), 0, 4);
    put(lifespan::kGuardedRoutine, {0xFF, 0x05, 0x00, 0x8E, 0x56, 0x00,  // inc dword [counter]
                                    0x83, 0xC0, 0x64,                    // add eax, 100
                                    0xB9, 0xAD, 0xDE, 0x00, 0x00,        // mov ecx, 0xDEAD
                                    0xBA, 0xEF, 0xBE, 0x00, 0x00,        // mov edx, 0xBEEF
                                    0xC3});
    const uint32_t n = lifespan::kRebirthRoutine;
    put(n, {0x8B, 0x44, 0x24, 0x04});  // mov eax, [esp+4]
    put_rel32(kOpJmpRel32, n + 4, lifespan::kHookSites[0]);
    put_rel32(kOpCallRel32, lifespan::kHookSites[0], lifespan::kGuardedRoutine);
    const uint32_t after0 = lifespan::kHookSites[0] + 5;
    put(after0, {0x50, 0x8B, 0x44, 0x24, 0x08});  // push eax; mov eax, [esp+8]
    put_rel32(kOpJmpRel32, after0 + 5, lifespan::kHookSites[1]);
    put_rel32(kOpCallRel32, lifespan::kHookSites[1], lifespan::kGuardedRoutine);
    put(lifespan::kHookSites[1] + 5, {0x5A, 0x01, 0xD0, 0xC3});  // pop edx; add eax, edx; ret
}

struct GateCall {
    uint32_t eax, ecx, edx;
};

GateCall call_gate(uint32_t argument) {
    GateCall out{argument, 0, 0};
    asm volatile(
        "movl $0x11111111, %%ecx\n\t"
        "movl $0x22222222, %%edx\n\t"
        "call velmora_rebirth_gate\n\t"
        "movl %%ecx, %[ecx]\n\t"
        "movl %%edx, %[edx]"
        : "+a"(out.eax), [ecx] "=m"(out.ecx), [edx] "=m"(out.edx)
        :
        : "ecx", "edx", "memory", "cc");
    return out;
}

uint32_t run_n(uint32_t task) {
    return reinterpret_cast<uint32_t(__attribute__((cdecl)) *)(uint32_t)>(
        static_cast<uintptr_t>(lifespan::kRebirthRoutine))(task);
}

uint32_t gate() { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&velmora_rebirth_gate)); }

}  // namespace

TEST_CASE("the gate: authorised task answered at once, anything else asked of R; ECX and EDX kept") {
    lay_out_game();
    struct Case {
        uint32_t authorized, argument, eax, r_calls;
    };
    // 0 is never let through, even when nothing is authorised.
    const Case cases[] = {{0, 5, 105, 1}, {5, 5, 1, 1}, {5, 6, 106, 2}, {0, 0, 100, 3}};
    for (const Case& k : cases) {
        velmora_rebirth_authorized = k.authorized;
        GateCall c = call_gate(k.argument);
        CHECK(c.eax == k.eax);
        CHECK(r_calls() == k.r_calls);
        CHECK(c.ecx == 0x11111111);
        CHECK(c.edx == 0x22222222);
    }
}

TEST_CASE("the rebirth routine, unhooked and hooked: through for the authorised task only") {
    lay_out_game();
    CHECK(run_n(7) == 214);  // through the game's own call bytes
    CHECK(r_calls() == 2);
    for (uint32_t site : lifespan::kHookSites) put_rel32(kOpCallRel32, site, gate());
    velmora_rebirth_authorized = 0x10004000;
    CHECK(run_n(0x10004000) == 2);
    CHECK(r_calls() == 2);
    CHECK(run_n(0x10004100) == 2 * (0x10004100 + 100));
    CHECK(r_calls() == 4);
}
