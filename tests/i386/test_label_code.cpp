// The Game Boy menu relabelled "Store" by the real code at the game's own addresses: the menu
// code fingerprinted where the game has it, the menu object, the task tree and the menu's
// state block on pages whose protection is real, so a read or write the checks should have
// refused faults the test program.
#include <doctest/doctest.h>

#include <cstring>

#include "storage/startup.h"
#include "tests/i386/game_image.h"
#include "tests/i386/game_pages.h"

namespace {

constexpr game_addr kMenuObjectPointer = 0x01A559D4;
constexpr game_addr kTaskRoots = 0x01A5A254;
constexpr uint32_t kObjectSize = 816;
const uint8_t kPut[8] = {0x07, 'P', 'u', 't', 0, 0, 0, 0};
const uint8_t kStore[8] = {0x07, 'S', 't', 'o', 'r', 'e', 0, 0};
const uint8_t kRelease[8] = {0x07, 'R', 'e', 'l', 'e', 'a', 's', 'e'};

void put32(game_addr a, uint32_t v) { game::write<uint32_t>(a, v); }
uint32_t get32(game_addr a) { return game::read<uint32_t>(a); }

// A fresh read-write page, for an object at its end: with no page after it, one byte past faults.
game_addr fresh_page(game_addr page, uint32_t object_size = game_pages::kPageSize) {
    REQUIRE(game_pages::map(page, game_pages::kPageSize));
    REQUIRE(game_pages::set_protection(page, game_pages::kPageSize, game::kPageReadWrite));
    std::memset(game::game_ptr<uint8_t>(page), 0, game_pages::kPageSize);
    return page + game_pages::kPageSize - object_size;
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
    Menu m{fresh_page(0x01F00000, kObjectSize), fresh_page(0x01F02000, kObjectSize), fresh_page(0x01F04000),
           0x01F04100, 0x01F04200, 0x01F04300};
    for (game_addr o : {m.object, m.other}) {
        for (uint32_t i = 0; i < kObjectSize; ++i) game::game_ptr<uint8_t>(o)[i] = static_cast<uint8_t>(i * 7);
        put32(o + 48, 0x20030000);
        put32(o + 52, 0x28030000);
        std::memcpy(game::game_ptr<uint8_t>(o + 800), kPut, 8);
        std::memcpy(game::game_ptr<uint8_t>(o + 808), kRelease, 8);
    }
    const uint32_t roots[8] = {0, 0, 0, m.root};
    REQUIRE(game_pages::place_data(kTaskRoots, roots, sizeof roots));
    const std::pair<game_addr, uint32_t> links[] = {{m.root + 4, m.loop},          {m.loop + 4, m.root},
                                                    {m.loop + 12, m.task},         {m.task + 40, 0x007951A0},
                                                    {m.task + 24, 0x00795550},     {m.task + 64, m.state},
                                                    {m.state + 12, 12}};
    for (auto [at, value] : links) put32(at, value);
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
        uint8_t want = i >= 808 ? kRelease[i - 808] : static_cast<uint8_t>(i * 7);
        if ((i < 48 || i >= 56) && (i < 800 || i >= 808) && game::read<uint8_t>(object + i) != want) return false;
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

TEST_CASE("foreign menu code or memory not as the game leaves it: the label stays, nothing is written") {
    const auto nothing_written = [](const Menu& m) {
        CHECK_FALSE(SetGameBoyStoreLabel(true));
        CHECK(slot_is(m.object, kPut));
        CHECK(get32(m.state + 12) == 12);
    };
    for (auto [start, length] : {std::pair{0x00795364u, 12u}, {0x00795390u, 58u}}) {
        for (game_addr at : {start, start + length / 2, start + length - 1}) {
            CAPTURE(at);
            Menu m = open_menu();
            REQUIRE(game_image::flip(at, 0x40));
            nothing_written(m);
        }
    }
    struct Case {
        const char* what;
        void (*spoil)(const Menu&);
    };
    const Case cases[] = {
        {"the menu object on a read-only page",
         [](const Menu& m) { REQUIRE(game_pages::set_protection(m.object, kObjectSize, game::kPageReadOnly)); }},
        {"the menu object pointer leads to no memory", [](const Menu&) { put32(kMenuObjectPointer, 0x01F01000); }},
        {"the menu object's last bytes past the end of its page",
         [](const Menu& m) {
             game_addr cut = fresh_page(0x01F06000, kObjectSize - 8);
             std::memcpy(game::game_ptr<uint8_t>(cut), game::game_ptr<const uint8_t>(m.object), kObjectSize - 8);
             put32(kMenuObjectPointer, cut);
         }},
        {"the object's checked words differ", [](const Menu& m) { put32(m.object + 52, 0x28030001); }},
        {"the menu's state block read-only: the task is not the one sought",
         [](const Menu& m) { REQUIRE(game_pages::set_protection(m.root, game_pages::kPageSize, game::kPageReadOnly)); }},
        {"the menu is closed", [](const Menu& m) { put32(m.loop + 12, 0); }},
    };
    for (const Case& c : cases) {
        CAPTURE(c.what);
        Menu m = open_menu();
        c.spoil(m);
        nothing_written(m);
    }
}
