// The garden sync from end to end: the simulated game frame by frame, the real worker and
// transport, and the reference server, whose merged garden must equal the game's.
#include <doctest/doctest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

#include "host/mod_state.h"
#include "host/notices.h"
#include "platform/platform.h"
#include "net/worker.h"
#include "server_fixture.h"
#include "sim/garden.h"
#include "sim/sim.h"
#include "sim/tasks.h"
#include "protect/lifespan.h"
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

    // Frames at the game's pace in simulated time, briefly yielding so the worker keeps up,
    // until `pred` holds.
    template <class Pred>
    bool play_until(Pred pred, int max_frames = 3000) {
        return play_frames_until(pred, max_frames);
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
    CHECK(logged("save slot 1 selected; session started"));
    CHECK(logged("session: hello ok"));
    CHECK(logged("full upload: "));
    CHECK(merged_garden(server)["complete"] == true);

    // Chao change: one renamed, one slot emptied, one new egg.
    std::string error;
    REQUIRE(sim::write_chao(chao(0, 2).set("name_raw", "8D90A0A8"), error));
    REQUIRE(sim::write_chao(chao(1, 0), error));
    REQUIRE(sim::write_chao(chao(36, 1), error));
    REQUIRE(game.play_until([&] { return server_matches_game(server); }));
    CHECK(logged("delta upload: "));
    json g = merged_garden(server);
    bool slot1 = false;
    for (auto& s : g["occupied_slots"]) slot1 |= s == 1;
    CHECK_FALSE(slot1);

    // Out of the garden the held session keeps uploading, with garden 0.
    sim::leave_garden();
    REQUIRE(sim::write_chao(chao(2, 2).set("name_raw", "9091"), error));
    REQUIRE(game.play_until([&] { return server_matches_game(server); }));

    // Another save slot: the session closes with a farewell and nothing more is uploaded.
    Game::set_slot(2);
    REQUIRE(game.play_until([&] { return logged("session: goodbye sent (status 200)"); }));
    CHECK(logged("save slot 2 is loaded; waiting for configured save slot 1"));
    size_t uploads = upload_count(server);
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

namespace {

int queue_command(const ServerFixture& s, const json& command) {
    json j = json::parse(s.admin("POST", "/admin/gardens/tester/1/commands", command.dump()).body, nullptr, false);
    return j.is_object() && j.contains("id") ? j["id"].get<int>() : -1;
}

json command_state(const ServerFixture& s, int id) {
    json j = json::parse(s.admin("GET", "/admin/commands/" + std::to_string(id)).body, nullptr, false);
    return j.is_object() && j.contains("command") ? j["command"] : j;
}

bool acknowledged(const ServerFixture& s, int id) { return command_state(s, id).value("acknowledged", false); }

// A rebirth of the Chao in slot 6 as the server's merged garden shows it.
json rebirth_of_slot_six(const ServerFixture& s) {
    json six, garden = merged_garden(s);
    for (auto& c : garden["chao"])
        if (c["slot"] == 6) six = c;
    REQUIRE(six.is_object());
    return {{"kind", "reincarnate"}, {"slot", 6}, {"v", 1}, {"garden", 1},
            {"reincarnations", six["life"]["reincarnations"]}, {"expect_chao_id", six["chao_id"]}};
}

std::string tree_hex(int index) {
    uint8_t b[8];
    sim::peek(game::addr::trees + 8u * static_cast<uint32_t>(index), b, 8);
    char out[17];
    for (int i = 0; i < 8; ++i) std::snprintf(out + 2 * i, 3, "%02x", b[i]);
    return out;
}

}  // namespace

TEST_CASE("through the server: a tree is watered, and a rebirth is refused without the hook, done with it") {
    ServerFixture server;
    {
        Game game(server, server.api_key);
        sim::TreeSpec tree;
        tree.index = 3;  // garden 1, slot 3
        tree.kind = 2;
        tree.state = 1;
        tree.growth = 40;
        sim::write_tree(tree);
        sim::add_chao_task(game::addr::chao_slots + 6 * game::kChaoRecordSize);
        REQUIRE(game.play_until([&] { return server_matches_game(server); }));
        json rebirth = rebirth_of_slot_six(server);

        // Another mod replaces the rebirth routine's code: the hook is gone, the rebirth refused.
        uint8_t byte = game::read<uint8_t>(lifespan::kHelperRoutine + 9) ^ 0x40;
        sim::poke(lifespan::kHelperRoutine + 9, &byte, 1);
        int refused = queue_command(server, rebirth);
        int water = queue_command(server, {{"kind", "tree_control"}, {"garden", 1}, {"slot", 3}, {"action", "water"},
                                           {"expect_raw", tree_hex(3)}});
        sim::enter_garden(2);  // a garden's trees are changed while the player is elsewhere
        REQUIRE(game.play_until([&] { return acknowledged(server, refused) && acknowledged(server, water); }));
        CHECK(command_state(server, refused)["ok"] == false);
        CHECK(command_state(server, refused)["error"] ==
              "safe manual rebirth unavailable; enable lifespan protection and remove conflicting lifecycle mods");
        CHECK(command_state(server, water)["ok"] == true);
        CHECK(game::read<uint8_t>(game::addr::trees + 3 * 8 + 3) == 0xFF);
        CHECK(sim::task_model().rebirths == 0);
    }  // the game closes and says goodbye
    // A game whose code is intact carries the same rebirth out, through the game's own routine.
    Game game(server, server.api_key);
    sim::add_chao_task(game::addr::chao_slots + 6 * game::kChaoRecordSize);
    REQUIRE(game.play_until([&] { return server_matches_game(server); }));
    int done = queue_command(server, rebirth_of_slot_six(server));
    REQUIRE(game.play_until([&] { return acknowledged(server, done); }, 6000));
    CHECK(command_state(server, done)["ok"] == true);
    CHECK(sim::task_model().rebirths == 1);
}
