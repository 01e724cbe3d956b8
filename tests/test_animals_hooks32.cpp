// The animal hooks' entry code as the 32-bit machine code that ships, run under qemu-i386:
// called the way the game's code calls the routines it replaces, with stand-ins for those
// routines at their real addresses and recording handlers in place of the reserve's.
#include <doctest/doctest.h>

#include <sys/mman.h>

#include <cstring>

#include "animals/animal_reserve.h"
#include "protect/game_memory.h"

extern "C" {
void velmora_animal_discard_entry();
void velmora_animal_allocate_entry();
void velmora_animal_load_entry();
void velmora_animal_store_entry();

struct Regs {
    uint32_t eax, ecx, edx, ebx, esi, edi, ebp, esp;
};
// What a stand-in saw on entry, how often it ran and what it answers.
struct Seen {
    Regs regs;
    uint32_t ret, arg0, arg1, calls, result;
};
Seen seen_discard, seen_allocate, seen_load, seen_store;
uint32_t standin_discard(), standin_allocate(), standin_load(), standin_store();
// Calls `fn` with the registers of `in`, one stack argument and a word of the caller's frame
// above it; `out` gets the registers after the return and `*esp_at_call` the stack pointer at
// the call instruction.
void velmora_test_call(uint32_t fn, uint32_t arg, const Regs* in, Regs* out, uint32_t* esp_at_call);
}

asm(R"(
    .text
.macro STANDIN name, rec
    .globl \name
\name:
    movl %eax, \rec+0
    movl %ecx, \rec+4
    movl %edx, \rec+8
    movl %ebx, \rec+12
    movl %esi, \rec+16
    movl %edi, \rec+20
    movl %ebp, \rec+24
    movl %esp, \rec+28
    movl (%esp), %eax
    movl %eax, \rec+32
    movl 4(%esp), %eax
    movl %eax, \rec+36
    movl 8(%esp), %eax
    movl %eax, \rec+40
    incl \rec+44
    movl \rec+48, %eax
    movl $0xC5C5C5C5, %ecx
    movl $0xD5D5D5D5, %edx
    ret
.endm
    STANDIN standin_discard, seen_discard
    STANDIN standin_allocate, seen_allocate
    STANDIN standin_load, seen_load
    STANDIN standin_store, seen_store

    .bss
call_target: .long 0
call_out: .long 0
call_esp_out: .long 0
saved_esp: .long 0
tmp_eax: .long 0
    .text
    .globl velmora_test_call
velmora_test_call:
    pushl %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl 20(%esp), %eax
    movl %eax, call_target
    movl 24(%esp), %edx
    movl 28(%esp), %eax
    movl 32(%esp), %ecx
    movl %ecx, call_out
    movl 36(%esp), %ecx
    movl %ecx, call_esp_out
    movl %esp, saved_esp
    pushl $0x5717E000
    pushl %edx
    movl call_esp_out, %ecx
    movl %esp, (%ecx)
    movl 4(%eax), %ecx
    movl 8(%eax), %edx
    movl 12(%eax), %ebx
    movl 16(%eax), %esi
    movl 20(%eax), %edi
    movl 24(%eax), %ebp
    movl 0(%eax), %eax
    call *call_target
    movl %eax, tmp_eax
    movl call_out, %eax
    movl %ecx, 4(%eax)
    movl %edx, 8(%eax)
    movl %ebx, 12(%eax)
    movl %esi, 16(%eax)
    movl %edi, 20(%eax)
    movl %ebp, 24(%eax)
    movl %esp, 28(%eax)
    movl tmp_eax, %ecx
    movl %ecx, 0(%eax)
    movl saved_esp, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
)");

namespace {

struct Handler {
    uint32_t calls = 0, kind = 0, answer = 0;
    uint32_t routine_calls_before = 0;  // the stand-in's count when the handler ran
};
Handler h_discard, h_reserve, h_loading, h_stored;

// Handlers change the registers a cdecl routine may change, as compiled code is free to.
void trash() { asm volatile("movl $0xBAD0BAD0, %%ecx\n\tmovl $0xBAD1BAD1, %%edx" ::: "ecx", "edx"); }

uint32_t handle(Handler& h, uint32_t kind, const Seen& routine) {
    ++h.calls;
    h.kind = kind;
    h.routine_calls_before = routine.calls;
    trash();
    return h.answer;
}

}  // namespace

extern "C" {
uint32_t velmora_animal_discard_skips(uint32_t kind) { return handle(h_discard, kind, seen_discard); }
uint32_t velmora_animal_reserve_record(uint32_t kind) { return handle(h_reserve, kind, seen_allocate); }
void velmora_animal_items_loading(uint32_t kind) { handle(h_loading, kind, seen_load); }
void velmora_animal_items_stored(uint32_t kind) { handle(h_stored, kind, seen_store); }
}

namespace {

uint32_t address(void (*f)()) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(f)); }
uint32_t address(uint32_t (*f)()) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(f)); }

// The game's routines: a jump to each stand-in at its real address.
void lay_out_game() {
    static bool mapped = false;
    if (!mapped) {
        void* p = mmap(reinterpret_cast<void*>(0x0052E000), 0x2000, PROT_READ | PROT_WRITE | PROT_EXEC,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        REQUIRE(p == reinterpret_cast<void*>(0x0052E000));
        mapped = true;
    }
    const std::pair<game_addr, uint32_t> jumps[] = {{game::addr::discard_item, address(&standin_discard)},
                                                    {game::addr::alloc_item_record, address(&standin_allocate)},
                                                    {game::addr::load_items, address(&standin_load)},
                                                    {game::addr::store_items, address(&standin_store)}};
    for (auto [at, to] : jumps) {
        uint8_t b[5];
        game_memory::encode_jmp_rel32(at, to, b);
        std::memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(at)), b, 5);
    }
    for (Seen* s : {&seen_discard, &seen_allocate, &seen_load, &seen_store}) *s = Seen{};
    h_discard = h_reserve = h_loading = h_stored = Handler{};
}

const Regs kIn{0xA0A0A0A0, 2, 0xD0D0D0D0, 0xB0B0B0B0, 0x50505050, 0xD1D1D1D1, 0xB9B9B9B9, 0};
constexpr uint32_t kArg = 2;

struct Call {
    Regs out;
    uint32_t esp_at_call;
};

Call call(void (*entry)(), const Regs& in = kIn) {
    Call c{};
    velmora_test_call(address(entry), kArg, &in, &c.out, &c.esp_at_call);
    return c;
}

void check_callee_saved(const Call& c) {
    CHECK(c.out.ebx == kIn.ebx);
    CHECK(c.out.esi == kIn.esi);
    CHECK(c.out.edi == kIn.edi);
    CHECK(c.out.ebp == kIn.ebp);
    CHECK(c.out.esp == c.esp_at_call);  // the caller removes its own argument
}

// The routine was entered exactly as the game's call would have entered it.
void check_entered_as_game(const Seen& s, const Call& c) {
    CHECK(s.regs.eax == kIn.eax);
    CHECK(s.regs.ecx == kIn.ecx);
    CHECK(s.regs.edx == kIn.edx);
    CHECK(s.regs.ebx == kIn.ebx);
    CHECK(s.regs.esi == kIn.esi);
    CHECK(s.regs.edi == kIn.edi);
    CHECK(s.regs.ebp == kIn.ebp);
}

}  // namespace

TEST_CASE("discard guard: on into the game's routine untouched, or skipped with the registers kept") {
    lay_out_game();
    seen_discard.result = 0x600D;
    Call c = call(&velmora_animal_discard_entry);
    CHECK(h_discard.kind == 2);
    REQUIRE(seen_discard.calls == 1);
    check_entered_as_game(seen_discard, c);
    CHECK(seen_discard.regs.esp == c.esp_at_call - 4);  // a tail jump: the game's own return address
    CHECK(seen_discard.arg0 == kArg);
    CHECK(seen_discard.arg1 == 0x5717E000);
    CHECK(c.out.eax == 0x600D);
    check_callee_saved(c);

    h_discard.answer = 1;
    c = call(&velmora_animal_discard_entry);
    CHECK(seen_discard.calls == 1);
    CHECK(c.out.eax == kIn.eax);
    CHECK(c.out.ecx == kIn.ecx);
    CHECK(c.out.edx == kIn.edx);
    check_callee_saved(c);
}

TEST_CASE("allocation hook: the game's allocator first, the reserve only when it has none") {
    lay_out_game();
    seen_allocate.result = 0x019F6B18;
    Call c = call(&velmora_animal_allocate_entry);
    REQUIRE(seen_allocate.calls == 1);
    check_entered_as_game(seen_allocate, c);
    CHECK(h_reserve.calls == 0);
    CHECK(c.out.eax == 0x019F6B18);
    CHECK(c.out.ecx == 0xC5C5C5C5);  // as the allocator left them
    check_callee_saved(c);

    seen_allocate.result = 0;
    h_reserve.answer = 0x10000014;
    c = call(&velmora_animal_allocate_entry);
    CHECK(seen_allocate.calls == 2);
    CHECK(h_reserve.calls == 1);
    CHECK(h_reserve.kind == 2);  // the kind the game passed in ECX, not what the allocator left
    CHECK(c.out.eax == 0x10000014);
    check_callee_saved(c);
}

TEST_CASE("load hook: the handler with the stack argument, then the game's routine untouched") {
    lay_out_game();
    seen_load.result = 77;
    Regs in = kIn;
    Call c = call(&velmora_animal_load_entry, in);
    CHECK(h_loading.kind == kArg);
    CHECK(h_loading.routine_calls_before == 0);
    REQUIRE(seen_load.calls == 1);
    check_entered_as_game(seen_load, c);
    CHECK(seen_load.regs.esp == c.esp_at_call - 4);
    CHECK(seen_load.arg0 == kArg);
    CHECK(seen_load.arg1 == 0x5717E000);
    CHECK(c.out.eax == 77);
    check_callee_saved(c);
}

TEST_CASE("store hook: the game's routine with its argument, then the handler; the routine's result") {
    lay_out_game();
    seen_store.result = 0x5A7ED;
    Call c = call(&velmora_animal_store_entry);
    REQUIRE(seen_store.calls == 1);
    check_entered_as_game(seen_store, c);
    CHECK(seen_store.arg0 == kArg);
    CHECK(h_stored.calls == 1);
    CHECK(h_stored.kind == kArg);
    CHECK(h_stored.routine_calls_before == 1);
    CHECK(c.out.eax == 0x5A7ED);
    CHECK(c.out.ecx == 0xC5C5C5C5);
    CHECK(c.out.edx == 0xD5D5D5D5);
    check_callee_saved(c);
}
