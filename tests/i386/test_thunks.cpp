// The game's routines as the DLL calls them, run as 32-bit code against stand-ins at the
// game's own addresses: every argument in its register or stack word, every result, and
// every register the caller relies on kept across the call.
#include <doctest/doctest.h>
#include <sys/mman.h>

#include <cstring>
#include <vector>

#include "host/game.h"
#include "host/game_thunks.h"
#include "tests/i386/call_harness.h"
#include "tests/i386/game_pages.h"
#include "tests/i386/stand_ins.h"

namespace {

void ready() {
    static bool placed = stand_ins::place();
    REQUIRE(placed);
    stand_ins::reset();
}

// Known values in every register a cdecl callee must keep (and others in the rest).
constexpr MachineRegs kKept{0xA0A0A0A0, 0xC0C0C0C0, 0xD0D0D0D0, 0x0B0B0B0B, 0x51515151, 0xD1D1D1D1, 0xB9B9B9B9};

// Calls one of the DLL's functions as compiled code would, its stand-in answering `answer`:
// EAX back, the callee-saved registers kept, the stand-in entered once with DF clear.
template <class Fn, class... Words>
uint32_t call_kept(int which, uint32_t answer, Fn* fn, Words... words) {
    stand_ins::reset();
    stand_ins::call(which).result = answer;
    const uint32_t args[] = {static_cast<uint32_t>(words)..., 0};
    MachineRegs out{};
    int32_t esp_change = -1;
    velmora_call_machine(reinterpret_cast<uintptr_t>(fn), &kKept, args, sizeof...(Words), &out, &esp_change);
    CHECK(out.ebx == kKept.ebx);
    CHECK(out.esi == kKept.esi);
    CHECK(out.edi == kKept.edi);
    CHECK(out.ebp == kKept.ebp);
    CHECK(esp_change == 0);
    CHECK(stand_ins::call(which).calls == 1);
    CHECK((stand_ins::call(which).flags & 0x400) == 0);
    return out.eax;
}

// The words above the stand-in's return address, `bytes` of them compared as bytes.
void check_stack(int which, std::vector<uint32_t> words, size_t bytes = 0) {
    for (size_t i = 0; i < words.size(); ++i) {
        CAPTURE(i);
        CHECK((stand_ins::call(which).stack[i] & (i < bytes ? 0xFFu : ~0u)) == words[i]);
    }
}

volatile uint32_t g_seed = 0x3C000000;

}  // namespace

TEST_CASE("game pages lie at the game's addresses, below the program, and are never taken twice") {
    REQUIRE(game_pages::image_start() > game::addr::button_words + 0x1000);
    const unsigned char data[] = {1, 2, 3, 4, 5, 6, 7, 8};
    REQUIRE(game_pages::place_data(game::addr::chao_slots + 0x7FC, data, sizeof data));  // across a page boundary
    CHECK(game::read<uint32_t>(game::addr::chao_slots + 0x800) == 0x08070605);
    CHECK_FALSE(game_pages::is_mapped(game::addr::chao_slots, 8));

    // A page held by anything else is refused, and a refused range maps none of its pages.
    const game_addr foreign = 0x01F00000;
    void* held = mmap(reinterpret_cast<void*>(uintptr_t{foreign}), 0x1000, PROT_READ,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    REQUIRE(held == reinterpret_cast<void*>(uintptr_t{foreign}));
    CHECK_FALSE(game_pages::map(foreign - 0x2000, 0x3000));
    CHECK_FALSE(game_pages::is_mapped(foreign - 0x2000, 1));
    CHECK(game_pages::map(foreign - 0x2000, 0x2000));
    munmap(held, 0x1000);
    for (auto [at, size] : {std::pair{game_pages::image_start() - 0x1000, 0x1001u}, {0xFFFFF000u, 0x2000u}, {0x00400000u, 0u}})
        CHECK_FALSE(game_pages::map(at, size));
}

// Holds one value in one register across one thunk call and says whether it is still there,
// with the stack pointer where it was. Nothing else competes for registers, so the compiler
// leaves the value in place unless the thunk names the register as changed: a register the
// thunk forgets is one the routine's changes reach. A held value that is also the argument
// checks that the thunk does not take its argument register as unchanged. A wrong stack
// pointer is noted and put right (the frame pointer keeps the saved one reachable).
#define HOLDING_FUNCTION(name, reg, statement)                                                  \
    __attribute__((noinline, optimize("no-omit-frame-pointer"))) bool name(uint32_t held_value) { \
        uint32_t held = held_value, sp_before, sp_after;           \
        asm volatile("" : "+" reg(held));                          \
        asm volatile("movl %%esp, %0" : "=r"(sp_before));          \
        statement;                                                 \
        asm volatile("movl %%esp, %0\n\tmovl %1, %%esp" : "=&r"(sp_after) : "r"(sp_before)); \
        asm volatile("" : "+" reg(held));                          \
        return held == held_value && sp_after == sp_before;        \
    }

#define CALL_ECX(arg) game::thunk::call_ecx(game::addr::alloc_item_record, arg)
#define CALL_ESI(arg) game::thunk::call_esi(game::addr::garden_save_store, arg)
#define CALL_EAX_2(arg) game::thunk::call_eax_2(game::addr::set_chao_routine, arg, 0x10002340, 0xFFFFFFFFu)

// (function, register held, call, stand-in, the register the held value went in by, if any)
#define HOLDING_CASES(X)                                                                                   \
    X(call_ecx_keeps_eax, "a", CALL_ECX(7), STAND_IN_ALLOC_ITEM_RECORD, nullptr)                           \
    X(call_ecx_keeps_ecx_argument, "c", CALL_ECX(held), STAND_IN_ALLOC_ITEM_RECORD, &StandInCall::ecx)     \
    X(call_ecx_keeps_edx, "d", CALL_ECX(7), STAND_IN_ALLOC_ITEM_RECORD, nullptr)                           \
    X(call_esi_keeps_eax, "a", CALL_ESI(game::addr::garden_save_block), STAND_IN_GARDEN_SAVE_STORE, nullptr) \
    X(call_esi_keeps_ecx, "c", CALL_ESI(game::addr::garden_save_block), STAND_IN_GARDEN_SAVE_STORE, nullptr) \
    X(call_esi_keeps_edx, "d", CALL_ESI(game::addr::garden_save_block), STAND_IN_GARDEN_SAVE_STORE, nullptr) \
    X(call_esi_keeps_esi_argument, "S", CALL_ESI(held), STAND_IN_GARDEN_SAVE_STORE, &StandInCall::esi)     \
    X(call_eax_2_keeps_eax_argument, "a", CALL_EAX_2(held), STAND_IN_SET_CHAO_ROUTINE, &StandInCall::eax)  \
    X(call_eax_2_keeps_ecx, "c", CALL_EAX_2(0x01C3A000), STAND_IN_SET_CHAO_ROUTINE, nullptr)               \
    X(call_eax_2_keeps_edx, "d", CALL_EAX_2(0x01C3A000), STAND_IN_SET_CHAO_ROUTINE, nullptr)
#define DEFINE_HOLDING(name, reg, statement, stand_in, argument) HOLDING_FUNCTION(name, reg, statement)
HOLDING_CASES(DEFINE_HOLDING)

// Reads the stand-in's call count around one thunk call: unless the thunk tells the compiler
// that the routine may touch memory, the second read is folded into the first.
#define COUNTING_FUNCTION(name, which, statement)                \
    __attribute__((noinline)) uint32_t name() {                \
        uint32_t before = velmora_stand_in_calls[which].calls; \
        statement;                                             \
        return velmora_stand_in_calls[which].calls - before;   \
    }

COUNTING_FUNCTION(call_ecx_count, STAND_IN_ALLOC_ITEM_RECORD, CALL_ECX(7))
COUNTING_FUNCTION(call_esi_count, STAND_IN_GARDEN_SAVE_STORE, CALL_ESI(game::addr::garden_save_block))
COUNTING_FUNCTION(call_eax_2_count, STAND_IN_SET_CHAO_ROUTINE, CALL_EAX_2(0x01C3A000))

TEST_CASE("thunks keep what the compiler holds in registers, and let it see memory change") {
    ready();
    const uint32_t held = g_seed;
    struct Case {
        const char* name;
        bool (*run)(uint32_t);
        int stand_in;
        uint32_t StandInCall::*argument;
    };
#define HOLDING_CASE(name, reg, statement, stand_in, argument) {#name, name, stand_in, argument},
    const Case cases[] = {HOLDING_CASES(HOLDING_CASE)};
    for (const Case& c : cases) {
        CAPTURE(c.name);
        stand_ins::reset();
        CHECK(c.run(held));
        CHECK(stand_ins::call(c.stand_in).calls == 1);
        if (c.argument) CHECK(stand_ins::call(c.stand_in).*c.argument == held);
    }
    CHECK(call_ecx_count() == 1);
    CHECK(call_esi_count() == 1);
    CHECK(call_eax_2_count() == 1);
}

TEST_CASE("each routine gets its arguments in its registers and stack words, and its answer comes back") {
    ready();
    constexpr game_addr kBlock = game::addr::garden_save_block;
    CHECK(call_kept(STAND_IN_ALLOC_ITEM_RECORD, 0x019F7A10, &game::alloc_item_record, 2) == 0x019F7A10);
    CHECK(stand_ins::call(STAND_IN_ALLOC_ITEM_RECORD).ecx == 2);
    for (uint32_t answer : {1u, 0u, 0x100u, 0x80000000u}) {  // any non-zero word is a valid save
        CAPTURE(answer);
        CHECK((call_kept(STAND_IN_GARDEN_SAVE_CHECK, answer, &game::garden_save_check, kBlock) & 0xFF) == (answer != 0));
        CHECK(stand_ins::call(STAND_IN_GARDEN_SAVE_CHECK).ecx == kBlock);
    }
    call_kept(STAND_IN_GARDEN_SAVE_STORE, 0, &game::garden_save_store, kBlock);  // our ESI back although changed
    CHECK(stand_ins::call(STAND_IN_GARDEN_SAVE_STORE).esi == kBlock);
    call_kept(STAND_IN_SET_CHAO_ROUTINE, 0, &game::set_chao_routine, 0x01C3A000, 0x10002340);
    CHECK(stand_ins::call(STAND_IN_SET_CHAO_ROUTINE).eax == 0x01C3A000);
    check_stack(STAND_IN_SET_CHAO_ROUTINE, {0x10002340, 0xFFFFFFFFu});

    CHECK(call_kept(STAND_IN_CREATE_FRUIT, 0x01C40000, &game::create_fruit, 7, 0x00200000, -0x4000, 0x00200010,
                    0x019F7000) == 0x01C40000);
    check_stack(STAND_IN_CREATE_FRUIT, {7, 0x00200000, static_cast<uint32_t>(-0x4000), 0x00200010, 0x019F7000});
    CHECK(call_kept(STAND_IN_CREATE_ANIMAL, 0x01C50000, &game::create_animal, 0xF3, 0x00200000, 0x8000, 0x00200010,
                    0x019F7100) == 0x01C50000);
    check_stack(STAND_IN_CREATE_ANIMAL, {0xF3, 0x00200000, 0x8000, 0x00200010, 0x019F7100}, 1);
    CHECK(call_kept(STAND_IN_CREATE_ITEM_OBJECT, 0x01C60000, &game::create_item_object, 3, 0x00200000, 0x00200010,
                    0x019F7200) == 0x01C60000);
    check_stack(STAND_IN_CREATE_ITEM_OBJECT, {3, 0x00200000, 0x00200010, 0x019F7200}, 1);
    CHECK(call_kept(STAND_IN_CURRENT_GARDEN, 0xFFFFFFFFu, &game::current_garden) == 0xFFFFFFFFu);
    call_kept(STAND_IN_RELEASE_HELD_ITEM, 0, &game::release_held_item);

    static const char line[] = "session: 100% ready";  // debug_print passes its own format and the line
    call_kept(STAND_IN_DEBUG_PRINT, 0, &game::debug_print, reinterpret_cast<uintptr_t>(line));
    CHECK(std::strcmp(reinterpret_cast<const char*>(uintptr_t{stand_ins::call(STAND_IN_DEBUG_PRINT).stack[0]}),
                      "[velmora] %s") == 0);
    CHECK(stand_ins::call(STAND_IN_DEBUG_PRINT).stack[1] == reinterpret_cast<uintptr_t>(line));
}
