#include <doctest/doctest.h>

#include "host/game.h"
#include "sim/sim.h"

TEST_CASE("the simulated address space answers like the Windows memory query") {
    sim::reset();
    game::RegionInfo r{};
    REQUIRE(game::query_region(0x00426740, r));
    CHECK(r.state == game::kMemCommit);
    CHECK(r.type == game::kMemImage);
    CHECK(r.allocation_base == game::main_module());
    CHECK(r.protect == game::kPageExecuteRead);
    CHECK(r.base == 0x00426000);
    CHECK(r.base + r.size == sim::kCodeEnd);

    REQUIRE(game::query_region(game::addr::chao_slots, r));
    CHECK(r.protect == game::kPageReadWrite);

    REQUIRE(game::query_region(0x00010000, r));
    CHECK(r.state == sim::kMemFree);
    CHECK(r.base + r.size == sim::kImageBase);

    // Changing part of a region splits it and reports the old protection.
    uint32_t old = 0;
    REQUIRE(game::protect_region(0x00500010, 0x10, game::kPageExecuteReadWrite, old));
    CHECK(old == game::kPageExecuteRead);
    REQUIRE(game::query_region(0x00500000, r));
    CHECK(r.protect == game::kPageExecuteReadWrite);
    CHECK(r.size == sim::kPageSize);
    REQUIRE(game::query_region(0x00501000, r));
    CHECK(r.protect == game::kPageExecuteRead);
    CHECK_FALSE(game::protect_region(0x00010000, 4, game::kPageReadWrite, old));  // free memory

    // Writes through the game view land; the simulator can still set up read-only code.
    game::write<uint32_t>(game::addr::rings, 1234);
    CHECK(game::read<uint32_t>(game::addr::rings) == 1234);
    const unsigned char code[] = {0xE8, 1, 2, 3, 4};
    sim::poke(0x00568F30, code, sizeof code);
    CHECK(game::read<uint8_t>(0x00568F30) == 0xE8);

    game_addr block = sim::alloc(100);
    CHECK(block >= sim::kHeapBase);
    REQUIRE(game::query_region(block, r));
    CHECK(r.allocation_base == block);
    CHECK(r.type == sim::kMemPrivate);

    sim::reset();  // a new game forgets everything
    CHECK(game::read<uint32_t>(game::addr::rings) == 0);
}
