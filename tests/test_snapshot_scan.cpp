// The snapshot the server reads: the document's exact text, one Chao slot as read (fingerprints,
// content hash), the scanner's full/delta/heartbeat/resync decisions, documents over arbitrary
// memory that say what memory says, and the simulator's garden files.
#include <doctest/doctest.h>

#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <vector>

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
    for (int s : occupied) g.chao.emplace_back().slot = s;
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

std::vector<int> chao_slots_of(const ordered_json& doc) {
    std::vector<int> out;
    for (auto& c : doc["chao"]) out.push_back(c["slot"]);
    return out;
}

// A Child in `slot` of a fresh game whose every record byte has its high bit set and a value of
// its own, so each member's width and sign shows in its text; the floats a plain, a tie, a NaN,
// one past the bound and a large one.
void patterned(int slot) {
    sim::reset();
    uint8_t rec[ChaoRecord::size];
    for (uint32_t i = 0, x = 1; i < sizeof rec; ++i) rec[i] = uint8_t(0x80 | (x = x * 1103515245u + 12345) >> 24);
    rec[ChaoRecord::type] = 2;
    const float floats[] = {-1.5f, 0.03125f, NAN, 3.3e38f, 123456.78f};
    const uint32_t at[] = {ChaoRecord::power_run, ChaoRecord::fly_swim, ChaoRecord::alignment,
                           ChaoRecord::last_life_alignment, ChaoRecord::progress};
    for (int i = 0; i < 5; ++i) memcpy(rec + at[i], &floats[i], 4);
    sim::poke(slot_addr(slot), rec, sizeof rec);
}

ChaoImage image_of(int slot) {
    ChaoImage img;
    read_chao_image(slot_addr(slot), slot, img);
    return img;
}

}  // namespace

// Pinned: the server reads these names, in this order, with these encodings, and compares the
// fingerprints and hashes across versions.
TEST_CASE("the document the server reads: members, order, conditions and each value's encoding") {
    GardenSnapshot d;
    d.session_id = "0123456789abcdef";
    d.mod_version = "0.1.19";
    d.sent_at_ms = 9000000000LL;
    // Members present only when known; a character or garden the game does not have is written as none.
    for (auto [rings, emblems, character, garden, lobby, middle] :
         {std::tuple{-1, -1, -5, 0, -1, R"("active_character":-1,"active_garden":0,)"},
          {0, -1, 11, 4, 0,
           R"("active_character":-1,"lobby_unlocks":0,"active_garden":0,"player_progress":{"rings":0},)"},
          {-1, 5, 17, 3, 7,
           R"("active_character":-1,"lobby_unlocks":7,"active_garden":3,"player_progress":{"emblems":5},)"},
          {3, 4, 16, -1, -1,
           R"("active_character":16,"active_garden":0,"player_progress":{"rings":3,"emblems":4},)"}}) {
        d.rings = rings;
        d.emblems = emblems;
        d.active_character = character;
        d.active_garden = garden;
        d.lobby_unlocks = lobby;
        CHECK(write_snapshot_document(d) ==
              R"({"schema":1,"session_id":"0123456789abcdef","mod_version":"0.1.19","sent_at_ms":9000000000,)"
              R"("full":false,)" + std::string(middle) + R"("occupied_slots":[],"chao":[]})");
    }

    // Every member of a Chao, then the trees, last.
    patterned(2);
    uint8_t fruit[8] = {1, 2, 3, 4, 0xFF, 0x00, 0x7F, 9};
    sim::poke(game::addr::trees + 8 * 10, fruit, 8);
    GardenScanner s = session();
    const std::string text = raw(s, 1000).payload;
    const std::string chao =
        R"({"slot":2,"garden":-70,"type":2,"type_name":"Child","name_raw":"e2e3e993d0a8ac",)"
        R"("chao_id":"8cccac92e3dbb9da8cfbc6decad1e498a6a4d7a5","parts_guard":"ee95bd6a0b01fd25",)"
        R"("egg_generation":"66d2b7f8cb9cf38b","content_hash":2030469454,"stats":{"swim":{"grade":181,"level":227,)"
        R"("points":-1403,"fraction":238},"fly":{"grade":187,"level":225,"points":-30808,"fraction":214},)"
        R"("run":{"grade":253,"level":250,"points":-2632,"fraction":225},"power":{"grade":144,"level":131,)"
        R"("points":-28727,"fraction":202},"stamina":{"grade":155,"level":168,"points":-24376,"fraction":177},)"
        R"("luck":{"grade":250,"level":224,"points":-24897,"fraction":173},"intelligence":{"grade":222,"level":159,)"
        R"("points":-19523,"fraction":153},"unknown":{"grade":180,"level":203,"points":-18705,"fraction":233}},)"
        R"("life":{"happiness":-29979,"in_kindergarten":-27716,"clock_rollovers":-1889,"adult_clock_rollovers":-306,)"
        R"("lifespan":-6467,"lifespan2":-20257,"reincarnations":-15427,"seed":-557384820,)"
        R"("timescale_timer":-1196968504,"classroom_flags":2917384600},"evolution":{"power_run":-1.5000,)"
        R"("fly_swim":0.0312,"alignment":null,"last_life_alignment":null,"progress":123456.7812},)"
        R"("appearance":{"color":205,"monotone_highlights":221,"texture":199,"shiny":172,"egg_color":230,)"
        R"("eye_type":176,"mouth_type":192,"ball_type":192,"headgear":195,"medal":194,"hide_feet":143,"body_type":-53,)"
        R"("body_type_animal":-94,"doctor_medal":-8575},"parts":{"arm":-80,"ear":-105,"forehead":-90,"horn":-122,)"
        R"("leg":-110,"tail":-127,"wing":-15,"face":-6},"animal_behaviors":895694,"condition":{"sleepiness":-11384,)"
        R"("tiredness":-29218,"hunger":-29548,"mate_desire":-31857,"boredom":-1311,"lonely":-11645,"tire":-18803,)"
        R"("stress":-32089,"nourish":-7695,"conditn":-27199,"energy":-3871,"joy":138,"anger":131,"fear":245,)"
        R"("urge_to_cry":249},"personality":{"kindness":240,"vitality":205,"glutton":240,"skillful":214,"charm":254,)"
        R"("chatty":205,"curiosity":191,"crybaby_energetic":222,"naive_normal":158,"solitude":134,"regain":192,)"
        R"("carefree":191,"fickle":203,"favorite_fruit":242},"illness":{"cough":141,"cold":194,"rash":202,)"
        R"("runny_nose":129,"hiccups":177,"stomach_ache":189}})";
    CHECK(text.find(R"("occupied_slots":[2],"chao":[)" + chao + R"(],"trees":[{"garden":1,"slot":0,)") !=
          std::string::npos);
    auto j = ordered_json::parse(text);
    CHECK(j["trees"][10].dump() == R"({"garden":2,"slot":3,"kind":1,"state":2,"growth":3,"water":4,"fruit_growth":)"
                                   R"([-1,0,127],"rotation":9,"raw":"01020304ff007f09","content_hash":)" +
                                       std::to_string(fnv1a(kFnvBasis, fruit, 8)) + "}");
    CHECK((j["trees"][20]["garden"] == 3 && j["trees"][20]["slot"] == 6));
    CHECK(fnv1a(kFnvBasis, "foobar", 6) == 0xBF9CF968u);  // FNV-1a's published vector, both ways
    CHECK(fnv1a_reverse(kFnvBasis, "raboof", 6) == 0xBF9CF968u);
    // The one-pass fingerprints of the scan agree with the ones writeback checks against.
    CHECK(memcmp(egg_generation_of(slot_addr(2)).data(), image_of(2).egg_generation, 8) == 0);
    CHECK(memcmp(parts_guard_of(slot_addr(2)).data(), image_of(2).parts_guard, 8) == 0);
    CHECK((egg_generation_of(0) == Fingerprint{} && parts_guard_of(0) == Fingerprint{}));

    TreeImage none;
    ChaoImage null_record;
    CHECK((!read_tree_image(game::addr::trees, 21, none) && !read_tree_image(0, 0, none) && none.slot == -1));
    CHECK((!read_chao_image(0, 3, null_record) && null_record.content_hash == 0 && null_record.slot == 3));
    for (auto [type, name] : {std::pair{-1, "Unknown"}, {26, "Unknown"}, {25, "Amy"}, {2, "Child"}})
        CHECK(std::string(chao_type_name(type)) == name);
}

TEST_CASE("full, delta, quiet, heartbeat, resync and a new session, in sequence") {
    garden_of({0, 3, 9});
    GardenScanner s = session(60);
    uint64_t t = 1'000'000;

    ScanResult r = scan(s, t);
    CHECK(summary(r) == "full slots 37 chao 3 trees 21 of 3");
    CHECK(chao_slots_of(ordered_json::parse(r.payload)) == std::vector<int>{0, 3, 9});
    CHECK(summary(scan(s, t += 3000)) == "none");  // nothing changed, heartbeat not yet due

    int16_t happy = 77;  // one Chao changes, one leaves its slot, one tree grows
    sim::poke(slot_addr(3) + ChaoRecord::happiness, &happy, 2);
    sim::poke(slot_addr(9) + ChaoRecord::type, "\0", 1);
    sim::poke(game::addr::trees + 8 * 5 + 2, "\x63", 1);
    r = scan(s, t += 3000);
    CHECK(summary(r) == "delta slots 2 chao 1 trees 1 of 2");
    auto doc = ordered_json::parse(r.payload);
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
    CHECK(raw(s, 2000).produced);
    s.set_active_character(17);
    s.set_active_character(-5);
    CHECK_FALSE(s.context_changed);  // still -1: no change

    s.set_garden_items(R"({"fruit":[1,2]})");
    ScanResult r = raw(s, 3000);
    CHECK_FALSE(r.full);
    CHECK(r.payload.substr(r.payload.rfind(",\"garden_items\":")) == R"(,"garden_items":{"fruit":[1,2]}})");
    s.set_garden_items(R"({"fruit":[1,2]})");  // the same listing again: nothing due
    CHECK_FALSE(raw(s, 4000).produced);

    s.lobby_unlocks = 5;  // assigned alone, no payload
    CHECK_FALSE(raw(s, 5000).produced);
    s.set_player_progress(10, 2);
    CHECK(ordered_json::parse(raw(s, 6000).payload)["lobby_unlocks"] == 5);
    s.set_active_garden(7);
    CHECK((s.active_garden == 0 && s.garden_changed));
}

TEST_CASE("bad arrays and unreadable memory are refused without touching the scanner") {
    garden_of({0, 1});
    GardenScanner s = session(60);
    const game_addr trees = game::addr::trees, slots = game::addr::chao_slots;
    // A null array, no stride, no slots, and an address with nothing mapped.
    for (auto bad : {s.scan(0, 0x800, 37, 1000, trees, 8, 21), s.scan(slots, 0, 37, 1000, trees, 8, 21),
                     s.scan(slots, 0x800, 0, 1000, trees, 8, 21), s.scan(0x7FFF0000, 0x800, 37, 1000, trees, 8, 21)})
        CHECK_FALSE(bad.produced);
    CHECK((s.full_requested && s.image_hashes[0] == 0));

    // A page in the middle of the slots made unreadable: the scan is skipped, nothing remembered.
    sim::set_protection(slot_addr(20), 0x1000, game::kPageNoAccess);
    CHECK((!scan(s, 1000).produced && s.image_hashes[0] == 0));
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

TEST_CASE("session ids: 16 lower-case hex digits, a new one each time") {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) seen.insert(new_session_id());  // same second, same stack depth
    CHECK(seen.size() == 50);
    for (const std::string& id : seen)
        CHECK((id.size() == 16 && id.find_first_not_of("0123456789abcdef") == std::string::npos));
}

// The sample file (read by the tool test) covers the statements and names that are accepted.
TEST_CASE("descriptions: bytes up to a record's end; refusals name their line and write nothing") {
    sim::GardenDescription g;
    std::string error;
    REQUIRE(sim::parse_garden_description("chao 5 Hero_Fly raw.0x7fe=abcd\n", g, error));
    CHECK(g.chao[0].type == 12);
    sim::reset();
    REQUIRE(sim::build_garden(g, error));
    uint8_t before[0x800], after[0x800];
    sim::peek(slot_addr(5), before, sizeof before);
    CHECK((before[0x7FE] == 0xAB && before[0x7FF] == 0xCD));

    for (const char* text : {"chao 37 egg", "chao 1 dragon", "chao 1 egg nosuch=1", "chao 1 egg lifespan=70000",
                             "chao 1 egg name_raw=0102030405060708", "chao 1 egg raw.0x7ff=0102",
                             "chao 1 egg\nchao 1 child", "tree 21", "bloom 3", "rings 99999999999"}) {
        sim::GardenDescription out;
        CHECK_MESSAGE(!sim::parse_garden_description(text, out, error), text);
        CHECK(error.rfind("line ", 0) == 0);
    }
    sim::GardenDescription refused;
    refused.chao.emplace_back().set("happiness", "much").slot = 5;
    CHECK_FALSE(sim::build_garden(refused, error));
    sim::peek(slot_addr(5), after, sizeof after);
    CHECK(memcmp(before, after, sizeof after) == 0);
}

// The fingerprints' values (and so the bytes they cover) are pinned with the document above.
TEST_CASE("a remembered fingerprint is computed again when any byte it covers changes") {
    patterned(7);
    for (uint32_t offset : {ChaoRecord::chao_id + 19, ChaoRecord::name_raw + 6, ChaoRecord::reincarnations + 1,
                            ChaoRecord::generation_block + 163}) {
        CAPTURE(offset);
        FingerprintMemo memo;
        ChaoImage first, second, third;
        read_chao_image(slot_addr(7), 7, first, &memo, nullptr);
        sim::poke(slot_addr(7) + offset, "\x5a", 1);
        read_chao_image(slot_addr(7), 7, second, &memo, &first);
        ChaoImage plain = image_of(7);
        CHECK(memcmp(&second, &plain, sizeof plain) == 0);
        read_chao_image(slot_addr(7), 7, third, &memo, &second);  // nothing changed: same image
        CHECK(memcmp(&third, &plain, sizeof plain) == 0);
    }
}

TEST_CASE("documents over random and all-0xFF memory say what memory says") {
    sim::reset();
    std::mt19937 rng(20261207);
    std::vector<uint8_t> mem(game::kChaoSlotCount * ChaoRecord::size);
    GardenScanner s = session();
    for (int round = 0; round <= 40; ++round) {
        for (auto& b : mem) b = round == 40 ? 0xFF : static_cast<uint8_t>(rng());
        // About a third of the slots free, so free and occupied records meet in one scan.
        for (size_t i = 0; round < 40 && i < game::kChaoSlotCount; ++i)
            if (rng() % 3 == 0) mem[i * ChaoRecord::size + ChaoRecord::type] = 0;
        sim::poke(game::addr::chao_slots, mem.data(), mem.size());
        sim::poke(game::addr::trees, mem.data(), 21 * 8);
        s.request_full();
        ScanResult r = scan_garden(s, 100000 + 1000 * static_cast<uint64_t>(round));
        const ordered_json doc = ordered_json::parse(r.payload);  // strict: no NaN, valid UTF-8
        std::vector<int> occupied;
        for (int i = 0; i < game::kChaoSlotCount; ++i)
            if (mem[static_cast<size_t>(i) * ChaoRecord::size + ChaoRecord::type] != 0) occupied.push_back(i);
        CHECK(doc["occupied_slots"].get<std::vector<int>>() == occupied);
        CHECK(chao_slots_of(doc) == occupied);
        CHECK((r.chao_sent == static_cast<int>(occupied.size()) && doc["trees"].size() == 21));
        for (auto& c : doc["chao"]) {
            int slot = c["slot"];
            int8_t type = static_cast<int8_t>(mem[static_cast<size_t>(slot) * ChaoRecord::size + ChaoRecord::type]);
            CHECK(c["type"] == type);
            CHECK(c.contains("egg_generation") == (type == 1 || type == 2));
        }
    }
}
