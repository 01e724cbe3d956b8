// The simulated garden: descriptions, the sample garden and the garden save file.
#include <doctest/doctest.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <set>
#include <vector>

#include "sim/garden.h"
#include "sim/sim.h"
#include "snapshot/scanner.h"

namespace {

std::vector<uint8_t> garden_memory() {
    std::vector<uint8_t> m(sim::kGardenSaveBlockSize + 0x800 * 13);  // slots 24 to 36 reach past the save block
    sim::peek(game::addr::garden_save_block, m.data(), sim::kGardenSaveBlockSize);
    sim::peek(game::addr::chao_slots + 24 * 0x800, m.data() + sim::kGardenSaveBlockSize, 0x800 * 13);
    return m;
}

nlohmann::json full_scan() {
    GardenScanner s;
    s.begin_session("0000000000000000", "0.1.19", 60);
    feed_scanner(s, read_garden_context(), "");
    return nlohmann::json::parse(scan_garden(s, 1000).payload);
}

}  // namespace

TEST_CASE("the sample file describes the sample garden, and the garden is what it claims") {
    sim::reset();
    std::string error;
    REQUIRE(sim::build_garden(sim::sample_garden(), error));
    auto built = garden_memory();
    sim::reset();
    REQUIRE_MESSAGE(sim::load_garden_file(VELMORA_SOURCE_DIR "/samples/sample-garden.txt", error), error);
    CHECK(garden_memory() == built);
    sim::GardenDescription again;  // the text form reads back to the same garden
    REQUIRE(sim::parse_garden_description(sim::format_garden_description(sim::sample_garden()), again, error));
    sim::reset();
    REQUIRE(sim::build_garden(again, error));
    CHECK(garden_memory() == built);

    auto doc = full_scan();
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

TEST_CASE("a garden save file holds the block from 0x019F6460 and only the slots inside it") {
    sim::reset();
    std::string error;
    REQUIRE(sim::build_garden(sim::sample_garden(), error));
    std::string save = sim::garden_save_image();
    REQUIRE(save.size() == 65536);
    CHECK(save.compare(0, 48, "SONIC ADVENTURE 2 BATTLE        CHAO GARDEN DATA") == 0);
    // Slot 3's type byte lies at 0x3040 + (0x019F6EC4 + 3 * 0x800 + 0x80 - 0x019F6460).
    CHECK(save[0x3040 + 0xA64 + 3 * 0x800 + 0x80] == 2);

    sim::reset();
    REQUIRE(sim::load_garden_save(save, error));
    auto doc = full_scan();
    std::vector<int> expect(24);
    for (int i = 0; i < 24; ++i) expect[i] = i;
    CHECK(doc["occupied_slots"].get<std::vector<int>>() == expect);
    CHECK(doc["trees"].size() == 21);

    CHECK_FALSE(sim::load_garden_save(save.substr(0, 65535), error));
    save[0] = 's';
    CHECK_FALSE(sim::load_garden_save(save, error));
    CHECK(error.find("header") != std::string::npos);
}
