// The garden sync from end to end: the simulated game frame by frame, the real worker and
// transport, and the reference server, whose merged garden must equal the game's.
#include <doctest/doctest.h>

#include <nlohmann/json.hpp>

#include "host/notices.h"
#include "net/worker.h"
#include "platform/platform.h"
#include "server_fixture.h"
#include "sim/garden.h"
#include "sim/sim.h"
#include "snapshot/scanner.h"

using nlohmann::json;

namespace {

sim::ChaoSpec chao(int32_t slot, int32_t type) {
    sim::ChaoSpec c;
    c.slot = slot;
    c.type = type;
    return c;
}

struct Game {
    ServerFixture& server;
    TempDir folder;

    Game(ServerFixture& s, const std::string& key, int slot_in_path = 1) : server(s) {
        sim::reset();
        std::string error;
        REQUIRE(sim::build_garden(sim::sample_garden(), error));
        sim::enter_garden(1);
        set_slot(slot_in_path);
        folder.write("config.ini", "BaseUrl=" + s.base_url() + "\nApiKey=" + key +
                                       "\nSaveSlot=1\nScanIntervalFrames=30\nFullResyncSeconds=3600\n");
        sim::load(folder.str().c_str());
    }
    ~Game() { sim::unload(); }

    static void set_slot(int slot) {
        char path[96];
        std::snprintf(path, sizeof path, "C:\\Games\\SA2\\resource\\gd_PC\\SAVEDATA\\SONIC2B__S%02d", slot);
        sim::set_save_path(path);
    }

    template <class Pred>
    bool play_until(Pred pred) {
        return play_frames_until(pred, 3000);
    }
    void play(int frames) { play_frames_until([] { return false; }, frames); }
};

json merged_garden(const ServerFixture& s) {
    HttpReply r = s.admin("GET", "/admin/gardens/tester/1");
    if (r.status != 200) return json();
    json j = json::parse(r.body, nullptr, false);
    return j.contains("garden") ? j["garden"] : j;
}

// What a full snapshot of the game's memory right now says about each Chao.
json local_chao() {
    GardenScanner fresh;
    fresh.begin_session("0000000000000000", "0.1.19", 60);
    ScanResult r = scan_garden(fresh, 1);
    REQUIRE(r.produced);
    return json::parse(r.payload)["chao"];
}

bool server_matches_game(const ServerFixture& s) {
    json g = merged_garden(s);
    return g.is_object() && g.contains("chao") && g["chao"] == local_chao();
}

size_t upload_count(const ServerFixture& s) {
    json g = merged_garden(s);
    return g.is_object() && g.contains("uploads") ? g["uploads"].get<size_t>() : 0;
}

bool logged(const std::string& text) {
    for (const auto& l : sim::debug_lines())
        if (l.find(text) != std::string::npos) return true;
    return false;
}

}  // namespace

TEST_CASE("start-up, session, full upload, deltas, leaving the garden and another save slot") {
    ServerFixture server;
    Game game(server, server.api_key);

    REQUIRE(game.play_until([&] { return server_matches_game(server); }));
    CHECK(merged_garden(server)["complete"] == true);

    // Chao change: one renamed, one slot emptied, one new egg.
    std::string error;
    REQUIRE(sim::write_chao(chao(0, 2).set("name_raw", "8D90A0A8"), error));
    REQUIRE(sim::write_chao(chao(1, 0), error));
    REQUIRE(sim::write_chao(chao(36, 1), error));
    REQUIRE(game.play_until([&] { return server_matches_game(server); }));
    CHECK(logged("delta upload: "));
    for (auto& s : merged_garden(server)["occupied_slots"]) CHECK(s != 1);

    // Out of the garden the held session keeps uploading, with garden 0.
    sim::leave_garden();
    REQUIRE(sim::write_chao(chao(2, 2).set("name_raw", "9091"), error));
    REQUIRE(game.play_until([&] { return server_matches_game(server); }));

    // Another save slot: the session closes with a farewell and nothing more is uploaded.
    Game::set_slot(2);
    REQUIRE(game.play_until([&] { return logged("session: goodbye sent (status 200)"); }));
    CHECK(logged("save slot 2 is loaded; waiting for configured save slot 1"));
    const size_t uploads = upload_count(server);
    REQUIRE(sim::write_chao(chao(3, 2).set("name_raw", "92"), error));
    game.play(600);
    CHECK(upload_count(server) == uploads);
}

TEST_CASE("a second game on the same key and slot is refused with 409 and never uploads") {
    ServerFixture server;
    {
        Game first(server, server.api_key);
        REQUIRE(first.play_until([&] { return server_matches_game(server); }));
        // The first game goes away without a farewell (a crash): the server still holds it.
        sim::reset();
    }
    size_t uploads = upload_count(server);
    Game second(server, server.api_key);
    REQUIRE(second.play_until([&] { return logged("session is waiting: another session already holds this garden"); }));
    second.play(300);
    CHECK(upload_count(server) == uploads);
    CHECK_FALSE(GetHelloResult().held);
}

TEST_CASE("an unknown key is refused; the mod keeps waiting without uploading") {
    ServerFixture server;
    Game game(server, "not-a-key-of-this-server");
    REQUIRE(game.play_until([&] { return logged("session is waiting: server refused the greeting"); }));
    CHECK(upload_count(server) == 0);
}

TEST_CASE("a server that demands a newer mod: one box, the download page on Yes, nothing uploaded") {
    ServerFixture server(true, {"--min-mod-version", "9.9.9"});
    Game game(server, server.api_key);
    sim::queue_box_answer(platform::kAnswerYes);  // the update box comes on a later scan tick
    REQUIRE(game.play_until([&] { return logged("session blocked: this Velmora version is outside"); }));
    game.play(2400);  // 40 s: long past the greeting's repeat interval
    int boxes = 0;
    for (const auto& b : sim::recording().boxes) boxes += b.title == "Velmora update required";
    CHECK(boxes == 1);
    REQUIRE(sim::recording().opened.size() == 1);
    CHECK(sim::recording().opened[0] == kDownloadPage);
    CHECK(upload_count(server) == 0);
}
