// Following the game's active save slot: the name rules, and the path read through door 2
// whatever the game left at the save-path word.
#include <doctest/doctest.h>

#include "host/save_slot.h"
#include "sim/sim.h"

TEST_CASE("a main-save name gives its slot; anything else gives none") {
    for (auto [path, slot] : {std::pair{"C:\\Games\\SA2\\SAVEDATA\\SONIC2B__S01", 1}, {"sonic2b__s07", 7},
                              {"/home/p/SAVEDATA/SONIC2B__S99", 99}, {"a\\b/SONIC2B__S42", 42}, {"", 0}, {"SONIC2B__S", 0},
                              {"SONIC2B__S1", 0}, {"SONIC2B__S123", 0}, {"SONIC2B__S0A", 0}, {"SONIC2B__S00", 0},
                              {"SONIC2B__S01.bak", 0}, {"SONIC2B_XS01", 0}, {"C:\\SONIC2B__S01\\", 0}, {"SONIC2B__S-1", 0}})
        CHECK_MESSAGE(active_save_slot(path) == slot, path);
    CHECK(active_save_slot(nullptr) == 0);
}

TEST_CASE("the save path is read only where the game's memory holds a terminated text") {
    sim::reset();
    sim::set_save_path("C:\\SAVEDATA\\SONIC2B__S03");
    CHECK(read_active_save_slot() == 3);
    sim::set_save_path(nullptr);
    CHECK(read_active_save_slot() == 0);
    auto at = [](game_addr text) { return game::write<game_addr>(game::addr::save_path, text), read_active_save_slot(); };
    CHECK(at(0x7FFF0000u) == 0);  // memory that is not there
    game_addr page = sim::alloc(0x1000);
    sim::poke(page, "SONIC2B__S04", 13);
    CHECK(at(page) == 4);
    sim::set_protection(page, 0x1000, game::kPageNoAccess);
    CHECK(at(page) == 0);
    // A text running to the end of its memory unterminated is refused; a terminated one there is found.
    game_addr end = sim::alloc(0x1000);
    const std::string fill(0x1000, 'A');
    sim::poke(end, fill.data(), fill.size());
    CHECK(at(end + 0x1000 - 12) == 0);
    sim::poke(end + 0x1000 - 13, "SONIC2B__S05", 13);
    CHECK(at(end + 0x1000 - 13) == 5);
}
