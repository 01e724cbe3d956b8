// The whole system from end to end: the simulated game frame by frame, the real worker and
// transport, and the reference server. The sync: the server's merged garden must equal the game's.
// Storage: a fruit and an animal deposited at the Game Boy, withdrawn and delivered back.
#include <doctest/doctest.h>

#include <nlohmann/json.hpp>

#include "host/notices.h"
#include "server_fixture.h"
#include "snapshot/scanner.h"
#include "test_deposit_scene.h"

using nlohmann::json;

namespace {

struct Game {
    TempDir folder;

    // The player at the Game Boy, the saves in <folder>/savedata. With `load_later`, the test
    // places its items and writes the garden save before `sim::load`.
    Game(ServerFixture& s, const std::string& key, bool load_later = false) {
        sim::reset();
        std::string error;
        REQUIRE(sim::build_garden(sim::sample_garden(), error));
        sim::setup_gameboy(1);
        std::filesystem::create_directories(folder.path / "savedata");
        set_slot(1);
        sim::use_standin_item_routines();
        f8_down() = false;
        folder.write("config.ini", "BaseUrl=" + s.base_url() + "\nApiKey=" + key +
                                       "\nSaveSlot=1\nScanIntervalFrames=30\nFullResyncSeconds=3600\nCommandPollSeconds=1\n");
        if (!load_later) sim::load(folder.str().c_str());
    }
    ~Game() { sim::unload(); }
    void set_slot(int slot) const { sim::set_save_folder(folder.str() + "/savedata", slot); }

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
    void play(int frames) { play_frames_until([] { return false; }, frames); }
};

json merged_garden(const ServerFixture& s) { return s.admin_json("GET", "/admin/gardens/tester/1"); }

// The server's Chao against what a full snapshot of the game's memory says right now.
bool server_matches_game(const ServerFixture& s) {
    json g = merged_garden(s);
    GardenScanner fresh;
    fresh.begin_session("0000000000000000", "0.1.19", 60);
    ScanResult r = scan_garden(fresh, 1);
    REQUIRE(r.produced);
    return g.contains("chao") && g["chao"] == json::parse(r.payload)["chao"];
}

size_t upload_count(const ServerFixture& s) { return merged_garden(s).value("uploads", size_t{0}); }

bool logged(const std::string& text) {
    return std::ranges::any_of(sim::debug_lines(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

size_t stored_items(const ServerFixture& s, const std::string& state, json* items = nullptr) {
    json out = json::array();
    for (auto& item : s.admin_json("GET", "/admin/accounts/tester/storage").value("items", json::array()))
        if (item["state"] == state) out.push_back(item);
    if (items) *items = out;
    return out.size();
}

int in_file(uint32_t kind, int16_t type) { return records_in_file(sim::read_garden_save(), type, kind); }

}  // namespace

TEST_CASE("start-up, session, full upload, deltas, leaving the garden and another save slot") {
    ServerFixture server;
    Game game(server, server.api_key);

    REQUIRE(game.play_until([&] { return server_matches_game(server); }));
    CHECK(merged_garden(server)["complete"] == true);

    // Chao change: one renamed, one slot emptied, one new egg.
    std::string error;
    for (const sim::ChaoSpec& c : {sim::ChaoSpec{0, 2, {}}.set("name_raw", "8D90A0A8"), sim::ChaoSpec{1, 0, {}}, sim::ChaoSpec{36, 1, {}}})
        REQUIRE(sim::write_chao(c, error));
    REQUIRE(game.play_until([&] { return server_matches_game(server); }));
    CHECK(logged("delta upload: "));
    const json garden = merged_garden(server);  // kept: the loop walks inside it
    for (auto& s : garden["occupied_slots"]) CHECK(s != 1);

    // Out of the garden the held session keeps uploading, with garden 0.
    sim::leave_garden();
    REQUIRE(sim::write_chao(sim::ChaoSpec{2, 2, {}}.set("name_raw", "9091"), error));
    REQUIRE(game.play_until([&] { return server_matches_game(server); }));

    // Another save slot: the session closes with a farewell and nothing more is uploaded.
    game.set_slot(2);
    REQUIRE(game.play_until([&] { return logged("session: goodbye sent (status 200)"); }));
    CHECK(logged("save slot 2 is loaded; waiting for configured save slot 1"));
    const size_t uploads = upload_count(server);
    REQUIRE(sim::write_chao(sim::ChaoSpec{3, 2, {}}.set("name_raw", "92"), error));
    game.play(600);
    CHECK(upload_count(server) == uploads);
}

TEST_CASE("greetings refused: an unknown key waits; a server demanding a newer mod: one box, the download page on Yes") {
    ServerFixture server(true, {"--min-mod-version", "9.9.9"});
    {
        Game stranger(server, "not-a-key-of-this-server");
        REQUIRE(stranger.play_until([] { return logged("session is waiting: server refused the greeting"); }));
    }
    Game game(server, server.api_key);
    sim::queue_box_answer(platform::kAnswerYes);  // the update box comes on a later scan tick
    REQUIRE(game.play_until([&] { return logged("session blocked: this Velmora version is outside"); }));
    game.play(2400);  // 40 s: long past the greeting's repeat interval
    int boxes = 0;
    for (const auto& b : sim::recording().boxes) boxes += b.title == "Velmora update required";
    CHECK(boxes == 1);
    CHECK(sim::recording().opened == std::vector<std::string>{kDownloadPage});
    CHECK(upload_count(server) == 0);
}

TEST_CASE("a fruit and an animal go into server storage at the Game Boy and come back") {
    ServerFixture server;
    Game game(server, server.api_key, true);
    game_addr fruit = sim::place_fruit(6, 3, true, 101.0f, 5.0f, -40.0f);
    game_addr animal = sim::place_animal(12, true, 95.0f, 5.0f, -38.0f);
    sim::hold(fruit);
    sim::write_garden_save();
    sim::load(game.folder.str().c_str());
    REQUIRE(game.play_until([] { return mod_state().garden_seen && storage_state().started; }));

    // The first prepare is refused: the item stays (the counts at the end find anything left
    // behind or lost on the way).
    REQUIRE(server.admin("POST", "/admin/faults", "{\"statuses\":[503],\"match\":\"/api/v1/inventory/deposit\"}").status == 200);
    f8_down() = true;
    REQUIRE(game.play_until([] { return Scene::notice() == "Storage unavailable or sync pending. Item kept."; }));
    f8_down() = false;
    sim::frame();  // the key let go

    // The second goes through its prepare; the server goes down while the commit is on its way.
    REQUIRE(server.admin("POST", "/admin/faults", "{\"delay_seconds\":2,\"delay_count\":2,\"match\":\"/api/v1/inventory/deposit\"}").status == 200);
    f8_down() = true;
    REQUIRE(game.play_until([] { return !pending_deposits().empty() && !pending_deposits()[0].still_in_garden; }));
    f8_down() = false;
    server.stop();
    REQUIRE(game.play_until([] { return Scene::notice() == "Item is saved locally; waiting for server storage."; }));
    REQUIRE(server.start());
    REQUIRE(game.play_until([] { return pending_deposits().empty(); }));
    CHECK(Scene::notice() == "Sent to server storage.");
    REQUIRE(stored_items(server, "stored") == 1);

    // The animal, at once.
    sim::hold(animal);
    f8_down() = true;
    json items;
    REQUIRE(game.play_until([&] { return stored_items(server, "stored", &items) == 2; }));
    f8_down() = false;

    // Both withdrawn; the dispatcher hands each spawn_inventory to the delivery, once.
    for (auto& item : items) {
        json body = {{"item_id", item["item_id"]}, {"save_slot", 1}, {"garden", 1}};
        REQUIRE(server.admin("POST", "/admin/accounts/tester/withdraw", body.dump()).status == 200);
    }
    REQUIRE(game.play_until([&] { return stored_items(server, "delivered") == 2; }));
    for (int i = 0; i < 240; ++i) sim::frame();  // more polls: nothing is delivered again
    for (auto [kind, type] : {std::pair<uint32_t, int16_t>{storage_game::kKindFruit, 6}, {storage_game::kKindAnimal, 12}})
        CHECK((sim::count_records(kind) == 1 && in_file(kind, type) == 1));
    CHECK(sim::garden_save_sealed(sim::read_garden_save()));
    CHECK(sim::gameboy_faults().create_calls == 2);
}
