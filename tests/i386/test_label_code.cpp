// The Game Boy menu relabelled "Store" by the real code at the game's own addresses: the
// menu code fingerprinted where the game has it, the menu object, the task tree and the
// menu's state block on pages whose protection is real, so a read or write the checks
// should have refused faults the test program.
#include <doctest/doctest.h>

#include <cstring>

#include "storage/startup.h"
#include "tests/i386/game_image.h"
#include "tests/i386/game_pages.h"

namespace {

constexpr game_addr kMenuObjectPointer = 0x01A559D4;
constexpr game_addr kTaskRoots = 0x01A5A254;
constexpr game_addr kLabelCode[2][2] = {{0x00795364, 12}, {0x00795390, 58}};
constexpr uint32_t kObjectSize = 816;
const uint8_t kPut[8] = {0x07, 'P', 'u', 't', 0, 0, 0, 0};
const uint8_t kStore[8] = {0x07, 'S', 't', 'o', 'r', 'e', 0, 0};
const uint8_t kRelease[8] = {0x07, 'R', 'e', 'l', 'e', 'a', 's', 'e'};

void put32(game_addr a, uint32_t v) { std::memcpy(game::game_ptr<uint8_t>(a), &v, 4); }
uint32_t get32(game_addr a) { return game::read<uint32_t>(a); }

// Each object ends on the last byte of its page, with no page after it: one byte read or
// written past the 816 faults.
game_addr page_end_object(game_addr page) {
    REQUIRE(game_pages::map(page, game_pages::kPageSize));
    REQUIRE(game_pages::set_protection(page, game_pages::kPageSize, game::kPageReadWrite));
    return page + game_pages::kPageSize - kObjectSize;
}

struct Menu {
    game_addr object, other, root, loop, task, state;
};

// The game with its Game Boy menu open: a root task whose child links back to the root, and
// whose next link is the menu's task.
Menu open_menu() {
    static bool built = game_image::build({});
    REQUIRE(built);
    REQUIRE(game_image::place());
    Menu m{page_end_object(0x01F00000), page_end_object(0x01F02000), 0x01F04000, 0x01F04100, 0x01F04200,
           0x01F04300};
    REQUIRE(game_pages::map(m.root, game_pages::kPageSize));
    REQUIRE(game_pages::set_protection(m.root, game_pages::kPageSize, game::kPageReadWrite));
    std::memset(game::game_ptr<uint8_t>(m.root), 0, game_pages::kPageSize);
    for (game_addr o : {m.object, m.other}) {
        for (uint32_t i = 0; i < kObjectSize; ++i) game::game_ptr<uint8_t>(o)[i] = static_cast<uint8_t>(i * 7);
        put32(o + 48, 0x20030000);
        put32(o + 52, 0x28030000);
        std::memcpy(game::game_ptr<uint8_t>(o + 800), kPut, 8);
        std::memcpy(game::game_ptr<uint8_t>(o + 808), kRelease, 8);
    }
    const uint32_t zero_roots[8] = {};
    REQUIRE(game_pages::place_data(kTaskRoots, zero_roots, sizeof zero_roots));
    put32(kTaskRoots + 12, m.root);
    put32(m.root + 4, m.loop);
    put32(m.loop + 4, m.root);  // a child link back to the root
    put32(m.loop + 12, m.task);
    put32(m.task + 40, 0x007951A0);
    put32(m.task + 24, 0x00795550);
    put32(m.task + 64, m.state);
    put32(m.state + 12, 12);
    REQUIRE(game_pages::place_data(kMenuObjectPointer, &m.object, 4));
    reset_storage_state();
    storage_state().enabled = true;
    return m;
}

bool slot_is(game_addr object, const uint8_t (&text)[8]) {
    return std::memcmp(game::game_ptr<const uint8_t>(object + 800), text, 8) == 0;
}

// The whole object but its text slot, as open_menu left it.
bool rest_unchanged(game_addr object) {
    for (uint32_t i = 0; i < kObjectSize; ++i) {
        if (i >= 800 && i < 808) continue;
        uint8_t want = static_cast<uint8_t>(i * 7);
        if (i >= 48 && i < 56) want = game::read<uint8_t>(object + i);  // the checked words
        if (i >= 808) want = kRelease[i - 808];
        if (game::read<uint8_t>(object + i) != want) return false;
    }
    return get32(object + 48) == 0x20030000 && get32(object + 52) == 0x28030000;
}

}  // namespace

TEST_CASE("the open Game Boy menu is relabelled at the game's addresses and told to redraw") {
    Menu m = open_menu();
    CHECK(SetGameBoyStoreLabel(true));
    CHECK(slot_is(m.object, kStore));
    CHECK(get32(m.state + 12) == 0xFFFFFFFFu);
    CHECK(rest_unchanged(m.object));
    CHECK(game_image::first_difference() == "");

    // Already relabelled: neither the text nor the menu's state is touched again.
    put32(m.state + 12, 12);
    CHECK_FALSE(SetGameBoyStoreLabel(true));
    CHECK(get32(m.state + 12) == 12);

    CHECK(SetGameBoyStoreLabel(false));
    CHECK(slot_is(m.object, kPut));
    CHECK(get32(m.state + 12) == 0xFFFFFFFFu);
    CHECK(rest_unchanged(m.object));

    SUBCASE("a state other than 12 stays as it is") {
        put32(m.state + 12, 5);
        CHECK(SetGameBoyStoreLabel(true));
        CHECK(get32(m.state + 12) == 5);
    }
    SUBCASE("the menu object moved: disabling leaves the new one alone") {
        CHECK(SetGameBoyStoreLabel(true));
        put32(kMenuObjectPointer, m.other);
        CHECK_FALSE(SetGameBoyStoreLabel(false));
        CHECK(slot_is(m.other, kPut));
        CHECK(slot_is(m.object, kStore));
    }
    SUBCASE("storage not usable: nothing is relabelled") {
        storage_state().enabled = false;
        CHECK_FALSE(SetGameBoyStoreLabel(true));
        CHECK(slot_is(m.object, kPut));
    }
}

TEST_CASE("one foreign byte in the game's menu code and the label stays") {
    for (const auto& range : kLabelCode) {
        for (game_addr at : {range[0], range[0] + range[1] / 2, range[0] + range[1] - 1}) {
            CAPTURE(at);
            Menu m = open_menu();
            REQUIRE(game_image::flip(at, 0x40));
            CHECK_FALSE(SetGameBoyStoreLabel(true));
            CHECK(slot_is(m.object, kPut));
            CHECK(get32(m.state + 12) == 12);
        }
    }
}

TEST_CASE("memory not as the game leaves it is never written") {
    Menu m = open_menu();
    SUBCASE("the menu object on a read-only page") {
        REQUIRE(game_pages::set_protection(0x01F00000, game_pages::kPageSize, game::kPageReadOnly));
        CHECK_FALSE(SetGameBoyStoreLabel(true));
        REQUIRE(game_pages::set_protection(0x01F00000, game_pages::kPageSize, game::kPageReadWrite));
    }
    SUBCASE("the menu object pointer leads to no memory") {
        put32(kMenuObjectPointer, 0x01F01000);
        CHECK_FALSE(SetGameBoyStoreLabel(true));
    }
    SUBCASE("the object's checked words differ") {
        put32(m.object + 52, 0x28030001);
        CHECK_FALSE(SetGameBoyStoreLabel(true));
    }
    SUBCASE("the menu's state block is read-only: the task is not the one sought") {
        REQUIRE(game_pages::set_protection(m.root, game_pages::kPageSize, game::kPageReadOnly));
        CHECK_FALSE(SetGameBoyStoreLabel(true));
        REQUIRE(game_pages::set_protection(m.root, game_pages::kPageSize, game::kPageReadWrite));
    }
    SUBCASE("the menu is closed") {
        put32(m.loop + 12, 0);
        CHECK_FALSE(SetGameBoyStoreLabel(true));
    }
    CHECK(slot_is(m.object, kPut));
    CHECK(get32(m.state + 12) == 12);
}
