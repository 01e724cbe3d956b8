// The game's routines as the DLL calls them, run as real 32-bit code against stand-ins at
// the game's own addresses: every argument in its register or stack word, every result,
// and every register the caller relies on kept across the call.
#include <doctest/doctest.h>
#include <sys/mman.h>

#include <cstring>

#include "host/game.h"
#include "host/game_thunks.h"
#include "tests/i386/call_harness.h"
#include "tests/i386/game_pages.h"
#include "tests/i386/stand_ins.h"

namespace {

void ready() {
    static bool installed = stand_ins::install();
    REQUIRE(installed);
    stand_ins::reset();
}

template <class Fn, class... Words>
uint32_t call_checked(Fn* fn, CalleeSaved& seen, Words... words) {
    const uint32_t args[] = {static_cast<uint32_t>(words)..., 0};
    return velmora_call_checked(reinterpret_cast<uintptr_t>(fn), args, sizeof...(Words), &seen);
}

void check_kept(const CalleeSaved& seen) {
    CHECK(seen.ebx == HARNESS_EBX);
    CHECK(seen.esi == HARNESS_ESI);
    CHECK(seen.edi == HARNESS_EDI);
    CHECK(seen.ebp == HARNESS_EBP);
    CHECK(seen.esp_change == 0);
}

// Called once, with the direction flag clear as every routine may assume.
void check_entered_once(int which) {
    const StandInCall& call = stand_ins::call(which);
    CHECK(call.calls == 1);
    CHECK((call.flags & 0x400) == 0);
}

const char* text_at(uint32_t address) { return reinterpret_cast<const char*>(static_cast<uintptr_t>(address)); }

}  // namespace

TEST_CASE("game pages lie at the game's addresses, below the program, and are never taken twice") {
    REQUIRE(game_pages::image_start() > game::addr::button_words + 0x1000);

    const unsigned char data[] = {1, 2, 3, 4, 5, 6, 7, 8};
    // A range across a page boundary lands where it was asked for.
    REQUIRE(game_pages::place_data(game::addr::chao_slots + 0x7FC, data, sizeof data));
    CHECK(std::memcmp(reinterpret_cast<const void*>(uintptr_t{game::addr::chao_slots + 0x7FC}), data, 8) == 0);
    CHECK(game::read<uint32_t>(game::addr::chao_slots + 0x800) == 0x08070605);
    CHECK(game_pages::is_mapped(game::addr::chao_slots + 0x7FC, 8));
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

    CHECK_FALSE(game_pages::map(game_pages::image_start() - 0x1000, 0x1001));
    CHECK_FALSE(game_pages::map(0xFFFFF000u, 0x2000));
    CHECK_FALSE(game_pages::map(0x00400000, 0));
}

namespace {

volatile uint32_t g_seed = 0x3C000000;

}  // namespace

// A function that holds one value in one register across one thunk call and says whether
// it is still there, with the stack pointer where it was. Nothing else competes for
// registers and nothing has its address taken, so the compiler leaves the value where it
// is unless the thunk names that register as changed: a register the thunk forgets is one
// the routine's changes reach. A held value that is also the argument tests that the
// thunk does not take its argument register to be unchanged. A stack pointer the thunk
// left wrong is noted and put right (the frame pointer keeps the saved one reachable), so
// the function returns and reports it.
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

HOLDING_FUNCTION(call_ecx_keeps_eax, "a", CALL_ECX(7))
HOLDING_FUNCTION(call_ecx_keeps_ecx_argument, "c", CALL_ECX(held))
HOLDING_FUNCTION(call_ecx_keeps_edx, "d", CALL_ECX(7))
HOLDING_FUNCTION(call_esi_keeps_eax, "a", CALL_ESI(game::addr::garden_save_block))
HOLDING_FUNCTION(call_esi_keeps_ecx, "c", CALL_ESI(game::addr::garden_save_block))
HOLDING_FUNCTION(call_esi_keeps_edx, "d", CALL_ESI(game::addr::garden_save_block))
HOLDING_FUNCTION(call_esi_keeps_esi_argument, "S", CALL_ESI(held))
HOLDING_FUNCTION(call_eax_2_keeps_eax_argument, "a", CALL_EAX_2(held))
HOLDING_FUNCTION(call_eax_2_keeps_ecx, "c", CALL_EAX_2(0x01C3A000))
HOLDING_FUNCTION(call_eax_2_keeps_edx, "d", CALL_EAX_2(0x01C3A000))

// A function that reads the stand-in's call count before and after one thunk call: unless
// the thunk tells the compiler that the routine may touch memory, the second read is
// folded into the first and the game's writes go unseen.
#define COUNTING_FUNCTION(name, which, statement)                            \
    __attribute__((noinline)) uint32_t name() {                            \
        uint32_t before = velmora_stand_in_calls[which].calls;             \
        statement;                                                         \
        return velmora_stand_in_calls[which].calls - before;               \
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
        uint32_t StandInCall::*argument;  // the register the held value went in by, if any
    };
    const Case cases[] = {
        {"call_ecx EAX", call_ecx_keeps_eax, STAND_IN_ALLOC_ITEM_RECORD, nullptr},
        {"call_ecx ECX", call_ecx_keeps_ecx_argument, STAND_IN_ALLOC_ITEM_RECORD, &StandInCall::ecx},
        {"call_ecx EDX", call_ecx_keeps_edx, STAND_IN_ALLOC_ITEM_RECORD, nullptr},
        {"call_esi EAX", call_esi_keeps_eax, STAND_IN_GARDEN_SAVE_STORE, nullptr},
        {"call_esi ECX", call_esi_keeps_ecx, STAND_IN_GARDEN_SAVE_STORE, nullptr},
        {"call_esi EDX", call_esi_keeps_edx, STAND_IN_GARDEN_SAVE_STORE, nullptr},
        {"call_esi ESI", call_esi_keeps_esi_argument, STAND_IN_GARDEN_SAVE_STORE, &StandInCall::esi},
        {"call_eax_2 EAX", call_eax_2_keeps_eax_argument, STAND_IN_SET_CHAO_ROUTINE, &StandInCall::eax},
        {"call_eax_2 ECX", call_eax_2_keeps_ecx, STAND_IN_SET_CHAO_ROUTINE, nullptr},
        {"call_eax_2 EDX", call_eax_2_keeps_edx, STAND_IN_SET_CHAO_ROUTINE, nullptr},
    };
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

TEST_CASE("routines with a register argument") {
    ready();
    CalleeSaved seen{};

    SUBCASE("alloc_item_record: kind in ECX, the record in EAX") {
        stand_ins::call(STAND_IN_ALLOC_ITEM_RECORD).result = 0x019F7A10;
        CHECK(call_checked(&game::alloc_item_record, seen, 2) == 0x019F7A10);
        CHECK(stand_ins::call(STAND_IN_ALLOC_ITEM_RECORD).ecx == 2);
        check_entered_once(STAND_IN_ALLOC_ITEM_RECORD);
        check_kept(seen);
    }
    SUBCASE("garden_save_check: block in ECX, any non-zero word is valid") {
        const uint32_t answers[] = {1, 0, 0x100, 0x80000000u};
        for (uint32_t answer : answers) {
            stand_ins::reset();
            stand_ins::call(STAND_IN_GARDEN_SAVE_CHECK).result = answer;
            bool valid = (call_checked(&game::garden_save_check, seen, game::addr::garden_save_block) & 0xFF) != 0;
            CHECK(valid == (answer != 0));
            CHECK(stand_ins::call(STAND_IN_GARDEN_SAVE_CHECK).ecx == game::addr::garden_save_block);
            check_entered_once(STAND_IN_GARDEN_SAVE_CHECK);
            check_kept(seen);
        }
    }
    SUBCASE("garden_save_store: block in ESI, our ESI back although the routine changed it") {
        call_checked(&game::garden_save_store, seen, game::addr::garden_save_block);
        CHECK(stand_ins::call(STAND_IN_GARDEN_SAVE_STORE).esi == game::addr::garden_save_block);
        check_entered_once(STAND_IN_GARDEN_SAVE_STORE);
        check_kept(seen);
    }
    SUBCASE("set_chao_routine: task in EAX, then the routine and -1 on the stack, removed by us") {
        call_checked(&game::set_chao_routine, seen, 0x01C3A000, 0x10002340);
        const StandInCall& call = stand_ins::call(STAND_IN_SET_CHAO_ROUTINE);
        CHECK(call.eax == 0x01C3A000);
        CHECK(call.stack[0] == 0x10002340);
        CHECK(call.stack[1] == 0xFFFFFFFFu);
        check_entered_once(STAND_IN_SET_CHAO_ROUTINE);
        check_kept(seen);
    }
}

TEST_CASE("routines with stack arguments, removed by the caller") {
    ready();
    CalleeSaved seen{};

    SUBCASE("create_fruit") {
        stand_ins::call(STAND_IN_CREATE_FRUIT).result = 0x01C40000;
        CHECK(call_checked(&game::create_fruit, seen, 7, 0x00200000, -0x4000, 0x00200010, 0x019F7000) ==
              0x01C40000);
        const StandInCall& call = stand_ins::call(STAND_IN_CREATE_FRUIT);
        CHECK(call.stack[0] == 7);
        CHECK(call.stack[1] == 0x00200000);
        CHECK(call.stack[2] == static_cast<uint32_t>(-0x4000));
        CHECK(call.stack[3] == 0x00200010);
        CHECK(call.stack[4] == 0x019F7000);
        check_entered_once(STAND_IN_CREATE_FRUIT);
        check_kept(seen);
    }
    SUBCASE("create_animal: the type as a byte") {
        stand_ins::call(STAND_IN_CREATE_ANIMAL).result = 0x01C50000;
        CHECK(call_checked(&game::create_animal, seen, 0xF3, 0x00200000, 0x8000, 0x00200010, 0x019F7100) ==
              0x01C50000);
        const StandInCall& call = stand_ins::call(STAND_IN_CREATE_ANIMAL);
        CHECK((call.stack[0] & 0xFF) == 0xF3);
        CHECK(call.stack[1] == 0x00200000);
        CHECK(call.stack[2] == 0x8000);
        CHECK(call.stack[3] == 0x00200010);
        CHECK(call.stack[4] == 0x019F7100);
        check_entered_once(STAND_IN_CREATE_ANIMAL);
        check_kept(seen);
    }
    SUBCASE("create_item_object: type - 21 as a byte") {
        stand_ins::call(STAND_IN_CREATE_ITEM_OBJECT).result = 0x01C60000;
        CHECK(call_checked(&game::create_item_object, seen, 3, 0x00200000, 0x00200010, 0x019F7200) == 0x01C60000);
        const StandInCall& call = stand_ins::call(STAND_IN_CREATE_ITEM_OBJECT);
        CHECK((call.stack[0] & 0xFF) == 3);
        CHECK(call.stack[1] == 0x00200000);
        CHECK(call.stack[2] == 0x00200010);
        CHECK(call.stack[3] == 0x019F7200);
        check_entered_once(STAND_IN_CREATE_ITEM_OBJECT);
        check_kept(seen);
    }
    SUBCASE("current_garden and release_held_item take nothing") {
        stand_ins::call(STAND_IN_CURRENT_GARDEN).result = static_cast<uint32_t>(-1);
        CHECK(static_cast<int32_t>(call_checked(&game::current_garden, seen)) == -1);
        check_entered_once(STAND_IN_CURRENT_GARDEN);
        check_kept(seen);
        call_checked(&game::release_held_item, seen);
        check_entered_once(STAND_IN_RELEASE_HELD_ITEM);
        check_kept(seen);
    }
    SUBCASE("debug_print passes its own format and the line") {
        static const char line[] = "session: 100% ready";
        call_checked(&game::debug_print, seen, reinterpret_cast<uintptr_t>(line));
        const StandInCall& call = stand_ins::call(STAND_IN_DEBUG_PRINT);
        CHECK(std::strcmp(text_at(call.stack[0]), "[velmora] %s") == 0);
        CHECK(call.stack[1] == reinterpret_cast<uintptr_t>(line));
        check_entered_once(STAND_IN_DEBUG_PRINT);
        check_kept(seen);
    }
}
