// The garden scanner and its document: when a payload is due, what it holds, over the
// simulator's gardens (the sample one, description files and the garden save file).
#include <doctest/doctest.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <numeric>
#include <set>

#include "sim/garden.h"
#include "sim/sim.h"
#include "snapshot/garden_snapshot.h"
#include "snapshot/scanner.h"

using nlohmann::ordered_json;

namespace {

game_addr slot_addr(int slot) { return game::addr::chao_slots + static_cast<uint32_t>(slot) * ChaoRecord::size; }

void garden_of(std::initializer_list<int> occupied, int garden = 1) {
    sim::reset();
    sim::GardenDescription g;
    g.garden = garden;
    for (int s : occupied) {
        sim::ChaoSpec c;
        c.slot = s;
        c.type = 2 + s % 20;
        g.chao.push_back(c);
    }
    for (int t = 0; t < 21; ++t) g.trees.push_back(sim::TreeSpec{t, uint8_t(t % 8), 1, 2, 3, {4, 5, 6}, 7});
    std::string error;
    REQUIRE(sim::build_garden(g, error));
}

GardenScanner session(int resync_seconds = 60) {
    GardenScanner s;
    s.begin_session("00112233aabbccdd", "0.1.19", resync_seconds);
    return s;
}

ScanResult scan(GardenScanner& s, uint64_t now) {
    feed_scanner(s, read_garden_context(), s.garden_items);
    return scan_garden(s, now);
}

// A scan of the game's Chao slots without feeding the context, over the given trees.
ScanResult raw(GardenScanner& s, uint64_t now, game_addr trees = game::addr::trees, uint32_t tree_stride = 8,
               int tree_count = 21) {
    return s.scan(game::addr::chao_slots, 0x800, 37, now, trees, tree_stride, tree_count);
}

// "full|delta slots S chao C trees T of O", or "none".
std::string summary(const ScanResult& r) {
    if (!r.produced) return r.payload.empty() ? "none" : "none, yet a payload";
    return std::string(r.full ? "full" : "delta") + " slots " + std::to_string(r.slots_changed) + " chao " +
           std::to_string(r.chao_sent) + " trees " + std::to_string(r.trees_changed) + " of " +
           std::to_string(r.occupied);
}

std::vector<std::string> keys_of(const ordered_json& j) {
    std::vector<std::string> k;
    for (auto& [key, v] : j.items()) k.push_back(key);
    return k;
}

// The save block and the slots past it: what a garden's build writes.
std::vector<uint8_t> garden_memory() {
    std::vector<uint8_t> m(sim::kGardenSaveBlockSize + 0x800 * 13);  // slots 24 to 36 reach past the save block
    sim::peek(game::addr::garden_save_block, m.data(), sim::kGardenSaveBlockSize);
    sim::peek(game::addr::chao_slots + 24 * 0x800, m.data() + sim::kGardenSaveBlockSize, 0x800 * 13);
    return m;
}

std::vector<int> chao_slots_of(const ordered_json& doc) {
    std::vector<int> out;
    for (auto& c : doc["chao"]) out.push_back(c["slot"]);
    return out;
}

}  // namespace

TEST_CASE("full, delta, quiet, heartbeat, resync and a new session, in sequence") {
    garden_of({0, 3, 9});
    GardenScanner s = session(60);
    uint64_t t = 1'000'000;

    ScanResult r = scan(s, t);
    CHECK(summary(r) == "full slots 37 chao 3 trees 21 of 3");
    auto doc = ordered_json::parse(r.payload);
    CHECK(doc["trees"].size() == 21);
    CHECK(chao_slots_of(doc) == std::vector<int>{0, 3, 9});
    CHECK(summary(scan(s, t += 3000)) == "none");  // nothing changed, heartbeat not yet due

    int16_t happy = 77;  // one Chao changes, one leaves its slot, one tree grows
    sim::poke(slot_addr(3) + ChaoRecord::happiness, &happy, 2);
    sim::poke(slot_addr(9) + ChaoRecord::type, "\0", 1);
    sim::poke(game::addr::trees + 8 * 5 + 2, "\x63", 1);
    r = scan(s, t += 3000);
    CHECK(summary(r) == "delta slots 2 chao 1 trees 1 of 2");
    doc = ordered_json::parse(r.payload);
    CHECK(doc["occupied_slots"] == ordered_json::array({0, 3}));
    CHECK(chao_slots_of(doc) == std::vector<int>{3});
    CHECK(doc["trees"].size() == 21);  // one tree changed: all of them go

    sim::poke(slot_addr(0) + ChaoRecord::happiness, &happy, 2);
    doc = ordered_json::parse(scan(s, t += 3000).payload);
    CHECK(chao_slots_of(doc) == std::vector<int>{0});
    CHECK_FALSE(doc.contains("trees"));

    CHECK(summary(scan(s, t += 9999)) == "none");  // 9,999 ms after the last payload: quiet
    r = scan(s, t += 1);                           // 10,000 ms: heartbeat, a delta with no Chao
    CHECK(summary(r) == "delta slots 0 chao 0 trees 0 of 2");
    CHECK(ordered_json::parse(r.payload)["occupied_slots"].size() == 2);

    // 60 s after the first full payload the resync is due, changes or not; the clock restarts there.
    CHECK_FALSE(scan(s, 1'000'000 + 59'999).full);
    r = scan(s, 1'000'000 + 60'000);
    CHECK(summary(r) == "full slots 0 chao 2 trees 0 of 2");
    CHECK(ordered_json::parse(r.payload)["trees"].size() == 21);
    CHECK_FALSE(scan(s, 1'000'000 + 70'000).full);
    s.request_full();
    CHECK(summary(scan(s, 1'000'000 + 71'000)) == "full slots 0 chao 2 trees 0 of 2");

    s.begin_session("ffeeddccbbaa9988", "0.1.19", 60);  // a new session forgets everything
    r = scan(s, 1'000'000 + 72'000);
    CHECK(summary(r) == "full slots 37 chao 2 trees 21 of 2");
    CHECK(ordered_json::parse(r.payload)["session_id"] == "ffeeddccbbaa9988");
}

TEST_CASE("resync interval in 64-bit milliseconds; no heartbeat outside a garden; a clock going back") {
    garden_of({1});
    GardenScanner s = session(4'294'968);  // 4,294,968,000 ms wraps to 704 ms in 32 bits
    uint64_t t = 5'000'000;
    CHECK(scan(s, t).full);
    for (uint64_t step : {704u, 1000u, 3'600'000u}) CHECK_FALSE(scan(s, t + step).full);
    CHECK(scan(s, t + 4'294'968'000ull).full);
    for (auto [seconds, ms] : {std::pair{2147483647, 2'147'483'647'000ull}, {0, 0ull}, {-5, 0ull}})
        CHECK(session(seconds).full_interval_ms == ms);

    garden_of({2}, 0);
    s = session(60);
    CHECK(scan(s, 100'000).full);
    CHECK_FALSE(scan(s, 150'000).produced);  // 50 s later, no garden: no heartbeat
    CHECK_FALSE(scan(s, 50'000).produced);   // clock went back
    CHECK(scan(s, 160'000).full);            // resync still counts from 100,000
}

TEST_CASE("context, character and garden items make a payload due") {
    garden_of({4});
    GardenScanner s = session(60);
    scan(s, 1000);
    s.set_active_character(11);  // 11 is no character: stored as -1, a change from 0
    CHECK(s.active_character == -1);
    ScanResult r = raw(s, 2000);
    REQUIRE(r.produced);
    CHECK(ordered_json::parse(r.payload)["active_character"] == -1);
    s.set_active_character(17);
    s.set_active_character(-5);
    CHECK_FALSE(s.context_changed);  // still -1: no change

    s.set_garden_items(R"({"fruit":[1,2]})");
    r = raw(s, 3000);
    REQUIRE(r.produced);
    CHECK_FALSE(r.full);
    auto doc = ordered_json::parse(r.payload);
    CHECK(keys_of(doc).back() == "garden_items");
    CHECK(doc["garden_items"]["fruit"].size() == 2);
    s.set_garden_items(R"({"fruit":[1,2]})");  // the same listing again: nothing due
    CHECK_FALSE(raw(s, 4000).produced);

    s.lobby_unlocks = 5;  // assigned alone, no payload
    CHECK_FALSE(raw(s, 5000).produced);
    s.set_player_progress(10, 2);
    r = raw(s, 6000);
    REQUIRE(r.produced);
    CHECK(ordered_json::parse(r.payload)["lobby_unlocks"] == 5);
    s.set_active_garden(7);
    CHECK(s.active_garden == 0);
    CHECK(s.garden_changed);
}

TEST_CASE("bad arrays and unreadable memory are refused without touching the scanner") {
    garden_of({0, 1});
    GardenScanner s = session(60);
    const game_addr trees = game::addr::trees, slots = game::addr::chao_slots;
    for (auto bad : {s.scan(0, 0x800, 37, 1000, trees, 8, 21), s.scan(slots, 0, 37, 1000, trees, 8, 21),
                     s.scan(slots, 0x800, 0, 1000, trees, 8, 21),
                     s.scan(0x7FFF0000, 0x800, 37, 1000, trees, 8, 21)})  // nothing mapped
        CHECK_FALSE(bad.produced);
    CHECK(s.full_requested);
    CHECK(s.image_hashes[0] == 0);

    // A page in the middle of the slots made unreadable: the scan is skipped, nothing remembered.
    sim::set_protection(slot_addr(20), 0x1000, game::kPageNoAccess);
    CHECK_FALSE(scan(s, 1000).produced);
    CHECK(s.image_hashes[0] == 0);
    sim::set_protection(slot_addr(20), 0x1000, game::kPageReadWrite | game::kPageGuard);
    CHECK_FALSE(scan(s, 1000).produced);
    sim::set_protection(slot_addr(20), 0x1000, game::kPageReadOnly);  // read-only is readable
    CHECK(scan(s, 1000).full);

    // Trees that cannot be used (count, stride, unreadable) leave the Chao part alone.
    game_addr block = sim::alloc(0x1000);
    sim::set_protection(block, 0x1000, game::kPageNoAccess);
    uint32_t before = s.tree_hashes[0];
    for (auto [at, stride, count] : {std::tuple{trees, 8u, 20}, {trees, 4u, 21}, {block, 8u, 21}}) {
        s.request_full();
        ScanResult r = raw(s, 2000, at, stride, count);
        CHECK((r.full && r.chao_sent == 2 && r.trees_changed == 0));
        CHECK_FALSE(ordered_json::parse(r.payload).contains("trees"));
    }
    CHECK(s.tree_hashes[0] == before);
}

TEST_CASE("the document: members, their order and their conditions") {
    GardenSnapshot d;
    d.session_id = "0123456789abcdef";
    d.mod_version = "0.1.19";
    d.sent_at_ms = 9000000000LL;
    CHECK(write_snapshot_document(d) ==
          R"({"schema":1,"session_id":"0123456789abcdef","mod_version":"0.1.19","sent_at_ms":9000000000,)"
          R"("full":false,"active_character":-1,"active_garden":0,"occupied_slots":[],"chao":[]})");

    for (auto [rings, emblems, want] : {std::tuple{0, -1, R"({"rings":0})"}, {-1, 5, R"({"emblems":5})"},
                                        {-1, -1, "absent"}, {3, 4, R"({"rings":3,"emblems":4})"}}) {
        d.rings = rings;
        d.emblems = emblems;
        auto j = ordered_json::parse(write_snapshot_document(d));
        CHECK((j.contains("player_progress") ? j["player_progress"].dump() : "absent") == want);
    }

    for (auto [given, written] : {std::pair{11, -1}, {17, -1}, {-5, -1}, {16, 16}}) {
        d.active_character = given;
        CHECK(ordered_json::parse(write_snapshot_document(d))["active_character"] == written);
    }
    d.lobby_unlocks = 0;
    d.active_garden = 4;
    auto j = ordered_json::parse(write_snapshot_document(d));
    CHECK(j["active_garden"] == 0);
    CHECK(keys_of(j) == std::vector<std::string>{"schema", "session_id", "mod_version", "sent_at_ms", "full",
                                                 "active_character", "lobby_unlocks", "active_garden",
                                                 "player_progress", "occupied_slots", "chao"});

    // An unoccupied image in the list is skipped without a stray comma; trees follow last.
    ChaoImage images[3];
    garden_of({2});
    const int slots[] = {0, 2, 5};  // free, occupied, free
    for (int i = 0; i < 3; ++i) read_chao_image(slot_addr(slots[i]), slots[i], images[i]);
    int32_t occupied[] = {2};
    TreeImage trees[21];
    uint8_t fruit[8] = {1, 2, 3, 4, 0xFF, 0x00, 0x7F, 9};
    sim::poke(game::addr::trees + 8 * 10, fruit, 8);
    for (int i = 0; i < 21; ++i) REQUIRE(read_tree_image(game::addr::trees, i, trees[i]));
    d.images = images;
    d.image_count = 3;
    d.occupied_slots = occupied;
    d.occupied_count = 1;
    d.trees = trees;
    d.tree_count = 21;
    j = ordered_json::parse(write_snapshot_document(d));  // a stray comma would not parse
    CHECK(keys_of(j).back() == "trees");
    CHECK(chao_slots_of(j) == std::vector<int>{2});
    CHECK(j["trees"][10].dump() == R"({"garden":2,"slot":3,"kind":1,"state":2,"growth":3,"water":4,)"
                                   R"("fruit_growth":[-1,0,127],"rotation":9,"raw":"01020304ff007f09","content_hash":)" +
                                       std::to_string(fnv1a(kFnvBasis, fruit, 8)) + "}");
    CHECK((j["trees"][20]["garden"] == 3 && j["trees"][20]["slot"] == 6));

    TreeImage none;
    CHECK_FALSE(read_tree_image(game::addr::trees, 21, none));
    CHECK_FALSE(read_tree_image(0, 0, none));
    CHECK((none.slot == -1 && none.content_hash == 0));
}

TEST_CASE("session ids: 16 lower-case hex digits, a new one each time") {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        std::string id = new_session_id();  // same second, same stack depth
        CHECK((id.size() == 16 && id.find_first_not_of("0123456789abcdef") == std::string::npos));
        seen.insert(id);
    }
    CHECK(seen.size() == 50);
}

TEST_CASE("the sample garden: its file, its text form, its document and its save file") {
    sim::reset();
    std::string error;
    REQUIRE(sim::build_garden(sim::sample_garden(), error));
    auto built = garden_memory();
    std::string save = sim::garden_save_image();
    sim::reset();
    REQUIRE_MESSAGE(sim::load_garden_file(VELMORA_SOURCE_DIR "/samples/sample-garden.txt", error), error);
    CHECK(garden_memory() == built);
    sim::GardenDescription again;  // the text form reads back to the same garden
    REQUIRE(sim::parse_garden_description(sim::format_garden_description(sim::sample_garden()), again, error));
    sim::reset();
    REQUIRE(sim::build_garden(again, error));
    CHECK(garden_memory() == built);

    GardenScanner s = session();
    auto doc = ordered_json::parse(scan(s, 1000).payload);
    CHECK(doc["active_garden"] == 1);
    CHECK(doc["player_progress"]["rings"] == 1234);
    CHECK(doc["occupied_slots"].size() == 35);
    std::set<int> types, tree_states;
    size_t name_digits = 0;
    for (auto& c : doc["chao"]) {
        types.insert(c["type"].get<int>());
        name_digits += c["name_raw"].get<std::string>().size();
    }
    for (int t = 1; t <= 25; ++t) CHECK(types.count(t) == 1);
    CHECK(name_digits == 35 * 14);
    for (auto& t : doc["trees"]) tree_states.insert(t["state"].get<int>());
    CHECK(tree_states == std::set<int>{0, 1, 2, 3, 255});

    // The save file holds the block from 0x019F6460, and so only the slots inside it.
    REQUIRE(save.size() == 65536);
    CHECK(save.compare(0, 48, "SONIC ADVENTURE 2 BATTLE        CHAO GARDEN DATA") == 0);
    // Slot 3's type byte lies at 0x3040 + (0x019F6EC4 + 3 * 0x800 + 0x80 - 0x019F6460).
    CHECK(save[0x3040 + 0xA64 + 3 * 0x800 + 0x80] == 2);
    sim::reset();
    REQUIRE(sim::load_garden_save(save, error));
    s = session();
    doc = ordered_json::parse(scan(s, 1000).payload);
    std::vector<int> first24(24);
    std::iota(first24.begin(), first24.end(), 0);
    CHECK(doc["occupied_slots"].get<std::vector<int>>() == first24);
    CHECK(doc["trees"].size() == 21);
    CHECK_FALSE(sim::load_garden_save(save.substr(0, 65535), error));
    save[0] = 's';
    CHECK_FALSE(sim::load_garden_save(save, error));
    CHECK(error.find("header") != std::string::npos);
}

TEST_CASE("descriptions: every type name, field kinds, and refusals that write nothing") {
    sim::GardenDescription g;
    std::string error;
    REQUIRE(sim::parse_garden_description("chao 0 neutral-normal\nchao 1 Hero_Fly\nchao 2 amy\nchao 3 0xff\n"
                                          "chao 4 empty name_raw=41\ntree 20 raw=0102030405060708 # plot\n"
                                          "chao 5 egg raw.0x7fe=abcd alignment=-inf swim.points=-32768\n",
                                          g, error));
    std::vector<int> types;
    for (const sim::ChaoSpec& c : g.chao) types.push_back(c.type);
    CHECK(types == std::vector<int>{5, 12, 25, 255, 0, 1});
    CHECK(g.trees[0].fruit_growth[2] == 7);
    sim::reset();
    REQUIRE(sim::build_garden(g, error));
    uint8_t end[2];
    sim::peek(game::addr::chao_slots + 5 * 0x800 + 0x7FE, end, 2);
    CHECK((end[0] == 0xAB && end[1] == 0xCD));
    ChaoImage free_slot;
    CHECK_FALSE(read_chao_image(game::addr::chao_slots + 4 * 0x800, 4, free_slot));  // stale name, still free

    uint8_t before[64], after[64];
    sim::peek(game::addr::chao_slots, before, sizeof before);
    for (const char* text : {"chao 37 egg", "chao 1 dragon", "chao 1 egg nosuch=1", "chao 1 egg lifespan=70000",
                             "chao 1 egg name_raw=0102030405060708", "chao 1 egg name_raw=zz",
                             "chao 1 egg raw.0x7ff=0102", "chao 1 egg\nchao 1 child", "tree 21", "tree 3 fruit=1,2",
                             "emblems 256", "bloom 3", "chao 1 egg alignment=fast", "rings 99999999999"}) {
        sim::GardenDescription out;
        CHECK_MESSAGE(!sim::parse_garden_description(text, out, error), text);
        CHECK(error.rfind("line ", 0) == 0);
    }
    sim::GardenDescription refused;
    refused.chao.emplace_back().slot = 1;
    refused.chao.back().set("happiness", "much");
    CHECK_FALSE(sim::build_garden(refused, error));
    sim::peek(game::addr::chao_slots, after, sizeof after);
    CHECK(memcmp(before, after, sizeof after) == 0);
    CHECK_FALSE(sim::load_garden_file("/nonexistent/garden.txt", error));
}
