// Garden storage from end to end: the simulated game with the real worker and transport against
// the reference server; a fruit and an animal deposited at the Game Boy, withdrawn and delivered back.
#include <doctest/doctest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "server_fixture.h"
#include "storage/delivery.h"
#include "test_deposit_scene.h"

using nlohmann::json;

namespace {

struct StorageGame {
    ServerFixture& server;
    TempDir folder;

    explicit StorageGame(ServerFixture& s) : server(s) {
        sim::reset();
        std::string error;
        REQUIRE(sim::build_garden(sim::sample_garden(), error));
        sim::setup_gameboy(1);
        std::filesystem::create_directories(folder.path / "savedata");
        sim::set_save_folder(folder.str() + "/savedata", 1);
        sim::use_standin_item_routines();
        f8_down() = false;
        platform::posix::set_key_state_handler([](int key) { return key == 0x77 && f8_down(); });
        folder.write("config.ini", "BaseUrl=" + s.base_url() + "\nApiKey=" + s.api_key +
                                       "\nSaveSlot=1\nScanIntervalFrames=30\nCommandPollSeconds=1\n");
    }
    ~StorageGame() {
        sim::unload();
        platform::posix::set_key_state_handler(nullptr);
        set_delivery_routines(nullptr, nullptr, nullptr);
    }

    // Frames with a short pause each, so the worker keeps pace, until `pred` holds (30 s at most).
    template <class Pred>
    bool play_until(Pred pred) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (int i = 0; std::chrono::steady_clock::now() < deadline; ++i) {
            sim::frame();
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            if (i % 10 == 9 && pred()) return true;
        }
        return pred();
    }
};

std::vector<json> stored_items(const ServerFixture& s, const std::string& state) {
    std::vector<json> out;
    HttpReply r = s.admin("GET", "/admin/accounts/tester/storage");
    json j = r.status == 200 ? json::parse(r.body, nullptr, false) : json();
    if (j.is_object() && j.contains("items"))
        for (auto& item : j["items"])
            if (item["state"] == state) out.push_back(item);
    return out;
}

int records_in_file(uint32_t kind, int16_t type) { return ::records_in_file(sim::read_garden_save(), kind, type); }

int records_in_game(uint32_t kind, int16_t type) {
    int n = 0;
    for (uint32_t i = 0; i < storage_game::record_count(kind); ++i)
        n += game::read<int16_t>(storage_game::record_table(kind) + 20 * i) == type;
    return n;
}

}  // namespace

TEST_CASE("a fruit and an animal go into server storage at the Game Boy and come back") {
    ServerFixture server;
    StorageGame game(server);
    game_addr fruit = sim::place_fruit(6, 3, true, 101.0f, 5.0f, -40.0f);
    game_addr animal = sim::place_animal(12, true, 95.0f, 5.0f, -38.0f);
    sim::hold(fruit);
    sim::write_garden_save();
    sim::load(game.folder.str().c_str());
    REQUIRE(link_worker().storage_available.load());
    REQUIRE(game.play_until([] { return mod_state().garden_seen && storage_state().started; }));

    // The first prepare is refused: the item stays.
    REQUIRE(server.admin("POST", "/admin/faults", "{\"statuses\":[503],\"match\":\"/api/v1/inventory/deposit\"}").status == 200);
    f8_down() = true;
    REQUIRE(game.play_until([] { return Scene::notice() == "Storage unavailable or sync pending. Item kept."; }));
    f8_down() = false;
    sim::frame();  // the key let go
    CHECK(sim::held_task() == fruit);
    CHECK(records_in_file(storage_game::kKindFruit, 6) == 1);

    // The second goes through its prepare; the server goes down while the commit is on its way.
    REQUIRE(server.admin("POST", "/admin/faults", "{\"delay_seconds\":2,\"delay_count\":2,\"match\":\"/api/v1/inventory/deposit\"}").status == 200);
    f8_down() = true;
    REQUIRE(game.play_until([] { return !pending_deposits().empty() && !pending_deposits()[0].still_in_garden; }));
    f8_down() = false;
    server.stop();
    CHECK(sim::held_task() == 0);
    CHECK(records_in_game(storage_game::kKindFruit, 6) == 0);
    CHECK(records_in_file(storage_game::kKindFruit, 6) == 0);
    REQUIRE(game.play_until([] { return Scene::notice() == "Item is saved locally; waiting for server storage."; }));
    REQUIRE(server.start());
    REQUIRE(game.play_until([] { return pending_deposits().empty(); }));
    CHECK(Scene::notice() == "Sent to server storage.");
    REQUIRE(stored_items(server, "stored").size() == 1);

    // The animal, at once.
    sim::hold(animal);
    f8_down() = true;
    REQUIRE(game.play_until([&] { return stored_items(server, "stored").size() == 2; }));
    f8_down() = false;
    CHECK(records_in_file(storage_game::kKindAnimal, 12) == 0);
    json items = stored_items(server, "stored");

    // Both withdrawn; the dispatcher hands each spawn_inventory to the delivery, once.
    for (auto& item : items) {
        json body = {{"item_id", item["item_id"]}, {"save_slot", 1}, {"garden", 1}};
        REQUIRE(server.admin("POST", "/admin/accounts/tester/withdraw", body.dump()).status == 200);
    }
    REQUIRE(game.play_until([&] { return stored_items(server, "delivered").size() == 2; }));
    for (int i = 0; i < 240; ++i) sim::frame();  // more polls: nothing is delivered again
    for (auto [kind, type] : {std::pair<uint32_t, int16_t>{storage_game::kKindFruit, 6}, {storage_game::kKindAnimal, 12}})
        CHECK((records_in_game(kind, type) == 1 && records_in_file(kind, type) == 1));
    CHECK(sim::garden_save_sealed(sim::read_garden_save()));
    CHECK(sim::gameboy_faults().create_calls == 2);
}
