// Following the game's active save slot: the name rules, and the path read through door 2
// whatever the game left at the save-path word.
#include <doctest/doctest.h>

#include "host/save_slot.h"
#include "sim/sim.h"

TEST_CASE("a main-save name gives its slot; anything else gives none") {
    CHECK(active_save_slot("C:\\Games\\SA2\\SAVEDATA\\SONIC2B__S01") == 1);
    CHECK(active_save_slot("sonic2b__s07") == 7);
    CHECK(active_save_slot("/home/p/SAVEDATA/SONIC2B__S99") == 99);
    CHECK(active_save_slot("a\\b/SONIC2B__S42") == 42);
    for (const char* bad : {"", "SONIC2B__S", "SONIC2B__S1", "SONIC2B__S123", "SONIC2B__S0A", "SONIC2B__S00",
                            "SONIC2B__S01.bak", "SONIC2B_XS01", "C:\\SONIC2B__S01\\", "SONIC2B__S-1"})
        CHECK_MESSAGE(active_save_slot(bad) == 0, bad);
    CHECK(active_save_slot(nullptr) == 0);
}

TEST_CASE("the save path is read only where the game's memory holds a terminated text") {
    sim::reset();
    sim::set_save_path("C:\\SAVEDATA\\SONIC2B__S03");
    CHECK(read_active_save_slot() == 3);

    sim::set_save_path(nullptr);
    CHECK(read_active_save_slot() == 0);

    // A pointer into memory that is not there, or that the game made unreadable.
    game::write<game_addr>(game::addr::save_path, 0x7FFF0000u);
    CHECK(read_active_save_slot() == 0);
    game_addr page = sim::alloc(0x1000);
    sim::poke(page, "SONIC2B__S04", 13);
    game::write<game_addr>(game::addr::save_path, page);
    CHECK(read_active_save_slot() == 4);
    sim::set_protection(page, 0x1000, game::kPageNoAccess);
    CHECK(read_active_save_slot() == 0);

    // A text that runs to the end of its memory without a terminator: nothing beyond is read.
    game_addr end = sim::alloc(0x1000);
    std::string fill(0x1000, 'A');
    sim::poke(end, fill.data(), fill.size());
    game::write<game_addr>(game::addr::save_path, end + 0x1000 - 12);
    CHECK(read_active_save_slot() == 0);
    // ...and a terminated name at the very end of it is still found.
    sim::poke(end + 0x1000 - 13, "SONIC2B__S05", 13);
    game::write<game_addr>(game::addr::save_path, end + 0x1000 - 13);
    CHECK(read_active_save_slot() == 5);
}
