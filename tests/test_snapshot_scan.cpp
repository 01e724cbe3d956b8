// The snapshot: one Chao slot as read (fingerprints, content hash, the Chao object), the
// scanner (when a payload is due, what it holds), documents over arbitrary memory that say
// what memory says, and the simulator's gardens (the sample one, description files, the save file).
#include <doctest/doctest.h>

#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "sim/garden.h"
#include "sim/sim.h"
#include "snapshot/garden_snapshot.h"
#include "snapshot/json_writer.h"
#include "snapshot/scanner.h"

using nlohmann::json;
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

constexpr uint32_t kSlotBytes = game::kChaoSlotCount * ChaoRecord::size;

std::string hex(const uint8_t* p, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += {"0123456789abcdef"[p[i] >> 4], "0123456789abcdef"[p[i] & 15]};
    return s;
}

// A Chao with odd values in every group, written into `slot` of a fresh game.
void crafted(int slot, int type) {
    sim::reset();
    sim::ChaoSpec c;
    c.slot = slot;
    c.type = type;
    c.set("name_raw", "01020304050607").set("chao_id", "000102030405060708090a0b0c0d0e0f10111213");
    c.set("generation_block", std::string(328, 'a')).set("reincarnations", 0x0102);
    c.set("arm", -1).set("ear", 0x05).set("kindness", 0x9C).set("swim.points", 0xFFFF);
    c.set("classroom_flags", 0xFFFFFFFFu).set("animal_behaviors", 0xFFE00001u).set("headgear", 4);
    c.set_float("alignment", -1.5f).set("happiness", -100).set("fear", 200).set("urge_to_cry", 7);
    std::string error;
    REQUIRE(sim::write_chao(c, error));
}

ChaoImage image_of(int slot) {
    ChaoImage img;
    read_chao_image(slot_addr(slot), slot, img);
    return img;
}

template <class T>
int64_t as(const uint8_t* p) {
    T v;
    memcpy(&v, p, sizeof v);
    return v;
}

// Each member read from the record's bytes with its own width and sign.
using R = ChaoRecord;
const std::tuple<const char*, uint32_t, int64_t (*)(const uint8_t*)> kFields[] = {
    {"/type", R::type, as<int8_t>}, {"/garden", R::garden, as<int8_t>},
    {"/stats/swim/grade", R::stat_grades, as<uint8_t>}, {"/stats/swim/level", R::stat_levels, as<uint8_t>},
    {"/stats/swim/points", R::stat_points, as<int16_t>}, {"/stats/swim/fraction", R::stat_fractions, as<uint8_t>},
    {"/stats/run/points", R::stat_points + 4, as<int16_t>}, {"/stats/unknown/level", R::stat_levels + 7, as<uint8_t>},
    {"/life/happiness", R::happiness, as<int16_t>}, {"/life/lifespan", R::lifespan, as<int16_t>},
    {"/life/reincarnations", R::reincarnations, as<int16_t>}, {"/life/seed", R::seed, as<int32_t>},
    {"/life/classroom_flags", R::classroom_flags, as<uint32_t>}, {"/appearance/headgear", R::headgear, as<uint8_t>},
    {"/appearance/body_type", R::body_type, as<int8_t>}, {"/appearance/doctor_medal", R::doctor_medal, as<int16_t>},
    {"/condition/sleepiness", R::conditions, as<int16_t>}, {"/condition/fear", R::fear, as<uint8_t>},
    {"/condition/urge_to_cry", R::urge_to_cry, as<uint8_t>}, {"/personality/kindness", R::kindness, as<uint8_t>},
    {"/personality/favorite_fruit", R::favorite_fruit, as<uint8_t>}, {"/illness/cough", R::cough, as<uint8_t>}};

void check_float(const json& value, const uint8_t* p) {
    float f;
    memcpy(&f, p, 4);
    if (std::isnan(f) || std::fabs(f) > 3.0e38f) {
        CHECK(value.is_null());
    } else {
        REQUIRE(value.is_number());
        CHECK(std::fabs(value.get<double>() - f) <= 0.00005 + std::fabs(static_cast<double>(f)) * 1e-12);
    }
}

// Scans what is in memory now and checks the document against the bytes.
void check_document(GardenScanner& s, uint64_t now) {
    std::vector<uint8_t> mem(kSlotBytes);
    sim::peek(game::addr::chao_slots, mem.data(), mem.size());
    s.request_full();
    ScanResult r = scan_garden(s, now);
    REQUIRE(r.produced);
    json doc;
    REQUIRE_NOTHROW(doc = json::parse(r.payload));

    std::vector<int> occupied;
    for (int i = 0; i < game::kChaoSlotCount; ++i)
        if (mem[static_cast<size_t>(i) * ChaoRecord::size + ChaoRecord::type] != 0) occupied.push_back(i);
    CHECK(doc["occupied_slots"].get<std::vector<int>>() == occupied);
    REQUIRE(doc["chao"].size() == occupied.size());
    CHECK(r.chao_sent == static_cast<int>(occupied.size()));

    static const char* const kParts[] = {"arm", "ear", "forehead", "horn", "leg", "tail", "wing", "face"};
    for (size_t k = 0; k < occupied.size(); ++k) {
        int slot = occupied[k];
        const json& c = doc["chao"][k];
        const uint8_t* rec = mem.data() + static_cast<size_t>(slot) * ChaoRecord::size;
        CAPTURE(slot);
        CHECK(c["slot"] == slot);
        for (auto [pointer, offset, read] : kFields)
            CHECK_MESSAGE(c[json::json_pointer(pointer)] == read(rec + offset), pointer);
        for (int i = 0; i < 8; ++i) CHECK(c["parts"][kParts[i]] == int8_t(rec[ChaoRecord::parts + i]));
        int type = int8_t(rec[ChaoRecord::type]);
        CHECK(c["type_name"] == chao_type_name(type));
        CHECK(c["name_raw"] == hex(rec + ChaoRecord::name_raw, 7));
        CHECK(c["chao_id"] == hex(rec + ChaoRecord::chao_id, 20));
        CHECK(c.contains("egg_generation") == (type == 1 || type == 2));
        CHECK(c["parts_guard"] == hex(parts_guard_of(slot_addr(slot)).data(), 8));
        CHECK(c["content_hash"] == s.image_hashes[static_cast<size_t>(slot)]);
        CHECK(c["animal_behaviors"] == (as<uint32_t>(rec + ChaoRecord::animal_behaviors) & 0x1FFFFF));
        check_float(c["evolution"]["power_run"], rec + ChaoRecord::power_run);
        check_float(c["evolution"]["progress"], rec + ChaoRecord::progress);
        check_float(c["evolution"]["alignment"], rec + ChaoRecord::alignment);
    }
    REQUIRE(doc["trees"].size() == 21);
    uint8_t trees[21 * 8];
    sim::peek(game::addr::trees, trees, sizeof trees);
    for (int t = 0; t < 21; ++t) {
        CHECK(doc["trees"][t]["raw"] == hex(trees + 8 * t, 8));
        CHECK(doc["trees"][t]["fruit_growth"][0] == static_cast<int8_t>(trees[8 * t + 4]));
    }
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
    d.active_garden = 4;  // no such garden
    CHECK(write_snapshot_document(d) ==
          R"({"schema":1,"session_id":"0123456789abcdef","mod_version":"0.1.19","sent_at_ms":9000000000,"full":false,)"
          R"("active_character":16,"lobby_unlocks":0,"active_garden":0,"player_progress":{"rings":3,"emblems":4},)"
          R"("occupied_slots":[],"chao":[]})");

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
    auto j = ordered_json::parse(write_snapshot_document(d));  // a stray comma would not parse
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
    for (auto& c : doc["chao"]) types.insert(c["type"].get<int>());
    for (int t = 1; t <= 25; ++t) CHECK(types.count(t) == 1);
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

// Pinned: the server compares fingerprints and hashes across versions, so the bytes they cover
// and their order must not drift.
TEST_CASE("FNV-1a's published vectors; fingerprints and content hash of a crafted slot are pinned") {
    CHECK(fnv1a(kFnvBasis, "", 0) == 0x811C9DC5u);
    CHECK(fnv1a(kFnvBasis, "a", 1) == 0xE40C292Cu);
    CHECK(fnv1a(kFnvBasis, "foobar", 6) == 0xBF9CF968u);
    CHECK(fnv1a_reverse(kFnvBasis, "raboof", 6) == 0xBF9CF968u);
    crafted(4, 2);
    ChaoImage img;
    REQUIRE(read_chao_image(slot_addr(4), 4, img));
    CHECK(hex(img.egg_generation, 8) == "611b5fa5760bc794");
    CHECK(hex(img.parts_guard, 8) == "8e393caeef1d4c4f");
    CHECK(img.content_hash == 4114325624u);
    CHECK(hex(egg_generation_of(slot_addr(4)).data(), 8) == "611b5fa5760bc794");
    CHECK(hex(parts_guard_of(slot_addr(4)).data(), 8) == "8e393caeef1d4c4f");
    CHECK(image_content_hash(img) == img.content_hash);
    CHECK(egg_generation_of(0) == Fingerprint{});
    CHECK(parts_guard_of(0) == Fingerprint{});
}

TEST_CASE("free, null and unknown slots") {
    sim::reset();
    ChaoImage a, b, n, u;
    CHECK_FALSE(read_chao_image(slot_addr(0), 0, a));
    CHECK_FALSE(read_chao_image(slot_addr(1), 1, b));
    CHECK((a.occupied == 0 && a.slot == 0 && a.parts[0] == -1 && a.parts[7] == -1));
    CHECK((a.content_hash != 0 && a.content_hash != b.content_hash));
    CHECK_FALSE(read_chao_image(0, 3, n));
    CHECK((n.content_hash == 0 && n.slot == 3));

    crafted(2, 0xFF);
    CHECK(read_chao_image(slot_addr(2), 2, u));
    CHECK(u.type == -1);
    for (auto [type, name] : {std::pair{u.type, "Unknown"}, {26, "Unknown"}, {25, "Amy"}, {2, "Child"}})
        CHECK(std::string(chao_type_name(type)) == name);
}

TEST_CASE("what each fingerprint follows, and a remembered one computed again when its bytes change") {
    crafted(6, 3);
    ChaoImage base = image_of(6);
    // {offset, new byte, content hash, parts guard, egg generation changed}
    const std::tuple<uint32_t, uint8_t, bool, bool, bool> cases[] = {
        {ChaoRecord::headgear, 9, true, false, false},
        {ChaoRecord::parts + 2, 4, true, false, false},
        {ChaoRecord::name_raw + 6, 0x41, true, true, false},
        {ChaoRecord::reincarnations + 1, 0x09, true, true, false},
        {ChaoRecord::generation_block + 100, 0x00, true, true, true},
        {ChaoRecord::chao_id + 19, 0xEE, true, true, false},
        {0x200, 0x77, false, false, false},  // bytes the image does not take leave everything alone
        {ChaoRecord::animal_behaviors + 3, 0x80, false, false, false}};
    for (auto [offset, value, hash, guard, generation] : cases) {
        CAPTURE(offset);
        uint8_t old = 0;
        sim::peek(slot_addr(6) + offset, &old, 1);
        sim::poke(slot_addr(6) + offset, &value, 1);
        ChaoImage after = image_of(6);
        sim::poke(slot_addr(6) + offset, &old, 1);
        CHECK((after.content_hash != base.content_hash) == hash);
        CHECK((memcmp(after.parts_guard, base.parts_guard, 8) != 0) == guard);
        CHECK((memcmp(after.egg_generation, base.egg_generation, 8) != 0) == generation);
    }

    crafted(7, 1);
    FingerprintMemo memo;
    ChaoImage first, second, third;
    read_chao_image(slot_addr(7), 7, first, &memo, nullptr);
    uint8_t byte = 0x5A;
    sim::poke(slot_addr(7) + ChaoRecord::generation_block + 163, &byte, 1);
    read_chao_image(slot_addr(7), 7, second, &memo, &first);
    ChaoImage plain = image_of(7);
    CHECK(memcmp(&second, &plain, sizeof plain) == 0);
    CHECK(memcmp(second.egg_generation, first.egg_generation, 8) != 0);
    read_chao_image(slot_addr(7), 7, third, &memo, &second);  // nothing changed: same image
    CHECK(memcmp(&third, &plain, sizeof plain) == 0);
}

TEST_CASE("the Chao object: members in order") {
    crafted(8, 2);
    JsonWriter w;
    write_chao_object(w, image_of(8));
    auto doc = nlohmann::ordered_json::parse(w.text);
    CHECK(keys_of(doc) == std::vector<std::string>{"slot", "garden", "type", "type_name", "name_raw", "chao_id",
                                                   "parts_guard", "egg_generation", "content_hash", "stats", "life",
                                                   "evolution", "appearance", "parts", "animal_behaviors", "condition",
                                                   "personality", "illness"});
    CHECK(keys_of(doc["stats"]) == std::vector<std::string>{"swim", "fly", "run", "power", "stamina", "luck",
                                                            "intelligence", "unknown"});
    CHECK(keys_of(doc["stats"]["swim"]) == std::vector<std::string>{"grade", "level", "points", "fraction"});
    for (auto [group, size] : {std::pair{"life", 10u}, {"evolution", 5u}, {"appearance", 14u}, {"parts", 8u},
                               {"condition", 15u}, {"personality", 14u}, {"illness", 6u}})
        CHECK_MESSAGE(doc[group].size() == size, group);
}

TEST_CASE("random records, all-0xFF records and odd floats give honest documents") {
    sim::reset();
    std::mt19937 rng(20261207);
    std::vector<uint8_t> noise(kSlotBytes);
    GardenScanner s = session();
    uint64_t now = 100000;
    for (int round = 0; round < 150; ++round) {
        for (auto& b : noise) b = static_cast<uint8_t>(rng());
        // About a third of the slots free, so free and occupied records meet in one scan.
        for (int i = 0; i < game::kChaoSlotCount; ++i)
            if (rng() % 3 == 0) noise[static_cast<size_t>(i) * ChaoRecord::size + ChaoRecord::type] = 0;
        sim::poke(game::addr::chao_slots, noise.data(), noise.size());
        uint8_t trees[21 * 8];
        for (auto& b : trees) b = static_cast<uint8_t>(rng());
        sim::poke(game::addr::trees, trees, sizeof trees);
        check_document(s, now += 1000);
    }

    std::vector<uint8_t> ff(kSlotBytes, 0xFF);
    sim::poke(game::addr::chao_slots, ff.data(), ff.size());
    sim::poke(game::addr::trees, ff.data(), 21 * 8);
    check_document(s, now += 1000);

    // NaN, infinities, the bounds, just past them, and -0; names with no zero byte anywhere.
    const uint32_t floats[] = {0x7FC00000, 0xFFC00001, 0x7F800000, 0xFF800000, 0x7F61B1E6,
                               0xFF61B1E6, 0x7F61B1E7, 0x80000000, 0x00000001, 0x4E6E6B28};
    for (int i = 0; i < game::kChaoSlotCount; ++i) {
        for (uint32_t off : {ChaoRecord::power_run, ChaoRecord::progress, ChaoRecord::alignment}) {
            uint32_t bits = floats[(static_cast<uint32_t>(i) + off) % 10];
            sim::poke(slot_addr(i) + off, &bits, 4);
        }
        sim::poke(slot_addr(i) + ChaoRecord::name_raw, "\"\\\x01\x7f\xc3\xa9\xff", 7);
    }
    check_document(s, now += 1000);
}
