#include <doctest/doctest.h>

#include <cstring>

#include "platform/files.h"
#include "protect/game_memory.h"
#include "storage/items_listing.h"
#include "test_deposit_scene.h"

TEST_CASE("the hold input starts one deposit on its 45th frame; the button is taken from the game") {
    Scene scene;
    sim::hold(sim::place_fruit(7, 2));

    SUBCASE("F8 held") {
        REQUIRE(Scene::hold_until_started() == 45);
        CHECK(pending_deposits().size() == 1);
        CHECK(Scene::notice() == "Preparing storage. Keep holding the item here...");
        // Holding on, even once the first is gone, starts nothing new until the key is let go.
        pending_deposits().clear();
        for (int i = 0; i < 60; ++i) Scene::frame();
        CHECK(pending_deposits().empty());
        f8_down() = false;
        Scene::frame();
        CHECK(Scene::hold_until_started() == 45);
    }
    SUBCASE("the storage button") {
        Scene::frame();  // storage starts on the first frame
        sim::press_storage_button();
        storage_on_control(true);
        for (int i = 0; i < 3; ++i) CHECK((sim::button_word(i) & storage_game::kStorageButton) == 0);
        CHECK(pending_deposits().empty());
        run_storage_frame(true, "S1");
        CHECK(pending_deposits().size() == 1);
    }
    SUBCASE("the button stays the game's") {
        Scene::frame();
        SUBCASE("not in the foreground") { platform::posix::set_foreground_handler([] { return false; }); }
        SUBCASE("not in the storage action") { sim::set_action(3); }
        sim::press_storage_button();
        Scene::frame();
        CHECK((sim::button_word(1) & storage_game::kStorageButton) != 0);
        CHECK(pending_deposits().empty());
        platform::posix::set_foreground_handler(nullptr);
    }
}

TEST_CASE("a fruit deposited: removed from the game and the save file, backup kept, committed") {
    Scene scene;
    game_addr task = sim::place_fruit(7, 2, true, 100.0f, 5.0f, -40.0f);
    game_addr record = sim::item_record(task);
    sim::hold(task);
    sim::write_garden_save();
    const std::string original = sim::read_garden_save();
    REQUIRE(fruit_in_file(original, 7) == 1);
    REQUIRE(Scene::hold_until_started() == 45);
    CHECK(Scene::state_of(pending_deposits()[0]) == kTransferPrepared);
    Scene::frame();  // not cancelled by the next frame; the prepare goes out under the current session
    auto prepare = Scene::take_requests();
    REQUIRE(prepare.size() == 1);
    CHECK(prepare[0].session_id == "S1");
    CHECK(prepare[0].body == BuildTransferJson(pending_deposits()[0].transfer, "prepare"));
    Scene::answer(prepare[0], true);
    MoveWatch watch{storage_state().binding};
    watched(watch, [] { Scene::frame(); });
    CHECK(watch.releases_then == 0);  // applying is on disk before the game loses the item
    CHECK(sim::gameboy_faults().release_calls == 1);

    REQUIRE(pending_deposits().size() == 1);
    PendingDeposit d = pending_deposits()[0];
    CHECK_FALSE(d.still_in_garden);
    CHECK(Scene::state_of(d) == kTransferApplied);
    CHECK(sim::held_task() == 0);
    CHECK(game::read<uint16_t>(record) == 0xFFFF);
    std::string now = sim::read_garden_save(), backup;
    CHECK((fruit_in_file(now, 7) == 0 && sim::garden_save_sealed(now)));
    CHECK(d.transfer.save_digest == Sha256Hex(now));
    REQUIRE(ReadWholeFile(d.receipt_path + ".before", kMaxHashedFileSize, backup));
    CHECK(backup == original);
    CHECK(Scene::notice() == "Item saved out of the garden. Confirming server storage...");

    // The commit goes out in the same frame; refused, it is sent again 10 s later.
    auto commit = Scene::take_requests();
    REQUIRE(commit.size() == 1);
    CHECK(commit[0].body == BuildTransferJson(d.transfer, "commit"));
    Scene::answer(commit[0], false, 503);
    Scene::frame();
    CHECK(Scene::notice() == "Item is saved locally; waiting for server storage.");
    sim::advance_ms(9000);
    Scene::frame();
    CHECK(Scene::take_requests().empty());
    sim::advance_ms(1100);
    Scene::frame();
    REQUIRE(pending_deposits()[0].request_queued);
    // The session ends before the worker sends it: the queue is emptied, no result; queued again.
    Scene::set_session("S2");
    Scene::frame();
    auto requests = Scene::take_requests();
    REQUIRE(requests.size() == 1);
    CHECK(requests[0].session_id == "S2");
    CHECK(requests[0].body == commit[0].body);
    Scene::answer(requests[0], true);
    Scene::frame();
    CHECK(pending_deposits().empty());
    CHECK(Scene::notice() == "Sent to server storage.");
    CHECK(Scene::state_of(d) == kTransferCommitted);
}

TEST_CASE("a prepare that does not end in a commit leaves the item where it is") {
    Scene scene;
    game_addr task = sim::place_fruit(3, 1);
    sim::hold(task);
    sim::write_garden_save();
    const std::string original = sim::read_garden_save();
    REQUIRE(Scene::hold_until_started() == 45);
    f8_down() = false;
    Scene::frame();

    SUBCASE("walking away") {
        sim::move_player(200.0f, 5.0f, -40.0f);
        Scene::frame();
        CHECK(Scene::notice() == "Deposit cancelled. Item kept.");
    }
    SUBCASE("a server without storage") {
        Scene::answer_next(false, 404);
        Scene::frame();
        CHECK(Scene::notice() == "Update the server to enable storage. Item kept.");
    }
    SUBCASE("a server refusing") {
        Scene::answer_next(false, 500);
        Scene::frame();
        CHECK(Scene::notice() == "Storage unavailable or sync pending. Item kept.");
        CHECK(storage_state().notice.warning);
    }
    SUBCASE("the item dropped before the prepare was accepted") {
        Scene::answer_next(true);
        sim::hold(0);
        Scene::frame();
        CHECK(Scene::notice() == "Deposit cancelled. Keep holding the item near the Game Boy.");
    }
    SUBCASE("applying cannot be written: nothing is touched") {
        MoveWatch watch{storage_state().binding, true};
        Scene::answer_next(true);
        watched(watch, [] { Scene::frame(); });
        CHECK(watch.releases_then == 0);
        CHECK(sim::held_task() == task);
        CHECK(storage_state().attention);
        CHECK(Scene::notice() == "Deposit paused: receipt could not save. Recovery copy retained.");
    }
    CHECK(pending_deposits().empty());
    CHECK(sim::gameboy_faults().release_calls == 0);
    CHECK(sim::read_garden_save() == original);
    CHECK(sim::count_records(storage_game::kKindFruit) == 1);
}

TEST_CASE("what is not offered for storage") {
    Scene scene;
    SUBCASE("a save record whose first word is negative") {
        game_addr task = sim::place_fruit(7, 2);
        int16_t minus = -2;
        sim::poke(sim::item_record(task), &minus, 2);
        sim::hold(task);
    }
    SUBCASE("a fruit of size 5") { sim::hold(sim::place_fruit(7, 5)); }
    SUBCASE("attention") {
        sim::hold(sim::place_fruit(7, 2));
        Scene::frame();
        storage_state().attention = true;
    }
    CHECK(Scene::hold_until_started(60) == -1);
    CHECK(sim::gameboy_faults().release_calls == 0);
}

TEST_CASE("the garden save file is rewritten only at an item's record, and read only when the game would load it") {
    Scene scene;
    sim::place_fruit(7, 2);
    sim::write_garden_save();
    std::string file = sim::read_garden_save(), out, why;
    uint8_t freed[20], fruit[20];
    freed_record(freed);
    CHECK_FALSE(garden_save_with_record(file, game::addr::garden_save_block, freed, out, why));  // its checksum word
    CHECK(out.empty());
    std::memcpy(fruit, game::game_ptr<const uint8_t>(storage_game::kFruitRecords), 20);
    CHECK(garden_save_has_record(file, storage_game::kKindFruit, fruit));
    file[sim::kGardenSaveBlockOffset + 100] ^= 1;
    CHECK_FALSE(garden_save_has_record(file, storage_game::kKindFruit, fruit));
}

namespace {
std::string g_reserve_file;
game_addr g_reserve_record = 0;
bool reserve_without(game_addr record, std::string& path, std::string& content) {
    if (record != g_reserve_record) return false;
    path = g_reserve_file;
    content = "reserve without the animal";
    return true;
}
}  // namespace

TEST_CASE("an animal and an item without a save record go through as well") {
    Scene scene;
    bool with_record = true;
    SUBCASE("animal with a record") { sim::hold(sim::place_animal(11)); }
    SUBCASE("fruit without a record") {
        with_record = false;
        sim::hold(sim::place_fruit(4, 1, false));
    }
    SUBCASE("animal kept in the reserve file") {
        with_record = false;  // the garden save file stays as it is
        game_addr task = sim::place_animal(11, false);
        g_reserve_record = sim::alloc(20);
        int16_t type = 11;
        sim::poke(g_reserve_record, &type, 2);
        sim::poke(game::read<uint32_t>(task + 0x3C) + 8, &g_reserve_record, 4);
        g_reserve_file = scene.dir.str() + "/reserve.bin";
        scene.dir.write("reserve.bin", "reserve with the animal");
        set_reserve_serialize_without(&reserve_without);
        sim::hold(task);
    }
    sim::write_garden_save();
    const std::string original = sim::read_garden_save();
    REQUIRE(Scene::hold_until_started() == 45);
    const std::string receipt = pending_deposits()[0].receipt_path;
    CHECK(pending_deposits()[0].transfer.target ==
          (g_reserve_record ? kTargetAnimalReserve : with_record ? kTargetGardenSave : kTargetNone));
    Scene::frame();
    REQUIRE(Scene::answer_next(true) == "prepare");
    Scene::frame();
    REQUIRE(Scene::answer_next(true) == "commit");
    Scene::frame();
    CHECK(Scene::notice() == "Sent to server storage.");
    CHECK(sim::held_task() == 0);
    CHECK((sim::read_garden_save() == original) == !with_record);
    if (g_reserve_record) {
        CHECK(scene.dir.read("reserve.bin") == "reserve without the animal");
        std::string backup;
        REQUIRE(ReadWholeFile(receipt + ".before", kMaxHashedFileSize, backup));
        CHECK(backup == "reserve with the animal");
        set_reserve_serialize_without(nullptr);
        g_reserve_record = 0;
    }
}

TEST_CASE("the Game Boy menu reads Store while storage is usable") {
    Scene scene;
    const sim::GameBoyScene& g = sim::gameboy_scene();
    sim::open_gameboy_menu();
    auto label = [&] { return std::string(game::game_ptr<const char>(g.menu + 801)); };
    Scene::frame();
    CHECK(label() == "Store");
    CHECK(game::read<uint32_t>(g.menu_state + 12) == 0xFFFFFFFFu);
    sim::set_action(3);
    Scene::frame();
    CHECK(label() == "Put");
    SUBCASE("foreign code at the label's routine is left alone") {
        sim::set_action(storage_game::kStorageAction);
        uint8_t b = game::read<uint8_t>(0x00795364) ^ 1;
        sim::poke(0x00795364, &b, 1);
        Scene::frame();
        CHECK(label() == "Put");
    }
}

TEST_CASE("the garden items listing counts loose items by kind, type and size") {
    Scene scene;
    CHECK(list_garden_items().empty());  // storage not started yet
    Scene::frame();
    REQUIRE(storage_state().started);
    CHECK(list_garden_items() == "{\"v\":1,\"garden\":1,\"items\":[]}");
    for (int i = 0; i < 3; ++i) sim::place_fruit(3, 2);
    sim::place_fruit(3, 1, false);
    sim::place_fruit(3, 5, false);  // not a size a fruit has
    sim::place_animal(7, false);
    sim::place_animal(21, false);
    CHECK(list_garden_items() ==
          "{\"v\":1,\"garden\":1,\"items\":[{\"kind\":\"animal\",\"item_type\":7,\"size\":0,\"quantity\":1},"
          "{\"kind\":\"fruit\",\"item_type\":3,\"size\":1,\"quantity\":1},"
          "{\"kind\":\"fruit\",\"item_type\":3,\"size\":2,\"quantity\":3}]}");
    SUBCASE("a slot whose object points elsewhere empties the listing") {
        game_addr task = sim::place_fruit(9, 1, false);
        game_addr wrong = storage_game::slot_table(storage_game::kKindFruit);
        sim::poke(task + 0x3C, &wrong, 4);
        CHECK(list_garden_items().empty());
    }
    SUBCASE("game mode 17") {
        uint16_t mode = 17;
        sim::poke(game::addr::game_state, &mode, 2);
        CHECK(list_garden_items().empty());
    }
}
