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

uint32_t reference_fnv(uint32_t h, const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) h = (h ^ b) * 16777619u;
    return h;
}

std::vector<uint8_t> record_bytes(int slot, uint32_t from, uint32_t to) {  // [from, to]
    std::vector<uint8_t> out(to - from + 1);
    sim::peek(slot_addr(slot) + from, out.data(), out.size());
    return out;
}

std::vector<uint8_t> reversed(std::vector<uint8_t> v) { return {v.rbegin(), v.rend()}; }

std::vector<std::string> keys_of(const nlohmann::ordered_json& j) {
    std::vector<std::string> k;
    for (auto& [key, v] : j.items()) k.push_back(key);
    return k;
}

sim::ChaoSpec crafted(int slot, int type) {
    sim::ChaoSpec c;
    c.slot = slot;
    c.type = type;
    c.set("name_raw", "01020304050607").set("chao_id", "000102030405060708090a0b0c0d0e0f10111213");
    c.set("generation_block", std::string(328, 'a')).set("reincarnations", 0x0102);
    c.set("arm", -1).set("ear", 0x05).set("kindness", 0x9C).set("swim.points", 0xFFFF);
    c.set("classroom_flags", 0xFFFFFFFFu).set("animal_behaviors", 0xFFE00001u).set("headgear", 4);
    c.set_float("alignment", -1.5f).set("happiness", -100).set("fear", 200).set("urge_to_cry", 7);
    return c;
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

TEST_CASE("fingerprints and content hash of a crafted slot, worked from the record bytes") {
    sim::reset();
    std::string error;
    REQUIRE(sim::write_chao(crafted(4, 2), error));
    ChaoImage img;
    REQUIRE(read_chao_image(slot_addr(4), 4, img));

    // egg_generation: A forward with the standard basis, B backward with the second one.
    auto fingerprint = [](const std::vector<uint8_t>& fwd, const std::vector<uint8_t>& bwd) {
        uint32_t a = reference_fnv(0x811C9DC5u, fwd), b = reference_fnv(0x1F2BE47Cu, bwd);
        return Fingerprint{uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a),
                           uint8_t(b >> 24), uint8_t(b >> 16), uint8_t(b >> 8), uint8_t(b)};
    };
    auto gen_bytes = record_bytes(4, 0x438, 0x4DB);
    const Fingerprint gen = fingerprint(gen_bytes, reversed(gen_bytes));
    CHECK(memcmp(img.egg_generation, gen.data(), 8) == 0);
    CHECK(egg_generation_of(slot_addr(4)) == gen);

    // parts_guard: identity, generation block, name, then the reincarnations word.
    std::vector<uint8_t> fwd, bwd;
    for (auto [from, to] : {std::pair{0x90u, 0xA3u}, {0x438u, 0x4DBu}, {0x12u, 0x18u}, {0x8Eu, 0x8Fu}}) {
        auto part = record_bytes(4, from, to), back = reversed(part);
        fwd.insert(fwd.end(), part.begin(), part.end());
        bwd.insert(bwd.end(), back.begin(), back.end());
    }
    const Fingerprint guard = fingerprint(fwd, bwd);
    CHECK(memcmp(img.parts_guard, guard.data(), 8) == 0);
    CHECK(parts_guard_of(slot_addr(4)) == guard);
    CHECK(egg_generation_of(0) == Fingerprint{});
    CHECK(parts_guard_of(0) == Fingerprint{});

    // The image laid out by hand from the offsets, then hashed over its first 0xDC bytes.
    std::vector<uint8_t> ref(0xDC, 0);
    auto put = [&](uint32_t at, const void* p, size_t n) { memcpy(ref.data() + at, p, n); };
    int32_t slot = 4, type = 2, garden = 1;
    uint32_t behaviors = 0xFFE00001u & 0x1FFFFF;
    put(0x00, &slot, 4);
    ref[0x04] = 1;
    put(0x0C, &type, 4);
    put(0x10, &garden, 4);
    put(0x5E, gen.data(), 8);
    put(0x66, guard.data(), 8);
    put(0xA8, &behaviors, 4);
    // {image offset, record offset, bytes}; 0x78 is power_run, fly_swim and alignment, 0x84 last_life_alignment
    // and progress, 0xC6 on the personality bytes in the image's order.
    const uint32_t copies[][3] = {
        {0x05, 0x12, 7},   {0x14, 0x28, 8},   {0x1C, 0x30, 8},   {0x24, 0x38, 16},  {0x34, 0x20, 8},   {0x3C, 0x82, 14},
        {0x4A, 0x90, 20},  {0x70, 0x98, 4},   {0x74, 0xA4, 4},   {0x78, 0xA8, 12},  {0x84, 0xBC, 8},   {0x8C, 0xD8, 5},
        {0x91, 0xD1, 3},   {0x94, 0xD5, 1},   {0x95, 0xD7, 1},   {0x96, 0xD6, 1},   {0x97, 0xDD, 2},   {0x9A, 0x108, 2},
        {0x9C, 0x160, 4},  {0xA0, 0x11C, 8},  {0xAC, 0x134, 22}, {0xC2, 0x12C, 2},  {0xC4, 0x12F, 1},  {0xC5, 0x12E, 1},
        {0xC6, 0x14B, 1},  {0xC7, 0x14F, 1},  {0xC8, 0x150, 1},  {0xC9, 0x152, 1},  {0xCA, 0x153, 1},  {0xCB, 0x154, 1},
        {0xCC, 0x14A, 1},  {0xCD, 0x14C, 1},  {0xCE, 0x14D, 1},  {0xCF, 0x14E, 1},  {0xD0, 0x151, 1},  {0xD1, 0x155, 1},
        {0xD2, 0x156, 1},  {0xD3, 0x157, 1},  {0xD4, 0x15A, 6}};
    for (auto [at, from, n] : copies) put(at, record_bytes(4, from, from + n - 1).data(), n);
    CHECK(memcmp(&img, ref.data(), ref.size()) == 0);
    CHECK(img.content_hash == reference_fnv(0x811C9DC5u, ref));
    CHECK(image_content_hash(img) == img.content_hash);
}

TEST_CASE("free, null and unknown slots") {
    sim::reset();
    std::string error;
    ChaoImage a, b, n;
    CHECK_FALSE(read_chao_image(slot_addr(0), 0, a));
    CHECK_FALSE(read_chao_image(slot_addr(1), 1, b));
    CHECK((a.occupied == 0 && a.slot == 0 && a.parts[0] == -1 && a.parts[7] == -1));
    CHECK((a.content_hash != 0 && a.content_hash != b.content_hash));
    CHECK_FALSE(read_chao_image(0, 3, n));
    CHECK(n.content_hash == 0);
    CHECK(n.slot == 3);

    REQUIRE(sim::write_chao(crafted(2, 0xFF), error));
    ChaoImage u;
    CHECK(read_chao_image(slot_addr(2), 2, u));
    CHECK(u.type == -1);
    for (auto [type, name] : {std::pair{u.type, "Unknown"}, {26, "Unknown"}, {25, "Amy"}})
        CHECK(std::string(chao_type_name(type)) == name);
}

TEST_CASE("what each fingerprint follows") {
    sim::reset();
    std::string error;
    REQUIRE(sim::write_chao(crafted(6, 3), error));
    ChaoImage base = image_of(6);
    auto change = [&](uint32_t offset, uint8_t value) {
        uint8_t old = 0;
        sim::peek(slot_addr(6) + offset, &old, 1);
        sim::poke(slot_addr(6) + offset, &value, 1);
        ChaoImage after = image_of(6);
        sim::poke(slot_addr(6) + offset, &old, 1);
        return std::tuple{after.content_hash != base.content_hash,
                          memcmp(after.parts_guard, base.parts_guard, 8) != 0,
                          memcmp(after.egg_generation, base.egg_generation, 8) != 0};
    };
    CHECK(change(ChaoRecord::headgear, 9) == std::tuple{true, false, false});
    CHECK(change(ChaoRecord::parts + 2, 4) == std::tuple{true, false, false});
    CHECK(change(ChaoRecord::name_raw + 6, 0x41) == std::tuple{true, true, false});
    CHECK(change(ChaoRecord::reincarnations + 1, 0x09) == std::tuple{true, true, false});
    CHECK(change(ChaoRecord::generation_block + 100, 0x00) == std::tuple{true, true, true});  // fingerprints are in the image
    CHECK(change(ChaoRecord::chao_id + 19, 0xEE) == std::tuple{true, true, false});
    // Bytes the image does not take leave everything alone.
    CHECK(change(0x200, 0x77) == std::tuple{false, false, false});
    CHECK(change(ChaoRecord::animal_behaviors + 3, 0x80) == std::tuple{false, false, false});
}

TEST_CASE("a remembered fingerprint is computed again when the identity bytes change") {
    sim::reset();
    std::string error;
    REQUIRE(sim::write_chao(crafted(7, 1), error));
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
    sim::reset();
    std::string error;
    REQUIRE(sim::write_chao(crafted(8, 2), error));
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
        JsonWriter a, b, c;
        JsonKey k = make_json_key(name);
        auto write = [](JsonWriter& w, const auto& key) {
            w.key_int(key, -7);
            w.key_uint(key, 7);
            w.key_float(key, 0.5f);
            w.key_object(key);
            w.end_object();
        };
        for (JsonWriter* w : {&a, &b, &c}) w->begin_object();
        write(a, k);
        write(b, name);
        c.key(name);  // the general path, by hand
        c.write_int(-7);
        c.text += ",";
        c.write_string(name);
        c.text += ":7,";
        c.write_string(name);
        c.text += ":0.5000,";
        c.write_string(name);
        c.text += ":{}";
        CHECK(a.text == c.text);
        CHECK(b.text == c.text);
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
        if (std::isnan(v) || std::fabs(v) > 3.0e38f) continue;
        if (!agree(v)) ++bad;
        float small = static_cast<float>(static_cast<int32_t>(rng())) / 65536.0f;  // typical game values
        if (!agree(small)) ++bad;
    }
    CHECK(bad == 0);
    for (float v : {0.03125f, -0.03125f, 0.09375f, 2.5f, -0.0f, -0.00001f, 999999999.0f, 1e9f, 123456.78f})
        CHECK(agree(v));
}
