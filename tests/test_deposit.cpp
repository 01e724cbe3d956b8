// The storage terminal at the Game Boy: deposits (prepare, save out, commit), deliveries of stored
// items back into the garden, and both interrupted at every file fault point.
#include <doctest/doctest.h>

#include <fstream>

#include "platform/files.h"
#include "storage/items_listing.h"
#include "test_deposit_scene.h"
#include "tests/crash_harness.h"
#include "writeback/command_reader.h"

namespace {

const std::string kItem = "0123456789abcdef0123456789abcdef";

WritebackCommand command(int32_t id, int32_t type = 7, int32_t size = 2, int32_t garden = 1) {
    std::vector<WritebackCommand> out;
    auto n = [](int32_t v) { return std::to_string(v); };
    REQUIRE(parse_commands(R"({"commands":[{"kind":"spawn_inventory","v":1,"item_kind":"fruit","age":4,"item_id":")" + kItem +
                               R"(","id":)" + n(id) + R"(,"garden":)" + n(garden) + R"(,"item_type":)" + n(type) +
                               R"(,"size":)" + n(size) + "}]}",
                           out));
    REQUIRE(out.size() == 1);
    return out[0];
}

std::string g_reserve_file;
game_addr g_reserve_record = 0;

// The case run killed at, and failed at, every fault point, each run in a fresh scene; after the
// restart (the garden reloaded from its save file, storage recovered) the check holds.
void run_both_modes(crash::Case c, bool started, const std::function<void()>& place = [] {}) {
    std::unique_ptr<Scene> scene;
    c.setup = [&] {
        scene.reset();
        scene = std::make_unique<Scene>(started);
        place();
    };
    c.recover = [&] {
        std::string error;
        REQUIRE(sim::load_garden_save(sim::read_garden_save(), error));
        REQUIRE(enable_storage(scene->mod, scene->config));
        Scene::set_session("S9");
        run_storage_frame(true, "S9");
    };
    const auto check = c.check;
    c.check = [&](const crash::Outcome& o) -> std::string {
        if (o.point == 0 && !o.succeeded) return "the untouched run did not finish";
        return sim::garden_save_sealed(sim::read_garden_save()) ? check(o) : "the garden save file is damaged";
    };
    for (crash::Mode mode : {crash::Mode::Kill, crash::Mode::Fail}) {
        CAPTURE(static_cast<int>(mode));
        c.mode = mode;
        crash::Report r = crash::run(c);
        for (const auto& f : r.failures) CHECK_MESSAGE(false, f);
        CHECK(r.fault_points > 20);
    }
}

std::string answer_of(const DeliveryOutcome& o) { return o.delivered ? "done" : o.reason.empty() ? "wait" : "failed"; }

}  // namespace

TEST_CASE("an item deposited: saved out once the receipt says applying, a backup kept") {
    Scene scene;
    uint32_t target = kTargetGardenSave;
    SUBCASE("a fruit with its save record") { sim::hold(sim::place_fruit(7, 2)); }
    SUBCASE("a fruit without a record") {
        target = kTargetNone;  // the garden save file stays as it is
        sim::hold(sim::place_fruit(4, 1, false));
    }
    SUBCASE("an animal kept in the reserve file") {
        target = kTargetAnimalReserve;
        game_addr task = sim::place_animal(11, false);
        g_reserve_record = sim::alloc(20);
        int16_t type = 11;
        sim::poke(g_reserve_record, &type, 2);
        sim::poke(game::read<uint32_t>(task + 0x3C) + 8, &g_reserve_record, 4);
        g_reserve_file = scene.dir.str() + "/reserve.bin";
        scene.dir.write("reserve.bin", "reserve with the animal");
        set_reserve_serialize_without([](game_addr record, std::string& path, std::string& content) {
            path = g_reserve_file;
            content = "reserve without the animal";
            return record == g_reserve_record;
        });
        sim::hold(task);
    }
    sim::write_garden_save();
    const std::string original = sim::read_garden_save();
    Scene::prepare_accepted();
    Scene::frame();
    CHECK(sim::gameboy_faults().release_calls == 1);
    const PendingDeposit d = pending_deposits().at(0);
    CHECK(d.transfer.target == target);
    const std::string now = sim::read_garden_save();
    std::string backup;
    CHECK((now == original) == (target != kTargetGardenSave));
    if (target != kTargetNone) REQUIRE(ReadWholeFile(d.receipt_path + ".before", kMaxHashedFileSize, backup));
    if (target == kTargetGardenSave) CHECK((backup == original && d.transfer.save_digest == Sha256Hex(now)));
    if (target == kTargetAnimalReserve)
        CHECK((backup == "reserve with the animal" && scene.dir.read("reserve.bin") == "reserve without the animal"));
    CHECK(Scene::notice() == "Item saved out of the garden. Confirming server storage...");
}

TEST_CASE("a deposit started with the storage button (taken from the game) whose prepare does not end in a commit leaves the item, and says why") {
    const std::tuple<const char*, void (*)(), bool> cases[] = {
        {"Deposit cancelled. Item kept.", [] { sim::move_player(200.0f, 5.0f, -40.0f); }, false},
        {"Update the server to enable storage. Item kept.", [] { Scene::answer_next(false, 404); }, false},
        {"Storage unavailable or sync pending. Item kept.", [] { Scene::answer_next(false, 500); }, true},
        {"Deposit cancelled. Keep holding the item near the Game Boy.", [] { Scene::answer_next(true); sim::hold(0); }, false},
        // Applying cannot be written: the game keeps the item (it loses it only once applying is on disk).
        {"Deposit paused: receipt could not save. Recovery copy retained.",
         [] { MoveWatch watch; Scene::answer_next(true); Scene::frame(); CHECK(storage_state().attention); }, true},
    };
    for (const auto& [notice, interrupt, warning] : cases) {
        CAPTURE(notice);
        Scene scene;
        sim::hold(sim::place_fruit(3, 1));
        sim::write_garden_save();
        const std::string original = sim::read_garden_save();
        Scene::frame();  // storage starts on the first frame
        sim::press_storage_button();
        Scene::frame();
        for (int i = 0; i < 3; ++i) CHECK((sim::button_word(i) & storage_game::kStorageButton) == 0);
        REQUIRE(pending_deposits().size() == 1);
        Scene::frame();  // the prepare queued
        interrupt();
        Scene::frame();
        CHECK(Scene::notice() == notice);
        CHECK(storage_state().notice.warning == warning);
        CHECK(pending_deposits().empty());
        CHECK(sim::gameboy_faults().release_calls == 0);
        CHECK(sim::read_garden_save() == original);
        CHECK(sim::count_records(storage_game::kKindFruit) == 1);
    }
}

TEST_CASE("nothing is offered from a bad save record, an unknown size or under attention") {
    void (*const cases[])() = {
        [] {  // a save record whose first word is not the held item's type
            game_addr task = sim::place_fruit(7, 2);
            sim::poke(sim::item_record(task), "\xfe\xff", 2);
            sim::hold(task);
        },
        [] { sim::hold(sim::place_fruit(7, 5)); },
        [] { sim::hold(sim::place_fruit(7, 2)); Scene::frame(); storage_state().attention = true; },
    };
    for (auto place : cases) {
        Scene scene;
        place();
        CHECK(Scene::hold_until_started(60) == -1);
    }
}

TEST_CASE("F8 held starts one deposit on its 45th frame, and held on starts no second until let go") {
    Scene scene;
    sim::hold(sim::place_fruit(7, 2));
    REQUIRE(Scene::hold_until_started() == 45);
    pending_deposits().clear();
    CHECK(Scene::hold_until_started(60) == -1);
    f8_down() = false;
    Scene::frame();
    CHECK(Scene::hold_until_started() == 45);
}

TEST_CASE("the Game Boy menu reads Store while storage is usable; the items listing counts loose items by kind, type and size") {
    Scene scene;
    sim::open_gameboy_menu();
    auto label = [] { return std::string(game::game_ptr<const char>(sim::gameboy_scene().menu + 801)); };
    Scene::frame();
    CHECK(label() == "Store");
    for (int i = 0; i < 3; ++i) sim::place_fruit(3, 2);
    sim::place_fruit(3, 1, false);
    sim::place_fruit(3, 5, false);  // not a size a fruit has
    sim::place_animal(7, false);
    sim::place_animal(21, false);
    CHECK(list_garden_items() ==
          "{\"v\":1,\"garden\":1,\"items\":[{\"kind\":\"animal\",\"item_type\":7,\"size\":0,\"quantity\":1},"
          "{\"kind\":\"fruit\",\"item_type\":3,\"size\":1,\"quantity\":1},"
          "{\"kind\":\"fruit\",\"item_type\":3,\"size\":2,\"quantity\":3}]}");
    // A slot whose object points elsewhere empties the listing.
    game_addr task = sim::place_fruit(9, 1, false);
    game_addr wrong = storage_game::slot_table(storage_game::kKindFruit);
    sim::poke(task + 0x3C, &wrong, 4);
    CHECK(list_garden_items().empty());
    sim::set_action(3);
    Scene::frame();
    CHECK(label() == "Put");
}

TEST_CASE("deliveries that wait for a later poll, or are refused before anything is changed") {
    using Spoil = void (*)(WritebackCommand& c, std::string& save_file);
    const std::tuple<const char*, Spoil, std::string> cases[] = {  // an empty reason: waits, unacknowledged
        {"another garden", [](auto& c, auto&) { c = command(43, 7, 2, 2); }, ""},
        {"forty fruit in the garden",
         [](auto&, auto&) { uint32_t n = 40; sim::poke(game::addr::item_counts + 4 * storage_game::kKindFruit, &n, 4); }, ""},
        {"outside the garden", [](auto&, auto&) { sim::leave_garden(); }, ""},
        {"a short save file", [](auto&, auto& f) { f.pop_back(); }, "selected garden save is unavailable"},
        {"a bad checksum", [](auto&, auto& f) { f[sim::kGardenSaveBlockOffset + 100] ^= 1; }, "garden save checksum is invalid"},
        {"the receipt write failed before the game was touched: offered again, its planned receipt keeps it out",
         [](auto& c, auto&) { MoveWatch refused; CHECK(deliver_stored_item(c, 1).reason == "could not persist delivery intent"); },
         "interrupted delivery needs review; item will not be created twice"},
    };
    for (const auto& [what, spoil, reason] : cases) {
        CAPTURE(what);
        Scene scene(true);
        WritebackCommand c = command(43);
        std::string file = sim::read_garden_save();
        spoil(c, file);
        scene.dir.write("savedata/sonic2b__alf", file);
        DeliveryOutcome o = deliver_stored_item(c, 1);
        CHECK_FALSE(o.delivered);
        CHECK(o.reason == reason);
        CHECK(sim::gameboy_faults().create_calls == 0);
        CHECK(sim::count_records(storage_game::kKindFruit) == 0);
        CHECK(sim::read_garden_save() == file);
    }
}

TEST_CASE("once the item is in the game a failure is never reported as a failure") {
    Scene scene(true);
    const WritebackCommand c = command(45);
    DeliveryOutcome o;
    SUBCASE("the save file cannot be replaced") {
        MoveWatch w("sonic2b__alf");
        o = deliver_stored_item(c, 1);
    }
    SUBCASE("the game made no object for the record") {
        set_delivery_routines(delivery_routines().alloc, [](int32_t, game_addr, int32_t, game_addr, game_addr) {
            ++sim::gameboy_faults().create_calls;
            return game_addr{0};
        }, nullptr);
        o = deliver_stored_item(c, 1);
    }
    CHECK_FALSE(o.delivered);
    CHECK(o.reason.empty());  // left unacknowledged: offered again
    CHECK(storage_state().attention);
    CHECK(sim::gameboy_faults().create_calls == 1);
    // Offered again: settled from its receipt, nothing created twice.
    CHECK(deliver_stored_item(c, 1).delivered);
    CHECK(sim::gameboy_faults().create_calls == 1);
    CHECK(records_in_file(sim::read_garden_save(), 7) == 1);
    CHECK(sim::count_records(storage_game::kKindFruit) == 1);
    // Attention keeps every new delivery out.
    CHECK(deliver_stored_item(command(46), 1).reason == "storage persistence or native code is unavailable");
}

TEST_CASE("a deposit interrupted anywhere: the item is in the save file or in server storage, once") {
    crash::Case c;
    c.operation = [] {
        Scene::frame();  // the prepare accepted: saved out, the commit queued
        // The session ends before the worker sends it: the queue is emptied without a result,
        // and the commit is queued again.
        Scene::set_session("S2");
        Scene::frame();
        if (Scene::answer_next(true) != "commit S2") return false;
        Scene::frame();
        return pending_deposits().empty() && Scene::notice() == "Sent to server storage.";
    };
    c.check = [](const crash::Outcome& o) -> std::string {
        // In server storage: committed, or owed a commit that the flow repeats until accepted.
        int stored = 0, committed = 0;
        for (const auto& entry : std::filesystem::directory_iterator(platform::posix::native_path(storage_state().storage_dir))) {
            TransferRecord r;
            bool read = entry.path().extension() == ".bin" && ReadReceipt(entry.path().string(), storage_state().binding, r);
            stored += read && r.state >= kTransferApplied;
            committed += read && r.state == kTransferCommitted;
        }
        int in_file = records_in_file(sim::read_garden_save(), 7);
        if (in_file + stored != 1) return "in the file " + std::to_string(in_file) + ", stored " + std::to_string(stored);
        return o.succeeded && committed != 1 ? "reported sent but not committed" : "";
    };
    run_both_modes(c, false, [] {
        sim::hold(sim::place_fruit(7, 2));
        sim::write_garden_save();
        Scene::prepare_accepted();
    });
}

TEST_CASE("a delivery interrupted anywhere and offered again exists once, or stays with the server") {
    const WritebackCommand delivery = command(77, 9, 3);
    TempDir out;  // the child's first answer, for the parent
    const std::string outcome_file = out.str() + "/outcome";
    crash::Case c;
    c.operation = [&] {
        const std::string original = sim::read_garden_save();
        const std::string receipt = ReceiptPath(DeliveryReceiptFolder(), DeliveryTransferId(77, kItem));
        std::string answer = answer_of(deliver_stored_item(delivery, 1)), backup;
        std::ofstream(outcome_file) << answer;
        // Applied: a late repeat of the command is settled without looking for the item. The save
        // file as it was is kept beside the receipt.
        TransferRecord r;
        return answer == "done" && Scene::notice() == "Stored item delivered to this garden." &&
               ReadReceipt(receipt, storage_state().binding, r) && r.state == kTransferApplied &&
               ReadWholeFile(receipt + ".before", kMaxHashedFileSize, backup) && backup == original;
    };
    c.check = [&](const crash::Outcome& o) -> std::string {
        std::string first;
        if (!o.killed) std::ifstream(outcome_file) >> first;
        std::filesystem::remove(outcome_file);
        // A failure acknowledged leaves the item with the server; anything else is offered again.
        std::string final_answer = first;
        if (first != "failed") {
            final_answer = answer_of(deliver_stored_item(delivery, 1));
            if (first == "done" && final_answer != "done") return "a finished delivery was not confirmed";
        }
        int in_file = records_in_file(sim::read_garden_save(), 9);
        int in_game = sim::count_records(storage_game::kKindFruit);
        if (final_answer == "done" && (in_file != 1 || in_game != 1))
            return "delivered, yet in the file " + std::to_string(in_file) + ", in the game " + std::to_string(in_game);
        if (final_answer == "failed" && (in_file != 0 || in_game != 0)) return "reported failed, yet the item exists";
        return final_answer == "wait" ? "still waiting after a restart" : "";
    };
    run_both_modes(c, true);
}
