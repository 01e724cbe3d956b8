#include <doctest/doctest.h>

#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <random>
#include <vector>

#include "sim/garden.h"
#include "sim/sim.h"
#include "snapshot/chao_record.h"
#include "snapshot/json_writer.h"

namespace {

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

}  // namespace

TEST_CASE("FNV-1a matches the published vectors, both directions") {
    CHECK(fnv1a(kFnvBasis, "", 0) == 0x811C9DC5u);
    CHECK(fnv1a(kFnvBasis, "a", 1) == 0xE40C292Cu);
    CHECK(fnv1a(kFnvBasis, "foobar", 6) == 0xBF9CF968u);
    CHECK(fnv1a_reverse(kFnvBasis, "raboof", 6) == 0xBF9CF968u);
}

// Pinned: the server compares fingerprints and hashes across versions, so the bytes they cover
// and their order must not drift.
TEST_CASE("fingerprints and content hash of a crafted slot are pinned") {
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
    for (auto [type, name] : {std::pair{u.type, "Unknown"}, {26, "Unknown"}, {25, "Amy"}})
        CHECK(std::string(chao_type_name(type)) == name);
}

TEST_CASE("what each fingerprint follows") {
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
}

TEST_CASE("a remembered fingerprint is computed again when the identity bytes change") {
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

TEST_CASE("the Chao object: members in order and the value forms") {
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
    const std::pair<const char*, const char*> values[] = {
        {"/stats/swim", R"({"grade":0,"level":0,"points":-1,"fraction":0})"},
        {"/parts", R"({"arm":-1,"ear":5,"forehead":-1,"horn":-1,"leg":-1,"tail":-1,"wing":-1,"face":-1})"},
        {"/name_raw", R"("01020304050607")"}, {"/chao_id", R"("000102030405060708090a0b0c0d0e0f10111213")"},
        {"/type_name", R"("Child")"}, {"/personality/kindness", "156"}, {"/life/classroom_flags", "4294967295"},
        {"/life/happiness", "-100"}, {"/life/reincarnations", "258"}, {"/animal_behaviors", "1"},
        {"/condition/fear", "200"}, {"/condition/urge_to_cry", "7"}};
    for (auto [pointer, want] : values) {
        CAPTURE(pointer);
        CHECK(doc[nlohmann::ordered_json::json_pointer(pointer)].dump() == want);
    }
    CHECK(w.text.find("\"alignment\":-1.5000") != std::string::npos);
    for (auto [group, size] : {std::pair{"appearance", 14u}, {"condition", 15u}, {"personality", 14u}, {"illness", 6u}})
        CHECK_MESSAGE(doc[group].size() == size, group);
}

TEST_CASE("prepared keys and staged keys write what the general path writes") {
    const std::string long_name(70, 'k');
    for (const char* name : {"plain", "k\"\x01\xe9", "", long_name.c_str()}) {
        JsonWriter quoted;
        quoted.write_string(name);
        const std::string& q = quoted.text;
        const std::string want = "{" + q + ":-7," + q + ":7," + q + ":0.5000," + q + ":{}";
        auto write = [](const auto& key) {
            JsonWriter w;
            w.begin_object();
            w.key_int(key, -7);
            w.key_uint(key, 7);
            w.key_float(key, 0.5f);
            w.key_object(key);
            w.end_object();
            return w.text;
        };
        CAPTURE(name);
        CHECK(write(make_json_key(name)) == want);
        CHECK(write(name) == want);
    }
}

TEST_CASE("float text without printf agrees with \"%.4f\" and keeps its ties and signs") {
    std::mt19937 rng(1234);
    char mine[64], theirs[64];
    auto agree = [&](float v) {
        size_t n = format_json_float(v, mine);
        snprintf(theirs, sizeof theirs, "%.4f", static_cast<double>(v));
        return std::string(mine, n) == theirs;
    };
    int bad = 0;
    for (int i = 0; i < 200000; ++i) {
        uint32_t bits = rng();
        float v;
        memcpy(&v, &bits, 4);
        if (!std::isnan(v) && std::fabs(v) <= 3.0e38f && !agree(v)) ++bad;
        if (!agree(static_cast<float>(static_cast<int32_t>(rng())) / 65536.0f)) ++bad;  // typical game values
    }
    CHECK(bad == 0);
    for (float v : {0.03125f, -0.03125f, 0.09375f, 2.5f, -0.0f, -0.00001f, 999999999.0f, 1e9f, 123456.78f})
        CHECK(agree(v));
}
