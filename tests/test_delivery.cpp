#include <doctest/doctest.h>

#include <cstring>

#include "platform/files.h"
#include "storage/delivery.h"
#include "test_deposit_scene.h"
#include "writeback/command_reader.h"

namespace {

const std::string kItem = "0123456789abcdef0123456789abcdef";

WritebackCommand command(int32_t id, const std::string& kind = "fruit", int32_t type = 7, int32_t size = 2,
                         int32_t garden = 1) {
    std::string doc = "{\"commands\":[{\"id\":" + std::to_string(id) +
                      ",\"kind\":\"spawn_inventory\",\"v\":1,\"item_id\":\"" + kItem + "\",\"item_kind\":\"" + kind +
                      "\",\"garden\":" + std::to_string(garden) + ",\"item_type\":" + std::to_string(type) +
                      ",\"size\":" + std::to_string(size) + ",\"age\":4}]}";
    std::vector<WritebackCommand> out;
    REQUIRE(parse_commands(doc, out));
    REQUIRE(out.size() == 1);
    return out[0];
}

struct DeliveryScene : Scene {
    DeliveryScene() {
        Scene::frame();  // storage starts
        REQUIRE(storage_state().started);
        sim::use_standin_item_routines();
    }
    ~DeliveryScene() { set_delivery_routines(nullptr, nullptr, nullptr); }
    std::string receipt_of(int32_t id) const {
        return ReceiptPath(DeliveryReceiptFolder(), DeliveryTransferId(id, kItem));
    }
};

game_addr no_object(int32_t, game_addr, int32_t, game_addr, game_addr) {
    ++sim::gameboy_faults().create_calls;
    return 0;
}

}  // namespace

TEST_CASE("a stored fruit is delivered once, into the game and its save file, beside the player") {
    DeliveryScene scene;
    const std::string original = sim::read_garden_save();
    const WritebackCommand c = command(41);
    CHECK(deliver_stored_item(c, 1).delivered);
    CHECK(sim::gameboy_faults().create_calls == 1);
    CHECK(sim::count_records(storage_game::kKindFruit) == 1);
    CHECK(sim::count_objects(storage_game::kKindFruit) == 1);
    const std::string now = sim::read_garden_save();
    CHECK((fruit_in_file(now, 7) == 1 && sim::garden_save_sealed(now)));
    std::string backup;
    REQUIRE(ReadWholeFile(scene.receipt_of(41) + ".before", kMaxHashedFileSize, backup));
    CHECK(backup == original);
    TransferRecord r;
    REQUIRE(ReadReceipt(scene.receipt_of(41), storage_state().binding, r));
    CHECK(r.state == kTransferApplied);
    CHECK((r.pos_x == 103.0f && r.pos_y == 7.0f && r.pos_z == -40.0f && r.age == 4));  // beside the player
    CHECK(Scene::notice() == "Stored item delivered to this garden.");

    // Offered again: confirmed, nothing made twice.
    CHECK(deliver_stored_item(c, 1).delivered);
    CHECK(sim::gameboy_faults().create_calls == 1);
    CHECK(sim::read_garden_save() == now);

    // An animal comes back the same way.
    CHECK(deliver_stored_item(command(42, "animal", 11, 0), 1).delivered);
    CHECK(sim::count_records(storage_game::kKindAnimal) == 1);
}

TEST_CASE("deliveries that wait for a later poll") {
    DeliveryScene scene;
    WritebackCommand c = command(43);
    SUBCASE("another garden") { c = command(43, "fruit", 7, 2, 2); }
    SUBCASE("forty fruit in the garden") {
        uint32_t forty = 40;
        sim::poke(game::addr::item_counts + 4 * storage_game::kKindFruit, &forty, 4);
    }
    SUBCASE("outside the garden") { sim::leave_garden(); }
    DeliveryOutcome o = deliver_stored_item(c, 1);
    CHECK_FALSE(o.delivered);
    CHECK(o.reason.empty());
    CHECK(sim::gameboy_faults().create_calls == 0);
}

TEST_CASE("deliveries refused before anything is changed") {
    DeliveryScene scene;
    std::string expected = "selected garden save is unavailable";
    void (*damage)(std::string&) = nullptr;
    SUBCASE("a short save file") { damage = [](std::string& f) { f.pop_back(); }; }
    SUBCASE("another header") { damage = [](std::string& f) { f[3] = 'x'; }; }
    SUBCASE("a bad checksum") {
        damage = [](std::string& f) { f[sim::kGardenSaveBlockOffset + 100] ^= 1; };
        expected = "garden save checksum is invalid";
    }
    SUBCASE("a receipt left in planned") {
        TransferRecord r;
        r.transfer_id = DeliveryTransferId(44, kItem);
        r.save_binding = storage_state().binding;
        r.target = kTargetGardenSave;
        r.item_type = 7;
        r.garden = 1;
        r.size = 2;
        r.age = 4;
        platform::create_folder(DeliveryReceiptFolder());
        REQUIRE(WriteReceipt(scene.receipt_of(44), r));
        REQUIRE(AdvanceAndWrite(r, scene.receipt_of(44), kTransferPlanned, std::string(64, 'a')));
        expected = "interrupted delivery needs review; item will not be created twice";
    }
    SUBCASE("the receipt write before the game is touched") {
        MoveWatch w{storage_state().binding, true};
        DeliveryOutcome o;
        watched(w, [&] { o = deliver_stored_item(command(44), 1); });
        CHECK(w.creates_then == 0);
        CHECK(o.reason == "could not persist delivery intent");
        // Offered again, its planned receipt keeps it from being made.
        expected = "interrupted delivery needs review; item will not be created twice";
    }
    if (damage) {
        std::string file = sim::read_garden_save();
        damage(file);
        scene.dir.write("savedata/sonic2b__alf", file);
    }
    const std::string before = sim::read_garden_save();
    DeliveryOutcome o = deliver_stored_item(command(44), 1);
    CHECK_FALSE(o.delivered);
    CHECK(o.reason == expected);
    CHECK(sim::gameboy_faults().create_calls == 0);
    CHECK(sim::count_records(storage_game::kKindFruit) == 0);
    CHECK(sim::read_garden_save() == before);
}

TEST_CASE("once the item is in the game a failure is never reported as a failure") {
    DeliveryScene scene;
    const WritebackCommand c = command(45);
    DeliveryOutcome o;
    SUBCASE("the save file cannot be replaced") {
        MoveWatch w{storage_state().binding, false, "sonic2b__alf"};
        watched(w, [&] { o = deliver_stored_item(c, 1); });
    }
    SUBCASE("the game made no object for the record") {
        set_delivery_routines(delivery_routines().alloc, &no_object, nullptr);
        o = deliver_stored_item(c, 1);
    }
    CHECK_FALSE(o.delivered);
    CHECK(o.reason.empty());  // left unacknowledged: offered again
    CHECK(storage_state().attention);
    CHECK(sim::gameboy_faults().create_calls == 1);
    // Offered again: settled from its receipt, nothing created twice.
    CHECK(deliver_stored_item(c, 1).delivered);
    CHECK(sim::gameboy_faults().create_calls == 1);
    CHECK(fruit_in_file(sim::read_garden_save(), 7) == 1);
    CHECK(sim::count_records(storage_game::kKindFruit) == 1);
    // Attention keeps every new delivery out.
    CHECK(deliver_stored_item(command(46), 1).reason == "storage persistence or native code is unavailable");
}
