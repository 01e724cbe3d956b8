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

namespace {
volatile uint32_t g_seed = 0x3C000000;
}

// Values the compiler holds in any general register across a thunk, including those the
// routine changes, come back intact: each thunk names everything the routine may touch.
#define HOLD_REGISTERS_ACROSS(statement)                                                            \
    do {                                                                                            \
        uint32_t ra = g_seed + 1, rb = g_seed + 2, rc = g_seed + 3, rd = g_seed + 4, rs = g_seed + 5, \
                 rdi = g_seed + 6, sp_before, sp_after;                                             \
        asm volatile("" : "+a"(ra), "+b"(rb), "+c"(rc), "+d"(rd), "+S"(rs), "+D"(rdi));             \
        asm volatile("movl %%esp, %0" : "=g"(sp_before));                                           \
        statement;                                                                                  \
        asm volatile("movl %%esp, %0" : "=g"(sp_after));                                            \
        asm volatile("" : "+a"(ra), "+b"(rb), "+c"(rc), "+d"(rd), "+S"(rs), "+D"(rdi));             \
        CHECK(sp_after == sp_before);                                                               \
        CHECK(ra == g_seed + 1);                                                                    \
        CHECK(rb == g_seed + 2);                                                                    \
        CHECK(rc == g_seed + 3);                                                                    \
        CHECK(rd == g_seed + 4);                                                                    \
        CHECK(rs == g_seed + 5);                                                                    \
        CHECK(rdi == g_seed + 6);                                                                   \
    } while (0)

TEST_CASE("thunks keep what the compiler holds in registers") {
    ready();
    uint32_t result = 0;
    stand_ins::call(STAND_IN_ALLOC_ITEM_RECORD).result = 0x019F7A30;
    HOLD_REGISTERS_ACROSS(result = game::thunk::call_ecx(game::addr::alloc_item_record, g_seed + 7));
    CHECK(result == 0x019F7A30);
    CHECK(stand_ins::call(STAND_IN_ALLOC_ITEM_RECORD).ecx == g_seed + 7);

    HOLD_REGISTERS_ACROSS(game::thunk::call_esi(game::addr::garden_save_store, g_seed + 8));
    CHECK(stand_ins::call(STAND_IN_GARDEN_SAVE_STORE).esi == g_seed + 8);

    HOLD_REGISTERS_ACROSS(game::thunk::call_eax_2(game::addr::set_chao_routine, g_seed + 9, g_seed + 10, g_seed + 11));
    const StandInCall& call = stand_ins::call(STAND_IN_SET_CHAO_ROUTINE);
    CHECK(call.eax == g_seed + 9);
    CHECK(call.stack[0] == g_seed + 10);
    CHECK(call.stack[1] == g_seed + 11);
}
