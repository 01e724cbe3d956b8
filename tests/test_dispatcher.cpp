// The command dispatcher on the simulated game, first straight through the worker's queues,
// then the whole road through the reference server.
#include <doctest/doctest.h>

#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>
#include <thread>

#include "host/mod_state.h"
#include "host/save_slot.h"
#include "net/worker.h"
#include "server_fixture.h"
#include "sim/garden.h"
#include "sim/sim.h"
#include "snapshot/chao_record.h"
#include "writeback/dispatcher.h"

using nlohmann::json;
using Bytes = std::vector<uint8_t>;

namespace {

game_addr slot_addr(int slot) { return game::addr::chao_slots + static_cast<uint32_t>(slot) * ChaoRecord::size; }

Bytes bytes_at(game_addr at, uint32_t n) {
    Bytes out(n);
    sim::peek(at, out.data(), n);
    return out;
}
Bytes all_slots() { return bytes_at(game::addr::chao_slots, game::kChaoSlotCount * ChaoRecord::size); }

std::string hex(const uint8_t* b, size_t n) {
    std::string s(2 * n, '0');
    hex_bytes(b, n, s.data());
    return s;
}
std::string hex_at(game_addr at, uint32_t n) { return hex(bytes_at(at, n).data(), n); }
std::string id_hex(int slot) { return hex_at(slot_addr(slot) + ChaoRecord::chao_id, 20); }
std::string name_hex(int slot) { return hex_at(slot_addr(slot) + ChaoRecord::name_raw, 7); }
std::string guard_hex(int slot) { return hex(parts_guard_of(slot_addr(slot)).data(), 8); }

ChaoImage image_of(int slot) {
    ChaoImage img;
    read_chao_image(slot_addr(slot), slot, img);
    return img;
}

std::string chao_id_text(int tag) {
    char buf[41];
    std::snprintf(buf, sizeof buf, "%02x0102030405060710%02x%02x%02x0c0d0e0f10111213", tag, tag, tag + 1, tag + 2);
    return buf;
}

// Slots 0 child, 1 adult with a Skeleton Dog, 2 adult, 3 egg, 4 and 5 twins the game cannot
// tell apart; the rest free.
void build_test_garden() {
    sim::GardenDescription g;
    g.garden = 1;
    const int types[] = {2, 6, 7, 1, 5, 5};
    const int tags[] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA4};
    const int behaviours[] = {5, 0x10005, 5, 0x10000, 5, 5};
    for (int i = 0; i < 6; ++i) {
        sim::ChaoSpec c;
        c.slot = i;
        c.type = types[i];
        c.set("chao_id", chao_id_text(tags[i])).set("name_raw", "2a2b2c2d2e2f30").set("reincarnations", 1);
        c.set("generation_block", std::string(2 * ChaoRecord::generation_block_size, '5'));
        c.set("animal_behaviors", behaviours[i]).set("classroom_flags", 0x30);
        g.chao.push_back(c);
    }
    std::string error;
    REQUIRE_MESSAGE(sim::build_garden(g, error), error);
}

struct Bench {
    Bench() {
        sim::reset();
        build_test_garden();
        sim::place_player(10.0f, 2.0f, -4.0f, 0x4000);
    }
    void offer_raw(const std::string& text) {
        LinkWorker& w = link_worker();
        std::lock_guard<std::mutex> g(w.lock);
        w.command_documents.push_back(text);
    }
    void offer(const std::string& commands) { offer_raw(R"({"commands":[)" + commands + "]}"); }
    void run(int32_t garden = 1) {
        apply_server_commands(game::addr::chao_slots, ChaoRecord::size, game::kChaoSlotCount, game::addr::trees, garden);
    }
    std::vector<AckEntry> acks() {
        LinkWorker& w = link_worker();
        std::lock_guard<std::mutex> g(w.lock);
        std::vector<AckEntry> out(w.acks.begin(), w.acks.end());
        w.acks.clear();
        return out;
    }
    // The same as "id ok" or "id failed: error", joined by "; ".
    std::string answered() {
        std::string out;
        for (const AckEntry& a : acks())
            out += (out.empty() ? "" : "; ") + std::to_string(a.id) + (a.ok ? " ok" : " failed") +
                   (a.error.empty() ? "" : ": " + a.error);
        return out;
    }
    std::vector<uint32_t>& completed() { return mod_state().completed_command_ids; }
};

std::string restore_command(int id, int slot, int version, const std::vector<int32_t>& f) {
    return json{{"id", id}, {"kind", "restore"}, {"slot", slot}, {"v", version}, {"f", f}}.dump();
}

// Position i carries i + 1, except a type and a garden that make sense; `id_of` puts that
// slot's identity into positions 105 to 109.
std::vector<int32_t> payload(int count, int id_of = -1) {
    std::vector<int32_t> f(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) f[static_cast<size_t>(i)] = i + 1;
    f[0] = 5;
    f[1] = 2;
    if (id_of >= 0) sim::peek(slot_addr(id_of) + ChaoRecord::chao_id, &f[105], 20);
    return f;
}

}  // namespace

TEST_CASE("slot commands write exactly their field behind the guards; refusals are answered at once") {
    Bench b;
    const Bytes before = all_slots();
    b.offer(R"({"id":1,"kind":"rename","slot":0,"expect_chao_id":")" + id_hex(0) + R"(","name_raw":"01020304050607"})");
    b.run();
    Bytes after = all_slots();
    CHECK(name_hex(0) == "01020304050607");
    std::memcpy(after.data() + ChaoRecord::name_raw, before.data() + ChaoRecord::name_raw, 7);
    CHECK(after == before);  // nothing but the name changed
    CHECK(b.completed() == std::vector<uint32_t>{1});
    CHECK(b.acks().empty());  // a success waits for the next accepted upload

    b.offer(R"({"id":2,"kind":"set_parts","slot":1,"expect_parts_guard":")" + guard_hex(1) +
            R"(","arm":3,"ear":-1,"forehead":20,"horn":-1,"leg":0,"tail":-1,"wing":-1,"face":7},)"
            R"({"id":3,"kind":"set_hat","slot":1,"headgear":16,"expect_seed":)" + std::to_string(image_of(1).seed) + "}");
    b.run();
    CHECK(hex_at(slot_addr(1) + ChaoRecord::parts, 8) == "03ff14ff00ffff07");
    CHECK(image_of(1).headgear == 16);
    CHECK(b.completed() == std::vector<uint32_t>{1, 2, 3});

    const Bytes settled = all_slots();
    const std::string parts = R"(,"arm":1,"ear":1,"forehead":1,"horn":1,"leg":1,"tail":1,"wing":1,"face":1)";
    const std::pair<std::string, std::string> refusals[] = {
        {R"("kind":"rename","slot":0,"name_raw":"0a0b0c0d0e0f10","expect_chao_id":")" + id_hex(2) + "\"",
         "a different chao now occupies that slot"},
        {R"("kind":"set_parts","slot":1,"expect_parts_guard":")" + guard_hex(2) + "\"" + parts,
         "This Chao changed. Sync your garden and choose the style again."},
        {R"("kind":"set_parts","slot":4,"expect_parts_guard":")" + guard_hex(4) + "\"" + parts,
         "These Chao still look identical to the game. Give them different names in SA2, then sync."},
        {R"("kind":"rename","slot":4,"name_raw":"0a0b0c0d0e0f10","expect_chao_id":")" + id_hex(4) + "\"",
         "chao identity is duplicated in this save"},
        {R"("kind":"set_hat","slot":2,"headgear":3,"expect_chao_id":")" + id_hex(2) + "\"",
         "Give this Chao a Skeleton Dog in SA2 before changing hats."},
        {R"("kind":"set_hat","slot":1,"headgear":9,"expect_chao_id":")" + id_hex(1) + "\"",
         "hat payload is invalid or target is an egg"},
        {R"("kind":"set_hat","slot":3,"headgear":2,"expect_chao_id":")" + id_hex(3) + "\"",
         "hat payload is invalid or target is an egg"},
        {R"("kind":"set_parts","slot":0)" + parts, "animal parts command carried no expected chao identity"},
        {R"("kind":"rename","slot":9,"name_raw":"0a0b0c0d0e0f10")", "no chao in that slot"},
        {R"("kind":"rename","slot":37,"name_raw":"0a0b0c0d0e0f10")", "slot out of range"},
        {R"("kind":"dance","slot":0)", "unsupported command kind"},
        {json{{"kind", "restore"}, {"slot", 9}, {"v", 2}, {"f", std::vector<int32_t>(105, 0)}}.dump().substr(1),
         "restore would empty the slot"},
        {restore_command(0, 8, 2, payload(104)).substr(1), "restore payload failed its version or length check"},
        {restore_command(0, 7, 2, payload(105)).substr(1), "restore refused: this slot has started a new life"},
    };
    mod_state().new_life_flags[7] = true;
    std::string want;
    int id = 100;
    for (const auto& [body, reason] : refusals) {
        b.offer("{\"id\":" + std::to_string(++id) + "," + (body.back() == '}' ? body.substr(0, body.size() - 1) : body) + "}");
        want += (want.empty() ? "" : "; ") + std::to_string(id) + " failed: " + reason;
    }
    b.run();
    CHECK(b.answered() == want);
    CHECK(all_slots() == settled);
    CHECK(b.completed().size() == 3);
}

TEST_CASE("restore writes every position of versions 2, 3 and 4 into its field") {
    Bench b;
    const Bytes tail = bytes_at(slot_addr(3) + ChaoRecord::head_size, 0x800 - ChaoRecord::head_size);
    b.offer(restore_command(1, 3, 2, payload(105)));  // over the egg
    b.run();
    const ChaoImage m = image_of(3);
    const int got[] = {
        m.type, m.garden, m.stat_grades[0], m.stat_grades[7], m.stat_levels[0], m.stat_levels[7], m.stat_points[0],
        m.stat_points[7], m.stat_fractions[0], m.stat_fractions[7], m.happiness, m.in_kindergarten, m.clock_rollovers,
        m.adult_clock_rollovers, m.lifespan, m.lifespan2, m.reincarnations, m.seed, m.timescale_timer, m.color,
        m.monotone_highlights, m.texture, m.shiny, m.egg_color, m.eye_type, m.mouth_type, m.ball_type, m.headgear,
        m.medal, m.hide_feet, m.body_type, m.body_type_animal, m.doctor_medal, m.parts[0], m.parts[7],
        m.conditions[0], m.conditions[10], m.joy, m.anger, m.fear, m.urge_to_cry, m.kindness, m.vitality, m.glutton,
        m.skillful, m.charm, m.chatty, m.curiosity, m.favorite_fruit, m.cough, m.cold, m.rash, m.runny_nose,
        m.hiccups, m.stomach_ache, m.crybaby_energetic, m.naive_normal, m.solitude, m.regain, m.carefree, m.fickle};
    const int want[] = {5,  2,  3,  10, 11, 18, 19, 26, 27, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 49, 50,
                        51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63, 70, 71, 81, 82, 83, 84, 85, 86,
                        87, 88, 89, 90, 91, 92, 93, 94, 95, 96, 97, 98, 99, 100, 101, 102, 103, 104, 105};
    static_assert(std::size(got) == std::size(want));
    for (size_t i = 0; i < std::size(got); ++i) CHECK_MESSAGE(got[i] == want[i], "entry " << i);
    CHECK(m.power_run == static_cast<float>(44 / 1000.0));
    CHECK(m.progress == static_cast<float>(48 / 1000.0));
    // Version 2 carries only the seed of the identity, no behaviours, and no name here.
    CHECK(id_hex(3).substr(0, 16) == chao_id_text(0xA3).substr(0, 16));
    CHECK(m.animal_behaviors == 0x10000u);
    CHECK(name_hex(3) == "2a2b2c2d2e2f30");
    CHECK(bytes_at(slot_addr(3) + ChaoRecord::head_size, 0x800 - ChaoRecord::head_size) == tail);

    // The same Chao in the same life (reincarnations 1) keeps what it has learnt; another
    // Chao, or one in a later life, takes the payload's bits.
    auto life = [](int count, int id_of, int32_t reincarnations) {
        std::vector<int32_t> f = payload(count, id_of);
        f[40] = reincarnations;
        f[110] = 0x100002;
        if (count == 113) f[111] = 1, f[112] = 0x400;
        return f;
    };
    const std::vector<int32_t> same2 = life(111, 2, 1), other = life(111, 2, 1), same1 = life(113, 1, 1),
                               reborn4 = life(113, 4, 2);
    json named = json::parse(restore_command(5, 4, 4, reborn4));
    named["name_raw"] = "11121314151617";
    b.offer(restore_command(2, 2, 3, same2) + "," + restore_command(3, 0, 3, other) + "," +
            restore_command(4, 1, 4, same1) + "," + named.dump());
    b.run();
    CHECK(b.acks().empty());
    CHECK(b.completed() == std::vector<uint32_t>{1, 2, 3, 4, 5});
    CHECK(image_of(2).animal_behaviors == 0x100007u);
    CHECK(image_of(0).animal_behaviors == 0x100002u);
    CHECK(id_hex(0) == id_hex(2));  // the identity comes from the payload
    CHECK(image_of(1).animal_behaviors == 0x110007u);
    CHECK(image_of(1).classroom_flags == 0x430u);
    CHECK(image_of(4).animal_behaviors == 0x100002u);
    CHECK(image_of(4).classroom_flags == 0x400u);
    CHECK(name_hex(4) == "11121314151617");
}

TEST_CASE("a command offered again, in a second document or after a lost acknowledgement, is applied once") {
    Bench b;
    const std::string commands = R"({"id":7,"kind":"spawn_fruit","garden":1,"fruit_type":4,"count":3},)"
                                 R"({"id":8,"kind":"rename","slot":0,"name_raw":"01020304050607"},)"
                                 R"({"id":9,"kind":"rename","slot":0,"name_raw":"0a0a0a0a0a0a0a","expect_chao_id":")" +
                                 id_hex(4) + "\"}";
    // The worker keeps two documents, each the server's whole unacknowledged list.
    b.offer(commands);
    b.offer(commands);
    b.run();
    REQUIRE(sim::created_fruit().size() == 3);
    for (int i = 0; i < 3; ++i) {
        const sim::CreatedFruit& f = sim::created_fruit()[static_cast<size_t>(i)];
        CHECK((f.type == 4 && f.rotation == 0x4000 && f.record == 0 && f.position.y == 3.5f && f.position.z == -4.0f));
        CHECK(f.position.x == 12.0f + 1.5f * static_cast<float>(i));
    }
    const std::string answers = "7 ok; 9 failed: a different chao now occupies that slot";
    CHECK(b.answered() == answers);
    CHECK(b.completed() == std::vector<uint32_t>{8});

    // The player renames the Chao in the game, the answers are lost and the server offers all
    // three again: nothing is applied again, every answer goes out again.
    std::string error;
    sim::ChaoSpec renamed;
    renamed.set("chao_id", chao_id_text(0xA0)).set("name_raw", "33333333333333");
    REQUIRE(sim::write_chao(renamed, error));
    const Bytes before = all_slots();
    b.completed().clear();  // the upload carried id 8
    b.offer(commands);
    b.run();
    CHECK(sim::created_fruit().size() == 3);
    CHECK(all_slots() == before);
    CHECK(b.answered() == answers);
    CHECK(b.completed() == std::vector<uint32_t>{8});

    // A new session starts with nothing handled.
    CHECK_FALSE(mod_state().handled_commands.empty());
    sim::set_save_path("C:\\SAVEDATA\\SONIC2B__S01");
    REQUIRE(save_slot_session_step());
    CHECK(mod_state().handled_commands.empty());
}

TEST_CASE("fruit waits for its garden and the player and stops where the game refuses; trees wait while loaded") {
    Bench b;
    game::write<uint32_t>(game::addr::character_data, 0);
    b.offer(R"({"id":1,"kind":"spawn_fruit","garden":2,"fruit_type":3},)"
            R"({"id":2,"kind":"spawn_fruit","garden":1,"fruit_type":24},)"
            R"({"id":3,"kind":"spawn_fruit","garden":1,"fruit_type":3,"count":4})");
    b.run(1);  // wrong garden
    b.offer(R"({"id":1,"kind":"spawn_fruit","garden":2,"fruit_type":3})");
    b.run(2);  // no player
    CHECK(sim::created_fruit().empty());
    CHECK(b.answered() == "2 failed: invalid fruit spawn payload; 3 failed: invalid fruit spawn payload");

    sim::place_player(0.0f, 0.0f, 0.0f, 0);
    sim::set_fruit_limit(2);
    b.offer(R"({"id":1,"kind":"spawn_fruit","garden":2,"fruit_type":3},)"
            R"({"id":4,"kind":"spawn_fruit","garden":2,"fruit_type":5,"count":3})");
    b.run(2);
    CHECK(sim::created_fruit().size() == 2);  // id 1's, then one of id 4's, which stays
    CHECK(b.answered() == "1 ok; 4 failed: the game refused to create the fruit");

    uint8_t byte = 0;  // code that is not the supported fruit routine is never called
    sim::peek(game::addr::create_fruit + 0x10, &byte, 1);
    byte ^= 0xFF;
    sim::poke(game::addr::create_fruit + 0x10, &byte, 1);
    sim::set_fruit_limit(-1);
    b.offer(R"({"id":5,"kind":"spawn_fruit","garden":2,"fruit_type":3})");
    b.run(2);
    CHECK(b.answered() == "5 failed: fruit creation unavailable: the game's fruit routine differs");
    CHECK(sim::created_fruit().size() == 2);

    // A garden's trees are left alone while it is loaded; a rebirth without the hook is refused.
    sim::write_tree(sim::TreeSpec{3, 2, 1, 40, 0});  // garden 1, slot 3
    b.offer(R"({"id":6,"kind":"tree_control","garden":1,"slot":3,"action":"water","expect_raw":")" +
            hex_at(game::addr::trees + 3 * 8, 8) + R"("},{"id":7,"kind":"reincarnate","slot":2,"v":1,"garden":1,)"
            R"("reincarnations":1,"expect_chao_id":")" + id_hex(2) + "\"}");
    b.run(1);
    CHECK(hex_at(game::addr::trees + 3 * 8 + 3, 1) == "00");
    CHECK(b.answered() == "7 failed: safe manual rebirth unavailable; enable lifespan protection and remove "
                          "conflicting lifecycle mods");
    b.offer(R"({"id":6,"kind":"tree_control","garden":1,"slot":3,"action":"water","expect_raw":")" +
            hex_at(game::addr::trees + 3 * 8, 8) + "\"}");
    b.run(2);
    CHECK(b.completed() == std::vector<uint32_t>{6});
    CHECK(hex_at(game::addr::trees + 3 * 8 + 3, 1) == "ff");
}

TEST_CASE("memory that cannot be read or written is refused untouched; non-documents answer nothing") {
    Bench b;
    sim::set_protection(slot_addr(0) & ~0xFFFu, 0x1000, game::kPageReadOnly);  // a write there would fault
    sim::unmap(slot_addr(21) & ~0xFFFu, 0x1000);  // slots 20 and 21 cannot be read
    const Bytes slot0 = bytes_at(slot_addr(0), ChaoRecord::size);
    b.offer(R"({"id":1,"kind":"rename","slot":0,"name_raw":"01020304050607"},)" + restore_command(2, 0, 2, payload(105)) +
            R"(,{"id":3,"kind":"rename","slot":2,"name_raw":"01020304050607","expect_chao_id":")" + id_hex(2) + "\"}" +
            R"(,{"id":4,"kind":"rename","slot":2,"name_raw":"01020304050607"})");
    b.run();
    CHECK(b.answered() == "1 failed: chao array not available; 2 failed: chao array not available; "
                          "3 failed: chao array not available");
    CHECK(bytes_at(slot_addr(0), ChaoRecord::size) == slot0);
    CHECK(b.completed() == std::vector<uint32_t>{4});  // it needed no other slot

    b.completed().clear();
    const Bytes before = all_slots();
    for (const char* text : {"not json at all", "", R"({"commands":[{"id":1,"kind":"rename","slot":2,"name_raw":"0102)",
                             R"({"command":[{"id":1,"kind":"resync"}]})", R"({"commands":{"id":1,"kind":"resync"}})",
                             R"({"commands":[{"id":"1","kind":"resync"},{"id":2}]})"})
        b.offer_raw(text);
    b.run();
    CHECK(all_slots() == before);
    CHECK(b.acks().empty());
    CHECK(b.completed().empty());
}

// ---- through the reference server

namespace {

struct Game {
    TempDir folder;
    explicit Game(ServerFixture& s) {
        sim::reset();
        build_test_garden();
        sim::place_player(-20.0f, 5.0f, 8.0f, 0x2000);
        sim::set_save_path("C:\\Games\\SA2\\resource\\gd_PC\\SAVEDATA\\SONIC2B__S01");
        folder.write("config.ini", "BaseUrl=" + s.base_url() + "\nApiKey=" + s.api_key +
                                       "\nScanIntervalFrames=30\nFullResyncSeconds=3600\nCommandPollSeconds=1\n");
        sim::load(folder.str().c_str());
    }
    ~Game() { sim::unload(); }
};

template <class Pred>
bool play_until(Pred pred, int max_frames = 6000) {
    return play_frames_until(pred, max_frames);
}

json server_command(const ServerFixture& s, int id) {
    json j = json::parse(s.admin("GET", "/admin/commands/" + std::to_string(id)).body, nullptr, false);
    return j.is_object() && j.contains("command") ? j["command"] : j;
}
bool acknowledged(const ServerFixture& s, int id) { return server_command(s, id).value("acknowledged", false); }

int queue_command(const ServerFixture& s, const json& command) {
    HttpReply r = s.admin("POST", "/admin/gardens/tester/1/commands", command.dump());
    REQUIRE_MESSAGE(r.status == 200, r.body);
    return json::parse(r.body)["id"].get<int>();
}

json merged_chao(const ServerFixture& s, int slot) {
    json j = json::parse(s.admin("GET", "/admin/gardens/tester/1").body, nullptr, false);
    if (!j.is_object()) return json::object();
    for (const json& c : j.value("garden", j).value("chao", json::array()))
        if (c["slot"] == slot) return c;
    return json::object();
}

}  // namespace

TEST_CASE("through the server: successes acknowledged after the upload that shows them, refusals at once") {
    ServerFixture server;
    Game game(server);
    sim::add_chao_task(slot_addr(2));
    REQUIRE(play_until([&] { return merged_chao(server, 0).contains("slot"); }));

    const Bytes slot1 = bytes_at(slot_addr(1), ChaoRecord::size);
    const int rename = queue_command(server, {{"kind", "rename"}, {"slot", 0}, {"expect_chao_id", id_hex(0)},
                                              {"name_raw", "05060708090a0b"}});
    const int refused = queue_command(server, {{"kind", "rename"}, {"slot", 1}, {"expect_chao_id", id_hex(2)},
                                               {"name_raw", "05060708090a0b"}});
    std::vector<int32_t> f4 = payload(113);
    f4[111] = 1;
    f4[112] = 0x77;
    const int restore = queue_command(server, {{"kind", "restore"}, {"slot", 12}, {"v", 4}, {"f", f4}});
    const int fruit = queue_command(server, {{"kind", "spawn_fruit"}, {"garden", 1}, {"fruit_type", 6}, {"count", 3}});
    // The rebirth runs through the hook the mod installed at load and the game's own routine.
    const int rebirth = queue_command(server, {{"kind", "reincarnate"}, {"slot", 2}, {"v", 1}, {"garden", 1},
                                               {"reincarnations", 1}, {"expect_chao_id", id_hex(2)}});

    // The moment a slot command is acknowledged, the merged garden already shows its effect.
    bool shown_first = true;
    REQUIRE(play_until([&] {
        if (acknowledged(server, rename)) shown_first &= merged_chao(server, 0)["name_raw"] == "05060708090a0b";
        if (acknowledged(server, restore)) shown_first &= merged_chao(server, 12)["life"]["classroom_flags"] == 0x77;
        for (int id : {rename, refused, restore, fruit, rebirth})
            if (!acknowledged(server, id)) return false;
        return true;
    }));
    CHECK(shown_first);
    play_until([] { return false; }, 300);  // later polls apply nothing again

    for (int id : {rename, restore, fruit, rebirth}) CHECK_MESSAGE(server_command(server, id)["ok"] == true, id);
    CHECK(server_command(server, refused)["ok"] == false);
    CHECK(server_command(server, refused)["error"] == "a different chao now occupies that slot");
    CHECK(bytes_at(slot_addr(1), ChaoRecord::size) == slot1);
    CHECK(merged_chao(server, 12)["chao_id"] == "6a0000006b0000006c0000006d0000006e000000");
    REQUIRE(sim::created_fruit().size() == 3);
    CHECK(sim::created_fruit()[2].position.x == -15.0f);
    CHECK(sim::task_model().rebirths == 1);

    // Outside the garden the session keeps uploading but applies nothing until the player is back.
    sim::leave_garden();
    const int later = queue_command(server, {{"kind", "rename"}, {"slot", 1}, {"name_raw", "0c0c0c0c0c0c0c"}});
    play_until([] { return false; }, 600);
    CHECK_FALSE(acknowledged(server, later));
    CHECK(name_hex(1) == "2a2b2c2d2e2f30");
    sim::enter_garden(1);
    REQUIRE(play_until([&] { return acknowledged(server, later); }));
    CHECK(name_hex(1) == "0c0c0c0c0c0c0c");
}
