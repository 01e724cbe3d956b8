// The command dispatcher on the simulated game: slot commands, restores, refusals, repeats
// and fruit directly through the worker's queues, then the whole road through the
// reference server.
#include <doctest/doctest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "host/mod_state.h"
#include "host/save_slot.h"
#include "net/worker.h"
#include "server_fixture.h"
#include "sim/garden.h"
#include "sim/sim.h"
#include "snapshot/chao_record.h"
#include "snapshot/scanner.h"
#include "writeback/dispatcher.h"

using nlohmann::json;

namespace {

game_addr slot_addr(int slot) { return game::addr::chao_slots + static_cast<uint32_t>(slot) * ChaoRecord::size; }

std::vector<uint8_t> all_slots() {
    std::vector<uint8_t> out(game::kChaoSlotCount * ChaoRecord::size);
    sim::peek(game::addr::chao_slots, out.data(), out.size());
    return out;
}

std::vector<uint8_t> bytes_at(game_addr at, uint32_t n) {
    std::vector<uint8_t> out(n);
    sim::peek(at, out.data(), n);
    return out;
}

std::string hex(const std::vector<uint8_t>& b) {
    static const char k[] = "0123456789abcdef";
    std::string s;
    for (uint8_t v : b) s += {k[v >> 4], k[v & 15]};
    return s;
}

std::string id_hex(int slot) { return hex(bytes_at(slot_addr(slot) + ChaoRecord::chao_id, 20)); }
std::string guard_hex(int slot) {
    Fingerprint f = parts_guard_of(slot_addr(slot));
    return hex({f.begin(), f.end()});
}

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
    auto add = [&](int slot, int type, int tag) -> sim::ChaoSpec& {
        sim::ChaoSpec c;
        c.slot = slot;
        c.type = type;
        c.set("chao_id", chao_id_text(tag)).set("name_raw", "2a2b2c2d2e2f30").set("reincarnations", 1);
        c.set("generation_block", std::string(2 * ChaoRecord::generation_block_size, '5'));
        c.set("animal_behaviors", 0x5).set("classroom_flags", 0x30);
        g.chao.push_back(c);
        return g.chao.back();
    };
    add(0, 2, 0xA0);
    add(1, 6, 0xA1).set("animal_behaviors", 0x10005);
    add(2, 7, 0xA2);
    add(3, 1, 0xA3).set("animal_behaviors", 0x10000);
    add(4, 5, 0xA4);
    add(5, 5, 0xA4);
    std::string error;
    REQUIRE_MESSAGE(sim::build_garden(g, error), error);
}

struct Bench {
    Bench() {
        sim::reset();
        build_test_garden();
        sim::place_player(10.0f, 2.0f, -4.0f, 0x4000);
    }
    void offer(const std::string& commands) {
        LinkWorker& w = link_worker();
        std::lock_guard<std::mutex> g(w.lock);
        w.command_documents.push_back(R"({"commands":[)" + commands + "]}");
    }
    void offer_raw(const std::string& text) {
        LinkWorker& w = link_worker();
        std::lock_guard<std::mutex> g(w.lock);
        w.command_documents.push_back(text);
    }
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
    std::vector<uint32_t>& completed() { return mod_state().completed_command_ids; }
};

std::string restore_command(int id, int slot, int version, const std::vector<int32_t>& f) {
    json j = {{"id", id}, {"kind", "restore"}, {"slot", slot}, {"v", version}, {"f", f}};
    return j.dump();
}

// Position i carries i + 1, except a type and a garden that make sense.
std::vector<int32_t> payload(int count) {
    std::vector<int32_t> f(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) f[static_cast<size_t>(i)] = i + 1;
    f[0] = 5;
    f[1] = 2;
    return f;
}

}  // namespace

TEST_CASE("slot commands write exactly their field behind the guards; refusals are answered at once") {
    Bench b;
    const std::vector<uint8_t> before = all_slots();
    garden_scanner().full_requested = false;

    b.offer(R"({"id":1,"kind":"rename","slot":0,"expect_chao_id":")" + id_hex(0) + R"(","name_raw":"01020304050607"})");
    b.run();
    std::vector<uint8_t> after = all_slots();
    CHECK(bytes_at(slot_addr(0) + ChaoRecord::name_raw, 7) == std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7});
    std::memcpy(after.data() + ChaoRecord::name_raw, before.data() + ChaoRecord::name_raw, 7);
    CHECK(after == before);  // nothing but the name changed
    CHECK(b.completed() == std::vector<uint32_t>{1});
    CHECK(b.acks().empty());  // a success waits for the next accepted upload
    CHECK(garden_scanner().full_requested);

    b.offer(R"({"id":2,"kind":"set_parts","slot":1,"expect_parts_guard":")" + guard_hex(1) +
            R"(","arm":3,"ear":-1,"forehead":20,"horn":-1,"leg":0,"tail":-1,"wing":-1,"face":7})");
    b.offer(R"({"id":3,"kind":"set_hat","slot":1,"expect_seed":)" +
            std::to_string(image_of(1).seed) + R"(,"headgear":16})");
    b.run();
    CHECK(bytes_at(slot_addr(1) + ChaoRecord::parts, 8) == std::vector<uint8_t>{3, 0xFF, 20, 0xFF, 0, 0xFF, 0xFF, 7});
    CHECK(image_of(1).headgear == 16);
    CHECK(b.completed() == std::vector<uint32_t>{1, 2, 3});

    const std::vector<uint8_t> settled = all_slots();
    struct Refusal {
        std::string command;
        std::string reason;
    };
    const std::string stale_guard = guard_hex(2);
    const Refusal refusals[] = {
        {R"("kind":"rename","slot":0,"expect_chao_id":")" + id_hex(2) + R"(","name_raw":"0a0b0c0d0e0f10")",
         "a different chao now occupies that slot"},
        {R"("kind":"set_parts","slot":1,"expect_parts_guard":")" + stale_guard +
             R"(","arm":1,"ear":1,"forehead":1,"horn":1,"leg":1,"tail":1,"wing":1,"face":1)",
         "This Chao changed. Sync your garden and choose the style again."},
        {R"("kind":"set_parts","slot":4,"expect_parts_guard":")" + guard_hex(4) +
             R"(","arm":1,"ear":1,"forehead":1,"horn":1,"leg":1,"tail":1,"wing":1,"face":1)",
         "These Chao still look identical to the game. Give them different names in SA2, then sync."},
        {R"("kind":"rename","slot":4,"expect_chao_id":")" + id_hex(4) + R"(","name_raw":"0a0b0c0d0e0f10")",
         "chao identity is duplicated in this save"},
        {R"("kind":"set_hat","slot":2,"expect_chao_id":")" + id_hex(2) + R"(","headgear":3)",
         "Give this Chao a Skeleton Dog in SA2 before changing hats."},
        {R"("kind":"set_hat","slot":1,"expect_chao_id":")" + id_hex(1) + R"(","headgear":9)",
         "hat payload is invalid or target is an egg"},
        {R"("kind":"set_hat","slot":3,"expect_chao_id":")" + id_hex(3) + R"(","headgear":2)",
         "hat payload is invalid or target is an egg"},
        {R"("kind":"set_parts","slot":0,"arm":1,"ear":1,"forehead":1,"horn":1,"leg":1,"tail":1,"wing":1,"face":1)",
         "animal parts command carried no expected chao identity"},
        {R"("kind":"rename","slot":9,"name_raw":"0a0b0c0d0e0f10")", "no chao in that slot"},
        {R"("kind":"rename","slot":37,"name_raw":"0a0b0c0d0e0f10")", "slot out of range"},
        {R"("kind":"dance","slot":0)", "unsupported command kind"},
        {json{{"kind", "restore"}, {"slot", 9}, {"v", 2}, {"f", std::vector<int32_t>(105, 0)}}.dump(),
         "restore would empty the slot"},
    };
    int id = 100;
    for (const Refusal& r : refusals) {
        std::string text = r.command;
        if (text.front() == '{') text = text.substr(1, text.size() - 2);  // a whole object was given
        b.offer("{\"id\":" + std::to_string(++id) + "," + text + "}");
    }
    b.run();
    std::vector<AckEntry> acks = b.acks();
    REQUIRE(acks.size() == std::size(refusals));
    for (size_t i = 0; i < acks.size(); ++i) {
        CHECK(acks[i].id == 101 + i);
        CHECK_FALSE(acks[i].ok);
        CHECK(acks[i].error == refusals[i].reason);
    }
    CHECK(all_slots() == settled);
    CHECK(b.completed().size() == 3);
}

TEST_CASE("restore writes every position of versions 2, 3 and 4 into its field") {
    Bench b;
    const std::vector<uint8_t> tail_before = bytes_at(slot_addr(3) + ChaoRecord::head_size, 0x800 - ChaoRecord::head_size);

    // Version 2 over the egg: every one of the 105 positions lands in its own field.
    b.offer(restore_command(1, 3, 2, payload(105)));
    b.run();
    ChaoImage m = image_of(3);
    CHECK(m.type == 5);
    CHECK(m.garden == 2);
    for (int k = 0; k < 8; ++k) {
        CHECK(m.stat_grades[k] == 3 + k);
        CHECK(m.stat_levels[k] == 11 + k);
        CHECK(m.stat_points[k] == 19 + k);
        CHECK(m.stat_fractions[k] == 27 + k);
        CHECK(m.parts[k] == 63 + k);
    }
    const int16_t life[] = {m.happiness, m.in_kindergarten, m.clock_rollovers, m.adult_clock_rollovers,
                            m.lifespan, m.lifespan2, m.reincarnations};
    for (int k = 0; k < 7; ++k) CHECK(life[k] == 35 + k);
    CHECK(m.seed == 42);
    CHECK(m.timescale_timer == 43);
    const float evo[] = {m.power_run, m.fly_swim, m.alignment, m.last_life_alignment, m.progress};
    for (int k = 0; k < 5; ++k) CHECK(evo[k] == static_cast<float>((44 + k) / 1000.0));
    const int looks[] = {m.color, m.monotone_highlights, m.texture, m.shiny, m.egg_color, m.eye_type, m.mouth_type,
                         m.ball_type, m.headgear, m.medal, m.hide_feet, m.body_type, m.body_type_animal, m.doctor_medal};
    for (int k = 0; k < 14; ++k) CHECK(looks[k] == 49 + k);
    for (int k = 0; k < 11; ++k) CHECK(m.conditions[k] == 71 + k);
    const int mind[] = {m.joy, m.anger, m.fear, m.urge_to_cry, m.kindness, m.vitality, m.glutton, m.skillful,
                        m.charm, m.chatty, m.curiosity, m.favorite_fruit, m.cough, m.cold, m.rash, m.runny_nose,
                        m.hiccups, m.stomach_ache, m.crybaby_energetic, m.naive_normal, m.solitude, m.regain,
                        m.carefree, m.fickle};
    for (int k = 0; k < 24; ++k) CHECK(mind[k] == 82 + k);
    // Version 2 carries only the seed of the identity, and no behaviours.
    CHECK(hex(bytes_at(slot_addr(3) + ChaoRecord::chao_id, 8)) == chao_id_text(0xA3).substr(0, 16));
    CHECK(m.animal_behaviors == 0x10000u);
    CHECK(hex(bytes_at(slot_addr(3) + ChaoRecord::name_raw, 7)) == "2a2b2c2d2e2f30");
    CHECK(bytes_at(slot_addr(3) + ChaoRecord::head_size, 0x800 - ChaoRecord::head_size) == tail_before);

    // Version 3 of the same Chao in the same life keeps the behaviours it has learnt.
    std::vector<int32_t> f = payload(111);
    std::vector<uint8_t> id = bytes_at(slot_addr(2) + ChaoRecord::chao_id, 20);
    for (int k = 0; k < 5; ++k) std::memcpy(&f[static_cast<size_t>(105 + k)], &id[static_cast<size_t>(4 * k)], 4);
    f[40] = 1;  // its reincarnations
    f[110] = 0x100002;
    b.offer(restore_command(2, 2, 3, f));
    // Another Chao (slot 0 holds a different identity): the payload's behaviours replace its own.
    b.offer(restore_command(3, 0, 3, f));
    // Version 4 with classroom flags, same Chao and life; then the same after a rebirth.
    std::vector<int32_t> f4 = f;
    f4.push_back(1);
    f4.push_back(0x400);
    std::vector<uint8_t> id1 = bytes_at(slot_addr(1) + ChaoRecord::chao_id, 20);
    for (int k = 0; k < 5; ++k) std::memcpy(&f4[static_cast<size_t>(105 + k)], &id1[static_cast<size_t>(4 * k)], 4);
    b.offer(restore_command(4, 1, 4, f4));
    f4[40] = 2;
    std::vector<uint8_t> id4 = bytes_at(slot_addr(4) + ChaoRecord::chao_id, 20);
    for (int k = 0; k < 5; ++k) std::memcpy(&f4[static_cast<size_t>(105 + k)], &id4[static_cast<size_t>(4 * k)], 4);
    json named = json::parse(restore_command(5, 4, 4, f4));
    named["name_raw"] = "11121314151617";
    b.offer(named.dump());
    b.run();
    CHECK(b.acks().empty());
    CHECK(b.completed() == std::vector<uint32_t>{1, 2, 3, 4, 5});
    CHECK(image_of(2).animal_behaviors == (0x100002u | 0x5u));
    CHECK(id_hex(2) == hex(id));
    CHECK(image_of(0).animal_behaviors == 0x100002u);
    CHECK(id_hex(0) == hex(id));  // the identity comes from the payload
    CHECK(image_of(1).animal_behaviors == (0x100002u | 0x10005u));
    CHECK(image_of(1).classroom_flags == (0x400u | 0x30u));
    CHECK(image_of(4).classroom_flags == 0x400u);
    CHECK(image_of(4).animal_behaviors == 0x100002u);
    CHECK(hex(bytes_at(slot_addr(4) + ChaoRecord::name_raw, 7)) == "11121314151617");
    CHECK(hex(bytes_at(slot_addr(2) + ChaoRecord::name_raw, 7)) == "2a2b2c2d2e2f30");
}

TEST_CASE("restore refusals: a slot in a new life first, then EnableRestoreOnLaunch, then the payload") {
    Bench b;
    const std::vector<uint8_t> before = all_slots();
    mod_state().new_life_flags[9] = true;
    mod_state().config.EnableRestoreOnLaunch = false;
    b.offer(restore_command(1, 9, 2, payload(105)) + "," + restore_command(2, 10, 2, payload(105)));
    b.run();
    std::vector<AckEntry> acks = b.acks();
    REQUIRE(acks.size() == 2);
    CHECK(acks[0].error == "restore refused: this slot has started a new life");
    CHECK(acks[1].error == "EnableRestoreOnLaunch is off");

    mod_state().config.EnableRestoreOnLaunch = true;
    b.offer(restore_command(3, 10, 2, payload(104)) + "," + restore_command(4, 10, 3, payload(105)));
    b.run();
    acks = b.acks();
    REQUIRE(acks.size() == 2);
    CHECK(acks[0].error == "restore payload failed its version or length check");
    CHECK(acks[1].error == "restore payload failed its version or length check");
    CHECK(all_slots() == before);
    CHECK(b.completed().empty());
}

TEST_CASE("a command offered again, in a second document or after a lost acknowledgement, is applied once") {
    Bench b;
    const std::string commands = R"({"id":7,"kind":"spawn_fruit","garden":1,"fruit_type":4,"count":3},)"
                                 R"({"id":8,"kind":"rename","slot":0,"name_raw":"01020304050607"},)"
                                 R"({"id":9,"kind":"rename","slot":0,"expect_chao_id":")" + id_hex(4) +
                                 R"(","name_raw":"0a0a0a0a0a0a0a"})";
    // The worker keeps two documents, each the server's whole unacknowledged list.
    b.offer(commands);
    b.offer(commands);
    b.run();
    REQUIRE(sim::created_fruit().size() == 3);
    const float xs[] = {12.0f, 13.5f, 15.0f};
    for (int i = 0; i < 3; ++i) {
        const sim::CreatedFruit& f = sim::created_fruit()[static_cast<size_t>(i)];
        CHECK(f.type == 4);
        CHECK(f.position.x == xs[i]);
        CHECK(f.position.y == 3.5f);
        CHECK(f.position.z == -4.0f);
        CHECK(f.rotation == 0x4000);
        CHECK(f.record == 0);
    }
    std::vector<AckEntry> acks = b.acks();
    REQUIRE(acks.size() == 2);
    CHECK((acks[0].id == 7 && acks[0].ok && acks[0].error.empty()));
    CHECK((acks[1].id == 9 && !acks[1].ok && acks[1].error == "a different chao now occupies that slot"));
    CHECK(b.completed() == std::vector<uint32_t>{8});

    // The player renames the Chao in the game; the acknowledgements were lost and the server
    // offers all three again: nothing is applied again, every answer goes out again.
    std::string error;
    sim::ChaoSpec renamed;
    renamed.slot = 0;
    renamed.set("chao_id", chao_id_text(0xA0)).set("name_raw", "33333333333333");
    REQUIRE(sim::write_chao(renamed, error));
    const std::vector<uint8_t> before = all_slots();
    b.completed().clear();  // the upload carried id 8
    b.offer(commands);
    b.run();
    CHECK(sim::created_fruit().size() == 3);
    CHECK(all_slots() == before);
    acks = b.acks();
    REQUIRE(acks.size() == 2);
    CHECK((acks[0].id == 7 && acks[0].ok));
    CHECK((acks[1].id == 9 && acks[1].error == "a different chao now occupies that slot"));
    CHECK(b.completed() == std::vector<uint32_t>{8});

    // A new session forgets them: the save-slot step clears what this one handled.
    CHECK_FALSE(mod_state().handled_commands.empty());
    sim::set_save_path("C:\\SAVEDATA\\SONIC2B__S01");
    REQUIRE(save_slot_session_step());
    CHECK(mod_state().handled_commands.empty());
}

TEST_CASE("spawn_fruit waits for its garden and the player, and stops where the game refuses") {
    Bench b;
    b.offer(R"({"id":1,"kind":"spawn_fruit","garden":2,"fruit_type":3},)"
            R"({"id":2,"kind":"spawn_fruit","garden":1,"fruit_type":24},)"
            R"({"id":3,"kind":"spawn_fruit","garden":1,"fruit_type":3,"count":4})");
    b.run(1);
    CHECK(sim::created_fruit().empty());
    std::vector<AckEntry> acks = b.acks();
    REQUIRE(acks.size() == 2);
    CHECK(acks[0].error == "invalid fruit spawn payload");
    CHECK(acks[1].error == "invalid fruit spawn payload");

    game::write<uint32_t>(game::addr::character_data, 0);
    b.offer(R"({"id":1,"kind":"spawn_fruit","garden":2,"fruit_type":3})");
    b.run(2);  // no player yet
    CHECK(sim::created_fruit().empty());
    CHECK(b.acks().empty());
    sim::place_player(0.0f, 0.0f, 0.0f, 0);
    b.offer(R"({"id":1,"kind":"spawn_fruit","garden":2,"fruit_type":3})");
    b.run(2);
    CHECK(sim::created_fruit().size() == 1);
    CHECK(b.acks().size() == 1);

    sim::set_fruit_limit(2);
    b.offer(R"({"id":4,"kind":"spawn_fruit","garden":2,"fruit_type":5,"count":3})");
    b.offer(R"({"id":4,"kind":"spawn_fruit","garden":2,"fruit_type":5,"count":3})");
    b.run(2);
    CHECK(sim::created_fruit().size() == 2);  // one more; what was made stays
    acks = b.acks();
    REQUIRE(acks.size() == 1);
    CHECK((acks[0].id == 4 && !acks[0].ok && acks[0].error == "the game refused to create the fruit"));
}

TEST_CASE("documents that are not command documents change nothing and answer nothing") {
    Bench b;
    const std::vector<uint8_t> before = all_slots();
    for (const char* text : {"not json at all", "", R"({"commands":[{"id":1,"kind":"rename","slot":0,"name_raw":"0102)",
                             R"({"command":[{"id":1,"kind":"resync"}]})", R"({"commands":{"id":1,"kind":"resync"}})",
                             "\xff\xfe{\"commands\"", R"({"commands":[{"id":"1","kind":"resync"},{"id":2}]})"})
        b.offer_raw(text);
    b.run();
    CHECK(all_slots() == before);
    CHECK(b.acks().empty());
    CHECK(b.completed().empty());
    CHECK(mod_state().handled_commands.empty());
}

// ---- through the reference server

namespace {

struct Game {
    ServerFixture& server;
    TempDir folder;

    explicit Game(ServerFixture& s) : server(s) {
        sim::reset();
        build_test_garden();
        sim::place_player(-20.0f, 5.0f, 8.0f, 0x2000);
        sim::set_save_path("C:\\Games\\SA2\\resource\\gd_PC\\SAVEDATA\\SONIC2B__S01");
        folder.write("config.ini", "BaseUrl=" + s.base_url() + "\nApiKey=" + s.api_key +
                                       "\nSaveSlot=1\nScanIntervalFrames=30\nFullResyncSeconds=3600\n"
                                       "CommandPollSeconds=1\n");
        sim::load(folder.str().c_str());
    }
    ~Game() { sim::unload(); }

    template <class Pred>
    bool play_until(Pred pred, int max_frames = 6000) {
        for (int i = 0; i < max_frames; ++i) {
            sim::frame();
            if (i % 30 == 29) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                if (pred()) return true;
            }
        }
        return pred();
    }
};

json server_commands(const ServerFixture& s) {
    HttpReply r = s.admin("GET", "/admin/gardens/tester/1/commands");
    json j = json::parse(r.body, nullptr, false);
    return j.is_object() && j.contains("commands") ? j["commands"] : json::array();
}

int queue_command(const ServerFixture& s, const json& command) {
    HttpReply r = s.admin("POST", "/admin/gardens/tester/1/commands", command.dump());
    REQUIRE_MESSAGE(r.status == 200, r.body);
    return json::parse(r.body)["id"].get<int>();
}

json merged_chao(const ServerFixture& s, int slot) {
    HttpReply r = s.admin("GET", "/admin/gardens/tester/1");
    json j = json::parse(r.body, nullptr, false);
    if (j.is_object() && j.contains("garden")) j = j["garden"];
    if (!j.is_object() || !j.contains("chao")) return json();
    for (const json& c : j["chao"])
        if (c["slot"] == slot) return c;
    return json();
}

}  // namespace

TEST_CASE("through the server: slot commands acknowledged after the upload that shows them, refusals at once") {
    ServerFixture server;
    Game game(server);
    REQUIRE(game.play_until([&] { return merged_chao(server, 0).is_object(); }));

    const std::vector<uint8_t> slot2_before = bytes_at(slot_addr(2), ChaoRecord::size);
    const int rename = queue_command(server, {{"kind", "rename"}, {"slot", 0}, {"expect_chao_id", id_hex(0)},
                                              {"name_raw", "05060708090a0b"}});
    const int refused = queue_command(server, {{"kind", "rename"}, {"slot", 2}, {"expect_chao_id", id_hex(1)},
                                               {"name_raw", "05060708090a0b"}});
    const int v2 = queue_command(server, {{"kind", "restore"}, {"slot", 10}, {"v", 2}, {"f", payload(105)}});
    const int v3 = queue_command(server, {{"kind", "restore"}, {"slot", 11}, {"v", 3}, {"f", payload(111)}});
    std::vector<int32_t> f4 = payload(111);
    f4.push_back(1);
    f4.push_back(0x77);
    const int v4 = queue_command(server, {{"kind", "restore"}, {"slot", 12}, {"v", 4}, {"f", f4}});
    const int fruit = queue_command(server, {{"kind", "spawn_fruit"}, {"garden", 1}, {"fruit_type", 6}, {"count", 3}});

    auto all_acknowledged = [&] {
        json list = server_commands(server);
        if (list.size() != 6) return false;
        for (const json& c : list)
            if (!c["acknowledged"].get<bool>()) return false;
        return true;
    };
    // The moment a slot command is acknowledged, the merged garden already shows its effect.
    bool shown_before_ack = true;
    REQUIRE(game.play_until([&] {
        json list = server_commands(server);
        for (const json& c : list) {
            if (c["id"] == rename && c["acknowledged"].get<bool>())
                shown_before_ack &= merged_chao(server, 0)["name_raw"] == "05060708090a0b";
            if (c["id"] == v4 && c["acknowledged"].get<bool>())
                shown_before_ack &= merged_chao(server, 12)["life"]["classroom_flags"] == 0x77;
        }
        return all_acknowledged();
    }));
    CHECK(shown_before_ack);
    // Keep polling a while: commands offered again while their answers travel stay applied once.
    game.play_until([] { return false; }, 300);

    std::map<int, json> by_id;
    for (const json& c : server_commands(server)) by_id[c["id"].get<int>()] = c;
    for (int id : {rename, v2, v3, v4, fruit}) {
        CHECK_MESSAGE(by_id[id]["ok"] == true, by_id[id].dump());
        CHECK((by_id[id]["error"].is_null() || by_id[id]["error"] == ""));
    }
    CHECK(by_id[refused]["ok"] == false);
    CHECK(by_id[refused]["error"] == "a different chao now occupies that slot");
    CHECK(bytes_at(slot_addr(2), ChaoRecord::size) == slot2_before);

    CHECK(merged_chao(server, 10)["type"] == 5);
    CHECK(merged_chao(server, 11)["chao_id"] == "6a0000006b0000006c0000006d0000006e000000");
    CHECK(image_of(11).animal_behaviors == (111u & ChaoRecord::animal_behaviors_mask));
    CHECK(image_of(12).classroom_flags == 0x77u);

    REQUIRE(sim::created_fruit().size() == 3);
    CHECK(sim::created_fruit()[0].position.x == -18.0f);
    CHECK(sim::created_fruit()[2].position.x == -15.0f);
    CHECK(sim::created_fruit()[1].position.y == 6.5f);
}
