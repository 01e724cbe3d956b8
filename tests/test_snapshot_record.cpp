// One Chao slot as the snapshot reads it: fingerprints, content hash, the Chao object, and
// documents over arbitrary memory that are valid JSON saying what memory says.
#include <doctest/doctest.h>

#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <random>
#include <vector>

#include "sim/garden.h"
#include "sim/sim.h"
#include "snapshot/json_writer.h"
#include "snapshot/scanner.h"

using nlohmann::json;

namespace {

constexpr uint32_t kSlotBytes = game::kChaoSlotCount * ChaoRecord::size;

game_addr slot_addr(int slot) { return game::addr::chao_slots + static_cast<uint32_t>(slot) * ChaoRecord::size; }

std::string hex(const uint8_t* p, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += {"0123456789abcdef"[p[i] >> 4], "0123456789abcdef"[p[i] & 15]};
    return s;
}

std::vector<std::string> keys_of(const nlohmann::ordered_json& j) {
    std::vector<std::string> k;
    for (auto& [key, v] : j.items()) k.push_back(key);
    return k;
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
const std::tuple<const char*, uint32_t, int64_t (*)(const uint8_t*)> kFields[] = {
    {"/type", ChaoRecord::type, as<int8_t>}, {"/garden", ChaoRecord::garden, as<int8_t>},
    {"/stats/swim/grade", ChaoRecord::stat_grades, as<uint8_t>},
    {"/stats/swim/level", ChaoRecord::stat_levels, as<uint8_t>},
    {"/stats/swim/points", ChaoRecord::stat_points, as<int16_t>},
    {"/stats/swim/fraction", ChaoRecord::stat_fractions, as<uint8_t>},
    {"/stats/run/points", ChaoRecord::stat_points + 4, as<int16_t>},
    {"/stats/unknown/level", ChaoRecord::stat_levels + 7, as<uint8_t>},
    {"/life/happiness", ChaoRecord::happiness, as<int16_t>}, {"/life/lifespan", ChaoRecord::lifespan, as<int16_t>},
    {"/life/reincarnations", ChaoRecord::reincarnations, as<int16_t>}, {"/life/seed", ChaoRecord::seed, as<int32_t>},
    {"/life/classroom_flags", ChaoRecord::classroom_flags, as<uint32_t>},
    {"/appearance/headgear", ChaoRecord::headgear, as<uint8_t>},
    {"/appearance/body_type", ChaoRecord::body_type, as<int8_t>},
    {"/appearance/doctor_medal", ChaoRecord::doctor_medal, as<int16_t>},
    {"/condition/sleepiness", ChaoRecord::conditions, as<int16_t>},
    {"/condition/fear", ChaoRecord::fear, as<uint8_t>}, {"/condition/urge_to_cry", ChaoRecord::urge_to_cry, as<uint8_t>},
    {"/personality/kindness", ChaoRecord::kindness, as<uint8_t>},
    {"/personality/favorite_fruit", ChaoRecord::favorite_fruit, as<uint8_t>},
    {"/illness/cough", ChaoRecord::cough, as<uint8_t>}};

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
        for (auto [pointer, offset, read] : kFields) CHECK_MESSAGE(c[json::json_pointer(pointer)] == read(rec + offset), pointer);
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
    GardenScanner s;
    s.begin_session("0123456789abcdef", "0.1.19", 60);
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
